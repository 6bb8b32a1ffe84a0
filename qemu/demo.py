#!/usr/bin/env python3
"""`make demo`: FtpmRecoveryDxe.efi doing its job in OVMF under QEMU.

    python3 qemu/demo.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery [--keys KEYS]

The machine is the one the driver is built for: a family 0x19 processor
whose SPI flash appears in the 64 MB window at 0xFD00000000. The flash image
is built from a sample layout with `ftpm-recovery mkimage`, setting 122 asks
for the full recovery, and the harness calls the prompt handler once the
console is up. The serial console is attached to this terminal: answer the
prompt with Y (erase and restart) or N (keep the records). With --keys the
script answers itself, for CI ("Y", "N", or "x,ESC,N"). When QEMU has ended
the script prints what the driver did and which bytes of the image changed.
Ctrl-A X leaves QEMU at any time.
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The sample the demo prefers; any other samples/*.json is the fallback.
DEFAULT_SAMPLE = os.path.join(REPO, "samples", "demo.json")
KEYS_TIME_LIMIT = 90.0


def choose_layout(requested: str | None) -> str | None:
    if requested:
        return requested
    if os.path.isfile(DEFAULT_SAMPLE):
        return DEFAULT_SAMPLE
    samples = sorted(glob.glob(os.path.join(REPO, "samples", "*.json")))
    return samples[0] if samples else None


def prepare_image(work: str, tool: str, layout: str | None) -> tuple[str, bool]:
    """The 64 MB image file, and whether it came from a sample."""
    if layout and fq.tool_has_mkimage(tool):
        print(f"demo: flash image from {os.path.relpath(layout, REPO)} (ftpm-recovery mkimage)")
        return fq.prepare_image(work, "64m", {"layout": layout}, REPO, tool), True
    reason = "no sample layout in samples/" if not layout else f"{tool} has no mkimage command yet"
    print(f"demo: {reason}; the flash image is blank, so there is nothing for Y to erase")
    return fq.prepare_image(work, "64m", None, REPO, tool), False


def console_mode(interactive: bool) -> str:
    """100 x 31 shows the prompt's rows whole; a smaller terminal gets
    80 x 25, where the dialog shortens them."""
    if not interactive:
        return "100x31"
    size = shutil.get_terminal_size((80, 25))
    return "100x31" if size.columns >= 100 and size.lines >= 31 else "80x25"


def write_terminal(chunk: bytes) -> None:
    # OVMF's terminal draws boxes in code page 437; this terminal wants UTF-8.
    sys.stdout.write(fq.decode_serial(chunk))
    sys.stdout.flush()


def run_interactive(command: list[str]) -> tuple[bytes, bool]:
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
            write_terminal(chunk)

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    try:
        process.wait()
    except KeyboardInterrupt:
        process.terminate()
        process.wait()
    reader.join(timeout=5)
    return bytes(raw), False


def run_with_keys(command: list[str], keys: list[str]) -> tuple[bytes, bool]:
    steps = fq.parse_key_steps(keys)
    session = fq.Session(command, echo=write_terminal)
    deadline = time.monotonic() + KEYS_TIME_LIMIT
    try:
        fq.feed_keys(session, steps, deadline, log=lambda message: print(f"\r\ndemo: {message}\r"))
        timed_out = not session.wait_exit(deadline)
    finally:
        session.kill()
    return session.raw, timed_out


def summarise(raw: bytes, timed_out: bool, before: bytes, image_path: str, from_sample: bool) -> int:
    text = fq.strip_escapes(fq.decode_serial(raw))
    reports = fq.parse_reports(text)
    ended = fq.how_it_ended(timed_out, reports)
    print("\n" + "=" * 72)
    print("What happened")
    interesting = ("driver-loaded", "driver-entry", "recovery-protocol", "handler-call", "handler-return",
                   "smm-erase", "s3-handover", "reset-system")
    for report in reports:
        if report.event in interesting:
            print(f"  {report.raw}")
    drawn = sum(1 for box in fq.find_boxes(text) if box.kind == "prompt")
    print(f"  prompts drawn: {drawn}; QEMU ended: {ended}")
    with open(image_path, "rb") as handle:
        after = handle.read()
    changes = fq.changed_ranges(before, after)
    print("Flash image (64 MB window at 0xFD00000000)")
    if not changes:
        print("  unchanged" + ("" if from_sample else " (blank image: no sample to erase yet)"))
    for offset, length in changes:
        was = before[offset:offset + length]
        now = after[offset:offset + length]
        now_text = "all 0xFF (erased)" if now == b"\xff" * length else f"{now[:16].hex()}..."
        print(f"  {offset:#010x}..{offset + length - 1:#010x} ({length} bytes, at {0xFD00000000 + offset:#x}): "
              f"was {was[:16].hex()}{'...' if length > 16 else ''}, now {now_text}")
    print(f"Files: {os.path.dirname(image_path)}")
    return 0 if ended in ("shutdown", "cold-reset") else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True, help="build directory of the uefi preset")
    parser.add_argument("--tool", required=True, help="the ftpm-recovery tool")
    parser.add_argument("--keys", help='answer the prompt with these keys: "Y", "N", or "x,ESC,N"')
    parser.add_argument("--layout", help="sample layout for mkimage (default: samples/demo.json)")
    parser.add_argument("--work", help="directory for the volume, image and logs (default: build/demo)")
    args = parser.parse_args(argv)

    interactive = args.keys is None
    if interactive and not sys.stdin.isatty():
        print("demo: stdin is not a terminal; pass --keys (for example --keys Y) to answer the prompt")
        return 2
    work = args.work or os.path.join(REPO, "build", "demo")
    os.makedirs(work, exist_ok=True)
    try:
        image, from_sample = prepare_image(work, args.tool, choose_layout(args.layout))
        with open(image, "rb") as handle:
            before = handle.read()
        config = {"setting.122": 1, "handler.calls": 1, "erase.window": "64m", "console.mode": console_mode(interactive)}
        volume = fq.prepare_volume(work, args.uefi_build, config)
        command = fq.qemu_command(work, volume, "64m", image, dict(fq.DEFAULT_64M_CPU))
        keys = fq.split_keys(args.keys) if args.keys else []
        if keys:
            fq.parse_key_steps(keys)
    except fq.HarnessError as error:
        print(f"demo: {error}")
        return 2

    print("demo: booting OVMF (family 0x19 processor, flash in the 64 MB window); "
          + ("answering with " + ", ".join(keys) if keys else "answer the prompt with Y or N, Ctrl-A X quits"))
    time.sleep(0 if keys else 1.5)
    raw, timed_out = run_with_keys(command, keys) if keys else run_interactive(command)
    with open(os.path.join(work, "serial.raw"), "wb") as out:
        out.write(raw)
    return summarise(raw, timed_out, before, image, from_sample)


if __name__ == "__main__":
    sys.exit(main())
