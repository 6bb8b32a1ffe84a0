// Firmware storage: firmware volumes, the firmware files inside them, their
// sections and the dependency expressions that gate a driver's dispatch.
// Field for field in the order the PI firmware-storage definitions give, with
// asserted layouts; the packager writes them and firmware reads them.
#pragma once

#include "platform/Base.h"

// ---------------------------------------------------------------------------
// Firmware files (FFS)
// ---------------------------------------------------------------------------

using EFI_FV_FILETYPE = UINT8;
using EFI_FFS_FILE_ATTRIBUTES = UINT8;
using EFI_FFS_FILE_STATE = UINT8;

inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_RAW = 0x01;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FREEFORM = 0x02;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_SECURITY_CORE = 0x03;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PEI_CORE = 0x04;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DXE_CORE = 0x05;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PEIM = 0x06;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DRIVER = 0x07;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_COMBINED_PEIM_DRIVER = 0x08;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_APPLICATION = 0x09;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_MM = 0x0A;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE = 0x0B;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_COMBINED_MM_DXE = 0x0C;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_MM_CORE = 0x0D;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_MM_STANDALONE = 0x0E;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_MM_CORE_STANDALONE = 0x0F;
// 0xF0 to 0xFF belong to the file system itself; 0xF0 fills space.
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_FFS_MIN = 0xF0;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PAD = 0xF0;

inline constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_LARGE_FILE = 0x01;
inline constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_DATA_ALIGNMENT_2 = 0x02;
inline constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_FIXED = 0x04;
inline constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_DATA_ALIGNMENT = 0x38;
inline constexpr EFI_FFS_FILE_ATTRIBUTES FFS_ATTRIB_CHECKSUM = 0x40;

// IntegrityCheck.Checksum.File of a file whose data is not checksummed.
inline constexpr UINT8 FFS_FIXED_CHECKSUM = 0xAA;

// State bits, written as shown for erase polarity 0 and inverted for erase
// polarity 1. A file ready for use has the first three set.
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_CONSTRUCTION = 0x01;
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_VALID = 0x02;
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_DATA_VALID = 0x04;
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_MARKED_FOR_UPDATE = 0x08;
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_DELETED = 0x10;
inline constexpr EFI_FFS_FILE_STATE EFI_FILE_HEADER_INVALID = 0x20;

union EFI_FFS_INTEGRITY_CHECK {
  struct {
    // Makes the header sum to zero, State and File taken as zero.
    UINT8 Header;
    // Makes the file data (everything after the header) sum to zero when
    // FFS_ATTRIB_CHECKSUM is set; FFS_FIXED_CHECKSUM otherwise.
    UINT8 File;
  } Checksum;
  UINT16 Checksum16;
};
static_assert(sizeof(EFI_FFS_INTEGRITY_CHECK) == 2);

struct EFI_FFS_FILE_HEADER {
  EFI_GUID Name;
  EFI_FFS_INTEGRITY_CHECK IntegrityCheck;
  EFI_FV_FILETYPE Type;
  EFI_FFS_FILE_ATTRIBUTES Attributes;
  UINT8 Size[3];  // little-endian, header included
  EFI_FFS_FILE_STATE State;
};
static_assert(sizeof(EFI_FFS_FILE_HEADER) == 24);
static_assert(offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) == 16);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Type) == 18);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Attributes) == 19);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Size) == 20);
static_assert(offsetof(EFI_FFS_FILE_HEADER, State) == 23);

// The header of a file of 16 MiB or more (FFS_ATTRIB_LARGE_FILE, third
// firmware file system only): Size is zero and ExtendedSize holds the size.
struct EFI_FFS_FILE_HEADER2 {
  EFI_FFS_FILE_HEADER Common;
  UINT64 ExtendedSize;  // header included
};
static_assert(sizeof(EFI_FFS_FILE_HEADER2) == 32);
static_assert(offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize) == 24);

// Files start 8-byte aligned within a volume. FFS_ATTRIB_DATA_ALIGNMENT
// (bits 3-5) asks for more for the file's data, the byte after its header:
// log2 of the alignment from this table, from the second table when
// FFS_ATTRIB_DATA_ALIGNMENT_2 is set.
inline constexpr UINTN kFfsFileAlignment = 8;
inline constexpr UINT8 kFfsDataAlignmentLog2[8] = {0, 4, 7, 9, 10, 12, 15, 16};
inline constexpr UINT8 kFfsDataAlignment2Log2[8] = {17, 18, 19, 20, 21, 22, 23, 24};
// The largest file a 24-bit size describes; larger ones need the
// extended header of large-file volumes.
inline constexpr UINT32 kFfsMaxFileSize = 0xFFFFFF;

// ---------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------

using EFI_SECTION_TYPE = UINT8;

inline constexpr EFI_SECTION_TYPE EFI_SECTION_COMPRESSION = 0x01;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_GUID_DEFINED = 0x02;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_PE32 = 0x10;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_PIC = 0x11;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_TE = 0x12;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_DXE_DEPEX = 0x13;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_VERSION = 0x14;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_USER_INTERFACE = 0x15;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_FIRMWARE_VOLUME_IMAGE = 0x17;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_RAW = 0x19;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_PEI_DEPEX = 0x1B;

struct EFI_COMMON_SECTION_HEADER {
  UINT8 Size[3];  // little-endian, header included
  EFI_SECTION_TYPE Type;
};
static_assert(sizeof(EFI_COMMON_SECTION_HEADER) == 4);
static_assert(offsetof(EFI_COMMON_SECTION_HEADER, Type) == 3);

// A section of 16 MiB or more: Size is 0xFFFFFF and ExtendedSize holds the
// size.
struct EFI_COMMON_SECTION_HEADER2 {
  UINT8 Size[3];
  EFI_SECTION_TYPE Type;
  UINT32 ExtendedSize;  // header included
};
static_assert(sizeof(EFI_COMMON_SECTION_HEADER2) == 8);
static_assert(offsetof(EFI_COMMON_SECTION_HEADER2, ExtendedSize) == 4);

// EFI_SECTION_GUID_DEFINED after its common header: the GUID says how the
// data from DataOffset (counted from the section's start) is encoded.
struct EFI_GUID_DEFINED_SECTION_FIELDS {
  EFI_GUID SectionDefinitionGuid;
  UINT16 DataOffset;
  UINT16 Attributes;
};
static_assert(sizeof(EFI_GUID_DEFINED_SECTION_FIELDS) == 20);
static_assert(offsetof(EFI_GUID_DEFINED_SECTION_FIELDS, DataOffset) == 16);
static_assert(offsetof(EFI_GUID_DEFINED_SECTION_FIELDS, Attributes) == 18);

inline constexpr UINT16 EFI_GUIDED_SECTION_PROCESSING_REQUIRED = 0x01;
inline constexpr UINT16 EFI_GUIDED_SECTION_AUTH_STATUS_VALID = 0x02;

// The LZMA "alone" header that starts the data of an LZMA-compressed
// GUID-defined section: the properties byte ((pb * 5 + lp) * 9 + lc), the
// dictionary size and the uncompressed size, little-endian.
inline constexpr UINTN kLzmaHeaderSize = 13;

// Sections start 4-byte aligned within a file's data.
inline constexpr UINTN kSectionAlignment = 4;

// ---------------------------------------------------------------------------
// Dependency expressions (postfix, ended by EFI_DEP_END)
// ---------------------------------------------------------------------------

inline constexpr UINT8 EFI_DEP_BEFORE = 0x00;  // + GUID; the whole expression
inline constexpr UINT8 EFI_DEP_AFTER = 0x01;   // + GUID; the whole expression
inline constexpr UINT8 EFI_DEP_PUSH = 0x02;    // + GUID of a protocol
inline constexpr UINT8 EFI_DEP_AND = 0x03;
inline constexpr UINT8 EFI_DEP_OR = 0x04;
inline constexpr UINT8 EFI_DEP_NOT = 0x05;
inline constexpr UINT8 EFI_DEP_TRUE = 0x06;
inline constexpr UINT8 EFI_DEP_FALSE = 0x07;
inline constexpr UINT8 EFI_DEP_END = 0x08;
inline constexpr UINT8 EFI_DEP_SOR = 0x09;  // first opcode only

// ---------------------------------------------------------------------------
// Firmware volumes
// ---------------------------------------------------------------------------

using EFI_FVB_ATTRIBUTES_2 = UINT32;

inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_READ_DISABLED_CAP = 0x00000001;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_READ_ENABLED_CAP = 0x00000002;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_READ_STATUS = 0x00000004;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WRITE_DISABLED_CAP = 0x00000008;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WRITE_ENABLED_CAP = 0x00000010;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WRITE_STATUS = 0x00000020;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_LOCK_CAP = 0x00000040;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_LOCK_STATUS = 0x00000080;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_STICKY_WRITE = 0x00000200;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_MEMORY_MAPPED = 0x00000400;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_ERASE_POLARITY = 0x00000800;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_READ_LOCK_CAP = 0x00001000;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_READ_LOCK_STATUS = 0x00002000;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WRITE_LOCK_CAP = 0x00004000;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WRITE_LOCK_STATUS = 0x00008000;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_ALIGNMENT = 0x001F0000;  // log2 of the alignment, bits 16-20
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_ALIGNMENT_8 = 0x00030000;
inline constexpr EFI_FVB_ATTRIBUTES_2 EFI_FVB2_WEAK_ALIGNMENT = 0x80000000;

inline constexpr UINT32 EFI_FVH_SIGNATURE = 0x4856465F;  // "_FVH"
inline constexpr UINT8 EFI_FVH_REVISION = 0x02;

struct EFI_FV_BLOCK_MAP_ENTRY {
  UINT32 NumBlocks;
  UINT32 Length;
};
static_assert(sizeof(EFI_FV_BLOCK_MAP_ENTRY) == 8);

struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;  // the whole volume, header included
  UINT32 Signature;
  EFI_FVB_ATTRIBUTES_2 Attributes;
  UINT16 HeaderLength;     // block map and its {0, 0} terminator included
  UINT16 Checksum;         // makes the header's 16-bit words sum to zero
  UINT16 ExtHeaderOffset;  // 0: no extended header
  UINT8 Reserved[1];
  UINT8 Revision;
  EFI_FV_BLOCK_MAP_ENTRY BlockMap[1];  // runs on to a {0, 0} entry
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid) == 16);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 32);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 40);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes) == 44);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 48);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum) == 50);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, ExtHeaderOffset) == 52);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Reserved) == 54);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision) == 55);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap) == 56);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 64);

// At ExtHeaderOffset when that is not zero; entries follow up to
// ExtHeaderSize. Files start 8-byte aligned after it.
struct EFI_FIRMWARE_VOLUME_EXT_HEADER {
  EFI_GUID FvName;
  UINT32 ExtHeaderSize;  // entries included
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) == 20);

struct EFI_FIRMWARE_VOLUME_EXT_ENTRY {
  UINT16 ExtEntrySize;  // this header included
  UINT16 ExtEntryType;
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_EXT_ENTRY) == 4);

// How many bytes at the start of the volume are in use; the rest is erased.
inline constexpr UINT16 EFI_FV_EXT_TYPE_USED_SIZE_TYPE = 0x03;
struct EFI_FIRMWARE_VOLUME_EXT_ENTRY_USED_SIZE_TYPE {
  EFI_FIRMWARE_VOLUME_EXT_ENTRY Hdr;
  UINT32 UsedSize;
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_EXT_ENTRY_USED_SIZE_TYPE) == 8);
