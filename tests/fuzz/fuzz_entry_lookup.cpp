// Fuzz target: an arbitrary flash image, processor and RecoveryFlag value,
// through the full entry lookup (types 0x04, 0x54, 0x40 in one boot, as the
// recovery handler and the inspection run them), each on a machine of its
// own.
//
// Input: a processor word (4 bytes), the RecoveryFlag value (4 bytes), then
// chunks of [flash offset (4 bytes, taken modulo 64 MB), length (2 bytes),
// bytes] written over an erased (0xFF) 64 MB flash. A processor word with
// its top bit clear picks a row of the identity table (its signature plus
// the word's low stepping bits), so most inputs reach the directories; with
// the top bit set the word is the signature itself.
//
// Checks, for every input: nothing is read outside the flash windows or the
// directory copies, and every lookup ends; a lookup that answers FALSE
// leaves its out-parameters untouched; a found entry's size and location are
// those of an entry of a directory copy the driver holds; asked again in the
// same boot, each lookup gives the same answer, and reads no flash once the
// level-1 directory (with its A/B description) and a level-2 directory are
// cached and valid.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "directory/EntryLookup.h"
#include "directory/ProcessorIdentity.h"
#include "directory/Validation.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "tests/fuzz/FuzzInput.h"

using namespace ftpm;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_entry_lookup: %s\n", what);
    std::abort();
  }
}

struct Answer {
  BOOLEAN Found;
  UINT64 Address;
  UINT32 Size;
};

constexpr UINT64 kUntouchedAddress = 0xA5A5A5A5A5A5A5A5;
constexpr UINT32 kUntouchedSize = 0x5A5A5A5A;

Answer Lookup(sim::Machine& m, UINT32 type) {
  Answer answer{FALSE, kUntouchedAddress, kUntouchedSize};
  const sim::RunOutcome outcome = m.Run([&] {
    answer.Found = directory::LookupMvqEntry(type, &answer.Address, &answer.Size);
    return EFI_SUCCESS;
  });
  // A stop means the driver touched something outside the flash windows.
  Check(outcome.Returned(), "the lookup stopped the machine");
  if (answer.Found == FALSE) {
    Check(answer.Address == kUntouchedAddress && answer.Size == kUntouchedSize,
          "a lookup that found nothing wrote its out-parameters");
  }
  return answer;
}

// A found entry comes from a directory copy in the buffer cache: a level-1
// entry with its Location as stored, a level-2 entry translated against its
// directory's address (any base, for the relative modes).
bool NamedByACachedDirectory(const Answer& answer) {
  const support::LIST_ENTRY* head = support::gBufferCacheState.ListHead;
  if (head == nullptr) {
    return false;
  }
  for (const support::LIST_ENTRY* link = head->ForwardLink; link != head; link = link->ForwardLink) {
    const auto* node = reinterpret_cast<const support::BufferNode*>(link);
    if (node->Header.Size < directory::kDirectoryCopySize) {
      continue;
    }
    const auto* copy = reinterpret_cast<const uint8_t*>(node) + sizeof(support::BufferNode);
    const directory::DirectoryEntry* entries = directory::EntriesOf(copy);
    for (UINT32 i = 0; i < directory::kDirectoryCopyEntries; ++i) {
      if (entries[i].Size != answer.Size) {
        continue;
      }
      const UINT64 location = entries[i].Location;
      switch (directory::LocationModeOf(location)) {
        case directory::kLocationAbsolute:
          if (answer.Address == location || answer.Address == (location & ~(1ULL << 62))) {
            return true;
          }
          break;
        case directory::kLocationRelative:
        case directory::kLocationRelative32:
          return true;  // the base is the level-2 directory's address, whatever it was
        default:
          if (answer.Address == location) {
            return true;
          }
          break;
      }
    }
  }
  return false;
}

// The data of the cached buffer with this handle, read without the driver's
// help (asking the cache would create the buffer).
const uint8_t* CachedData(UINT32 handle, UINT32 bytes) {
  const support::LIST_ENTRY* head = support::gBufferCacheState.ListHead;
  if (head == nullptr) {
    return nullptr;
  }
  for (const support::LIST_ENTRY* link = head->ForwardLink; link != head; link = link->ForwardLink) {
    const auto* node = reinterpret_cast<const support::BufferNode*>(link);
    if (node->Header.Handle == handle && node->Header.Size >= bytes) {
      return reinterpret_cast<const uint8_t*>(node) + sizeof(support::BufferNode);
    }
  }
  return nullptr;
}

// Everything a lookup can need is cached and valid: the level-1 directory,
// its A/B description when it is an A/B pointer directory, and a level-2
// directory. Lookups then read no flash.
bool EverythingCached() {
  const uint8_t* level1 = CachedData(support::kMvqDirectoryHandle, directory::kDirectoryCopySize);
  const uint8_t* level2 = CachedData(support::kMvqL2DirectoryHandle, directory::kDirectoryCopySize);
  if (level1 == nullptr || level2 == nullptr ||
      directory::ValidateMvqDirectory(level1, directory::kMvqCookie, TRUE) == FALSE ||
      directory::ValidateMvqDirectory(level2, directory::kMvqL2Cookie, FALSE) == FALSE) {
    return false;
  }
  if (directory::IsAbPointerDirectory(level1) == FALSE) {
    return true;
  }
  const auto* info = reinterpret_cast<const directory::AbRecoveryInfo*>(
      CachedData(support::kAbInfoHandle, sizeof(directory::AbRecoveryInfo)));
  return info != nullptr && info->PointerCount != 0 && info->EligibleCount != 0;
}

using fuzz::Take;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Machine m;
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
  m.LoadDriverImage();
  m.Run([] {
    support::ImportHeapBuffers();
    return EFI_SUCCESS;
  });

  constexpr UINT32 kTypes[] = {0x04, 0x54, 0x40};
  Answer first[3];
  for (size_t i = 0; i < 3; ++i) {
    first[i] = Lookup(m, kTypes[i]);
    if (first[i].Found != FALSE) {
      Check(NamedByACachedDirectory(first[i]), "a found entry is in no directory copy the driver holds");
    }
  }
  const bool cached = EverythingCached();
  for (size_t i = 0; i < 3; ++i) {
    const size_t readsBefore = m.flash.Log.size();
    const Answer again = Lookup(m, kTypes[i]);
    Check(again.Found == first[i].Found &&
              (again.Found == FALSE || (again.Address == first[i].Address && again.Size == first[i].Size)),
          "the same lookup in the same boot answered differently");
    Check(!cached || m.flash.Log.size() == readsBefore, "a lookup read the flash although all it needs is cached");
  }
  return 0;
}
