#include "directory/EntryLookup.h"

#include "directory/Discovery.h"
#include "directory/FlashReader.h"
#include "directory/ProcessorIdentity.h"
#include "directory/Validation.h"
#include "platform/Hardware.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Memory.h"
#include "support/PostCodes.h"

namespace ftpm::directory {

namespace {

constexpr UINT32 kSearchMask8 = kTypeMask | kSubtypeMask | kVariantMask;

// The first entry of the copy that answers a lookup of Type.
const DirectoryEntry* SearchCopy(const VOID* Copy, UINT32 Type) {
  const BOOLEAN wide = UsesWideEntryTypes();
  const DirectoryEntry* entries = EntriesOf(Copy);
  const UINT32 count = EntriesInCopy(Copy);
  for (UINT32 i = 0; i < count; ++i) {
    if (EntryMatchesSearchRule(entries[i].TypeWord, Type, wide) != FALSE) {
      return &entries[i];
    }
  }
  return nullptr;
}

// A plain level-1 directory with both an A and a B pointer: the side the
// RecoveryFlag chooses. A later pointer of a kind replaces an earlier one; the
// walk stops once both kinds have been seen.
BOOLEAN ChoosePlainSide(const VOID* Directory, UINT64* Candidate) {
  const DirectoryEntry* entries = EntriesOf(Directory);
  const UINT32 count = EntriesInCopy(Directory);
  UINT64 a = 0;
  UINT64 b = 0;
  BOOLEAN haveA = FALSE;
  BOOLEAN haveB = FALSE;
  for (UINT32 i = 0; i < count && (haveA == FALSE || haveB == FALSE); ++i) {
    if (EntryTypeMatches(entries[i].TypeWord, kEntryAPointer) != FALSE) {
      a = entries[i].Location;
      haveA = TRUE;
    } else if (EntryTypeMatches(entries[i].TypeWord, kEntryBPointer) != FALSE) {
      b = entries[i].Location;
      haveB = TRUE;
    }
  }
  if (haveA == FALSE || haveB == FALSE) {
    return FALSE;
  }
  *Candidate = ReadRecoveryFlag() != FALSE ? b : a;
  return TRUE;
}

void ResetSlot(AbSlot* Slot) {
  Slot->EntryIndex = kEmptySlot;
  Slot->Priority = 0;
  Slot->Aux1 = 0;
  Slot->Aux2 = 0;
  Slot->L2Address = 0;
}

}  // namespace

BOOLEAN EntryMatchesSearchRule(UINT32 TypeWord, UINT32 Type, BOOLEAN WideTypes) {
  const UINT32 mask = WideTypes != FALSE ? kWideTypeMask : kSearchMask8;
  return (TypeWord & mask) == (Type & mask) ? TRUE : FALSE;
}

BOOLEAN LookupMvqEntry(UINT32 Type, UINT64* Address, UINT32* Size) {
  VOID* directory = nullptr;
  if (FindMvqDirectory(&directory) == FALSE) {
    return FALSE;
  }
  if (directory == nullptr) {
    support::DebugPrint(support::kDebugError, " MVQDir is NULL \n");
    return FALSE;
  }

  // Choose a level-2 directory.
  UINT64 candidate = 0;
  BOOLEAN chosen = FALSE;
  if (HeaderOf(directory)->EntryCount > kMaxDirectoryEntries) {
    support::DebugPrint(support::kDebugError, "MVQ Entries exceeds the limit\n");
  } else if (IsAbPointerDirectory(directory) != FALSE) {
    AbRecoveryInfo* info = nullptr;
    if (BuildAbRecoveryInfo(directory, &info) != FALSE) {
      candidate = ReadRecoveryFlag() != FALSE ? info->SlotB.L2Address : info->SlotA.L2Address;
      chosen = TRUE;
    }
  } else {
    chosen = ChoosePlainSide(directory, &candidate);
  }

  // The level-2 pointer road: one level of recursion at most, since a lookup
  // of 0x40 never takes it. On an A/B layout whose description failed, the
  // lookup of 0x40 builds it again: a failure to allocate may not repeat.
  if (chosen == FALSE && Type != kEntryL2Pointer) {
    UINT64 pointer = 0;
    UINT32 ignored = 0;
    if (LookupMvqEntry(kEntryL2Pointer, &pointer, &ignored) != FALSE) {
      candidate = pointer;
      chosen = TRUE;
    }
  }

  // The chosen side only; the other side of an A/B pair is never tried.
  if (chosen != FALSE && candidate != 0 && SearchMvqL2Directory(Type, candidate, Address, Size) != FALSE) {
    return TRUE;
  }

  // The level-1 directory, with the Location exactly as stored.
  const DirectoryEntry* entry = SearchCopy(directory, Type);
  if (entry == nullptr) {
    return FALSE;
  }
  *Address = entry->Location;
  *Size = entry->Size;
  return TRUE;
}

BOOLEAN SearchMvqL2Directory(UINT32 Type, UINT64 L2Address, UINT64* Address, UINT32* Size) {
  if (L2Address == 0) {
    return FALSE;
  }
  VOID* l2 = nullptr;
  if (ValidateCachedDirectory(support::kMvqL2DirectoryHandle, kDirectoryCopySize, &l2) == FALSE) {
    VOID* scratch = nullptr;
    if (GetCacheBuffer(support::kLevel2ScratchHandle, kDirectoryCopySize, &scratch) == FALSE ||
        ReadDirectoryCopy(static_cast<UINT32>(L2Address), scratch) == FALSE ||
        ValidateMvqDirectory(scratch, kMvqL2Cookie, FALSE) == FALSE) {
      return FALSE;
    }
    VOID* cache = nullptr;
    if (GetCacheBuffer(support::kMvqL2DirectoryHandle, kDirectoryCopySize, &cache) != FALSE && cache != scratch) {
      support::ZeroMem(cache, kDirectoryCopySize);
      support::CopyMem(cache, scratch, kDirectoryCopySize);
    }
    l2 = scratch;
  }
  const DirectoryEntry* entry = SearchCopy(l2, Type);
  if (entry == nullptr) {
    return FALSE;
  }
  *Address = TranslateEntryLocation(entry->Location, L2Address, static_cast<UINT32>(L2Address));
  *Size = entry->Size;
  return TRUE;
}

BOOLEAN BuildAbRecoveryInfo(const VOID* Directory, AbRecoveryInfo** AbInfo) {
  if (Directory == nullptr) {
    support::PostCodeHalt(support::postcode::kAbRecoveryDirectoryNull);
    return FALSE;
  }
  const CpuIdentityRow* row = nullptr;
  if (FindCpuIdentityRow(&row) == FALSE) {
    support::PostCodeHalt(support::postcode::kAbRecoveryNoCpuRow);
    return FALSE;
  }
  if (row->AbLayout == kNoAbLayout) {
    return FALSE;
  }

  VOID* cached = nullptr;
  if (GetCacheBuffer(support::kAbInfoHandle, sizeof(AbRecoveryInfo), &cached) != FALSE) {
    auto* info = static_cast<AbRecoveryInfo*>(cached);
    if (info->PointerCount != 0 && info->EligibleCount != 0) {
      *AbInfo = info;
      return TRUE;
    }
  }

  VOID* scratch = nullptr;
  if (GetCacheBuffer(support::kAbInfoScratchHandle, sizeof(AbRecoveryInfo), &scratch) == FALSE) {
    return FALSE;
  }
  auto* record = static_cast<AbRecoveryInfo*>(scratch);
  record->PointerCount = 0;
  record->EligibleCount = 0;
  record->IneligibleCount = 0;
  ResetSlot(&record->SlotA);
  ResetSlot(&record->SlotB);

  if (HeaderOf(Directory)->EntryCount == 0) {
    return FALSE;
  }
  const DirectoryEntry* entries = EntriesOf(Directory);
  const UINT32 count = EntriesInCopy(Directory);
  for (UINT32 i = 0; i < count; ++i) {
    const BOOLEAN isA = EntryTypeMatches(entries[i].TypeWord, kEntryAPointer);
    if (isA == FALSE && EntryTypeMatches(entries[i].TypeWord, kEntryBPointer) == FALSE) {
      continue;
    }
    record->PointerCount += 1;

    // The slot header lies at the pointer's low 32 bits, untranslated; its
    // form follows the layout.
    // (The flash bytes are read into the union and taken through the member
    // of the form read, as the compilers this builds with define.)
    const bool form2 = row->AbLayout == 2;
    union {
      AbSlotHeader1 Form1;
      AbSlotHeader2 Form2;
    } header{};
    if (ReadFlash(static_cast<UINT32>(entries[i].Location), &header,
                  form2 ? sizeof header.Form2 : sizeof header.Form1) == FALSE) {
      support::PostCodeHalt(form2 ? support::postcode::kAbSlotHeader32ReadFailed
                                  : support::postcode::kAbSlotHeader16ReadFailed);
      return FALSE;
    }
    const AbSlot slot = form2 ? AbSlot{static_cast<UINT8>(i), header.Form2.Priority, header.Form2.Aux1,
                                       header.Form2.Aux2, header.Form2.L2Address}
                              : AbSlot{static_cast<UINT8>(i), header.Form1.Priority, header.Form1.Aux1,
                                       header.Form1.Aux2, header.Form1.L2Address};
    const BOOLEAN otherGeneration = (form2 && header.Form2.MvqId != row->MvqId) ? TRUE : FALSE;

    // The index lists hold 32 entries each; a validated A/B directory never
    // has more pointers than that.
    const BOOLEAN eligible = (otherGeneration == FALSE && slot.Priority != 0) ? TRUE : FALSE;
    if (eligible != FALSE) {
      if (record->EligibleCount >= kMaxAbPointerEntries) {
        return FALSE;
      }
      record->EligibleIndices[record->EligibleCount++] = static_cast<UINT8>(i);
    } else {
      if (record->IneligibleCount >= kMaxAbPointerEntries) {
        return FALSE;
      }
      record->IneligibleIndices[record->IneligibleCount++] = static_cast<UINT8>(i);
    }
    if (otherGeneration != FALSE) {
      continue;  // this side gets no slot
    }

    if (row->AbLayout == 2) {
      if (isA != FALSE) {
        record->SlotA = slot;
      } else {
        record->SlotB = slot;
      }
    } else if (row->AbLayout == 1) {
      // The first pointer of the highest non-zero priority takes slot A; slot
      // B keeps whichever pointer last lost to, or was displaced from, A.
      if (slot.Priority <= record->SlotA.Priority) {
        record->SlotB = slot;
      } else {
        if (record->SlotA.Priority != 0) {
          record->SlotB = record->SlotA;
        }
        record->SlotA = slot;
      }
    }
  }

  if (record->EligibleCount == 0) {
    return FALSE;
  }
  VOID* cache = nullptr;
  if (GetCacheBuffer(support::kAbInfoHandle, sizeof(AbRecoveryInfo), &cache) != FALSE && cache != scratch) {
    support::ZeroMem(cache, sizeof(AbRecoveryInfo));
    support::CopyMem(cache, record, sizeof(AbRecoveryInfo));
  }
  *AbInfo = record;
  return TRUE;
}

BOOLEAN ReadRecoveryFlag() {
  const SocInfoRow* row = nullptr;
  const UINT8 selector = FindSocInfoRow(&row) != FALSE ? row->RecoveryFlagSelector : 1;
  const UINT32 registerNumber = selector == 2 ? kRecoveryFlagRegisterAlt : kRecoveryFlagRegister;

  // Index, then data; the index register's earlier value is put back.
  const UINT32 savedIndex = platform::MmioRead32(kIndexRegister);
  platform::MmioWrite32(kIndexRegister, registerNumber);
  const UINT32 value = platform::MmioRead32(kDataRegister);
  platform::MmioWrite32(kIndexRegister, savedIndex);

  support::DebugPrint(support::kDebugError, "RecoveryFlag %x\n", value);
  if (value == 0xFFFFFFFF) {
    support::PostCodeHalt(support::postcode::kRecoveryFlagAllOnes);
  }
  return ((value >> kRecoveryFlagBit) & 1) != 0 ? TRUE : FALSE;
}

}  // namespace ftpm::directory
