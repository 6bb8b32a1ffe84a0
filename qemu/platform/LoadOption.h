// UEFI load options (EFI_LOAD_OPTION), as the reference platform registers
// the recovery caller: a SysPrep#### variable naming an application file in
// the firmware volume, and its number in SysPrepOrder. Building and checking
// the bytes touches no firmware, so the host build tests it directly.
#pragma once

#include "platform/Base.h"

namespace ftpm::qemu {

inline constexpr UINT32 kLoadOptionActive = 0x00000001;
inline constexpr UINT32 kLoadOptionCategoryApp = 0x00000100;

// Device-path node kinds used here.
inline constexpr UINT8 kMediaDevicePathType = 0x04;
inline constexpr UINT8 kMediaPiwgFirmwareFileSubType = 0x06;
inline constexpr UINT8 kEndDevicePathType = 0x7F;
inline constexpr UINT8 kEndEntireDevicePathSubType = 0xFF;
inline constexpr UINTN kDevicePathNodeHeader = 4;
inline constexpr UINTN kFirmwareFileNodeSize = kDevicePathNodeHeader + 16;

// Bytes of the device path at Path up to and including its end node, or 0
// when no well-formed end node lies within Limit bytes (a node shorter than
// its header, or one running past Limit).
UINTN DevicePathSize(const UINT8* Path, UINTN Limit);

// Appends a firmware-file node naming File and an end node to the device
// path Prefix (PrefixSize bytes, its own end node excluded). Returns the
// bytes written to Out, 0 when they do not fit in Capacity.
UINTN AppendFirmwareFileNode(const UINT8* Prefix, UINTN PrefixSize, const EFI_GUID& File, UINT8* Out, UINTN Capacity);

// An EFI_LOAD_OPTION: Attributes, the file path's length, the description
// (UTF-16 with its NUL), the file path, no optional data. Returns the bytes
// written to Out, 0 when they do not fit in Capacity or the path is longer
// than a load option can say.
UINTN BuildLoadOption(UINT32 Attributes, const CHAR16* Description, const UINT8* FilePath, UINTN FilePathSize,
                      UINT8* Out, UINTN Capacity);

// "SysPrep" + four upper-case hex digits, NUL-terminated.
inline constexpr UINTN kLoadOptionNameLength = 12;
void LoadOptionName(const char* Prefix, UINT16 Number, CHAR16 (&Name)[kLoadOptionNameLength + 1]);

}  // namespace ftpm::qemu
