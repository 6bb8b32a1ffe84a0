#include "driver/RecoveryPromptHandler.h"

namespace ftpm::driver {

EFI_STATUS EFIAPI RecoveryPromptHandler() { return EFI_SUCCESS; }

}  // namespace ftpm::driver
