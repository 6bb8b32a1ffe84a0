#include "support/Settings.h"

#include "platform/Guids.h"
#include "support/Diagnostics.h"
#include "support/Firmware.h"
#include "support/Memory.h"

namespace ftpm::support {

constinit SettingsState gSettingsState{};

namespace {

constexpr char kConstructorName[] = "KelCfgPcdBufLibDxeConstructor";

// A failing lookup leaves the cache NULL, so the next use looks again.
template <typename T>
T* CachedLookup(T*& cache, const EFI_GUID& guid, EFI_STATUS* status = nullptr) {
  if (cache == nullptr) {
    cache = static_cast<T*>(LocateInterface(guid, status));
  } else if (status != nullptr) {
    *status = EFI_SUCCESS;
  }
  return cache;
}

}  // namespace

PCD_PROTOCOL* GetSettingsProtocol() { return CachedLookup(gSettingsState.Pcd, gPcdProtocolGuid); }

EFI_PCD_PROTOCOL* GetGuidSettingsProtocol() { return CachedLookup(gSettingsState.EfiPcd, gEfiPcdProtocolGuid); }

BOOLEAN SettingGetBool(UINTN Token) {
  PCD_PROTOCOL* pcd = GetSettingsProtocol();
  return pcd != nullptr ? pcd->GetBool(Token) : FALSE;
}

UINT8 SettingGet8(UINTN Token) {
  PCD_PROTOCOL* pcd = GetSettingsProtocol();
  return pcd != nullptr ? pcd->Get8(Token) : 0;
}

UINT32 SettingGet32(UINTN Token) {
  PCD_PROTOCOL* pcd = GetSettingsProtocol();
  return pcd != nullptr ? pcd->Get32(Token) : 0;
}

UINT64 SettingGet64(UINTN Token) {
  PCD_PROTOCOL* pcd = GetSettingsProtocol();
  return pcd != nullptr ? pcd->Get64(Token) : 0;
}

EFI_STATUS SettingSet64(UINTN Token, UINT64 Value) {
  PCD_PROTOCOL* pcd = GetSettingsProtocol();
  return pcd != nullptr ? pcd->Set64(Token, Value) : EFI_NOT_FOUND;
}

UINT64 SmmCommBufferAddress() {
  EFI_PCD_PROTOCOL* pcd = GetGuidSettingsProtocol();
  return pcd != nullptr ? pcd->Get64(&gSmmCommBufferTokenSpaceGuid, kSmmCommBufferAddressToken) : 0;
}

void ConfigBlockStartUp() {
  KEL_CFG_PCD_BUF& block = gSettingsState.KelCfgPcdBuf;
  ZeroMem(&block, sizeof block);

  EFI_STATUS status = EFI_SUCCESS;
  if (CachedLookup(gSettingsState.Pcd, gPcdProtocolGuid, &status) == nullptr) {
    DebugPrint(kDebugError, "[%a] LocateProtocol: gPcdProtocolGuid, Status: %r\n", kConstructorName, status);
    return;
  }
  if (CachedLookup(gSettingsState.EfiPcd, gEfiPcdProtocolGuid, &status) == nullptr) {
    DebugPrint(kDebugError, "[%a] LocateProtocol: gEfiPcdProtocolGuid, Status: %r\n", kConstructorName, status);
    return;
  }

  PCD_PROTOCOL* pcd = gSettingsState.Pcd;
  block.PostCodeEnable = 0;
  block.Byte5 = 0;
  block.Signature = 0x00800301;
  block.Byte6 = pcd->GetBool(kConfigByte6Setting);
  block.Byte7 = pcd->Get8(kConfigByte7Setting);
  block.Word8 = 0x0202;
  block.Byte10 = 2;
  block.Dword11 = 0x03E30600;
  block.Byte15 = pcd->GetBool(kConfigByte15Setting);
  block.Dword16 = pcd->Get32(kConfigWord16Setting);
  block.Dword20 = pcd->Get32(kConfigWord20Setting);
  block.Byte24 = pcd->Get8(kConfigByte24Setting);
  block.Byte25 = 2;
}

}  // namespace ftpm::support
