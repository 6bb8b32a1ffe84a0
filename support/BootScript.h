// Boot-script record and lock-box support: the shared description of the
// platform's S3 boot-script table and what happens to it at ready-to-lock.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

// Creates a TPL_CALLBACK signal event for NotifyFunction, registers it for the
// DXE SMM ready-to-lock protocol (key stored at Registration) and signals it
// once. Returns the event, or NULL when none was created.
EFI_EVENT CreateReadyToLockNotify(EFI_EVENT_NOTIFY NotifyFunction, VOID** Registration);

// Start-up step; always EFI_SUCCESS.
EFI_STATUS BootScriptStartUp();
// Last link of the shut-down chain: undoes what start-up created.
void BootScriptShutDown();

}  // namespace ftpm::support
