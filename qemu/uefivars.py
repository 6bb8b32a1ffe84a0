"""OVMF's non-volatile UEFI variables, read from the file QEMU keeps them in.

The store is a firmware volume whose file-system GUID is the NV-data one: at
the start of OVMF_VARS_4M.fd (the 64 MB window's machine), and of the 2 MiB
OVMF.fd, which holds code and variables in one image (the 16 MB window's).
Inside it, after the volume header, a variable-store header (the
authenticated-variables format GUID, the size, formatted 0x5A, healthy
0xFE), then variables one after the other, each on a 4-byte boundary: a
60-byte authenticated header (start id 0x55AA, state, attributes, counters,
name and data sizes, vendor GUID), the UTF-16 name, the data. A variable's
state only loses bits: header written (0x7F), added (0x3F), in deleted
transition while its replacement is written (0x3E), deleted (0x3C). The
first header without the start id, or one running past the store, ends the
list.
"""

from __future__ import annotations

import struct
import uuid
from dataclasses import dataclass

NV_DATA_FV_GUID = uuid.UUID("FFF12B8D-7696-4C8B-A985-2747075B4F50")
AUTHENTICATED_STORE_GUID = uuid.UUID("AAF32C78-947B-439A-A180-2E144EC37792")
START_ID = 0x55AA
VAR_HEADER_VALID_ONLY, VAR_ADDED, VAR_IN_DELETED_TRANSITION, VAR_DELETED = 0x7F, 0x3F, 0xFE, 0xFD
FV_HEADER = struct.Struct("<16s16sQ4sIHHHBB")  # zero vector ... revision; the block map follows
STORE_HEADER = struct.Struct("<16sIBBHI")  # signature GUID, size, format, state, reserved
VARIABLE_HEADER = struct.Struct("<HBBIQ16sIII16s")  # start id, state, reserved, attributes, count, time, key, sizes
STORE_FORMATTED, STORE_HEALTHY = 0x5A, 0xFE


class StoreError(ValueError):
    """The file holds no variable store this reader understands."""


@dataclass
class Variable:
    offset: int  # of its header in the file
    name: str
    guid: uuid.UUID
    attributes: int
    state: int
    data: bytes

    @property
    def live(self) -> str | None:
        """"added", "in-transition" (added, and being replaced), or None."""
        return {VAR_ADDED: "added", VAR_ADDED & VAR_IN_DELETED_TRANSITION: "in-transition"}.get(self.state)


def find_store(image: bytes) -> tuple[int, int]:
    """(start, end) in the file of the variables area of the NV-data firmware volume."""
    for volume in range(0, len(image) - FV_HEADER.size + 1, 0x1000):
        _, fs_guid, length, signature, _, header_length, _, _, _, _ = FV_HEADER.unpack_from(image, volume)
        if signature != b"_FVH" or uuid.UUID(bytes_le=fs_guid) != NV_DATA_FV_GUID:
            continue
        store = volume + header_length
        if header_length < FV_HEADER.size or volume + length > len(image) or store + STORE_HEADER.size > len(image):
            raise StoreError(f"variable volume at {volume:#x} runs past the file")
        signature, size, form, state, _, _ = STORE_HEADER.unpack_from(image, store)
        if uuid.UUID(bytes_le=signature) != AUTHENTICATED_STORE_GUID:
            raise StoreError(f"variable store at {store:#x} is not in the authenticated format")
        if form != STORE_FORMATTED or state != STORE_HEALTHY or size < STORE_HEADER.size or store + size > volume + length:
            raise StoreError(f"variable store at {store:#x}: format {form:#x}, state {state:#x}, size {size:#x}")
        return store + STORE_HEADER.size, store + size
    raise StoreError("no firmware volume with the NV-data GUID")


def read_variables(image: bytes) -> list[Variable]:
    """Every variable header in the store, in the order they were written, whatever its state."""
    position, end = find_store(image)
    variables = []
    while position + VARIABLE_HEADER.size <= end:
        start_id, state, _, attributes, _, _, _, name_size, data_size, guid = VARIABLE_HEADER.unpack_from(image, position)
        name_at = position + VARIABLE_HEADER.size
        if start_id != START_ID or name_size > end - name_at or data_size > end - name_at - name_size:
            break
        name = image[name_at:name_at + name_size].decode("utf-16-le", "replace").split("\0")[0]
        data_at = name_at + name_size
        variables.append(Variable(position, name, uuid.UUID(bytes_le=guid), attributes, state,
                                  image[data_at:data_at + data_size]))
        position = (data_at + data_size + 3) & ~3
    return variables


def lookup(variables: list[Variable], name: str, guid: uuid.UUID | str) -> Variable | None:
    """The variable's current value as the firmware finds it: the added copy;
    without one, a copy in deleted transition (its replacement never
    completed); nothing when all copies are deleted or only half written."""
    guid = uuid.UUID(str(guid))
    copies = [v for v in variables if v.name == name and v.guid == guid]
    return next((v for v in copies if v.live == "added"), None) or next(
        (v for v in copies if v.live == "in-transition"), None)


def read_variable(path: str, name: str, guid: uuid.UUID | str) -> bytes | None:
    """The data of one variable in a store file, or None when it has none."""
    with open(path, "rb") as handle:
        found = lookup(read_variables(handle.read()), name, guid)
    return found.data if found else None
