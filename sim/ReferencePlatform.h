// The reference platform's contract (reference/) on the simulated machine:
// the same swap detection, request and flash-service rules that
// FtpmPlatformDxe runs in OVMF, here at the moment a platform's DXE driver
// runs, before the recovery driver is dispatched.
#pragma once

#include "reference/FlashMap.h"
#include "reference/Recovery.h"
#include "sim/Machine.h"

namespace ftpm::sim {

struct ReferencePlatform {
  reference::FlashMap Map{};
  reference::RecoveryCase Case = reference::RecoveryCase::None;
  reference::RecoveryState State{};

  // Reads the processor record, decides, sets the request setting (122 or
  // 377, the other cleared) and gives the flash service this platform's map
  // and recovery. The platform must outlive the machine's boot.
  void Start(Machine& m);
};

}  // namespace ftpm::sim
