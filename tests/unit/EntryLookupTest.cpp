// Entry lookup: every road to a level-2 directory (A/B layouts 1 and 2, a
// plain A/B pair, the type-0x40 pointer), the level-1 search, each fallback,
// the RecoveryFlag register accesses, and the caching shown in the flash log.
#include "directory/EntryLookup.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm::directory {
namespace {

using testing::Bytes;
using testing::Entry;
using testing::Mode;

constexpr uint32_t kL1 = 0x100000;
constexpr uint32_t kL2A = 0x200000;
constexpr uint32_t kL2B = 0x240000;
constexpr uint32_t kSlotA = 0x180000;
constexpr uint32_t kSlotB = 0x180100;
constexpr uint32_t kBit30 = 0x40000000;

// Packed fields are compared by value: a reference to one may be unaligned.
template <typename T>
T Value(T field) {
  return field;
}

struct Found {
  uint64_t Address;
  uint32_t Size;
  bool operator==(const Found&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << std::hex << "{0x" << f.Address << ", 0x" << f.Size << "}";
}

class LookupTest : public testing::DirectoryMachine {
 protected:
  // Writes the image with a signature block at 0x20000 pointing to the
  // level-1 directory, and boots the processor on it.
  void Start(uint32_t cpu, const std::vector<Entry>& level1) {
    image.SignatureBlock(0x020000, kL1);
    image.Directory(kL1, "$MVQ", level1);
    Boot(cpu);
    m.flash.SetImage(image.data);
    m.flash.ClearLog();
    m.registers.Log.clear();
  }
  void Flag(uint32_t value) {
    m.registers.RegisterFile[kRecoveryFlagRegister] = value;
    m.registers.RegisterFile[kRecoveryFlagRegisterAlt] = value;
  }
  std::optional<Found> Lookup(uint32_t type) {
    UINT64 address = 0xAAAA;
    UINT32 size = 0xBBBB;
    BOOLEAN result = FALSE;
    auto outcome = m.Run([&] {
      result = LookupMvqEntry(type, &address, &size);
      return EFI_SUCCESS;
    });
    EXPECT_TRUE(outcome.Returned());
    if (result == FALSE) {
      EXPECT_EQ(address, 0xAAAAU);  // untouched
      EXPECT_EQ(size, 0xBBBBU);
      return std::nullopt;
    }
    return Found{address, size};
  }
  // Flash reads that started at a flash offset (through the 64 MB window, or
  // the 16 MB window, or a mapped copy).
  bool ReadAt(uint32_t offset) const {
    for (const auto& access : m.flash.Log) {
      if (access.Address == 0xFD00000000 + offset || access.Address == 0xFF000000 + offset) {
        return true;
      }
    }
    return false;
  }
  size_t RecoveryFlagReads() const {
    size_t reads = 0;
    for (const auto& access : m.registers.Log) {
      reads += (!access.Write && access.Address == kDataRegister) ? 1 : 0;
    }
    return reads;
  }
  // Layout-1 slot headers of these priorities at kSlotA and kSlotB, their
  // level-2 directories, and a level-1 directory pointing at both.
  void Sides1(uint32_t priorityA, uint32_t priorityB) {
    image.Slot1(kSlotA, priorityA, 0x11, 0x12, kL2A);
    image.Slot1(kSlotB, priorityB, 0x21, 0x22, kL2B);
    image.Directory(kL2A, "$ML2", {{0x04, 0xA0, 0x1000}, {0x54, 0xA0, 0x1100}});
    image.Directory(kL2B, "$ML2", {{0x04, 0xA1, 0x2000}, {0x54, 0xA1, 0x2100}});
    Start(testing::kCpuAb1, {{0x48, 0x10, kSlotA}, {0x4A, 0x10, kSlotB}});
  }
  AbRecoveryInfo CachedInfo() const {
    AbRecoveryInfo info{};
    const std::vector<uint8_t> bytes = Cached(41020);
    EXPECT_EQ(bytes.size(), sizeof info);
    std::memcpy(&info, bytes.data(), std::min(bytes.size(), sizeof info));
    return info;
  }

  Bytes image{0x400000};
};

// ---------------------------------------------------------------------------
// Plain level-1 directories: the level-1 search and the type-0x40 road
// ---------------------------------------------------------------------------

TEST_F(LookupTest, LevelOneEntryIsReturnedExactlyAsStored) {
  Start(testing::kCpu16M, {{0x54, 0x2000, 0x310000}, {0x04, 0x4000, Mode(3, 0x00000012300000)}});
  EXPECT_EQ(Lookup(0x04), (Found{0xC000000012300000, 0x4000}));
  EXPECT_EQ(Lookup(0x54), (Found{0x310000, 0x2000}));
  EXPECT_EQ(Lookup(0x33), std::nullopt);
  EXPECT_EQ(RecoveryFlagReads(), 0U);
}

TEST_F(LookupTest, TypePointerLeadsToALevelTwoDirectoryThatWins) {
  image.Directory(kL2A, "$ML2", {{0x04, 0x800, Mode(2, 0x1000)}, {0x54, 0x900, Mode(0, 0x5000)}});
  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, kL2A}});
  EXPECT_EQ(Lookup(0x04), (Found{kL2A + 0x1000, 0x800}));
  EXPECT_EQ(Lookup(0x54), (Found{0x5000, 0x900}));
}

// The bytes after a directory's last entry are read with it (a copy is 1552
// bytes) but are no entries: neither searched nor taken as a pointer.
TEST_F(LookupTest, EntriesPastTheCountAreNotEntries) {
  image.Directory(kL2A, "$ML2", {{0x04, 0x800, 0x1000}});
  // An uncounted type-4 entry, then an uncounted B pointer beside a counted A.
  for (const uint32_t uncounted : {0x04U, 0x4AU}) {
    SCOPED_TRACE(uncounted);
    image.Directory(kL1, "$MVQ", {{0x10, 0x100, 0x300000}, {0x48, 0x10, kL2A}});
    image.U32(kL1 + 16 + 2 * 16, uncounted);
    image.U32(kL1 + 20 + 2 * 16, 0x4000);
    image.U64(kL1 + 24 + 2 * 16, uncounted == 0x04 ? 0x300000 : kL2A);
    image.SignatureBlock(0x020000, kL1);
    Boot(testing::kCpu16M);
    m.flash.SetImage(image.data);
    m.registers.Log.clear();
    // A lone A pointer makes no pair, there is no type-0x40 pointer, and
    // level 1 holds no type 4.
    EXPECT_EQ(Lookup(0x04), std::nullopt);
    EXPECT_EQ(RecoveryFlagReads(), 0U);
  }
}

// The level-2 directory is not held to the pointer rule: one made only of
// 33 pointer entries is searched like any other.
TEST_F(LookupTest, LevelTwoIsNotHeldToThePointerRule) {
  std::vector<Entry> pointers;
  for (uint32_t i = 0; i < 33; ++i) {
    pointers.push_back({0x48, 0x20 + i, 0x1000 + 0x40 * i});
  }
  image.Directory(kL2A, "$ML2", pointers);
  Start(testing::kCpu16M, {{0x40, 0x610, kL2A}});
  EXPECT_EQ(Lookup(0x48), (Found{0x1000, 0x20}));
}

// Fails the given calls (1-based) of AllocatePool asking for bytes of
// boot-services data: in a lookup, which buffer handle a call creates.
void FailAllocations(sim::Machine& m, UINTN bytes, std::vector<unsigned> which) {
  auto seen = std::make_shared<unsigned>(0);
  const std::string detail = "4 " + std::to_string(bytes);
  m.faults.OnCall = [&m, seen, detail, which](const sim::FaultCall& call) {
    if (call.Kind == sim::Op::AllocatePool && call.Detail == detail &&
        std::find(which.begin(), which.end(), ++*seen) != which.end()) {
      m.faults.FailNth(sim::Op::AllocatePool, call.N);
    }
  };
}

// Without memory for the level-2 cache (handle 41023: its creation at the
// cache check and again after the read both fail), the answer comes from the
// scratch copy, and the next lookup reads the level-2 directory again.
TEST_F(LookupTest, LevelTwoCacheThatCannotBeHadStillAnswersFromTheScratchCopy) {
  image.Directory(kL2A, "$ML2", {{0x04, 0x800, Mode(2, 0x1000)}});
  Start(testing::kCpu16M, {{0x40, 0x610, kL2A}});
  // Copies of 1552 bytes in nodes of 1584: 41021, 41015, 41023, 41016, 41023.
  FailAllocations(m, 32 + 1552, {3, 5});
  EXPECT_EQ(Lookup(0x04), (Found{kL2A + 0x1000, 0x800}));
  m.faults.OnCall = nullptr;
  EXPECT_TRUE(Cached(41023).empty());
  EXPECT_EQ(Cached(41016), std::vector<uint8_t>(image.data.begin() + kL2A, image.data.begin() + kL2A + 1552));
  m.flash.ClearLog();
  EXPECT_EQ(Lookup(0x04), (Found{kL2A + 0x1000, 0x800}));
  EXPECT_TRUE(ReadAt(kL2A));
}

// The pointer's own mode bits: the directory is read at its low 32 bits,
// mode-2 entries add the full stored value, mode-3 entries its low 32 bits.
TEST_F(LookupTest, PointerWithModeBitsIsReadAtItsLow32Bits) {
  image.Directory(kL2A, "$ML2", {{0x04, 0x800, Mode(2, 0x1000)}, {0x54, 0x900, Mode(3, 0x2000)}});
  const uint64_t pointer = Mode(1, kL2A);
  Start(testing::kCpu16M, {{0x40, 0x610, pointer}});
  EXPECT_EQ(Lookup(0x04), (Found{pointer + 0x1000, 0x800}));
  EXPECT_EQ(Lookup(0x54), (Found{kL2A + 0x2000, 0x900}));
  EXPECT_TRUE(ReadAt(kL2A));
}

TEST_F(LookupTest, LevelTwoWithoutTheTypeFallsBackToLevelOne) {
  image.Directory(kL2A, "$ML2", {{0x54, 0x900, 0x5000}});
  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, kL2A}});
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));
}

TEST_F(LookupTest, BadOrUnreadableLevelTwoFallsBackToLevelOne) {
  image.Directory(kL2A, "$ML2", {{0x04, 0x800, 0x1000}}, 0, /*checksum=*/3);
  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, kL2A}});
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));

  image.Directory(kL2A, "$MVQ", {{0x04, 0x800, 0x1000}});
  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, kL2A}});
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));

  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, 0xFE000000}});
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));

  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}, {0x40, 0x610, 0}});  // address 0: not searched
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));
  EXPECT_EQ(m.flash.Loads64(), 8U + 1552U / 8);  // the probe and the level-1 directory only
}

TEST_F(LookupTest, LookupOfTheLevelTwoPointerNeverRecurses) {
  image.Directory(kL2A, "$ML2", {{0x40, 0x10, 0x7000}});
  Start(testing::kCpu16M, {{0x48, 0x20, 0x190000}, {0x40, 0x610, kL2A}});  // an A pointer alone
  EXPECT_EQ(Lookup(0x40), (Found{kL2A, 0x610}));
  EXPECT_FALSE(ReadAt(kL2A));
  EXPECT_EQ(RecoveryFlagReads(), 0U);
}

// ---------------------------------------------------------------------------
// Plain level-1 directories with an A/B pair
// ---------------------------------------------------------------------------

// One entry that is not a pointer keeps a directory plain.
const Entry kFiller{0x10, 0x100, 0x380000};

TEST_F(LookupTest, PlainPairIsChosenByTheRecoveryFlag) {
  image.Directory(kL2A, "$ML2", {{0x04, 0xA, 0x1000}});
  image.Directory(kL2B, "$ML2", {{0x04, 0xB, 0x2000}});
  Start(testing::kCpu16M, {{0x48, 0, kL2A}, {0x4A, 0, kL2B}, kFiller});
  Flag(~kBit30);
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA}));
  EXPECT_EQ(RecoveryFlagReads(), 1U);

  Start(testing::kCpu16M, {{0x4A, 0, kL2B}, {0x48, 0, kL2A}, kFiller});
  Flag(kBit30);
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xB}));
  EXPECT_FALSE(ReadAt(kL2A));
}

TEST_F(LookupTest, PlainPairLaterPointersReplaceEarlierOnesUntilBothAreSeen) {
  image.Directory(kL2A, "$ML2", {{0x04, 0xA, 0x1000}});
  image.Directory(kL2B, "$ML2", {{0x04, 0xB, 0x2000}});
  image.Directory(0x280000, "$ML2", {{0x04, 0xC, 0x3000}});
  Flag(0);
  // The second A pointer replaces the first before B is seen.
  Start(testing::kCpu16M, {{0x48, 0, 0x280000}, {0x48, 0, kL2A}, {0x4A, 0, kL2B}, kFiller});
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA}));
  // An A pointer after the pair is complete is never looked at.
  Start(testing::kCpu16M, {kFiller, {0x48, 0, kL2A}, {0x4A, 0, kL2B}, {0x48, 0, 0x280000}});
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA}));
}

TEST_F(LookupTest, PlainPairSideWithoutTheTypeDoesNotTryTheOtherSide) {
  image.Directory(kL2A, "$ML2", {{0x54, 0xA, 0x1000}});
  image.Directory(kL2B, "$ML2", {{0x04, 0xB, 0x2000}});
  Start(testing::kCpu16M, {{0x48, 0, kL2A}, {0x4A, 0, kL2B}, {0x04, 0x4000, 0x300000}});
  Flag(0);
  EXPECT_EQ(Lookup(0x04), (Found{0x300000, 0x4000}));  // level 1, not side B
  EXPECT_FALSE(ReadAt(kL2B));
}

TEST_F(LookupTest, LonePointerIsIgnoredAndTheTypePointerRoadIsTaken) {
  image.Directory(kL2A, "$ML2", {{0x04, 0xA, 0x1000}});
  image.Directory(kL2B, "$ML2", {{0x04, 0xB, 0x2000}});
  Start(testing::kCpu16M, {{0x48, 0, kL2A}, {0x40, 0x610, kL2B}});
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xB}));
  EXPECT_EQ(RecoveryFlagReads(), 0U);
  EXPECT_FALSE(ReadAt(kL2A));
}

// ---------------------------------------------------------------------------
// A/B layout 1
// ---------------------------------------------------------------------------

class AbLayoutOneTest : public LookupTest {
 protected:
  // Two pointer entries (A then B) to slot headers with these priorities;
  // side i's level-2 directory answers type 4 with size 0xA0 + i.
  void Sides(uint32_t priorityA, uint32_t priorityB) { Sides1(priorityA, priorityB); }
};

TEST_F(AbLayoutOneTest, HighestPriorityTakesSlotAAndTheFlagChoosesTheSide) {
  Sides(5, 7);
  Flag(0);
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));  // slot A is entry 1
  AbRecoveryInfo info = CachedInfo();
  EXPECT_EQ(Value(info.PointerCount), 2U);
  EXPECT_EQ(Value(info.EligibleCount), 2);
  EXPECT_EQ(Value(info.EligibleIndices[0]), 0);
  EXPECT_EQ(Value(info.EligibleIndices[1]), 1);
  EXPECT_EQ(Value(info.IneligibleCount), 0);
  EXPECT_EQ(Value(info.SlotA.EntryIndex), 1);
  EXPECT_EQ(Value(info.SlotA.Priority), 7U);
  EXPECT_EQ(Value(info.SlotA.Aux1), 0x21U);
  EXPECT_EQ(Value(info.SlotA.Aux2), 0x22U);
  EXPECT_EQ(Value(info.SlotA.L2Address), kL2B);
  EXPECT_EQ(Value(info.SlotB.EntryIndex), 0);
  EXPECT_EQ(Value(info.SlotB.L2Address), kL2A);

  Sides(5, 7);
  Flag(kBit30);
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA0}));
}

TEST_F(AbLayoutOneTest, SlotPlacementFollowsPriorityOrder) {
  struct Case {
    uint32_t a, b;
    uint8_t slotA, slotB, eligible;
  };
  for (const Case& c : {Case{7, 5, 0, 1, 2}, Case{5, 5, 0, 1, 2}, Case{0, 3, 1, 0, 1}, Case{3, 0, 0, 1, 1}}) {
    Sides(c.a, c.b);
    Flag(0);
    ASSERT_TRUE(Lookup(0x04).has_value());
    const AbRecoveryInfo info = CachedInfo();
    EXPECT_EQ(Value(info.SlotA.EntryIndex), c.slotA) << c.a << "," << c.b;
    EXPECT_EQ(Value(info.SlotB.EntryIndex), c.slotB) << c.a << "," << c.b;
    EXPECT_EQ(Value(info.EligibleCount), c.eligible);
    EXPECT_EQ(Value(info.IneligibleCount), 2 - c.eligible);
  }
}

TEST_F(AbLayoutOneTest, NoEligibleSideStoresNothingAndFindsNothing) {
  Sides(0, 0);
  Flag(0);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_EQ(Value(CachedInfo().PointerCount), 0U);
  EXPECT_EQ(RecoveryFlagReads(), 0U);
  // The level-2 pointer road builds the description again for type 0x40, so
  // each slot header is read twice in the lookup.
  size_t headerReads = 0;
  for (const auto& access : m.flash.Log) {
    headerReads += (access.Address == 0xFD00000000 + kSlotA || access.Address == 0xFD00000000 + kSlotB) ? 1 : 0;
  }
  EXPECT_EQ(headerReads, 4U);
}

TEST_F(AbLayoutOneTest, UnreadableSlotHeaderReportsOnEachBuildAndFindsNothing) {
  image.Directory(kL2A, "$ML2", {{0x04, 0xA0, 0x1000}});
  image.Slot1(kSlotA, 5, 0, 0, kL2A);
  Start(testing::kCpuAb1, {{0x48, 0x10, kSlotA}, {0x4A, 0x10, 0xFE000000}});
  Flag(0);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  // Once for type 0x04, once more on the level-2 pointer road for 0x40.
  EXPECT_EQ(PostCodes(), (std::vector<uint32_t>{0x22010667, 0x22010667}));
  EXPECT_EQ(RecoveryFlagReads(), 0U);
}

// A description that failed for want of memory is built again on the
// level-2 pointer road; built then, it reads the flag and is cached, and the
// next lookup finds its entry through it.
TEST_F(AbLayoutOneTest, DescriptionThatFailedToAllocateIsBuiltAgainForTypeForty) {
  Sides(5, 7);
  Flag(0);
  // Blocks of 32 + 104 bytes: the cached description (41020) is created
  // first, then the scratch one (41017), whose creation fails once.
  unsigned descriptions = 0;
  m.faults.OnCall = [&](const sim::FaultCall& call) {
    if (call.Kind == sim::Op::AllocatePool && call.Detail == "4 136" && ++descriptions == 2) {
      m.faults.FailNth(sim::Op::AllocatePool, call.N);
    }
  };
  EXPECT_EQ(Lookup(0x04), std::nullopt);  // neither side holds type 0x40
  m.faults.OnCall = nullptr;
  ASSERT_GE(descriptions, 3U);
  EXPECT_EQ(PostCodes(), (std::vector<uint32_t>{0x00080137, 0x00080426}));
  EXPECT_EQ(RecoveryFlagReads(), 1U);
  EXPECT_EQ(Value(CachedInfo().PointerCount), 2U);
  EXPECT_EQ(Value(CachedInfo().SlotA.EntryIndex), 1);
  EXPECT_EQ(Cached(41023).size(), 1552U);  // the chosen side's level-2 copy
  m.flash.ClearLog();
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  EXPECT_TRUE(m.flash.Log.empty());  // served from what the retry cached
}

// Without memory for the cached description (handle 41020: created at the
// cache check and again after the build, both failing), the description just
// built still chooses the side; the next lookup builds it again.
TEST_F(AbLayoutOneTest, DescriptionThatCannotBeCachedStillChoosesTheSide) {
  Sides(5, 7);
  Flag(0);
  // Descriptions of 104 bytes in nodes of 136: 41020, 41017, 41020.
  FailAllocations(m, 32 + 104, {1, 3});
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  m.faults.OnCall = nullptr;
  EXPECT_TRUE(Cached(41020).empty());
  m.flash.ClearLog();
  EXPECT_EQ(Lookup(0x54), (Found{0x2100, 0xA1}));
  EXPECT_TRUE(ReadAt(kSlotA));
  EXPECT_TRUE(ReadAt(kSlotB));
}

// A description handed over with pointers but no eligible side is not used:
// it is built again from the slot headers (trusted, it would choose entry 0).
TEST_F(AbLayoutOneTest, HandedOverDescriptionWithoutAnEligibleSideIsBuiltAgain) {
  Sides(5, 7);
  Flag(0);
  AbRecoveryInfo stale{};
  stale.PointerCount = 2;
  stale.EligibleCount = 0;
  stale.SlotA = AbSlot{0, 9, 0, 0, kL2A};
  stale.SlotB = AbSlot{1, 1, 0, 0, kL2A};
  std::vector<uint8_t> bytes(sizeof stale);
  std::memcpy(bytes.data(), &stale, sizeof stale);
  m.SetHobList(sim::HobListBuilder().HeapBuffer(41020, bytes).Build());
  Boot(testing::kCpuAb1);
  m.flash.ClearLog();
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  EXPECT_TRUE(ReadAt(kSlotA));
  EXPECT_EQ(Value(CachedInfo().EligibleCount), 2);
}

TEST_F(AbLayoutOneTest, ChosenSideWithoutTheTypeEndsInLevelOneWhichHasNone) {
  Sides(7, 5);
  image.Directory(kL2A, "$ML2", {{0x54, 0xA0, 0x1100}});
  Start(testing::kCpuAb1, {{0x48, 0x10, kSlotA}, {0x4A, 0x10, kSlotB}});
  Flag(0);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_FALSE(ReadAt(kL2B));
}

TEST_F(AbLayoutOneTest, SecondLookupReadsNoFlashOnlyTheFlagAgain) {
  Sides(5, 7);
  Flag(0);
  ASSERT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  EXPECT_TRUE(ReadAt(kSlotA));
  EXPECT_TRUE(ReadAt(kSlotB));
  EXPECT_TRUE(ReadAt(kL2B));
  m.flash.ClearLog();
  m.registers.Log.clear();
  m.registers.IndexRegister = 0x5A5A;
  EXPECT_EQ(Lookup(0x54), (Found{0x2100, 0xA1}));
  EXPECT_TRUE(m.flash.Log.empty());
  ASSERT_EQ(m.registers.Log.size(), 4U);
  EXPECT_EQ(m.registers.IndexRegister, 0x5A5AU);

  // The cached level-2 copy answers whatever side the flag now names.
  Flag(kBit30);
  m.flash.ClearLog();
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  EXPECT_TRUE(m.flash.Log.empty());
}

TEST_F(AbLayoutOneTest, CachedDescriptionAndCopiesFromAnEarlierPhaseAvoidTheFlash) {
  // Two eligible sides, and one (priorities 0 and 3).
  for (const auto& [a, b] : {std::pair<uint32_t, uint32_t>{5, 7}, {0, 3}}) {
    m.SetHobList(sim::HobListBuilder().Build());  // nothing handed over yet
    Sides(a, b);
    Flag(0);
    ASSERT_TRUE(Lookup(0x04).has_value());
    const std::vector<uint8_t> l1 = Cached(41021);
    const std::vector<uint8_t> info = Cached(41020);
    const std::vector<uint8_t> l2 = Cached(41023);
    m.SetHobList(sim::HobListBuilder().HeapBuffer(41021, l1).HeapBuffer(41020, info).HeapBuffer(41023, l2).Build());
    Boot(testing::kCpuAb1);
    m.flash.ClearLog();
    EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1})) << a << "," << b;
    EXPECT_TRUE(m.flash.Log.empty()) << a << "," << b;
    EXPECT_EQ(Value(CachedInfo().EligibleCount), a != 0 ? 2 : 1);
  }
}

// ---------------------------------------------------------------------------
// A/B layout 2
// ---------------------------------------------------------------------------

class AbLayoutTwoTest : public LookupTest {
 protected:
  void Sides(uint32_t priorityA, uint32_t mvqIdA, uint32_t priorityB, uint32_t mvqIdB) {
    image.Slot2(kSlotA, priorityA, 0x11, 0x12, kL2A, mvqIdA);
    image.Slot2(kSlotB, priorityB, 0x21, 0x22, kL2B, mvqIdB);
    image.Directory(kL2A, "$ML2", {{0x04, 0xA0, 0x1000}});
    image.Directory(kL2B, "$ML2", {{0x04, 0xA1, 0x2000}});
    Start(testing::kCpuAb2, {{0x48, 0x20, kSlotA}, {0x4A, 0x20, kSlotB}});
  }
  static constexpr uint32_t kMine = 0xBC0D0400;
};

TEST_F(AbLayoutTwoTest, PointerKindDecidesTheSlotWhateverThePriority) {
  Sides(1, kMine, 9, kMine);
  Flag(0);
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA0}));
  const AbRecoveryInfo info = CachedInfo();
  EXPECT_EQ(Value(info.SlotA.EntryIndex), 0);
  EXPECT_EQ(Value(info.SlotA.Priority), 1U);
  EXPECT_EQ(Value(info.SlotA.Aux2), 0x12U);  // one byte widened
  EXPECT_EQ(Value(info.SlotB.EntryIndex), 1);
  EXPECT_EQ(Value(info.SlotB.L2Address), kL2B);

  Sides(1, kMine, 9, kMine);
  Flag(kBit30);
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
}

TEST_F(AbLayoutTwoTest, OtherGenerationsSideStaysEmpty) {
  Sides(5, kMine, 5, 0xBC0D0300);
  Flag(0);
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA0}));
  const AbRecoveryInfo info = CachedInfo();
  EXPECT_EQ(Value(info.EligibleCount), 1);
  EXPECT_EQ(Value(info.IneligibleCount), 1);
  EXPECT_EQ(Value(info.IneligibleIndices[0]), 1);
  // The empty slot, as other modules reading the description find it.
  EXPECT_EQ(Value(info.SlotB.EntryIndex), 0xFF);
  EXPECT_EQ(Value(info.SlotB.Priority), 0U);
  EXPECT_EQ(Value(info.SlotB.Aux1), 0U);
  EXPECT_EQ(Value(info.SlotB.Aux2), 0U);
  EXPECT_EQ(Value(info.SlotB.L2Address), 0U);

  // The flag choosing the empty side: level 1 holds no type 4, so FALSE.
  Sides(5, kMine, 5, 0xBC0D0300);
  Flag(kBit30);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_FALSE(ReadAt(kL2A));
}

TEST_F(AbLayoutTwoTest, UnreadableSlotHeaderReportsTwicePerLookup) {
  image.Slot2(kSlotA, 5, 0, 0, kL2A, kMine);
  image.Directory(kL2A, "$ML2", {{0x04, 0xA0, 0x1000}});
  Start(testing::kCpuAb2, {{0x48, 0x20, kSlotA}, {0x4A, 0x20, 0xFFFFFFF0}});  // 32 bytes run past 4 GB
  Flag(0);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_EQ(PostCodes(), (std::vector<uint32_t>{0x22010646, 0x22010646}));
  EXPECT_EQ(Lookup(0x54), std::nullopt);  // nothing was cached: the next lookup reports twice too
  EXPECT_EQ(PostCodes().size(), 4U);
}

TEST_F(AbLayoutTwoTest, AllOnesFlagReportsAndChoosesSideB) {
  Sides(5, kMine, 5, kMine);
  m.registers.RegisterFile.clear();  // nothing answers: the data register reads all ones
  EXPECT_EQ(Lookup(0x04), (Found{0x2000, 0xA1}));
  EXPECT_EQ(PostCodes(), std::vector<uint32_t>{0x22012088});
  EXPECT_TRUE(m.debug.Contains("RecoveryFlag ffffffff\n"));
}

TEST_F(AbLayoutTwoTest, SixteenBitTypesUseTheirOwnPointerAliases) {
  // Family 0x19 model 0x85: layout 2, MvqId 0xBC0D0600, 16-bit types.
  image.Slot2(kSlotA, 5, 0, 0, kL2A, 0xBC0D0600);
  image.Slot2(kSlotB, 5, 0, 0, kL2B, 0xBC0D0600);
  // The first type word matches in 16-bit mode only (Variant 1 counts under
  // the 8-bit rule), the second under either rule.
  image.Directory(kL2A, "$ML2", {{0x0108, 0xA3, 0x1200}, {0x00090004, 0xA0, 0x1000}, {0x04, 0xA2, 0x1100}});
  image.Directory(kL2B, "$ML2", {{0x04, 0xA1, 0x2000}});
  image.SignatureBlock(0x020000, kL1);
  image.Directory(kL1, "$MVQ", {{0x0001013C, 0x20, kSlotA}, {0x013D, 0x20, kSlotB}});
  Boot(testing::kCpuWide);
  m.flash.SetImage(image.data);
  Flag(0);
  EXPECT_EQ(Lookup(0x04), (Found{0x1000, 0xA0}));  // bits 16-31 are ignored in 16-bit mode
  EXPECT_TRUE(PostCodes().empty());
}

TEST_F(LookupTest, PointerOnlyDirectoryOnAProcessorWithoutAbLayoutFindsNothing) {
  image.Slot1(kSlotA, 5, 0, 0, kL2A);
  image.Directory(kL2A, "$ML2", {{0x04, 0xA0, 0x1000}});
  Start(testing::kCpuPlain64M, {{0x48, 0x10, kSlotA}, {0x4A, 0x10, kSlotA}});
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_FALSE(ReadAt(kSlotA));
  EXPECT_TRUE(PostCodes().empty());
}

// ---------------------------------------------------------------------------
// The search rule
// ---------------------------------------------------------------------------

TEST_F(LookupTest, EightBitSearchComparesTypeSubtypeAndVariant) {
  Start(testing::kCpu16M, {{0x0104, 1, 0x1000},
                           {0x00080004, 2, 0x2000},  // Variant 1
                           {0xFF870004, 3, 0x3000},  // bits 16-18 and 23-31 only
                           {0x04, 4, 0x4000}});
  EXPECT_EQ(Lookup(0x04), (Found{0x3000, 3}));
  EXPECT_EQ(EntryMatchesSearchRule(0x0104, 0x04, FALSE), FALSE);
  EXPECT_EQ(EntryMatchesSearchRule(0x0104, 0x0104, FALSE), TRUE);
  EXPECT_EQ(EntryMatchesSearchRule(0x00780004, 0x04, FALSE), FALSE);
  EXPECT_EQ(EntryMatchesSearchRule(0x00010004, 0x04, TRUE), TRUE);
  EXPECT_EQ(EntryMatchesSearchRule(0x0104, 0x04, TRUE), FALSE);
}

// ---------------------------------------------------------------------------
// Failures before any choice
// ---------------------------------------------------------------------------

TEST_F(LookupTest, NoLevelOneDirectoryMeansNothingFound) {
  Start(testing::kCpu16M, {{0x04, 0x4000, 0x300000}});
  image.SignatureBlock(0x020000, kL1, 0, 0, /*signature=*/0);
  m.flash.SetImage(image.data);
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  Start(testing::kCpuUnknown, {{0x04, 0x4000, 0x300000}});
  EXPECT_EQ(Lookup(0x04), std::nullopt);
  EXPECT_EQ(PostCodes(), std::vector<uint32_t>{0x22011152});
}

TEST(SearchMvqL2DirectoryTest, AddressZeroIsNeverSearched) {
  sim::Machine m;
  m.LoadDriverImage();
  UINT64 address = 1;
  UINT32 size = 1;
  EXPECT_EQ(SearchMvqL2Directory(0x04, 0, &address, &size), FALSE);
  EXPECT_TRUE(m.flash.Log.empty());
}

// A level-1 copy announcing more entries than it holds (possible only for a
// caller passing its own copy) is walked no further than the copy: the
// pointers lying just past its 1552 bytes would fail to read.
TEST_F(LookupTest, BuildingFromAnOversizedCopyStaysInsideIt) {
  Sides1(5, 7);
  Bytes memory(1552 + 4 * 16, 0);
  memory.U32(8, 100);
  memory.U32(16, 0x48);
  memory.U64(24, kSlotA);
  memory.U32(32, 0x4A);
  memory.U64(40, kSlotB);
  for (uint32_t i = 2; i < 100; ++i) {
    const bool pastTheCopy = i >= 96;
    memory.U32(16 + 16 * i, pastTheCopy ? 0x48 : 0x10);
    memory.U64(24 + 16 * i, pastTheCopy ? 0xFE000000 : 0x380000);
  }
  AbRecoveryInfo* info = nullptr;
  ASSERT_EQ(BuildAbRecoveryInfo(memory.data.data(), &info), TRUE);
  EXPECT_EQ(Value(info->PointerCount), 2U);
  EXPECT_EQ(Value(info->SlotA.EntryIndex), 1);
  EXPECT_TRUE(PostCodes().empty());
}

// More A/B pointers than the 32 places of an index list: FALSE rather than
// a write past the list. No directory at all: a report, then FALSE.
TEST_F(LookupTest, ImpossibleDescriptionsAreRefused) {
  Start(testing::kCpuAb1, {});
  image.Slot1(kSlotA, 0, 0, 0, 0);
  m.flash.SetImage(image.data);
  Bytes copy = testing::Copy();
  copy.U32(8, 96);
  for (uint32_t i = 0; i < 96; ++i) {
    copy.U32(16 + 16 * i, 0x48);
    copy.U64(24 + 16 * i, kSlotA);
  }
  AbRecoveryInfo* info = nullptr;
  EXPECT_EQ(BuildAbRecoveryInfo(copy.data.data(), &info), FALSE);
  EXPECT_EQ(BuildAbRecoveryInfo(nullptr, &info), FALSE);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(PostCodes(), std::vector<uint32_t>{0x22010583});
}

// ---------------------------------------------------------------------------
// The RecoveryFlag register
// ---------------------------------------------------------------------------

TEST_F(LookupTest, RecoveryFlagIsReadThroughTheIndexPairInFourAccesses) {
  struct Case {
    uint32_t cpu, reg;
  };
  for (const Case& c : {Case{testing::kCpuSelector2, 0x3810970}, Case{testing::Eax(0x19, 0x21), 0x3810570},
                        Case{testing::kCpuUnknown, 0x3810570}, Case{testing::Eax(0x19, 0x44), 0x3810570}}) {
    m.cpu.Signature = c.cpu;
    m.registers.Log.clear();
    m.registers.IndexRegister = 0x77;
    m.registers.RegisterFile[c.reg] = 0x40000001;
    m.registers.RegisterFile[c.reg ^ 0xC00] = 0;  // the other register: bit 30 clear
    EXPECT_EQ(ReadRecoveryFlag(), TRUE);
    ASSERT_EQ(m.registers.Log.size(), 4U);
    const auto& log = m.registers.Log;
    EXPECT_FALSE(log[0].Write);
    EXPECT_EQ(log[0].Address, 0xE00000B8U);
    EXPECT_TRUE(log[1].Write);
    EXPECT_EQ(log[1].Address, 0xE00000B8U);
    EXPECT_EQ(log[1].Value, c.reg);
    EXPECT_FALSE(log[2].Write);
    EXPECT_EQ(log[2].Address, 0xE00000BCU);
    EXPECT_EQ(log[2].Value, 0x40000001U);
    EXPECT_TRUE(log[3].Write);
    EXPECT_EQ(log[3].Address, 0xE00000B8U);
    EXPECT_EQ(log[3].Value, 0x77U);
  }
  EXPECT_TRUE(m.debug.Contains("RecoveryFlag 40000001\n"));
  m.registers.RegisterFile[0x3810570] = 0xBFFFFFFF;
  EXPECT_EQ(ReadRecoveryFlag(), FALSE);
  EXPECT_TRUE(PostCodes().empty());
}

}  // namespace
}  // namespace ftpm::directory
