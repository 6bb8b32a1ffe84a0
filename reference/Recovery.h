// Processor-swap detection and the recovery request, made safe against a
// power cut at any moment.
//
// The platform keeps the signature of the processor it last completed a
// boot's recovery duty for (CPUID 0x80000001 EAX) in a non-volatile
// variable. At each start in DXE, before the recovery driver is dispatched:
//
// - no variable (EFI_NOT_FOUND): a new machine. This processor is recorded
//   and nothing is requested: no earlier processor left records behind;
// - the same signature: nothing to do;
// - another signature: the request of the platform's case is set for this
//   boot (setting 122, the fTPM and the MVQ NVRAM, or 377, the fTPM NVRAM);
// - any other answer (a read error, a record of the wrong size, or with
//   other attributes than this platform writes): the record cannot be
//   trusted, so it is left as it is and the request is set, as after a
//   swap. The person decides: N keeps everything, and the prompt comes
//   back on the next boot.
//
// The new signature is recorded only once every NVRAM range of the case on
// the side being recovered reads back erased (the flash service calls
// NoteVerifiedErase after each verified erase). Until then the request stays
// set, boot after boot: a power cut between two erases, or an erase that
// fails, brings the prompt back on the next boot instead of leaving the
// old processor's records in place for ever.
#pragma once

#include "platform/Uefi.h"
#include "reference/FlashMap.h"
#include "reference/FlashService.h"

namespace ftpm::reference {

// The record: vendor gFtpmPlatformVariableGuid, a UINT32, these attributes.
inline constexpr CHAR16 kLastSignatureVariable[] = u"LastProcessorSignature";
inline constexpr UINT32 kSignatureAttributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

enum class SwapDecision : UINT8 { Off, FirstBoot, SameProcessor, Swapped, FaultyRecord };
enum class RecordFault : UINT8 { None, ReadError, Size, Attributes };

struct RecoveryState {
  EFI_RUNTIME_SERVICES* Runtime;
  const FlashMap* Map;
  RecoveryCase Case;  // what a swap requests; None: detection off

  // What this boot found.
  UINT32 Current;
  SwapDecision Decision;
  EFI_STATUS ReadStatus;
  UINT32 Recorded;          // valid when the record was read whole
  UINT32 RecordAttributes;  // as read
  UINTN RecordSize;         // as read, or as reported by EFI_BUFFER_TOO_SMALL
  RecordFault Fault;        // why the record was not trusted (SwapDecision::FaultyRecord)
  BOOLEAN Pending;          // the request is set this boot

  // The record written this boot (first boot, or the recovery completed).
  BOOLEAN Wrote;
  EFI_STATUS WriteStatus;  // of the write and its read-back
  BOOLEAN Completed;       // every range of the case read back erased; the record holds Current
  FlashSide CompletedSide;
};

// Prepares State for a boot; nothing is read yet.
void BeginRecovery(RecoveryState& State, EFI_RUNTIME_SERVICES* Runtime, const FlashMap* Map, RecoveryCase Case);

// Reads the record and decides (see above). On a first boot it writes the
// record. The caller sets the setting RequestOfCase(State.Case) when
// State.Pending is set.
void DetectProcessorSwap(RecoveryState& State, UINT32 Current);

// Called by the flash service after an erase of Side's NVRAM that read back
// erased. While a request is pending: when every range of the case on Side
// reads erased on Device, the new signature is recorded and true returned
// (once a boot).
bool NoteVerifiedErase(RecoveryState& State, const FlashDevice& Device, FlashSide Side);

// Writes Signature as the record and reads it back: EFI_SUCCESS only when
// the variable then holds exactly Signature with the record's attributes. A
// record with other attributes is deleted first, since a variable's
// attributes cannot be changed by writing it.
EFI_STATUS WriteSignatureRecord(EFI_RUNTIME_SERVICES* Runtime, UINT32 Signature, bool DeleteFirst);

const char* SwapDecisionName(SwapDecision Decision);
const char* RecordFaultName(RecordFault Fault);

}  // namespace ftpm::reference
