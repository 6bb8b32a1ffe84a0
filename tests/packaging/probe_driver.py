"""A DXE driver that says it ran: a minimal PE32+ boot-service driver whose
entry point writes one line to the first serial port (I/O port 0x3F8, what
QEMU's -nographic shows) and returns EFI_SUCCESS.

The image is made here byte by byte, so the firmware tests need no compiler
for it: the DOS stub header, the PE32+ headers with one code section, and
position-independent code that needs no relocations.
"""

import struct

SERIAL_PORT = 0x3F8
IMAGE_BASE = 0x10000
ALIGNMENT = 0x20  # section and file alignment
SUBSYSTEM_BOOT_SERVICE_DRIVER = 11
SUBSYSTEM_APPLICATION = 10


def _code(message: bytes) -> bytes:
    """rep outsb of message to the serial port; the entry point's
    callee-saved rsi is kept."""
    prefix = bytes([0x56])  # push rsi
    lea_at = len(prefix)
    after_lea = lea_at + 7
    body = (bytes([0xB9]) + struct.pack("<I", len(message)) +  # mov ecx, len
            bytes([0x66, 0xBA]) + struct.pack("<H", SERIAL_PORT) +  # mov dx, port
            bytes([0xF3, 0x6E,  # rep outsb
                   0x5E,  # pop rsi
                   0x31, 0xC0,  # xor eax, eax (EFI_SUCCESS)
                   0xC3]))  # ret
    message_at = after_lea + len(body)
    lea = bytes([0x48, 0x8D, 0x35]) + struct.pack("<i", message_at - after_lea)  # lea rsi, [rip + message]
    return prefix + lea + body + message


def probe_image(message: str, subsystem: int = SUBSYSTEM_BOOT_SERVICE_DRIVER) -> bytes:
    """The PE32+ image of the probe; message is written as given plus CR LF."""
    code = _code(message.encode("ascii") + b"\r\n")
    headers_size = 0x40 + 4 + 20 + 240 + 40
    headers_size = (headers_size + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT
    raw_size = (len(code) + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT
    text_rva = headers_size
    image_size = text_rva + raw_size

    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    coff = struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x0022)  # executable, large-address aware
    optional = struct.pack("<HBBIIIII", 0x20B, 0, 0, raw_size, 0, 0, text_rva, text_rva)
    optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", IMAGE_BASE, ALIGNMENT, ALIGNMENT, 0, 0, 0, 0, 0, 0, 0, image_size,
                            headers_size, 0, subsystem, 0, 0x10000, 0x1000, 0x10000, 0x1000, 0, 16)
    optional += bytes(16 * 8)  # no data directories: nothing to relocate or import
    section = b".text\0\0\0" + struct.pack("<IIIIIIHHI", len(code), text_rva, raw_size, headers_size, 0, 0, 0, 0,
                                           0x60000020)  # code, execute, read
    image = bytes(dos) + b"PE\0\0" + coff + optional + section
    assert len(optional) == 240
    image += bytes(headers_size - len(image)) + code + bytes(raw_size - len(code))
    assert len(image) == image_size
    return image
