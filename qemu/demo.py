#!/usr/bin/env python3
"""`make demo`: FtpmRecoveryDxe.efi doing its job in OVMF under QEMU.

    python3 qemu/demo.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery [--keys KEYS]

The flash image is built from samples/combo-ab2-64m.json with
`ftpm-recovery mkimage`, and the machine is the one that sample is made
for: the processor its "processor" field names (family 0x19, model 0x74),
whose SPI flash appears in the 64 MB window at 0xFD00000000, a guest-writable
memory device backed by the image file. Before the boot, the NVRAM ranges
that `ftpm-recovery inspect` finds for both A/B sides are filled with
stand-in records of an old processor, so that an erase shows. Setting 122
asks for the full recovery; the harness calls the prompt handler once the
console is up.

The serial console is attached to this terminal: answer the prompt with Y
(the harness's flash service erases the ranges in the image file, the
machine cold-resets) or N (the boot goes on: ready-to-boot, the S3 hand-over,
shutdown). With --keys the script answers itself, for CI ("y", "N", or
"x,ESC,N"). When QEMU has ended the script prints what the driver did and
which bytes of the image changed, and writes demo-result.json. Ctrl-A X
leaves QEMU at any time.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_LAYOUT = os.path.join(REPO, "samples", "combo-ab2-64m.json")
KEYS_TIME_LIMIT = 90.0
RESULT_NAME = "demo-result.json"
# RecoveryFlag values that choose side A and side B.
SIDES = {"A": 0, "B": 0x40000000}
ENTRY_NAMES = {"0x04": "fTPM NVRAM", "0x54": "MVQ NVRAM"}


def inspect_ranges(tool: str, image: str, processor: int) -> list[dict]:
    """The NVRAM entries the driver's lookups find on each side:
    [{"side", "type", "name", "offset", "size"}]. Both sides usually hold
    both types; a range found on both sides is listed once."""
    ranges: list[dict] = []
    for side, flag in SIDES.items():
        command = [tool, "inspect", "--image", image, "--cpu", hex(processor), "--recovery-flag", hex(flag), "--json"]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise fq.HarnessError(f"inspect failed ({result.returncode}): {result.stderr.strip()[:300]}")
        lookups = json.loads(result.stdout).get("lookups", {})
        for entry_type, name in ENTRY_NAMES.items():
            found = lookups.get(entry_type, {})
            if not found.get("found"):
                continue
            offset = fq.flash_offset(int(found["address"], 0))
            size = int(found["size"], 0)
            if offset is None or size == 0 or offset + size > fq.FLASH_SIZE:
                continue
            if any(r["offset"] == offset and r["size"] == size for r in ranges):
                continue
            ranges.append({"side": side, "type": entry_type, "name": name, "offset": offset, "size": size})
    return ranges


def stand_in_record(entry: dict) -> bytes:
    text = f"old CPU {entry['name']} record, side {entry['side']} | ".encode("ascii")
    return (text * (entry["size"] // len(text) + 1))[:entry["size"]]


def prepare_image(work: str, tool: str, layout: str) -> tuple[str, int, list[dict]]:
    """The 64 MB image file, the processor it is made for, and the ranges
    filled with stand-in records."""
    description = fq.read_layout(layout)
    try:
        processor = int(str(description.get("processor")), 0)
    except ValueError as error:
        raise fq.HarnessError(f"{layout} names no processor: {error}") from error
    print(f"demo: flash image from {os.path.relpath(layout, REPO)} (ftpm-recovery mkimage), "
          f"processor {processor:#010x}")
    image = fq.prepare_image(work, "64m", {"layout": layout}, REPO, tool)
    ranges = inspect_ranges(tool, os.path.join(work, "mkimage.bin"), processor)
    with open(image, "r+b") as handle:
        for entry in ranges:
            handle.seek(entry["offset"])
            handle.write(stand_in_record(entry))
            print(f"demo: side {entry['side']} {entry['name']} at {entry['offset']:#x}+{entry['size']:#x} "
                  f"holds stand-in records")
    if not ranges:
        print("demo: the directories name no NVRAM range for this processor; Y has nothing to erase")
    return image, processor, ranges


def console_mode(interactive: bool) -> str:
    """100 x 31 shows the prompt's rows whole; a smaller terminal gets
    80 x 25, where the dialog shortens them."""
    if not interactive:
        return "100x31"
    size = shutil.get_terminal_size((80, 25))
    return "100x31" if size.columns >= 100 and size.lines >= 31 else "80x25"


class Terminal:
    """This terminal as the machine's screen: code page 437 to UTF-8, and
    the harness's report lines left out (unless asked for)."""

    def __init__(self, show_reports: bool):
        self._filter = None if show_reports else fq.ReportFilter()

    def write(self, chunk: bytes) -> None:
        text = fq.decode_serial(chunk)
        sys.stdout.write(self._filter.feed(text) if self._filter else text)
        sys.stdout.flush()


def run_interactive(command: list[str], terminal: Terminal) -> tuple[bytes, bool]:
    """QEMU reads this terminal directly; its output goes through the code
    page translation. No time limit: a person is answering."""
    raw = bytearray()
    process = subprocess.Popen(command, stdout=subprocess.PIPE)

    def pump() -> None:
        while True:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            raw.extend(chunk)
            terminal.write(chunk)

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    try:
        process.wait()
    except KeyboardInterrupt:
        process.terminate()
        process.wait()
    reader.join(timeout=5)
    return bytes(raw), False


def run_with_keys(command: list[str], keys: list[str], terminal: Terminal) -> tuple[bytes, bool]:
    steps = fq.parse_key_steps(keys)
    session = fq.Session(command, echo=terminal.write)
    deadline = time.monotonic() + KEYS_TIME_LIMIT
    try:
        fq.feed_keys(session, steps, deadline, log=lambda message: print(f"\r\ndemo: {message}\r"))
        timed_out = not session.wait_exit(deadline)
    finally:
        session.kill()
    return session.raw, timed_out


def label(offset: int, length: int, ranges: list[dict]) -> str:
    for entry in ranges:
        if entry["offset"] <= offset and offset + length <= entry["offset"] + entry["size"]:
            whole = entry["offset"] == offset and entry["size"] == length
            return f"side {entry['side']} {entry['name']}" + ("" if whole else " (part)")
    return "not an NVRAM range"


def summarise(raw: bytes, timed_out: bool, before: bytes, image_path: str, ranges: list[dict],
              processor: int) -> dict:
    text = fq.strip_escapes(fq.decode_serial(raw))
    reports = fq.parse_reports(text)
    ended = fq.how_it_ended(timed_out, reports)
    if sys.stdout.isatty():
        # The machine's last screen is still there, cursor wherever it was.
        sys.stdout.write("\x1b[0m\x1b[2J\x1b[H")
    print("\n" + "=" * 72)
    print("What happened")
    interesting = ("recovery-flag", "driver-loaded", "driver-entry", "recovery-protocol", "handler-call",
                   "handler-return", "smm-erase", "ready-to-boot", "s3-handover", "reset-system")
    for report in reports:
        if report.event in interesting:
            print(f"  {report.raw}")
    flag = next((r for r in reports if r.event == "recovery-flag"), None)
    side = flag.fields.get("side-3810570") if flag else None
    drawn = sum(1 for box in fq.find_boxes(text) if box.kind == "prompt")
    print(f"  prompts drawn: {drawn}; RecoveryFlag chooses side {side or '?'}; QEMU ended: {ended}")
    with open(image_path, "rb") as handle:
        after = handle.read()
    changes = fq.changed_ranges(before, after)
    print(f"Flash image (64 MB window at {fq.WINDOW_64M_BASE:#x})")
    if not changes:
        print("  unchanged")
    for offset, length in changes:
        was = before[offset:offset + length]
        now = after[offset:offset + length]
        now_text = "all 0xFF (erased)" if now == b"\xff" * length else f"{now[:16].hex()}..."
        print(f"  {offset:#010x}..{offset + length - 1:#010x} ({length:#x} bytes, {label(offset, length, ranges)}): "
              f"was {was[:24]!r}{'...' if length > 24 else ''}, now {now_text}")
    kept = [r for r in ranges if after[r["offset"]:r["offset"] + r["size"]] == stand_in_record(r)]
    for entry in kept:
        print(f"  kept: side {entry['side']} {entry['name']} at {entry['offset']:#x}+{entry['size']:#x}")
    erased = sum(1 for r in reports if r.event == "smm-erase" and r.fields.get("action") == "erased")
    returned = any(r.event == "handler-return" for r in reports)
    if ended == "cold-reset":
        print(f"Answer Y: the driver had {erased} range(s) erased and cold-reset the machine.")
    elif returned and ended == "shutdown":
        print("Answer N: nothing was erased and the boot went on (ready-to-boot, the S3 hand-over); "
              "the harness then shut the machine down.")
    print(f"Files: {os.path.dirname(image_path)}")
    return {
        "ended": ended,
        "prompts": drawn,
        "processor": f"{processor:#010x}",
        "recovery_flag": flag.fields.get("reg-3810570") if flag else None,
        "side": side,
        "erase_requests": [{"address": r.fields.get("address"), "size": r.fields.get("size"),
                            "action": r.fields.get("action")} for r in reports if r.event == "smm-erase"],
        "s3_handovers": sum(1 for r in reports if r.event == "s3-handover"),
        "filled": [{**r, "offset": hex(r["offset"]), "size": hex(r["size"])} for r in ranges],
        "changes": [{"offset": hex(o), "length": hex(n)} for o, n in changes],
        "image": image_path,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True, help="build directory of the uefi preset")
    parser.add_argument("--tool", required=True, help="the ftpm-recovery tool (mkimage, inspect)")
    parser.add_argument("--keys", help='answer the prompt with these keys: "y", "N", or "x,ESC,N"')
    parser.add_argument("--layout", help="flash layout for mkimage (default: samples/combo-ab2-64m.json)")
    parser.add_argument("--work", help="directory for the volume, image and logs (default: build/demo)")
    parser.add_argument("--show-reports", action="store_true", help="show the harness's @@FTPM lines as they come")
    args = parser.parse_args(argv)

    interactive = args.keys is None
    if interactive and not sys.stdin.isatty():
        print("demo: stdin is not a terminal; pass --keys (for example --keys y) to answer the prompt")
        return 2
    work = args.work or os.path.join(REPO, "build", "demo")
    os.makedirs(work, exist_ok=True)
    try:
        if not fq.tool_has_mkimage(args.tool):
            raise fq.HarnessError(f"{args.tool} cannot run mkimage: build the host preset first")
        image, processor, ranges = prepare_image(work, args.tool, os.path.abspath(args.layout or DEFAULT_LAYOUT))
        with open(image, "rb") as handle:
            before = handle.read()
        config = {"setting.122": 1, "handler.calls": 1, "erase.window": "64m",
                  "console.mode": console_mode(interactive), "ready-to-boot": 1}
        volume = fq.prepare_volume(work, args.uefi_build, config)
        command = fq.qemu_command(work, volume, "64m", image, fq.cpu_from_signature(processor))
        keys = fq.split_keys(args.keys) if args.keys else []
        if args.keys is not None and not keys:
            raise fq.HarnessError("--keys needs at least one key")
        fq.parse_key_steps(keys)
    except (fq.HarnessError, subprocess.SubprocessError, OSError) as error:
        print(f"demo: {error}")
        return 2

    print("demo: booting OVMF in QEMU (flash in the 64 MB window); "
          + ("answering with " + ", ".join(keys) if keys else "answer the prompt with Y or N, Ctrl-A X quits"))
    time.sleep(0 if keys else 1.5)
    terminal = Terminal(args.show_reports)
    raw, timed_out = run_with_keys(command, keys, terminal) if keys else run_interactive(command, terminal)
    with open(os.path.join(work, "serial.raw"), "wb") as out:
        out.write(raw)
    result = summarise(raw, timed_out, before, image, ranges, processor)
    with open(os.path.join(work, RESULT_NAME), "w", encoding="utf-8") as out:
        json.dump(result, out, indent=2)
        out.write("\n")
    return 0 if result["ended"] in ("shutdown", "cold-reset") else 1


if __name__ == "__main__":
    sys.exit(main())
