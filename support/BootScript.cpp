#include "support/BootScript.h"

namespace ftpm::support {

EFI_EVENT CreateReadyToLockNotify(EFI_EVENT_NOTIFY /*NotifyFunction*/, VOID** /*Registration*/) { return nullptr; }

EFI_STATUS BootScriptStartUp() { return EFI_SUCCESS; }

void BootScriptShutDown() {}

}  // namespace ftpm::support
