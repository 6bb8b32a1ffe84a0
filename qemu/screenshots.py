#!/usr/bin/env python3
"""`make screenshots`: the recovery prompt as OVMF's graphical console draws it.

    python3 qemu/screenshots.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery \\
        [--out docs/screenshots]

For each text mode (80 x 25 and 100 x 31) the rebuilt OVMF boots with a
display adapter on the old processor, then on the sample's: the platform
requests the full recovery, the caller sets the mode and calls the handler,
and once the prompt is on the serial console QEMU's screendump (through its
QMP socket) saves the screen as PNG. N then lets the boot go on.
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402
import story as st  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYOUT = os.path.join(REPO, "samples", "combo-ab2-64m.json")
OLD_PROCESSOR = 0x00A20F12
MODES = ("80x25", "100x31")
# The graphical console draws a moment after the serial one.
SETTLE_SECONDS = 1.5


class Qmp:
    """QEMU's machine protocol over a Unix socket: one command, one answer."""

    def __init__(self, path: str, deadline: float):
        while True:
            try:
                self._socket = socket.socket(socket.AF_UNIX)
                self._socket.connect(path)
                break
            except OSError:
                self._socket.close()
                if time.monotonic() > deadline:
                    raise fq.HarnessError(f"no QMP socket at {path}")
                time.sleep(0.1)
        self._stream = self._socket.makefile("rw")
        self._stream.readline()  # the greeting
        self.command("qmp_capabilities")

    def command(self, name: str, **arguments) -> dict:
        self._stream.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self._stream.flush()
        while True:
            answer = json.loads(self._stream.readline())
            if "event" not in answer:
                break
        if "error" in answer:
            raise fq.HarnessError(f"QMP {name}: {answer['error']}")
        return answer

    def close(self) -> None:
        self._socket.close()


def shoot(work: str, uefi_build: str, tool: str, mode: str, out: str) -> None:
    os.makedirs(work, exist_ok=True)
    new = fq.to_int(fq.read_layout(LAYOUT).get("processor"), "sample processor")
    flash, ranges = st.prepare_flash(work, tool, LAYOUT, "64m", new)
    config = {"swap.request": 122, "console.mode": mode, "erase.window": "64m",
              **{f"flash-map.{r['side'].lower()}.{'ftpm' if r['type'] == '0x04' else 'mvq'}":
                     f"{hex(r['address'])}:{hex(r['size'])}" for r in ranges}}
    machine = st.Machine(work, uefi_build, tool, "OVMF_CODE_4M.fd", "64m", flash, config)
    machine.run(OLD_PROCESSOR, [])
    qmp_path = os.path.join(work, "qmp.sock")
    if os.path.exists(qmp_path):
        os.remove(qmp_path)
    session = fq.Session(machine.command(new, os.path.join(work, "screenshot.debugcon"), qmp_path))
    deadline = time.monotonic() + st.RUN_TIME_LIMIT
    try:
        if not session.wait_until(lambda text: fq.count_prompts(text) >= 1, deadline):
            raise fq.HarnessError(f"{mode}: the prompt never appeared")
        time.sleep(SETTLE_SECONDS)
        qmp = Qmp(qmp_path, deadline)
        partial = out + ".part"
        qmp.command("screendump", filename=os.path.abspath(partial), format="png")
        qmp.close()
        os.replace(partial, out)
        session.send(b"n")
        session.wait_exit(deadline)
    finally:
        session.kill()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--out", default=os.path.join(REPO, "docs", "screenshots"))
    parser.add_argument("--work", default=os.path.join(REPO, "build", "screenshots"))
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    try:
        for mode in MODES:
            target = os.path.join(args.out, f"prompt-{mode}.png")
            shoot(os.path.join(args.work, mode), args.uefi_build, args.tool, mode, target)
            print(f"{target}: the prompt at {mode}")
    except (fq.HarnessError, subprocess.SubprocessError, OSError, ValueError) as error:
        print(f"screenshots: {error}")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
