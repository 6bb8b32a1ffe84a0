#!/usr/bin/env python3
"""Reads packaged files back with UEFIExtract, a parser we did not write.

The build's FtpmRecoveryDxe.fv: the volume (second firmware file system,
erase polarity 1, valid header checksum), the DXE driver file with the
project's file GUID, its name, state and both checksums, and its three
sections, which must carry the build's own FtpmRecoveryDxe.efi; the .ffs must
be the very file inside the volume. With --tool, the firmware harness (a real
EFI application) packaged here: an application file with image and name
sections and no dependency section."""

import argparse
import pathlib
import re
import shutil
import subprocess
import sys

FFS2 = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
NAME = "FtpmRecoveryDxe"
APP_NAME = "FtpmHarness"
APP_GUID = "3B0B8E0C-7E0B-4C8F-9F29-7A1B3C5D7E9F"


def guid_from_header(header: pathlib.Path, variable: str) -> str:
    match = re.search(variable + r' = MakeGuid\("([0-9A-Fa-f-]{36})"\)', header.read_text())
    if not match:
        sys.exit(f"{variable} not found in {header}")
    return match.group(1).upper()


def report_rows(report: str):
    """Rows of the report as (type, subtype, base, size, name), header skipped."""
    rows = []
    for line in report.splitlines()[1:]:
        cells = [c.strip() for c in line.split("|", 5)]
        if len(cells) == 6:
            rows.append((cells[0], cells[1], int(cells[2], 16), int(cells[3], 16), cells[5]))
    return rows


def only_child(directory: pathlib.Path, suffix: str) -> pathlib.Path:
    matches = [p for p in directory.iterdir() if p.is_dir() and p.name.endswith(" " + suffix)]
    if len(matches) != 1:
        raise AssertionError(f"expected one '{suffix}' in {directory}, found {[p.name for p in matches]}")
    return matches[0]


def check_packaged(uefiextract, work, efi, ffs, fv, file_guid, name, file_type, subsystem, depex, check):
    """UEFIExtract's report and dump of fv: one file, ffs, carrying efi.

    depex is the parsed expression UEFIExtract must show, None for a file
    without a dependency section."""
    if fv.parent.resolve() != work.resolve():
        shutil.copyfile(fv, work / fv.name)
    run = subprocess.run([uefiextract, fv.name, "all"], cwd=work, capture_output=True, text=True, timeout=60)
    check(run.returncode == 0, f"{fv.name}: UEFIExtract exit status {run.returncode}")
    # A volume without a boot (top) file is what a DXE volume is; anything else
    # UEFIExtract says is a complaint about the image.
    complaints = [line for line in (run.stdout + run.stderr).splitlines()
                  if line.strip() and "Volume Top File" not in line]
    check(not complaints, f"{fv.name}: UEFIExtract complained: {complaints}")

    volume_bytes, file_bytes, image_bytes = fv.read_bytes(), ffs.read_bytes(), efi.read_bytes()
    kind = {0x07: "DXE driver", 0x09: "Application"}[file_type]
    sections = ([("Section", "DXE dependency")] if depex else []) + [("Section", "PE32 image"), ("Section", "UI")]

    rows = report_rows((work / f"{fv.name}.report.txt").read_text())
    kinds = [(r[0], r[1]) for r in rows]
    expected = [("Image", "UEFI"), ("Volume", "FFSv2"), ("File", kind)] + sections + [("Free space", "")]
    check(kinds == expected, f"{fv.name}: report lists {kinds}")
    if kinds == expected:
        check(rows[1][4] == f"- {FFS2}" and rows[1][3] == len(volume_bytes), f"volume row {rows[1]}")
        check(rows[2][4] == f"-- {file_guid} | {name}", f"file row names {rows[2][4]!r}")
        check(rows[2][2] == 0x48 and rows[2][3] == len(file_bytes), f"file row at {rows[2][2]:#x} size {rows[2][3]:#x}")
        check(all(r[2] % 4 == 0 for r in rows[3:3 + len(sections)]), "sections 4-byte aligned")

    try:
        dump = work / f"{fv.name}.dump"
        volume = only_child(dump, FFS2)
        info = (volume / "info.txt").read_text()
        for needle in ("Signature: _FVH", f"FileSystem GUID: {FFS2}", "Revision: 2", "Erase polarity: 1",
                       "Header size: 48h (72)", f"Full size: {len(volume_bytes):X}h"):
            check(needle in info, f"{fv.name}: volume info lacks '{needle}'")
        check(re.search(r"^Checksum: [0-9A-F]+h, valid$", info, re.M), "volume header checksum not valid")

        file = only_child(volume, name)
        info = (file / "info.txt").read_text()
        for needle in (f"File GUID: {file_guid}", f"Type: {file_type:02X}h", "Attributes: 40h", "State: F8h",
                       f"Text: {name}"):
            check(needle in info, f"{fv.name}: file info lacks '{needle}'")
        check(re.search(r"^Header checksum: [0-9A-F]+h, valid$", info, re.M), "file header checksum not valid")
        check(re.search(r"^Data checksum: [0-9A-F]+h, valid$", info, re.M), "file data checksum not valid")
        check((file / "header.bin").read_bytes() + (file / "body.bin").read_bytes() == file_bytes,
              f"{ffs.name} is not the file inside the volume")

        if depex:
            section = only_child(file, "DXE dependency section")
            expression = (section / "info.txt").read_text().split("Parsed expression:", 1)[-1].split()
            check(expression == depex, f"dependency expression {expression}")

        pe32 = only_child(file, "PE32 image section")
        check((pe32 / "body.bin").read_bytes() == image_bytes, f"PE32 section is not the build's {efi.name}")
        info = (pe32 / "info.txt").read_text()
        check("Machine type: x86-64" in info and f"Subsystem: {subsystem:04X}h" in info,
              f"PE32 section of {fv.name} is not an x64 image of subsystem {subsystem}")

        ui = only_child(file, "UI section")
        check(f"Text: {name}" in (ui / "info.txt").read_text(), "UI section text")
        check((ui / "body.bin").read_bytes() == (name + "\0").encode("utf-16-le"), "UI section body")
    except AssertionError as missing:
        check(False, f"UEFIExtract's dump of {fv.name}: {missing}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--uefiextract", required=True)
    parser.add_argument("--build", required=True, help="the uefi build directory")
    parser.add_argument("--guids", required=True, help="platform/Guids.h")
    parser.add_argument("--work", required=True)
    parser.add_argument("--tool", help="ftpm-recovery, to package the harness as an application")
    args = parser.parse_args()

    build = pathlib.Path(args.build)
    efi, ffs, fv = (build / f"{NAME}{ext}" for ext in (".efi", ".ffs", ".fv"))
    for path in (efi, ffs, fv):
        if not path.is_file():
            print(f"missing {path}: `make build` packages the driver")
            return 1

    guids = pathlib.Path(args.guids)
    file_guid = guid_from_header(guids, "gFtpmRecoveryDxeFileGuid")
    pcd = guid_from_header(guids, "gPcdProtocolGuid")
    efi_pcd = guid_from_header(guids, "gEfiPcdProtocolGuid")
    assert guid_from_header(guids, "gEfiFirmwareFileSystem2Guid") == FFS2

    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    check_packaged(args.uefiextract, work, efi, ffs, fv, file_guid, NAME, 0x07, 11,
                   ["PUSH", pcd, "PUSH", efi_pcd, "AND", "END"], check)
    checked = f"DXE driver {file_guid} '{NAME}' (depex + PE32 + UI)"

    harness = build / "qemu" / "harness" / f"{APP_NAME}.efi"
    if args.tool and harness.is_file():
        app_ffs, app_fv = work / f"{APP_NAME}.ffs", work / f"{APP_NAME}.fv"
        run = subprocess.run([args.tool, "package", harness, "--ffs", app_ffs, "--fv", app_fv, "--guid", APP_GUID],
                             capture_output=True, text=True, timeout=60)
        check(run.returncode == 0 and "application" in run.stdout, f"package {harness.name}: {run.stderr}")
        if run.returncode == 0:
            check_packaged(args.uefiextract, work, harness, app_ffs, app_fv, APP_GUID, APP_NAME, 0x09, 10, None, check)
            checked += f", application {APP_GUID} '{APP_NAME}' (PE32 + UI)"

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"UEFIExtract reads the FFSv2 volumes of {checked}, checksums valid")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
