// Processor-swap detection, as a platform does it: the processor signature
// (CPUID 0x80000001 EAX) of the last boot is kept in a non-volatile variable.
// A boot on another signature sets the configured recovery request (setting
// 122, the full case, or 377, the fTPM-only case) for the driver to see. The
// request is served once the flash service has erased an fTPM NVRAM range of
// the platform's flash map; only then is the new signature recorded, so a
// boot where the person answered N asks again, and one after Y does not.
#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "qemu/reference/Platform.h"

namespace ftpm::reference {

namespace {

constexpr UINT32 kSignatureAttributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

EFI_STATUS RecordSignature(UINT32 Signature) {
  EFI_GUID vendor = gFtpmPlatformVariableGuid;
  return gPlatform.RuntimeServices->SetVariable(const_cast<CHAR16*>(kLastSignatureVariable), &vendor,
                                                kSignatureAttributes, sizeof(Signature), &Signature);
}

}  // namespace

void DetectProcessorSwap() {
  SwapState& swap = gPlatform.Swap;
  swap = SwapState{};
  swap.Current = platform::Cpuid(0x80000001).Eax;
  const UINT64 token = gPlatform.Config.SwapRequestToken;
  Report line("swap");
  line.Hex("current", swap.Current);
  if (token == 0) {
    line.Text("detection", "off").Emit();
    return;
  }
  EFI_GUID vendor = gFtpmPlatformVariableGuid;
  UINT32 recorded = 0;
  UINT32 attributes = 0;
  UINTN size = sizeof(recorded);
  const EFI_STATUS status = gPlatform.RuntimeServices->GetVariable(const_cast<CHAR16*>(kLastSignatureVariable), &vendor,
                                                                   &attributes, &size, &recorded);
  swap.HadRecord = !EFI_ERROR(status) && size == sizeof(recorded);
  swap.Recorded = swap.HadRecord ? recorded : 0;
  line.Status("read-status", status);
  if (swap.HadRecord) {
    line.Hex("recorded", swap.Recorded);
  }
  if (!swap.HadRecord) {
    // Nothing known of an earlier processor (a new machine, or a record that
    // is not a signature): nothing to recover; this processor is the one.
    line.Text("decision", "first-boot").Status("record-status", RecordSignature(swap.Current));
  } else if (swap.Recorded == swap.Current) {
    line.Text("decision", "same-processor");
  } else {
    swap.Pending = TRUE;
    SetSettingValue(static_cast<UINTN>(token), 1);
    line.Text("decision", "swapped").Dec("request", token);
  }
  line.Dec("ftpm-ranges", gPlatform.Config.FtpmRangeCount).Emit();
}

void NoteErasedRange(UINT64 Offset, UINT64 Size) {
  SwapState& swap = gPlatform.Swap;
  if (swap.Pending == FALSE || swap.Served != FALSE) {
    return;
  }
  for (UINTN i = 0; i < gPlatform.Config.FtpmRangeCount; ++i) {
    const MemoryRange& range = gPlatform.Config.FtpmRanges[i];
    UINT64 start = 0;
    if (!FlashImageOffset(range.Address, &start) || !RangeCovers(Offset, Size, start, range.Length)) {
      continue;
    }
    swap.Served = TRUE;
    Report("swap-served")
        .Hex("offset", start)
        .Hex("size", range.Length)
        .Hex("signature", swap.Current)
        .Status("record-status", RecordSignature(swap.Current))
        .Emit();
    return;
  }
}

}  // namespace ftpm::reference
