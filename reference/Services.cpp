#include "reference/Services.h"

#include "platform/Guids.h"
#include "support/Memory.h"

namespace ftpm::reference {

namespace {
// Only the protocol's presence matters; its interface holds nothing.
constinit UINT64 gEraseServiceReadyInterface = 0;
}  // namespace

EFI_STATUS InstallEraseServiceReady(EFI_BOOT_SERVICES* BootServices) {
  EFI_HANDLE handle = nullptr;
  return BootServices->InstallProtocolInterface(&handle, &gEraseServiceReadyProtocolGuid, EFI_NATIVE_INTERFACE,
                                                &gEraseServiceReadyInterface);
}

EFI_STATUS PublishTscFrequency(EFI_BOOT_SERVICES* BootServices, UINT64 Frequency, VOID** Table) {
  VOID* block = nullptr;
  EFI_STATUS status = BootServices->AllocatePool(EfiBootServicesData, sizeof(UINT64), &block);
  if (EFI_ERROR(status) || block == nullptr) {
    return EFI_ERROR(status) ? status : EFI_OUT_OF_RESOURCES;
  }
  support::WriteUnaligned<UINT64>(block, Frequency);
  status = BootServices->InstallConfigurationTable(&gTscFrequencyTableGuid, block);
  if (EFI_ERROR(status)) {
    BootServices->FreePool(block);
    return status;
  }
  *Table = block;
  return EFI_SUCCESS;
}

const driver::FTPM_RECOVERY_PROTOCOL* FindRecoveryProtocol(EFI_BOOT_SERVICES* BootServices) {
  VOID* found = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&gFtpmRecoveryProtocolGuid, nullptr, &found))) {
    return nullptr;
  }
  const auto* protocol = static_cast<const driver::FTPM_RECOVERY_PROTOCOL*>(found);
  return protocol != nullptr && protocol->RecoveryPromptHandler != nullptr ? protocol : nullptr;
}

void StopWatchdog(EFI_BOOT_SERVICES* BootServices) { BootServices->SetWatchdogTimer(0, 0, 0, nullptr); }

}  // namespace ftpm::reference
