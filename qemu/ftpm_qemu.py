"""Booting FtpmRecoveryDxe.efi in OVMF under QEMU: shared by run.py and demo.py.

What is here: the boot volume and flash images, the QEMU command line for
the two flash windows, a session that feeds keys and collects the serial
output, decoding of that output (PC-ANSI code page, ANSI escape sequences),
a small terminal emulator that rebuilds the screen, and the parser for the
harness's "@@FTPM" report lines. Python standard library only.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, field

OVMF_CODE = "/usr/share/ovmf/OVMF.fd"
HARNESS_RELATIVE = os.path.join("qemu", "harness", "FtpmHarness.efi")
DRIVER_RELATIVE = "FtpmRecoveryDxe.efi"
CONFIG_NAME = "harness.cfg"
REPORT_PREFIX = "@@FTPM "

MIB = 1024 * 1024
WINDOWS = {
    # 16 MB window at 0xFF000000: OVMF occupies its top 2 MiB, so the image
    # file holds flash offsets 0 to 0xDFFFFF.
    "16m": {"image_size": 14 * MIB, "flash_size": 16 * MIB},
    # 64 MB window at 0xFD00000000: a file-backed memory device that the
    # guest can write, so erases land in the file.
    "64m": {"image_size": 64 * MIB, "flash_size": 64 * MIB},
}
DEFAULT_64M_CPU = {"family": 0x19, "model": 0x21, "stepping": 2}

# TerminalDxe turns a lone Escape into a key only after it has waited for
# the rest of an escape sequence; this is the pause the runner leaves.
ESCAPE_SETTLE_SECONDS = 2.5

KEY_NAMES = {
    "ESC": b"\x1b",
    "ENTER": b"\r",
    "SPACE": b" ",
    "TAB": b"\t",
    "BACKSPACE": b"\x08",
    "UP": b"\x1b[A",
    "DOWN": b"\x1b[B",
    "RIGHT": b"\x1b[C",
    "LEFT": b"\x1b[D",
    "HOME": b"\x1b[H",
    "END": b"\x1b[F",
}


class HarnessError(Exception):
    """A set-up problem: missing files, a bad scenario, a failing tool."""


# --- Keys ---------------------------------------------------------------------


def encode_key(key: str) -> bytes:
    """Bytes the serial terminal turns into one key press.

    A single character stands for itself; names in KEY_NAMES give escape
    sequences ("UP" has no Unicode character, only a scan code); "0xNN..."
    gives raw bytes.
    """
    if len(key) == 1:
        return key.encode("latin-1")
    upper = key.upper()
    if upper in KEY_NAMES:
        return KEY_NAMES[upper]
    if upper.startswith("0X") and len(key) > 2 and len(key) % 2 == 0:
        try:
            return bytes.fromhex(key[2:])
        except ValueError:
            pass
    raise HarnessError(f"unknown key {key!r}: use one character, one of {sorted(KEY_NAMES)} or 0xHEX")


def split_keys(text: str) -> list[str]:
    """"x,ESC,N" -> ["x", "ESC", "N"]; "xN" -> ["x", "N"]."""
    if "," in text:
        return [part.strip() for part in text.split(",") if part.strip()]
    return list(text)


# --- Processors and flash addresses ------------------------------------------------


def cpu_from_signature(signature: int) -> dict:
    """QEMU's family/model/stepping for a CPUID 0x80000001 EAX value: the
    family is the base family plus the extended family, the model the
    extended model above the base model."""
    base_family = (signature >> 8) & 0xF
    family = base_family + ((signature >> 20) & 0xFF) if base_family == 0xF else base_family
    model = (((signature >> 16) & 0xF) << 4) | ((signature >> 4) & 0xF)
    return {"family": family, "model": model, "stepping": signature & 0xF}


WINDOW_16M_BASE = 0xFF000000
WINDOW_64M_BASE = 0xFD00000000
FLASH_SIZE = 64 * MIB


def flash_offset(address: int) -> int | None:
    """The image offset of an address the driver reports: a flash offset as
    it stands, or an address in the 16 MB or the 64 MB window."""
    if 0 <= address < FLASH_SIZE:
        return address
    if WINDOW_16M_BASE <= address < WINDOW_16M_BASE + 16 * MIB:
        return address - WINDOW_16M_BASE
    if WINDOW_64M_BASE <= address < WINDOW_64M_BASE + FLASH_SIZE:
        return address - WINDOW_64M_BASE
    return None


_LAYOUT_COMMENT = re.compile(r'"(?:\\.|[^"\\])*"|//[^\n]*|/\*.*?\*/', re.S)


def read_layout(path: str) -> dict:
    """A mkimage layout file, which may hold // and /* */ comments."""
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
        return json.loads(_LAYOUT_COMMENT.sub(lambda m: m.group(0) if m.group(0).startswith('"') else "", text))
    except (OSError, ValueError) as error:
        raise HarnessError(f"cannot read layout {path}: {error}") from error


# --- Serial output ----------------------------------------------------------------

_ESCAPE = re.compile(r"\x1b(?:\[[0-9;?=]*[@-~]|[()][0-9A-Za-z]|[@-Z\\-_])")


def decode_serial(raw: bytes) -> str:
    """The serial bytes as text: OVMF's terminal draws boxes in code page 437."""
    return raw.decode("cp437")


def strip_escapes(text: str) -> str:
    return _ESCAPE.sub("", text)


@dataclass
class ReportLine:
    event: str
    fields: dict[str, str]
    raw: str
    index: int  # position among all report lines

    def __str__(self) -> str:
        return self.raw


def parse_report(body: str, index: int = 0) -> ReportLine | None:
    """Parses the part of a line after "@@FTPM ": an event, then key=value
    fields separated by spaces; a "text" field runs to the end of the line."""
    body = body.rstrip("\r\n")
    if not body:
        return None
    event, _, rest = body.partition(" ")
    fields: dict[str, str] = {}
    while rest:
        rest = rest.lstrip(" ")
        if rest.startswith("text="):
            fields["text"] = rest[len("text="):]
            break
        token, _, rest = rest.partition(" ")
        key, equals, value = token.partition("=")
        if equals:
            fields[key] = value
        elif token:
            fields.setdefault("_words", "")
            fields["_words"] = (fields["_words"] + " " + token).strip()
    return ReportLine(event=event, fields=fields, raw=body, index=index)


def parse_reports(text: str) -> list[ReportLine]:
    """Every report line in escape-free serial text, in order."""
    reports: list[ReportLine] = []
    for line in text.split("\n"):
        at = line.find(REPORT_PREFIX)
        if at < 0:
            continue
        report = parse_report(line[at + len(REPORT_PREFIX):], len(reports))
        if report is not None:
            reports.append(report)
    return reports


@dataclass
class Box:
    """One pop-up box as it went over the serial line."""

    text: str  # escape-free text from its top-left to its bottom-right corner
    end: int  # offset of the bottom-right corner in the escape-free text

    @property
    def kind(self) -> str:
        return "prompt" if "Press Y" in self.text or "Press N" in self.text else "message"


def find_boxes(text: str) -> list[Box]:
    """Boxes in escape-free serial text: each runs from a top-left corner to
    the next bottom-right corner."""
    boxes = []
    start = 0
    while True:
        top = text.find("\u250c", start)
        if top < 0:
            break
        bottom = text.find("\u2518", top)
        if bottom < 0:
            break
        boxes.append(Box(text=text[top:bottom + 1], end=bottom))
        start = bottom + 1
    return boxes


def count_prompts(text: str) -> int:
    return sum(1 for box in find_boxes(text) if box.kind == "prompt")


# --- Terminal emulator ----------------------------------------------------------------

# ANSI colour numbers to UEFI colour numbers (black, blue, green, cyan, red,
# magenta, brown, light grey).
_ANSI_TO_EFI = [0, 4, 2, 6, 1, 5, 3, 7]


@dataclass
class Snapshot:
    kind: str  # "prompt" or "message"
    rows: list[str]
    attributes: list[list[int]]
    columns: int

    def text_at(self, row: int, column: int, length: int) -> str:
        if not 0 <= row < len(self.rows):
            return ""
        return self.rows[row][column:column + length]

    def render(self) -> str:
        width = self.columns
        lines = [f"{number:2d}|{line}|" for number, line in enumerate(self.rows)]
        return "\n".join([" " * 3 + "-" * width] + lines + [" " * 3 + "-" * width])


class Screen:
    """A small ANSI terminal: enough of it to rebuild what OVMF's terminal
    driver draws (cursor positioning, clearing, colours, line feeds)."""

    def __init__(self, columns: int = 80, rows: int = 25):
        self.resize(columns, rows)
        self.snapshots: list[Snapshot] = []
        self._line = ""  # text of the current serial line, for report lines
        self.columns_rows_pending: tuple[int, int] | None = None

    def resize(self, columns: int, rows: int) -> None:
        self.columns = max(1, columns)
        self.rows = max(1, rows)
        self.fg = 7
        self.bg = 0
        self.bright = False
        self.cells = [[" "] * self.columns for _ in range(self.rows)]
        self.attrs = [[0x07] * self.columns for _ in range(self.rows)]
        self.row = 0
        self.col = 0
        self._box_open = False

    @property
    def attribute(self) -> int:
        return (self.fg | (8 if self.bright else 0)) | (self.bg << 4)

    def lines(self) -> list[str]:
        return ["".join(row) for row in self.cells]

    def snapshot(self, kind: str) -> Snapshot:
        return Snapshot(kind=kind, rows=self.lines(), attributes=[list(a) for a in self.attrs], columns=self.columns)

    def _clear(self) -> None:
        for r in range(self.rows):
            self._clear_row(r, 0)

    def _clear_row(self, row: int, start: int) -> None:
        for c in range(start, self.columns):
            self.cells[row][c] = " "
            self.attrs[row][c] = self.attribute

    def _line_feed(self) -> None:
        if self.row + 1 < self.rows:
            self.row += 1
            return
        self.cells.pop(0)
        self.attrs.pop(0)
        self.cells.append([" "] * self.columns)
        self.attrs.append([self.attribute] * self.columns)

    def _sgr(self, params: list[int]) -> None:
        for p in params or [0]:
            if p == 0:
                self.fg, self.bg, self.bright = 7, 0, False
            elif p == 1:
                self.bright = True
            elif p == 22:
                self.bright = False
            elif 30 <= p <= 37:
                self.fg = _ANSI_TO_EFI[p - 30]
            elif 40 <= p <= 47:
                self.bg = _ANSI_TO_EFI[p - 40]
            elif p == 39:
                self.fg = 7
            elif p == 49:
                self.bg = 0

    def _control(self, final: str, body: str) -> None:
        if body.startswith(("=", "?")):
            return  # mode settings: screen mode, cursor visibility
        params = [int(p) if p.isdigit() else 0 for p in body.split(";")] if body else []
        if final in "Hf":
            row = (params[0] if params and params[0] else 1) - 1
            col = (params[1] if len(params) > 1 and params[1] else 1) - 1
            self.row = min(max(row, 0), self.rows - 1)
            self.col = min(max(col, 0), self.columns - 1)
        elif final == "J":
            mode = params[0] if params else 0
            if mode == 2:
                self._clear()
            elif mode == 0:
                self._clear_row(self.row, self.col)
                for r in range(self.row + 1, self.rows):
                    self._clear_row(r, 0)
            elif mode == 1:
                for r in range(self.row):
                    self._clear_row(r, 0)
                for c in range(0, min(self.col + 1, self.columns)):
                    self.cells[self.row][c] = " "
        elif final == "K":
            self._clear_row(self.row, self.col)
        elif final == "m":
            self._sgr(params)
        elif final in "ABCD":
            n = params[0] if params and params[0] else 1
            if final == "A":
                self.row = max(0, self.row - n)
            elif final == "B":
                self.row = min(self.rows - 1, self.row + n)
            elif final == "C":
                self.col = min(self.columns - 1, self.col + n)
            else:
                self.col = max(0, self.col - n)

    def _put(self, ch: str) -> None:
        if self.col >= self.columns:
            self.col = 0
            self._line_feed()
        self.cells[self.row][self.col] = ch
        self.attrs[self.row][self.col] = self.attribute
        self.col += 1
        if ch == "\u250c":
            self._box_open = True
        elif ch == "\u2518" and self._box_open:
            self._box_open = False
            kind = "prompt" if any("Press Y" in line or "Press N" in line for line in self.lines()) else "message"
            self.snapshots.append(self.snapshot(kind))

    def _report_line_done(self) -> None:
        at = self._line.find(REPORT_PREFIX)
        if at >= 0:
            report = parse_report(self._line[at + len(REPORT_PREFIX):])
            # The harness reports console sizes; the terminal itself is not told.
            if report and report.event == "console-mode" and report.fields.get("columns", "").isdigit():
                self.columns_rows_pending = (int(report.fields["columns"]), int(report.fields["rows"]))
        self._line = ""

    def feed(self, text: str) -> None:
        """Feeds decoded serial text (escape sequences included)."""
        i = 0
        n = len(text)
        while i < n:
            ch = text[i]
            if ch == "\x1b":
                match = _ESCAPE.match(text, i)
                if match:
                    seq = match.group(0)
                    if seq.startswith("\x1b["):
                        self._control(seq[-1], seq[2:-1])
                    i = match.end()
                    continue
                i += 1
                continue
            if ch == "\r":
                self.col = 0
            elif ch == "\n":
                self._line_feed()
                self._report_line_done()
            elif ch == "\b":
                self.col = max(0, self.col - 1)
            elif ch == "\t":
                self.col = min(self.columns - 1, (self.col // 8 + 1) * 8)
            elif ch >= " ":
                self._put(ch)
                self._line += ch
            i += 1


def rebuild_screen(text: str, columns: int, rows: int) -> Screen:
    """Replays decoded serial text on a Screen. The size follows the
    harness's console reports: the one current at start, then each
    console-mode change (which clears the screen, so nothing is lost)."""
    screen = Screen(columns, rows)
    for chunk in text.splitlines(keepends=True):
        screen.feed(chunk)
        if screen.columns_rows_pending:
            screen.resize(*screen.columns_rows_pending)
            screen.columns_rows_pending = None
    return screen


def initial_console_size(reports: list[ReportLine]) -> tuple[int, int]:
    """The console size before any mode change, from the "console" report."""
    for report in reports:
        if report.event != "console":
            continue
        current = report.fields.get("current", "")
        for entry in report.fields.get("modes", "").split(","):
            number, _, size = entry.partition(":")
            if number == current and "x" in size:
                columns, _, rows = size.partition("x")
                if columns.isdigit() and rows.isdigit():
                    return int(columns), int(rows)
    return 80, 25


# --- Files -----------------------------------------------------------------------


def config_text(config: dict) -> str:
    """The harness's key=value file from a scenario's "config" object."""
    lines = ["# Written by qemu/run.py; see qemu/README.md for the keys."]
    for key, value in config.items():
        if isinstance(value, bool):
            value = 1 if value else 0
        if isinstance(value, list):
            lines.extend(f"{key}={item}" for item in value)  # repeatable keys such as probe
            continue
        if not isinstance(value, (int, str)):
            raise HarnessError(f"config {key}: value must be a number, boolean, string or list")
        text = str(value)
        if "\n" in text or "=" in key or "\n" in key:
            raise HarnessError(f"config {key}: line breaks and '=' are not allowed")
        lines.append(f"{key}={text}")
    return "\n".join(lines) + "\n"


def prepare_volume(work: str, uefi_build: str, config: dict, driver_file: str | None = None,
                   tool: str | None = None) -> str:
    """The FAT directory OVMF boots: the harness as the default boot file,
    the driver and the configuration beside it. With "driver.fv" in the
    configuration the driver goes there as a firmware volume instead,
    packaged from the same .efi (see package_volume)."""
    harness = os.path.join(uefi_build, HARNESS_RELATIVE)
    driver = driver_file or os.path.join(uefi_build, DRIVER_RELATIVE)
    for path in (harness, driver):
        if not os.path.isfile(path):
            raise HarnessError(f"missing {path}: build the uefi preset first")
    volume = os.path.join(work, "volume")
    if os.path.isdir(volume):
        shutil.rmtree(volume)
    os.makedirs(os.path.join(volume, "EFI", "BOOT"))
    shutil.copyfile(harness, os.path.join(volume, "EFI", "BOOT", "BOOTX64.EFI"))
    fv_name = config.get("driver.fv")
    if fv_name and fv_name != "none":
        package_volume(tool, driver, work, os.path.join(volume, os.path.basename(str(fv_name))))
    else:
        shutil.copyfile(driver, os.path.join(volume, os.path.basename(config.get("driver.file", DRIVER_RELATIVE))))
    with open(os.path.join(volume, CONFIG_NAME), "w", encoding="ascii") as out:
        out.write(config_text(config))
    return volume


def package_volume(tool: str | None, driver: str, work: str, output: str) -> None:
    """`ftpm-recovery package DRIVER.efi --ffs … --fv OUTPUT`: the firmware
    volume is always made from the .efi under test, so it cannot be older
    than the driver the other scenarios load."""
    if not tool or not os.access(tool, os.X_OK):
        raise HarnessError("a firmware-volume scenario needs --tool (ftpm-recovery package)")
    ffs = os.path.join(work, "FtpmRecoveryDxe.ffs")
    result = subprocess.run([tool, "package", driver, "--ffs", ffs, "--fv", output], capture_output=True, text=True,
                            timeout=120)
    if result.returncode != 0:
        raise HarnessError(f"package {driver} failed ({result.returncode}):\n{result.stdout}{result.stderr}")


def tool_has_mkimage(tool: str | None) -> bool:
    if not tool or not os.access(tool, os.X_OK):
        return False
    try:
        result = subprocess.run([tool, "mkimage", "--help"], capture_output=True, timeout=30)
    except OSError:
        return False
    return result.returncode == 0


def build_image_from_layout(tool: str, layout: str, output: str) -> None:
    """`ftpm-recovery mkimage LAYOUT.json -o IMAGE`."""
    if not tool_has_mkimage(tool):
        raise HarnessError(f"{tool or 'ftpm-recovery'} has no mkimage command yet; cannot build {layout}")
    result = subprocess.run([tool, "mkimage", layout, "-o", output], capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise HarnessError(f"mkimage {layout} failed ({result.returncode}):\n{result.stdout}{result.stderr}")


def fit_image(data: bytes, window: str) -> bytes:
    """Pads a flash image with 0xFF to the window's file size. For the 16 MB
    window the top 2 MiB belong to OVMF: bytes there must be 0xFF (erased)."""
    sizes = WINDOWS[window]
    size = sizes["image_size"]
    if len(data) > sizes["flash_size"]:
        raise HarnessError(f"image of {len(data)} bytes is larger than the {window} flash")
    if len(data) > size:
        tail = data[size:]
        if tail.strip(b"\xff"):
            raise HarnessError(f"image has data above offset {size:#x}, where OVMF sits in the {window} window")
        data = data[:size]
    return data + b"\xff" * (size - len(data))


def prepare_image(work: str, window: str, source: dict | None, base_dir: str, tool: str | None) -> str:
    """The flash image file for the window, from a scenario's "image" object:
    {"file": PATH} or {"layout": LAYOUT.json} (built with mkimage) or nothing
    (all 0xFF), then "patches" applied: [{"offset": N, "hex": "..."}] or
    [{"offset": N, "fill": BYTE, "length": N}]."""
    source = source or {}
    unknown = set(source) - {"file", "layout", "patches"}
    if unknown:
        raise HarnessError(f"image: unknown keys {sorted(unknown)}")
    if "file" in source and "layout" in source:
        raise HarnessError("image: give either file or layout")
    data = b""
    if "file" in source:
        with open(resolve(base_dir, source["file"]), "rb") as handle:
            data = handle.read()
    elif "layout" in source:
        built = os.path.join(work, "mkimage.bin")
        build_image_from_layout(tool, resolve(base_dir, source["layout"]), built)
        with open(built, "rb") as handle:
            data = handle.read()
    image = bytearray(fit_image(data, window))
    for patch in source.get("patches", []):
        unknown = set(patch) - {"offset", "hex", "fill", "length"}
        if unknown or ("hex" in patch) == ("fill" in patch):
            raise HarnessError(f"image patch {patch}: give offset and either hex or fill with length")
        offset = to_int(patch.get("offset"), "image patch offset")
        if "hex" in patch:
            content = bytes.fromhex(patch["hex"])
        else:
            content = bytes([to_int(patch["fill"], "image patch fill") & 0xFF]) * to_int(patch.get("length"),
                                                                                       "image patch length")
        if offset < 0 or offset + len(content) > len(image):
            raise HarnessError(f"image patch at {offset:#x} runs past the image")
        image[offset:offset + len(content)] = content
    path = os.path.join(work, "LOW.bin" if window == "16m" else "SPI64M.bin")
    with open(path, "wb") as out:
        out.write(image)
    return path


def resolve(base_dir: str, path: str) -> str:
    return path if os.path.isabs(path) else os.path.normpath(os.path.join(base_dir, path))


def to_int(value, what: str) -> int:
    if isinstance(value, bool) or value is None:
        raise HarnessError(f"{what}: expected a number, got {value!r}")
    if isinstance(value, int):
        return value
    try:
        return int(str(value), 0)
    except ValueError as error:
        raise HarnessError(f"{what}: expected a number, got {value!r}") from error


# --- QEMU -------------------------------------------------------------------------------


def qemu_command(work: str, volume: str, window: str, image: str | None, cpu: dict | None,
                 flag_device: bool = False) -> list[str]:
    """The QEMU command line for one boot. OVMF is copied into the work
    directory so that no run touches the system's file. flag_device adds the
    ivshmem device whose memory the harness moves behind the RecoveryFlag
    register pair."""
    if window not in WINDOWS:
        raise HarnessError(f"window must be one of {sorted(WINDOWS)}, not {window!r}")
    if not os.path.isfile(OVMF_CODE):
        raise HarnessError(f"missing {OVMF_CODE}: install the ovmf package")
    ovmf = os.path.join(work, "OVMF.fd")
    shutil.copyfile(OVMF_CODE, ovmf)
    command = ["qemu-system-x86_64", "-nographic", "-no-reboot", "-net", "none"]
    if window == "64m":
        cpu = dict(DEFAULT_64M_CPU, **(cpu or {}))
    cpu_option = "qemu64"
    if cpu:
        unknown = set(cpu) - {"family", "model", "stepping"}
        if unknown:
            raise HarnessError(f"cpu: unknown keys {sorted(unknown)}")
        # QEMU keeps the 64 MB window's address range free of memory devices
        # only for this vendor.
        cpu_option += ",vendor=GenuineIntel"
        for key in ("family", "model", "stepping"):
            if key in cpu:
                cpu_option += f",{key}={to_int(cpu[key], 'cpu ' + key)}"
    if window == "64m":
        cpu_option += ",phys-bits=41,+pdpe1gb"
        command += ["-machine", "q35", "-m", "256M,slots=1,maxmem=1010G", "-cpu", cpu_option]
        command += ["-drive", f"if=pflash,format=raw,readonly=on,file={ovmf}"]
        if image:
            command += ["-object", f"memory-backend-file,id=spi,size=64M,mem-path={image},share=on",
                        "-device", "pc-dimm,memdev=spi,addr=0xFD00000000"]
    else:
        command += ["-machine", "q35,max-fw-size=16M", "-m", "256M", "-cpu", cpu_option]
        command += ["-drive", f"if=pflash,format=raw,readonly=on,file={ovmf}"]
        if image:
            command += ["-drive", f"if=pflash,format=raw,file={image}"]
    if flag_device:
        command += ["-object", "memory-backend-ram,id=rflag,size=4K,share=on",
                    "-device", "ivshmem-plain,memdev=rflag"]
    command += ["-drive", f"file=fat:rw:{volume},format=raw"]
    return command


class Session:
    """One QEMU run with its serial line on pipes."""

    def __init__(self, command: list[str], echo=None):
        self.command = command
        self._raw = bytearray()
        self._lock = threading.Condition()
        self._echo = echo  # called with each chunk of raw output
        self._closed = False
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._stderr = b""
        self._err_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._err_reader.start()

    def _read(self) -> None:
        stream = self.process.stdout
        while True:
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            if self._echo:
                self._echo(chunk)
            with self._lock:
                self._raw.extend(chunk)
                self._lock.notify_all()
        with self._lock:
            self._closed = True
            self._lock.notify_all()

    def _read_stderr(self) -> None:
        self._stderr = self.process.stderr.read()

    @property
    def raw(self) -> bytes:
        with self._lock:
            return bytes(self._raw)

    @property
    def stderr(self) -> str:
        return self._stderr.decode("utf-8", "replace")

    def text(self) -> str:
        return strip_escapes(decode_serial(self.raw))

    def wait_until(self, predicate, deadline: float) -> bool:
        """Waits until predicate(escape-free text) holds, QEMU's output ends
        or the deadline passes. True when the predicate held."""
        with self._lock:
            while True:
                text = strip_escapes(decode_serial(bytes(self._raw)))
                if predicate(text):
                    return True
                remaining = deadline - time.monotonic()
                if self._closed or remaining <= 0:
                    return False
                self._lock.wait(min(remaining, 0.2))

    def send(self, data: bytes) -> None:
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def wait_exit(self, deadline: float) -> bool:
        """True when QEMU ended by itself before the deadline."""
        try:
            self.process.wait(timeout=max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            return False
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)
        return True

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)


@dataclass
class KeyStep:
    key: str
    after: str = "prompt"  # "prompt", "text", "report", or "none"
    text: str | None = None  # for after == "text"
    event: str | None = None  # for after == "report"
    count: int | None = None  # how many prompts / occurrences must be there
    delay: float = 0.0


def parse_key_steps(keys: list) -> list[KeyStep]:
    """Scenario keys: "x" (sent once prompt n has been drawn, n counting from
    1) or {"key": "Y", "after": "text"|"report"|"prompt"|"none", "text": ...,
    "event": ..., "count": N, "delay": seconds}."""
    steps = []
    for number, item in enumerate(keys, start=1):
        if isinstance(item, str):
            steps.append(KeyStep(key=item, count=number))
            continue
        if not isinstance(item, dict) or "key" not in item:
            raise HarnessError(f"keys[{number - 1}]: a string or an object with a 'key'")
        unknown = set(item) - {"key", "after", "text", "event", "count", "delay"}
        if unknown:
            raise HarnessError(f"keys[{number - 1}]: unknown keys {sorted(unknown)}")
        step = KeyStep(key=item["key"], after=item.get("after", "prompt"), text=item.get("text"),
                       event=item.get("event"), count=item.get("count"), delay=float(item.get("delay", 0.0)))
        if step.after not in ("prompt", "text", "report", "none"):
            raise HarnessError(f"keys[{number - 1}]: after must be prompt, text, report or none")
        if step.after == "prompt" and step.count is None:
            step.count = number
        steps.append(step)
    for step in steps:
        encode_key(step.key)  # reject unknown names before QEMU starts
    return steps


def step_ready(step: KeyStep, text: str) -> bool:
    if step.after == "prompt":
        return count_prompts(text) >= (step.count or 1)
    if step.after == "text":
        return text.count(step.text or "") >= (step.count or 1)
    if step.after == "report":
        return sum(1 for r in parse_reports(text) if r.event == step.event) >= (step.count or 1)
    return True


def feed_keys(session: Session, steps: list[KeyStep], deadline: float, log=None) -> list[str]:
    """Sends each key once its condition holds. Returns the keys sent; stops
    early when QEMU ends or the deadline passes."""
    sent = []
    for step in steps:
        if not session.wait_until(lambda text, s=step: step_ready(s, text), deadline):
            if log:
                log(f"key {step.key!r} not sent: its condition ({step.after}) never held")
            break
        if step.delay:
            time.sleep(step.delay)
        data = encode_key(step.key)
        session.send(data)
        sent.append(step.key)
        if log:
            log(f"sent key {step.key!r}")
        if data == b"\x1b":
            # Nothing may follow a lone Escape until the terminal driver has
            # given up waiting for the rest of a sequence.
            time.sleep(ESCAPE_SETTLE_SECONDS)
    return sent


# --- Results -----------------------------------------------------------------------------------


@dataclass
class RunResult:
    raw: bytes
    text: str
    reports: list[ReportLine]
    boxes: list[Box]
    screen: Screen
    ended: str
    exit_code: int | None
    keys_sent: list[str] = field(default_factory=list)
    stderr: str = ""
    seconds: float = 0.0


def how_it_ended(timed_out: bool, reports: list[ReportLine]) -> str:
    """"timeout", or the last reset the harness saw ("shutdown", "cold-reset",
    "warm-reset", ...), or "exit-without-reset" when QEMU stopped without one
    (a triple fault under -no-reboot, for one)."""
    if timed_out:
        return "timeout"
    resets = [r for r in reports if r.event == "reset-system"]
    if not resets:
        return "exit-without-reset"
    kind = resets[-1].fields.get("type", "unknown")
    return kind if kind == "shutdown" else f"{kind}-reset"


def collect(session: Session, timed_out: bool, keys_sent: list[str], started: float) -> RunResult:
    raw = session.raw
    decoded = decode_serial(raw)
    text = strip_escapes(decoded)
    reports = parse_reports(text)
    columns, rows = initial_console_size(reports)
    return RunResult(raw=raw, text=text, reports=reports, boxes=find_boxes(text),
                     screen=rebuild_screen(decoded, columns, rows), ended=how_it_ended(timed_out, reports),
                     exit_code=session.process.returncode, keys_sent=keys_sent, stderr=session.stderr,
                     seconds=time.monotonic() - started)


def changed_ranges(before: bytes, after: bytes) -> list[tuple[int, int]]:
    """(offset, length) of each run of bytes that differ, in order."""
    ranges = []
    size = min(len(before), len(after))
    block = 4096
    offset = 0
    while offset < size:
        end = min(offset + block, size)
        if before[offset:end] == after[offset:end]:
            offset = end
            continue
        for i in range(offset, end):
            if before[i] != after[i]:
                if ranges and ranges[-1][0] + ranges[-1][1] == i:
                    ranges[-1] = (ranges[-1][0], ranges[-1][1] + 1)
                else:
                    ranges.append((i, 1))
        offset = end
    if len(before) != len(after):
        ranges.append((size, abs(len(before) - len(after))))
    return ranges
