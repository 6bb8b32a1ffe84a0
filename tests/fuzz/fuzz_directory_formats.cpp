// Fuzz target: arbitrary bytes as a directory copy, a signature block and a
// cached buffer, through every validation and translation operation.
//
// Input: processor signature (4 bytes), a 64-bit base (8 bytes), then the
// copy's bytes (at most 1552; the rest of the copy is zero). The whole input
// after the first 12 bytes is also summed with Fletcher-32 at its own length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "directory/Formats.h"
#include "directory/ProcessorIdentity.h"
#include "directory/Validation.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "tests/fuzz/FuzzInput.h"

using namespace ftpm;

namespace {

sim::Machine& TheMachine() {
  static sim::Machine* machine = [] {
    auto* m = new sim::Machine();
    m->LoadDriverImage();
    support::ImportHeapBuffers();
    return m;
  }();
  return *machine;
}

using fuzz::Take;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Machine& m = TheMachine();
  m.debug.Messages.clear();
  m.cpu.Signature = Take<uint32_t>(data, size);
  const uint64_t base = Take<uint64_t>(data, size);

  // An exactly sized copy, so that any read beyond it is caught.
  auto* copy = static_cast<uint8_t*>(std::calloc(1, directory::kDirectoryCopySize));
  std::memcpy(copy, data, size < directory::kDirectoryCopySize ? size : directory::kDirectoryCopySize);

  (void)directory::Fletcher32(data, static_cast<UINT32>(size / 2));
  for (UINT32 cookie : {directory::kMvqCookie, directory::kMvqL2Cookie, directory::HeaderOf(copy)->Cookie}) {
    (void)directory::ValidateMvqDirectory(copy, cookie, TRUE);
    (void)directory::ValidateMvqDirectory(copy, cookie, FALSE);
    (void)directory::ValidateBhdDirectory(copy, cookie);
  }
  (void)directory::IsAbPointerDirectory(copy);
  (void)directory::IsSignatureBlockExcluded(reinterpret_cast<const directory::RomSignatureBlock*>(copy));

  const directory::DirectoryEntry* entries = directory::EntriesOf(copy);
  for (UINT32 i = 0; i < directory::EntriesInCopy(copy); ++i) {
    (void)directory::TranslateEntryLocation(entries[i].Location, base, static_cast<UINT32>(base));
    (void)directory::EntryTypeMatches(entries[i].TypeWord, static_cast<UINT8>(entries[i].Size));
  }

  // The same bytes as the content of every cached buffer the rules know.
  for (UINT32 handle : {support::kAbInfoHandle, support::kMvqDirectoryHandle, support::kBhdDirectoryHandle,
                        support::kMvqL2DirectoryHandle, support::kBl2DirectoryHandle}) {
    const UINT32 bytes =
        handle == support::kAbInfoHandle ? sizeof(directory::AbRecoveryInfo) : directory::kDirectoryCopySize;
    VOID* buffer = nullptr;
    if (support::GetOrCreateBuffer(handle, bytes, &buffer) == FALSE) {
      std::abort();
    }
    std::memcpy(buffer, copy, bytes);
    VOID* validated = nullptr;
    (void)directory::ValidateCachedDirectory(handle, bytes, &validated);
    if (validated != buffer) {
      std::abort();
    }
  }
  std::free(copy);
  return 0;
}
