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

VOID* LocateInterface(const EFI_GUID& Guid, EFI_STATUS* Status) {
  VOID* found = nullptr;
  EFI_STATUS status = gFirmware.BootServices->LocateProtocol(&Guid, nullptr, &found);
  if (EFI_ERROR(status)) {
    found = nullptr;
  } else if (found == nullptr) {
    status = EFI_NOT_FOUND;
  }
  if (Status != nullptr) {
    *Status = status;
  }
  return found;
}

}  // namespace ftpm::support
