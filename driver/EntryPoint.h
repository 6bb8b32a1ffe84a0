// The driver's entry point: the start-up chain in its fixed order, then
// FtpmRecoveryProtocol when this boot needs the recovery prompt.
#pragma once

#include "driver/RecoveryProtocol.h"
#include "platform/Uefi.h"

namespace ftpm::driver {

// Pointers start-up looks up and keeps; nothing else in the driver uses them.
struct EntryState {
  VOID* SmbusHc;
  VOID* DxeServices;
  VOID* HiiString;
  VOID* HiiDatabase;
  VOID* HiiConfigRouting;
  VOID* HiiFont;
  VOID* HiiImage;
};
extern constinit EntryState gEntryState;

// The interface record installed on the image handle; never freed.
extern constinit FTPM_RECOVERY_PROTOCOL gFtpmRecoveryProtocol;

EFI_STATUS EFIAPI EntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

}  // namespace ftpm::driver

// The image's entry symbol; forwards to ftpm::driver::EntryPoint.
extern "C" EFI_STATUS EFIAPI FtpmRecoveryDxeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
