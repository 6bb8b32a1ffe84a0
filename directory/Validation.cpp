#include "directory/Validation.h"

#include "directory/ProcessorIdentity.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/PostCodes.h"

namespace ftpm::directory {

namespace {

static_assert(kDirectoryCopyEntries < kMaxDirectoryEntries && kBhdCopyEntries < kMaxDirectoryEntries,
              "the copy's capacity is the tighter limit");

// Longest run of words whose sums cannot overflow 32 bits between folds.
constexpr UINT32 kFletcherBlockWords = 359;

UINT32 Fold(UINT32 Sum) { return (Sum & 0xFFFF) + (Sum >> 16); }

BOOLEAN IsAbPointerEntry(UINT32 TypeWord) {
  return (EntryTypeMatches(TypeWord, kEntryAPointer) != FALSE || EntryTypeMatches(TypeWord, kEntryBPointer) != FALSE)
             ? TRUE
             : FALSE;
}

UINT32 BytesHeld(UINT32 Handle) {
  support::BufferLocateRequest request{Handle, 0, nullptr};
  support::FindCachedBuffer(&request);
  return request.Size;
}

}  // namespace

UINT32 Fletcher32(const VOID* Words, UINT32 WordCount) {
  const auto* bytes = static_cast<const UINT8*>(Words);
  UINT32 sum1 = 0xFFFF;
  UINT32 sum2 = 0xFFFF;
  while (WordCount != 0) {
    UINT32 block = WordCount < kFletcherBlockWords ? WordCount : kFletcherBlockWords;
    WordCount -= block;
    for (; block != 0; --block) {
      sum1 += static_cast<UINT32>(bytes[0]) | (static_cast<UINT32>(bytes[1]) << 8);
      sum2 += sum1;
      bytes += 2;
    }
    sum1 = Fold(sum1);
    sum2 = Fold(sum2);
  }
  sum1 = Fold(sum1);
  sum2 = Fold(sum2);
  return (sum2 << 16) | sum1;
}

BOOLEAN ValidateMvqDirectory(const VOID* Copy, UINT32 Cookie, BOOLEAN PointerRule) {
  const DirectoryHeader* header = HeaderOf(Copy);
  if (header->Cookie != Cookie) {
    return FALSE;
  }
  // The format allows 512 entries, but only 96 fit in the copy; a larger
  // directory's checksum and entries lie beyond it, so it is refused.
  const UINT32 count = header->EntryCount;
  if (count > kDirectoryCopyEntries) {
    return FALSE;
  }
  const UINT32 words = (count * sizeof(DirectoryEntry) + sizeof(DirectoryHeader) - kChecksumStart) / 2;
  if (Fletcher32(static_cast<const UINT8*>(Copy) + kChecksumStart, words) != header->Checksum) {
    return FALSE;
  }
  if (PointerRule == FALSE || IsAbPointerDirectory(Copy) == FALSE) {
    return TRUE;
  }
  if (count < 1 || count > kMaxAbPointerEntries) {
    return FALSE;
  }
  const DirectoryEntry* entries = EntriesOf(Copy);
  for (UINT32 i = 0; i < count; ++i) {
    if (IsAbPointerEntry(entries[i].TypeWord) == FALSE) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN ValidateBhdDirectory(const VOID* Copy, UINT32 Cookie) {
  const DirectoryHeader* header = HeaderOf(Copy);
  const UINT32 count = header->EntryCount;
  if (header->Cookie != Cookie || count > kBhdCopyEntries) {
    return FALSE;
  }
  const UINT32 words = (count * sizeof(BhdEntry) + sizeof(DirectoryHeader) - kChecksumStart) / 2;
  return Fletcher32(static_cast<const UINT8*>(Copy) + kChecksumStart, words) == header->Checksum ? TRUE : FALSE;
}

BOOLEAN IsAbPointerDirectory(const VOID* Copy) {
  if (Copy == nullptr) {
    support::PostCodeHalt(support::postcode::kAbPointerDirectoryNull);
    return FALSE;
  }
  const UINT32 count = HeaderOf(Copy)->EntryCount;
  if (count > kMaxDirectoryEntries) {
    support::DebugPrint(support::kDebugError, "MVQ Entries exceeds the limit\n");
    return FALSE;
  }
  if (count == 0 || count > kDirectoryCopyEntries) {
    return FALSE;
  }
  const DirectoryEntry* entries = EntriesOf(Copy);
  for (UINT32 i = 0; i < count; ++i) {
    if (IsAbPointerEntry(entries[i].TypeWord) == FALSE) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN GetCacheBuffer(UINT32 Handle, UINT32 Size, VOID** Buffer) {
  VOID* buffer = nullptr;
  if (support::GetOrCreateBuffer(Handle, Size, &buffer) == FALSE || buffer == nullptr || BytesHeld(Handle) < Size) {
    return FALSE;
  }
  *Buffer = buffer;
  return TRUE;
}

BOOLEAN ValidateCachedDirectory(UINT32 Handle, UINT32 Size, VOID** Copy) {
  if (Copy == nullptr || support::GetOrCreateBuffer(Handle, Size, Copy) == FALSE || *Copy == nullptr) {
    return FALSE;
  }
  // Each handle's rule reads a whole A/B description or directory copy.
  const UINT32 held = BytesHeld(Handle);
  const VOID* copy = *Copy;
  switch (Handle) {
    case support::kAbInfoHandle: {
      const auto* info = static_cast<const AbRecoveryInfo*>(copy);
      return (held >= sizeof(AbRecoveryInfo) && info->PointerCount != 0 && info->EligibleCount != 0) ? TRUE : FALSE;
    }
    case support::kMvqDirectoryHandle:
      return held >= kDirectoryCopySize ? ValidateMvqDirectory(copy, kMvqCookie, TRUE) : FALSE;
    case support::kMvqL2DirectoryHandle:
      return held >= kDirectoryCopySize ? ValidateMvqDirectory(copy, kMvqL2Cookie, FALSE) : FALSE;
    case support::kBhdDirectoryHandle:
      return held >= kDirectoryCopySize ? ValidateBhdDirectory(copy, kBhdCookie) : FALSE;
    case support::kBl2DirectoryHandle:
      return held >= kDirectoryCopySize ? ValidateBhdDirectory(copy, kBl2Cookie) : FALSE;
    default:
      return FALSE;  // not a handle that holds a validated copy
  }
}

BOOLEAN IsSignatureBlockExcluded(const RomSignatureBlock* Block) {
  if (Block->ExclusionByte != kExcludingSignatureBlock) {
    return FALSE;
  }
  const UINT32 eax = ReadProcessorSignature();
  const UINT32 family = ProcessorFamily(eax);
  if (family > 0x17) {
    return TRUE;
  }
  return (family == 0x17 && ProcessorModel(eax) >= 0x30) ? TRUE : FALSE;
}

UINT64 TranslateEntryLocation(UINT64 Location, UINT64 Base, UINT32 Base32) {
  switch (LocationModeOf(Location)) {
    case kLocationAbsolute:
      return Location & ~(1ULL << 62);
    case kLocationRelative:
      return (Location & ~(1ULL << 63)) + Base;
    case kLocationRelative32:
      return (Location & ~kLocationModeMask) + static_cast<UINT64>(Base32);
    default:
      return Location;
  }
}

}  // namespace ftpm::directory
