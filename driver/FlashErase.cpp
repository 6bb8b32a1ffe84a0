#include "driver/FlashErase.h"

#include "platform/Guids.h"
#include "support/Firmware.h"
#include "support/Memory.h"
#include "support/Settings.h"
#include "support/SmmCommunication.h"

namespace ftpm::driver {

constinit FlashEraseState gFlashEraseState{};

namespace {

// Both protocols, looked up while still missing. A lookup that fails, or that
// succeeds without an SMM communication interface, leaves the state as it was.
bool EraseProtocolsFound() {
  if (gFlashEraseState.EraseServiceReady == FALSE) {
    VOID* ready = nullptr;
    if (EFI_ERROR(support::BootServices()->LocateProtocol(&gEraseServiceReadyProtocolGuid, nullptr, &ready))) {
      return false;
    }
    gFlashEraseState.EraseServiceReady = TRUE;
  }
  if (gFlashEraseState.SmmCommunication == nullptr) {
    gFlashEraseState.SmmCommunication =
        static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(support::LocateInterface(gEfiSmmCommunicationProtocolGuid));
  }
  return gFlashEraseState.SmmCommunication != nullptr;
}

}  // namespace

EFI_STATUS RequestFlashErase(UINT64 Address, UINT64* Size) {
  if (!EraseProtocolsFound()) {
    return EFI_NOT_FOUND;
  }
  if (Size == nullptr || *Size == 0) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT64 bufferAddress = support::SmmCommBufferAddress();
  if (bufferAddress == 0) {
    return EFI_SUCCESS;
  }

  using Request = support::FlashEraseRequest;
  auto* buffer = support::AddressToPointer<UINT8>(bufferAddress);
  UINTN commSize = support::kCommSize<Request>;
  support::BeginSmmMessage(buffer, commSize, gFlashSmmServiceGuid, support::kFlashEraseFunction);
  support::WriteUnaligned<UINT64>(buffer + offsetof(Request, Address), Address);
  support::WriteUnaligned<UINT64>(buffer + offsetof(Request, Size), *Size);

  EFI_SMM_COMMUNICATION_PROTOCOL* smm = gFlashEraseState.SmmCommunication;
  const EFI_STATUS status = smm->Communicate(smm, buffer, &commSize);
  // SMM may have shortened or grown the range; the caller sees what it left,
  // whatever the status.
  *Size = support::ReadUnaligned<UINT64>(buffer + offsetof(Request, Size));
  return status;
}

}  // namespace ftpm::driver
