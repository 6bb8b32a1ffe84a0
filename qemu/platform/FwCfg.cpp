#include "qemu/platform/FwCfg.h"

namespace ftpm::qemu {

namespace {

UINT32 BigEndian32(const UINT8* Bytes) {
  return (static_cast<UINT32>(Bytes[0]) << 24) | (static_cast<UINT32>(Bytes[1]) << 16) |
         (static_cast<UINT32>(Bytes[2]) << 8) | static_cast<UINT32>(Bytes[3]);
}

UINT16 BigEndian16(const UINT8* Bytes) {
  return static_cast<UINT16>((static_cast<UINT16>(Bytes[0]) << 8) | static_cast<UINT16>(Bytes[1]));
}

// Name as the directory holds it: up to 56 characters, NUL-terminated when
// shorter. A name of 56 characters or more never matches.
bool NameMatches(const char (&Field)[56], const char* Name) {
  UINTN i = 0;
  for (; i < sizeof(Field); ++i) {
    if (Field[i] != Name[i]) {
      return false;
    }
    if (Name[i] == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

FwCfgResult ReadFwCfgFile(const FwCfgAccess& Device, const char* Name, UINT8* Buffer, UINTN Capacity, UINTN* Size) {
  *Size = 0;
  UINT8 signature[4] = {};
  Device.Select(kFwCfgSignatureItem, Device.Context);
  Device.Read(signature, sizeof(signature), Device.Context);
  if (signature[0] != 'Q' || signature[1] != 'E' || signature[2] != 'M' || signature[3] != 'U') {
    return FwCfgResult::NoDevice;
  }
  UINT8 countBytes[4] = {};
  Device.Select(kFwCfgFileDirectoryItem, Device.Context);
  Device.Read(countBytes, sizeof(countBytes), Device.Context);
  const UINT32 count = BigEndian32(countBytes);
  for (UINT32 n = 0; n < count && n < kMaxFwCfgFiles; ++n) {
    FW_CFG_FILE entry{};
    Device.Read(reinterpret_cast<UINT8*>(&entry), sizeof(entry), Device.Context);
    if (!NameMatches(entry.Name, Name)) {
      continue;
    }
    const UINT32 size = BigEndian32(entry.Size);
    *Size = size;
    if (size > Capacity) {
      return FwCfgResult::TooLarge;
    }
    Device.Select(BigEndian16(entry.Select), Device.Context);
    Device.Read(Buffer, size, Device.Context);
    return FwCfgResult::Read;
  }
  return FwCfgResult::NotFound;
}

const char* FwCfgResultName(FwCfgResult Result) {
  switch (Result) {
    case FwCfgResult::Read:
      return "read";
    case FwCfgResult::NoDevice:
      return "no-device";
    case FwCfgResult::NotFound:
      return "not-found";
    case FwCfgResult::TooLarge:
      return "too-large";
  }
  return "unknown";
}

}  // namespace ftpm::qemu
