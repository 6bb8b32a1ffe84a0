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
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DXE_CORE = 0x05;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_PEIM = 0x06;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_DRIVER = 0x07;
inline constexpr EFI_FV_FILETYPE EFI_FV_FILETYPE_APPLICATION = 0x09;
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

// Files start 8-byte aligned within a volume.
inline constexpr UINTN kFfsFileAlignment = 8;
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
