#!/usr/bin/env python3
"""Runs one end-to-end scenario: FtpmRecoveryDxe.efi loaded by the harness in OVMF under QEMU.

    python3 qemu/run.py --uefi-build DIR --tool PATH/ftpm-recovery \\
        --work DIR --scenario tests/e2e/NAME.json [--verbose]

It builds the boot disk (the harness as BOOTX64.EFI, the driver, the harness
configuration) and the flash image, powers the machine on with the
scenario's keys and time limit, and checks the expectations. Exit status: 0
when every expectation holds, 1 when one fails, 2 for a set-up error.
qemu/README.md describes the scenario format.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402

SCENARIO_KEYS = {"description", "window", "cpu", "image", "config", "keys", "timeout", "expect", "recovery_flag"}
EXPECT_KEYS = {"reports", "absent", "counts", "text", "no_text", "prompts", "boxes", "final_screen", "image",
               "image_changes", "erases_in_image", "ended", "config_errors"}
DEFAULT_TIMEOUT = 40.0
MAX_TIMEOUT = 120.0


def load_scenario(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as handle:
            scenario = json.load(handle)
    except (OSError, json.JSONDecodeError) as error:
        raise fq.HarnessError(f"cannot read scenario {path}: {error}") from error
    if not isinstance(scenario, dict) or set(scenario) - SCENARIO_KEYS or set(scenario.get("expect", {})) - EXPECT_KEYS:
        raise fq.HarnessError(f"a scenario is an object of {sorted(SCENARIO_KEYS)}, expect of {sorted(EXPECT_KEYS)}")
    if not 0 < float(scenario.get("timeout", DEFAULT_TIMEOUT)) <= MAX_TIMEOUT:
        raise fq.HarnessError(f"timeout must lie in (0, {MAX_TIMEOUT}]")
    return scenario


def check_expectations(expect: dict, run: fq.Run, before: bytes | None, after: bytes | None) -> fq.Checks:
    checks = fq.Checks()
    reports = run.reports
    # Every run must have reached the harness and had its configuration accepted.
    checks.reports(reports, [{"event": "harness-started"}] + expect.get("reports", []))
    errors = sum(1 for r in reports if r.event == "config-error")
    checks.expect(errors == int(expect.get("config_errors", 0)), f"config_errors: expected "
                  f"{expect.get('config_errors', 0)}, got {errors} (the harness rejected configuration lines)")
    want = expect.get("ended", "shutdown")
    checks.expect(run.ended == want, f"ended: expected {want!r}, got {run.ended!r}")
    checks.absent(reports, expect.get("absent", []))
    for event, count in expect.get("counts", {}).items():
        got = sum(1 for r in reports if r.event == event)
        checks.expect(got == count, f"counts: expected {count} '{event}' line(s), got {got}")
    for snippet in expect.get("text", []):
        checks.expect(snippet in run.text, f"text: expected the serial output to contain {snippet!r}")
    for snippet in expect.get("no_text", []):
        checks.expect(snippet not in run.text, f"no_text: expected the serial output not to contain {snippet!r}")
    if "prompts" in expect:
        checks.expect(run.prompts == expect["prompts"], f"prompts: expected {expect['prompts']} prompt(s) drawn, "
                      f"got {run.prompts}")
    # The screen as it stood when a box had just been completed.
    for box in expect.get("boxes", []):
        number, kind = int(box.get("n", 1)), box.get("kind")
        snapshots = [s for s in run.screen.snapshots if kind is None or s.kind == kind]
        if checks.expect(1 <= number <= len(snapshots), f"boxes: expected box {number} ({kind or 'any kind'}), only "
                         f"{len(snapshots)} drawn"):
            checks.screen(snapshots[number - 1], box, f"boxes: box {number}")
    if "final_screen" in expect:
        checks.screen(run.screen.snapshot("final"), expect["final_screen"], "final_screen")
    for item in expect.get("image", []):
        offset, length = fq.to_int(item.get("offset"), "image offset"), fq.to_int(item.get("length"), "image length")
        got = (after or b"")[offset:offset + length]
        where = f"image: {offset:#x}+{length:#x}"
        if not checks.expect(len(got) == length, f"{where} runs past the image"):
            continue
        if "all" in item:
            byte = fq.to_int(item["all"], "image all")
            bad = next((i for i, b in enumerate(got) if b != byte), None)
            checks.expect(bad is None, f"{where}: expected {byte:#04x}; offset {offset + (bad or 0):#x} holds "
                          f"{got[bad or 0]:#04x}")
        elif "hex" in item:
            checks.expect(got == bytes.fromhex(item["hex"]), f"{where}: expected {item['hex']}, got {got.hex()}")
        elif item.get("unchanged"):
            checks.expect(before is not None and got == before[offset:offset + length], f"{where}: expected unchanged")
        else:
            raise fq.HarnessError("image checks need all, hex or unchanged")
    # Every range the flash service reports as erased reads 0xFF in the
    # image file afterwards, and no byte outside those ranges changed.
    if expect.get("erases_in_image"):
        erased = [(int(r.fields["offset"], 0), int(r.fields["size"], 0)) for r in reports
                  if r.event == "smm-erase" and r.fields.get("action") == "erased"]
        checks.flash(before, after, erased=erased, what="erases_in_image")
    if "image_changes" in expect:
        changes = [(fq.to_int(c["offset"], "offset"), fq.to_int(c["length"], "length")) for c in expect["image_changes"]]
        checks.flash(before, after, changes=changes, what="image_changes")
    return checks


def run_scenario(scenario: dict, path: str, uefi_build: str, tool: str | None, work: str, echo=None, log=None):
    """Powers the scenario's machine on once. Returns the run and the image before and after."""
    base_dir = os.path.dirname(os.path.abspath(path))
    os.makedirs(work, exist_ok=True)
    window = scenario.get("window", "16m")
    config = dict(scenario.get("config", {}))
    flag = scenario.get("recovery_flag")
    if flag is not None:
        config["recovery-flag"] = fq.to_int(flag, "recovery_flag")
    keys = fq.parse_key_steps(scenario.get("keys", []))
    cpu = scenario.get("cpu")
    machine = fq.Machine(work, window, flash=fq.prepare_image(work, window, scenario.get("image"), base_dir, tool),
                         disk=fq.harness_disk(work, uefi_build, config, tool), reboot=False,
                         processor=fq.signature_from_cpu(cpu) if cpu else None, recovery_flag=flag is not None)
    before = fq.read_file(machine.flash)
    run = machine.power_on(keys, float(scenario.get("timeout", DEFAULT_TIMEOUT)), echo=echo, log=log)
    return run, before, fq.read_file(machine.flash)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True, help="build directory of the uefi preset")
    parser.add_argument("--tool", help="the ftpm-recovery tool (mkimage, package)")
    parser.add_argument("--work", required=True, help="directory for the disk, images and logs")
    parser.add_argument("--scenario", required=True, help="scenario JSON file")
    parser.add_argument("--verbose", action="store_true", help="show the serial output while it runs")
    args = parser.parse_args(argv)

    name = os.path.splitext(os.path.basename(args.scenario))[0]
    echo = log = None
    if args.verbose:
        def echo(chunk: bytes) -> None:
            sys.stdout.write(fq.strip_escapes(fq.decode_serial(chunk)))
            sys.stdout.flush()

        def log(message: str) -> None:
            print(f"[run.py] {message}", flush=True)
    try:
        scenario = load_scenario(args.scenario)
        run, before, after = run_scenario(scenario, args.scenario, args.uefi_build, args.tool, args.work, echo, log)
        checks = check_expectations(scenario.get("expect", {}), run, before, after)
    except fq.HarnessError as error:
        print(f"ERROR {name}: {error}")
        return 2
    summary = f"(ended: {run.ended}, {run.seconds:.1f} s, keys sent: {run.keys_sent})"
    if not checks.failures:
        print(f"PASS {name}: {checks.passed} expectation(s) held {summary}")
        return 0
    print(f"FAIL {name}: {len(checks.failures)} expectation(s) failed, {checks.passed} held {summary}")
    for failure in checks.failures:
        print("  - " + failure.replace("\n", "\n    "))
    print(f"--- report lines ({len(run.reports)}) ---")
    print("".join(f"{r.index:3d} @@FTPM {r.raw}\n" for r in run.reports), end="")
    print("--- last serial lines ---")
    print("".join(f"  | {line}\n" for line in run.text.splitlines()[-15:]), end="")
    if run.stderr.strip():
        print("--- qemu stderr ---\n" + run.stderr.strip())
    print(f"--- files in {args.work} (run1.*) ---")
    return 1


if __name__ == "__main__":
    sys.exit(main())
