#include "driver/EntryPoint.h"

#include "driver/RecoveryPromptHandler.h"
#include "platform/Guids.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Firmware.h"
#include "support/S3SaveTable.h"
#include "support/Settings.h"

namespace ftpm::driver {

constinit EntryState gEntryState{};
constinit FTPM_RECOVERY_PROTOCOL gFtpmRecoveryProtocol{RecoveryPromptHandler, kRecoveryProtocolValue};

EFI_STATUS EFIAPI EntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  support::RecordFirmwareTables(ImageHandle, SystemTable);
  gEntryState.SmbusHc = support::LocateInterface(gSmbusHcProtocolGuid);
  support::CalibrateTsc();
  support::BootScriptStartUp();
  support::S3SaveTableStartUp();
  support::ConfigBlockStartUp();
  support::LocateHobList();
  support::ImportHeapBuffers();
  support::GetConfigurationTable(&gEfiDxeServicesTableGuid, &gEntryState.DxeServices);
  gEntryState.HiiString = support::LocateInterface(gHiiStringProtocolGuid);
  gEntryState.HiiDatabase = support::LocateInterface(gHiiDatabaseProtocolGuid);
  gEntryState.HiiConfigRouting = support::LocateInterface(gHiiConfigRoutingProtocolGuid);
  gEntryState.HiiFont = support::LocateInterface(gHiiFontProtocolGuid);
  gEntryState.HiiImage = support::LocateInterface(gHiiImageProtocolGuid);

  // With the settings protocol missing both read FALSE: no prompt this boot.
  BOOLEAN recovery = support::SettingGetBool(support::kNvramResetRequest);
  if (recovery == FALSE) {
    recovery = support::SettingGetBool(support::kFtpmResetRequest);
  }
  if (recovery == FALSE) {
    return EFI_SUCCESS;
  }

  EFI_HANDLE handle = ImageHandle;
  const EFI_STATUS status = support::BootServices()->InstallProtocolInterface(
      &handle, &gFtpmRecoveryProtocolGuid, EFI_NATIVE_INTERFACE, &gFtpmRecoveryProtocol);
  if (EFI_ERROR(status)) {
    support::S3SaveTableShutDown();
    support::BootScriptShutDown();
    // The list head published at start-up lies in this image, which the
    // firmware unloads when the entry point fails: withdraw it.
    support::BufferCacheShutDown();
    return status;
  }
  return EFI_SUCCESS;
}

}  // namespace ftpm::driver

extern "C" EFI_STATUS EFIAPI FtpmRecoveryDxeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  return ftpm::driver::EntryPoint(ImageHandle, SystemTable);
}
