// The firmware tables the driver was started with, and configuration-table
// lookup. Every other module reaches the firmware through these.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::support {

struct FirmwareState {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_BOOT_SERVICES* BootServices;
  EFI_RUNTIME_SERVICES* RuntimeServices;
};

// Set by the entry point before anything else runs; kept for the driver's life.
extern constinit FirmwareState gFirmware;

inline EFI_BOOT_SERVICES* BootServices() { return gFirmware.BootServices; }
inline EFI_RUNTIME_SERVICES* RuntimeServices() { return gFirmware.RuntimeServices; }
inline EFI_SYSTEM_TABLE* SystemTable() { return gFirmware.SystemTable; }

void RecordFirmwareTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable);

// Sets *Table to NULL, then scans the system table's configuration tables from
// index 0. EFI_SUCCESS with the first match's pointer, else EFI_NOT_FOUND.
EFI_STATUS GetConfigurationTable(const EFI_GUID* Guid, VOID** Table);

}  // namespace ftpm::support
