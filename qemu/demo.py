#!/usr/bin/env python3
"""`make demo`: a processor swap, as a platform with FtpmRecoveryDxe lives it.

    python3 qemu/demo.py --uefi-build build/uefi --tool build/host/tools/ftpm-recovery [--keys KEYS]

The machine is the one of tests/e2e/stories/swap-y-64m.json: Debian's
OVMF_CODE_4M.fd with the reference platform (FtpmPlatformDxe), the recovery
driver and the SysPrep caller inserted into its DXE volume by `ftpm-recovery
insert`; the flash image built from samples/combo-ab2-64m.json, its NVRAM
ranges filled with stand-in records of an old processor, in the 64 MB
window, a guest-writable memory device backed by the image file.

1. The machine boots on the old processor (0x00A20F12): the platform
   records its signature; no recovery is requested; it boots on and powers
   off.
2. The processor is swapped: the machine is powered on with the sample's
   processor (0x00A70F42). The platform sees another signature and sets the
   full recovery request; OVMF's dispatcher starts the driver, which
   publishes FtpmRecoveryProtocol; once the consoles are connected OVMF's
   boot manager runs the SysPrep caller, and the prompt appears in this
   terminal. Y: the NVRAM ranges of the side the RecoveryFlag chooses are
   erased in the image file and the cold reset restarts the machine, which
   then boots on without a prompt. N: the records are kept, the boot goes
   on; the demo powers the machine on once more, and the prompt comes back.

With --keys the script answers itself ("y", or "n,y" for N and then Y on
the next power-on). Afterwards it tells what happened in each boot and which
bytes of the image changed, and writes demo-result.json. Ctrl-A X leaves
QEMU at any time.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402
import story as st  # noqa: E402

STORY = os.path.join(st.REPO, "tests", "e2e", "stories", "swap-y-64m.json")
RESULT_NAME = "demo-result.json"


def console_mode(interactive: bool) -> str:
    """100 x 31 shows the prompt's rows whole; a smaller terminal gets
    80 x 25, where the dialog shortens them."""
    size = shutil.get_terminal_size((80, 25))
    return "100x31" if not interactive or (size.columns >= 100 and size.lines >= 31) else "80x25"


def say(text: str) -> None:
    print(f"\r\ndemo: {text}\r", flush=True)


def write_console(chunk: bytes) -> None:
    sys.stdout.write(fq.decode_serial(chunk))
    sys.stdout.flush()


def describe_boot(number: int, boot: st.Boot, story: st.Story) -> list[str]:
    """What the reference platform, the driver and the boot manager did in
    one boot, from the reports on the debug console."""
    lines = [f"Boot {number} (power-on {boot.run}, processor {boot.processor:#010x})"]
    swap = boot.first("swap")
    decision = swap.fields.get("decision") if swap else None
    if decision == "first-boot":
        lines.append("  platform: no processor recorded yet; this one's signature is recorded")
    elif decision == "same-processor":
        lines.append("  platform: same processor as the last boot; no recovery requested")
    elif decision == "swapped":
        lines.append(f"  platform: processor changed (was {int(swap.fields['recorded'], 0):#010x}); "
                     f"sets setting {swap.fields.get('request')}")
    driver = boot.first("image-loaded", image="driver")
    if driver:
        who = {"dxe-dispatcher": "DXE dispatcher", "boot-manager": "boot manager"}.get(driver.fields.get("loaded-by"),
                                                                                     "another module")
        lines.append(f"  driver: started by OVMF's {who} during DXE")
    if boot.first("recovery-protocol"):
        lines.append("  driver: FtpmRecoveryProtocol installed on its image handle")
    after = boot.first("ready-to-lock", when="after-driver")
    if after and after.fields.get("locked") == "1":
        lines.append("  boot manager: installed DXE SMM ready-to-lock; the driver's callbacks locked its records")
    caller = boot.first("caller-started")
    if caller:
        lines.append(f"  boot manager: ran the SysPrep caller (TPL {caller.fields.get('tpl')}, consoles up); "
                     + ("it called the handler" if caller.fields.get("recovery-protocol") == "1"
                        else "nothing to call"))
    for erase in boot.all("smm-erase"):
        offset, size = int(erase.fields["offset"], 0), int(erase.fields["size"], 0)
        name = next((f"side {s} {st.ENTRY_NAMES[n]}" for s, n, o, z in story.ranges() if (o, z) == (offset, size)),
                    "a range")
        lines.append(f"  flash service: erased {offset:#x}+{size:#x} ({name})")
    if boot.first("swap-served"):
        lines.append("  platform: every NVRAM range of the request reads erased; the new processor's signature is recorded")
    if boot.first("handler-return"):
        lines.append("  handler: returned (N): records kept")
    handover = boot.first("s3-handover")
    if handover and handover.fields.get("phase") == "ready-to-boot":
        lines.append("  ready-to-boot: the driver handed its S3 table to SMM")
    reset = boot.first("reset-system")
    if reset and reset.fields.get("type") == "cold":
        lines.append("  the driver cold-reset the machine")
    elif reset and reset.fields.get("type") == "shutdown":
        lines.append("  booted on; the boot option powered the machine off")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True, help="build directory of the uefi preset")
    parser.add_argument("--tool", required=True, help="the ftpm-recovery tool (mkimage, package, insert)")
    parser.add_argument("--keys", help='answer the prompts with these keys: "y", "n", or "n,y"')
    parser.add_argument("--story", default=STORY, help="the story whose machine the demo powers on")
    parser.add_argument("--work", help="directory for the firmware, images and logs (default: build/demo)")
    args = parser.parse_args(argv)

    interactive = args.keys is None
    if interactive and not sys.stdin.isatty():
        print("demo: stdin is not a terminal; pass --keys (for example --keys y) to answer the prompt")
        return 2
    keys = fq.split_keys(args.keys) if args.keys else []
    if args.keys is not None and not keys:
        print("demo: --keys needs at least one key")
        return 2
    work = args.work or os.path.join(st.REPO, "build", "demo")
    try:
        fq.parse_key_steps(keys)
        layout = fq.resolve(os.path.dirname(os.path.abspath(args.story)), st.load_story(args.story)["layout"])
        print(f"demo: flash image from {os.path.relpath(layout, st.REPO)} (ftpm-recovery mkimage), "
              f"stand-in records of an old processor in its NVRAM ranges")
        print("demo: Debian's OVMF_CODE_4M.fd with FtpmPlatformDxe, FtpmRecoveryDxe and FtpmSysPrep inserted "
              "into its DXE volume (ftpm-recovery package, insert)")
        story = st.Story(args.story, args.uefi_build, args.tool, work, {"console.mode": console_mode(interactive)})
    except (fq.HarnessError, subprocess.SubprocessError, OSError, ValueError) as error:
        print(f"demo: {error}")
        return 2
    old, new = story.processor("old"), story.processor("new")

    runs: list[tuple[int, fq.Run]] = []
    say(f"power-on 1: the old processor {old:#010x}")
    runs.append((old, story.power_on("old", [])))
    say(f"the processor is swapped; power-on 2 with {new:#010x}"
        + ("; answer the prompt with Y or N (Ctrl-A X quits)" if interactive else f"; answering {', '.join(keys)}"))
    pending = list(keys)
    for attempt in range(2):
        answer, pending = pending[:1], pending[1:]
        runs.append((new, story.power_on("new", answer, echo=write_console, log=None if interactive else say,
                                         interactive=interactive)))
        refused = any(r.event == "handler-return" for r in runs[-1][1].reports)
        if not refused or attempt == 1 or (not interactive and not pending):
            break
        say(f"N keeps the records; power-on {len(runs) + 1} with the same processor: the prompt comes back")

    boots = [boot for number, (cpu, run) in enumerate(runs, start=1) for boot in st.split_boots(number, cpu, run)]
    before, after = story.before, fq.read_file(story.machine.flash)
    changes = fq.changed_ranges(before, after)
    if sys.stdout.isatty():
        sys.stdout.write("\x1b[0m\x1b[2J\x1b[H")
    print("\n" + "=" * 72 + "\nWhat happened")
    for number, boot in enumerate(boots, start=1):
        print("\n".join(describe_boot(number, boot, story)))
    print(f"Flash image (64 MB window at {fq.WINDOW_64M_BASE:#x})")
    for offset, length in changes:
        now = after[offset:offset + length]
        print(f"  {offset:#010x}..{offset + length - 1:#010x}: was {before[offset:offset + 24]!r}..., now "
              + ("all 0xFF (erased)" if now == b"\xff" * length else f"{now[:16].hex()}..."))
    if not changes:
        print("  unchanged")
    for side, name, offset, size in story.ranges():
        if after[offset:offset + size] == before[offset:offset + size]:
            print(f"  kept: side {side} {st.ENTRY_NAMES[name]} at {offset:#x}+{size:#x}")
    print(f"Files: {work}")

    result = {
        "boots": [{"run": b.run, "processor": f"{b.processor:#010x}",
                   "swap": (b.first("swap").fields.get("decision") if b.first("swap") else None),
                   "prompted": b.first("handler-call") is not None,
                   "erase_requests": [{"address": r.fields.get("address"), "size": r.fields.get("size"),
                                       "action": r.fields.get("action")} for r in b.all("smm-erase")],
                   "reset": (b.first("reset-system").fields.get("type") if b.first("reset-system") else None)}
                  for b in boots],
        "runs": [{"processor": f"{cpu:#010x}", "ended": run.ended} for cpu, run in runs],
        "filled": [{"side": s, "name": n, "offset": hex(o), "size": hex(z)} for s, n, o, z in story.ranges()],
        "changes": [{"offset": hex(o), "length": hex(n)} for o, n in changes],
        "image": story.machine.flash,
    }
    with open(os.path.join(work, RESULT_NAME), "w", encoding="utf-8") as out:
        json.dump(result, out, indent=2)
        out.write("\n")
    return 0 if all(run.ended == "shutdown" for _, run in runs) else 1


if __name__ == "__main__":
    sys.exit(main())
