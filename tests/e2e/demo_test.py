#!/usr/bin/env python3
"""`make demo KEYS=y` without a person: qemu/demo.py boots the rebuilt OVMF on
the old processor, then on the sample's, answers Y; the three boots must be
the story of a processor swap, and the image file must have changed exactly
in side A's two NVRAM ranges.

    demo_test.py --uefi-build DIR --tool PATH/ftpm-recovery --work DIR

The expected ranges are the fixed ones of the story file whose machine the
demo powers on, written from the sample layout, not found by the driver's
own lookups.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "qemu"))

import demo  # noqa: E402
import ftpm_qemu as fq  # noqa: E402
import story as st  # noqa: E402


def expected_erases() -> list[tuple[int, int]]:
    """Side A's fTPM and MVQ NVRAM ranges in the demo's story (the RecoveryFlag reads 0 in QEMU)."""
    nvram = st.load_story(demo.STORY)["nvram"]["A"]
    return [(fq.flash_offset(a), s) for a, s in (st.parse_range(nvram[n], n) for n in ("ftpm-nvram", "mvq-nvram"))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    command = [sys.executable, os.path.join(REPO, "qemu", "demo.py"), "--uefi-build", args.uefi_build, "--tool",
            args.tool, "--keys", "y", "--work", args.work]
    run = subprocess.run(command, capture_output=True, text=True, timeout=240, stdin=subprocess.DEVNULL)
    print(run.stdout[-4000:])
    if run.returncode != 0:
        print(run.stderr[-2000:])
        print(f"FAIL: demo.py exited with {run.returncode}")
        return 1
    with open(os.path.join(args.work, "demo-result.json"), encoding="utf-8") as handle:
        result = json.load(handle)

    failures = []
    boots = result["boots"]
    story = [(b["swap"], b["prompted"], b["reset"]) for b in boots]
    want_story = [("first-boot", False, "shutdown"), ("swapped", True, "cold"), ("same-processor", False, "shutdown")]
    if story != want_story:
        failures.append(f"boots {story}, expected {want_story}")
    if [r["ended"] for r in result["runs"]] != ["shutdown", "shutdown"]:
        failures.append(f"power-ons ended {result['runs']}, expected both by powering off")
    swapped = boots[1] if len(boots) > 1 else {"erase_requests": []}
    wanted = sorted(expected_erases())
    sent = sorted((fq.flash_offset(int(r["address"], 0)), int(r["size"], 0)) for r in swapped["erase_requests"])
    if sent != wanted:
        failures.append(f"erase requests {sent} differ from the story's ranges {wanted}")
    changed = sorted((int(c["offset"], 0), int(c["length"], 0)) for c in result["changes"])
    if changed != wanted:
        failures.append(f"the image changed at {changed}, expected exactly {wanted}")

    # The image file itself: erased ranges read 0xFF, the other side's
    # stand-in records are still there.
    with open(result["image"], "rb") as handle:
        after = handle.read()
    for offset, size in wanted:
        if after[offset:offset + size] != b"\xff" * size:
            failures.append(f"{offset:#x}+{size:#x} does not read 0xFF after the run")
    kept = [f for f in result["filled"] if (int(f["offset"], 0), int(f["size"], 0)) not in wanted]
    if not kept:
        failures.append("no stand-in record outside the erased ranges, so nothing shows they were left alone")
    for entry in kept:
        offset, size = int(entry["offset"], 0), int(entry["size"], 0)
        if after[offset:offset + size] == b"\xff" * size or offset in [o for o, _ in changed]:
            failures.append(f"side {entry['side']} {entry['name']} at {offset:#x} was touched")

    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print(f"PASS demo: three boots; side A erased at {', '.join(f'{o:#x}+{n:#x}' for o, n in wanted)}; "
          f"{len(kept)} other range(s) kept")
    return 0


if __name__ == "__main__":
    sys.exit(main())
