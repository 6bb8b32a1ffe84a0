// The platform's flash map as the recovery needs it: where the fTPM and MVQ
// NVRAM of each A/B side lie in the flash image, and the erase block of the
// device that holds them. The SMM flash service erases these ranges and
// nothing else, and only in whole blocks, so that an erase request can never
// touch firmware code, the variable store or anything else in the flash, and
// a power cut during an erase leaves every byte outside the range as it was.
#pragma once

#include "platform/Base.h"
#include "support/Settings.h"

namespace ftpm::reference {

enum class NvramKind : UINT8 { Ftpm, Mvq };
enum class FlashSide : UINT8 { A, B };
inline constexpr UINTN kNvramKinds = 2;
inline constexpr UINTN kFlashSides = 2;

// Image offsets: offset 0 is the first byte of the flash image.
struct FlashRange {
  UINT64 Offset;
  UINT64 Length;  // 0: the range does not exist
};

struct FlashMap {
  UINT64 EraseBlockSize;  // a power of two
  UINT64 DeviceSize;      // image offsets below this reach the device
  FlashRange Nvram[kFlashSides][kNvramKinds];
};

inline const FlashRange& NvramRange(const FlashMap& Map, FlashSide Side, NvramKind Kind) {
  return Map.Nvram[static_cast<UINTN>(Side)][static_cast<UINTN>(Kind)];
}

// What a recovery request asks for: setting 122 the fTPM and the MVQ NVRAM,
// setting 377 the fTPM NVRAM alone.
enum class RecoveryCase : UINT8 { None, Full, FtpmOnly };
inline constexpr UINT64 kFullCaseRequest = support::kNvramResetRequest;
inline constexpr UINT64 kFtpmOnlyRequest = support::kFtpmResetRequest;

RecoveryCase CaseOfRequest(UINT64 Token);
UINT64 RequestOfCase(RecoveryCase Case);
bool CaseErases(RecoveryCase Case, NvramKind Kind);

// nullptr when the map is sound and can serve Case; otherwise why not:
//   "block-size"         the erase block is not a power of two
//   "not-whole-blocks"   a range does not start and end on block boundaries
//   "outside-device"     a range does not lie on the device
//   "overlap"            two ranges share bytes
//   "side-a-incomplete"  side A lacks a range the case erases
//   "side-b-incomplete"  side B holds some of the case's ranges but not all
// With RecoveryCase::None only the first four apply.
const char* CheckFlashMap(const FlashMap& Map, RecoveryCase Case);

// The image offset of an address as the driver reports it: a flash offset
// below 64 MB stands as it is, an address in the 16 MB window at 0xFF000000
// or the 64 MB window at 0xFD00000000 less the window's base. False for any
// other address.
bool FlashImageOffset(UINT64 Address, UINT64* Offset);

enum class EraseCheck : UINT8 { Allowed, NotErasable, NotWholeBlocks };

// Whether [Offset, Offset + Length) may be erased: it must lie inside one
// range of the map (NotErasable otherwise) and consist of whole erase blocks
// (NotWholeBlocks otherwise; also for a zero length). On Allowed, *Side and
// *Kind name the range.
EraseCheck CheckErase(const FlashMap& Map, UINT64 Offset, UINT64 Length, FlashSide* Side, NvramKind* Kind);

const char* SideName(FlashSide Side);
const char* KindName(NvramKind Kind);

}  // namespace ftpm::reference
