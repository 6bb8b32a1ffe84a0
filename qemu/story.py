#!/usr/bin/env python3
"""The driver as a platform ships it: a processor swap across reboots.

    python3 qemu/story.py --uefi-build DIR --tool PATH/ftpm-recovery \\
        --work DIR --scenario tests/e2e/stories/NAME.json [--verbose]

The machine boots Debian's OVMF rebuilt by `ftpm-recovery insert` with the
reference platform (FtpmPlatformDxe), the recovery driver and the SysPrep
caller in its DXE volume, a writable variable store, the flash image in the
16 MB or the 64 MB window, the configuration in fw_cfg, and a disk whose boot
option (FtpmBootTarget) powers the machine off. A story is a list of
power-ons ("runs"), each on a processor: a cold reset restarts the machine
within the run, so one run may hold several boots; a run may end in a power
cut. The modules report on QEMU's debug console; the serial line is the
console, where the prompt is drawn and keys go in.

Every boot is checked for what a platform relies on: the driver started by
the DXE dispatcher, the ready-to-lock callbacks running when the boot
manager installs the protocol and not inside start-up, the caller run by the
boot manager at TPL_APPLICATION, the processor-swap decision, the prompt
exactly when a recovery is requested, exactly the erase requests the story's
NVRAM ranges call for, the cold reset after Y, the S3 hand-over at
ready-to-boot otherwise. At a power cut and at the end: the image changed
exactly where it was erased, and the variable store holds the processor the
story names. Exit status: 0 all hold, 1 one failed, 2 a set-up problem.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402
import uefivars  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTRY_NAMES = {"ftpm-nvram": "fTPM NVRAM", "mvq-nvram": "MVQ NVRAM"}
CASES = {122: ["ftpm-nvram", "mvq-nvram"], 377: ["ftpm-nvram"]}  # the request setting -> what Y erases, in order
STORY_KEYS = {"description", "firmware", "window", "layout", "processors", "nvram", "config", "recovery_flag", "runs",
              "boots", "recorded"}
RUN_KEYS = {"processor", "keys", "cut", "at_cut", "config"}


def platform_variable() -> tuple[str, str]:
    """The name and vendor GUID of the variable in which the reference
    platform keeps the last boot's processor signature, from the headers
    that define them."""
    with open(os.path.join(REPO, "platform", "Guids.h"), encoding="utf-8") as handle:
        guid = re.search(r'gFtpmPlatformVariableGuid\s*=\s*MakeGuid\("([0-9A-Fa-f-]{36})"\)', handle.read())
    with open(os.path.join(REPO, "reference", "Recovery.h"), encoding="utf-8") as handle:
        name = re.search(r'kLastSignatureVariable\[\]\s*=\s*u"([^"]+)"', handle.read())
    if not guid or not name:
        raise fq.HarnessError("the platform variable's name or GUID is no longer where story.py looks")
    return name.group(1), guid.group(1)


def load_story(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as handle:
            story = json.load(handle)
    except (OSError, json.JSONDecodeError) as error:
        raise fq.HarnessError(f"cannot read story {path}: {error}") from error
    missing = {"firmware", "window", "layout", "processors", "nvram", "runs", "boots", "recorded"} - set(story)
    unknown = set(story) - STORY_KEYS | {k for run in story.get("runs", []) for k in run if k not in RUN_KEYS}
    if missing or unknown:
        raise fq.HarnessError(f"story: missing {sorted(missing)}, unknown {sorted(unknown)}")
    return story


def parse_range(text: str, what: str) -> tuple[int, int]:
    """"ADDRESS:SIZE" -> (address, size)."""
    address, _, size = str(text).partition(":")
    return fq.to_int(address, what), fq.to_int(size, what)


class Story:
    """The machine of a story file, ready to power on: the image built from
    the layout with stand-in records of an old processor in every NVRAM
    range the story names (the samples leave them erased, so an erase
    shows), the rebuilt firmware with a fresh variable store, the boot disk.
    `config` adds to the story's configuration."""

    def __init__(self, path: str, uefi_build: str, tool: str, work: str, config: dict | None = None,
                 display: bool = False):
        self.spec = spec = load_story(path)
        os.makedirs(work, exist_ok=True)
        base = os.path.dirname(os.path.abspath(path))
        layout = fq.resolve(base, spec["layout"])
        from_layout = fq.to_int(fq.read_layout(layout).get("processor"), f"{layout} processor")
        self.processors = {name: from_layout if value == "layout" else fq.to_int(value, f"processor {name}")
                           for name, value in spec["processors"].items()}
        self.nvram = {side: {name: parse_range(text, f"nvram {side} {name}") for name, text in entries.items()}
                      for side, entries in spec["nvram"].items()}
        flag = spec.get("recovery_flag")
        flag = None if flag is None else fq.to_int(flag, "recovery_flag")
        self.side = "B" if flag is not None and flag & 0x40000000 else "A"
        settings = {**spec.get("config", {}), **(config or {})}
        self.request = int(settings.get("swap.request", 122))
        if self.request not in CASES or any(n not in self.nvram.get(self.side, {}) for n in CASES[self.request]):
            raise fq.HarnessError(f"the story's nvram needs side {self.side}'s {CASES.get(self.request)}")
        if flag is not None:
            settings["recovery-flag"] = hex(flag)
        # The platform's flash map names the NVRAM ranges of both sides; the
        # swap request is served once those of its case read erased.
        for side, entries in self.nvram.items():
            for name, (address, size) in entries.items():
                settings.setdefault(f"flash-map.{side.lower()}.{name.split('-')[0]}", f"{address:#x}:{size:#x}")
        settings.setdefault("erase.window", spec["window"])
        flash = fq.prepare_image(work, spec["window"], {"layout": layout}, base, tool)
        with open(flash, "r+b") as handle:
            for side, name, offset, size in self.ranges():
                text = f"old CPU {ENTRY_NAMES.get(name, name)} record, side {side} | ".encode("ascii")
                handle.seek(offset)
                handle.write((text * (size // len(text) + 1))[:size])
        self.before = fq.read_file(flash)
        self.machine = fq.Machine(work, spec["window"], spec["firmware"],
                                  code=fq.rebuilt_firmware(tool, uefi_build, work, spec["firmware"]), store=True,
                                  flash=flash, disk=fq.boot_disk(work, uefi_build, fq.BOOT_TARGET_RELATIVE),
                                  config=settings, debugcon=True, recovery_flag=flag is not None, display=display)

    def ranges(self) -> list[tuple[str, str, int, int]]:
        """(side, name, image offset, size) of every NVRAM range of the story."""
        return [(side, name, fq.flash_offset(address), size) for side, entries in self.nvram.items()
                for name, (address, size) in entries.items()]

    def nvram_by_name(self) -> dict[str, tuple[int, int]]:
        """(address, size) of every NVRAM range by "SIDE/NAME"."""
        return {f"{side}/{name}": pair for side, entries in self.nvram.items() for name, pair in entries.items()}

    def erases(self) -> list[tuple[int, int]]:
        """The (address, size) pairs Y sends: the case's entries in order, on the side the RecoveryFlag chooses."""
        return [self.nvram[self.side][name] for name in CASES[self.request]]

    def processor(self, name: str) -> int:
        if name not in self.processors:
            raise fq.HarnessError(f"processor {name!r} is not in the story's processors")
        return self.processors[name]

    def power_on(self, processor: str, keys: list, **options) -> fq.Run:
        self.machine.processor = self.processor(processor)
        return self.machine.power_on(keys, **options)

    def recorded(self) -> int | None:
        """The processor signature the variable store holds now."""
        data = uefivars.read_variable(self.machine.store_file, *platform_variable())
        return int.from_bytes(data, "little") if data is not None and len(data) == 4 else None


# --- Boots ----------------------------------------------------------------------------------


@dataclass
class Boot:
    """One boot: the report lines from its platform-started on."""

    run: int
    processor: int
    reports: list[fq.ReportLine]

    def first(self, event: str, **fields) -> fq.ReportLine | None:
        return next((r for r in self.reports if r.event == event and
                     all(r.fields.get(k) == v for k, v in fields.items())), None)

    def all(self, event: str) -> list[fq.ReportLine]:
        return [r for r in self.reports if r.event == event]

    def index(self, report: fq.ReportLine | None) -> int:
        return self.reports.index(report) if report is not None else -1


def split_boots(run_number: int, processor: int, run: fq.Run) -> list[Boot]:
    boots: list[Boot] = []
    for report in run.reports:
        if report.event == "platform-started":
            boots.append(Boot(run=run_number, processor=processor, reports=[]))
        if boots:
            boots[-1].reports.append(report)
    return boots


def check_boot(checks: fq.Checks, number: int, boot: Boot, want: dict, erases: list[tuple[int, int]],
               next_boot_same_run: bool, story_ranges: dict[str, tuple[int, int]] | None = None) -> None:
    """What every boot of the firmware image must show, and this boot's swap
    decision and answer. A boot the power cut off is checked up to the prompt."""
    where = f"boot {number} (run {boot.run}, processor {boot.processor:#010x})"
    collisions = boot.first("settings-collisions")
    checks.expect(collisions is not None and collisions.fields.get("count") == "0",
                  f"{where}: the driver's settings tokens collide with the firmware's own: {collisions}")
    driver = boot.first("image-loaded", image="driver")
    end_of_dxe = boot.first("end-of-dxe")
    checks.expect(driver is not None and driver.fields.get("loaded-by") == "dxe-dispatcher"
                  and driver.fields.get("phase") == "dxe" and boot.index(driver) < boot.index(end_of_dxe),
                  f"{where}: the driver was not started by the DXE dispatcher during DXE: {driver}")
    checks.expect(end_of_dxe is not None and end_of_dxe.fields.get("locked") == "0"
                  and end_of_dxe.fields.get("script-ready-to-lock-seen") == "0",
                  f"{where}: the ready-to-lock callbacks ran inside start-up: {end_of_dxe}")
    before = boot.first("ready-to-lock", when="before-driver")
    after = boot.first("ready-to-lock", when="after-driver")
    checks.expect(before is not None and before.fields.get("locked") == "0"
                  and after is not None and after.fields.get("locked") == "1"
                  and after.fields.get("script-ready-to-lock-seen") == "1",
                  f"{where}: the driver's ready-to-lock callbacks did not run when the boot manager installed "
                  f"the protocol: {before} / {after}")
    caller = boot.first("image-loaded", image="caller")
    started = boot.first("caller-started")
    checks.expect(caller is not None and caller.fields.get("loaded-by") == "boot-manager"
                  and boot.index(after) < boot.index(caller),
                  f"{where}: the caller did not run as the boot manager's SysPrep option after ready-to-lock: "
                  f"{caller}")
    checks.expect(started is not None and started.fields.get("tpl") == "4" and started.fields.get("console") == "1",
                  f"{where}: the caller did not run at TPL_APPLICATION with the consoles: {started}")

    swap = boot.first("swap")
    decision = want.get("swap")
    checks.expect(swap is not None and swap.fields.get("decision") == decision,
                  f"{where}: swap decision {swap.fields.get('decision') if swap else None}, want {decision}")
    requested = decision == "swapped"
    protocol = boot.first("recovery-protocol")
    checks.expect((protocol is not None and protocol.fields.get("on-driver-image") == "1") == requested,
                  f"{where}: FtpmRecoveryProtocol {'missing' if requested else 'installed'}: {protocol}")
    calls = boot.all("handler-call")
    checks.expect(len(calls) == (1 if requested else 0), f"{where}: {len(calls)} handler calls")
    if want.get("cut"):
        return

    answer = (want.get("answer") or "").lower()
    sent = [(r.fields.get("address"), r.fields.get("size")) for r in boot.all("smm-erase")]
    reset = boot.first("reset-system")
    if answer == "y":
        wanted = [(hex(a), hex(s)) for a, s in erases]
        checks.expect(sent == wanted, f"{where}: erase requests {sent}, the story's ranges call for {wanted}")
        # Ranges whose erase the flash fails this boot (erase.fail): the
        # service says so, and the request is not served.
        failing = {(hex(a), hex(s)) for a, s in ((story_ranges or {}).get(n, (0, 0)) for n in want.get("erase_fails", []))}
        erased = boot.all("smm-erase")
        for r in erased:
            fails = (r.fields.get("address"), r.fields.get("size")) in failing
            landed = r.fields.get("action") == "erased" and r.fields.get("verified") == "1"
            checks.expect((r.fields.get("action") == "failed" and r.fields.get("status") == "EFI_DEVICE_ERROR")
                          if fails else landed, f"{where}: {'a failing' if fails else 'an'} erase: {r.raw}")
        checks.expect((boot.first("swap-served") is not None) == (not failing),
                      f"{where}: the request was {'not ' if not failing else ''}served")
        checks.expect(reset is not None and reset.fields.get("type") == "cold" and next_boot_same_run,
                      f"{where}: no cold reset restarting the machine after Y: {reset}")
        checks.expect(boot.first("ready-to-boot") is None, f"{where}: the boot went on after Y")
    else:
        checks.expect(not sent, f"{where}: erase requests without a Y: {sent}")
        handover = boot.first("s3-handover")
        ready = boot.first("ready-to-boot", n="1")
        checks.expect(handover is not None and handover.fields.get("phase") == "ready-to-boot"
                      and handover.fields.get("form") == "ok" and ready is not None
                      and ready.fields.get("handovers") == "1",
                      f"{where}: no S3 hand-over at ready-to-boot: {handover} / {ready}")
        checks.expect(boot.first("boot-target") is not None and reset is not None
                      and reset.fields.get("type") == "shutdown",
                      f"{where}: the boot did not go on to its boot option: {reset}")
        if answer == "n":
            returned = boot.first("handler-return")
            checks.expect(returned is not None and returned.fields.get("status") == "EFI_SUCCESS",
                          f"{where}: the handler did not return EFI_SUCCESS after N: {returned}")


def check_files(checks: fq.Checks, story: Story, what: str, before: bytes, erased_names: list[str] | None,
                erased: list[tuple[int, int]], processor: str, partly_names: list[str] = ()) -> list[tuple[int, int]]:
    """The files now: the flash image changed exactly in the erased ranges
    (those named, as "SIDE/NAME", or else those given) and in part in the
    ranges named in partly_names, and the variable store holds the named
    processor. Returns the erased ranges."""
    if erased_names is not None:
        ranges = {f"{side}/{name}": (offset, size) for side, name, offset, size in story.ranges()}
        unknown = [n for n in list(erased_names) + list(partly_names) if n not in ranges]
        if unknown:
            raise fq.HarnessError(f"{what}: no NVRAM range {unknown} in the story")
        erased = [ranges[n] for n in erased_names]
        partly = [ranges[n] for n in partly_names]
        checks.flash(before, fq.read_file(story.machine.flash), erased=erased, partly=partly,
                     changes=None if partly else sorted(erased), what=what)
    else:
        checks.flash(before, fq.read_file(story.machine.flash), erased=erased, what=what)
    recorded, want = story.recorded(), story.processor(processor)
    checks.expect(recorded == want, f"{what}: the variable store holds processor "
                  f"{'none' if recorded is None else f'{recorded:#010x}'}, the story expects {processor} ({want:#010x})")
    return erased


def run_story(path: str, uefi_build: str, tool: str, work: str, verbose: bool = False) -> fq.Checks:
    story = Story(path, uefi_build, tool, work)
    checks = fq.Checks()
    boots: list[Boot] = []
    cut_ranges: list[tuple[int, int]] = []
    base_config = dict(story.machine.config or {})
    for number, spec in enumerate(story.spec["runs"], start=1):
        cut = fq.Cut(**spec["cut"]) if "cut" in spec else None
        # A run may add to the configuration (a hold point for its cut).
        story.machine.configure({**base_config, **spec.get("config", {})})
        run = story.power_on(spec["processor"], list(spec.get("keys", [])), cut=cut, log=print if verbose else None)
        mine = split_boots(number, story.processor(spec["processor"]), run)
        boots += mine
        if verbose:
            print(f"run {number}: processor {spec['processor']}, {run.seconds:.1f} s, ended {run.ended}")
        checks.expect(run.ended == ("cut" if cut else "shutdown"), f"run {number} ended {run.ended}")
        calls = sum(len(b.all("handler-call")) for b in mine)
        checks.expect(run.prompts == calls, f"run {number}: {run.prompts} prompts on the console for {calls} handler calls")
        resets = sum(1 for e in run.events if e.get("event") == "RESET")
        checks.expect(resets == len(mine) - 1, f"run {number}: QEMU restarted the machine {resets} times for "
                      f"{len(mine)} boots")
        if cut:
            # What the files hold at the cut, against the image the story
            # started with: ranges erased whole or in part, the record.
            at_cut = spec.get("at_cut", {})
            cut_ranges += check_files(checks, story, f"run {number} at the cut", story.before,
                                      at_cut.get("erased", []), [], at_cut.get("recorded", "old"),
                                      at_cut.get("partly", []))

    erases = story.erases()
    wanted = story.spec["boots"]
    checks.expect(len(boots) == len(wanted), f"{len(boots)} boots, the story has {len(wanted)}")
    for number, (boot, want) in enumerate(zip(boots, wanted), start=1):
        later = boots[number] if number < len(boots) else None
        check_boot(checks, number, boot, want, erases, later is not None and later.run == boot.run,
                   story.nvram_by_name())
    reported = [(int(r.fields["offset"], 0), int(r.fields["size"], 0)) for b in boots for r in b.all("smm-erase")
                if r.fields.get("action") == "erased"]
    check_files(checks, story, "at the end", story.before, None, reported + cut_ranges, story.spec["recorded"])
    with open(os.path.join(work, "boots.txt"), "w", encoding="utf-8") as out:
        for number, boot in enumerate(boots, start=1):
            out.write(f"# boot {number} (run {boot.run}, processor {boot.processor:#010x})\n")
            out.writelines(f"@@FTPM {r.raw}\n" for r in boot.reports)
    return checks


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--uefi-build", "--tool", "--work", "--scenario"):
        parser.add_argument(option, required=True)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    name = os.path.splitext(os.path.basename(args.scenario))[0]
    try:
        checks = run_story(args.scenario, args.uefi_build, args.tool, args.work, args.verbose)
    except (fq.HarnessError, uefivars.StoreError, subprocess.SubprocessError, OSError, ValueError) as error:
        print(f"{name}: set-up error: {error}")
        return 2
    if checks.failures:
        print(f"{name}: {len(checks.failures)} of {len(checks.failures) + checks.passed} checks failed")
        for failure in checks.failures:
            print(f"  - {failure}")
        print(f"  reports by boot: {os.path.join(args.work, 'boots.txt')}")
        return 1
    print(f"{name}: {checks.passed} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
