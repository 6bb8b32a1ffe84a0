// QEMU's firmware configuration device (fw_cfg): a run's configuration
// reaches the reference platform as a named file of it
// (-fw_cfg name=opt/ftpm/platform.cfg,file=...), the way a real platform's
// settings come from its own storage. The device is an item selector and a
// byte stream; the lookup below works on any pair of those two operations,
// so the host build tests it against a model of the device.
#pragma once

#include "platform/Base.h"

namespace ftpm::qemu {

inline constexpr char kPlatformConfigFile[] = "opt/ftpm/platform.cfg";

// I/O ports of the device on x86 and the items this code reads.
inline constexpr UINT16 kFwCfgSelectorPort = 0x510;
inline constexpr UINT16 kFwCfgDataPort = 0x511;
inline constexpr UINT16 kFwCfgSignatureItem = 0x0000;  // "QEMU"
inline constexpr UINT16 kFwCfgFileDirectoryItem = 0x0019;

// One entry of the file directory; numbers are big-endian.
struct FW_CFG_FILE {
  UINT8 Size[4];
  UINT8 Select[2];
  UINT8 Reserved[2];
  char Name[56];  // NUL-terminated unless it fills the field
};
static_assert(sizeof(FW_CFG_FILE) == 64);

// A directory announcing more files than this is not walked further.
inline constexpr UINT32 kMaxFwCfgFiles = 4096;

struct FwCfgAccess {
  void (*Select)(UINT16 Item, void* Context);
  void (*Read)(UINT8* Buffer, UINTN Length, void* Context);  // the next bytes of the selected item
  void* Context;
};

// The device behind ports 0x510/0x511 (UEFI builds only).
FwCfgAccess FwCfgPorts();

enum class FwCfgResult : UINT8 { Read, NoDevice, NotFound, TooLarge };

// Reads the file Name into Buffer. *Size is its size (also when it is too
// large for Capacity, in which case nothing is read).
FwCfgResult ReadFwCfgFile(const FwCfgAccess& Device, const char* Name, UINT8* Buffer, UINTN Capacity, UINTN* Size);

const char* FwCfgResultName(FwCfgResult Result);

}  // namespace ftpm::qemu
