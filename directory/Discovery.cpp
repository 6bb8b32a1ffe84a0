#include "directory/Discovery.h"

#include "directory/FlashReader.h"
#include "directory/ProcessorIdentity.h"
#include "directory/Validation.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Memory.h"
#include "support/PostCodes.h"

namespace ftpm::directory {

namespace {

constexpr UINT32 kCandidateCount = sizeof(kSignatureBlockCandidates) / sizeof(kSignatureBlockCandidates[0]);

// Replaces a combo directory in Scratch by the level-1 directory of the
// running processor's generation. FALSE only when that directory cannot be
// read. A combo without a matching entry, or one announcing more entries than
// its copy holds, is left in place and then fails validation.
BOOLEAN SelectFromCombo(VOID* Scratch, UINT32 MvqId) {
  const auto* combo = static_cast<const ComboDirectory*>(Scratch);
  if (combo->Cookie != kComboCookie || combo->EntryCount > kComboCopyEntries) {
    return TRUE;
  }
  const auto* entries =
      reinterpret_cast<const ComboEntry*>(static_cast<const UINT8*>(Scratch) + sizeof(ComboDirectory));
  for (UINT32 j = 0; j < combo->EntryCount; ++j) {
    if (entries[j].MvqId == MvqId) {
      return ReadDirectoryCopy(entries[j].DirectoryAddress, Scratch);
    }
  }
  return TRUE;
}

}  // namespace

SignatureScan ScanSignatureBlocks(RomSignatureBlock* Block, UINT32* Offset) {
  const UINT32 candidates = UsesWideEntryTypes() != FALSE ? 1 : kCandidateCount;
  // On processors that read offsets through the 16 MB window, the later
  // windows show the same bytes as the first: probing them again could not
  // choose a different block.
  const UINT32 windows = DistinctFlashOffsets() / kSignatureWindowSize;
  for (UINT32 window = 0; window < windows && window < kSignatureWindows; ++window) {
    for (UINT32 c = 0; c < candidates; ++c) {
      const UINT32 offset = window * kSignatureWindowSize + kSignatureBlockCandidates[c];
      if (ReadFlashOffset(offset, Block, sizeof(RomSignatureBlock)) == FALSE) {
        support::PostCodeHalt(support::postcode::kSignatureBlockReadFailed);
        return SignatureScan::ReadFailed;
      }
      if (Block->Signature != kRomSignature || IsSignatureBlockExcluded(Block) != FALSE) {
        continue;
      }
      *Offset = offset;
      return SignatureScan::Found;
    }
  }
  return SignatureScan::None;
}

BOOLEAN FindMvqDirectory(VOID** Copy) {
  const CpuIdentityRow* row = nullptr;
  if (FindCpuIdentityRow(&row) == FALSE) {
    support::PostCodeHalt(support::postcode::kDiscoveryNoCpuRow);
    return FALSE;
  }

  // The cache first: a copy validated earlier in this boot (or handed over by
  // an earlier phase) is answered without touching the flash.
  VOID* cached = nullptr;
  if (ValidateCachedDirectory(support::kMvqDirectoryHandle, kDirectoryCopySize, &cached) != FALSE) {
    *Copy = cached;
    return TRUE;
  }

  // Once a block is chosen, no other candidate is tried, whatever follows.
  RomSignatureBlock block{};
  UINT32 blockOffset = 0;
  if (ScanSignatureBlocks(&block, &blockOffset) != SignatureScan::Found) {
    return FALSE;
  }

  VOID* scratch = nullptr;
  if (GetCacheBuffer(support::kDiscoveryScratchHandle, kDirectoryCopySize, &scratch) == FALSE) {
    return FALSE;
  }
  if (ReadDirectoryCopy(block.MvqDirectoryPointer, scratch) == FALSE) {
    return FALSE;
  }
  if (SelectFromCombo(scratch, row->MvqId) == FALSE) {
    return FALSE;
  }
  if (ValidateMvqDirectory(scratch, kMvqCookie, TRUE) == FALSE) {
    if (row->AbLayout != 2) {
      return FALSE;
    }
    if (ReadDirectoryCopy(block.AlternateMvqDirectoryPointer, scratch) == FALSE ||
        ValidateMvqDirectory(scratch, kMvqCookie, TRUE) == FALSE) {
      return FALSE;
    }
  }

  *Copy = scratch;
  VOID* cache = nullptr;
  if (GetCacheBuffer(support::kMvqDirectoryHandle, kDirectoryCopySize, &cache) != FALSE && cache != scratch) {
    support::ZeroMem(cache, kDirectoryCopySize);
    support::CopyMem(cache, scratch, kDirectoryCopySize);
  }
  return TRUE;
}

}  // namespace ftpm::directory
