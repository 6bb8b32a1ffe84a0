// Entry lookup: where, and how large, is the data of an entry type for the
// running processor. A level-2 directory is preferred (the A or B side chosen
// by the RecoveryFlag register, or the one a type-0x40 entry points to); the
// level-1 directory is searched last. Directories and the A/B description are
// read from flash at most once per boot and then served from the buffer cache.
#pragma once

#include "directory/Formats.h"

namespace ftpm::directory {

// The RecoveryFlag register behind the index/data pair.
inline constexpr UINT64 kIndexRegister = 0xE00000B8;
inline constexpr UINT64 kDataRegister = 0xE00000BC;
inline constexpr UINT32 kRecoveryFlagRegister = 0x3810570;
inline constexpr UINT32 kRecoveryFlagRegisterAlt = 0x3810970;  // RecoveryFlagSelector 2
inline constexpr UINT32 kRecoveryFlagBit = 30;                 // set: the B side

// The search rule for a wanted type: in 16-bit mode bits 0-15 equal; in 8-bit
// mode Type, Subtype and Variant (bits 0-15 and 19-22) equal.
BOOLEAN EntryMatchesSearchRule(UINT32 TypeWord, UINT32 Type, BOOLEAN WideTypes);

// Address and size of entry Type; both written only on TRUE.
BOOLEAN LookupMvqEntry(UINT32 Type, UINT64* Address, UINT32* Size);

// Searches the level-2 directory at L2Address for Type. Once a valid level-2
// copy is cached, that copy is searched whatever address is asked for.
BOOLEAN SearchMvqL2Directory(UINT32 Type, UINT64 L2Address, UINT64* Address, UINT32* Size);

// Describes the A and B sides of an A/B-layout level-1 directory; *AbInfo is
// the cached or newly built record.
BOOLEAN BuildAbRecoveryInfo(const VOID* Directory, AbRecoveryInfo** AbInfo);

// Bit 30 of the RecoveryFlag register: TRUE selects the B side.
BOOLEAN ReadRecoveryFlag();

}  // namespace ftpm::directory
