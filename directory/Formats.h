// Byte formats of the security-processor records in the SPI flash image, and
// of the A/B description the driver keeps in the buffer cache. All fields are
// little-endian. The driver reads flash through these records and the
// ftpm-recovery tool writes its images with the same ones, so this header is
// the single description of the layouts.
#pragma once

#include "platform/Base.h"

namespace ftpm::directory {

// ---------------------------------------------------------------------------
// Cookies, limits and entry types
// ---------------------------------------------------------------------------

inline constexpr UINT32 kRomSignature = 0x55AA55AA;
inline constexpr UINT32 kMvqCookie = Signature32('$', 'M', 'V', 'Q');    // level-1 directory
inline constexpr UINT32 kMvqL2Cookie = Signature32('$', 'M', 'L', '2');  // level-2 directory
inline constexpr UINT32 kComboCookie = Signature32('2', 'M', 'V', 'Q');  // combo directory
inline constexpr UINT32 kBhdCookie = Signature32('$', 'B', 'H', 'D');
inline constexpr UINT32 kBl2Cookie = Signature32('$', 'B', 'L', '2');

// Every directory is handled as a copy of this many bytes: the 16-byte header
// and room for 96 entries of 16 bytes (or 95 combo entries after the 32-byte
// combo header, or 64 BHD entries of 24 bytes).
inline constexpr UINT32 kDirectoryCopySize = 1552;
inline constexpr UINT32 kMaxDirectoryEntries = 512;  // the format's own limit
inline constexpr UINT32 kMaxAbPointerEntries = 32;   // also the capacity of each AbRecoveryInfo index list
inline constexpr UINT8 kExcludingSignatureBlock = 0xFF;

// Entry types the driver names (8-bit form; the 16-bit form of the A/B
// pointers comes from the alias table of the processor identification).
inline constexpr UINT8 kEntryFtpmNvram = 0x04;
inline constexpr UINT8 kEntryMvqNvram = 0x54;
inline constexpr UINT8 kEntryL2Pointer = 0x40;
inline constexpr UINT8 kEntryAPointer = 0x48;
inline constexpr UINT8 kEntryBPointer = 0x4A;
inline constexpr UINT8 kEntryUnusedPointer = 0x49;

// TypeWord fields in 8-bit mode.
inline constexpr UINT32 kTypeMask = 0x000000FF;
inline constexpr UINT32 kSubtypeMask = 0x0000FF00;
inline constexpr UINT32 kSubtypeShift = 8;
inline constexpr UINT32 kVariantMask = 0x00780000;  // bits 19-22
inline constexpr UINT32 kVariantShift = 19;
inline constexpr UINT32 kWideTypeMask = 0x0000FFFF;  // 16-bit mode

// Location: bits 62-63 say how the stored value becomes an address.
inline constexpr UINT32 kLocationModeShift = 62;
inline constexpr UINT64 kLocationModeMask = 3ULL << kLocationModeShift;
enum LocationMode : UINT32 {
  kLocationAsStored = 0,   // the value unchanged
  kLocationAbsolute = 1,   // bit 62 cleared
  kLocationRelative = 2,   // bit 63 cleared, plus the directory's full address
  kLocationRelative32 = 3  // both cleared, plus the directory's low 32 bits
};

// ---------------------------------------------------------------------------
// Records in flash
// ---------------------------------------------------------------------------

// The block that points to the directories; the driver reads its first 60
// bytes.
struct RomSignatureBlock {
  UINT32 Signature;  // kRomSignature
  UINT8 Reserved04[0x10];
  UINT32 MvqDirectoryPointer;  // level-1 directory or combo directory
  UINT8 Reserved18[0x0C];
  UINT8 ExclusionByte;  // 0xFF: newer processors skip this block
  UINT8 Reserved25[0x07];
  UINT32 AlternateMvqDirectoryPointer;  // tried when AbLayout is 2
  UINT8 Reserved30[0x0C];
};
static_assert(sizeof(RomSignatureBlock) == 60);
static_assert(offsetof(RomSignatureBlock, MvqDirectoryPointer) == 0x14);
static_assert(offsetof(RomSignatureBlock, ExclusionByte) == 0x24);
static_assert(offsetof(RomSignatureBlock, AlternateMvqDirectoryPointer) == 0x2C);

// The first 16 bytes of every directory ("$MVQ", "$ML2", "$BHD", "$BL2").
struct DirectoryHeader {
  UINT32 Cookie;
  UINT32 Checksum;  // Fletcher32 from EntryCount to the end of the last entry
  UINT32 EntryCount;
  UINT32 Info;  // not interpreted, but covered by the checksum
};
static_assert(sizeof(DirectoryHeader) == 16);
static_assert(offsetof(DirectoryHeader, Checksum) == 4);
static_assert(offsetof(DirectoryHeader, EntryCount) == 8);
static_assert(offsetof(DirectoryHeader, Info) == 12);
inline constexpr UINT32 kChecksumStart = offsetof(DirectoryHeader, EntryCount);

// Entry of a level-1 or level-2 directory; entry i starts at 16 + 16 * i.
struct DirectoryEntry {
  UINT32 TypeWord;
  UINT32 Size;
  UINT64 Location;  // bits 62-63: LocationMode
};
static_assert(sizeof(DirectoryEntry) == 16);
static_assert(offsetof(DirectoryEntry, Size) == 4);
static_assert(offsetof(DirectoryEntry, Location) == 8);
inline constexpr UINT32 kDirectoryCopyEntries = (kDirectoryCopySize - sizeof(DirectoryHeader)) / sizeof(DirectoryEntry);
static_assert(kDirectoryCopyEntries == 96);

// A directory that picks the level-1 directory by security-processor
// generation. Recognised by its cookie; its checksum is not verified.
struct ComboDirectory {
  UINT32 Cookie;  // "2MVQ"
  UINT32 Reserved04;
  UINT32 EntryCount;
  UINT8 Reserved0C[20];
};
static_assert(sizeof(ComboDirectory) == 0x20);
static_assert(offsetof(ComboDirectory, EntryCount) == 8);

struct ComboEntry {
  UINT32 Reserved00;
  UINT32 MvqId;
  UINT32 DirectoryAddress;
  UINT32 Reserved0C;
};
static_assert(sizeof(ComboEntry) == 16);
static_assert(offsetof(ComboEntry, MvqId) == 4);
static_assert(offsetof(ComboEntry, DirectoryAddress) == 8);
inline constexpr UINT32 kComboCopyEntries = (kDirectoryCopySize - sizeof(ComboDirectory)) / sizeof(ComboEntry);
static_assert(kComboCopyEntries == 95);

// The "$BHD"/"$BL2" family: the same header, 24-byte entries that the driver
// validates but never interprets.
struct BhdEntry {
  UINT8 Bytes[24];
};
static_assert(sizeof(BhdEntry) == 24);
inline constexpr UINT32 kBhdCopyEntries = (kDirectoryCopySize - sizeof(DirectoryHeader)) / sizeof(BhdEntry);
static_assert(kBhdCopyEntries == 64);

// Slot header that an A or B pointer entry addresses, A/B layout 1.
struct AbSlotHeader1 {
  UINT32 Priority;  // 0: ineligible; the highest wins the A slot
  UINT32 Aux1;
  UINT32 Aux2;
  UINT32 L2Address;  // this side's level-2 directory
};
static_assert(sizeof(AbSlotHeader1) == 16);
static_assert(offsetof(AbSlotHeader1, L2Address) == 0x0C);

// Slot header of A/B layout 2.
struct AbSlotHeader2 {
  UINT32 Reserved00;
  UINT32 Priority;
  UINT32 Aux1;
  UINT8 Aux2;
  UINT8 Reserved0D[3];
  UINT32 L2Address;
  UINT32 MvqId;  // the security-processor generation this side belongs to
  UINT8 Reserved18[8];
};
static_assert(sizeof(AbSlotHeader2) == 32);
static_assert(offsetof(AbSlotHeader2, Priority) == 0x04);
static_assert(offsetof(AbSlotHeader2, Aux1) == 0x08);
static_assert(offsetof(AbSlotHeader2, Aux2) == 0x0C);
static_assert(offsetof(AbSlotHeader2, L2Address) == 0x10);
static_assert(offsetof(AbSlotHeader2, MvqId) == 0x14);

// ---------------------------------------------------------------------------
// The A/B description kept in the buffer cache. It can come in from an
// earlier boot phase, so it is fixed byte for byte: packed, no gaps.
// ---------------------------------------------------------------------------

inline constexpr UINT8 kEmptySlot = 0xFF;

struct __attribute__((packed)) AbSlot {
  UINT8 EntryIndex;  // level-1 index of the pointer entry; kEmptySlot when empty
  UINT32 Priority;
  UINT32 Aux1;
  UINT32 Aux2;  // widened from one byte in layout 2
  UINT32 L2Address;
};
static_assert(sizeof(AbSlot) == 17);
static_assert(offsetof(AbSlot, L2Address) == 13);

struct __attribute__((packed)) AbRecoveryInfo {
  UINT32 PointerCount;  // A and B pointer entries in the level-1 directory
  UINT8 EligibleCount;
  UINT8 EligibleIndices[kMaxAbPointerEntries];
  UINT8 IneligibleCount;
  UINT8 IneligibleIndices[kMaxAbPointerEntries];
  AbSlot SlotA;
  AbSlot SlotB;
};
static_assert(sizeof(AbRecoveryInfo) == 104);
static_assert(offsetof(AbRecoveryInfo, EligibleCount) == 4);
static_assert(offsetof(AbRecoveryInfo, EligibleIndices) == 5);
static_assert(offsetof(AbRecoveryInfo, IneligibleCount) == 37);
static_assert(offsetof(AbRecoveryInfo, IneligibleIndices) == 38);
static_assert(offsetof(AbRecoveryInfo, SlotA) == 70);
static_assert(offsetof(AbRecoveryInfo, SlotB) == 87);

// ---------------------------------------------------------------------------
// Views of a directory copy
// ---------------------------------------------------------------------------

inline const DirectoryHeader* HeaderOf(const VOID* Copy) { return static_cast<const DirectoryHeader*>(Copy); }

inline const DirectoryEntry* EntriesOf(const VOID* Copy) {
  return reinterpret_cast<const DirectoryEntry*>(static_cast<const UINT8*>(Copy) + sizeof(DirectoryHeader));
}

// Entries of a level-1 or level-2 copy that a walk may visit: EntryCount, but
// never more than the copy holds.
inline UINT32 EntriesInCopy(const VOID* Copy) {
  const UINT32 count = HeaderOf(Copy)->EntryCount;
  return count < kDirectoryCopyEntries ? count : kDirectoryCopyEntries;
}

inline UINT32 LocationModeOf(UINT64 Location) { return static_cast<UINT32>(Location >> kLocationModeShift); }

}  // namespace ftpm::directory
