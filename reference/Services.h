// The smaller pieces of the platform's duty around the driver: the
// erase-service-ready protocol, the time-stamp-counter frequency table, and
// the caller of the recovery prompt.
#pragma once

#include "driver/RecoveryProtocol.h"
#include "platform/Uefi.h"

namespace ftpm::reference {

// Installs the erase-service-ready protocol on a new handle. The driver
// sends no erase request before it is there: install it once the flash
// service takes requests, and last of the platform's pieces, so that a
// driver whose dependency expression names it starts with all of them.
EFI_STATUS InstallEraseServiceReady(EFI_BOOT_SERVICES* BootServices);

// Publishes the time-stamp counter's frequency (ticks per second) as the
// configuration table gTscFrequencyTableGuid, a pointer to a UINT64 in
// boot-services pool. The driver reads it instead of calibrating against the
// ACPI power-management timer at 0xFED80808, which a platform without that
// timer must do before the driver starts. *Table receives the block.
EFI_STATUS PublishTscFrequency(EFI_BOOT_SERVICES* BootServices, UINT64 Frequency, VOID** Table);

// The caller's two steps, once the consoles are connected and at
// TPL_APPLICATION (the prompt's key wait is a WaitForEvent): find the
// recovery protocol (nullptr: no recovery requested this boot), and, before
// calling RecoveryPromptHandler, stop the boot manager's watchdog, since a
// person may take longer to decide than the five minutes it arms around a
// load option.
const driver::FTPM_RECOVERY_PROTOCOL* FindRecoveryProtocol(EFI_BOOT_SERVICES* BootServices);
void StopWatchdog(EFI_BOOT_SERVICES* BootServices);

}  // namespace ftpm::reference
