// The fw_cfg device behind its x86 I/O ports: a 16-bit item selector and an
// 8-bit data port that streams the selected item.
#include "platform/Hardware.h"
#include "qemu/reference/FwCfg.h"

namespace ftpm::reference {

namespace {

void SelectItem(UINT16 Item, void* /*Context*/) { platform::IoWrite16(kFwCfgSelectorPort, Item); }

void ReadBytes(UINT8* Buffer, UINTN Length, void* /*Context*/) {
  for (UINTN i = 0; i < Length; ++i) {
    Buffer[i] = platform::IoRead8(kFwCfgDataPort);
  }
}

}  // namespace

FwCfgAccess FwCfgPorts() { return FwCfgAccess{SelectItem, ReadBytes, nullptr}; }

}  // namespace ftpm::reference
