"""Firmware images written and read without the tool's own code.

A writer that makes firmware volumes (both firmware file systems, either
erase polarity, block maps, extended headers with a used-size entry), files
(the 24-byte and the large-file header, checksummed or fixed data, data
alignment met by pad files) and sections (the common and the large header,
GUID-defined sections, LZMA in the form firmware decoders read: 5 property
bytes, an 8-byte uncompressed size, the stream), and a reader that walks an
image down through volume-image sections and LZMA sections, checks every
length, checksum, state and alignment on the way, and returns a tree.

Both follow the firmware volume, file and section layouts of the PI
architecture as published; neither shares code with the tool, so a misreading
of the layouts that writer and reader of the tool would share cannot pass
both this reader and the tool's.
"""

from __future__ import annotations

import dataclasses
import lzma
import struct
import uuid

# File systems and section GUIDs.
FFS2 = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
FFS3 = "5473C07A-3DCB-4DCA-BD6F-1E9689E7349A"
LZMA_SECTION = "EE4E5898-3914-4259-9D6E-DC7BD79403CF"
PAD_NAME = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"

# Volume attributes.
FVB2_ERASE_POLARITY = 0x00000800
FVB2_ALIGNMENT_SHIFT = 16  # log2 of the alignment, 5 bits
FVB2_WEAK_ALIGNMENT = 0x80000000
VOLUME_HEADER_FIXED = 56  # up to the block map
EXT_ENTRY_USED_SIZE = 0x03

# File types.
FT_RAW = 0x01
FT_FREEFORM = 0x02
FT_SECURITY_CORE = 0x03
FT_PEI_CORE = 0x04
FT_DXE_CORE = 0x05
FT_PEIM = 0x06
FT_DRIVER = 0x07
FT_APPLICATION = 0x09
FT_VOLUME_IMAGE = 0x0B
FT_PAD = 0xF0
# Types that hold a section stream.
SECTIONED_TYPES = set(range(0x02, 0x10))

# File attributes.
FA_LARGE_FILE = 0x01
FA_DATA_ALIGNMENT_2 = 0x02
FA_FIXED = 0x04
FA_DATA_ALIGNMENT = 0x38
FA_CHECKSUM = 0x40
FIXED_CHECKSUM = 0xAA
ALIGNMENTS = [1, 16, 128, 512, 1024, 4 << 10, 32 << 10, 64 << 10]
ALIGNMENTS_2 = [128 << 10, 256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20, 8 << 20, 16 << 20]

# File state bits, as written for erase polarity 0.
ST_HEADER_CONSTRUCTION = 0x01
ST_HEADER_VALID = 0x02
ST_DATA_VALID = 0x04
ST_MARKED_FOR_UPDATE = 0x08
ST_DELETED = 0x10
ST_HEADER_INVALID = 0x20
READY = ST_HEADER_CONSTRUCTION | ST_HEADER_VALID | ST_DATA_VALID

# Section types.
SEC_COMPRESSION = 0x01
SEC_GUID_DEFINED = 0x02
SEC_PE32 = 0x10
SEC_DXE_DEPEX = 0x13
SEC_USER_INTERFACE = 0x15
SEC_VOLUME_IMAGE = 0x17
SEC_RAW = 0x19
GUIDED_PROCESSING_REQUIRED = 0x01
LARGE_SECTION = 0xFFFFFF

# Dependency expression opcodes.
DEPEX_TRUE = bytes([0x06, 0x08])
DEPEX_FALSE = bytes([0x07, 0x08])

# Limits on what the reader follows, so that a hostile image cannot make it
# recurse or unpack without end.
MAX_DEPTH = 16
MAX_UNPACKED = 256 << 20


class FormatError(ValueError):
    """The bytes break a layout rule; the message says which and where."""


def guid_bytes(text: str) -> bytes:
    return uuid.UUID(text).bytes_le


def guid_text(data: bytes) -> str:
    return str(uuid.UUID(bytes_le=bytes(data))).upper()


def align_up(value: int, alignment: int) -> int:
    return (value + alignment - 1) // alignment * alignment


def sum8(data: bytes) -> int:
    return sum(data) & 0xFF


def sum16(data: bytes) -> int:
    return sum(struct.unpack_from(f"<{len(data) // 2}H", data)) & 0xFFFF


# ---------------------------------------------------------------------------
# Writer
# ---------------------------------------------------------------------------


def section(kind: int, body: bytes, large: bool = False) -> bytes:
    """A section with the common header, or the large one when asked or when
    the size does not fit 24 bits below the large-section marker."""
    if large or len(body) + 4 >= LARGE_SECTION:
        return struct.pack("<I", LARGE_SECTION | kind << 24) + struct.pack("<I", len(body) + 8) + body
    return struct.pack("<I", (len(body) + 4) | kind << 24) + body


def ui_section(name: str) -> bytes:
    return section(SEC_USER_INTERFACE, (name + "\0").encode("utf-16-le"))


def guid_section(guid: str, data: bytes, attributes: int, header_data: bytes = b"", large: bool = False) -> bytes:
    """A GUID-defined section: GUID, data offset, attributes, the GUID's own
    header data, then data."""
    header = 8 if large or 4 + 20 + len(header_data) + len(data) >= LARGE_SECTION else 4
    fields = guid_bytes(guid) + struct.pack("<HH", header + 20 + len(header_data), attributes) + header_data
    return section(SEC_GUID_DEFINED, fields + data, large=header == 8)


def lzma_pack(data: bytes, dictionary: int = 1 << 20) -> bytes:
    """LZMA data as firmware decoders take it: properties byte, dictionary
    size, the real uncompressed size, then the stream (python's encoder ends
    it with an end marker, which decoders that know the size may ignore)."""
    packed = lzma.compress(data, format=lzma.FORMAT_ALONE,
                           filters=[{"id": lzma.FILTER_LZMA1, "dict_size": dictionary, "lc": 3, "lp": 0, "pb": 2}])
    return packed[:5] + struct.pack("<Q", len(data)) + packed[13:]


def lzma_section(stream: bytes, dictionary: int = 1 << 20) -> bytes:
    return guid_section(LZMA_SECTION, lzma_pack(stream, dictionary), GUIDED_PROCESSING_REQUIRED)


def section_stream(sections: list[bytes]) -> bytes:
    """Sections one after another, each 4-byte aligned; no padding after the
    last one."""
    out = bytearray()
    for s in sections:
        out += bytes(align_up(len(out), 4) - len(out)) + s
    return bytes(out)


def aligned_stream(items: list[tuple[bytes, int]]) -> bytes:
    """Sections one after another, each (section, alignment) with its body
    aligned so from the stream's start, raw sections filling the gaps."""
    out = b""
    for s, alignment in items:
        header = 8 if s[:3] == b"\xff\xff\xff" else 4
        start = align_up(len(out), 4)
        gap = (-(start + header)) % alignment
        if gap:
            if gap < 4:
                gap += alignment
            out = section_stream([out, section(SEC_RAW, bytes(gap - 4))]) if out else section(SEC_RAW, bytes(gap - 4))
        out = section_stream([out, s]) if out else s
    return out


def alignment_attributes(alignment: int) -> int:
    if alignment in ALIGNMENTS:
        return ALIGNMENTS.index(alignment) << 3
    if alignment in ALIGNMENTS_2:
        return ALIGNMENTS_2.index(alignment) << 3 | FA_DATA_ALIGNMENT_2
    raise ValueError(f"no file attribute for alignment {alignment}")


def ffs_file(guid: str, kind: int, data: bytes, attributes: int = FA_CHECKSUM, large: bool = False,
             polarity: int = 1, state: int = READY) -> bytes:
    """A file around data (a section stream for the sectioned types), with
    the large-file header when asked or when it needs one. state is given as
    for erase polarity 0 and written for polarity."""
    large = large or len(data) + 24 > 0xFFFFFF
    if large:
        attributes |= FA_LARGE_FILE
        size = len(data) + 32
        header = bytearray(guid_bytes(guid) + bytes([0, 0, kind, attributes, 0, 0, 0, 0]) + struct.pack("<Q", size))
    else:
        header = bytearray(guid_bytes(guid) + bytes([0, 0, kind, attributes]) + struct.pack("<I", len(data) + 24)[:3] +
                           b"\0")
    header[16] = (-sum8(bytes(header))) & 0xFF
    header[17] = (-sum8(data)) & 0xFF if attributes & FA_CHECKSUM else FIXED_CHECKSUM
    header[23] = state if polarity == 0 else ~state & 0xFF
    return bytes(header) + data


def pad_file(size: int, polarity: int = 1, data: bytes | None = None) -> bytes:
    """A pad file of exactly size bytes, its data erased unless given."""
    erased = 0xFF if polarity else 0x00
    body = data if data is not None else bytes([erased]) * (size - 24)
    assert len(body) == size - 24
    return ffs_file(PAD_NAME, FT_PAD, body, attributes=0, polarity=polarity)


def with_polarity(file: bytes, polarity: int) -> bytes:
    """A complete file with its state written for the other erase polarity
    when polarity asks (the checksums do not cover the state)."""
    state = file[23] if file[23] & 0x80 == 0 else ~file[23] & 0xFF
    out = bytearray(file)
    out[23] = state if polarity == 0 else ~state & 0xFF
    return bytes(out)


def file_data_alignment(file: bytes) -> int:
    attributes = file[19]
    table = ALIGNMENTS_2 if attributes & FA_DATA_ALIGNMENT_2 else ALIGNMENTS
    return max(8, table[(attributes & FA_DATA_ALIGNMENT) >> 3])


def file_header_size(file: bytes) -> int:
    return 32 if file[19] & FA_LARGE_FILE else 24


@dataclasses.dataclass
class ExtHeader:
    name: str  # FvName
    used_size: bool = False  # a used-size entry
    in_pad_file: bool = True  # inside a pad file at the start, as firmware builds place it


def volume(files: list[bytes], length: int, polarity: int = 1, ffs3: bool = False, block_size: int = 0x1000,
           alignment: int = 8, ext: ExtHeader | None = None, free_used_size: int | None = None) -> bytes:
    """A volume of length bytes holding files in this order, each at the next
    8-byte boundary, with pad files in front of any whose data must lie
    further aligned; the rest erased. Files are restated for the polarity.
    free_used_size overrides the used-size entry's value."""
    erased = 0xFF if polarity else 0x00
    # Read, write and lock capabilities and status, memory mapped, sticky write.
    attributes = 0x0000F6FF | (FVB2_ERASE_POLARITY if polarity else 0)
    attributes |= (alignment.bit_length() - 1) << FVB2_ALIGNMENT_SHIFT
    if length % block_size:
        raise ValueError("length must be a whole number of blocks")
    header_length = VOLUME_HEADER_FIXED + 16
    header = bytearray(header_length)
    header[16:32] = guid_bytes(FFS3 if ffs3 else FFS2)
    struct.pack_into("<QIIHHHBB", header, 32, length, 0x4856465F, attributes, header_length, 0, 0, 0, 2)
    struct.pack_into("<IIII", header, VOLUME_HEADER_FIXED, length // block_size, block_size, 0, 0)
    body = bytearray(header)
    used_field = None
    if ext is not None:
        entries = struct.pack("<HHI", 8, EXT_ENTRY_USED_SIZE, 0) if ext.used_size else b""
        ext_bytes = guid_bytes(ext.name) + struct.pack("<I", 20 + len(entries)) + entries
        if ext.in_pad_file:
            start = align_up(len(body), 8)
            body += bytes(start - len(body))
            pad = pad_file(24 + len(ext_bytes), polarity, data=ext_bytes)
            ext_offset = start + 24
            body += pad
        else:
            ext_offset = align_up(len(body), 8)
            body += bytes(ext_offset - len(body)) + ext_bytes
        struct.pack_into("<H", body, 52, ext_offset)
        if ext.used_size:
            used_field = ext_offset + 20 + 4
    for f in files:
        f = with_polarity(f, polarity)
        position = align_up(len(body), 8)
        alignment_needed = file_data_alignment(f)
        if alignment_needed > alignment:
            raise ValueError("the volume does not guarantee the file's alignment")
        data_at = position + file_header_size(f)
        if data_at % alignment_needed:
            # A pad file from position to where the file's data lands aligned.
            target = align_up(data_at + 24, alignment_needed) - file_header_size(f)
            body += bytes([erased]) * (position - len(body))
            body += pad_file(target - position, polarity)
            position = target
        body += bytes([erased]) * (position - len(body)) + f
    if len(body) > length:
        raise ValueError(f"files take {len(body)} bytes, the volume has {length}")
    used = len(body)
    body += bytes([erased]) * (length - len(body))
    if used_field is not None:
        # Free space starts at the next 8-byte boundary.
        struct.pack_into("<I", body, used_field, align_up(used, 8) if free_used_size is None else free_used_size)
    struct.pack_into("<H", body, 50, (-sum16(bytes(body[:header_length]))) & 0xFFFF)
    return bytes(body)


# ---------------------------------------------------------------------------
# Reader
# ---------------------------------------------------------------------------


@dataclasses.dataclass
class Section:
    offset: int  # in its stream
    kind: int
    header_size: int
    raw: bytes  # the whole section
    guid: str | None = None  # GUID-defined sections
    data_offset: int = 0
    attributes: int = 0
    lzma_header: bytes | None = None  # the 13 header bytes of LZMA data
    unpacked: bytes | None = None  # the stream an encoding held
    sections: list[Section] = dataclasses.field(default_factory=list)
    volumes: list[Volume] = dataclasses.field(default_factory=list)

    @property
    def size(self) -> int:
        return len(self.raw)

    @property
    def body(self) -> bytes:
        return self.raw[self.header_size:]


@dataclasses.dataclass
class File:
    offset: int  # in its volume
    guid: str
    kind: int
    attributes: int
    state: int  # as for erase polarity 0
    header_size: int
    raw: bytes  # the whole file, as in the volume
    sections: list[Section] | None = None  # None: no section stream

    @property
    def size(self) -> int:
        return len(self.raw)

    @property
    def end(self) -> int:
        return self.offset + self.size

    @property
    def data(self) -> bytes:
        return self.raw[self.header_size:]

    @property
    def alignment(self) -> int:
        return file_data_alignment(self.raw)


@dataclasses.dataclass
class Volume:
    offset: int  # in its container: the image or a section body
    raw: bytes
    attributes: int
    file_system: str
    header_length: int
    block_map: list[tuple[int, int]]
    name: str | None  # FvName of the extended header
    ext_offset: int
    used_size: int | None
    used_size_offset: int | None  # of the UsedSize field
    files: list[File]
    free_start: int  # from here to the end the volume is erased
    files_end: int = 0  # the end of the last file

    @property
    def length(self) -> int:
        return len(self.raw)

    @property
    def polarity(self) -> int:
        return 1 if self.attributes & FVB2_ERASE_POLARITY else 0

    @property
    def ffs3(self) -> bool:
        return self.file_system == FFS3

    @property
    def label(self) -> str:
        return self.name or self.file_system


def _state_bits(raw_state: int, polarity: int) -> int:
    return ~raw_state & 0xFF if polarity else raw_state


def _highest(state: int) -> int:
    return 1 << (state.bit_length() - 1) if state else 0


def parse_volume(data: bytes, offset: int = 0, depth: int = 0, where: str = "image") -> Volume:
    """The volume that starts at data[offset:], its files and what they hold."""
    here = f"volume at {offset:#x} of {where}"
    if depth > MAX_DEPTH:
        raise FormatError(f"{here}: nested deeper than {MAX_DEPTH} levels")
    if len(data) - offset < VOLUME_HEADER_FIXED + 16:
        raise FormatError(f"{here}: shorter than a volume header")
    (length, signature, attributes, header_length, checksum, ext_offset, _reserved,
     revision) = struct.unpack_from("<QIIHHHBB", data, offset + 32)
    if signature != 0x4856465F:
        raise FormatError(f"{here}: no volume signature")
    if revision != 2:
        raise FormatError(f"{here}: revision {revision}")
    if header_length < VOLUME_HEADER_FIXED + 16 or header_length % 2 or header_length > length:
        raise FormatError(f"{here}: header length {header_length}")
    if length > len(data) - offset:
        raise FormatError(f"{here}: {length:#x} bytes, {len(data) - offset:#x} left in its container")
    raw = bytes(data[offset:offset + length])
    if sum16(raw[:header_length]):
        raise FormatError(f"{here}: header checksum")
    # The block map: pairs up to a (0, 0) terminator inside the header, adding
    # up to the volume's length.
    block_map, position, total = [], VOLUME_HEADER_FIXED, 0
    while True:
        if position + 8 > header_length:
            raise FormatError(f"{here}: block map without its terminator")
        blocks, size = struct.unpack_from("<II", raw, position)
        position += 8
        if blocks == 0 and size == 0:
            break
        if blocks == 0 or size == 0:
            raise FormatError(f"{here}: block map entry {blocks} x {size}")
        block_map.append((blocks, size))
        total += blocks * size
    if position != header_length:
        raise FormatError(f"{here}: header length {header_length}, block map ends at {position}")
    if total != length:
        raise FormatError(f"{here}: block map adds up to {total:#x}, length {length:#x}")
    file_system = guid_text(raw[16:32])
    name, used_size, used_size_offset, files_from = None, None, None, header_length
    if ext_offset:
        if ext_offset % 4 or ext_offset < header_length or ext_offset + 20 > length:
            raise FormatError(f"{here}: extended header at {ext_offset:#x}")
        name = guid_text(raw[ext_offset:ext_offset + 16])
        (ext_size,) = struct.unpack_from("<I", raw, ext_offset + 16)
        if ext_size < 20 or ext_offset + ext_size > length:
            raise FormatError(f"{here}: extended header of {ext_size} bytes")
        entry = ext_offset + 20
        while entry < ext_offset + ext_size:
            if entry + 4 > ext_offset + ext_size:
                raise FormatError(f"{here}: extended header entry at {entry:#x} cut off")
            entry_size, entry_type = struct.unpack_from("<HH", raw, entry)
            if entry_size < 4 or entry + entry_size > ext_offset + ext_size:
                raise FormatError(f"{here}: extended header entry at {entry:#x} of {entry_size} bytes")
            if entry_type == EXT_ENTRY_USED_SIZE:
                if entry_size != 8:
                    raise FormatError(f"{here}: used-size entry of {entry_size} bytes")
                used_size_offset = entry + 4
                (used_size,) = struct.unpack_from("<I", raw, used_size_offset)
            entry += entry_size
        files_from = ext_offset + ext_size
    volume = Volume(offset, raw, attributes, file_system, header_length, block_map, name, ext_offset, used_size,
                    used_size_offset, [], length)
    if file_system in (FFS2, FFS3):
        # Files start after the header (and after the extended header when it
        # lies outside any file).
        first = header_length if ext_offset and _ext_in_first_file(raw, header_length, ext_offset, volume.polarity) \
            else files_from
        _parse_files(volume, align_up(first, 8), depth, here)
    return volume


def _ext_in_first_file(raw: bytes, header_length: int, ext_offset: int, polarity: int) -> bool:
    """Whether the extended header lies inside the file that starts right
    after the volume header (a pad file, as firmware builds place it)."""
    start = align_up(header_length, 8)
    if start + 24 > len(raw) or raw[start:start + 24] == bytes([0xFF if polarity else 0]) * 24:
        return False
    size = int.from_bytes(raw[start + 20:start + 23], "little")
    return start < ext_offset < start + size


def _parse_files(volume: Volume, position: int, depth: int, here: str) -> None:
    raw, polarity = volume.raw, volume.polarity
    erased = 0xFF if polarity else 0x00
    names = set()
    while position + 24 <= len(raw):
        if raw[position:position + 24] == bytes([erased]) * 24:
            break
        at = f"{here}: file at {position:#x}"
        header = raw[position:position + 24]
        attributes, kind = header[19], header[18]
        size = int.from_bytes(header[20:23], "little")
        header_size = 24
        if attributes & FA_LARGE_FILE:
            if not volume.ffs3:
                raise FormatError(f"{at}: large-file header in an FFSv2 volume")
            if position + 32 > len(raw):
                raise FormatError(f"{at}: large-file header cut off")
            header_size = 32
            (size,) = struct.unpack_from("<Q", raw, position + 24)
            header = raw[position:position + 32]
        if size < header_size or size > len(raw) - position:
            raise FormatError(f"{at}: {size:#x} bytes, {len(raw) - position:#x} left in the volume")
        state = _state_bits(header[23], polarity)
        if state & ST_HEADER_INVALID or not state & ST_HEADER_VALID:
            raise FormatError(f"{at}: state {header[23]:#04x} is not that of a valid header")
        scratch = bytearray(header)
        scratch[17] = 0
        scratch[23] = 0
        if sum8(bytes(scratch)):
            raise FormatError(f"{at}: header checksum")
        file_raw = raw[position:position + size]
        data = file_raw[header_size:]
        live = _highest(state) in (ST_DATA_VALID, ST_MARKED_FOR_UPDATE)
        if live:
            if attributes & FA_CHECKSUM:
                if (sum8(data) + header[17]) & 0xFF:
                    raise FormatError(f"{at}: data checksum")
            elif header[17] != FIXED_CHECKSUM:
                raise FormatError(f"{at}: fixed data checksum {header[17]:#04x}")
        file = File(position, guid_text(header[:16]), kind, attributes, state, header_size, file_raw)
        if live and kind != FT_PAD:
            need = file.alignment
            if (position + header_size) % need:
                raise FormatError(f"{at}: data at {position + header_size:#x} is not {need:#x}-aligned")
            if file.guid in names:
                raise FormatError(f"{at}: a second file {file.guid}")
            names.add(file.guid)
            if kind in SECTIONED_TYPES:
                file.sections = parse_sections(data, depth, f"file {file.guid} in {here}")
        volume.files.append(file)
        volume.files_end = position + size
        position = align_up(position + size, 8)
    volume.free_start = min(position, len(raw))
    if raw[volume.free_start:] != bytes([erased]) * (len(raw) - volume.free_start):
        first = next(i for i in range(volume.free_start, len(raw)) if raw[i] != erased)
        raise FormatError(f"{here}: data at {first:#x} in the free space from {volume.free_start:#x}")


def parse_sections(stream: bytes, depth: int = 0, where: str = "stream") -> list[Section]:
    """The sections of a stream, 4-byte aligned from its start, each inside it;
    fewer than 4 bytes may follow the last one."""
    if depth > MAX_DEPTH:
        raise FormatError(f"{where}: nested deeper than {MAX_DEPTH} levels")
    sections, position = [], 0
    while len(stream) - position >= 4:
        at = f"section at {position:#x} of {where}"
        size = int.from_bytes(stream[position:position + 3], "little")
        kind = stream[position + 3]
        header_size = 4
        if size == LARGE_SECTION:
            if len(stream) - position < 8:
                raise FormatError(f"{at}: large header cut off")
            (size,) = struct.unpack_from("<I", stream, position + 4)
            header_size = 8
        if size < header_size or size > len(stream) - position:
            raise FormatError(f"{at}: {size:#x} bytes, {len(stream) - position:#x} left")
        s = Section(position, kind, header_size, bytes(stream[position:position + size]))
        _parse_section_body(s, depth, at)
        sections.append(s)
        position = align_up(position + size, 4)
    return sections


def _parse_section_body(s: Section, depth: int, at: str) -> None:
    body = s.body
    if s.kind == SEC_GUID_DEFINED:
        if len(body) < 20:
            raise FormatError(f"{at}: GUID-defined header cut off")
        s.guid = guid_text(body[:16])
        s.data_offset, s.attributes = struct.unpack_from("<HH", body, 16)
        if s.data_offset < s.header_size + 20 or s.data_offset > s.size:
            raise FormatError(f"{at}: data offset {s.data_offset:#x}")
        data = s.raw[s.data_offset:]
        if s.guid == LZMA_SECTION:
            s.lzma_header = data[:13]
            s.unpacked = lzma_unpack(data, at)
            s.sections = parse_sections(s.unpacked, depth + 1, f"LZMA data of {at}")
        elif not s.attributes & GUIDED_PROCESSING_REQUIRED:
            s.sections = parse_sections(data, depth + 1, at)
    elif s.kind == SEC_COMPRESSION:
        if len(body) < 5:
            raise FormatError(f"{at}: compression header cut off")
        (unpacked_length,) = struct.unpack_from("<I", body, 0)
        if body[4] == 0:
            if unpacked_length != len(body) - 5:
                raise FormatError(f"{at}: {unpacked_length} bytes said, {len(body) - 5} held")
            s.sections = parse_sections(body[5:], depth + 1, at)
    elif s.kind == SEC_VOLUME_IMAGE:
        s.volumes = [parse_volume(body, 0, depth + 1, at)]


def lzma_unpack(data: bytes, where: str = "LZMA data") -> bytes:
    """LZMA data with the 13-byte header; the stream must make exactly the
    size the header gives, with or without an end marker."""
    if len(data) < 13:
        raise FormatError(f"{where}: LZMA header cut off")
    (size,) = struct.unpack_from("<Q", data, 5)
    if size > MAX_UNPACKED:
        raise FormatError(f"{where}: LZMA data unpacks to {size:#x} bytes")
    decoder = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE)
    try:
        out = decoder.decompress(bytes(data), max_length=size + 1)
    except lzma.LZMAError as error:
        raise FormatError(f"{where}: LZMA data: {error}") from None
    if len(out) != size:
        raise FormatError(f"{where}: LZMA data makes {len(out):#x} bytes, its header says {size:#x}")
    return out


def lzma_has_end_marker(data: bytes) -> bool:
    """Whether the stream after the 13-byte header ends with an end marker:
    decoding with the size taken out of the header stops only at a marker."""
    unknown = bytes(data[:5]) + b"\xff" * 8 + bytes(data[13:])
    decoder = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE)
    try:
        decoder.decompress(unknown)
    except lzma.LZMAError:
        return False
    return decoder.eof


def parse_image(data: bytes) -> list[Volume]:
    """Every volume of a flat image: at each 8-byte boundary not inside an
    earlier volume, a volume signature with a valid header checksum starts
    one, which must then be whole and well formed."""
    volumes, position = [], 0
    while True:
        found = data.find(b"_FVH", position + 40)
        if found < 0:
            return volumes
        start = found - 40
        if start < 0 or start % 8 or not _plausible(data, start):
            position = max(found + 1 - 40, position + 1)
            continue
        volume = parse_volume(data, start)
        volumes.append(volume)
        position = start + volume.length


def _plausible(data: bytes, start: int) -> bool:
    """A signature whose header length gives a valid header checksum."""
    (header_length,) = struct.unpack_from("<H", data, start + 48)
    return VOLUME_HEADER_FIXED + 16 <= header_length <= len(data) - start and header_length % 2 == 0 and \
        sum16(bytes(data[start:start + header_length])) == 0


# ---------------------------------------------------------------------------
# Walking the tree
# ---------------------------------------------------------------------------


@dataclasses.dataclass
class Place:
    """A volume and the way to it from the image: for each volume on the way
    "label@offset" (offset in its container), then the file's GUID and the
    section types down to the next volume."""
    volume: Volume
    path: tuple

    @property
    def steps(self) -> tuple:
        return self.path + (volume_step(self.volume),)

    def describe(self) -> str:
        return " / ".join(self.steps)

    def within(self, other: "Place") -> bool:
        """Whether this volume is other or lies inside it."""
        return self.steps[:len(other.steps)] == other.steps


def volume_step(v: Volume) -> str:
    return f"{v.label}@{v.offset:#x}"


def walk(volumes: list[Volume], path: tuple = ()) -> list[Place]:
    """Every volume of the tree, outer ones first."""
    places = []
    for v in volumes:
        places.append(Place(v, path))
        for f in v.files:
            for s in f.sections or []:
                places += _walk_sections(s, path + (volume_step(v), f.guid))
    return places


def _walk_sections(s: Section, path: tuple) -> list[Place]:
    places = walk(s.volumes, path + (f"section {s.kind:#04x}",))
    for inner in s.sections:
        places += _walk_sections(inner, path + (f"section {s.kind:#04x}",))
    return places


def find_volumes(volumes: list[Volume], predicate) -> list[Place]:
    return [p for p in walk(volumes) if predicate(p.volume)]


def holds_type(kind: int):
    return lambda v: any(f.kind == kind and f.state & ST_DATA_VALID for f in v.files)
