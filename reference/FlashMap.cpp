#include "reference/FlashMap.h"

#include "directory/FlashReader.h"

namespace ftpm::reference {

namespace {

bool IsPowerOfTwo(UINT64 Value) { return Value != 0 && (Value & (Value - 1)) == 0; }

bool WholeBlocks(UINT64 Offset, UINT64 Length, UINT64 Block) {
  return Length != 0 && (Offset & (Block - 1)) == 0 && (Length & (Block - 1)) == 0;
}

bool OnDevice(const FlashRange& Range, UINT64 DeviceSize) {
  return Range.Offset < DeviceSize && Range.Length <= DeviceSize - Range.Offset;
}

bool Overlap(const FlashRange& Left, const FlashRange& Right) {
  return Left.Offset < Right.Offset + Right.Length && Right.Offset < Left.Offset + Left.Length;
}

// Counts the ranges of the case that Side holds.
UINTN RangesOfCase(const FlashMap& Map, FlashSide Side, RecoveryCase Case, UINTN* Needed) {
  UINTN held = 0;
  *Needed = 0;
  for (UINTN kind = 0; kind < kNvramKinds; ++kind) {
    if (!CaseErases(Case, static_cast<NvramKind>(kind))) {
      continue;
    }
    ++*Needed;
    held += NvramRange(Map, Side, static_cast<NvramKind>(kind)).Length != 0 ? 1 : 0;
  }
  return held;
}

}  // namespace

RecoveryCase CaseOfRequest(UINT64 Token) {
  if (Token == kFullCaseRequest) {
    return RecoveryCase::Full;
  }
  if (Token == kFtpmOnlyRequest) {
    return RecoveryCase::FtpmOnly;
  }
  return RecoveryCase::None;
}

UINT64 RequestOfCase(RecoveryCase Case) {
  switch (Case) {
    case RecoveryCase::Full:
      return kFullCaseRequest;
    case RecoveryCase::FtpmOnly:
      return kFtpmOnlyRequest;
    case RecoveryCase::None:
      break;
  }
  return 0;
}

bool CaseErases(RecoveryCase Case, NvramKind Kind) {
  switch (Case) {
    case RecoveryCase::Full:
      return true;
    case RecoveryCase::FtpmOnly:
      return Kind == NvramKind::Ftpm;
    case RecoveryCase::None:
      break;
  }
  return false;
}

const char* CheckFlashMap(const FlashMap& Map, RecoveryCase Case) {
  if (!IsPowerOfTwo(Map.EraseBlockSize)) {
    return "block-size";
  }
  const FlashRange* ranges = &Map.Nvram[0][0];
  constexpr UINTN kCount = kFlashSides * kNvramKinds;
  for (UINTN i = 0; i < kCount; ++i) {
    if (ranges[i].Length == 0) {
      continue;
    }
    if (!WholeBlocks(ranges[i].Offset, ranges[i].Length, Map.EraseBlockSize)) {
      return "not-whole-blocks";
    }
    if (!OnDevice(ranges[i], Map.DeviceSize)) {
      return "outside-device";
    }
    for (UINTN j = 0; j < i; ++j) {
      if (ranges[j].Length != 0 && Overlap(ranges[i], ranges[j])) {
        return "overlap";
      }
    }
  }
  if (Case == RecoveryCase::None) {
    return nullptr;
  }
  UINTN needed = 0;
  if (RangesOfCase(Map, FlashSide::A, Case, &needed) != needed) {
    return "side-a-incomplete";
  }
  const UINTN onB = RangesOfCase(Map, FlashSide::B, Case, &needed);
  if (onB != 0 && onB != needed) {
    return "side-b-incomplete";
  }
  return nullptr;
}

bool FlashImageOffset(UINT64 Address, UINT64* Offset) {
  if (Address < directory::kFlashOffsetLimit) {
    *Offset = Address;
    return true;
  }
  if (Address >= directory::kWindow16MBase && Address - directory::kWindow16MBase < directory::kWindow16MSize) {
    *Offset = Address - directory::kWindow16MBase;
    return true;
  }
  if (Address >= directory::kWindow64MBase && Address - directory::kWindow64MBase < directory::kWindow64MSize) {
    *Offset = Address - directory::kWindow64MBase;
    return true;
  }
  return false;
}

EraseCheck CheckErase(const FlashMap& Map, UINT64 Offset, UINT64 Length, FlashSide* Side, NvramKind* Kind) {
  for (UINTN side = 0; side < kFlashSides; ++side) {
    for (UINTN kind = 0; kind < kNvramKinds; ++kind) {
      const FlashRange& range = Map.Nvram[side][kind];
      const bool inside = range.Length != 0 && Offset >= range.Offset && Offset - range.Offset < range.Length &&
                          Length <= range.Length - (Offset - range.Offset);
      if (!inside) {
        continue;
      }
      if (!IsPowerOfTwo(Map.EraseBlockSize) || !WholeBlocks(Offset, Length, Map.EraseBlockSize)) {
        return EraseCheck::NotWholeBlocks;
      }
      *Side = static_cast<FlashSide>(side);
      *Kind = static_cast<NvramKind>(kind);
      return EraseCheck::Allowed;
    }
  }
  return Length == 0 ? EraseCheck::NotWholeBlocks : EraseCheck::NotErasable;
}

const char* SideName(FlashSide Side) { return Side == FlashSide::A ? "a" : "b"; }
const char* KindName(NvramKind Kind) { return Kind == NvramKind::Ftpm ? "ftpm" : "mvq"; }

}  // namespace ftpm::reference
