// The flash images the scenario stories boot on, written byte by byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::testing {

inline constexpr uint32_t kStoryDirectory = 0x100000;
inline constexpr uint32_t kStoryLevel2 = 0x200000;
// The NVRAM ranges a story erases: in the plain image, and on the A side of
// the A/B image.
inline constexpr uint32_t kFtpmNvram = 0x300000;
inline constexpr uint32_t kFtpmNvramSize = 0x4000;
inline constexpr uint32_t kMvqNvram = 0x310000;
inline constexpr uint32_t kMvqNvramSize = 0x2000;
// The B side of the A/B image.
inline constexpr uint32_t kSideBFtpmNvram = 0x700000;
inline constexpr uint32_t kSideBFtpmNvramSize = 0x1000;
inline constexpr uint32_t kSideBMvqNvram = 0x710000;
inline constexpr uint32_t kSideBMvqNvramSize = 0x1000;
inline constexpr uint8_t kStoryRecordByte = 0x5A;  // in and around the NVRAM ranges

// Recognisable bytes in and 16 bytes around [first, last), so that an erase
// shows, and so does one that strays.
inline void MarkRange(Bytes& image, uint32_t first, uint32_t last) {
  std::fill(image.data.begin() + first - 0x10, image.data.begin() + last + 0x10, kStoryRecordByte);
}

// A 16 MB-window image: a signature block, a plain level-1 directory whose
// type-0x40 entry points at a level-2 directory holding the two NVRAM entries.
inline std::vector<uint8_t> PlainStoryImage(bool withFtpm = true, bool withMvq = true) {
  Bytes image(0x400000);
  image.SignatureBlock(0x20000, kStoryDirectory);
  image.Directory(kStoryDirectory, "$MVQ", {{0x40, 0x1000, kStoryLevel2}, {0x01, 0x100, 0x50000}});
  std::vector<Entry> level2;
  if (withFtpm) {
    level2.push_back({0x04, kFtpmNvramSize, kFtpmNvram});
  }
  if (withMvq) {
    level2.push_back({0x54, kMvqNvramSize, kMvqNvram});
  }
  image.Directory(kStoryLevel2, "$ML2", level2);
  MarkRange(image, kFtpmNvram, kMvqNvram + kMvqNvramSize);
  return image.data;
}

// The generation of kCpuAb2 (A/B layout 2).
inline constexpr uint32_t kStoryMvqId = 0xBC0D0400;

// A/B layout 2 behind a combo directory: the level-1 directory holds the two
// slot pointers, each slot names a level-2 directory; RecoveryFlag bit 30
// chooses side B.
inline std::vector<uint8_t> AbStoryImage() {
  Bytes image(0x800000);
  image.SignatureBlock(0x20000, 0x80000);
  image.Combo(0x80000, {{0xBC0B0500, 0x90000}, {kStoryMvqId, 0xA0000}});
  image.Directory(0xA0000, "$MVQ", {{0x48, 0x20, 0xB0000}, {0x4A, 0x20, 0xB1000}});
  image.Slot2(0xB0000, 1, 0, 0, 0x400000, kStoryMvqId);
  image.Slot2(0xB1000, 1, 0, 0, 0x500000, kStoryMvqId);
  image.Directory(0x400000, "$ML2", {{0x04, kFtpmNvramSize, kFtpmNvram}, {0x54, kMvqNvramSize, kMvqNvram}});
  image.Directory(0x500000, "$ML2",
                  {{0x04, kSideBFtpmNvramSize, kSideBFtpmNvram}, {0x54, kSideBMvqNvramSize, kSideBMvqNvram}});
  MarkRange(image, kFtpmNvram, kMvqNvram + kMvqNvramSize);
  MarkRange(image, kSideBFtpmNvram, kSideBMvqNvram + kSideBMvqNvramSize);
  return image.data;
}

}  // namespace ftpm::testing
