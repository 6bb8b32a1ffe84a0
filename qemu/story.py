#!/usr/bin/env python3
"""The driver as a platform ships it: a processor swap across reboots.

    python3 qemu/story.py --uefi-build DIR --tool PATH/ftpm-recovery \\
        --work DIR --scenario tests/e2e/stories/NAME.json [--verbose]

The machine boots Debian's OVMF rebuilt by `ftpm-recovery insert` with the
reference platform (FtpmPlatformDxe), the recovery driver and the SysPrep
caller in its DXE volume, a writable variable store, the flash image in the
16 MB or the 64 MB window, the run's configuration in fw_cfg, and a disk
whose boot option (FtpmBootTarget) powers the machine off. A story is a
list of power-ons ("runs"), each on a processor signature: without
-no-reboot a cold reset restarts the machine within the run, so one run
may hold several boots. The modules report on QEMU's debug console; the
serial line is the console, where the prompt is drawn and keys go in.

Every boot is checked for what a platform relies on: the driver started by
the DXE dispatcher, the ready-to-lock callbacks running when the boot
manager installs the protocol and not inside start-up, the caller run by the
boot manager at TPL_APPLICATION, the processor-swap decision, the prompt
exactly when a recovery is requested, exactly the erase requests the image
calls for (ftpm-recovery inspect), the cold reset after Y, the S3 hand-over
at ready-to-boot otherwise; and at the end the image changed exactly where
it was erased. Exit status: 0 all hold, 1 one failed, 2 a set-up problem.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Debian's firmware images and where their variable store comes from.
FIRMWARE = {
    # Code and variables in two flash devices; only the variables are written.
    "OVMF_CODE_4M.fd": {"code": "/usr/share/OVMF/OVMF_CODE_4M.fd", "vars": "/usr/share/OVMF/OVMF_VARS_4M.fd"},
    # One 2 MiB image holding both, on writable flash.
    "OVMF.fd": {"code": "/usr/share/ovmf/OVMF.fd", "vars": None},
}
PLATFORM_CONFIG_NAME = "opt/ftpm/platform.cfg"
BOOT_TARGET_RELATIVE = os.path.join("qemu", "platform", "FtpmBootTarget.efi")
MODULES = {
    # file name in the uefi build -> packaged as
    "FtpmPlatformDxe": os.path.join("qemu", "platform", "FtpmPlatformDxe.efi"),
    "FtpmRecoveryDxe": "FtpmRecoveryDxe.efi",
    "FtpmSysPrep": os.path.join("qemu", "platform", "FtpmSysPrep.efi"),
}
# In this image the driver starts once the reference platform is in place:
# the platform installs the erase-service-ready protocol last.
DRIVER_DEPEX = "PCD_PROTOCOL AND EFI_PCD_PROTOCOL AND ERASE_SERVICE_READY_PROTOCOL"
RUN_TIME_LIMIT = 60.0
SIDES = {"A": 0, "B": 0x40000000}
ENTRY_NAMES = {"0x04": "fTPM NVRAM", "0x54": "MVQ NVRAM"}
CASE_TYPES = {122: ["0x04", "0x54"], 377: ["0x04"]}


# --- The firmware image -------------------------------------------------------------


def run_tool(tool: str, arguments: list[str], what: str) -> str:
    result = subprocess.run([tool, *arguments], capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise fq.HarnessError(f"{what} failed ({result.returncode}): {(result.stderr or result.stdout).strip()[:400]}")
    return result.stdout


def build_firmware(tool: str, uefi_build: str, work: str, firmware: str) -> str:
    """Debian's `firmware` with the reference platform, the driver and the
    caller inserted into its DXE volume (`ftpm-recovery package`, then
    `ftpm-recovery insert`), written to WORK/firmware/<name>."""
    if firmware not in FIRMWARE:
        raise fq.HarnessError(f"firmware must be one of {sorted(FIRMWARE)}, not {firmware!r}")
    source = FIRMWARE[firmware]["code"]
    if not os.path.isfile(source):
        raise fq.HarnessError(f"missing {source}: install the ovmf package")
    out_dir = os.path.join(work, "firmware")
    os.makedirs(out_dir, exist_ok=True)
    files = []
    for name, relative in MODULES.items():
        efi = os.path.join(uefi_build, relative)
        if not os.path.isfile(efi):
            raise fq.HarnessError(f"missing {efi}: build the uefi preset first")
        ffs = os.path.join(out_dir, name + ".ffs")
        arguments = ["package", efi, "--ffs", ffs]
        if name == "FtpmRecoveryDxe":
            arguments += ["--depex", DRIVER_DEPEX]
        run_tool(tool, arguments, f"package {name}")
        files.append(ffs)
    image = os.path.join(out_dir, firmware)
    run_tool(tool, ["insert", "--into", source, "--out", image, *files], f"insert into {firmware}")
    return image


# --- The flash image ------------------------------------------------------------------


def inspect_lookups(tool: str, image: str, processor: int, flag: int) -> dict:
    output = run_tool(tool, ["inspect", "--image", image, "--cpu", hex(processor), "--recovery-flag", hex(flag),
                             "--json"], "inspect")
    return json.loads(output).get("lookups", {})


def nvram_ranges(tool: str, image: str, processor: int) -> list[dict]:
    """Each NVRAM entry the driver's lookups find, per side:
    [{"side", "type", "name", "offset", "size", "address"}]."""
    ranges: list[dict] = []
    for side, flag in SIDES.items():
        lookups = inspect_lookups(tool, image, processor, flag)
        for entry_type, name in ENTRY_NAMES.items():
            found = lookups.get(entry_type, {})
            if not found.get("found"):
                continue
            address = int(found["address"], 0)
            offset = fq.flash_offset(address)
            size = int(found["size"], 0)
            if offset is None or size == 0 or offset + size > fq.FLASH_SIZE:
                continue
            ranges.append({"side": side, "type": entry_type, "name": name, "offset": offset, "size": size,
                           "address": address})
    return ranges


def stand_in_record(entry: dict) -> bytes:
    text = f"old CPU {entry['name']} record, side {entry['side']} | ".encode("ascii")
    return (text * (entry["size"] // len(text) + 1))[:entry["size"]]


def prepare_flash(work: str, tool: str, layout: str, window: str, processor: int) -> tuple[str, list[dict]]:
    """The image file for the window, built from the layout, with stand-in
    records of an old processor in every NVRAM range (the samples leave them
    erased), so that an erase shows."""
    image = fq.prepare_image(work, window, {"layout": layout}, REPO, tool)
    ranges = nvram_ranges(tool, os.path.join(work, "mkimage.bin"), processor)
    with open(image, "r+b") as handle:
        done = set()
        for entry in ranges:
            if (entry["offset"], entry["size"]) in done:
                continue
            done.add((entry["offset"], entry["size"]))
            handle.seek(entry["offset"])
            handle.write(stand_in_record(entry))
    return image, ranges


# --- The machine --------------------------------------------------------------------------


@dataclass
class Boot:
    """One boot: the report lines from its platform-started on."""

    run: int
    processor: int
    reports: list[fq.ReportLine]

    def first(self, event: str, **fields) -> fq.ReportLine | None:
        for report in self.reports:
            if report.event == event and all(report.fields.get(k) == v for k, v in fields.items()):
                return report
        return None

    def all(self, event: str) -> list[fq.ReportLine]:
        return [r for r in self.reports if r.event == event]

    def index(self, report: fq.ReportLine | None) -> int:
        return self.reports.index(report) if report is not None else -1


@dataclass
class Run:
    processor: int
    serial: bytes
    reports: list[fq.ReportLine]
    timed_out: bool
    seconds: float
    keys_sent: list[str] = field(default_factory=list)

    @property
    def text(self) -> str:
        return fq.strip_escapes(fq.decode_serial(self.serial))

    @property
    def ended(self) -> str:
        return fq.how_it_ended(self.timed_out, self.reports)


class Machine:
    """The QEMU machine of a story: the rebuilt firmware, its variable
    store, the flash image, the configuration and the boot disk persist
    across runs, as a platform's flash and disk do across power cycles."""

    def __init__(self, work: str, uefi_build: str, tool: str, firmware: str, window: str, flash: str,
                 config: dict, recovery_flag: int | None = None):
        if window not in fq.WINDOWS:
            raise fq.HarnessError(f"window must be one of {sorted(fq.WINDOWS)}")
        if window == "16m" and firmware != "OVMF.fd":
            raise fq.HarnessError("the 16 MB window leaves room for the 2 MiB OVMF.fd only")
        self.work = work
        self.window = window
        self.flash = flash
        self.recovery_flag = recovery_flag
        self.runs = 0
        self.code = build_firmware(tool, uefi_build, work, firmware)
        vars_source = FIRMWARE[firmware]["vars"]
        self.vars = None
        if vars_source:
            self.vars = os.path.join(work, "firmware", os.path.basename(vars_source))
            shutil.copyfile(vars_source, self.vars)
        self.config = os.path.join(work, "platform.cfg")
        settings = dict(config)
        if recovery_flag is not None:
            settings["recovery-flag"] = hex(recovery_flag)
        with open(self.config, "w", encoding="ascii") as out:
            out.write(fq.config_text(settings).replace("qemu/run.py", "qemu/story.py"))
        self.disk = os.path.join(work, "disk")
        if os.path.isdir(self.disk):
            shutil.rmtree(self.disk)
        os.makedirs(os.path.join(self.disk, "EFI", "BOOT"))
        target = os.path.join(uefi_build, BOOT_TARGET_RELATIVE)
        if not os.path.isfile(target):
            raise fq.HarnessError(f"missing {target}: build the uefi preset first")
        shutil.copyfile(target, os.path.join(self.disk, "EFI", "BOOT", "BOOTX64.EFI"))

    def command(self, processor: int, debug_log: str, qmp_socket: str | None = None) -> list[str]:
        """The QEMU command line. With qmp_socket the machine also has a
        display adapter, drawn by OVMF's graphical console beside the serial
        one, and a QMP socket to take screenshots through."""
        cpu = fq.cpu_from_signature(processor)
        cpu_option = "qemu64,vendor=GenuineIntel" + "".join(f",{k}={cpu[k]}" for k in ("family", "model", "stepping"))
        command = ["qemu-system-x86_64", "-net", "none"]
        if qmp_socket:
            command += ["-display", "none", "-vga", "std", "-serial", "stdio", "-monitor", "none",
                        "-qmp", f"unix:{qmp_socket},server=on,wait=off"]
        else:
            command += ["-nographic"]
        if self.window == "64m":
            command += ["-machine", "q35", "-m", "256M,slots=1,maxmem=1010G", "-cpu", cpu_option + ",phys-bits=41,+pdpe1gb"]
        else:
            command += ["-machine", "q35,max-fw-size=16M", "-m", "256M", "-cpu", cpu_option]
        if self.vars:
            command += ["-drive", f"if=pflash,format=raw,readonly=on,file={self.code}",
                        "-drive", f"if=pflash,format=raw,file={self.vars}"]
        else:
            command += ["-drive", f"if=pflash,format=raw,file={self.code}"]
        if self.window == "64m":
            command += ["-object", f"memory-backend-file,id=spi,size=64M,mem-path={self.flash},share=on",
                        "-device", "pc-dimm,memdev=spi,addr=0xFD00000000"]
        else:
            command += ["-drive", f"if=pflash,format=raw,file={self.flash}"]
        if self.recovery_flag is not None:
            command += ["-object", "memory-backend-ram,id=rflag,size=4K,share=on",
                        "-device", "ivshmem-plain,memdev=rflag"]
        command += ["-fw_cfg", f"name={PLATFORM_CONFIG_NAME},file={self.config}",
                    "-chardev", f"file,id=debugcon,path={debug_log}",
                    "-device", "isa-debugcon,chardev=debugcon,iobase=0x402",
                    "-drive", f"file=fat:rw:{self.disk},format=raw"]
        return command

    def run(self, processor: int, keys: list[str], echo=None, log=None, time_limit: float = RUN_TIME_LIMIT) -> Run:
        """One power-on on this processor until the machine powers itself
        off (or the time limit), sending each key once the prompt it
        answers is on the screen."""
        self.runs += 1
        debug_log = os.path.join(self.work, f"run{self.runs}.debugcon")
        if os.path.exists(debug_log):
            os.remove(debug_log)
        command = self.command(processor, debug_log)
        with open(os.path.join(self.work, f"run{self.runs}.command.txt"), "w", encoding="utf-8") as out:
            out.write(" ".join(command) + "\n")
        steps = fq.parse_key_steps(keys)
        started = time.monotonic()
        session = fq.Session(command, echo=echo)
        deadline = started + time_limit
        try:
            sent = fq.feed_keys(session, steps, deadline, log=log)
            timed_out = not session.wait_exit(deadline)
        finally:
            session.kill()
        with open(os.path.join(self.work, f"run{self.runs}.serial.raw"), "wb") as out:
            out.write(session.raw)
        with open(debug_log, "rb") as handle:
            reports = fq.parse_reports(handle.read().decode("ascii", "replace"))
        return Run(processor=processor, serial=session.raw, reports=reports, timed_out=timed_out,
                   seconds=time.monotonic() - started, keys_sent=sent)


def split_boots(run_number: int, run: Run) -> list[Boot]:
    boots: list[Boot] = []
    for report in run.reports:
        if report.event == "platform-started":
            boots.append(Boot(run=run_number, processor=run.processor, reports=[]))
        if boots:
            boots[-1].reports.append(report)
    return boots


# --- Checks ---------------------------------------------------------------------------------


class Checks:
    def __init__(self) -> None:
        self.failures: list[str] = []
        self.passed = 0

    def expect(self, condition: bool, message: str) -> bool:
        if condition:
            self.passed += 1
        else:
            self.failures.append(message)
        return condition


def expected_erases(ranges: list[dict], request: int, side: str) -> list[tuple[int, int]]:
    """The (address, size) pairs the driver sends on Y: the case's entry
    types in order, on the side the RecoveryFlag chooses."""
    wanted = []
    for entry_type in CASE_TYPES[request]:
        for entry in ranges:
            if entry["side"] == side and entry["type"] == entry_type:
                wanted.append((entry["address"], entry["size"]))
                break
    return wanted


def check_boot(checks: Checks, number: int, boot: Boot, want: dict, request: int, erases: list[tuple[int, int]],
               next_boot_same_run: bool) -> None:
    """What every boot of the firmware image must show, and this boot's swap
    decision and answer."""
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

    answer = (want.get("answer") or "").lower()
    sent = [(r.fields.get("address"), r.fields.get("size")) for r in boot.all("smm-erase")]
    reset = boot.first("reset-system")
    if answer == "y":
        wanted = [(hex(a), hex(s)) for a, s in erases]
        checks.expect(sent == wanted, f"{where}: erase requests {sent}, the image calls for {wanted}")
        erased = boot.all("smm-erase")
        checks.expect(all(r.fields.get("action") == "erased" and r.fields.get("verified") == "1" for r in erased),
                      f"{where}: not every erase landed: {[r.raw for r in erased]}")
        checks.expect(boot.first("swap-served") is not None, f"{where}: the request was not served")
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


def check_image(checks: Checks, before: bytes, after: bytes, boots: list[Boot]) -> None:
    erased = []
    for boot in boots:
        for report in boot.all("smm-erase"):
            if report.fields.get("action") == "erased":
                erased.append((int(report.fields["offset"], 0), int(report.fields["size"], 0)))
    for offset, size in erased:
        checks.expect(after[offset:offset + size] == b"\xff" * size,
                      f"image: {offset:#x}+{size:#x} was reported erased but does not read 0xFF")
    outside = [(o, n) for o, n in fq.changed_ranges(before, after)
               if not any(e <= o and o + n <= e + s for e, s in erased)]
    checks.expect(not outside, f"image: bytes changed outside the erased ranges: {outside}")


# --- Stories -------------------------------------------------------------------------------------

STORY_KEYS = {"description", "firmware", "window", "layout", "processors", "config", "recovery_flag", "runs",
              "boots"}


def load_story(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as handle:
            story = json.load(handle)
    except (OSError, json.JSONDecodeError) as error:
        raise fq.HarnessError(f"cannot read story {path}: {error}") from error
    unknown = set(story) - STORY_KEYS
    if unknown:
        raise fq.HarnessError(f"unknown story keys {sorted(unknown)}")
    for key in ("firmware", "window", "layout", "processors", "runs", "boots"):
        if key not in story:
            raise fq.HarnessError(f"a story needs {key!r}")
    return story


def story_processor(name: str, story: dict, layout_processor: int) -> int:
    value = story["processors"].get(name)
    if value is None:
        raise fq.HarnessError(f"processor {name!r} is not in the story's processors")
    return layout_processor if value == "layout" else fq.to_int(value, f"processor {name}")


def run_story(story: dict, path: str, uefi_build: str, tool: str, work: str, verbose: bool = False) -> Checks:
    os.makedirs(work, exist_ok=True)
    base = os.path.dirname(os.path.abspath(path))
    layout = fq.resolve(base, story["layout"])
    layout_processor = fq.to_int(fq.read_layout(layout).get("processor"), f"{layout} processor")
    config = dict(story.get("config", {}))
    request = int(config.get("swap.request", 122))
    flag = story.get("recovery_flag")
    flag_value = fq.to_int(flag, "recovery_flag") if flag is not None else None
    side = "B" if flag_value is not None and flag_value & 0x40000000 else "A"
    new = story_processor("new", story, layout_processor)
    flash, ranges = prepare_flash(work, tool, layout, story["window"], new)
    # The platform's flash map names the NVRAM ranges of both sides; the
    # swap request is served once those of its case read erased.
    # A layout without A/B sides finds the same ranges for both flags: it has
    # only side A.
    side_a = {(r["type"], r["offset"]) for r in ranges if r["side"] == "A"}
    for r in ranges:
        if r["side"] == "B" and (r["type"], r["offset"]) in side_a:
            continue
        kind = "ftpm" if r["type"] == "0x04" else "mvq"
        config.setdefault(f"flash-map.{r['side'].lower()}.{kind}", f"{hex(r['address'])}:{hex(r['size'])}")
    config.setdefault("erase.window", story["window"])
    machine = Machine(work, uefi_build, tool, story["firmware"], story["window"], flash, config, flag_value)
    with open(flash, "rb") as handle:
        before = handle.read()
    boots: list[Boot] = []
    runs: list[Run] = []
    for number, spec in enumerate(story["runs"], start=1):
        processor = story_processor(spec["processor"], story, layout_processor)
        run = machine.run(processor, list(spec.get("keys", [])), log=(print if verbose else None))
        runs.append(run)
        boots.extend(split_boots(number, run))
        if verbose:
            print(f"run {number}: processor {processor:#010x}, {run.seconds:.1f} s, ended {run.ended}")
    with open(flash, "rb") as handle:
        after = handle.read()

    checks = Checks()
    erases = expected_erases(ranges, request, side)
    checks.expect(len(erases) == len(CASE_TYPES[request]), f"the image names {erases} for the case; the story "
                                                           f"needs every entry of it")
    wanted = story["boots"]
    checks.expect(len(boots) == len(wanted), f"{len(boots)} boots, the story has {len(wanted)}")
    for number, (boot, want) in enumerate(zip(boots, wanted), start=1):
        later = boots[number] if number < len(boots) else None
        check_boot(checks, number, boot, want, request, erases, later is not None and later.run == boot.run)
    for number, run in enumerate(runs, start=1):
        checks.expect(run.ended == "shutdown", f"run {number} ended {run.ended}, not by powering off")
        calls = sum(len(b.all("handler-call")) for b in boots if b.run == number)
        drawn = fq.count_prompts(run.text)
        checks.expect(drawn == calls, f"run {number}: {drawn} prompts on the console for {calls} handler calls")
    check_image(checks, before, after, boots)
    with open(os.path.join(work, "boots.txt"), "w", encoding="utf-8") as out:
        for number, boot in enumerate(boots, start=1):
            out.write(f"# boot {number} (run {boot.run}, processor {boot.processor:#010x})\n")
            out.writelines(f"@@FTPM {r.raw}\n" for r in boot.reports)
    return checks


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    name = os.path.splitext(os.path.basename(args.scenario))[0]
    try:
        story = load_story(args.scenario)
        checks = run_story(story, args.scenario, args.uefi_build, args.tool, args.work, args.verbose)
    except (fq.HarnessError, subprocess.SubprocessError, OSError, ValueError) as error:
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
