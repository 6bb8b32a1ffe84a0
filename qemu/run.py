#!/usr/bin/env python3
"""Runs one end-to-end scenario: FtpmRecoveryDxe.efi in OVMF under QEMU.

    python3 qemu/run.py --uefi-build DIR --tool PATH/ftpm-recovery \\
        --work DIR --scenario tests/e2e/NAME.json [--verbose]

It builds the boot volume (the harness as BOOTX64.EFI, the driver, the
harness configuration) and the flash image, boots QEMU with the recipe for
the scenario's flash window, feeds the scenario's keys once the prompt is
on the serial line, enforces the time limit, and then checks the
expectations. Exit status: 0 when every expectation holds, 1 when one
fails, 2 for a set-up error. qemu/README.md describes the scenario format.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftpm_qemu as fq  # noqa: E402

SCENARIO_KEYS = {"description", "window", "cpu", "image", "config", "keys", "timeout", "expect", "recovery_flag"}
EXPECT_KEYS = {"reports", "absent", "counts", "text", "no_text", "prompts", "boxes", "final_screen", "image",
               "image_changes", "erases_in_image", "ended", "config_errors"}
DEFAULT_TIMEOUT = 40.0
MAX_TIMEOUT = 120.0


# --- Scenario ---------------------------------------------------------------------


def load_scenario(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as handle:
            scenario = json.load(handle)
    except (OSError, json.JSONDecodeError) as error:
        raise fq.HarnessError(f"cannot read scenario {path}: {error}") from error
    if not isinstance(scenario, dict):
        raise fq.HarnessError("a scenario is a JSON object")
    unknown = set(scenario) - SCENARIO_KEYS
    if unknown:
        raise fq.HarnessError(f"unknown scenario keys {sorted(unknown)}")
    expect = scenario.get("expect", {})
    unknown = set(expect) - EXPECT_KEYS
    if unknown:
        raise fq.HarnessError(f"unknown expect keys {sorted(unknown)}")
    timeout = float(scenario.get("timeout", DEFAULT_TIMEOUT))
    if not 0 < timeout <= MAX_TIMEOUT:
        raise fq.HarnessError(f"timeout must lie in (0, {MAX_TIMEOUT}]")
    return scenario


# --- Matching -----------------------------------------------------------------------


def value_matches(want, got: str | None) -> bool:
    """A field constraint: a number compares numerically (the field may be
    decimal or 0x-hex), {"re": PATTERN} matches a regular expression,
    {"not": X} negates, null means "absent", anything else compares as text."""
    if want is None:
        return got is None
    if got is None:
        return False
    if isinstance(want, dict):
        if "re" in want:
            return re.fullmatch(want["re"], got) is not None
        if "not" in want:
            return not value_matches(want["not"], got)
        raise fq.HarnessError(f"field constraint {want!r}: use re or not")
    if isinstance(want, bool):
        return got == ("1" if want else "0")
    if isinstance(want, int):
        try:
            return int(got, 0) == want
        except ValueError:
            return False
    return str(want) == got


def report_matches(pattern: dict, report: fq.ReportLine) -> bool:
    if report.event != pattern.get("event"):
        return False
    return all(value_matches(want, report.fields.get(key)) for key, want in pattern.items() if key != "event")


def describe_pattern(pattern: dict) -> str:
    fields = " ".join(f"{key}={json.dumps(value) if not isinstance(value, str) else value}"
                      for key, value in pattern.items() if key != "event")
    return f"{pattern.get('event')} {fields}".strip()


def field_differences(pattern: dict, report: fq.ReportLine) -> str:
    diffs = []
    for key, want in pattern.items():
        if key == "event":
            continue
        got = report.fields.get(key)
        if not value_matches(want, got):
            diffs.append(f"{key}: want {json.dumps(want)}, got {got if got is not None else '(absent)'}")
    return "; ".join(diffs)


class Checker:
    def __init__(self, result: fq.RunResult, image_before: bytes | None, image_after: bytes | None):
        self.result = result
        self.before = image_before
        self.after = image_after
        self.failures: list[str] = []
        self.passed = 0

    def fail(self, message: str) -> None:
        self.failures.append(message)

    def ok(self) -> None:
        self.passed += 1

    # Ordered report expectations: each pattern must match a line after the
    # line that matched the previous one.
    def reports(self, patterns: list[dict]) -> None:
        reports = self.result.reports
        position = 0
        for number, pattern in enumerate(patterns, start=1):
            if "event" not in pattern:
                raise fq.HarnessError(f"expect.reports[{number - 1}] needs an event")
            found = next((r for r in reports[position:] if report_matches(pattern, r)), None)
            if found is not None:
                position = found.index + 1
                self.ok()
                continue
            same = [r for r in reports if r.event == pattern["event"]]
            lines = [f"reports #{number}: expected, after report line {position}: @@FTPM {describe_pattern(pattern)}"]
            if not same:
                lines.append(f"    no '{pattern['event']}' line at all")
            for report in same[:8]:
                where = "before the previous match" if report.index < position else "later"
                lines.append(f"    line {report.index} ({where}): @@FTPM {report.raw}")
                lines.append(f"        {field_differences(pattern, report) or 'matches, but out of order'}")
            self.fail("\n".join(lines))

    def absent(self, patterns: list[dict]) -> None:
        for pattern in patterns:
            hits = [r for r in self.result.reports if report_matches(pattern, r)]
            if hits:
                shown = "\n".join(f"    line {r.index}: @@FTPM {r.raw}" for r in hits[:8])
                self.fail(f"absent: expected no line matching @@FTPM {describe_pattern(pattern)}, found:\n{shown}")
            else:
                self.ok()

    def counts(self, counts: dict) -> None:
        for event, want in counts.items():
            got = sum(1 for r in self.result.reports if r.event == event)
            if got != want:
                self.fail(f"counts: expected {want} '{event}' line(s), got {got}")
            else:
                self.ok()

    def text(self, wanted: list[str], present: bool) -> None:
        for snippet in wanted:
            if (snippet in self.result.text) == present:
                self.ok()
            elif present:
                self.fail(f"text: expected the serial output to contain {snippet!r}")
            else:
                self.fail(f"no_text: expected the serial output not to contain {snippet!r}")

    def prompts(self, want: int) -> None:
        got = sum(1 for box in self.result.boxes if box.kind == "prompt")
        if got != want:
            self.fail(f"prompts: expected {want} prompt(s) drawn, got {got}")
        else:
            self.ok()

    # Checks on the screen as it stood when a box had just been completed.
    def boxes(self, checks: list[dict]) -> None:
        snapshots = self.result.screen.snapshots
        for check in checks:
            number = int(check.get("n", 1))
            kind = check.get("kind")
            candidates = [s for s in snapshots if kind is None or s.kind == kind]
            if not 1 <= number <= len(candidates):
                self.fail(f"boxes: expected box {number} ({kind or 'any kind'}), only {len(candidates)} drawn")
                continue
            snap = candidates[number - 1]
            before = len(self.failures)
            for item in check.get("at", []):
                row, col, text = int(item["row"]), int(item["col"]), item["text"]
                got = snap.text_at(row, col, len(text))
                if got != text:
                    self.fail(f"boxes: box {number} at row {row} column {col}: expected {text!r}, got {got!r}")
                attribute = item.get("attribute")
                if attribute is not None:
                    want = fq.to_int(attribute, "attribute")
                    got_attr = snap.attributes[row][col] if 0 <= row < len(snap.rows) else None
                    if got_attr != want:
                        self.fail(f"boxes: box {number} at row {row} column {col}: attribute expected {want:#04x}, "
                                  f"got {got_attr if got_attr is None else hex(got_attr)}")
            screen_text = "\n".join(snap.rows)
            for snippet in check.get("contains", []):
                if snippet not in screen_text:
                    self.fail(f"boxes: box {number} screen should contain {snippet!r}")
            for snippet in check.get("lacks", []):
                if snippet in screen_text:
                    self.fail(f"boxes: box {number} screen should not contain {snippet!r}")
            if len(self.failures) == before:
                self.ok()
            else:
                self.failures[-1] += "\n" + snap.render()

    def final_screen(self, check: dict) -> None:
        snap = self.result.screen.snapshot("final")
        screen_text = "\n".join(snap.rows)
        before = len(self.failures)
        for snippet in check.get("contains", []):
            if snippet not in screen_text:
                self.fail(f"final_screen: should contain {snippet!r}")
        for snippet in check.get("lacks", []):
            if snippet in screen_text:
                self.fail(f"final_screen: should not contain {snippet!r}")
        if len(self.failures) == before:
            self.ok()
        else:
            self.failures[-1] += "\n" + snap.render()

    # Every range the flash service reports as erased reads 0xFF in the image
    # file afterwards, and no byte outside those ranges changed.
    def erases_in_image(self) -> None:
        if self.before is None or self.after is None:
            self.fail("erases_in_image: the scenario has no flash image")
            return
        erased = []
        for report in self.result.reports:
            if report.event == "smm-erase" and report.fields.get("action") == "erased":
                offset, size = int(report.fields["offset"], 0), int(report.fields["size"], 0)
                erased.append((offset, size))
                got = self.after[offset:offset + size]
                if got != b"\xff" * size:
                    bad = next((i for i, b in enumerate(got) if b != 0xFF), len(got))
                    self.fail(f"erases_in_image: {offset:#x}+{size:#x} was reported erased, but offset "
                              f"{offset + bad:#x} does not read 0xff")
        outside = [(o, n) for o, n in fq.changed_ranges(self.before, self.after)
                   if not any(start <= o and o + n <= start + size for start, size in erased)]
        if outside:
            self.fail(f"erases_in_image: bytes changed outside the erased ranges: {format_ranges(outside)}")
        if not any(f.startswith("erases_in_image") for f in self.failures):
            self.ok()

    def image(self, checks: list[dict]) -> None:
        if self.after is None:
            self.fail("image: the scenario has no flash image to check")
            return
        for check in checks:
            offset = fq.to_int(check.get("offset"), "image offset")
            length = fq.to_int(check.get("length"), "image length")
            got = self.after[offset:offset + length]
            if len(got) != length:
                self.fail(f"image: range {offset:#x}+{length:#x} runs past the image")
                continue
            if "all" in check:
                byte = fq.to_int(check["all"], "image all")
                bad = next((i for i, b in enumerate(got) if b != byte), None)
                if bad is not None:
                    self.fail(f"image: expected {byte:#04x} in {offset:#x}+{length:#x}; offset {offset + bad:#x} "
                              f"holds {got[bad]:#04x}")
                    continue
            elif "hex" in check:
                want = bytes.fromhex(check["hex"])
                if got != want:
                    self.fail(f"image: at {offset:#x} expected {want.hex()}, got {got.hex()}")
                    continue
            elif check.get("unchanged"):
                if self.before is None or got != self.before[offset:offset + length]:
                    self.fail(f"image: expected {offset:#x}+{length:#x} unchanged")
                    continue
            else:
                raise fq.HarnessError("image checks need all, hex or unchanged")
            self.ok()

    def image_changes(self, want: list) -> None:
        if self.before is None or self.after is None:
            self.fail("image_changes: the scenario has no flash image")
            return
        got = fq.changed_ranges(self.before, self.after)
        expected = [(fq.to_int(item["offset"], "offset"), fq.to_int(item["length"], "length")) for item in want]
        if got != expected:
            self.fail("image_changes: changed byte ranges differ\n"
                      f"    expected: {format_ranges(expected)}\n    got:      {format_ranges(got)}")
        else:
            self.ok()

    def ended(self, want: str) -> None:
        if self.result.ended != want:
            self.fail(f"ended: expected {want!r}, got {self.result.ended!r}")
        else:
            self.ok()

    def config_errors(self, want: int) -> None:
        got = sum(1 for r in self.result.reports if r.event == "config-error")
        if got != want:
            self.fail(f"config_errors: expected {want}, got {got} (the harness rejected configuration lines)")
        else:
            self.ok()


def format_ranges(ranges: list[tuple[int, int]]) -> str:
    return ", ".join(f"{offset:#x}+{length:#x}" for offset, length in ranges) or "(none)"


def check_expectations(expect: dict, result: fq.RunResult, before: bytes | None, after: bytes | None) -> Checker:
    checker = Checker(result, before, after)
    # Every run must have reached the harness and had its configuration accepted.
    checker.reports([{"event": "harness-started"}])
    checker.config_errors(int(expect.get("config_errors", 0)))
    checker.ended(expect.get("ended", "shutdown"))
    if "reports" in expect:
        checker.reports(expect["reports"])
    if "absent" in expect:
        checker.absent(expect["absent"])
    if "counts" in expect:
        checker.counts(expect["counts"])
    if "text" in expect:
        checker.text(expect["text"], True)
    if "no_text" in expect:
        checker.text(expect["no_text"], False)
    if "prompts" in expect:
        checker.prompts(int(expect["prompts"]))
    if "boxes" in expect:
        checker.boxes(expect["boxes"])
    if "final_screen" in expect:
        checker.final_screen(expect["final_screen"])
    if "image" in expect:
        checker.image(expect["image"])
    if expect.get("erases_in_image"):
        checker.erases_in_image()
    if "image_changes" in expect:
        checker.image_changes(expect["image_changes"])
    return checker


# --- Running ----------------------------------------------------------------------------


def run_scenario(scenario: dict, scenario_path: str, uefi_build: str, tool: str | None, work: str,
                 echo=None, log=None) -> tuple[fq.RunResult, bytes | None, bytes | None]:
    base_dir = os.path.dirname(os.path.abspath(scenario_path))
    os.makedirs(work, exist_ok=True)
    window = scenario.get("window", "16m")
    config = dict(scenario.get("config", {}))
    flag = scenario.get("recovery_flag")
    if flag is not None:
        config["recovery-flag"] = fq.to_int(flag, "recovery_flag")
    volume = fq.prepare_volume(work, uefi_build, config, tool=tool)
    image_path = fq.prepare_image(work, window, scenario.get("image"), base_dir, tool)
    with open(image_path, "rb") as handle:
        before = handle.read()
    steps = fq.parse_key_steps(scenario.get("keys", []))
    command = fq.qemu_command(work, volume, window, image_path, scenario.get("cpu"), flag_device=flag is not None)
    with open(os.path.join(work, "command.txt"), "w", encoding="utf-8") as out:
        out.write(" ".join(command) + "\n")

    timeout = float(scenario.get("timeout", DEFAULT_TIMEOUT))
    started = time.monotonic()
    deadline = started + timeout
    session = fq.Session(command, echo=echo)
    try:
        sent = fq.feed_keys(session, steps, deadline, log=log)
        timed_out = not session.wait_exit(deadline)
    finally:
        session.kill()
    result = fq.collect(session, timed_out, sent, started)
    with open(image_path, "rb") as handle:
        after = handle.read()
    save_artifacts(work, result)
    return result, before, after


def save_artifacts(work: str, result: fq.RunResult) -> None:
    with open(os.path.join(work, "serial.raw"), "wb") as out:
        out.write(result.raw)
    with open(os.path.join(work, "serial.txt"), "w", encoding="utf-8") as out:
        out.write(result.text)
    with open(os.path.join(work, "reports.txt"), "w", encoding="utf-8") as out:
        out.writelines(f"{r.index:3d} @@FTPM {r.raw}\n" for r in result.reports)
    with open(os.path.join(work, "screens.txt"), "w", encoding="utf-8") as out:
        for number, snap in enumerate(result.screen.snapshots, start=1):
            out.write(f"box {number} ({snap.kind}):\n{snap.render()}\n\n")
        out.write("final screen:\n" + result.screen.snapshot("final").render() + "\n")


def print_failure(name: str, checker: Checker, result: fq.RunResult, work: str) -> None:
    print(f"FAIL {name}: {len(checker.failures)} expectation(s) failed, {checker.passed} held "
          f"(ended: {result.ended}, {result.seconds:.1f} s, keys sent: {result.keys_sent})")
    for failure in checker.failures:
        print("  - " + failure.replace("\n", "\n    "))
    print(f"--- report lines ({len(result.reports)}) ---")
    for report in result.reports:
        print(f"{report.index:3d} @@FTPM {report.raw}")
    print("--- last serial lines ---")
    for line in result.text.splitlines()[-15:]:
        print("  | " + line)
    if result.stderr.strip():
        print("--- qemu stderr ---\n" + result.stderr.strip())
    print(f"--- artifacts in {work} ---")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--uefi-build", required=True, help="build directory of the uefi preset")
    parser.add_argument("--tool", help="the ftpm-recovery tool (for mkimage)")
    parser.add_argument("--work", required=True, help="directory for the volume, images and logs")
    parser.add_argument("--scenario", required=True, help="scenario JSON file")
    parser.add_argument("--verbose", action="store_true", help="show the serial output while it runs")
    args = parser.parse_args(argv)

    name = os.path.splitext(os.path.basename(args.scenario))[0]
    echo = None
    if args.verbose:
        def echo(chunk: bytes) -> None:
            sys.stdout.write(fq.strip_escapes(fq.decode_serial(chunk)))
            sys.stdout.flush()
    log = (lambda message: print(f"[run.py] {message}", flush=True)) if args.verbose else None
    try:
        scenario = load_scenario(args.scenario)
        result, before, after = run_scenario(scenario, args.scenario, args.uefi_build, args.tool, args.work,
                                             echo=echo, log=log)
        checker = check_expectations(scenario.get("expect", {}), result, before, after)
    except fq.HarnessError as error:
        print(f"ERROR {name}: {error}")
        return 2
    if checker.failures:
        print_failure(name, checker, result, args.work)
        return 1
    print(f"PASS {name}: {checker.passed} expectation(s) held (ended: {result.ended}, {result.seconds:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
