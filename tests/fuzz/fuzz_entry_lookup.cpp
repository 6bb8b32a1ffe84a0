// Fuzz target: an arbitrary flash image, processor and RecoveryFlag value,
// through the full entry lookup (types 0x04, 0x54, 0x40 in one boot, as the
// recovery handler and the inspection run them). Nothing may be read outside
// the flash windows or the directory copies, and every lookup must end.
//
// Input: a processor word (4 bytes), the RecoveryFlag value (4 bytes), then
// chunks of [flash offset (4 bytes, taken modulo 64 MB), length (2 bytes),
// bytes] written over an erased (0xFF) 64 MB flash. A processor word with
// its top bit clear picks a row of the identity table (its signature plus
// the word's low stepping bits), so most inputs reach the directories; with
// the top bit set the word is the signature itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "directory/EntryLookup.h"
#include "directory/ProcessorIdentity.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "tests/fuzz/FuzzInput.h"

using namespace ftpm;

namespace {

sim::Machine& TheMachine() {
  static sim::Machine* machine = new sim::Machine();
  return *machine;
}

// A new boot: the previous boot's buffers are freed and the cache starts
// empty, as after a reset.
void Boot(sim::Machine& m) {
  if (support::gBufferCacheState.ListHead != nullptr) {
    support::LIST_ENTRY* head = support::gBufferCacheState.ListHead;
    for (support::LIST_ENTRY* link = head->ForwardLink; link != head;) {
      support::LIST_ENTRY* next = link->ForwardLink;
      m.boot.FreePool(link);
      link = next;
    }
  }
  m.UninstallProtocol(gBufferCacheProtocolGuid);
  m.LoadDriverImage();
  support::gDiagnosticsState = {};
  support::gBufferCacheState = support::kBufferCacheStateAtLoad;
  support::ImportHeapBuffers();
  m.flash.ClearLog();
  m.registers.Log.clear();
  m.ports.Log.clear();
  m.debug.Messages.clear();
  m.boot.LocateLog.clear();
  m.Trace.clear();
}

using fuzz::Take;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Machine& m = TheMachine();
  m.flash.EraseAll();

  const uint32_t word = Take<uint32_t>(data, size);
  const uint32_t flag = Take<uint32_t>(data, size);
  while (size > 6) {
    const size_t offset = Take<uint32_t>(data, size) % sim::kFlashSize;
    size_t length = Take<uint16_t>(data, size);
    length = std::min({length, size, static_cast<size_t>(sim::kFlashSize - offset)});
    m.flash.Write(offset, data, length);
    data += length;
    size -= length;
  }

  m.cpu.Signature =
      (word & 0x80000000) != 0
          ? word
          : directory::kCpuIdentityTable[word % directory::kCpuIdentityRows].CpuSignature | ((word >> 8) & 0xF);
  m.registers.RegisterFile[directory::kRecoveryFlagRegister] = flag;
  m.registers.RegisterFile[directory::kRecoveryFlagRegisterAlt] = flag;
  Boot(m);

  for (UINT32 type : {0x04U, 0x54U, 0x40U}) {
    UINT64 address = 0;
    UINT32 bytes = 0;
    const sim::RunOutcome outcome = m.Run([&] {
      (void)directory::LookupMvqEntry(type, &address, &bytes);
      return EFI_SUCCESS;
    });
    // A stop means the driver touched something outside the flash windows.
    if (!outcome.Returned()) {
      std::abort();
    }
  }
  return 0;
}
