// The flash reader: copies bytes of the SPI flash image out of its
// memory-mapped windows. Callers name bytes by a flash offset (below 64 MB)
// or by an address inside a window; the processor decides which window
// serves offsets. Everything outside the windows is refused.
#pragma once

#include "platform/Base.h"

namespace ftpm::directory {

inline constexpr UINT64 kWindow64MBase = 0xFD00000000;
inline constexpr UINT32 kWindow64MSize = 0x4000000;
inline constexpr UINT64 kWindow16MBase = 0xFF000000;
inline constexpr UINT32 kWindow16MSize = 0x1000000;
inline constexpr UINT64 kFlashOffsetLimit = 0x4000000;  // addresses below are flash offsets

// TRUE when offsets of this processor are read through the 64 MB window
// (family 0x17 with model high nibble 0x30 or at least 0x60, families 0x19
// and 0x1A); the others use the 16 MB window with offsets cut to 24 bits.
BOOLEAN OffsetsUseWindow64M(UINT32 Eax);
// TRUE when this processor accepts addresses inside the 64 MB window
// (family 0x17 as above, and family 0x19; not family 0x1A).
BOOLEAN AcceptsWindow64MAddresses(UINT32 Eax);
// The number of distinct flash offsets the running processor can read:
// 64 MB, or 16 MB where larger offsets alias the first 16 MB.
UINT32 DistinctFlashOffsets();

// Reads a flash offset (below 64 MB) or an address inside one of the windows.
// A mapped-address range that runs past the end of its window is refused.
BOOLEAN ReadFlash(UINT64 Address, VOID* Buffer, UINT32 Length);

// Reads at a flash offset through the processor's window.
BOOLEAN ReadFlashOffset(UINT32 Offset, VOID* Buffer, UINT32 Length);

// Window readers: one aligned 8-byte load per 8-byte word of the range, each
// word loaded once. Nothing is written unless the whole range lies inside the
// window and Buffer is not NULL.
BOOLEAN ReadWindow64M(UINT32 Offset, VOID* Buffer, UINT32 Length);
BOOLEAN ReadWindow16M(UINT32 Offset, VOID* Buffer, UINT32 Length);

// Zero-fills the 1552-byte Buffer, then reads a whole directory copy from a
// 32-bit directory address (a flash offset or a 16 MB window address).
BOOLEAN ReadDirectoryCopy(UINT32 Address, VOID* Buffer);

}  // namespace ftpm::directory
