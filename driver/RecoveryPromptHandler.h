// RecoveryPromptHandler: asks on the console whether the NVRAM of the
// security coprocessor may be erased and, on consent, has it erased through
// SMM and cold-resets the machine.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::driver {

EFI_STATUS EFIAPI RecoveryPromptHandler();

}  // namespace ftpm::driver
