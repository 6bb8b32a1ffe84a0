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

// LocateProtocol without a registration: the interface, or NULL when the
// lookup fails or finds a NULL interface. *Status, when asked for, is the
// lookup's status, or EFI_NOT_FOUND for a NULL interface. Not for protocols
// whose mere presence counts: those may be installed with a NULL interface.
VOID* LocateInterface(const EFI_GUID& Guid, EFI_STATUS* Status = nullptr);

}  // namespace ftpm::support
