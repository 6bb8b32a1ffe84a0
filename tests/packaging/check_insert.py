#!/usr/bin/env python3
"""`ftpm-recovery insert` on Debian's OVMF images, read back with UEFIExtract
and with fwimage.py, two readers that share no code with the tool.

For each image: the driver and the harness (packaged here as a DXE driver
file and an application file) go into the DXE volume, which lies inside the
LZMA-compressed section of a volume-image file; UEFIExtract must list both
inside that nested volume with their GUIDs, names and sections, with valid
checksums, and its dump of them must be the .ffs files byte for byte. The new
image has the old one's size, every file that was there before is unchanged,
and so is every byte outside the rebuilt file. fwimage.py reads the whole new
image, every checksum down through the LZMA section, and checks the same from
its own tree: the DXE volume's old files in place, the new ones after them,
every other volume as it was, no byte changed outside the rebuilt file; and
the new LZMA data as firmware decoders read it: the old properties, a
dictionary no larger than before, the real size in its header, no end
marker.
Then what a user meets: the same file again (refused, then --replace), and
the refusals, each exit status 2 with one line on stderr and no output file.
"""

import argparse
import pathlib
import re
import shutil
import subprocess
import sys

import fwimage as fw
from check_insert_images import DXE_VOLUME, Checks, check_fwimage, check_replaced, dxe_place

DRIVER_GUID = "45FE3E99-C7A4-4918-B123-914F98F78C8B"
APP_GUID = "3B0B8E0C-7E0B-4C8F-9F29-7A1B3C5D7E9F"


def run(*command, cwd=None):
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True, timeout=120)


def extract(uefiextract, image: pathlib.Path) -> pathlib.Path:
    """UEFIExtract's full dump of image, made beside it."""
    for old in image.parent.glob(image.name + ".*"):
        shutil.rmtree(old) if old.is_dir() else old.unlink()
    result = run(uefiextract, image.name, "all", cwd=image.parent)
    if result.returncode != 0:
        raise AssertionError(f"UEFIExtract {image.name}: status {result.returncode} {result.stderr}")
    return image.parent / f"{image.name}.dump"


def files_in(dump: pathlib.Path):
    """Every file of the dump: relative path -> (info text, header + body)."""
    files = {}
    for info in dump.rglob("info.txt"):
        text = info.read_text()
        if text.startswith("Type: File\n"):
            entry = info.parent
            files[entry.relative_to(dump)] = (text, (entry / "header.bin").read_bytes() + (entry / "body.bin").read_bytes())
    return files


def dxe_volume(dump: pathlib.Path) -> pathlib.Path:
    volumes = [p for p in dump.rglob(f"* {DXE_VOLUME}") if p.is_dir()]
    if len(volumes) != 1:
        raise AssertionError(f"DXE volume {DXE_VOLUME} found {len(volumes)} times")
    return volumes[0]


def check_image(args, source: pathlib.Path, work: pathlib.Path, packaged, check: Checks):
    work.mkdir(parents=True)
    original = work / "original.fd"
    shutil.copyfile(source, original)
    out = work / "inserted.fd"
    result = run(args.tool, "insert", "--into", original, "--out", out, *[p for p, *_ in packaged])
    if not check(result.returncode == 0, f"{source}: insert status {result.returncode}: {result.stderr}"):
        return
    lines = result.stdout.splitlines()
    check(len(lines) == len(packaged) + 1 and all(guid in lines[i] for i, (_, guid, *_) in enumerate(packaged)),
          f"{source}: output lines {lines}")
    check("it holds the DXE core" in lines[-1] and f"volume {DXE_VOLUME} in the LZMA section" in lines[-1],
          f"{source}: summary {lines[-1]!r}")
    print(lines[-1])
    check(out.stat().st_size == source.stat().st_size, f"{source}: size {out.stat().st_size}")

    check_independent(str(source), original.read_bytes(), out.read_bytes(), [p.read_bytes() for p, *_ in packaged],
                      check)

    before_dump, after_dump = extract(args.uefiextract, original), extract(args.uefiextract, out)
    report = (work / f"{out.name}.report.txt").read_text()
    check("invalid" not in report.lower(), f"{source}: UEFIExtract's report mentions something invalid")

    # The report: each new file inside the nested DXE volume, one level below
    # it, with its sections one level further.
    rows = [line.split("|") for line in report.splitlines()[1:]]
    depth = {}
    volume_depth = None
    for i, row in enumerate(rows):
        name = row[5].strip() if len(row) > 5 else ""
        dashes = len(name) - len(name.lstrip("-"))
        if DXE_VOLUME in name and row[0].strip() == "Volume":
            volume_depth = dashes
        for path, guid, kind, sections in packaged:
            if guid in name and row[0].strip() == "File":
                depth[guid] = (dashes, row[1].strip(), [r[1].strip() for r in rows[i + 1:i + 1 + len(sections)]],
                               [len(r[5].strip()) - len(r[5].strip().lstrip("-")) for r in rows[i + 1:i + 1 + len(sections)]])
    for path, guid, kind, sections in packaged:
        found = depth.get(guid)
        check(found is not None and volume_depth is not None and found[0] == volume_depth + 1 and found[1] == kind
              and found[2] == sections and all(d == volume_depth + 2 for d in found[3]),
              f"{source}: report row of {guid}: {found}, DXE volume at depth {volume_depth}")

    # The dump: the very .ffs files, with valid checksums, in the DXE volume.
    volume = dxe_volume(after_dump)
    for path, guid, kind, sections in packaged:
        matches = [info.parent for info in volume.glob("*/info.txt") if f"File GUID: {guid}\n" in info.read_text()]
        if not check(len(matches) == 1, f"{source}: {guid} found {len(matches)} times in the DXE volume"):
            continue
        entry = matches[0]
        info = (entry / "info.txt").read_text()
        check(re.search(r"^Header checksum: [0-9A-F]+h, valid$", info, re.M)
              and re.search(r"^Data checksum: [0-9A-F]+h, valid$", info, re.M) and "State: F8h" in info,
              f"{source}: {guid} info {info}")
        check((entry / "header.bin").read_bytes() + (entry / "body.bin").read_bytes() == path.read_bytes(),
              f"{source}: {guid} does not extract to {path.name} byte for byte")

    # Every file that was there is there unchanged, apart from the
    # volume-image file the DXE volume lies in, and only the new ones are new.
    before, after = files_in(before_dump), files_in(after_dump)
    changed = [p for p in before
               if before[p] != after.get(p) and not volume.as_posix().startswith((after_dump / p).as_posix() + "/")]
    check(not changed, f"{source}: files changed: {changed}")
    added = sorted(set(after) - set(before))
    check(len(added) == len(packaged), f"{source}: new files {added}")
    # Outside the volume-image file that holds the DXE volume (and the free
    # space it grows into), not a byte differs.
    original_bytes, new_bytes = original.read_bytes(), out.read_bytes()
    offsets = [int(m.group(1), 16) for m in re.finditer(r"File\s+\| Volume image\s+\| ([0-9A-F]+) \| ([0-9A-F]+)", report)]
    free = [int(m.group(1), 16) + int(m.group(2), 16) for m in
            re.finditer(r"Free space\s+\|\s+\| ([0-9A-F]+) \| ([0-9A-F]+) \| [0-9A-F]+ \| -- Volume free space", report)]
    if check(len(offsets) == 1 and free, f"{source}: volume-image file and free space rows {offsets} {free}"):
        begin, end = offsets[0], min(f for f in free if f > offsets[0])
        check(original_bytes[:begin] == new_bytes[:begin] and original_bytes[end:] == new_bytes[end:],
              f"{source}: bytes outside {begin:#x}..{end:#x} changed")

    # The same files again: refused without --replace, placed anew with it.
    again = work / "again.fd"
    result = run(args.tool, "insert", "--into", out, "--out", again, packaged[0][0])
    check(result.returncode == 2 and "already in the DXE volume" in result.stderr and not again.exists(),
          f"{source}: inserting {DRIVER_GUID} twice: status {result.returncode} {result.stderr!r}")
    result = run(args.tool, "insert", "--into", out, "--out", again, "--replace", packaged[0][0])
    check(result.returncode == 0 and "replacing the old one" in result.stdout and again.stat().st_size == out.stat().st_size,
          f"{source}: --replace: status {result.returncode} {result.stdout!r} {result.stderr!r}")
    if result.returncode == 0:
        volume = dxe_volume(extract(args.uefiextract, again))
        named = [info.parent for info in volume.glob("*/info.txt") if f"File GUID: {DRIVER_GUID}\n" in info.read_text()]
        check(len(named) == 1, f"{source}: after --replace {DRIVER_GUID} is there {len(named)} times")
        # fwimage.py: the old copy is now a pad file of its size, erased (or
        # free space), the new one is the .ffs, every other file where it was.
        try:
            old_volume = dxe_place(out.read_bytes()).volume
            new_volume = dxe_place(again.read_bytes()).volume
        except (fw.FormatError, AssertionError) as error:
            check(False, f"{source}: fwimage.py after --replace: {error}")
            return
        check_replaced(str(source), old_volume, new_volume, packaged[0][0].read_bytes(), check)


def check_independent(source: str, original: bytes, new: bytes, inserted, check: Checks):
    """fwimage.py's reading of the new image, and its LZMA sections."""
    trees = check_fwimage(source, original, new, inserted, check)
    if trees is None:
        return

    def lzma_sections(volumes):
        found = []

        def visit(sections):
            for s in sections:
                if s.lzma_header is not None:
                    found.append(s)
                visit(s.sections)
                for v in s.volumes:
                    for f in v.files:
                        visit(f.sections or [])

        for v in volumes:
            for f in v.files:
                visit(f.sections or [])
        return found

    before, after = lzma_sections(trees[0]), lzma_sections(trees[1])
    if not check(len(before) == len(after) == 1, f"{source}: LZMA sections {len(before)} before, {len(after)} after"):
        return
    old, now = before[0], after[0]
    data = now.raw[now.data_offset:]
    old_dictionary = int.from_bytes(old.lzma_header[1:5], "little")
    dictionary = int.from_bytes(now.lzma_header[1:5], "little")
    check(now.lzma_header[0] == old.lzma_header[0] and dictionary <= old_dictionary,
          f"{source}: LZMA properties {now.lzma_header[0]:#04x}, dictionary {dictionary:#x} "
          f"(was {old.lzma_header[0]:#04x}, {old_dictionary:#x})")
    check(int.from_bytes(now.lzma_header[5:13], "little") == len(now.unpacked), f"{source}: LZMA size field")
    check(not fw.lzma_has_end_marker(data), f"{source}: the new LZMA stream ends with an end marker")


def check_refusals(args, work: pathlib.Path, driver_ffs: pathlib.Path, app_ffs: pathlib.Path, check: Checks):
    work.mkdir(parents=True)
    image = pathlib.Path(args.image[0])
    out = work / "out.fd"

    def write(name, data):
        path = work / name
        path.write_bytes(data)
        return path

    stock = image.read_bytes()
    # The compressed data of the volume-image file, garbled in the middle.
    garbled = bytearray(stock)
    garbled[0x1000:0x1100] = bytes(b ^ 0x5A for b in garbled[0x1000:0x1100])
    # A small volume: the driver's own, with 4 KiB of room.
    small = pathlib.Path(args.build) / "FtpmRecoveryDxe.fv"
    truncated = driver_ffs.read_bytes()[:-1]
    refusals = {
        "missing image": ["--into", work / "absent.fd", "--out", out, driver_ffs],
        "missing file": ["--into", image, "--out", out, work / "absent.ffs"],
        "not a firmware image": ["--into", write("text.fd", b"no volumes here\n" * 4096), "--out", out, driver_ffs],
        "no free space left": ["--into", small, "--out", out, app_ffs],
        "corrupt LZMA data": ["--into", write("garbled.fd", bytes(garbled)), "--out", out, driver_ffs],
        "truncated image": ["--into", write("cut.fd", stock[:len(stock) // 2]), "--out", out, driver_ffs],
        "truncated .ffs": ["--into", image, "--out", out, write("cut.ffs", truncated)],
        "a file given twice": ["--into", image, "--out", out, driver_ffs, driver_ffs],
        "no files": ["--into", image, "--out", out],
    }
    for what, arguments in refusals.items():
        result = run(args.tool, "insert", *arguments)
        lines = result.stderr.strip().splitlines()
        check(result.returncode == 2 and len(lines) == 1, f"{what}: status {result.returncode}, stderr {lines}")
        check(not out.exists() and not list(work.glob("*.tmp")), f"{what}: output written")
        print(f"refused, {what}: {lines[0] if lines else ''}")
    result = run(args.tool, "insert", "--into", image, "--out", work / "no" / "such" / "dir.fd", driver_ffs)
    check(result.returncode == 1, f"unwritable output: status {result.returncode}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--uefiextract", required=True)
    parser.add_argument("--build", required=True, help="the uefi build directory")
    parser.add_argument("--work", required=True)
    parser.add_argument("--image", action="append", required=True, help="an OVMF image to insert into")
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    check = Checks()

    build = pathlib.Path(args.build)
    driver_ffs, app_ffs = work / "FtpmRecoveryDxe.ffs", work / "FtpmHarness.ffs"
    # The driver must never start in stock OVMF: its settings are not there.
    for command in ([build / "FtpmRecoveryDxe.efi", "--ffs", driver_ffs, "--depex", "FALSE"],
                    [build / "qemu" / "harness" / "FtpmHarness.efi", "--ffs", app_ffs, "--guid", APP_GUID]):
        result = run(args.tool, "package", *command)
        if result.returncode != 0:
            print(f"package {command[0]}: {result.stderr}")
            return 1
    packaged = [(driver_ffs, DRIVER_GUID, "DXE driver", ["DXE dependency", "PE32 image", "UI"]),
                (app_ffs, APP_GUID, "Application", ["PE32 image", "UI"])]

    for i, image in enumerate(args.image):
        check_image(args, pathlib.Path(image), work / f"image{i}", packaged, check)
    check_refusals(args, work / "refusals", driver_ffs, app_ffs, check)

    for failure in check.failures:
        print("FAIL:", failure)
    if not check.failures:
        print(f"insert: {len(args.image)} OVMF images, UEFIExtract reads both files in the nested DXE volume, "
              "byte for byte; refusals as intended")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
