// The dialog's UTF-16 string operations, at their limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/BoundedString.h"

namespace ftpm::driver {
namespace {

constexpr CHAR16 W = kWideMarker;
constexpr CHAR16 N = kNarrowMarker;
constexpr UINTN kUntouched = 0xDEAD;

std::u16string Text(const CHAR16* s) { return s; }

TEST(StringDisplayWidth, CountsColumnsWithTheNarrowAndWideMarkers) {
  EXPECT_EQ(StringDisplayWidth(nullptr, FALSE, 0, nullptr), 0U);
  EXPECT_EQ(StringDisplayWidth(u"", FALSE, 0, nullptr), 0U);
  EXPECT_EQ(StringDisplayWidth(u"abc", FALSE, 0, nullptr), 6U);
  // Two ordinary characters, the wide marker, two more: 2 + 4 columns.
  const CHAR16 wide[] = {u'a', u'b', W, u'c', u'd', 0};
  EXPECT_EQ(StringDisplayWidth(wide, FALSE, 0, nullptr), 12U);
  // Back to narrow after the narrow marker.
  const CHAR16 mixed[] = {u'a', W, u'b', N, u'c', 0};
  EXPECT_EQ(StringDisplayWidth(mixed, FALSE, 0, nullptr), 8U);
  // Markers alone, or at the end, add nothing.
  const CHAR16 markers[] = {W, N, W, 0};
  EXPECT_EQ(StringDisplayWidth(markers, FALSE, 0, nullptr), 0U);
  const CHAR16 trailing[] = {u'a', u'b', W, 0};
  EXPECT_EQ(StringDisplayWidth(trailing, FALSE, 0, nullptr), 4U);
}

TEST(StringDisplayWidth, LimitedWalkStopsAtTheCharacterThatOverflows) {
  UINTN offset = kUntouched;
  // Narrow only: Offset equals MaxWidth, and the overflowing character counts.
  EXPECT_EQ(StringDisplayWidth(u"abcdef", TRUE, 4, &offset), 10U);
  EXPECT_EQ(offset, 4U);

  // Exactly MaxWidth wide: no overflow, Offset untouched.
  offset = kUntouched;
  EXPECT_EQ(StringDisplayWidth(u"abcd", TRUE, 4, &offset), 8U);
  EXPECT_EQ(offset, kUntouched);

  // Offset counts units, markers included; a wide character overflows by two.
  const CHAR16 wide[] = {u'a', u'b', W, u'c', u'd', 0};
  offset = kUntouched;
  EXPECT_EQ(StringDisplayWidth(wide, TRUE, 3, &offset), 8U);
  EXPECT_EQ(offset, 3U);

  offset = kUntouched;
  EXPECT_EQ(StringDisplayWidth(u"a", TRUE, 0, &offset), 2U);
  EXPECT_EQ(offset, 0U);

  // Without a place to store it, the walk still stops and reports the width.
  EXPECT_EQ(StringDisplayWidth(u"abcdef", TRUE, 2, nullptr), 6U);
}

TEST(BoundedStrLen, CountsUpToTheNulButNeverBeyondMaxSize) {
  EXPECT_EQ(BoundedStrLen(nullptr, 10), 0U);
  EXPECT_EQ(BoundedStrLen(u"abc", 0), 0U);
  EXPECT_EQ(BoundedStrLen(u"abc", 10), 3U);
  EXPECT_EQ(BoundedStrLen(u"abc", 4), 3U);
  EXPECT_EQ(BoundedStrLen(u"abc", 3), 3U);
  EXPECT_EQ(BoundedStrLen(u"abc", 2), 2U);
  // Exactly MaxSize units and no NUL: under AddressSanitizer a read past the
  // end of this allocation would stop the test.
  std::vector<CHAR16> noNul(5, u'x');
  EXPECT_EQ(BoundedStrLen(noNul.data(), noNul.size()), 5U);
}

class BoundedStrCopyTest : public ::testing::Test {
 protected:
  BoundedStrCopyTest() { std::fill(std::begin(dest), std::end(dest), u'#'); }
  bool Untouched() const {
    return std::all_of(std::begin(dest), std::end(dest), [](CHAR16 c) { return c == u'#'; });
  }
  CHAR16 dest[8];
};

TEST_F(BoundedStrCopyTest, RefusesBadParametersWithoutWriting) {
  EXPECT_EQ(BoundedStrCopy(nullptr, 8, u"a", 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrCopy(dest, 8, nullptr, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrCopy(dest, 0, u"a", 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrCopy(dest, kBoundedStringLimit + 1, u"a", 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrCopy(dest, 8, u"a", kBoundedStringLimit + 1), EFI_INVALID_PARAMETER);
  // A length that wrapped below zero, as a shortened row of under three units gives.
  EXPECT_EQ(BoundedStrCopy(dest, 3, u"ab", static_cast<UINTN>(2) - 3), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(BoundedStrCopyTest, LengthZeroWritesOnlyTheNul) {
  EXPECT_EQ(BoundedStrCopy(dest, 8, u"abc", 0), EFI_SUCCESS);
  EXPECT_EQ(dest[0], 0);
  EXPECT_EQ(dest[1], u'#');
}

TEST_F(BoundedStrCopyTest, CopiesAtMostLengthCharacters) {
  EXPECT_EQ(BoundedStrCopy(dest, 8, u"abcdefgh", 3), EFI_SUCCESS);
  EXPECT_EQ(Text(dest), u"abc");
  EXPECT_EQ(dest[4], u'#');
  // A source shorter than Length stops at its NUL.
  EXPECT_EQ(BoundedStrCopy(dest, 8, u"xy", 6), EFI_SUCCESS);
  EXPECT_EQ(Text(dest), u"xy");
}

TEST_F(BoundedStrCopyTest, TheDestinationMustHoldTheSourceAndItsNul) {
  // DestMax 4: three characters and the NUL fit, four do not.
  EXPECT_EQ(BoundedStrCopy(dest, 4, u"abcd", 10), EFI_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Untouched());
  EXPECT_EQ(BoundedStrCopy(dest, 4, u"abc", 10), EFI_SUCCESS);
  EXPECT_EQ(Text(dest), u"abc");
  // Length below DestMax cuts a long source instead of refusing it.
  EXPECT_EQ(BoundedStrCopy(dest, 4, u"abcdefgh", 3), EFI_SUCCESS);
  EXPECT_EQ(Text(dest), u"abc");
}

TEST(BoundedStrCopy, AcceptsSizesAtTheLimit) {
  std::vector<CHAR16> big(kBoundedStringLimit, u'#');
  EXPECT_EQ(BoundedStrCopy(big.data(), kBoundedStringLimit, u"abc", kBoundedStringLimit), EFI_SUCCESS);
  EXPECT_EQ(Text(big.data()), u"abc");
}

TEST(BoundedStrCopy, RefusesOverlappingRanges) {
  CHAR16 buffer[16] = {u'a', u'b', u'c', 0};
  // The destination's four units begin at the source's NUL.
  EXPECT_EQ(BoundedStrCopy(buffer + 3, 4, buffer, 8), EFI_ACCESS_DENIED);
  EXPECT_EQ(buffer[3], 0);
  EXPECT_EQ(BoundedStrCopy(buffer + 1, 4, buffer, 8), EFI_ACCESS_DENIED);
  // Right behind the source's NUL: no overlap.
  EXPECT_EQ(BoundedStrCopy(buffer + 4, 4, buffer, 8), EFI_SUCCESS);
  EXPECT_EQ(Text(buffer + 4), u"abc");
  // Nor is a source that begins right after the destination's last unit.
  CHAR16 ahead[12] = {u'-', u'-', u'-', u'-', u'x', u'y', u'z', 0};
  EXPECT_EQ(BoundedStrCopy(ahead, 4, ahead + 4, 8), EFI_SUCCESS);
  EXPECT_EQ(Text(ahead), u"xyz");
  // The source range is only the part that is copied: with Length 1 it ends
  // at unit 1, so a destination from unit 2 is free.
  CHAR16 other[16] = {u'a', u'b', u'c', 0};
  EXPECT_EQ(BoundedStrCopy(other + 2, 4, other, 1), EFI_SUCCESS);
  EXPECT_EQ(Text(other), u"aba");
}

TEST(BoundedStrAppend, EllipsisNeedsFourFreeUnits) {
  CHAR16 four[4] = {0, u'#', u'#', u'#'};
  EXPECT_EQ(BoundedStrAppend(four, 4, u"..."), EFI_SUCCESS);
  EXPECT_EQ(Text(four), u"...");

  CHAR16 three[3] = {0, u'#', u'#'};
  EXPECT_EQ(BoundedStrAppend(three, 3, u"..."), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(three[1], u'#');

  CHAR16 six[6] = {u'a', u'b', 0, u'#', u'#', u'#'};
  EXPECT_EQ(BoundedStrAppend(six, 6, u"..."), EFI_SUCCESS);
  EXPECT_EQ(Text(six), u"ab...");

  CHAR16 five[5] = {u'a', u'b', 0, u'#', u'#'};
  EXPECT_EQ(BoundedStrAppend(five, 5, u"..."), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(five[2], 0);
  EXPECT_EQ(five[3], u'#');
}

TEST(BoundedStrAppend, RefusesBadDestinationsWithoutWriting) {
  CHAR16 full[3] = {u'a', u'b', u'c'};  // no NUL within DestMax
  EXPECT_EQ(BoundedStrAppend(full, 3, u"x"), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Text(std::u16string(full, 3).c_str()), u"abc");

  CHAR16 empty[4] = {0, u'#', u'#', u'#'};
  EXPECT_EQ(BoundedStrAppend(nullptr, 4, u"x"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrAppend(empty, 0, u"x"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrAppend(empty, kBoundedStringLimit + 1, u"x"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BoundedStrAppend(empty, 4, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(empty[1], u'#');

  // The source lies inside the destination's range.
  CHAR16 buffer[8] = {u'a', 0, u'x', u'y', 0};
  EXPECT_EQ(BoundedStrAppend(buffer, 8, buffer + 2), EFI_ACCESS_DENIED);
  EXPECT_EQ(buffer[1], 0);
}

TEST(Fill16, StoresCountUnitsAndReturnsTheBuffer) {
  CHAR16 buffer[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(Fill16(buffer + 1, 4, 0x2500), buffer + 1);
  EXPECT_EQ(std::u16string(buffer, 6), u"#\u2500\u2500\u2500\u2500#");
  EXPECT_EQ(Fill16(buffer, 0, u'x'), buffer);
  EXPECT_EQ(buffer[0], u'#');
}

}  // namespace
}  // namespace ftpm::driver
