// The shared memory helpers: the overlap-safe copy, fills and GUID comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "platform/Guids.h"
#include "support/Memory.h"

namespace ftpm::support {
namespace {

std::vector<UINT8> Sequence(size_t n) {
  std::vector<UINT8> v(n);
  std::iota(v.begin(), v.end(), UINT8{1});
  return v;
}

TEST(CopyMem, ForwardCopyOfEveryLengthAroundTheEightByteStride) {
  for (size_t length = 0; length <= 25; ++length) {
    std::vector<UINT8> source = Sequence(length);
    std::vector<UINT8> destination(length + 2, 0xEE);
    EXPECT_EQ(CopyMem(destination.data() + 1, source.data(), length), destination.data() + 1);
    EXPECT_EQ(destination.front(), 0xEE) << length;
    EXPECT_EQ(destination.back(), 0xEE) << length;
    EXPECT_TRUE(std::equal(source.begin(), source.end(), destination.begin() + 1)) << length;
  }
}

TEST(CopyMem, DestinationInsideSourceAboveItsStartCopiesBackwards) {
  // Every shift, including ones smaller than the 8-byte stride.
  for (size_t shift = 1; shift < 12; ++shift) {
    std::vector<UINT8> buffer = Sequence(48);
    const std::vector<UINT8> expected = Sequence(30);
    CopyMem(buffer.data() + shift, buffer.data(), 30);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + static_cast<long>(shift))) << shift;
  }
}

TEST(CopyMem, DestinationBelowOverlappingSourceCopiesForwards) {
  for (size_t shift = 1; shift < 12; ++shift) {
    std::vector<UINT8> buffer = Sequence(40);
    const std::vector<UINT8> expected(buffer.begin() + static_cast<long>(shift),
                                      buffer.begin() + static_cast<long>(shift) + 25);
    CopyMem(buffer.data(), buffer.data() + shift, 25);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin())) << shift;
  }
}

TEST(CopyMem, SameBufferIsUnchanged) {
  std::vector<UINT8> buffer = Sequence(17);
  CopyMem(buffer.data(), buffer.data(), buffer.size());
  EXPECT_EQ(buffer, Sequence(17));
}

TEST(Fill, ZeroAndByteFillTouchExactlyTheRange) {
  std::vector<UINT8> buffer(10, 0x11);
  SetMem(buffer.data() + 2, 5, 0xA5);
  ZeroMem(buffer.data() + 3, 2);
  EXPECT_EQ(buffer, (std::vector<UINT8>{0x11, 0x11, 0xA5, 0, 0, 0xA5, 0xA5, 0x11, 0x11, 0x11}));
}

TEST(CompareGuid, EqualOnlyWhenBothHalvesMatch) {
  EFI_GUID a = gFtpmRecoveryProtocolGuid;
  EFI_GUID b = a;
  EXPECT_TRUE(CompareGuid(&a, &b));
  b.Data1 ^= 1;  // first half
  EXPECT_FALSE(CompareGuid(&a, &b));
  b = a;
  b.Data4[7] ^= 0x80;  // second half
  EXPECT_FALSE(CompareGuid(&a, &b));
}

TEST(MakeGuid, StoresTheRegistryFormInStandardByteOrder) {
  // FlashSmmServiceGuid as the erase request carries it on the wire.
  const UINT8 expected[16] = {0xBF, 0xCC, 0xAB, 0xB2, 0xE1, 0x02, 0x6F, 0x43,
                              0x98, 0xB0, 0x20, 0x59, 0x9C, 0x49, 0xE2, 0xA1};
  EXPECT_EQ(0, std::memcmp(&gFlashSmmServiceGuid, expected, 16));
}

}  // namespace
}  // namespace ftpm::support
