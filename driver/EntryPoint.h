// The driver's entry point and FtpmRecoveryProtocol.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::driver {

EFI_STATUS EFIAPI EntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

}  // namespace ftpm::driver

// The image's entry symbol; forwards to ftpm::driver::EntryPoint.
extern "C" EFI_STATUS EFIAPI FtpmRecoveryDxeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);
