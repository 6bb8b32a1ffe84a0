#include "support/Firmware.h"

#include "support/Memory.h"

namespace ftpm::support {

constinit FirmwareState gFirmware{};

void RecordFirmwareTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  gFirmware.ImageHandle = ImageHandle;
  gFirmware.SystemTable = SystemTable;
  gFirmware.RuntimeServices = SystemTable->RuntimeServices;
  gFirmware.BootServices = SystemTable->BootServices;
}

EFI_STATUS GetConfigurationTable(const EFI_GUID* Guid, VOID** Table) {
  *Table = nullptr;
  const EFI_SYSTEM_TABLE* st = gFirmware.SystemTable;
  for (UINTN i = 0; i < st->NumberOfTableEntries; ++i) {
    if (CompareGuid(&st->ConfigurationTable[i].VendorGuid, Guid) != FALSE) {
      *Table = st->ConfigurationTable[i].VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

}  // namespace ftpm::support
