// Fuzz target: arbitrary bytes as a directory copy, a signature block and a
// cached buffer, through every validation and translation operation.
//
// Input: processor signature (4 bytes), a 64-bit base (8 bytes), then the
// copy's bytes (at most 1552; the rest of the copy is zero). The whole input
// after the first 12 bytes is also summed with Fletcher-32 at its own length.
//
// Checks, against models written here from the formats: Fletcher-32 of any
// length agrees with the textbook sums modulo 65535; a level-1, level-2 or
// BHD directory validates exactly when its cookie is the one asked for, its
// count is within what the copy holds, and its checksum recomputes over
// exactly its words (header from the count on, then its entries); entry
// locations translate by their mode bits; a cached copy validates as the
// same bytes do outside the cache.
#include <cstdint>
#include <cstdio>
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

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_directory_formats: %s\n", what);
    std::abort();
  }
}

// Fletcher-32 over little-endian 16-bit words, both sums started at 0xFFFF
// and kept modulo 65535 in ones' complement (0 is written 0xFFFF).
UINT32 ModelFletcher32(const uint8_t* bytes, size_t words) {
  uint64_t sum1 = 0;
  uint64_t sum2 = 0;
  for (size_t i = 0; i < words; ++i) {
    sum1 = (sum1 + (bytes[2 * i] | (bytes[2 * i + 1] << 8))) % 65535;
    sum2 = (sum2 + sum1) % 65535;
  }
  return static_cast<UINT32>(((sum2 == 0 ? 0xFFFF : sum2) << 16) | (sum1 == 0 ? 0xFFFF : sum1));
}

uint32_t Word32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// What validation must answer for a directory with entries of entrySize
// bytes, of which the copy holds capacity.
bool ModelValid(const uint8_t* copy, UINT32 cookie, size_t entrySize, UINT32 capacity) {
  const uint32_t count = Word32(copy + 8);
  if (Word32(copy) != cookie || count > capacity) {
    return false;
  }
  return ModelFletcher32(copy + 8, (16 + count * entrySize - 8) / 2) == Word32(copy + 4);
}

UINT64 ModelTranslate(UINT64 location, UINT64 base) {
  switch (location >> 62) {
    case 1:
      return location & ~(1ULL << 62);
    case 2:
      return (location & ~(1ULL << 63)) + base;
    case 3:
      return (location & ~(3ULL << 62)) + (base & 0xFFFFFFFF);
    default:
      return location;
  }
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

  Check(directory::Fletcher32(data, static_cast<UINT32>(size / 2)) == ModelFletcher32(data, size / 2),
        "Fletcher-32 differs from the textbook sums");
  const bool abPointers = directory::IsAbPointerDirectory(copy) != FALSE;
  for (UINT32 cookie : {directory::kMvqCookie, directory::kMvqL2Cookie, directory::kBhdCookie, directory::kBl2Cookie,
                        directory::HeaderOf(copy)->Cookie}) {
    const bool mvq = ModelValid(copy, cookie, sizeof(directory::DirectoryEntry), directory::kDirectoryCopyEntries);
    Check((directory::ValidateMvqDirectory(copy, cookie, FALSE) != FALSE) == mvq,
          "a directory validates other than its cookie, count and checksum say");
    // The A/B pointer rule only ever refuses more.
    const bool withRule = directory::ValidateMvqDirectory(copy, cookie, TRUE) != FALSE;
    Check(!withRule || mvq, "the A/B pointer rule let an invalid directory pass");
    Check(withRule == mvq || abPointers, "the A/B pointer rule refused a directory without A/B pointers");
    Check((directory::ValidateBhdDirectory(copy, cookie) != FALSE) ==
              ModelValid(copy, cookie, sizeof(directory::BhdEntry), directory::kBhdCopyEntries),
          "a BHD directory validates other than its cookie, count and checksum say");
  }
  Check(directory::EntriesInCopy(copy) <= directory::kDirectoryCopyEntries, "more entries than the copy holds");
  (void)directory::IsSignatureBlockExcluded(reinterpret_cast<const directory::RomSignatureBlock*>(copy));

  const directory::DirectoryEntry* entries = directory::EntriesOf(copy);
  for (UINT32 i = 0; i < directory::EntriesInCopy(copy); ++i) {
    Check(directory::TranslateEntryLocation(entries[i].Location, base, static_cast<UINT32>(base)) ==
              ModelTranslate(entries[i].Location, base),
          "an entry location translated other than its mode says");
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
    const BOOLEAN valid = directory::ValidateCachedDirectory(handle, bytes, &validated);
    Check(validated == buffer, "the cached copy is not the buffer the cache holds");
    if (handle == support::kMvqDirectoryHandle) {
      Check(valid == directory::ValidateMvqDirectory(copy, directory::kMvqCookie, TRUE),
            "the cached level-1 copy validates other than the same bytes");
    } else if (handle == support::kMvqL2DirectoryHandle) {
      Check(valid == directory::ValidateMvqDirectory(copy, directory::kMvqL2Cookie, FALSE),
            "the cached level-2 copy validates other than the same bytes");
    }
  }
  std::free(copy);
  return 0;
}
