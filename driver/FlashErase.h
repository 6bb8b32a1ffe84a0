// The erase request: asks the platform's SMM flash service to erase one range
// of the SPI flash, through a FlashEraseRequest message in the platform's SMM
// communication buffer.
#pragma once

#include "platform/Pi.h"

namespace ftpm::driver {

// What the request remembers for the driver's life. Both change once, from
// clear to set, and are never cleared: until then every request looks again.
struct FlashEraseState {
  BOOLEAN EraseServiceReady;  // the erase-service-ready protocol was seen once
  EFI_SMM_COMMUNICATION_PROTOCOL* SmmCommunication;
};
extern constinit FlashEraseState gFlashEraseState;

// Erases [Address, Address + *Size). *Size holds the length on entry and the
// length SMM left in the message on return.
//   EFI_NOT_FOUND          the erase-service-ready or the SMM communication
//                          protocol cannot be located (looked up in that order)
//   EFI_INVALID_PARAMETER  *Size is 0, or Size is NULL (after the lookups)
//   EFI_SUCCESS            no communication buffer: nothing written or sent
//   otherwise              the status of Communicate; *Size has been updated
EFI_STATUS RequestFlashErase(UINT64 Address, UINT64* Size);

}  // namespace ftpm::driver
