#include "driver/EntryPoint.h"

#include "support/Firmware.h"

namespace ftpm::driver {

EFI_STATUS EFIAPI EntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  support::RecordFirmwareTables(ImageHandle, SystemTable);
  return EFI_SUCCESS;
}

}  // namespace ftpm::driver

extern "C" EFI_STATUS EFIAPI FtpmRecoveryDxeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  return ftpm::driver::EntryPoint(ImageHandle, SystemTable);
}
