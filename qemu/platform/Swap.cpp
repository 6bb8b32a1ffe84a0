// Processor-swap detection at the platform's start in DXE: the contract's
// rules (reference/Recovery.h) with the configured request and flash map,
// the request served to the driver through the settings, and one report.
#include "platform/Hardware.h"
#include "qemu/platform/Platform.h"

namespace ftpm::qemu {

void DetectProcessorSwap() {
  reference::RecoveryState& state = gPlatform.Recovery;
  const reference::RecoveryCase recovery = reference::CaseOfRequest(gPlatform.Config.SwapRequestToken);
  reference::BeginRecovery(state, gPlatform.RuntimeServices, &gPlatform.FlashMap, recovery);
  Report line("swap");
  line.Hex("current", platform::Cpuid(0x80000001).Eax);
  if (recovery == reference::RecoveryCase::None) {
    line.Text("detection", "off").Emit();
    return;
  }
  reference::DetectProcessorSwap(state, platform::Cpuid(0x80000001).Eax);
  line.Status("read-status", state.ReadStatus);
  if (state.Decision == reference::SwapDecision::Swapped || state.Decision == reference::SwapDecision::SameProcessor) {
    line.Hex("recorded", state.Recorded);
  }
  line.Text("decision", reference::SwapDecisionName(state.Decision));
  if (state.Decision == reference::SwapDecision::FaultyRecord) {
    line.Text("fault", reference::RecordFaultName(state.Fault))
        .Hex("record-size", state.RecordSize)
        .Hex("record-attributes", state.RecordAttributes);
  }
  if (state.Pending != FALSE) {
    SetSettingValue(static_cast<UINTN>(gPlatform.Config.SwapRequestToken), 1);
    line.Dec("request", gPlatform.Config.SwapRequestToken);
  }
  if (state.Wrote != FALSE) {
    line.Status("record-status", state.WriteStatus);
  }
  line.Emit();
}

}  // namespace ftpm::qemu
