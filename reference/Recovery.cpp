#include "reference/Recovery.h"

#include "platform/Guids.h"

namespace ftpm::reference {

namespace {

CHAR16* RecordName() { return const_cast<CHAR16*>(kLastSignatureVariable); }

struct ReadResult {
  EFI_STATUS Status;
  UINT32 Value;
  UINT32 Attributes;
  UINTN Size;
};

ReadResult ReadRecord(EFI_RUNTIME_SERVICES* Runtime) {
  EFI_GUID vendor = gFtpmPlatformVariableGuid;
  // Room for more than a record, so that a longer one is seen as such.
  UINT32 buffer[4] = {};
  ReadResult result{};
  result.Size = sizeof(buffer);
  result.Status = Runtime->GetVariable(RecordName(), &vendor, &result.Attributes, &result.Size, buffer);
  result.Value = buffer[0];
  return result;
}

}  // namespace

void BeginRecovery(RecoveryState& State, EFI_RUNTIME_SERVICES* Runtime, const FlashMap* Map, RecoveryCase Case) {
  State = RecoveryState{};
  State.Runtime = Runtime;
  State.Map = Map;
  State.Case = Case;
  State.Decision = SwapDecision::Off;
  State.ReadStatus = EFI_NOT_STARTED;
  State.WriteStatus = EFI_NOT_STARTED;
}

EFI_STATUS WriteSignatureRecord(EFI_RUNTIME_SERVICES* Runtime, UINT32 Signature, bool DeleteFirst) {
  EFI_GUID vendor = gFtpmPlatformVariableGuid;
  if (DeleteFirst) {
    // A cut right after this leaves no record: the next boot takes the
    // processor as the machine's first, which it now is.
    const EFI_STATUS deleted = Runtime->SetVariable(RecordName(), &vendor, 0, 0, nullptr);
    if (EFI_ERROR(deleted) && deleted != EFI_NOT_FOUND) {
      return deleted;
    }
  }
  UINT32 value = Signature;
  const EFI_STATUS status = Runtime->SetVariable(RecordName(), &vendor, kSignatureAttributes, sizeof(value), &value);
  if (EFI_ERROR(status)) {
    return status;
  }
  const ReadResult back = ReadRecord(Runtime);
  if (EFI_ERROR(back.Status)) {
    return back.Status;
  }
  const bool exact = back.Size == sizeof(UINT32) && back.Attributes == kSignatureAttributes && back.Value == Signature;
  return exact ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

void DetectProcessorSwap(RecoveryState& State, UINT32 Current) {
  State.Current = Current;
  if (State.Case == RecoveryCase::None) {
    State.Decision = SwapDecision::Off;
    return;
  }
  const ReadResult record = ReadRecord(State.Runtime);
  State.ReadStatus = record.Status;
  State.RecordSize = record.Size;
  State.RecordAttributes = EFI_ERROR(record.Status) ? 0 : record.Attributes;
  if (record.Status == EFI_NOT_FOUND) {
    State.Decision = SwapDecision::FirstBoot;
    State.Wrote = TRUE;
    State.WriteStatus = WriteSignatureRecord(State.Runtime, Current, false);
    return;
  }
  if (EFI_ERROR(record.Status)) {
    State.Fault = record.Status == EFI_BUFFER_TOO_SMALL ? RecordFault::Size : RecordFault::ReadError;
  } else if (record.Size != sizeof(UINT32)) {
    State.Fault = RecordFault::Size;
  } else if (record.Attributes != kSignatureAttributes) {
    State.Fault = RecordFault::Attributes;
  }
  if (State.Fault != RecordFault::None) {
    State.Decision = SwapDecision::FaultyRecord;
    State.Pending = TRUE;
    return;
  }
  State.Recorded = record.Value;
  if (record.Value == Current) {
    State.Decision = SwapDecision::SameProcessor;
    return;
  }
  State.Decision = SwapDecision::Swapped;
  State.Pending = TRUE;
}

bool NoteVerifiedErase(RecoveryState& State, const FlashDevice& Device, FlashSide Side) {
  if (State.Pending == FALSE || State.Completed != FALSE || State.Map == nullptr) {
    return false;
  }
  for (UINTN kind = 0; kind < kNvramKinds; ++kind) {
    if (!CaseErases(State.Case, static_cast<NvramKind>(kind))) {
      continue;
    }
    const FlashRange& range = NvramRange(*State.Map, Side, static_cast<NvramKind>(kind));
    if (range.Length == 0 || !Device.ReadsErased(Device.Context, range.Offset, range.Length)) {
      return false;
    }
  }
  State.Wrote = TRUE;
  // An untrusted record may have other attributes, which a write cannot
  // change: it goes first.
  State.WriteStatus = WriteSignatureRecord(State.Runtime, State.Current, State.Fault != RecordFault::None);
  if (EFI_ERROR(State.WriteStatus)) {
    // The request stays: the next boot asks again and erases again.
    return false;
  }
  State.Completed = TRUE;
  State.CompletedSide = Side;
  return true;
}

const char* SwapDecisionName(SwapDecision Decision) {
  switch (Decision) {
    case SwapDecision::Off:
      return "off";
    case SwapDecision::FirstBoot:
      return "first-boot";
    case SwapDecision::SameProcessor:
      return "same-processor";
    case SwapDecision::Swapped:
      return "swapped";
    case SwapDecision::FaultyRecord:
      return "record-fault";
  }
  return "unknown";
}

const char* RecordFaultName(RecordFault Fault) {
  switch (Fault) {
    case RecordFault::None:
      return "none";
    case RecordFault::ReadError:
      return "read-error";
    case RecordFault::Size:
      return "size";
    case RecordFault::Attributes:
      return "attributes";
  }
  return "unknown";
}

}  // namespace ftpm::reference
