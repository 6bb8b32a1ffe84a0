#!/usr/bin/env python3
"""Debian's OVMF_CODE_4M.fd with the driver inserted by `ftpm-recovery insert`
still boots: QEMU runs it to the UEFI shell, which OVMF's boot manager loads
from the rebuilt, recompressed DXE volume.

The driver goes in with a dependency expression that is never satisfied
(FALSE): in stock OVMF its settings would come from OVMF's own settings
database, which does not have them, so it must not start. Beside it go two
probe drivers (probe_driver.py) that each write a line of their own to the
serial port when started, one with the expression TRUE and one with FALSE:
the DXE dispatcher must start the first, before the shell comes up, and never
the second. The lines carry a token drawn for this run, so only the image
built here can print them."""

import argparse
import pathlib
import secrets
import shutil
import subprocess
import sys
import threading
import time

import probe_driver

DXE_VOLUME = "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1"
SHELL_BANNER = b"UEFI Interactive Shell"
SHELL_FROM_DXE_VOLUME = f'starting Boot0002 "EFI Internal Shell" from Fv({DXE_VOLUME})'.encode()


def boot(qemu, code, variables, seconds):
    """The serial output until the shell's banner, or all of it after seconds."""
    command = [qemu, "-machine", "q35", "-m", "256M", "-nographic", "-net", "none", "-no-reboot",
               "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
               "-drive", f"if=pflash,format=raw,unit=1,file={variables}"]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = bytearray()

    def read():
        for chunk in iter(lambda: process.stdout.read1(4096), b""):
            output.extend(chunk)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and process.poll() is None and SHELL_BANNER not in output:
        time.sleep(0.2)
    process.kill()
    process.wait()
    reader.join(timeout=5)
    return bytes(output)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--qemu", required=True)
    parser.add_argument("--build", required=True, help="the uefi build directory")
    parser.add_argument("--code", required=True, help="OVMF_CODE_4M.fd")
    parser.add_argument("--vars", required=True, help="OVMF_VARS_4M.fd")
    parser.add_argument("--work", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    ffs, code, variables = work / "FtpmRecoveryDxe.ffs", work / "OVMF_CODE_4M.fd", work / "OVMF_VARS_4M.fd"
    token = secrets.token_hex(8)
    started_line = f"probe {token}: started, dependency TRUE".encode()
    never_line = f"probe {token}: started, dependency FALSE".encode()
    probes = []
    for guid, depex, line in (("5C4E54B1-7A36-4E0B-9E39-2F1D0C6A8B01", "TRUE", started_line),
                              ("5C4E54B1-7A36-4E0B-9E39-2F1D0C6A8B02", "FALSE", never_line)):
        efi = work / f"probe-{depex}.efi"
        efi.write_bytes(probe_driver.probe_image(line.decode()))
        probes.append(["package", efi, "--ffs", work / f"probe-{depex}.ffs", "--guid", guid, "--depex", depex])
    for command in (["package", pathlib.Path(args.build) / "FtpmRecoveryDxe.efi", "--ffs", ffs, "--depex", "FALSE"],
                    *probes,
                    ["insert", "--into", args.code, "--out", code, ffs,
                     work / "probe-TRUE.ffs", work / "probe-FALSE.ffs"]):
        result = subprocess.run([args.tool, *map(str, command)], capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            print(f"FAIL: {command[0]}: {result.stderr}")
            return 1
        print(result.stdout.strip().splitlines()[-1])
    shutil.copyfile(args.vars, variables)

    started = time.monotonic()
    output = boot(args.qemu, code, variables, args.seconds)
    (work / "serial.log").write_bytes(output)
    failures = []
    if SHELL_FROM_DXE_VOLUME not in output:
        failures.append(f"the boot manager did not start the shell from volume {DXE_VOLUME}")
    if SHELL_BANNER not in output:
        failures.append(f"no shell banner within {args.seconds:.0f} s")
    if output.count(started_line) != 1:
        failures.append(f"the probe with dependency TRUE wrote its line {output.count(started_line)} times")
    elif SHELL_BANNER in output and output.index(started_line) > output.index(SHELL_BANNER):
        failures.append("the probe with dependency TRUE started after the shell")
    if never_line in output:
        failures.append("the probe with dependency FALSE was started")
    for failure in failures:
        print("FAIL:", failure, f"(serial output in {work / 'serial.log'})")
    if not failures:
        print(f"the rebuilt OVMF_CODE_4M.fd boots to the UEFI shell in {time.monotonic() - started:.1f} s; "
              "the dispatcher started the probe with dependency TRUE and not the one with FALSE")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
