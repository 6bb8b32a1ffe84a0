#!/usr/bin/env python3
"""Size of FtpmRecoveryDxe.efi, plain and LZMA-compressed, against its budget.

A firmware volume holds a DXE driver either as it is or in an LZMA-compressed
section; the compressed figure is what `xz --format=lzma -9e` makes of the
image (the .lzma form, which is what such a section's data looks like).

    image_size.py IMAGE             prints {"bytes": N, "lzma_bytes": M, "budget": B} as JSON
    image_size.py --check IMAGE     exits 1 when the image is larger than the budget
"""
import argparse
import json
import os
import subprocess
import sys

# Bytes the uncompressed image may take.
BUDGET = 16 * 1024


def lzma_size(path):
    """Bytes of the image compressed as an LZMA section would hold it, or None without xz."""
    try:
        with open(path, "rb") as image:
            out = subprocess.run(["xz", "--format=lzma", "-9e", "--stdout"], stdin=image, capture_output=True,
                                 check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return len(out.stdout)


def measure(path):
    return {"bytes": os.path.getsize(path), "lzma_bytes": lzma_size(path), "budget": BUDGET}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("--check", action="store_true", help="fail when the image is above the budget")
    args = parser.parse_args()
    if not os.path.isfile(args.image):
        sys.exit(f"{args.image}: no such image; build the uefi preset first (cmake --build --preset uefi)")
    size = os.path.getsize(args.image)
    if args.check:
        verdict = "within" if size <= BUDGET else "OVER"
        print(f"{args.image}: {size} bytes, {verdict} the budget of {BUDGET} bytes")
        sys.exit(0 if size <= BUDGET else 1)
    print(json.dumps(measure(args.image)))


if __name__ == "__main__":
    main()
