#!/usr/bin/env python3
"""`make screenshots`: the recovery prompt as OVMF's graphical console draws it.

    python3 qemu/screenshots.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery \\
        [--out docs/screenshots]

For each text mode (80 x 25 and 100 x 31) the demo's machine boots on the
old processor, then with a display adapter on the sample's: the platform
requests the full recovery, the caller sets the mode and calls the handler,
and once the prompt is on the serial console QEMU's screendump (through its
QMP socket) saves the screen as PNG. N then lets the boot go on.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import demo  # noqa: E402
import ftpm_qemu as fq  # noqa: E402
import story as st  # noqa: E402

MODES = ("80x25", "100x31")
SETTLE_SECONDS = 1.5  # the graphical console draws a moment after the serial one


def shoot(work: str, uefi_build: str, tool: str, mode: str, out: str) -> None:
    story = st.Story(demo.STORY, uefi_build, tool, work, {"console.mode": mode})
    story.power_on("old", [])
    story.machine.display = True
    partial = out + ".part"

    def screendump(session: fq.Session) -> None:
        session.qmp.command("screendump", filename=os.path.abspath(partial), format="png")

    story.power_on("new", [fq.Step(after="prompt", count=1, delay=SETTLE_SECONDS, action=screendump),
                           fq.Step(key="n", after="none")])
    if not os.path.isfile(partial):
        raise fq.HarnessError(f"{mode}: the prompt never appeared")
    os.replace(partial, out)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--out", default=os.path.join(st.REPO, "docs", "screenshots"))
    parser.add_argument("--work", default=os.path.join(st.REPO, "build", "screenshots"))
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
