// The fw_cfg device behind its x86 I/O ports: a 16-bit item selector and an
// 8-bit data port that streams the selected item; and the run's
// configuration read from it.
#include "platform/Hardware.h"
#include "qemu/platform/FwCfg.h"
#include "qemu/platform/Platform.h"

namespace ftpm::qemu {

namespace {

void SelectItem(UINT16 Item, void* /*Context*/) { platform::IoWrite16(kFwCfgSelectorPort, Item); }

void ReadBytes(UINT8* Buffer, UINTN Length, void* /*Context*/) {
  for (UINTN i = 0; i < Length; ++i) {
    Buffer[i] = platform::IoRead8(kFwCfgDataPort);
  }
}

constexpr UINTN kMaxConfigSize = 0x4000;
constinit char gConfigText[kMaxConfigSize + 1] = {};

}  // namespace

FwCfgAccess FwCfgPorts() { return FwCfgAccess{SelectItem, ReadBytes, nullptr}; }

void LoadPlatformConfig(bool ReportIt) {
  UINTN size = 0;
  const FwCfgResult result =
      ReadFwCfgFile(FwCfgPorts(), kPlatformConfigFile, reinterpret_cast<UINT8*>(gConfigText), kMaxConfigSize, &size);
  ConfigResult parsed{};
  if (result == FwCfgResult::Read) {
    ParseConfig(gConfigText, size, gPlatform.Config, parsed);
  }
  BuildFlashMap(gPlatform.Config, &gPlatform.FlashMap);
  if (ReportIt) {
    Report("fw-cfg").Text("file", kPlatformConfigFile).Text("result", FwCfgResultName(result)).Dec("size", size).Emit();
    ReportConfigResult(result == FwCfgResult::Read ? EFI_SUCCESS : EFI_NOT_FOUND, size, parsed);
  }
}

}  // namespace ftpm::qemu
