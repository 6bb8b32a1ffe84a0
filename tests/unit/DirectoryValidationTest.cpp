// Directory formats and checksum: Fletcher-32 against an independent
// reference, validation of copies built byte by byte, validation by buffer
// handle (including buffers handed over by an earlier phase), the signature
// block exclusion and location translation.
#include "directory/Validation.h"

#include <cstring>
#include <random>

#include "directory/ProcessorIdentity.h"
#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::directory {
namespace {

using testing::Bytes;
using testing::Eax;
using testing::Entry;
using testing::ReferenceFletcher32;

// ---------------------------------------------------------------------------
// Fletcher-32
// ---------------------------------------------------------------------------

TEST(Fletcher32Test, NoWordsAndRunsOfZeroWordsGiveAllOnes) {
  const uint8_t zeros[2048] = {};
  EXPECT_EQ(Fletcher32(zeros, 0), 0xFFFFFFFFU);
  EXPECT_EQ(Fletcher32(zeros, 1), 0xFFFFFFFFU);
  EXPECT_EQ(Fletcher32(zeros, 1024), 0xFFFFFFFFU);
}

TEST(Fletcher32Test, SmallInputsWorkedByHand) {
  // [1]: sum1 = 0xFFFF + 1 folds to 1; sum2 = 0xFFFF + 0x10000 folds to 1.
  const uint8_t one[] = {0x01, 0x00};
  EXPECT_EQ(Fletcher32(one, 1), 0x00010001U);
  // [1, 2]: sum1 = 1, then 3 (mod 65535); sum2 = 1 + 3 = 4.
  const uint8_t two[] = {0x01, 0x00, 0x02, 0x00};
  EXPECT_EQ(Fletcher32(two, 2), 0x00040003U);
  // [0xFFFF]: both sums stay congruent to 0 and are shown as 0xFFFF.
  const uint8_t ones[] = {0xFF, 0xFF};
  EXPECT_EQ(Fletcher32(ones, 1), 0xFFFFFFFFU);
  // Words are little-endian: [0x0100].
  const uint8_t high[] = {0x00, 0x01};
  EXPECT_EQ(Fletcher32(high, 1), 0x01000100U);
}

TEST(Fletcher32Test, MatchesTheModularReferenceAcrossBlockBoundaries) {
  std::mt19937 random(42);
  for (size_t words : {3U, 358U, 359U, 360U, 717U, 718U, 719U, 780U, 4100U}) {
    for (int fill = 0; fill < 3; ++fill) {
      std::vector<uint8_t> data(words * 2 + 1);
      for (auto& b : data) {
        b = fill == 0 ? 0xFF : fill == 1 ? 0xFE : static_cast<uint8_t>(random());
      }
      // Also from an odd address: words need no alignment.
      EXPECT_EQ(Fletcher32(data.data() + 1, static_cast<UINT32>(words)), ReferenceFletcher32(data.data() + 1, words))
          << words << " words, fill " << fill;
    }
  }
}

// ---------------------------------------------------------------------------
// Level-1 and level-2 directories
// ---------------------------------------------------------------------------

class DirectoryValidationTest : public testing::DirectoryMachine {
 protected:
  static std::vector<Entry> Pointers(size_t count, uint32_t a = 0x48, uint32_t b = 0x4A) {
    std::vector<Entry> entries;
    for (size_t i = 0; i < count; ++i) {
      entries.push_back({static_cast<uint32_t>(i % 2 == 0 ? a : b), 0x1000, 0x100000 + 0x100 * i});
    }
    return entries;
  }
  BOOLEAN Mvq(const Bytes& copy, bool pointerRule = true, const char* cookie = "$MVQ") {
    return ValidateMvqDirectory(copy.data.data(), testing::Cookie(cookie), pointerRule ? TRUE : FALSE);
  }
};

TEST_F(DirectoryValidationTest, EmptyDirectoryIsValidWhenItsFourWordsSumRight) {
  Bytes copy = testing::Copy();
  copy.Directory(0, "$MVQ", {}, /*info=*/0x12345678);
  // The checksum covers EntryCount and Info only.
  const uint8_t words[] = {0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(copy.Get32(4), ReferenceFletcher32(words, 4));
  EXPECT_EQ(Mvq(copy), TRUE);
  EXPECT_EQ(Mvq(copy, false), TRUE);
  EXPECT_EQ(IsAbPointerDirectory(copy.data.data()), FALSE);
}

TEST_F(DirectoryValidationTest, CookieAndChecksumMustMatch) {
  Bytes copy = testing::Copy();
  copy.Directory(0, "$MVQ", {{0x04, 0x2000, 0x300000}, {0x54, 0x1000, 0x310000}});
  EXPECT_EQ(Mvq(copy), TRUE);
  EXPECT_EQ(Mvq(copy, true, "$ML2"), FALSE);
  Bytes l2 = testing::Copy();
  l2.Directory(0, "$ML2", {{0x04, 0x2000, 0x300000}});
  EXPECT_EQ(Mvq(l2, false, "$ML2"), TRUE);
  EXPECT_EQ(Mvq(l2, false, "$MVQ"), FALSE);

  Bytes wrong = testing::Copy();
  wrong.Directory(0, "$MVQ", {{0x04, 0x2000, 0x300000}}, 0, /*checksum=*/0x12345678);
  EXPECT_EQ(Mvq(wrong), FALSE);
}

TEST_F(DirectoryValidationTest, ChecksumCoversCountInfoAndEntriesButNotCookieOrChecksum) {
  Bytes copy = testing::Copy();
  copy.Directory(0, "$MVQ", {{0x04, 0x2000, 0x300000}, {0x54, 0x1000, 0x310000}}, 7);
  const uint32_t sum = Fletcher32(copy.data.data() + 8, 2 * 8 + 4);
  copy.U32(0, 0xDEADBEEF);
  copy.U32(4, 0);
  EXPECT_EQ(Fletcher32(copy.data.data() + 8, 2 * 8 + 4), sum);
  // Bytes after the last entry are not covered either.
  copy.U8(0x10 + 2 * 16, 0xAB);
  EXPECT_EQ(Fletcher32(copy.data.data() + 8, 2 * 8 + 4), sum);

  Bytes changed = testing::Copy();
  changed.Directory(0, "$MVQ", {{0x04, 0x2000, 0x300000}, {0x54, 0x1000, 0x310000}}, 7);
  ASSERT_EQ(Mvq(changed), TRUE);
  changed.U32(12, 8);  // Info
  EXPECT_EQ(Mvq(changed), FALSE);
  changed.U32(12, 7);
  changed.U8(0x10 + 16 + 15, 0x40);  // top byte of the last entry's Location
  EXPECT_EQ(Mvq(changed), FALSE);
}

TEST_F(DirectoryValidationTest, EntryCountLimits) {
  // 513 fails on the count before any checksum could matter.
  Bytes over = testing::Copy();
  over.Directory(0, "$MVQ", {}, 0, {}, /*count=*/513);
  EXPECT_EQ(Mvq(over), FALSE);

  // 96 entries fill the copy exactly and can be valid.
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < 96; ++i) {
    entries.push_back({0x10 + i, i, 0x1000ULL * i});
  }
  Bytes full = testing::Copy();
  full.Directory(0, "$MVQ", entries);
  EXPECT_EQ(Mvq(full), TRUE);

  // 97 to 512 entries pass the format's count test but do not fit the copy:
  // refused, whatever the checksum says, without reading past the copy.
  for (uint32_t count : {97U, 200U, 512U}) {
    std::vector<uint8_t> exact(full.data);  // exactly 1552 bytes: ASan sees any read beyond
    testing::Bytes b(0);
    b.data = exact;
    b.U32(8, count);
    EXPECT_EQ(Mvq(b), FALSE) << count;
    EXPECT_EQ(Mvq(b, false), FALSE) << count;
    EXPECT_EQ(IsAbPointerDirectory(b.data.data()), FALSE) << count;
  }
}

TEST_F(DirectoryValidationTest, PointerRuleLimitsDirectoriesMadeOnlyOfPointers) {
  Bytes p32 = testing::Copy();
  p32.Directory(0, "$MVQ", Pointers(32));
  EXPECT_EQ(IsAbPointerDirectory(p32.data.data()), TRUE);
  EXPECT_EQ(Mvq(p32), TRUE);
  EXPECT_EQ(Mvq(p32, false), TRUE);

  Bytes p33 = testing::Copy();
  p33.Directory(0, "$MVQ", Pointers(33));
  EXPECT_EQ(Mvq(p33), FALSE);
  EXPECT_EQ(Mvq(p33, false), TRUE);
  // A copy filled with pointers, 96 of them, is still a pointer directory.
  Bytes p96 = testing::Copy();
  p96.Directory(0, "$MVQ", Pointers(96));
  EXPECT_EQ(IsAbPointerDirectory(p96.data.data()), TRUE);
  EXPECT_EQ(Mvq(p96), FALSE);

  // One other entry makes it a plain directory: no limit on its pointers.
  std::vector<Entry> mixed = Pointers(32);
  mixed.push_back({0x04, 0x1000, 0x200000});
  mixed.push_back({0x48, 0x1000, 0x200000});
  Bytes plain = testing::Copy();
  plain.Directory(0, "$MVQ", mixed);
  EXPECT_EQ(IsAbPointerDirectory(plain.data.data()), FALSE);
  EXPECT_EQ(Mvq(plain), TRUE);
}

TEST_F(DirectoryValidationTest, PointerTestInEightBitModeIgnoresSubtypeAndVariant) {
  const uint32_t a = 0x48 | (0x05 << 8) | (0x3 << 19);
  const uint32_t b = 0x4A | 0xFF000000;
  Bytes copy = testing::Copy();
  copy.Directory(0, "$MVQ", Pointers(33, a, b));
  EXPECT_EQ(IsAbPointerDirectory(copy.data.data()), TRUE);
  EXPECT_EQ(Mvq(copy), FALSE);
}

TEST_F(DirectoryValidationTest, PointerTestInSixteenBitModeUsesAliases) {
  m.cpu.Signature = testing::kCpuWide;
  Bytes wide = testing::Copy();
  wide.Directory(0, "$MVQ", Pointers(33, 0x013C, 0x0001013D));
  EXPECT_EQ(IsAbPointerDirectory(wide.data.data()), TRUE);
  EXPECT_EQ(Mvq(wide), FALSE);
  // 8-bit pointer types are ordinary entries on this processor.
  Bytes narrow = testing::Copy();
  narrow.Directory(0, "$MVQ", Pointers(33));
  EXPECT_EQ(IsAbPointerDirectory(narrow.data.data()), FALSE);
  EXPECT_EQ(Mvq(narrow), TRUE);
  EXPECT_TRUE(PostCodes().empty());
}

TEST_F(DirectoryValidationTest, PointerDirectoryTestReportsImpossibleInput) {
  Bytes copy = testing::Copy();
  copy.Directory(0, "$MVQ", Pointers(2), 0, {}, /*count=*/600);
  EXPECT_EQ(IsAbPointerDirectory(copy.data.data()), FALSE);
  EXPECT_EQ(m.debug.Count("MVQ Entries exceeds the limit\n"), 1U);
  // 512 entries is the limit itself: refused as more than a copy holds, silently.
  copy.Directory(0, "$MVQ", Pointers(2), 0, {}, /*count=*/512);
  EXPECT_EQ(IsAbPointerDirectory(copy.data.data()), FALSE);
  EXPECT_EQ(m.debug.Count("MVQ Entries exceeds the limit\n"), 1U);
  EXPECT_EQ(IsAbPointerDirectory(nullptr), FALSE);
  EXPECT_EQ(PostCodes(), std::vector<uint32_t>{0x22010466});
}

// ---------------------------------------------------------------------------
// BHD directories
// ---------------------------------------------------------------------------

TEST_F(DirectoryValidationTest, BhdDirectoriesSumTwentyFourByteEntries) {
  auto build = [](const char* cookie, uint32_t count, uint32_t countWritten) {
    Bytes copy = testing::Copy();
    copy.U32(0, testing::Cookie(cookie));
    copy.U32(8, count);
    copy.U32(12, 0x55);
    for (uint32_t i = 0; i < count * 24 && 16 + i < 1552; ++i) {
      copy.U8(16 + i, static_cast<uint8_t>(i * 7 + 1));
    }
    copy.U32(4, ReferenceFletcher32(&copy.data[8], count * 12 + 4));
    copy.U32(8, countWritten);
    return copy;
  };
  Bytes bhd = build("$BHD", 3, 3);
  EXPECT_EQ(ValidateBhdDirectory(bhd.data.data(), testing::Cookie("$BHD")), TRUE);
  EXPECT_EQ(ValidateBhdDirectory(bhd.data.data(), testing::Cookie("$BL2")), FALSE);
  // The same bytes judged as 16-byte entries sum differently.
  EXPECT_EQ(ValidateMvqDirectory(bhd.data.data(), testing::Cookie("$BHD"), FALSE), FALSE);
  Bytes bl2 = build("$BL2", 64, 64);  // fills the copy exactly
  EXPECT_EQ(ValidateBhdDirectory(bl2.data.data(), testing::Cookie("$BL2")), TRUE);
  Bytes tooMany = build("$BL2", 64, 65);
  EXPECT_EQ(ValidateBhdDirectory(tooMany.data.data(), testing::Cookie("$BL2")), FALSE);
  Bytes over = build("$BHD", 0, 513);
  EXPECT_EQ(ValidateBhdDirectory(over.data.data(), testing::Cookie("$BHD")), FALSE);
  Bytes empty = build("$BHD", 0, 0);
  EXPECT_EQ(ValidateBhdDirectory(empty.data.data(), testing::Cookie("$BHD")), TRUE);
  Bytes badSum = build("$BHD", 3, 3);
  badSum.U32(4, badSum.Get32(4) ^ 0x00010000);
  EXPECT_EQ(ValidateBhdDirectory(badSum.data.data(), testing::Cookie("$BHD")), FALSE);
}

// ---------------------------------------------------------------------------
// Validation by handle
// ---------------------------------------------------------------------------

class CachedDirectoryTest : public DirectoryValidationTest {
 protected:
  // Fills the cached buffer of handle with bytes (creating it as 1552 bytes).
  void Put(uint32_t handle, const std::vector<uint8_t>& bytes) {
    VOID* buffer = nullptr;
    ASSERT_EQ(support::GetOrCreateBuffer(handle, 1552, &buffer), TRUE);
    std::memcpy(buffer, bytes.data(), std::min<size_t>(bytes.size(), 1552));
  }
  BOOLEAN Check(uint32_t handle, VOID** copy = nullptr) {
    VOID* local = nullptr;
    return ValidateCachedDirectory(handle, handle == 41020 ? 104 : 1552, copy != nullptr ? copy : &local);
  }
};

TEST_F(CachedDirectoryTest, FirstValidationCreatesAZeroBufferThatIsNotValid) {
  for (uint32_t handle : {41020U, 41021U, 41022U, 41023U, 41024U}) {
    VOID* copy = nullptr;
    EXPECT_EQ(Check(handle, &copy), FALSE) << handle;
    ASSERT_NE(copy, nullptr);
    const std::vector<uint8_t> held = Cached(handle);
    EXPECT_EQ(held.size(), handle == 41020 ? 104U : 1552U);
    EXPECT_EQ(held, std::vector<uint8_t>(held.size(), 0));
  }
}

TEST_F(CachedDirectoryTest, EachHandleHasItsOwnRule) {
  Bytes mvq = testing::Copy();
  mvq.Directory(0, "$MVQ", Pointers(33));
  Bytes ml2 = testing::Copy();
  ml2.Directory(0, "$ML2", Pointers(33));
  Put(41021, mvq.data);
  Put(41023, ml2.data);
  EXPECT_EQ(Check(41021), FALSE);  // the pointer rule applies to the level-1 copy
  EXPECT_EQ(Check(41023), TRUE);   // but not to the level-2 copy

  Bytes good = testing::Copy();
  good.Directory(0, "$MVQ", Pointers(2));
  Put(41021, good.data);
  VOID* copy = nullptr;
  EXPECT_EQ(Check(41021, &copy), TRUE);
  EXPECT_EQ(std::memcmp(copy, good.data.data(), 1552), 0);
  Put(41023, good.data);
  EXPECT_EQ(Check(41023), FALSE);  // "$MVQ" where "$ML2" belongs

  // Handles outside the table never validate.
  Put(41015, good.data);
  EXPECT_EQ(ValidateCachedDirectory(41015, 1552, &copy), FALSE);
  EXPECT_EQ(ValidateCachedDirectory(41021, 1552, nullptr), FALSE);
}

TEST_F(CachedDirectoryTest, BhdHandlesUseTheBhdRule) {
  Bytes bhd = testing::Copy();
  bhd.U32(0, testing::Cookie("$BHD"));
  bhd.U32(8, 0);
  bhd.U32(4, 0xFFFFFFFF);
  Put(41022, bhd.data);
  EXPECT_EQ(Check(41022), TRUE);
  EXPECT_EQ(Check(41024), FALSE);
  bhd.U32(0, testing::Cookie("$BL2"));
  Put(41024, bhd.data);
  EXPECT_EQ(Check(41024), TRUE);
}

TEST_F(CachedDirectoryTest, AbRecoveryInfoNeedsPointersAndAnEligibleSide) {
  std::vector<uint8_t> info(104, 0);
  VOID* buffer = nullptr;
  ASSERT_EQ(support::GetOrCreateBuffer(41020, 104, &buffer), TRUE);
  info[0] = 2;  // PointerCount
  std::memcpy(buffer, info.data(), 104);
  EXPECT_EQ(Check(41020), FALSE);
  info[4] = 1;  // EligibleCount
  std::memcpy(buffer, info.data(), 104);
  EXPECT_EQ(Check(41020), TRUE);
  info[0] = 0;
  std::memcpy(buffer, info.data(), 104);
  EXPECT_EQ(Check(41020), FALSE);
}

// An empty $BHD or $BL2 directory, valid in itself, in a buffer of only its
// 16 header bytes.
std::vector<uint8_t> ShortBhd(const char* cookie) {
  Bytes bhd(16, 0);
  bhd.U32(0, testing::Cookie(cookie));
  bhd.U32(4, 0xFFFFFFFF);
  return bhd.data;
}

// Buffers handed over through HOBs are judged like any other copy; one too
// small for its rule is not valid and is never read past its end.
TEST_F(CachedDirectoryTest, HandedOverBuffersAreJudgedAndShortOnesRefused) {
  Bytes good = testing::Copy();
  good.Directory(0, "$MVQ", Pointers(2));
  m.SetHobList(sim::HobListBuilder()
                   .HeapBuffer(41021, good.data)
                   .HeapBuffer(41023, std::vector<uint8_t>(good.data.begin(), good.data.begin() + 40))
                   .HeapBuffer(41020, std::vector<uint8_t>{1, 0, 0, 0, 1})
                   .HeapBuffer(41022, ShortBhd("$BHD"))
                   .HeapBuffer(41024, ShortBhd("$BL2"))
                   .Build());
  StartBufferCache();
  EXPECT_EQ(Check(41021), TRUE);
  EXPECT_EQ(Check(41023), FALSE);
  EXPECT_EQ(Check(41020), FALSE);
  EXPECT_EQ(Check(41022), FALSE);
  EXPECT_EQ(Check(41024), FALSE);
  EXPECT_EQ(Cached(41023).size(), 40U);
  VOID* buffer = nullptr;
  EXPECT_EQ(GetCacheBuffer(41023, 1552, &buffer), FALSE);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(GetCacheBuffer(41021, 1552, &buffer), TRUE);
  EXPECT_NE(buffer, nullptr);
}

// ---------------------------------------------------------------------------
// Signature block exclusion and location translation
// ---------------------------------------------------------------------------

TEST_F(DirectoryValidationTest, ExclusionByteSkipsBlocksOnNewerProcessorsOnly) {
  Bytes block(60, 0);
  block.U8(0x24, 0xFF);
  const auto* raw = reinterpret_cast<const RomSignatureBlock*>(block.data.data());
  struct Case {
    uint32_t family, model;
    BOOLEAN excluded;
  };
  for (const Case& c :
       {Case{0x17, 0x2F, FALSE}, Case{0x17, 0x30, TRUE}, Case{0x17, 0x10, FALSE}, Case{0x19, 0x00, TRUE},
        Case{0x1A, 0x24, TRUE}, Case{0x16, 0xF0, FALSE}, Case{0x18, 0x00, TRUE}}) {
    m.cpu.Signature = Eax(c.family, c.model);
    EXPECT_EQ(IsSignatureBlockExcluded(raw), c.excluded) << std::hex << c.family << "/" << c.model;
  }
  for (uint8_t value : {0x00, 0x01, 0xFE}) {
    block.U8(0x24, value);
    m.cpu.Signature = Eax(0x19, 0x21);
    EXPECT_EQ(IsSignatureBlockExcluded(raw), FALSE);
  }
}

TEST(TranslateEntryLocationTest, EachModeBuildsItsAddress) {
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(2, 0x1000), 0xFF000000, 0xFF000000), 0xFF001000U);
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(1, 0x1000), 0xFF000000, 0xFF000000), 0x1000U);
  EXPECT_EQ(TranslateEntryLocation(0x3FFF000000001000, 0xFF000000, 0xFF000000), 0x3FFF000000001000U);
  // Mode 1 keeps bits 0-61, mode 3 adds the 32-bit base zero-extended.
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(1, 0x2000000000001000), 5, 5), 0x2000000000001000U);
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(3, 0x1000), 0xFD00400000, 0x00400000), 0x401000U);
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(3, 0x10), 0, 0xFFFFFFF0), 0x100000000U);
  // Mode 2 adds the full 64-bit base, wrapping.
  EXPECT_EQ(TranslateEntryLocation(testing::Mode(2, 0x10), 0xFD00400000, 0x00400000), 0xFD00400010U);
  EXPECT_EQ(TranslateEntryLocation(0xBFFFFFFFFFFFFFFF, 0xC000000000000001, 1), 0U);
}

}  // namespace
}  // namespace ftpm::directory
