// Directory discovery: finds the running processor's level-1 directory in the
// flash image through a RomSignatureBlock (and a combo directory where there
// is one), validates it, and keeps the copy in the buffer cache so the flash
// is scanned at most once per boot.
#pragma once

#include "directory/Formats.h"

namespace ftpm::directory {

// Offsets of a RomSignatureBlock inside each 16 MB window, in probe order.
inline constexpr UINT32 kSignatureBlockCandidates[] = {0x020000, 0x820000, 0xC20000, 0xE20000, 0xF20000, 0xFA0000};
inline constexpr UINT32 kSignatureWindowSize = 0x1000000;
inline constexpr UINT32 kSignatureWindows = 4;

enum class SignatureScan : UINT8 {
  Found,       // *Block holds the chosen block, *Offset its flash offset
  None,        // no usable block at any candidate
  ReadFailed,  // a candidate could not be read (PostCodeHalt reported)
};

// Probes the candidate offsets window by window (only the first candidate of
// each window on processors with 16-bit entry types) and returns the first
// signed block that the processor does not have to skip. Windows that alias
// the first 16 MB on this processor are not probed again.
SignatureScan ScanSignatureBlocks(RomSignatureBlock* Block, UINT32* Offset);

// A validated 1552-byte copy of the level-1 "$MVQ" directory, owned by the
// buffer cache. FALSE when none can be found; *Copy is then untouched.
BOOLEAN FindMvqDirectory(VOID** Copy);

}  // namespace ftpm::directory
