// Directory discovery: the signature-block scan per processor, the exclusion
// rule, combo selection, the alternate pointer, and the cache (shown in the
// flash load log).
#include "directory/Discovery.h"

#include <cstring>
#include <set>

#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::directory {
namespace {

using testing::Bytes;
using testing::Eax;
using testing::Entry;

constexpr uint32_t kL1 = 0x100000;
constexpr uint32_t kOther = 0x140000;
constexpr uint32_t kAlternate = 0x180000;
constexpr uint32_t kCombo = 0x1C0000;

const std::vector<Entry> kEntries = {{0x04, 0x4000, 0x300000}, {0x54, 0x2000, 0x310000}};
const std::vector<Entry> kOtherEntries = {{0x04, 0x1111, 0x333000}};

class DiscoveryTest : public testing::DirectoryMachine {
 protected:
  void Flash(uint32_t cpu) {
    m.cpu.Signature = cpu;
    m.flash.SetImage(image.data);
    m.flash.ClearLog();
  }
  // The copy discovery hands out, or empty when it fails.
  std::vector<uint8_t> Find(VOID** where = nullptr) {
    VOID* copy = reinterpret_cast<VOID*>(1);
    BOOLEAN found = FALSE;
    auto outcome = m.Run([&] {
      found = FindMvqDirectory(&copy);
      return EFI_SUCCESS;
    });
    EXPECT_TRUE(outcome.Returned());
    if (found == FALSE) {
      EXPECT_EQ(copy, reinterpret_cast<VOID*>(1));  // untouched
      return {};
    }
    if (where != nullptr) {
      *where = copy;
    }
    const auto* p = static_cast<const uint8_t*>(copy);
    return std::vector<uint8_t>(p, p + 1552);
  }
  std::vector<uint8_t> DirectoryAt(uint32_t offset) {
    return std::vector<uint8_t>(image.data.begin() + offset, image.data.begin() + offset + 1552);
  }
  // Start addresses of the signature-block probes: loads at a candidate
  // offset of some window.
  std::vector<uint64_t> Probes(uint64_t windowBase) {
    std::set<uint64_t> candidates;
    for (uint64_t w = 0; w < 4; ++w) {
      for (uint64_t c : kSignatureBlockCandidates) {
        candidates.insert(windowBase + w * 0x1000000 + c);
      }
    }
    std::vector<uint64_t> probes;
    for (const auto& access : m.flash.Log) {
      if (candidates.count(access.Address) != 0) {
        probes.push_back(access.Address);
      }
    }
    return probes;
  }

  Bytes image{0x1000000};
};

TEST_F(DiscoveryTest, BlockAtTheSecondCandidateIsFound) {
  image.SignatureBlock(0x820000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpu16M);
  VOID* copy = nullptr;
  EXPECT_EQ(Find(&copy), DirectoryAt(kL1));
  EXPECT_EQ(Probes(0xFF000000), (std::vector<uint64_t>{0xFF020000, 0xFF820000}));
  // Each probe reads 60 bytes (8 words); the directory is one 1552-byte read.
  EXPECT_EQ(m.flash.Loads64(), 8U + 8U + 1552U / 8);
  // The first success hands out the scratch copy and caches the same bytes.
  support::BufferLocateRequest scratch{41015, 0, nullptr};
  support::FindCachedBuffer(&scratch);
  EXPECT_EQ(copy, scratch.Buffer);
  EXPECT_EQ(Cached(41021), DirectoryAt(kL1));
}

TEST_F(DiscoveryTest, WideTypeProcessorsProbeOnlyTheFirstCandidateOfEachWindow) {
  image.SignatureBlock(0x820000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuWide);
  EXPECT_TRUE(Find().empty());
  EXPECT_EQ(Probes(0xFD00000000), (std::vector<uint64_t>{0xFD00020000, 0xFD01020000, 0xFD02020000, 0xFD03020000}));

  image.data.resize(0x2100000, 0xFF);
  image.SignatureBlock(0x2020000, kL1);
  Flash(testing::kCpuWide);
  EXPECT_EQ(Find(), DirectoryAt(kL1));
  EXPECT_EQ(Probes(0xFD00000000), (std::vector<uint64_t>{0xFD00020000, 0xFD01020000, 0xFD02020000}));
}

TEST_F(DiscoveryTest, EveryCandidateOfEveryDistinctWindowIsProbedOnce) {
  Flash(testing::kCpuPlain64M);
  EXPECT_TRUE(Find().empty());
  std::vector<uint64_t> all;
  for (uint64_t w = 0; w < 4; ++w) {
    for (uint64_t c : kSignatureBlockCandidates) {
      all.push_back(0xFD00000000 + w * 0x1000000 + c);
    }
  }
  EXPECT_EQ(Probes(0xFD00000000), all);

  // Through the 16 MB window the later windows show the same bytes, so they
  // are not probed again.
  Flash(testing::kCpu16M);
  EXPECT_TRUE(Find().empty());
  EXPECT_EQ(Probes(0xFF000000),
            (std::vector<uint64_t>{0xFF020000, 0xFF820000, 0xFFC20000, 0xFFE20000, 0xFFF20000, 0xFFFA0000}));
  EXPECT_EQ(m.flash.Loads64(), 6U * 8U);
}

TEST_F(DiscoveryTest, ExcludedBlocksAreSkippedOnlyByNewerProcessors) {
  image.SignatureBlock(0x020000, kOther, /*exclusion=*/0xFF);
  image.Directory(kOther, "$MVQ", kOtherEntries);
  image.SignatureBlock(0x820000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(Eax(0x19, 0x21));
  EXPECT_EQ(Find(), DirectoryAt(kL1));

  Boot(Eax(0x17, 0x10));
  Flash(Eax(0x17, 0x10));
  EXPECT_EQ(Find(), DirectoryAt(kOther));
}

TEST_F(DiscoveryTest, BlocksWithoutTheSignatureAreSkipped) {
  image.SignatureBlock(0x020000, kOther, 0, 0, /*signature=*/0x55AA55AB);
  image.Directory(kOther, "$MVQ", kOtherEntries);
  image.SignatureBlock(0xC20000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpu16M);
  EXPECT_EQ(Find(), DirectoryAt(kL1));
}

TEST_F(DiscoveryTest, ChosenBlockWithABadDirectoryEndsTheSearch) {
  image.SignatureBlock(0x020000, kOther, 0, kL1);
  image.Directory(kOther, "$MVQ", kOtherEntries, 0, /*checksum=*/1);
  image.SignatureBlock(0x820000, kL1);  // a good block that is never reached
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuPlain64M);  // no A/B layout: the alternate is not tried
  EXPECT_TRUE(Find().empty());
  EXPECT_EQ(Probes(0xFD00000000), std::vector<uint64_t>{0xFD00020000});
  EXPECT_EQ(Cached(41021), std::vector<uint8_t>(1552, 0));
}

TEST_F(DiscoveryTest, AlternatePointerServesLayoutTwoProcessors) {
  image.SignatureBlock(0x020000, kOther, 0, kAlternate);
  image.Directory(kOther, "$ML2", kOtherEntries);  // wrong cookie
  image.Directory(kAlternate, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_EQ(Find(), DirectoryAt(kAlternate));
  EXPECT_EQ(Cached(41021), DirectoryAt(kAlternate));

  // A bad alternate fails as well.
  image.Directory(kAlternate, "$MVQ", kEntries, 0, /*checksum=*/7);
  Boot(testing::kCpuAb2);
  Flash(testing::kCpuAb2);
  EXPECT_TRUE(Find().empty());
}

// An alternate pointer outside the flash offsets and both windows cannot be
// read: FALSE, and no later candidate is probed.
TEST_F(DiscoveryTest, AlternatePointerThatCannotBeReadFails) {
  image.SignatureBlock(0x020000, kOther, 0, 0x80000000);
  image.Directory(kOther, "$ML2", kOtherEntries);  // wrong cookie
  image.SignatureBlock(0x820000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_TRUE(Find().empty());
  EXPECT_EQ(Probes(0xFD00000000), std::vector<uint64_t>{0xFD00020000});
  EXPECT_EQ(Cached(41021), std::vector<uint8_t>(1552, 0));
}

TEST_F(DiscoveryTest, DirectoriesFailingThePointerRuleAreNotHandedOut) {
  std::vector<Entry> pointers;
  for (uint32_t i = 0; i < 33; ++i) {
    pointers.push_back({i % 2 == 0 ? 0x48U : 0x4AU, 0x20, 0x180000 + 0x40 * i});
  }
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", pointers);
  Flash(testing::kCpuAb1);
  EXPECT_TRUE(Find().empty());

  // Nor at the alternate pointer of layout 2.
  image.SignatureBlock(0x020000, kOther, 0, kAlternate);
  image.Directory(kOther, "$ML2", kOtherEntries);  // wrong cookie
  image.Directory(kAlternate, "$MVQ", pointers);
  Boot(testing::kCpuAb2);
  Flash(testing::kCpuAb2);
  EXPECT_TRUE(Find().empty());
}

TEST_F(DiscoveryTest, ComboSelectsTheRunningGenerationsDirectory) {
  image.SignatureBlock(0x020000, kCombo);
  image.Combo(kCombo, {{0xBC0D0300, kOther}, {0xBC0D0400, kL1}});
  image.Directory(kOther, "$MVQ", kOtherEntries);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);  // MvqId 0xBC0D0400
  EXPECT_EQ(Find(), DirectoryAt(kL1));

  Boot(Eax(0x19, 0x61));  // row 4, MvqId 0xBC0D0300
  Flash(Eax(0x19, 0x61));
  EXPECT_EQ(Find(), DirectoryAt(kOther));
}

TEST_F(DiscoveryTest, ComboWithoutAMatchFailsOrFallsBackToTheAlternate) {
  image.SignatureBlock(0x020000, kCombo, 0, kAlternate);
  image.Combo(kCombo, {{0xBC0D0300, kOther}});
  image.Directory(kOther, "$MVQ", kOtherEntries);
  image.Directory(kAlternate, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_EQ(Find(), DirectoryAt(kAlternate));

  Boot(Eax(0x19, 0x21));  // MvqId 0xBC0B0500, no A/B layout
  Flash(Eax(0x19, 0x21));
  EXPECT_TRUE(Find().empty());
}

TEST_F(DiscoveryTest, MatchingComboEntryThatCannotBeReadFailsAtOnce) {
  image.SignatureBlock(0x020000, kCombo, 0, kAlternate);
  image.Combo(kCombo, {{0xBC0D0400, 0xFE000000}});
  image.Directory(kAlternate, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_TRUE(Find().empty());
  for (const auto& access : m.flash.Log) {
    EXPECT_NE(access.Address, 0xFD00000000 + kAlternate);
  }
}

TEST_F(DiscoveryTest, AlternatePointerIsNotTakenForACombo) {
  image.SignatureBlock(0x020000, kOther, 0, kCombo);
  image.Directory(kOther, "$ML2", kOtherEntries);
  image.Combo(kCombo, {{0xBC0D0400, kL1}});
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_TRUE(Find().empty());
}

// The combo copy holds 95 entries: the last one that fits is found; a combo
// announcing more than that is refused (as if nothing matched), without
// reading beyond the copy.
TEST_F(DiscoveryTest, ComboEntriesBeyondTheCopyAreNeverRead) {
  std::vector<std::pair<uint32_t, uint32_t>> entries(95, {0x12345678, kOther});
  entries[94] = {0xBC0D0400, kL1};
  image.SignatureBlock(0x020000, kCombo, 0, kAlternate);
  image.Combo(kCombo, entries);
  image.Directory(kOther, "$MVQ", kOtherEntries);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuAb2);
  EXPECT_EQ(Find(), DirectoryAt(kL1));

  entries[0] = {0xBC0D0400, kL1};
  image.Combo(kCombo, entries, /*count=*/96);
  image.Directory(kAlternate, "$MVQ", kOtherEntries);
  Boot(testing::kCpuAb2);
  Flash(testing::kCpuAb2);
  EXPECT_EQ(Find(), DirectoryAt(kAlternate));
  image.Combo(kCombo, entries, /*count=*/0xFFFFFFFF);
  Boot(testing::kCpuAb2);
  Flash(testing::kCpuAb2);
  EXPECT_EQ(Find(), DirectoryAt(kAlternate));
}

TEST_F(DiscoveryTest, UnreadableDirectoryPointerFails) {
  image.SignatureBlock(0x020000, 0x04000000);
  Flash(testing::kCpu16M);
  EXPECT_TRUE(Find().empty());
  image.SignatureBlock(0x020000, 0xFFFFFC00);  // the copy would run past 4 GB
  Flash(testing::kCpu16M);
  EXPECT_TRUE(Find().empty());
}

TEST_F(DiscoveryTest, DirectoryAtAWindowAddressIsCopiedFromTheWindow) {
  image.SignatureBlock(0x020000, 0xFF000000 + kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpu16M);
  EXPECT_EQ(Find(), DirectoryAt(kL1));
  ASSERT_FALSE(m.flash.Log.empty());
  EXPECT_EQ(m.flash.Log.back().Kind, sim::FlashAccessKind::MappedCopy);
  EXPECT_EQ(m.flash.Log.back().Address, 0xFF000000U + kL1);
}

TEST_F(DiscoveryTest, UnknownProcessorReportsAndReadsNothing) {
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpuUnknown);
  EXPECT_TRUE(Find().empty());
  EXPECT_EQ(PostCodes(), std::vector<uint32_t>{0x22011152});
  EXPECT_TRUE(m.flash.Log.empty());
}

TEST_F(DiscoveryTest, SecondCallIsServedFromTheCacheWithoutFlashReads) {
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  Flash(testing::kCpu16M);
  VOID* first = nullptr;
  VOID* second = nullptr;
  ASSERT_EQ(Find(&first), DirectoryAt(kL1));
  m.flash.ClearLog();
  EXPECT_EQ(Find(&second), DirectoryAt(kL1));
  EXPECT_TRUE(m.flash.Log.empty());
  EXPECT_NE(first, second);  // scratch first, the cached copy afterwards
  EXPECT_EQ(Find(), DirectoryAt(kL1));
  EXPECT_TRUE(m.flash.Log.empty());
}

TEST_F(DiscoveryTest, HandedOverCopiesAreUsedWhenValidAndRescannedWhenNot) {
  Bytes handed = testing::Copy();
  handed.Directory(0, "$MVQ", kOtherEntries);
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  m.SetHobList(sim::HobListBuilder().HeapBuffer(41021, handed.data).Build());
  StartBufferCache();
  Flash(testing::kCpu16M);
  EXPECT_EQ(Find(), handed.data);
  EXPECT_TRUE(m.flash.Log.empty());

  handed.U32(12, 1);  // Info changed: the checksum no longer holds
  m.SetHobList(sim::HobListBuilder().HeapBuffer(41021, handed.data).Build());
  StartBufferCache();
  Flash(testing::kCpu16M);
  EXPECT_EQ(Find(), DirectoryAt(kL1));
  EXPECT_EQ(Cached(41021), DirectoryAt(kL1));
}

// Buffers of the wrong size handed over under discovery's handles are never
// written past their end: a short scratch buffer fails discovery, a short
// cache buffer only loses the caching.
TEST_F(DiscoveryTest, ShortHandedOverBuffersAreNotOverrun) {
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", kEntries);
  m.SetHobList(sim::HobListBuilder().HeapBuffer(41015, std::vector<uint8_t>(8, 0)).Build());
  StartBufferCache();
  Flash(testing::kCpu16M);
  EXPECT_TRUE(Find().empty());

  m.SetHobList(sim::HobListBuilder().HeapBuffer(41021, std::vector<uint8_t>(16, 0)).Build());
  StartBufferCache();
  Flash(testing::kCpu16M);
  EXPECT_EQ(Find(), DirectoryAt(kL1));
  EXPECT_EQ(Cached(41021), std::vector<uint8_t>(16, 0));
}

}  // namespace
}  // namespace ftpm::directory
