"""The QEMU machine that runs FtpmRecoveryDxe.efi in Debian's OVMF, and the
reading of what it shows.

A Machine is the hardware and the files it keeps between power-ons: the
firmware (Debian's image, or one rebuilt by `ftpm-recovery insert`), its
variable store, the flash image in the 16 MB or the 64 MB window, the fw_cfg
configuration, the boot disk, the processor signature, the debug console.
Machine.command() is the one QEMU command line and Machine.power_on() the one
session: QEMU starts paused until its QMP socket is connected (events such
as RESET and SHUTDOWN come from there), keys are typed on the serial line
once their condition holds, and the session ends when QEMU does, at the time
limit, or when the power is cut (now, or at the first text or report line
that matches). A Run holds what the power-on showed: the serial bytes, the
screen rebuilt from them, the report lines, the events. Checks holds the
checks of a run. Python standard library only.
"""

from __future__ import annotations

import fcntl
import functools
import json
import os
import queue
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

MIB = 1024 * 1024
# Debian's firmware images: the code and, for the 4 MB layout, the variable
# store that goes with it (OVMF.fd holds both in one 2 MiB image).
FIRMWARE = {
    "OVMF.fd": ("/usr/share/ovmf/OVMF.fd", None),
    "OVMF_CODE_4M.fd": ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
}
WINDOWS = {
    # 16 MB window at 0xFF000000: OVMF occupies its top 2 MiB, so the image
    # file holds flash offsets 0 to 0xDFFFFF (writable pflash below OVMF).
    "16m": {"image_size": 14 * MIB, "flash_size": 16 * MIB},
    # 64 MB window at 0xFD00000000: a file-backed memory device that the
    # guest can write, so erases land in the file.
    "64m": {"image_size": 64 * MIB, "flash_size": 64 * MIB},
}
WINDOW_16M_BASE = 0xFF000000
WINDOW_64M_BASE = 0xFD00000000
FLASH_SIZE = 64 * MIB
DEFAULT_64M_PROCESSOR = 0x00A20F12  # family 0x19, model 0x21, stepping 2
HARNESS_RELATIVE = os.path.join("qemu", "harness", "FtpmHarness.efi")
DRIVER_RELATIVE = "FtpmRecoveryDxe.efi"
BOOT_TARGET_RELATIVE = os.path.join("qemu", "platform", "FtpmBootTarget.efi")
HARNESS_CONFIG = "harness.cfg"
PLATFORM_CONFIG = "opt/ftpm/platform.cfg"
REPORT_PREFIX = "@@FTPM "
F_SETPIPE_SZ = 1031  # fcntl.F_SETPIPE_SZ, which Python 3.11 lacks

# TerminalDxe turns a lone Escape into a key only after it has waited for
# the rest of an escape sequence; this is the pause the session leaves.
ESCAPE_SETTLE_SECONDS = 2.5
KEY_NAMES = {"ESC": b"\x1b", "ENTER": b"\r", "SPACE": b" ", "TAB": b"\t", "BACKSPACE": b"\x08", "UP": b"\x1b[A",
             "DOWN": b"\x1b[B", "RIGHT": b"\x1b[C", "LEFT": b"\x1b[D", "HOME": b"\x1b[H", "END": b"\x1b[F"}


class HarnessError(Exception):
    """A set-up problem: missing files, a bad scenario, a failing tool."""


# --- Keys, numbers, processors, flash addresses -----------------------------------------


def encode_key(key: str) -> bytes:
    """Bytes the serial terminal turns into one key press: a single character
    stands for itself, a name in KEY_NAMES gives its escape sequence ("UP" has
    no Unicode character, only a scan code), "0xNN..." gives raw bytes."""
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


def to_int(value, what: str) -> int:
    if isinstance(value, bool) or value is None:
        raise HarnessError(f"{what}: expected a number, got {value!r}")
    if isinstance(value, int):
        return value
    try:
        return int(str(value), 0)
    except ValueError as error:
        raise HarnessError(f"{what}: expected a number, got {value!r}") from error


def resolve(base_dir: str, path: str) -> str:
    return path if os.path.isabs(path) else os.path.normpath(os.path.join(base_dir, path))


def cpu_from_signature(signature: int) -> dict:
    """QEMU's family/model/stepping for a CPUID 0x80000001 EAX value: the
    family is the base family plus the extended family, the model the
    extended model above the base model."""
    base_family = (signature >> 8) & 0xF
    family = base_family + ((signature >> 20) & 0xFF) if base_family == 0xF else base_family
    model = (((signature >> 16) & 0xF) << 4) | ((signature >> 4) & 0xF)
    return {"family": family, "model": model, "stepping": signature & 0xF}


def signature_from_cpu(cpu: dict) -> int:
    """The inverse of cpu_from_signature, for a {"family", "model", "stepping"} object."""
    unknown = set(cpu) - {"family", "model", "stepping"}
    if unknown or len(cpu) != 3:
        raise HarnessError(f"cpu: give family, model and stepping, not {sorted(cpu)}")
    family, model, stepping = (to_int(cpu[key], "cpu " + key) for key in ("family", "model", "stepping"))
    base, extended = (0xF, family - 0xF) if family > 0xF else (family, 0)
    return (extended << 20) | ((model >> 4) << 16) | (base << 8) | ((model & 0xF) << 4) | (stepping & 0xF)


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


# --- Serial output and report lines ------------------------------------------------------

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
            fields["_words"] = (fields.get("_words", "") + " " + token).strip()
    return ReportLine(event=event, fields=fields, raw=body, index=index)


def parse_reports(text: str) -> list[ReportLine]:
    """Every report line in escape-free text, in order. A line counts once its
    line end has arrived: a line the power cut off is no report."""
    reports: list[ReportLine] = []
    for line in text.split("\n")[:-1]:
        at = line.find(REPORT_PREFIX)
        if at >= 0:
            report = parse_report(line[at + len(REPORT_PREFIX):], len(reports))
            if report is not None:
                reports.append(report)
    return reports


@dataclass
class Box:
    """One pop-up box as it went over the serial line."""

    text: str  # escape-free text from its top-left to its bottom-right corner

    @property
    def kind(self) -> str:
        return "prompt" if "Press Y" in self.text or "Press N" in self.text else "message"


def find_boxes(text: str) -> list[Box]:
    """Boxes in escape-free serial text: each runs from a top-left corner to
    the next bottom-right corner."""
    boxes = []
    start = 0
    while (top := text.find("\u250c", start)) >= 0 and (bottom := text.find("\u2518", top)) >= 0:
        boxes.append(Box(text=text[top:bottom + 1]))
        start = bottom + 1
    return boxes


def count_prompts(text: str) -> int:
    return sum(1 for box in find_boxes(text) if box.kind == "prompt")


def initial_console_size(reports: list[ReportLine]) -> tuple[int, int]:
    """The console size before any mode change, from the "console" report."""
    for report in reports:
        if report.event != "console":
            continue
        for entry in report.fields.get("modes", "").split(","):
            number, _, size = entry.partition(":")
            columns, _, rows = size.partition("x")
            if number == report.fields.get("current") and columns.isdigit() and rows.isdigit():
                return int(columns), int(rows)
    return 80, 25


# --- Terminal emulator ---------------------------------------------------------------------

# ANSI colour numbers to UEFI colour numbers (black, blue, green, cyan, red,
# magenta, brown, light grey).
_ANSI_TO_EFI = [0, 4, 2, 6, 1, 5, 3, 7]


@dataclass
class Snapshot:
    kind: str  # "prompt", "message" or "final"
    rows: list[str]
    attributes: list[list[int]]
    columns: int

    def text_at(self, row: int, column: int, length: int) -> str:
        return self.rows[row][column:column + length] if 0 <= row < len(self.rows) else ""

    def render(self) -> str:
        lines = [f"{number:2d}|{line}|" for number, line in enumerate(self.rows)]
        return "\n".join([" " * 3 + "-" * self.columns] + lines + [" " * 3 + "-" * self.columns])


class Screen:
    """A small ANSI terminal: enough of it to rebuild what OVMF's terminal
    driver draws (cursor positioning, clearing, colours, line feeds). Each
    completed box leaves a snapshot of the whole screen."""

    def __init__(self, columns: int = 80, rows: int = 25):
        self.resize(columns, rows)
        self.snapshots: list[Snapshot] = []
        self._line = ""  # text of the current serial line, for report lines
        self.columns_rows_pending: tuple[int, int] | None = None

    def resize(self, columns: int, rows: int) -> None:
        self.columns, self.rows = max(1, columns), max(1, rows)
        self.fg, self.bg, self.bright = 7, 0, False
        self.cells = [[" "] * self.columns for _ in range(self.rows)]
        self.attrs = [[0x07] * self.columns for _ in range(self.rows)]
        self.row = self.col = 0
        self._box_open = False

    @property
    def attribute(self) -> int:
        return (self.fg | (8 if self.bright else 0)) | (self.bg << 4)

    def lines(self) -> list[str]:
        return ["".join(row) for row in self.cells]

    def snapshot(self, kind: str) -> Snapshot:
        return Snapshot(kind=kind, rows=self.lines(), attributes=[list(a) for a in self.attrs], columns=self.columns)

    def _clear_row(self, row: int, start: int, end: int | None = None) -> None:
        for c in range(start, self.columns if end is None else end):
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
            elif p in (1, 22):
                self.bright = p == 1
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
        first = params[0] if params else 0
        if final in "Hf":
            self.row = min(max((first or 1) - 1, 0), self.rows - 1)
            self.col = min(max((params[1] if len(params) > 1 and params[1] else 1) - 1, 0), self.columns - 1)
        elif final == "J":
            if first == 2:
                for r in range(self.rows):
                    self._clear_row(r, 0)
            elif first == 0:
                self._clear_row(self.row, self.col)
                for r in range(self.row + 1, self.rows):
                    self._clear_row(r, 0)
            elif first == 1:
                for r in range(self.row):
                    self._clear_row(r, 0)
                self._clear_row(self.row, 0, min(self.col + 1, self.columns))
        elif final == "K":
            self._clear_row(self.row, self.col)
        elif final == "m":
            self._sgr(params)
        elif final in "ABCD":
            n = first or 1
            if final in "AB":
                self.row = min(max(self.row + (n if final == "B" else -n), 0), self.rows - 1)
            else:
                self.col = min(max(self.col + (n if final == "C" else -n), 0), self.columns - 1)

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
        while i < len(text):
            ch = text[i]
            if ch == "\x1b":
                match = _ESCAPE.match(text, i)
                if match and match.group(0).startswith("\x1b["):
                    self._control(match.group(0)[-1], match.group(0)[2:-1])
                i = match.end() if match else i + 1
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


# --- Files: configuration, boot disks, firmware, flash images ---------------------------------


def config_text(config: dict) -> str:
    """The key=value file of the harness and the reference platform from a
    "config" object (a list value writes the key once per item)."""
    lines = ["# Written by qemu/ftpm_qemu.py; see qemu/README.md for the keys."]
    for key, value in config.items():
        for item in value if isinstance(value, list) else [value]:
            if isinstance(item, bool):
                item = int(item)
            if not isinstance(item, (int, str)) or "\n" in str(item) or "=" in key or "\n" in key:
                raise HarnessError(f"config {key}: a number, boolean, string or list of them, without line breaks")
            lines.append(f"{key}={item}")
    return "\n".join(lines) + "\n"


def run_tool(tool: str | None, arguments: list[str], what: str) -> str:
    if not tool or not os.access(tool, os.X_OK):
        raise HarnessError(f"{what} needs the ftpm-recovery tool (--tool)")
    result = subprocess.run([tool, *arguments], capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise HarnessError(f"{what} failed ({result.returncode}): {(result.stderr or result.stdout).strip()[:400]}")
    return result.stdout


def copy_from_build(uefi_build: str, relative: str, target: str) -> None:
    source = os.path.join(uefi_build, relative)
    if not os.path.isfile(source):
        raise HarnessError(f"missing {source}: build the uefi preset first")
    shutil.copyfile(source, target)


def boot_disk(work: str, uefi_build: str, boot_file: str) -> str:
    """A fresh FAT directory whose \\EFI\\BOOT\\BOOTX64.EFI is boot_file of the uefi build."""
    disk = os.path.join(work, "disk")
    shutil.rmtree(disk, ignore_errors=True)
    os.makedirs(os.path.join(disk, "EFI", "BOOT"))
    copy_from_build(uefi_build, boot_file, os.path.join(disk, "EFI", "BOOT", "BOOTX64.EFI"))
    return disk


def harness_disk(work: str, uefi_build: str, config: dict, tool: str | None = None) -> str:
    """The disk OVMF boots for a scenario: the harness as the default boot
    file, the driver and the configuration beside it. With "driver.fv" the
    driver goes there as a firmware volume, packaged from the same .efi, so it
    cannot be older than the driver the other scenarios load."""
    disk = boot_disk(work, uefi_build, HARNESS_RELATIVE)
    driver = os.path.join(uefi_build, DRIVER_RELATIVE)
    fv_name = config.get("driver.fv")
    if fv_name and fv_name != "none":
        if not os.path.isfile(driver):
            raise HarnessError(f"missing {driver}: build the uefi preset first")
        run_tool(tool, ["package", driver, "--ffs", os.path.join(work, "FtpmRecoveryDxe.ffs"), "--fv",
                        os.path.join(disk, os.path.basename(str(fv_name)))], "a firmware-volume scenario (package)")
    else:
        copy_from_build(uefi_build, DRIVER_RELATIVE,
                        os.path.join(disk, os.path.basename(config.get("driver.file", DRIVER_RELATIVE))))
    with open(os.path.join(disk, HARNESS_CONFIG), "w", encoding="ascii") as out:
        out.write(config_text(config))
    return disk


# The modules of the rebuilt firmware: file in the uefi build, and the
# dependency expression it is packaged with. In this image the driver starts
# once the reference platform is in place: the platform installs the
# erase-service-ready protocol last.
PLATFORM_MODULES = {
    "FtpmPlatformDxe": (os.path.join("qemu", "platform", "FtpmPlatformDxe.efi"), None),
    "FtpmRecoveryDxe": (DRIVER_RELATIVE, "PCD_PROTOCOL AND EFI_PCD_PROTOCOL AND ERASE_SERVICE_READY_PROTOCOL"),
    "FtpmSysPrep": (os.path.join("qemu", "platform", "FtpmSysPrep.efi"), None),
}


def rebuilt_firmware(tool: str, uefi_build: str, work: str, firmware: str) -> str:
    """Debian's `firmware` with the reference platform, the driver and the
    caller inserted into its DXE volume (`ftpm-recovery package`, then
    `ftpm-recovery insert`), written to WORK/firmware/rebuilt-<name>."""
    if firmware not in FIRMWARE:
        raise HarnessError(f"firmware must be one of {sorted(FIRMWARE)}, not {firmware!r}")
    out_dir = os.path.join(work, "firmware")
    os.makedirs(out_dir, exist_ok=True)
    files = []
    for name, (relative, depex) in PLATFORM_MODULES.items():
        efi = os.path.join(uefi_build, relative)
        if not os.path.isfile(efi):
            raise HarnessError(f"missing {efi}: build the uefi preset first")
        files.append(os.path.join(out_dir, name + ".ffs"))
        run_tool(tool, ["package", efi, "--ffs", files[-1], *(["--depex", depex] if depex else [])], f"package {name}")
    image = os.path.join(out_dir, "rebuilt-" + firmware)
    run_tool(tool, ["insert", "--into", FIRMWARE[firmware][0], "--out", image, *files], f"insert into {firmware}")
    return image


def fit_image(data: bytes, window: str) -> bytes:
    """Pads a flash image with 0xFF to the window's file size. For the 16 MB
    window the top 2 MiB belong to OVMF: bytes there must be 0xFF (erased)."""
    size = WINDOWS[window]["image_size"]
    if len(data) > WINDOWS[window]["flash_size"]:
        raise HarnessError(f"image of {len(data)} bytes is larger than the {window} flash")
    if data[size:].strip(b"\xff"):
        raise HarnessError(f"image has data above offset {size:#x}, where OVMF sits in the {window} window")
    return data[:size] + b"\xff" * (size - len(data[:size]))


def prepare_image(work: str, window: str, source: dict | None, base_dir: str, tool: str | None) -> str:
    """The flash image file for the window, from an "image" object:
    {"file": PATH} or {"layout": LAYOUT.json} (built with mkimage) or nothing
    (all 0xFF), then "patches" applied: [{"offset": N, "hex": "..."}] or
    [{"offset": N, "fill": BYTE, "length": N}]."""
    source = source or {}
    if set(source) - {"file", "layout", "patches"} or ("file" in source and "layout" in source):
        raise HarnessError(f"image: give file or layout and patches, not {sorted(source)}")
    data = b""
    if "layout" in source:
        path = os.path.join(work, "mkimage.bin")
        run_tool(tool, ["mkimage", resolve(base_dir, source["layout"]), "-o", path], "mkimage")
    else:
        path = resolve(base_dir, source["file"]) if "file" in source else None
    if path:
        with open(path, "rb") as handle:
            data = handle.read()
    image = bytearray(fit_image(data, window))
    for patch in source.get("patches", []):
        if set(patch) - {"offset", "hex", "fill", "length"} or ("hex" in patch) == ("fill" in patch):
            raise HarnessError(f"image patch {patch}: give offset and either hex or fill with length")
        offset = to_int(patch.get("offset"), "image patch offset")
        if "hex" in patch:
            content = bytes.fromhex(patch["hex"])
        else:
            content = bytes([to_int(patch["fill"], "fill") & 0xFF]) * to_int(patch.get("length"), "length")
        if offset < 0 or offset + len(content) > len(image):
            raise HarnessError(f"image patch at {offset:#x} runs past the image")
        image[offset:offset + len(content)] = content
    path = os.path.join(work, "LOW.bin" if window == "16m" else "SPI64M.bin")
    with open(path, "wb") as out:
        out.write(image)
    return path


def read_file(path: str) -> bytes:
    with open(path, "rb") as handle:
        return handle.read()


# --- The machine -----------------------------------------------------------------------------


@dataclass
class Machine:
    """A q35 machine and the files it keeps across power-ons, as a
    platform's flash and disk persist across power cycles."""

    work: str
    window: str = "16m"  # where the flash image sits: "16m" or "64m"
    firmware: str = "OVMF.fd"  # Debian's layout (FIRMWARE)
    code: str | None = None  # the firmware image booted (rebuilt_firmware); None: a copy of Debian's
    store: bool = False  # a variable store kept across power-ons; without, OVMF.fd is read-only
    flash: str | None = None  # the flash image file, attached writable in the window
    disk: str | None = None  # FAT directory of the boot disk
    config: dict | None = None  # the reference platform's configuration, through fw_cfg
    processor: int | None = None  # CPUID 0x80000001 EAX; None: QEMU's qemu64 (16m) or DEFAULT_64M_PROCESSOR
    debugcon: bool = False  # the reference platform's reports on port 0x402
    recovery_flag: bool = False  # the ivshmem device the harness moves behind the RecoveryFlag registers
    reboot: bool = True  # False: any reset ends QEMU (-no-reboot)
    display: bool = False  # a display adapter beside the serial console, for screendump
    runs: int = 0

    def __post_init__(self) -> None:
        if self.window not in WINDOWS or self.firmware not in FIRMWARE:
            raise HarnessError(f"window {self.window!r} / firmware {self.firmware!r}: use {sorted(WINDOWS)} and "
                               f"{sorted(FIRMWARE)}")
        if self.window == "16m" and self.firmware != "OVMF.fd":
            raise HarnessError("the 16 MB window leaves room for the 2 MiB OVMF.fd only")
        code, variables = FIRMWARE[self.firmware]
        directory = os.path.join(self.work, "firmware")
        os.makedirs(directory, exist_ok=True)
        # Copies in the work directory, so that no run touches the system's files.
        for source in ([code] if self.code is None else []) + ([variables] if variables else []):
            if not os.path.isfile(source):
                raise HarnessError(f"missing {source}: install the ovmf package")
            shutil.copyfile(source, os.path.join(directory, os.path.basename(source)))
        self.code = self.code or os.path.join(directory, os.path.basename(code))
        self.vars = os.path.join(directory, os.path.basename(variables)) if variables else None
        if self.config is not None:
            self.configure(self.config)

    def configure(self, config: dict) -> None:
        """The configuration the next power-ons read through fw_cfg."""
        self.config = config
        self.config_file = os.path.join(self.work, "platform.cfg")
        with open(self.config_file, "w", encoding="ascii") as out:
            out.write(config_text(config))

    @property
    def store_file(self) -> str | None:
        """The file that holds the variable store: the copy of the variables
        image, or the writable OVMF.fd."""
        return self.vars or (self.code if self.store else None)

    def command(self, qmp: str, debugcon_fd: int | None = None) -> list[str]:
        """The QEMU command line of one power-on. QEMU starts paused until the
        session on the QMP socket `qmp` lets it go; the debug console writes
        into the inherited file descriptor debugcon_fd."""
        processor = DEFAULT_64M_PROCESSOR if self.processor is None and self.window == "64m" else self.processor
        cpu = "qemu64"
        if processor is not None:
            # QEMU keeps the 64 MB window's address range free of memory
            # devices only for this vendor.
            cpu += ",vendor=GenuineIntel" + "".join(f",{k}={v}" for k, v in cpu_from_signature(processor).items())
        command = ["qemu-system-x86_64", "-S", "-net", "none", "-qmp", f"unix:{qmp},server=on,wait=off"]
        if self.display:
            command += ["-display", "none", "-vga", "std", "-serial", "stdio", "-monitor", "none"]
        else:
            command += ["-nographic"]
        if not self.reboot:
            command += ["-no-reboot"]
        if self.window == "64m":
            command += ["-machine", "q35", "-m", "256M,slots=1,maxmem=1010G", "-cpu", cpu + ",phys-bits=41,+pdpe1gb"]
        else:
            command += ["-machine", "q35,max-fw-size=16M", "-m", "256M", "-cpu", cpu]
        readonly = ",readonly=on" if self.vars or not self.store else ""
        command += ["-drive", f"if=pflash,format=raw{readonly},file={self.code}"]
        if self.vars:
            command += ["-drive", f"if=pflash,format=raw,file={self.vars}"]
        if self.flash and self.window == "64m":
            command += ["-object", f"memory-backend-file,id=spi,size=64M,mem-path={self.flash},share=on",
                        "-device", "pc-dimm,memdev=spi,addr=0xFD00000000"]
        elif self.flash:
            command += ["-drive", f"if=pflash,format=raw,file={self.flash}"]
        if self.recovery_flag:
            command += ["-object", "memory-backend-ram,id=rflag,size=4K,share=on", "-device",
                        "ivshmem-plain,memdev=rflag"]
        if self.config is not None:
            command += ["-fw_cfg", f"name={PLATFORM_CONFIG},file={self.config_file}"]
        if self.debugcon:
            if debugcon_fd is None:
                raise HarnessError("a machine with a debug console needs its descriptor")
            command += ["-add-fd", f"fd={debugcon_fd},set=1", "-chardev",
                        "file,id=debugcon,path=/dev/fdset/1,append=on", "-device",
                        "isa-debugcon,chardev=debugcon,iobase=0x402"]
        if self.disk:
            command += ["-drive", f"file=fat:rw:{self.disk},format=raw"]
        return command

    def power_on(self, keys: list | None = None, time_limit: float | None = 60.0, cut: Cut | None = None,
                 echo=None, log=None, interactive: bool = False) -> Run:
        """One power-on from the machine's files, until QEMU ends, the time
        limit or the cut. keys: scenario keys or Steps. interactive: QEMU reads
        this terminal itself, without a time limit."""
        self.runs += 1
        steps = parse_key_steps(keys or [])
        return Session(self, steps, cut, None if interactive else time_limit, echo, log, interactive).run()


# --- The session ------------------------------------------------------------------------------


@dataclass
class Step:
    """What the session does once its condition holds: type a key, or call
    an action with the session (a screendump, say)."""

    key: str | None = None
    after: str = "prompt"  # "prompt" (count prompts drawn), "text", "report" (count lines of event), "none"
    text: str | None = None
    event: str | None = None
    count: int | None = None
    delay: float = 0.0  # seconds between the condition and the step
    action: Callable[[Session], None] | None = None


def parse_key_steps(keys: list) -> list[Step]:
    """Scenario keys: "x" (sent once prompt n has been drawn, n counting from
    1), {"key": "Y", "after": "text"|"report"|"prompt"|"none", "text": ...,
    "event": ..., "count": N, "delay": seconds}, or Steps as they are."""
    steps = []
    for number, item in enumerate(keys, start=1):
        if isinstance(item, Step):
            step = item
        elif isinstance(item, str):
            step = Step(key=item)
        elif isinstance(item, dict) and "key" in item and not set(item) - {"key", "after", "text", "event", "count",
                                                                           "delay"}:
            step = Step(key=item["key"], after=item.get("after", "prompt"), text=item.get("text"),
                        event=item.get("event"), count=item.get("count"), delay=float(item.get("delay", 0.0)))
        else:
            raise HarnessError(f"keys[{number - 1}]: a string or an object with a 'key' and after, text, event, "
                               "count, delay")
        if step.after not in ("prompt", "text", "report", "none"):
            raise HarnessError(f"keys[{number - 1}]: after must be prompt, text, report or none")
        if step.after == "prompt" and step.count is None:
            step.count = number
        if step.key is not None:
            encode_key(step.key)  # reject unknown names before QEMU starts
        steps.append(step)
    return steps


@dataclass
class Cut:
    """When the power goes: at the count-th occurrence of `text` on a stream
    ("debugcon" or "serial"), or of a report line that matches the pattern
    `report` (report_matches). The debug console is read one byte at a time
    while the guest waits for each, so a cut there is exact: the machine
    ends before its next output byte. A report line matches there once the
    fields the pattern names have arrived; one that names the line's last
    field is seen at the line's end, after which the guest may have gone on
    until its next output byte."""

    text: str | None = None
    report: dict | None = None
    stream: str = "debugcon"
    count: int = 1

    def __post_init__(self) -> None:
        if (self.text is None) == (self.report is None) or self.stream not in ("debugcon", "serial"):
            raise HarnessError(f"cut: give text or report, on debugcon or serial: {self}")


class Qmp:
    """QEMU's machine protocol on a unix socket: commands with their answers;
    events go to on_event."""

    def __init__(self, path: str, deadline: float, alive: Callable[[], bool], on_event: Callable[[dict], None]):
        while True:
            self._socket = socket.socket(socket.AF_UNIX)
            try:
                self._socket.connect(path)
                break
            except OSError:
                self._socket.close()
                if not alive() or time.monotonic() > deadline:
                    raise HarnessError(f"no QMP socket at {path}") from None
                time.sleep(0.02)
        self._stream = self._socket.makefile("rb")
        self._answers: queue.Queue = queue.Queue()
        self._on_event = on_event
        try:
            greeting = json.loads(self._stream.readline() or b"{}")
        except (OSError, ValueError):
            greeting = {}
        if "QMP" not in greeting:
            self.close()
            raise HarnessError("QMP: no greeting")
        threading.Thread(target=self._read, daemon=True).start()
        self.command("qmp_capabilities")

    def _read(self) -> None:
        try:
            for line in self._stream:
                message = json.loads(line)
                (self._on_event if "event" in message else self._answers.put)(message)
        except (OSError, ValueError):
            pass
        self._answers.put(None)

    def command(self, name: str, timeout: float = 10.0, **arguments) -> dict:
        try:
            self._socket.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
            answer = self._answers.get(timeout=timeout)
        except (OSError, queue.Empty):
            answer = None
        if answer is None or "error" in answer:
            raise HarnessError(f"QMP {name}: {answer['error'] if answer else 'no answer'}")
        return answer.get("return", {})

    def close(self) -> None:
        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._stream.close()
        self._socket.close()


class Session:
    """One power-on of a machine: QEMU with its serial line on pipes (or this
    terminal), its debug console on a pipe, its QMP socket; the one loop that
    types keys, watches for the cut and the time limit."""

    def __init__(self, machine: Machine, steps: list[Step], cut: Cut | None, time_limit: float | None, echo=None,
                 log=None, interactive: bool = False):
        self.machine, self.steps, self.cut, self.time_limit = machine, steps, cut, time_limit
        self.echo, self.log, self.interactive = echo, log, interactive
        self.serial, self.debugcon = bytearray(), bytearray() if machine.debugcon else None
        self.events: list[dict] = []
        self.keys_sent: list[str] = []
        self.ended_by: str | None = None
        self._frozen = False  # the debug console is no longer read: the guest waits at its next byte
        self._hits = self._scanned = 0  # cut matches so far on the debug console, and how far lines were read
        self._changed = threading.Condition()
        self.qmp: Qmp | None = None

    def serial_text(self) -> str:
        with self._changed:
            return strip_escapes(decode_serial(bytes(self.serial)))

    def reports(self) -> list[ReportLine]:
        """Report lines so far, from the debug console when there is one."""
        with self._changed:
            if self.debugcon is not None:
                return parse_reports(self.debugcon.decode("ascii", "replace"))
        return parse_reports(self.serial_text())

    def send(self, data: bytes) -> None:
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except (AttributeError, OSError):
            pass

    def _pump(self, fd: int, buffer: bytearray, echo=None, watch: bool = False) -> None:
        while chunk := os.read(fd, 4096):
            if echo:
                echo(chunk)
            with self._changed:
                buffer.extend(chunk)
                # Deciding before the next read holds the guest at its next byte.
                self._frozen = watch and self._debugcon_cut_due(len(chunk))
                self._changed.notify_all()
            if self._frozen:
                return

    def _debugcon_cut_due(self, new: int) -> bool:
        cut, buffer = self.cut, self.debugcon
        if cut is None or cut.stream != "debugcon":
            return False
        if cut.text is not None:
            needle = cut.text.encode("ascii", "replace")
            self._hits += buffer.count(needle, max(0, len(buffer) - new - len(needle) + 1))
            return self._hits >= cut.count
        if (end := buffer.rfind(b"\n") + 1) > self._scanned:
            lines = parse_reports(buffer[self._scanned:end].decode("ascii", "replace"))
            self._hits += sum(1 for r in lines if report_matches(cut.report, r))
            self._scanned = end
        # The line being written matches as soon as the fields the pattern
        # names have arrived whole (each is followed by a space), unless the
        # pattern wants a field absent or the free text.
        partial = 0
        if buffer.endswith(b" ") and None not in cut.report.values() and "text" not in cut.report:
            line = parse_reports(buffer[self._scanned:].decode("ascii", "replace") + "\n")
            partial = sum(1 for r in line if report_matches(cut.report, r))
        return self._hits + partial >= cut.count

    def _serial_cut_due(self) -> bool:
        if self.cut is None or self.cut.stream != "serial":
            return False
        text = self.serial_text()
        if self.cut.text is not None:
            return text.count(self.cut.text) >= self.cut.count
        return sum(1 for r in parse_reports(text) if report_matches(self.cut.report, r)) >= self.cut.count

    def _event(self, event: dict) -> None:
        with self._changed:
            self.events.append(event)
            self._changed.notify_all()

    def _ready(self, step: Step) -> bool:
        wanted = step.count or 1
        if step.after == "prompt":
            return count_prompts(self.serial_text()) >= wanted
        if step.after == "text":
            return self.serial_text().count(step.text or "") >= wanted
        if step.after == "report":
            return sum(1 for r in self.reports() if r.event == step.event) >= wanted
        return True

    def power_off(self) -> None:
        """Ends the machine now, as a power cut: the processor stops (QMP stop,
        unless the debug console already holds it) and QEMU is killed, so
        nothing reaches the flash or variable files afterwards."""
        if self.process.poll() is None and self.qmp and not self._frozen:
            try:
                self.qmp.command("stop", timeout=2.0)
            except HarnessError:
                pass
        self.ended_by = "cut"
        self._kill()

    def _kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def run(self) -> Run:
        started = time.monotonic()
        machine = self.machine
        stem = os.path.join(machine.work, f"run{machine.runs}")
        sockets = tempfile.mkdtemp(prefix="ftpm-qmp-")  # short path, never shared with another machine
        read_fd = write_fd = None
        if machine.debugcon:
            read_fd, write_fd = os.pipe()
        command = machine.command(os.path.join(sockets, "qmp"), write_fd)
        with open(stem + ".command.txt", "w", encoding="utf-8") as out:
            out.write(" ".join(command) + "\n")
        self.process = subprocess.Popen(command, stdin=None if self.interactive else subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        pass_fds=[write_fd] if write_fd is not None else [])
        stderr, failure = bytearray(), None
        readers = [threading.Thread(target=self._pump, args=(self.process.stdout.fileno(), self.serial, self.echo)),
                   threading.Thread(target=self._pump, args=(self.process.stderr.fileno(), stderr))]
        if read_fd is not None:
            readers.append(threading.Thread(target=self._pump, args=(read_fd, self.debugcon, None, True)))
        for reader in readers:
            reader.daemon = True
            reader.start()
        try:
            self.qmp = Qmp(os.path.join(sockets, "qmp"), started + 30, lambda: self.process.poll() is None,
                           self._event)
            if write_fd is not None:
                # QEMU has opened the debug console and set its flags. Its
                # writes wait in the kernel for room in the pipe; for a cut
                # there, the pipe takes one write at a time (packet mode, one
                # page), so each byte waits until the last one is read.
                flags = fcntl.fcntl(write_fd, fcntl.F_GETFL) & ~os.O_NONBLOCK
                if self.cut is not None and self.cut.stream == "debugcon":
                    fcntl.fcntl(write_fd, F_SETPIPE_SZ, 4096)
                    flags |= os.O_DIRECT
                fcntl.fcntl(write_fd, fcntl.F_SETFL, flags)
                os.close(write_fd)
                write_fd = None
            self.qmp.command("cont")
            self._drive(None if self.time_limit is None else started + self.time_limit)
        except KeyboardInterrupt:
            self.ended_by = "interrupted"
        except HarnessError as error:
            failure = error
        finally:
            if write_fd is not None:
                os.close(write_fd)
            self._kill()
            for reader in readers:
                reader.join(timeout=5)
            for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
                if pipe:
                    pipe.close()
            if read_fd is not None:
                os.close(read_fd)
            if self.qmp:
                self.qmp.close()
            shutil.rmtree(sockets, ignore_errors=True)
        if failure:
            raise HarnessError(f"{failure}; QEMU: {stderr.decode('utf-8', 'replace').strip()[-600:]}")
        run = Run(serial=bytes(self.serial), debugcon=None if self.debugcon is None else bytes(self.debugcon),
                  events=list(self.events), keys_sent=self.keys_sent, ended_by=self.ended_by,
                  seconds=time.monotonic() - started, stderr=stderr.decode("utf-8", "replace"),
                  exit_code=self.process.returncode, number=machine.runs)
        run.save(stem)
        return run

    def _drive(self, deadline: float | None) -> None:
        steps = list(self.steps)
        not_before = 0.0  # after a lone Escape, or the delay of a step whose condition held
        ready_at = None
        while True:
            with self._changed:
                self._changed.wait(0.05)
            if self._frozen or self._serial_cut_due():
                self.power_off()
                return
            if self.process.poll() is not None:
                break
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                self.ended_by = "timeout"
                break
            if not steps or now < not_before:
                continue
            if ready_at is None and self._ready(steps[0]):
                ready_at = now + steps[0].delay
            if ready_at is not None and now >= ready_at:
                step = steps.pop(0)
                ready_at = None
                if step.action:
                    step.action(self)
                if step.key is not None:
                    data = encode_key(step.key)
                    self.send(data)
                    self.keys_sent.append(step.key)
                    if self.log:
                        self.log(f"sent key {step.key!r}")
                    # Nothing may follow a lone Escape until the terminal
                    # driver has given up waiting for the rest of a sequence.
                    not_before = time.monotonic() + (ESCAPE_SETTLE_SECONDS if data == b"\x1b" else 0.0)
        if steps and self.log:
            self.log(f"key {steps[0].key!r} not sent: its condition ({steps[0].after}) never held")


@dataclass
class Run:
    """What one power-on showed."""

    serial: bytes
    debugcon: bytes | None = None
    events: list[dict] = field(default_factory=list)  # QMP events: {"event": "RESET", "data": {...}, ...}
    keys_sent: list[str] = field(default_factory=list)
    ended_by: str | None = None  # "cut", "timeout", "interrupted", or None when QEMU ended by itself
    seconds: float = 0.0
    stderr: str = ""
    exit_code: int | None = None
    number: int = 1

    @functools.cached_property
    def text(self) -> str:
        """The serial output, decoded, escape sequences removed."""
        return strip_escapes(decode_serial(self.serial))

    @functools.cached_property
    def reports(self) -> list[ReportLine]:
        """The report lines: on the debug console when the machine has one, else on the serial line."""
        return parse_reports(self.debugcon.decode("ascii", "replace") if self.debugcon is not None else self.text)

    @functools.cached_property
    def screen(self) -> Screen:
        return rebuild_screen(decode_serial(self.serial), *initial_console_size(self.reports))

    @property
    def prompts(self) -> int:
        return count_prompts(self.text)

    @property
    def ended(self) -> str:
        """How the power-on ended: "cut", "timeout", or the last reset the
        platform reported ("shutdown", "cold-reset", ...), or
        "exit-without-reset" when QEMU stopped without one (a triple fault
        under -no-reboot, for one)."""
        if self.ended_by:
            return self.ended_by
        resets = [r for r in self.reports if r.event == "reset-system"]
        if not resets:
            return "exit-without-reset"
        kind = resets[-1].fields.get("type", "unknown")
        return kind if kind == "shutdown" else f"{kind}-reset"

    def save(self, stem: str) -> None:
        """STEM.serial.raw (bytes as QEMU sent them), .serial.txt (decoded,
        escape sequences removed), .debugcon, .reports.txt, .events.txt and
        .screens.txt (the screen each time a box was completed, and at the end)."""
        files = {".serial.raw": self.serial, ".serial.txt": self.text.encode(),
                 ".reports.txt": "".join(f"{r.index:3d} @@FTPM {r.raw}\n" for r in self.reports).encode(),
                 ".events.txt": "".join(json.dumps(e) + "\n" for e in self.events).encode(),
                 ".screens.txt": ("".join(f"box {n} ({s.kind}):\n{s.render()}\n\n" for n, s in
                                          enumerate(self.screen.snapshots, start=1)) + "final screen:\n" +
                                  self.screen.snapshot("final").render() + "\n").encode()}
        if self.debugcon is not None:
            files[".debugcon"] = self.debugcon
        for suffix, data in files.items():
            with open(stem + suffix, "wb") as out:
                out.write(data)


# --- Checks ----------------------------------------------------------------------------------


def value_matches(want, got: str | None) -> bool:
    """A field constraint: a number compares numerically (the field may be
    decimal or 0x-hex), {"re": PATTERN} matches a regular expression,
    {"not": X} negates, null means "absent", anything else compares as text."""
    if want is None or got is None:
        return want is None and got is None
    if isinstance(want, dict):
        if "re" in want:
            return re.fullmatch(want["re"], got) is not None
        if "not" in want:
            return not value_matches(want["not"], got)
        raise HarnessError(f"field constraint {want!r}: use re or not")
    if isinstance(want, bool):
        return got == ("1" if want else "0")
    if isinstance(want, int):
        try:
            return int(got, 0) == want
        except ValueError:
            return False
    return str(want) == got


def report_matches(pattern: dict, report: ReportLine) -> bool:
    return report.event == pattern.get("event") and all(
        value_matches(want, report.fields.get(key)) for key, want in pattern.items() if key != "event")


def describe_pattern(pattern: dict) -> str:
    return " ".join([str(pattern.get("event"))] + [f"{k}={v if isinstance(v, str) else json.dumps(v)}"
                                                    for k, v in pattern.items() if k != "event"])


def changed_ranges(before: bytes, after: bytes) -> list[tuple[int, int]]:
    """(offset, length) of each run of bytes that differ, in order."""
    ranges: list[tuple[int, int]] = []
    size = min(len(before), len(after))
    for block in range(0, size, 4096):
        end = min(block + 4096, size)
        if before[block:end] == after[block:end]:
            continue
        for i in range(block, end):
            if before[i] != after[i]:
                if ranges and sum(ranges[-1]) == i:
                    ranges[-1] = (ranges[-1][0], ranges[-1][1] + 1)
                else:
                    ranges.append((i, 1))
    if len(before) != len(after):
        ranges.append((size, abs(len(before) - len(after))))
    return ranges


def format_ranges(ranges) -> str:
    return ", ".join(f"{offset:#x}+{length:#x}" for offset, length in ranges) or "(none)"


class Checks:
    """The checks of a run: each expectation either holds or leaves a message
    saying what differs."""

    def __init__(self) -> None:
        self.failures: list[str] = []
        self.passed = 0

    def expect(self, condition: bool, message: str) -> bool:
        if condition:
            self.passed += 1
        else:
            self.failures.append(message)
        return condition

    def reports(self, reports: list[ReportLine], patterns: list[dict], what: str = "reports") -> None:
        """Each pattern matches a line after the line that matched the one before."""
        position = 0
        for number, pattern in enumerate(patterns, start=1):
            if "event" not in pattern:
                raise HarnessError(f"{what}[{number - 1}] needs an event")
            found = next((r for r in reports[position:] if report_matches(pattern, r)), None)
            if found is not None:
                position = found.index + 1
                self.passed += 1
                continue
            lines = [f"{what} #{number}: expected, after report line {position}: @@FTPM {describe_pattern(pattern)}"]
            same = [r for r in reports if r.event == pattern["event"]]
            lines += [] if same else [f"    no '{pattern['event']}' line at all"]
            for report in same[:8]:
                differences = "; ".join(f"{k}: want {json.dumps(v)}, got {report.fields.get(k, '(absent)')}"
                                        for k, v in pattern.items()
                                        if k != "event" and not value_matches(v, report.fields.get(k)))
                lines += [f"    line {report.index} ({'before the previous match' if report.index < position else 'later'})"
                          f": @@FTPM {report.raw}", f"        {differences or 'matches, but out of order'}"]
            self.failures.append("\n".join(lines))

    def absent(self, reports: list[ReportLine], patterns: list[dict]) -> None:
        for pattern in patterns:
            hits = [f"    line {r.index}: @@FTPM {r.raw}" for r in reports if report_matches(pattern, r)][:8]
            self.expect(not hits, f"absent: expected no line matching @@FTPM {describe_pattern(pattern)}, found:\n"
                        + "\n".join(hits))

    def flash(self, before: bytes | None, after: bytes | None, erased=None, changes=None, what: str = "image",
              partly=()) -> None:
        """The flash image file after a run: every range in `erased` reads
        0xFF, every range in `partly` was erased in part (some bytes changed,
        not all read 0xFF), and no byte outside them changed; with `changes`,
        the changed byte ranges are exactly those."""
        if not self.expect(before is not None and after is not None, f"{what}: the run has no flash image"):
            return
        got = changed_ranges(before, after)
        if erased is not None:
            for offset, size in erased:
                bad = next((i for i, b in enumerate(after[offset:offset + size]) if b != 0xFF), None)
                self.expect(bad is None and len(after) >= offset + size, f"{what}: {offset:#x}+{size:#x} was erased, "
                            f"but offset {offset + (bad or 0):#x} does not read 0xff")
            for offset, size in partly:
                part = after[offset:offset + size]
                self.expect(part != before[offset:offset + size] and part != b"\xff" * size,
                            f"{what}: {offset:#x}+{size:#x} should be erased in part only")
            allowed = list(erased) + list(partly)
            outside = [(o, n) for o, n in got if not any(s <= o and o + n <= s + z for s, z in allowed)]
            self.expect(not outside, f"{what}: bytes changed outside the erased ranges: {format_ranges(outside)}")
        if changes is not None:
            self.expect(got == list(changes), f"{what}: changed byte ranges differ\n    expected: "
                        f"{format_ranges(changes)}\n    got:      {format_ranges(got)}")

    def screen(self, snapshot: Snapshot, check: dict, what: str) -> None:
        """Text (and attributes) at positions, and text the screen contains or lacks."""
        before = len(self.failures)
        for item in check.get("at", []):
            row, col, text = int(item["row"]), int(item["col"]), item["text"]
            got = snapshot.text_at(row, col, len(text))
            self.expect(got == text, f"{what} at row {row} column {col}: expected {text!r}, got {got!r}")
            if item.get("attribute") is not None:
                want = to_int(item["attribute"], "attribute")
                got_attr = snapshot.attributes[row][col] if 0 <= row < len(snapshot.rows) else None
                self.expect(got_attr == want, f"{what} at row {row} column {col}: attribute expected {want:#04x}, "
                            f"got {got_attr if got_attr is None else hex(got_attr)}")
        screen_text = "\n".join(snapshot.rows)
        for snippet in check.get("contains", []):
            self.expect(snippet in screen_text, f"{what}: should contain {snippet!r}")
        for snippet in check.get("lacks", []):
            self.expect(snippet not in screen_text, f"{what}: should not contain {snippet!r}")
        if len(self.failures) > before:
            self.failures[-1] += "\n" + snapshot.render()
