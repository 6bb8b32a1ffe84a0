#!/usr/bin/env python3
"""`ftpm-recovery package` as a user meets it: any DXE driver with its own
GUID, name and dependency expression, an EFI application without one (both
read back by UEFIExtract when given), exit status 2 and no output for bad
arguments or unreadable input, 1 when the output cannot be written."""

import argparse
import pathlib
import shutil
import struct
import subprocess
import sys

OTHER_GUID = "0D8C7A5E-1F2B-4C3D-8E9F-A0B1C2D3E4F5"
APP_GUID = "6A1E2F3D-4C5B-4A69-8877-665544332211"


def pe_image(machine=0x8664, subsystem=11, magic=0x20B, size=0x400) -> bytes:
    """A minimal PE header with the fields the packager checks."""
    image = bytearray(size)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x40)
    image[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", image, 0x44, machine, 0)
    struct.pack_into("<H", image, 0x44 + 16, 240)
    struct.pack_into("<H", image, 0x58, magic)
    struct.pack_into("<H", image, 0x58 + 68, subsystem)
    return bytes(image)


def guid_bytes(text: str) -> bytes:
    a, b, c, d, e = text.split("-")
    return struct.pack("<IHH", int(a, 16), int(b, 16), int(c, 16)) + bytes.fromhex(d + e)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--uefiextract")
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    failures = []

    def package(*arguments):
        return subprocess.run([args.tool, "package", *map(str, arguments)], capture_output=True, text=True,
                              timeout=60)

    def write(name, data):
        path = work / name
        path.write_bytes(data)
        return path

    driver = write("OtherDxe.efi", pe_image())
    out = work / "out.ffs"

    # Refusals: status 2, a reason on stderr, nothing written.
    refusals = {
        "missing input": [work / "absent.efi", "--ffs", out, "--guid", OTHER_GUID],
        "directory as input": [work, "--ffs", out, "--guid", OTHER_GUID],
        "not a PE image": [write("notes.txt", b"just some text\n" * 8), "--ffs", out, "--guid", OTHER_GUID],
        "Windows subsystem": [write("Win.efi", pe_image(subsystem=3)), "--ffs", out, "--guid", OTHER_GUID],
        "application with --depex": [write("App.efi", pe_image(subsystem=10)), "--ffs", out, "--guid", OTHER_GUID,
                                     "--depex", "TRUE"],
        "non-UEFI machine": [write("Odd.efi", pe_image(machine=0x1234)), "--ffs", out, "--guid", OTHER_GUID],
        "truncated PE": [write("Cut.efi", pe_image()[:0x50]), "--ffs", out, "--guid", OTHER_GUID],
        "malformed --guid": [driver, "--ffs", out, "--guid", "not-a-guid"],
        "malformed --depex": [driver, "--ffs", out, "--guid", OTHER_GUID, "--depex", "PCD_PROTOCOL AND ("],
        "unknown protocol name": [driver, "--ffs", out, "--guid", OTHER_GUID, "--depex", "NO_SUCH_PROTOCOL"],
        "default GUID for another driver": [driver, "--ffs", out],
        "non-ASCII name": [driver, "--ffs", out, "--guid", OTHER_GUID, "--name", "Tr\u00e4ger"],
        "no --ffs": [driver, "--guid", OTHER_GUID],
    }
    for what, arguments in refusals.items():
        run = package(*arguments, "--fv", work / "out.fv") if "--ffs" in arguments else package(*arguments)
        if run.returncode != 2 or not run.stderr.strip():
            failures.append(f"{what}: status {run.returncode}, stderr {run.stderr.strip()!r}")
        if out.exists() or (work / "out.fv").exists():
            failures.append(f"{what}: output written")
            out.unlink(missing_ok=True)
            (work / "out.fv").unlink(missing_ok=True)

    # An output that cannot be written: status 1.
    run = package(driver, "--ffs", work / "no" / "such" / "dir.ffs", "--guid", OTHER_GUID)
    if run.returncode != 1:
        failures.append(f"unwritable output: status {run.returncode}")

    # The output replaces its target and nothing else: a file named as a
    # temporary one would be stays as it was, a symbolic link is replaced,
    # not written through, the new file has the mode umask leaves, and no
    # temporary file stays behind.
    written = work / "written"
    written.mkdir()
    bystander = written / "Out.ffs.tmp"
    bystander.write_bytes(b"not ours")
    linked = written / "linked.ffs"
    elsewhere = work / "elsewhere.bin"
    elsewhere.write_bytes(b"keep")
    linked.symlink_to(elsewhere)
    for target in (written / "Out.ffs", linked):
        run = subprocess.run(["sh", "-c", 'umask 027 && exec "$@"', "sh", args.tool, "package", str(driver), "--ffs",
                              str(target), "--guid", OTHER_GUID], capture_output=True, text=True, timeout=60)
        if run.returncode != 0:
            failures.append(f"writing {target.name}: status {run.returncode}: {run.stderr}")
            continue
        mode = target.lstat().st_mode
        if target.is_symlink() or (mode & 0o777) != 0o640:
            failures.append(f"{target.name}: a link {target.is_symlink()}, mode {mode & 0o777:o}, not 640")
    left = sorted(path.name for path in written.iterdir())
    kept = bystander.read_bytes() if bystander.exists() else None
    if left != ["Out.ffs", "Out.ffs.tmp", "linked.ffs"] or kept != b"not ours":
        failures.append(f"beside the outputs: {left}, Out.ffs.tmp holding {kept!r}")
    if elsewhere.read_bytes() != b"keep":
        failures.append("the link's target was written through")

    # Any DXE driver: its own GUID, name and dependency expression.
    fv = work / "Other.fv"
    run = package(driver, "--ffs", out, "--fv", fv, "--guid", "{" + OTHER_GUID.lower() + "}", "--name", "Other Dxe",
                  "--depex", "TRUE")
    if run.returncode != 0:
        failures.append(f"custom package: status {run.returncode}: {run.stderr}")
        return report(failures)
    ffs = out.read_bytes()
    checks = {
        "file GUID": ffs[0:16] == guid_bytes(OTHER_GUID),
        "file type DRIVER": ffs[18] == 0x07,
        "depex TRUE END": ffs[24:30] == bytes([6, 0, 0, 0x13, 0x06, 0x08]),
        "name": ("Other Dxe\0".encode("utf-16-le")) in ffs,
        "volume holds the file": fv.read_bytes()[0x48:0x48 + len(ffs)] == ffs,
        "summary on stdout": OTHER_GUID in run.stdout and "Other Dxe" in run.stdout,
    }
    failures += [f"custom package: {name}" for name, ok in checks.items() if not ok]

    # The default name is the driver file's stem, and FtpmRecoveryDxe gets the
    # project's file GUID without being asked.
    ours = write("FtpmRecoveryDxe.efi", pe_image(subsystem=12))
    run = package(ours, "--ffs", out)
    if run.returncode != 0 or "FtpmRecoveryDxe" not in run.stdout or "runtime driver" not in run.stdout:
        failures.append(f"default GUID for FtpmRecoveryDxe: status {run.returncode}, {run.stdout!r}")
    elif "FtpmRecoveryDxe\0".encode("utf-16-le") not in out.read_bytes():
        failures.append("default name is not the file stem")

    # The reference platform's files: their own GUIDs by name, the platform's
    # depex waits for the variable services, the caller is an application.
    platform = write("FtpmPlatformDxe.efi", pe_image())
    run = package(platform, "--ffs", work / "platform.ffs")
    want = "depex [PCD_PROTOCOL AND EFI_PCD_PROTOCOL AND EFI_VARIABLE_ARCH_PROTOCOL AND EFI_VARIABLE_WRITE_ARCH_PROTOCOL]"
    if run.returncode != 0 or "7D73F219-9B9D-4D03-87CC-2EBC7A50F2B4" not in run.stdout or want not in run.stdout:
        failures.append(f"FtpmPlatformDxe by name: status {run.returncode}, {run.stdout!r}")
    caller = write("FtpmSysPrep.efi", pe_image(subsystem=10))
    run = package(caller, "--ffs", work / "caller.ffs")
    if run.returncode != 0 or "application 0A086351-8DFE-48E3-BDE4-DE4D74C64315" not in run.stdout:
        failures.append(f"FtpmSysPrep by name: status {run.returncode}, {run.stdout!r}")
    run = package(ours, "--ffs", work / "gated.ffs", "--depex", "PCD_PROTOCOL AND ERASE_SERVICE_READY_PROTOCOL")
    gated = (work / "gated.ffs").read_bytes() if run.returncode == 0 else b""
    if guid_bytes("9F373486-DA76-4C9F-8155-6CCDDB0B0B04") not in gated:
        failures.append(f"ERASE_SERVICE_READY_PROTOCOL in a depex: status {run.returncode}, {run.stderr!r}")

    # An application: its own file type, image and name sections, no depex.
    app_ffs, app_fv = work / "App.ffs", work / "App.fv"
    run = package(work / "App.efi", "--ffs", app_ffs, "--fv", app_fv, "--guid", APP_GUID)
    if run.returncode != 0 or "application" not in run.stdout or "depex" in run.stdout:
        failures.append(f"application: status {run.returncode}, {run.stdout!r} {run.stderr!r}")
    else:
        data = app_ffs.read_bytes()
        section_types = []
        offset = 24
        while offset + 4 <= len(data):
            section_types.append(data[offset + 3])
            offset = (offset + int.from_bytes(data[offset:offset + 3], "little") + 3) & ~3
        if data[18] != 0x09 or section_types != [0x10, 0x15]:
            failures.append(f"application: type {data[18]:#x}, sections {section_types}")

    if args.uefiextract:
        for volume, needles in ((fv, [f"{OTHER_GUID} | Other Dxe", "DXE dependency"]),
                                (app_fv, [f"{APP_GUID} | App", "Application", "PE32 image", "UI"])):
            run = subprocess.run([args.uefiextract, volume.name, "report"], cwd=work, capture_output=True, text=True,
                                 timeout=60)
            listing = (work / f"{volume.name}.report.txt").read_text() if run.returncode == 0 else ""
            if not all(needle in listing for needle in needles) or (volume == app_fv and "dependency" in listing):
                failures.append(f"UEFIExtract's listing of {volume.name}: {listing}")
    return report(failures)


def report(failures) -> int:
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("package command: refusals, custom GUID/name/depex, applications and defaults as intended")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
