#!/usr/bin/env python3
"""Builds the uefi preset's driver twice, into two scratch directories of
different names, packages each image with `ftpm-recovery package`, and
compares FtpmRecoveryDxe.efi, .ffs and .fv byte for byte: one commit must
give one set of bytes, whoever builds it and wherever.

    check_reproducible.py --source DIR --tool FTPM_RECOVERY --work DIR
"""

import argparse
import pathlib
import shutil
import subprocess
import sys
import time

NAME = "FtpmRecoveryDxe"


def build(source: pathlib.Path, tool: pathlib.Path, directory: pathlib.Path) -> dict:
    """Configures and builds the driver alone in directory; returns its three files' bytes."""
    shutil.rmtree(directory, ignore_errors=True)
    subprocess.run(["cmake", "--preset", "uefi", "-S", str(source), "-B", str(directory)], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(directory), "--target", NAME], check=True, stdout=subprocess.DEVNULL)
    image = directory / f"{NAME}.efi"
    ffs = directory / f"{NAME}.ffs"
    fv = directory / f"{NAME}.fv"
    subprocess.run([str(tool), "package", str(image), "--ffs", str(ffs), "--fv", str(fv)], check=True,
                   stdout=subprocess.DEVNULL)
    return {path.suffix: path.read_bytes() for path in (image, ffs, fv)}


def differences(left: bytes, right: bytes, limit: int = 8) -> str:
    offsets = [i for i in range(min(len(left), len(right))) if left[i] != right[i]][:limit]
    text = ", ".join(f"{i:#x}: {left[i]:#04x} vs {right[i]:#04x}" for i in offsets)
    if len(left) != len(right):
        text += f"{'; ' if text else ''}sizes {len(left)} and {len(right)}"
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--tool", type=pathlib.Path, required=True)
    parser.add_argument("--work", type=pathlib.Path, required=True)
    args = parser.parse_args()

    first = build(args.source, args.tool, args.work / "first")
    # A link time kept in the bytes (whole seconds in a PE header) must show:
    # the second build links in a later second.
    time.sleep(1.05 - time.time() % 1.0)
    second = build(args.source, args.tool, args.work / "second-build")
    failed = False
    for suffix in (".efi", ".ffs", ".fv"):
        if first[suffix] != second[suffix]:
            print(f"{NAME}{suffix} differs between the two builds: {differences(first[suffix], second[suffix])}")
            failed = True
        else:
            print(f"{NAME}{suffix}: {len(first[suffix])} bytes, the same in both builds")
    if not failed:
        shutil.rmtree(args.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
