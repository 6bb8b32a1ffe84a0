#!/usr/bin/env python3
"""`ftpm-recovery insert` on synthetic images that are unlike OVMF's, each
read back by two parsers that are not the tool's: fwimage.py and UEFIExtract.

The images are made here with fwimage.py: a volume of erase polarity 0; an
FFSv3 volume with large-file headers and a file of more than 16 MiB to
insert; files whose data must lie 4 KiB aligned, so that pad files go before
them; a volume with an extended header and a used-size entry; a PEI volume
before the DXE volume, behind bytes that are no volume; OVMF's nesting (a
volume-image file, an LZMA section, volume-image sections) and the same
without compression. For each, after `insert`:

- fwimage.py reads the whole new image (every checksum, length, state and
  alignment down through the nesting), finds the DXE volume as before, holding
  the files that were there at their offsets byte for byte and then the new
  ones, byte for byte apart from the state, which is that of a ready file for
  the volume's polarity; every other volume is as it was, and so is every
  byte of the image outside the file or volume that was rebuilt;
- UEFIExtract reads it without a message (the source image made here too),
  lists each new file in the DXE volume with its type, and dumps it with
  valid checksums and the bytes fwimage.py found;
- for two of them, a newer copy of one file with --replace: the old copy's
  place becomes an erased pad file of its size, or free space.

Then malformed images, each refused with status 2, one line on stderr and no
output file.
"""

import argparse
import pathlib
import random
import re
import resource
import shutil
import subprocess
import sys

import fwimage as fw
import probe_driver

# Messages UEFIExtract gives about images that are well formed.
BENIGN_MESSAGES = ("parse: not a single Volume Top File is found, the image may be corrupted",)
# A pad file's data is well formed, but the tool must refuse to grow over it.
PAD_WITH_DATA = "data in the pad file after the volume-image file"
# An image that unpacks to more than the tool is given memory for.
OUT_OF_MEMORY = "more than the memory the tool may use"
MEMORY_LIMIT = 64 << 20
WELL_FORMED_REFUSALS = {PAD_WITH_DATA, OUT_OF_MEMORY}

PEI_VOLUME = "6938079B-B503-4E3D-9D24-B28337A25806"
DXE_VOLUME = "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1"
MAIN_VOLUME = "48DB5E17-707C-472D-91CD-1613E7EF51B0"


class Checks:
    def __init__(self):
        self.failures = []

    def __call__(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition


def run(*command, cwd=None, timeout=300):
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True, timeout=timeout)


def guid(n: int) -> str:
    """A GUID of our own for test file n."""
    return f"A5F00D{n:02X}-1E27-4B3C-9D80-{n:012X}"


def filler(size: int, seed: str) -> bytes:
    """size bytes that do not repeat, the same each run."""
    return random.Random(seed).randbytes(size)


PE = probe_driver.probe_image("never started")


def driver(n: int, name: str, attributes: int = fw.FA_CHECKSUM, extra: bytes = b"") -> bytes:
    sections = [fw.section(fw.SEC_DXE_DEPEX, fw.DEPEX_TRUE), fw.section(fw.SEC_PE32, PE + extra), fw.ui_section(name)]
    return fw.ffs_file(guid(n), fw.FT_DRIVER, fw.section_stream(sections), attributes)


def core(kind: int, n: int, name: str) -> bytes:
    return fw.ffs_file(guid(n), kind, fw.section_stream([fw.section(fw.SEC_PE32, PE), fw.ui_section(name)]))


def raw_file(n: int, size: int, attributes: int = fw.FA_CHECKSUM, large: bool = False) -> bytes:
    return fw.ffs_file(guid(n), fw.FT_FREEFORM, fw.section(fw.SEC_RAW, filler(size, str(n)), large=large), attributes,
                       large=large)


def dxe_volume(files, length=0x10000, **options) -> bytes:
    return fw.volume([core(fw.FT_DXE_CORE, 1, "DxeCore"), driver(2, "Existing")] + files, length, **options)


def pei_volume(length=0x8000) -> bytes:
    peim = fw.ffs_file(guid(4), fw.FT_PEIM, fw.section_stream([fw.section(0x1B, fw.DEPEX_TRUE),
                                                               fw.section(fw.SEC_PE32, PE), fw.ui_section("Peim")]))
    return fw.volume([core(fw.FT_PEI_CORE, 3, "PeiCore"), peim], length, ext=fw.ExtHeader(PEI_VOLUME))


def sec_volume() -> bytes:
    return fw.volume([core(fw.FT_SECURITY_CORE, 5, "SecCore")], 0x4000)


def nested(compressed: bool, pad_data: bytes | None = None) -> bytes:
    """OVMF's layout: the main volume holds a volume-image file whose LZMA
    section holds a raw section and the PEI and DXE volumes as volume-image
    sections; the SEC volume follows."""
    dxe = dxe_volume([], 0x40000, ext=fw.ExtHeader(DXE_VOLUME), alignment=0x1000)
    inner = fw.aligned_stream([(fw.section(fw.SEC_RAW, filler(100, "raw")), 4),
                               (fw.section(fw.SEC_VOLUME_IMAGE, pei_volume()), 0x1000),
                               (fw.section(fw.SEC_VOLUME_IMAGE, dxe), 0x1000)])
    holder = fw.lzma_section(inner, 1 << 16) if compressed else inner
    # The volume-image file's data 4 KiB aligned, so that the volumes are in
    # the image too when not compressed; room to grow in a pad file after it.
    files = [raw_file(6, 200),
             fw.ffs_file(guid(7), fw.FT_VOLUME_IMAGE, holder, fw.FA_CHECKSUM | fw.alignment_attributes(0x1000)),
             fw.pad_file(0x1000, data=pad_data), raw_file(8, 300)]
    return fw.volume(files, 0x50000, ext=fw.ExtHeader(MAIN_VOLUME), alignment=0x1000) + sec_volume()


def aligned_4k(n: int) -> bytes:
    return driver(n, f"Aligned{n}", fw.FA_CHECKSUM | fw.alignment_attributes(0x1000))


# UEFIExtract 0.28 (NE alpha 62) takes only 0xFF for erased bytes when it
# looks for the free space of a volume and inside pad files, whatever the
# volume's erase polarity: in a volume of polarity 0 it says so at the start
# of the free space.
POLARITY_0_MESSAGES = ("parseVolumeBody: file header parsing failed with invalid size",)
PAD_0_MESSAGES = ("parsePadFileBody: non-UEFI data found in padding file",)


def build_cases():
    """name -> (image, files to insert, messages UEFIExtract may give)."""
    cases = {}
    # Then --replace: of a file that is not the last (its place becomes a pad
    # file), and of the last one.
    cases["erase polarity 0"] = (dxe_volume([], polarity=0), [driver(10, "New"), raw_file(11, 500, attributes=0)],
                                 POLARITY_0_MESSAGES + PAD_0_MESSAGES, driver(10, "NewAgain"))
    # FFSv3: existing files with the large-file header, one of them large; a
    # section with the large header; a large file to insert.
    big = 0x1000000 + 0x100
    cases["FFSv3, large files"] = (
        dxe_volume([raw_file(12, 0x800, large=True), raw_file(13, 0x1000, large=False),
                    fw.ffs_file(guid(14), fw.FT_FREEFORM, fw.section(fw.SEC_RAW, b"large form", large=True))],
                   length=0x1100000, ffs3=True),
        [raw_file(15, big), driver(16, "AfterLarge"), raw_file(29, 0x400, large=True)], ())
    cases["data alignment, pad files"] = (dxe_volume([aligned_4k(17)], alignment=0x10000),
                                          [driver(18, "Unaligned"), aligned_4k(19), aligned_4k(20)], ())
    cases["extended header with used size"] = (
        dxe_volume([raw_file(21, 100)], ext=fw.ExtHeader("0E2C6F2A-5B7E-4C19-8D3A-6F1E2B3C4D5E", used_size=True)),
        [driver(22, "New")], ())
    cases["extended header outside a file"] = (
        dxe_volume([], ext=fw.ExtHeader("0E2C6F2A-5B7E-4C19-8D3A-6F1E2B3C4D5F", in_pad_file=False)),
        [driver(23, "New")], ())
    cases["PEI volume first, bytes before it"] = (filler(0x1000, "descriptor") + pei_volume() + dxe_volume([]) +
                                                  sec_volume(), [driver(24, "New")], ())
    cases["nested, LZMA"] = (nested(True), [driver(25, "New"), aligned_4k(26)], (),
                             driver(26, "Aligned26Again", fw.FA_CHECKSUM | fw.alignment_attributes(0x1000)))
    cases["nested, no compression"] = (nested(False), [driver(27, "New"), aligned_4k(28)], ())
    # After the DXE volume, one whose length is not a multiple of 8 and that
    # ends 4 bytes before the end of the image: rounded up to 8 bytes, its
    # end lies past the image's, where the scan for volumes must stop.
    for extra in (1, 2, 3, 4):
        odd = bytearray(fw.volume([], 0x1000)) + b"\xff" * extra
        odd[32:40] = (0x1000 + extra).to_bytes(8, "little")
        odd[60:64] = (0x1000 + extra).to_bytes(4, "little")  # one block of that size
        odd[50:52] = b"\0\0"
        odd[50:52] = ((-fw.sum16(bytes(odd[:72]))) & 0xFFFF).to_bytes(2, "little")
        cases[f"volume of length 8n+{extra} 4 bytes before the image's end"] = (
            dxe_volume([]) + bytes(odd) + b"\xff" * 4, [driver(30 + extra, "New")], ())
    return cases


def dxe_place(image):
    """The one volume that holds a DXE core, in an image or its volumes."""
    volumes = fw.parse_image(image) if isinstance(image, bytes) else image
    places = fw.find_volumes(volumes, fw.holds_type(fw.FT_DXE_CORE))
    if len(places) != 1:
        raise AssertionError(f"{len(places)} volumes hold a DXE core")
    return places[0]


def check_fwimage(name, original: bytes, new: bytes, inserted, check: Checks):
    """What fwimage.py reads in the new image; returns the volumes read from
    the original and the new image (None when it cannot read them)."""
    try:
        before_volumes, after_volumes = fw.parse_image(original), fw.parse_image(new)
        before, after = dxe_place(before_volumes), dxe_place(after_volumes)
    except (fw.FormatError, AssertionError) as error:
        check(False, f"{name}: fwimage.py: {error}")
        return None
    check(len(new) == len(original), f"{name}: image of {len(new)} bytes, was {len(original)}")
    check(after.describe() == before.describe(), f"{name}: DXE volume {after.describe()}, was {before.describe()}")
    old, vol = before.volume, after.volume
    check(vol.raw[:vol.header_length] == old.raw[:old.header_length], f"{name}: the volume header changed")
    check(len(vol.files) >= len(old.files) + len(inserted), f"{name}: {len(vol.files)} files, was {len(old.files)}")
    for was, now in zip(old.files, vol.files):
        now_raw = now.raw
        if old.used_size_offset is not None and now.offset <= old.used_size_offset < now.end:
            # The used-size entry lies in this file (the pad file that holds
            # the extended header): the rest of it stays.
            at = old.used_size_offset - now.offset
            now_raw = now_raw[:at] + was.raw[at:at + 4] + now_raw[at + 4:]
        check((was.offset, was.raw) == (now.offset, now_raw), f"{name}: file {was.guid} at {was.offset:#x} changed")
    # After the old files: each new file, in order, behind pad files only.
    rest = vol.files[len(old.files):]
    ready = fw.READY
    for data in inserted:
        pads = []
        while rest and rest[0].kind == fw.FT_PAD:
            pads.append(rest.pop(0))
        for pad in pads:
            check(pad.data == bytes([0xFF if vol.polarity else 0]) * len(pad.data),
                  f"{name}: pad file at {pad.offset:#x} not erased")
        if not check(rest, f"{name}: {fw.guid_text(data[:16])} not found after the old files"):
            return before_volumes, after_volumes
        now = rest.pop(0)
        expected = fw.with_polarity(data, vol.polarity)
        check(now.raw == expected and now.state == ready,
              f"{name}: {now.guid} at {now.offset:#x}: not the inserted file byte for byte (state {now.state:#04x})")
        check((now.offset + now.header_size) % fw.file_data_alignment(data) == 0,
              f"{name}: {now.guid}'s data at {now.offset + now.header_size:#x} is not aligned")
    check(not rest, f"{name}: files left over after the inserted ones: {[f.guid for f in rest]}")
    if old.used_size is not None:
        check(vol.used_size in (vol.files_end, vol.free_start),
              f"{name}: used size {vol.used_size:#x}, files end at {vol.files_end:#x}")
    # Every other volume as it was.
    new_places = {p.describe(): p for p in fw.walk(after_volumes)}
    for p in fw.walk(before_volumes):
        if not before.within(p):
            now = new_places.get(p.describe())
            check(now is not None and now.volume.raw == p.volume.raw, f"{name}: volume {p.describe()} changed")
    # Every byte outside the rebuilt region as it was: the DXE volume itself
    # when it lies in the image, else the file of the outer volume that holds
    # it, up to where either copy of that file ends.
    if not after.path:
        begin, end = vol.offset, vol.offset + vol.length
    else:
        outer_old = next(v for v in before_volumes if fw.volume_step(v) == before.path[0])
        outer_new = next(v for v in after_volumes if fw.volume_step(v) == after.path[0])
        holder_old = next(f for f in outer_old.files if f.guid == before.path[1])
        holder_new = next(f for f in outer_new.files if f.guid == after.path[1])
        check(holder_new.offset == holder_old.offset, f"{name}: the file holding the DXE volume moved")
        # The file may grow into the pad files and free space after it.
        following = [f.offset for f in outer_old.files if f.offset > holder_old.offset and f.kind != fw.FT_PAD]
        begin = outer_new.offset + holder_old.offset
        end = outer_new.offset + max(min(following + [outer_old.free_start]), holder_new.end)
        for was in outer_old.files:
            if was.end <= holder_old.offset or was.offset >= end - outer_new.offset:
                check(any((now.offset, now.raw) == (was.offset, was.raw) for now in outer_new.files),
                      f"{name}: outer file {was.guid} changed")
    check(original[:begin] == new[:begin] and original[end:] == new[end:],
          f"{name}: bytes outside {begin:#x}..{end:#x} changed")
    return before_volumes, after_volumes


def check_replaced(name, old: fw.Volume, new: fw.Volume, data: bytes, check: Checks):
    """After --replace with data: one live copy of its GUID, data byte for
    byte; the old copy's place a pad file of its size with erased data, or,
    when it was the last file, free space where only the new copy and pad
    files go; every other old file where it was."""
    guid = fw.guid_text(data[:16])
    erased = 0xFF if new.polarity else 0x00
    live = [f for f in new.files if f.guid == guid]
    check(len(live) == 1 and live[0].raw == fw.with_polarity(data, new.polarity),
          f"{name}: after --replace {len(live)} live copies of {guid}, or not the new one")
    old_copy = next(f for f in old.files if f.guid == guid)
    for was in old.files:
        now = next((f for f in new.files if f.offset == was.offset), None)
        if was is not old_copy:
            check(now is not None and now.raw == was.raw, f"{name}: --replace changed {was.guid} at {was.offset:#x}")
        elif was is old.files[-1]:
            later = [f for f in new.files if f.offset >= was.offset]
            check(all(f.guid == guid or f.kind == fw.FT_PAD for f in later),
                  f"{name}: after --replace, from the old last copy on: {[f.guid for f in later]}")
        else:
            check(now is not None and now.kind == fw.FT_PAD and now.size == was.size and
                  now.data == bytes([erased]) * len(now.data),
                  f"{name}: after --replace the old copy's place at {was.offset:#x} holds {now and now.guid}")


def uefiextract(tool, image: pathlib.Path, mode: str, allowed=()):
    """UEFIExtract's messages on image (run in its own directory) and where
    its dump is."""
    for old in image.parent.glob(image.name + ".*"):
        shutil.rmtree(old) if old.is_dir() else old.unlink()
    result = run(tool, image.name, mode, cwd=image.parent)
    if result.returncode != 0:
        raise AssertionError(f"UEFIExtract {image.name} {mode}: status {result.returncode} {result.stderr}")
    messages = [line for line in result.stdout.splitlines()
                if line.strip() and line.strip() not in BENIGN_MESSAGES + tuple(allowed)]
    return messages, image.parent / f"{image.name}.dump"


def info_of(entry: pathlib.Path) -> str:
    return (entry / "info.txt").read_text(errors="replace")


def check_uefiextract(name, tool, work: pathlib.Path, original: bytes, new: bytes, inserted, allowed, check: Checks):
    source, out = work / "uefiextract-source.fd", work / "uefiextract-new.fd"
    source.write_bytes(original)
    out.write_bytes(new)
    messages, _ = uefiextract(tool, source, "report", allowed)
    check(not messages, f"{name}: UEFIExtract on the source image: {messages}")
    messages, dump = uefiextract(tool, out, "all", allowed)
    check(not messages, f"{name}: UEFIExtract on the new image: {messages}")
    # The volume that holds the DXE core, and the new files among its files.
    volumes = []
    for info in dump.rglob("info.txt"):
        if info_of(info.parent).startswith("Type: Volume\n"):
            children = [info_of(c) for c in info.parent.iterdir() if (c / "info.txt").exists()]
            if any(c.startswith("Type: File\nSubtype: DXE core\n") for c in children):
                volumes.append(info.parent)
    if not check(len(volumes) == 1, f"{name}: UEFIExtract finds {len(volumes)} volumes with a DXE core"):
        return
    volume_info = info_of(volumes[0])
    check(re.search(r"^Checksum: [0-9A-F]+h, valid$", volume_info, re.M), f"{name}: UEFIExtract: volume checksum")
    files = {}
    for entry in volumes[0].iterdir():
        if (entry / "info.txt").exists():
            match = re.search(r"^File GUID: ([0-9A-F-]+)$", info_of(entry), re.M)
            if match:
                files.setdefault(match.group(1), []).append(entry)
    polarity = 1 if "Erase polarity: 1" in volume_info else 0
    for data in inserted:
        file_guid = fw.guid_text(data[:16])
        entries = files.get(file_guid, [])
        if not check(len(entries) == 1,
                     f"{name}: UEFIExtract lists {file_guid} {len(entries)} times in the DXE volume"):
            continue
        entry, info = entries[0], info_of(entries[0])
        check(re.search(r"^Header checksum: [0-9A-F]+h, valid$", info, re.M) and
              re.search(r"^Data checksum: [0-9A-F]+h, valid$", info, re.M), f"{name}: UEFIExtract: {file_guid} {info}")
        check(re.search(rf"^Type: {data[18]:02X}h$", info, re.M), f"{name}: UEFIExtract: {file_guid} type {info}")
        dumped = (entry / "header.bin").read_bytes() + (entry / "body.bin").read_bytes()
        check(dumped == fw.with_polarity(data, polarity), f"{name}: UEFIExtract's dump of {file_guid} differs")
    # What UEFIExtract read and wrote takes room (the FFSv3 image is 17 MiB).
    for image in (source, out):
        for path in [image, *image.parent.glob(image.name + ".*")]:
            shutil.rmtree(path) if path.is_dir() else path.unlink()


def check_case(args, name, image: bytes, inserted, allowed, replacement, work: pathlib.Path, check: Checks):
    work.mkdir(parents=True)
    original = work / "original.fd"
    original.write_bytes(image)
    paths = []
    for i, data in enumerate(inserted):
        paths.append(work / f"file{i}.ffs")
        paths[-1].write_bytes(data)
    out = work / "inserted.fd"
    result = run(args.tool, "insert", "--into", original, "--out", out, *paths)
    if not check(result.returncode == 0 and out.exists(),
                 f"{name}: insert status {result.returncode}: {result.stderr.strip()}"):
        return
    new = out.read_bytes()
    if check_fwimage(name, image, new, inserted, check) is not None:
        check_uefiextract(name, args.uefiextract, work, image, new, inserted, allowed, check)
    print(f"{name}: {result.stdout.strip().splitlines()[-1]}")
    if replacement is None:
        return
    # A newer copy of one of the files, with --replace.
    path, again = work / "replacement.ffs", work / "replaced.fd"
    path.write_bytes(replacement)
    result = run(args.tool, "insert", "--into", out, "--out", again, "--replace", path)
    if not check(result.returncode == 0 and again.exists(),
                 f"{name}: insert --replace status {result.returncode}: {result.stderr.strip()}"):
        return
    try:
        old_volume, new_volume = dxe_place(new).volume, dxe_place(again.read_bytes()).volume
    except (fw.FormatError, AssertionError) as error:
        check(False, f"{name}: fwimage.py after --replace: {error}")
        return
    check_replaced(name, old_volume, new_volume, replacement, check)
    messages, _ = uefiextract(args.uefiextract, again, "report", allowed)
    check(not messages, f"{name}: UEFIExtract after --replace: {messages}")
    print(f"{name}, --replace: {result.stdout.strip().splitlines()[-1]}")


def refusal_cases():
    """name -> (image, files): malformed images insert must refuse."""
    new = [driver(40, "New")]
    plain = dxe_volume([])
    cases = {"truncated volume": (plain[:len(plain) // 2 + 4], new)}
    broken = bytearray(plain)
    broken[0x05] ^= 0x01  # the zero vector, under the header checksum
    cases["volume header checksum"] = (bytes(broken), new)
    v = fw.parse_volume(plain)
    existing = v.files[1]
    broken = bytearray(plain)
    broken[existing.offset + existing.header_size + 0x30] ^= 0x01
    cases["file data checksum"] = (bytes(broken), new)
    broken = bytearray(plain)
    broken[existing.offset + 18] ^= 0x01  # the type, under the header checksum
    cases["file header checksum"] = (bytes(broken), new)
    broken = bytearray(plain)
    broken[v.free_start + 0x100] = 0x00
    cases["data in the free space"] = (bytes(broken), new)
    # A file whose size runs past the volume, its checksums right.
    oversize = bytearray(fw.volume([core(fw.FT_DXE_CORE, 1, "DxeCore")], 0x4000))
    last = fw.parse_volume(bytes(oversize)).files[-1]
    oversize[last.offset + 20:last.offset + 23] = (0x4000).to_bytes(3, "little")
    oversize[last.offset + 16] = 0
    oversize[last.offset + 16] = (-fw.sum8(bytes(oversize[last.offset:last.offset + 17]) +
                                           bytes(oversize[last.offset + 18:last.offset + 23]))) & 0xFF
    cases["file past the volume's end"] = (bytes(oversize), new)
    # LZMA data whose header gives more than the stream makes; the file's
    # own checksum kept right, so that the LZMA data is what fails.
    image = bytearray(nested(True))
    outer = fw.parse_image(bytes(image))[0]
    holder = next(f for f in outer.files if f.kind == fw.FT_VOLUME_IMAGE)
    lzma_at = outer.offset + holder.offset + holder.header_size + holder.sections[0].data_offset
    image[lzma_at + 5] ^= 0x10
    fixed = fw.ffs_file(holder.guid, holder.kind, bytes(image[outer.offset + holder.offset + 24:
                                                             outer.offset + holder.end]), holder.attributes)
    image[outer.offset + holder.offset:outer.offset + holder.end] = fixed
    cases["LZMA size the data does not make"] = (bytes(image), new)
    # 64 MiB of zeros in an LZMA section, within the tool's own bounds but
    # not within the memory it is given here.
    zeros = fw.lzma_section(fw.section(fw.SEC_RAW, bytes(64 << 20), large=True), 1 << 20)
    cases[OUT_OF_MEMORY] = (fw.volume([core(fw.FT_DXE_CORE, 1, "DxeCore"),
                                       fw.ffs_file(guid(9), fw.FT_VOLUME_IMAGE, zeros)], 0x10000), new)
    # The pad file the volume-image file would grow into holds data.
    cases["data in the pad file after the volume-image file"] = (nested(True, filler(0x1000 - 24, "kept")), new)
    return cases


def reader_rejects(image: bytes) -> bool:
    """Whether fwimage.py finds the image malformed, or no DXE volume in it."""
    try:
        dxe_place(image)
    except (fw.FormatError, AssertionError):
        return True
    return False


def check_refusal(args, name, image: bytes, inserted, work: pathlib.Path, check: Checks):
    work.mkdir(parents=True)
    # The independent reader must not take what the tool must refuse, but
    # for the images that break no layout rule it checks.
    if name not in WELL_FORMED_REFUSALS:
        check(reader_rejects(image), f"{name}: fwimage.py reads the image as well formed")
    source, out = work / "source.fd", work / "out" / "new.fd"
    source.write_bytes(image)
    out.parent.mkdir()
    paths = []
    for i, data in enumerate(inserted):
        paths.append(work / f"file{i}.ffs")
        paths[-1].write_bytes(data)
    limit = MEMORY_LIMIT if name == OUT_OF_MEMORY else resource.RLIM_INFINITY
    try:
        result = subprocess.run([str(c) for c in (args.tool, "insert", "--into", source, "--out", out, *paths)],
                                capture_output=True, text=True, timeout=60,
                                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        status, lines = result.returncode, result.stderr.strip().splitlines()
    except subprocess.TimeoutExpired:
        status, lines = "timeout", []
    ok = status == 2 and len(lines) == 1 and not any(out.parent.iterdir())
    check(ok, f"{name}: status {status}, stderr {lines[-3:]}, left {[p.name for p in out.parent.iterdir()]}")
    print(f"refused, {name}: {lines[0] if lines else ''}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--uefiextract", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--case", action="append", help="run only these cases (by name)")
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    check = Checks()
    for i, (name, (image, inserted, allowed, *replacement)) in enumerate(build_cases().items()):
        if not args.case or name in args.case:
            check_case(args, name, image, inserted, allowed, replacement[0] if replacement else None,
                       work / f"case{i}", check)
    for i, (name, (image, inserted)) in enumerate(refusal_cases().items()):
        if not args.case or name in args.case:
            check_refusal(args, name, image, inserted, work / f"refusal{i}", check)

    for failure in check.failures:
        print("FAIL:", failure)
    if not check.failures:
        print("insert: the synthetic images read back by fwimage.py and UEFIExtract as intended; refusals as intended")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
