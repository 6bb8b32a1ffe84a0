// The driver image as the simulated platform loads it: its module state
// records returned to their load state, and its entry symbol.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::sim {

// Returns every mutable record of the driver layers to its state at load, so
// each simulated boot starts from a freshly loaded image.
void ResetDriverImage();

// Records the firmware tables in the driver as its entry point's first step
// does, for tests that call driver modules directly.
void BindDriverImage(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);

// Calls the image's entry symbol.
EFI_STATUS StartDriverImage(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);

}  // namespace ftpm::sim
