#include "qemu/platform/LoadOption.h"

namespace ftpm::qemu {

namespace {

UINTN NodeLength(const UINT8* Node) { return static_cast<UINTN>(Node[2]) | (static_cast<UINTN>(Node[3]) << 8); }

void Store16(UINT8* Out, UINT16 Value) {
  Out[0] = static_cast<UINT8>(Value);
  Out[1] = static_cast<UINT8>(Value >> 8);
}

}  // namespace

UINTN DevicePathSize(const UINT8* Path, UINTN Limit) {
  UINTN offset = 0;
  while (Path != nullptr && Limit - offset >= kDevicePathNodeHeader) {
    const UINT8* node = Path + offset;
    const UINTN length = NodeLength(node);
    if (length < kDevicePathNodeHeader || length > Limit - offset) {
      return 0;
    }
    offset += length;
    if (node[0] == kEndDevicePathType && node[1] == kEndEntireDevicePathSubType) {
      return offset;
    }
  }
  return 0;
}

UINTN AppendFirmwareFileNode(const UINT8* Prefix, UINTN PrefixSize, const EFI_GUID& File, UINT8* Out, UINTN Capacity) {
  const UINTN total = PrefixSize + kFirmwareFileNodeSize + kDevicePathNodeHeader;
  if (Out == nullptr || PrefixSize > Capacity || total > Capacity || (PrefixSize != 0 && Prefix == nullptr)) {
    return 0;
  }
  for (UINTN i = 0; i < PrefixSize; ++i) {
    Out[i] = Prefix[i];
  }
  UINT8* node = Out + PrefixSize;
  node[0] = kMediaDevicePathType;
  node[1] = kMediaPiwgFirmwareFileSubType;
  Store16(node + 2, static_cast<UINT16>(kFirmwareFileNodeSize));
  const auto* guid = reinterpret_cast<const UINT8*>(&File);
  for (UINTN i = 0; i < sizeof(EFI_GUID); ++i) {
    node[kDevicePathNodeHeader + i] = guid[i];
  }
  UINT8* end = node + kFirmwareFileNodeSize;
  end[0] = kEndDevicePathType;
  end[1] = kEndEntireDevicePathSubType;
  Store16(end + 2, static_cast<UINT16>(kDevicePathNodeHeader));
  return total;
}

UINTN BuildLoadOption(UINT32 Attributes, const CHAR16* Description, const UINT8* FilePath, UINTN FilePathSize,
                      UINT8* Out, UINTN Capacity) {
  if (Out == nullptr || Description == nullptr || FilePath == nullptr || FilePathSize == 0 || FilePathSize > 0xFFFF) {
    return 0;
  }
  UINTN characters = 0;
  while (Description[characters] != 0) {
    ++characters;
  }
  const UINTN descriptionBytes = (characters + 1) * sizeof(CHAR16);
  const UINTN total = 4 + 2 + descriptionBytes + FilePathSize;
  if (total > Capacity) {
    return 0;
  }
  for (UINTN i = 0; i < 4; ++i) {
    Out[i] = static_cast<UINT8>(Attributes >> (8 * i));
  }
  Store16(Out + 4, static_cast<UINT16>(FilePathSize));
  for (UINTN i = 0; i <= characters; ++i) {
    Store16(Out + 6 + 2 * i, Description[i]);
  }
  for (UINTN i = 0; i < FilePathSize; ++i) {
    Out[6 + descriptionBytes + i] = FilePath[i];
  }
  return total;
}

void LoadOptionName(const char* Prefix, UINT16 Number, CHAR16 (&Name)[kLoadOptionNameLength + 1]) {
  constexpr char kHex[] = "0123456789ABCDEF";
  UINTN n = 0;
  for (; Prefix[n] != 0 && n + 4 < kLoadOptionNameLength; ++n) {
    Name[n] = static_cast<CHAR16>(Prefix[n]);
  }
  for (UINTN digit = 0; digit < 4; ++digit) {
    Name[n + digit] = static_cast<CHAR16>(kHex[(Number >> (12 - 4 * digit)) & 0xF]);
  }
  Name[n + 4] = 0;
}

}  // namespace ftpm::qemu
