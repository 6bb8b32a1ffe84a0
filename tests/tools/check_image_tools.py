#!/usr/bin/env python3
"""mkimage and inspect end to end: every sample built and inspected on its
processor, and bad input refused with status 2 and one line on stderr."""
import argparse
import json
import os
import subprocess
import sys

# Per sample: the processor, then per RecoveryFlag value the answers for
# types 0x04, 0x54 and 0x40 as (address, size), or None when not found.
EXPECTED = {
    "plain-16m": ("0x00810F82", {
        "0": [("0xFF400000", "0x10000"), ("0xFF420000", "0x20000"), ("0xFF110000", "0x610")],
    }),
    "combo-ab2-64m": ("0x00A70F42", {
        "0": [("0x1140000", "0x4000"), ("0x1150000", "0x8000"), None],
        "0x40000000": [("0x1200000", "0x4000"), ("0x1210000", "0x8000"), None],
    }),
    "ab1": ("0x00890F11", {
        "0": [("0x900000", "0x4000"), ("0x910000", "0x8000"), None],
        "1073741824": [("0x800000", "0x4000"), ("0x810000", "0x8000"), None],
    }),
}


def run(tool, *args):
    return subprocess.run([tool, *args], capture_output=True, text=True, timeout=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--work", required=True)
    options = parser.parse_args()
    os.makedirs(options.work, exist_ok=True)
    failures = []
    checks = 0

    def check(condition, what):
        nonlocal checks
        checks += 1
        if not condition:
            failures.append(what)

    images = {}
    for sample, (cpu, flags) in EXPECTED.items():
        image = os.path.join(options.work, sample + ".bin")
        made = run(options.tool, "mkimage", os.path.join(options.samples, sample + ".json"), "-o", image)
        check(made.returncode == 0 and os.path.exists(image), f"mkimage {sample}: {made.returncode} {made.stderr}")
        images[sample] = image
        for flag, answers in flags.items():
            shown = run(options.tool, "inspect", "--image", image, "--cpu", cpu, "--recovery-flag", flag, "--json")
            check(shown.returncode == 0, f"inspect {sample} flag {flag}: status {shown.returncode} {shown.stderr}")
            if shown.returncode != 0:
                continue
            report = json.loads(shown.stdout)
            for key, answer in zip(("0x04", "0x54", "0x40"), answers):
                lookup = report["lookups"][key]
                want = {"found": answer is not None,
                        "address": answer[0] if answer else None,
                        "size": answer[1] if answer else None}
                got = {k: lookup.get(k) for k in want}
                check(got == want, f"inspect {sample} flag {flag} {key}: {got} != {want}")

    # Text output, and a decimal processor signature (0x00810F82).
    text = run(options.tool, "inspect", "--image", images["plain-16m"], "--cpu", str(0x00810F82))
    check(text.returncode == 0 and "0x04: address 0xFF400000, size 0x10000" in text.stdout,
          f"text inspect: {text.returncode} {text.stdout[-400:]}")

    big = os.path.join(options.work, "too-big.bin")
    with open(big, "wb") as handle:
        handle.truncate(0x4000001)
    bad_layout = os.path.join(options.work, "bad.json")
    with open(bad_layout, "w") as handle:
        handle.write('{"size": 4096, "directories": [{"offset": 0, "entries": [{"type": 4}]}]}')
    not_json = os.path.join(options.work, "not.json")
    with open(not_json, "w") as handle:
        handle.write("{size: 1")
    plain = images["plain-16m"]
    refusals = {
        "inspect without --cpu": ["inspect", "--image", plain],
        "inspect without --image": ["inspect", "--cpu", "1"],
        "inspect with a bad --cpu": ["inspect", "--image", plain, "--cpu", "0x1G"],
        "inspect with a negative --cpu": ["inspect", "--image", plain, "--cpu", "-1"],
        "inspect with a 33-bit flag": ["inspect", "--image", plain, "--cpu", "1", "--recovery-flag", "0x100000000"],
        "inspect of a missing image": ["inspect", "--image", os.path.join(options.work, "none.bin"), "--cpu", "1"],
        "inspect of a directory": ["inspect", "--image", options.work, "--cpu", "1"],
        "inspect of an image over 64 MB": ["inspect", "--image", big, "--cpu", "1"],
        "mkimage without -o": ["mkimage", bad_layout],
        "mkimage of a bad layout": ["mkimage", bad_layout, "-o", os.path.join(options.work, "bad.bin")],
        "mkimage of broken JSON": ["mkimage", not_json, "-o", os.path.join(options.work, "bad.bin")],
        "mkimage of a missing layout": ["mkimage", os.path.join(options.work, "none.json"), "-o", big],
    }
    for what, args in refusals.items():
        result = run(options.tool, *args)
        lines = result.stderr.strip().splitlines()
        check(result.returncode == 2 and len(lines) == 1 and not result.stdout,
              f"{what}: status {result.returncode}, stderr {result.stderr!r}, stdout {result.stdout[:80]!r}")
    check(not os.path.exists(os.path.join(options.work, "bad.bin")), "a refused mkimage left an image behind")
    check(os.path.getsize(big) == 0x4000001, "a refused mkimage changed an existing file")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
