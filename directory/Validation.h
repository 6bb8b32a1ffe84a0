// Judging directory copies: the Fletcher-32 checksum, validation of level-1,
// level-2 and BHD directories (with the extra rule for a directory made only
// of A/B pointer entries), validation of a cached copy by its buffer handle,
// the exclusion test of a RomSignatureBlock, and the translation of an
// entry's Location into an address.
#pragma once

#include "directory/Formats.h"

namespace ftpm::directory {

// Fletcher-32 over WordCount 16-bit little-endian words, both sums starting
// at 0xFFFF and folded every 359 words. Words need no alignment.
UINT32 Fletcher32(const VOID* Words, UINT32 WordCount);

// Cookie, EntryCount and checksum of a 1552-byte copy; with PointerRule, a
// directory made only of A/B pointer entries must have 1 to 32 of them. A
// directory whose entries do not fit in the copy (more than 96) is refused,
// since its checksum and entries lie beyond the copy.
BOOLEAN ValidateMvqDirectory(const VOID* Copy, UINT32 Cookie, BOOLEAN PointerRule);

// The same for the "$BHD"/"$BL2" family (24-byte entries; at most 64 fit).
BOOLEAN ValidateBhdDirectory(const VOID* Copy, UINT32 Cookie);

// TRUE when the copy has at least one entry and every entry is an A pointer
// (0x48) or a B pointer (0x4A). A copy without room for all its entries, or
// no copy at all, is not one.
BOOLEAN IsAbPointerDirectory(const VOID* Copy);

// Gets (or creates) the cached buffer of Handle with Size bytes, stores its
// address in *Copy and judges it by the handle's rule. Unknown handles, and
// buffers smaller than the rule needs (as one handed over by an earlier boot
// phase may be), are not valid.
BOOLEAN ValidateCachedDirectory(UINT32 Handle, UINT32 Size, VOID** Copy);

// TRUE when the running processor must skip this block.
BOOLEAN IsSignatureBlockExcluded(const RomSignatureBlock* Block);

// The address an entry's Location names, by its LocationMode; Base is the
// directory's address and Base32 its low 32 bits. Additions wrap.
UINT64 TranslateEntryLocation(UINT64 Location, UINT64 Base, UINT32 Base32);

// GetOrCreateBuffer, refusing a buffer that holds fewer than Size bytes, so
// that a copy of Size bytes can be written into or read from it safely.
BOOLEAN GetCacheBuffer(UINT32 Handle, UINT32 Size, VOID** Buffer);

}  // namespace ftpm::directory
