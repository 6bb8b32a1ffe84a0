#include "sim/ReferencePlatform.h"

#include "support/Settings.h"

namespace ftpm::sim {

void ReferencePlatform::Start(Machine& m) {
  reference::BeginRecovery(State, &m.runtime.Table, &Map, Case);
  m.settings.Set(support::kNvramResetRequest, 0);
  m.settings.Set(support::kFtpmResetRequest, 0);
  m.smm.FlashMap = Map;
  m.smm.OnVerifiedErase = [this, &m](const reference::EraseReply& reply, const reference::FlashDevice& device) {
    if (reference::NoteVerifiedErase(State, device, reply.Side)) {
      m.Note("platform: every range of the case reads erased; the new processor's signature is recorded");
    }
  };
  m.Note("platform: swap detection");
  reference::DetectProcessorSwap(State, m.cpu.Signature);
  m.Note(std::string("platform: ") + reference::SwapDecisionName(State.Decision));
  if (State.Pending != FALSE) {
    m.settings.Set(reference::RequestOfCase(Case), 1);
  }
}

}  // namespace ftpm::sim
