// A recovery that survives a power cut at any moment. A processor-swap story
// runs on the simulated machine with the reference platform's contract
// (reference/): a boot on the old processor, the swap, the prompt, Y. Then
// the same story again for every persistent write it makes (each erase
// block, each variable write), cut right after that write and, separately,
// in the middle of it, and powered on again, answering Y whenever asked.
// After every power-on:
//
// - no byte of the flash outside the NVRAM ranges of the case has changed;
// - the new processor is recorded only once every range of the case reads
//   erased;
// - while a range of the case is not fully erased, the next power-on on the
//   new processor asks again;
// - and the story ends with every range erased and the new signature
//   recorded.
//
// Both cases, both A/B sides and both flash windows. A platform that records
// the new signature after the first erase, as the reference platform once
// did, must fail the sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "directory/EntryLookup.h"
#include "platform/Guids.h"
#include "reference/Recovery.h"
#include "sim/Machine.h"
#include "sim/ReferencePlatform.h"
#include "tests/scenario/StoryImages.h"
#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm {
namespace {

using reference::FlashMap;
using reference::FlashRange;
using reference::FlashSide;
using reference::NvramKind;
using reference::RecoveryCase;
using sim::Machine;
using sim::PowerCut;
using sim::StopReason;
using sim::TornVariable;

constexpr uint64_t kBlock = 0x1000;

struct Layout {
  std::string Name;
  std::vector<uint8_t> Image;
  uint32_t NewCpu;
  uint32_t OldCpu;
  uint32_t RecoveryFlag;
  FlashMap Map;
  FlashSide Side;
};

FlashMap MapOf(FlashRange aFtpm, FlashRange aMvq, FlashRange bFtpm, FlashRange bMvq) {
  FlashMap map{};
  map.EraseBlockSize = kBlock;
  map.DeviceSize = sim::kFlashSize;
  map.Nvram[0][0] = aFtpm;
  map.Nvram[0][1] = aMvq;
  map.Nvram[1][0] = bFtpm;
  map.Nvram[1][1] = bMvq;
  return map;
}

std::vector<Layout> Layouts() {
  using namespace testing;
  const FlashMap ab = MapOf({kFtpmNvram, kFtpmNvramSize}, {kMvqNvram, kMvqNvramSize},
                            {kSideBFtpmNvram, kSideBFtpmNvramSize}, {kSideBMvqNvram, kSideBMvqNvramSize});
  const FlashMap plain = MapOf({kFtpmNvram, kFtpmNvramSize}, {kMvqNvram, kMvqNvramSize}, {}, {});
  // The old processor: another stepping of the same part.
  return {
      {"64m-ab-side-a", AbStoryImage(), kCpuAb2, kCpuAb2 ^ 1, 0, ab, FlashSide::A},
      {"64m-ab-side-b", AbStoryImage(), kCpuAb2, kCpuAb2 ^ 1, 1U << 30, ab, FlashSide::B},
      {"16m-plain", PlainStoryImage(), kCpu16M, kCpu16M ^ 1, 0, plain, FlashSide::A},
  };
}

const char* CaseName(RecoveryCase c) { return c == RecoveryCase::Full ? "full" : "ftpm-only"; }

// How the platform notes an erase the flash service served.
enum class PlatformKind {
  Reference,
  // Records the new signature as soon as an fTPM NVRAM range is erased,
  // before the MVQ NVRAM of the full case.
  RecordsAfterFirstErase,
};

struct PowerOnResult {
  bool Prompted = false;
  bool PowerLost = false;
  std::string Stop;
};

// One machine's life across power-ons: its flash and variable store persist,
// everything else starts afresh each time.
class Story {
 public:
  Story(const Layout& layout, RecoveryCase c, PlatformKind kind) : layout_(layout), case_(c), kind_(kind) {
    Machine m;
    m.flash.SetImage(layout.Image);
    initial_ = m.flash.Read(0, layout.Image.size());
    state_ = m.PowerOff();
  }

  // Cuts the power at the k-th persistent write of the story (counted over
  // all power-ons from now on).
  void CutAt(unsigned k, bool during, TornVariable torn) {
    cutAt_ = k;
    cutDuring_ = during;
    torn_ = torn;
  }

  // Device faults of the next power-ons: blocks whose erase fails, and
  // blocks whose erase reports success but does not take.
  std::set<uint64_t> FailingBlocks;
  std::set<uint64_t> StuckBlocks;

  PowerOnResult PowerOn(uint32_t cpu, char16_t answer) {
    Machine m;
    m.smm.FailingBlocks = FailingBlocks;
    m.smm.StuckBlocks = StuckBlocks;
    m.PowerOn(std::move(state_));
    m.cpu.Signature = cpu;
    m.registers.RegisterFile[directory::kRecoveryFlagRegister] = layout_.RecoveryFlag;
    if (cutAt_ > writes_) {
      m.power.Cut = PowerCut{cutAt_ - writes_, cutDuring_, torn_};
    }
    sim::ReferencePlatform platform;
    platform.Map = layout_.Map;
    platform.Case = case_;
    PowerOnResult result;
    sim::RunOutcome outcome = m.Run([&] {
      platform.Start(m);
      return EFI_SUCCESS;
    });
    if (kind_ == PlatformKind::RecordsAfterFirstErase) {
      m.smm.OnVerifiedErase = [&platform](const reference::EraseReply& reply, const reference::FlashDevice&) {
        if (platform.State.Pending != FALSE && reply.Kind == NvramKind::Ftpm) {
          reference::WriteSignatureRecord(platform.State.Runtime, platform.State.Current, false);
        }
      };
    }
    if (!outcome.Stop) {
      outcome = m.StartDriver();
    }
    if (!outcome.Stop && m.RecoveryProtocolInstalled()) {
      m.console.QueueKey(answer);
      outcome = m.CallRecoveryHandler();
      result.Prompted = PromptsDrawn(m) != 0;
    }
    result.PowerLost = outcome.StoppedBy(StopReason::PowerLoss);
    if (outcome.Stop) {
      result.Stop = std::string(sim::StopReasonName(outcome.Stop->Reason)) + " " + outcome.Stop->Detail;
    }
    writes_ += static_cast<unsigned>(m.power.Writes.size());
    state_ = m.PowerOff();
    return result;
  }

  unsigned Writes() const { return writes_; }

  // The ranges the case erases on the side the driver recovers.
  std::vector<FlashRange> CaseRanges() const {
    std::vector<FlashRange> ranges;
    for (NvramKind kind : {NvramKind::Ftpm, NvramKind::Mvq}) {
      if (reference::CaseErases(case_, kind)) {
        ranges.push_back(reference::NvramRange(layout_.Map, layout_.Side, kind));
      }
    }
    return ranges;
  }

  bool AllErased() const {
    for (const FlashRange& range : CaseRanges()) {
      if (!state_.flash.IsErased(range.Offset, range.Length)) {
        return false;
      }
    }
    return true;
  }

  // The first offset outside the case's ranges whose byte differs from the
  // image the story started with, if any.
  std::optional<uint64_t> ChangedOutsideRanges() const {
    constexpr uint64_t kChunk = 0x10000;
    for (uint64_t at = 0; at < initial_.size(); at += kChunk) {
      const uint64_t n = std::min<uint64_t>(kChunk, initial_.size() - at);
      const std::vector<uint8_t> now = state_.flash.Read(at, n);
      if (std::memcmp(now.data(), initial_.data() + at, n) == 0) {
        continue;
      }
      for (uint64_t i = 0; i < n; ++i) {
        if (now[i] != initial_[at + i] && !InCaseRange(at + i)) {
          return at + i;
        }
      }
    }
    if (!state_.flash.IsErased(initial_.size(), sim::kFlashSize - initial_.size())) {
      return initial_.size();
    }
    return std::nullopt;
  }

  // The record as the store holds it: the signature when it is a whole,
  // trusted record.
  std::optional<uint32_t> Recorded() const {
    const sim::Variable* v = state_.variables.Find(gFtpmPlatformVariableGuid, reference::kLastSignatureVariable);
    if (v == nullptr || v->Data.size() != 4 || v->Attributes != reference::kSignatureAttributes) {
      return std::nullopt;
    }
    uint32_t value = 0;
    std::memcpy(&value, v->Data.data(), 4);
    return value;
  }

 private:
  static size_t PromptsDrawn(const Machine& m) {
    size_t n = 0;
    for (const auto& call : m.console.CallsOf(sim::ConsoleOp::OutputString)) {
      n += call.Text.rfind(u"Press Y to reset", 0) == 0 ? 1 : 0;
    }
    return n;
  }

  bool InCaseRange(uint64_t offset) const {
    for (const FlashRange& range : CaseRanges()) {
      if (offset >= range.Offset && offset - range.Offset < range.Length) {
        return true;
      }
    }
    return false;
  }

  const Layout& layout_;
  RecoveryCase case_;
  PlatformKind kind_;
  std::vector<uint8_t> initial_;
  sim::NonVolatile state_;
  unsigned writes_ = 0;
  unsigned cutAt_ = 0;
  bool cutDuring_ = false;
  TornVariable torn_ = TornVariable::Mixes;
};

// Power-ons on the new processor a story may take after the swap, cuts
// included, before it must be done.
constexpr unsigned kMaxPowerOnsAfterSwap = 5;

struct StoryOutcome {
  std::vector<std::string> Violations;
  unsigned Writes = 0;  // persistent writes over the whole story
  unsigned PowerOns = 0;
};

// The story, with a cut at write k (0: none): the old processor until one of
// its boots completes, then the new one, answering Y, until it boots without
// asking; checked after every power-on.
StoryOutcome RunStory(const Layout& layout, RecoveryCase c, PlatformKind kind, unsigned k, bool during,
                      TornVariable torn) {
  Story story(layout, c, kind);
  StoryOutcome out;
  if (k != 0) {
    story.CutAt(k, during, torn);
  }
  auto violation = [&](const std::string& what) {
    std::ostringstream text;
    text << layout.Name << ", " << CaseName(c) << " case, ";
    if (k == 0) {
      text << "no cut";
    } else {
      text << "cut " << (during ? "during" : "after") << " write " << k;
    }
    text << ", power-on " << out.PowerOns << ": " << what;
    out.Violations.push_back(text.str());
  };
  auto check = [&] {
    if (const std::optional<uint64_t> changed = story.ChangedOutsideRanges()) {
      std::ostringstream text;
      text << "byte at 0x" << std::hex << *changed << " outside the case's NVRAM ranges changed";
      violation(text.str());
    }
    if (story.Recorded() == layout.NewCpu && !story.AllErased()) {
      violation("the new processor is recorded while a range of the case is not erased");
    }
  };

  // The old processor, until a boot of it is not cut short.
  for (;;) {
    ++out.PowerOns;
    const PowerOnResult r = story.PowerOn(layout.OldCpu, u'Y');
    check();
    if (!r.PowerLost) {
      break;
    }
  }
  // The swap. The first power-on on the new processor asks; after that,
  // every power-on asks as long as a range of the case is not erased.
  bool mustAsk = true;
  bool done = false;
  for (unsigned n = 0; n < kMaxPowerOnsAfterSwap && !done; ++n) {
    ++out.PowerOns;
    const PowerOnResult r = story.PowerOn(layout.NewCpu, u'Y');
    check();
    if (mustAsk && !r.Prompted && !r.PowerLost) {
      violation("did not ask although a range of the case was not erased");
    }
    if (!r.Prompted && !r.PowerLost) {
      done = true;
    }
    mustAsk = !story.AllErased();
  }
  if (!done) {
    violation("still asking after " + std::to_string(kMaxPowerOnsAfterSwap) + " power-ons on the new processor");
  }
  if (!story.AllErased()) {
    violation("a range of the case is not erased at the end");
  }
  if (story.Recorded() != layout.NewCpu) {
    violation("the new processor is not recorded at the end");
  }
  out.Writes = story.Writes();
  return out;
}

struct SweepResult {
  std::vector<std::string> Violations;
  unsigned CutPoints = 0;  // stories run with a cut
  unsigned Writes = 0;     // persistent writes of the uncut story
};

// Every cut point of one layout and case: after each write, and during it
// (a variable write torn in each of the ways a store may leave it).
SweepResult Sweep(const Layout& layout, RecoveryCase c, PlatformKind kind) {
  SweepResult result;
  const StoryOutcome uncut = RunStory(layout, c, kind, 0, false, TornVariable::Mixes);
  result.Violations = uncut.Violations;
  result.Writes = uncut.Writes;
  auto add = [&](const StoryOutcome& story) {
    ++result.CutPoints;
    result.Violations.insert(result.Violations.end(), story.Violations.begin(), story.Violations.end());
  };
  for (unsigned k = 1; k <= uncut.Writes; ++k) {
    add(RunStory(layout, c, kind, k, false, TornVariable::Mixes));
    for (TornVariable torn :
         {TornVariable::Mixes, TornVariable::KeepsOld, TornVariable::TakesNew, TornVariable::Vanishes}) {
      add(RunStory(layout, c, kind, k, true, torn));
    }
  }
  return result;
}

std::string Join(const std::vector<std::string>& lines, size_t most = 6) {
  std::string text;
  for (size_t i = 0; i < lines.size() && i < most; ++i) {
    text += "\n  " + lines[i];
  }
  if (lines.size() > most) {
    text += "\n  ... and " + std::to_string(lines.size() - most) + " more";
  }
  return text;
}

class PowerCutSweep : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(PowerCutSweep, EveryCutPointEndsInACompleteRecovery) {
  for (const Layout& layout : Layouts()) {
    const SweepResult result = Sweep(layout, GetParam(), PlatformKind::Reference);
    // A full case erases more blocks than the fTPM-only one; each story
    // writes at least the first record, the erases and the last record.
    const unsigned blocks = static_cast<unsigned>(
        (reference::NvramRange(layout.Map, layout.Side, NvramKind::Ftpm).Length +
         (GetParam() == RecoveryCase::Full ? reference::NvramRange(layout.Map, layout.Side, NvramKind::Mvq).Length
                                           : 0)) /
        kBlock);
    EXPECT_EQ(result.Writes, blocks + 2) << layout.Name;
    EXPECT_EQ(result.CutPoints, result.Writes * 5) << layout.Name;
    EXPECT_TRUE(result.Violations.empty())
        << layout.Name << ", " << CaseName(GetParam()) << ":" << Join(result.Violations);
  }
}

// The fault this sweep exists for: a platform that takes the fTPM NVRAM's
// erase for the whole recovery leaves the MVQ NVRAM with the old records
// when the power goes between the two erases, and never asks again.
TEST(PowerCutSweepCatches, APlatformThatRecordsAfterTheFirstErase) {
  const Layout layout = Layouts()[0];
  const SweepResult result = Sweep(layout, RecoveryCase::Full, PlatformKind::RecordsAfterFirstErase);
  ASSERT_FALSE(result.Violations.empty());
  bool recordedEarly = false;
  for (const std::string& v : result.Violations) {
    recordedEarly = recordedEarly || v.find("recorded while a range of the case is not erased") != std::string::npos;
  }
  EXPECT_TRUE(recordedEarly) << Join(result.Violations);
  // Its fTPM-only case has one range, which the first erase completes: the
  // same platform passes there, so the sweep tells the two cases apart.
  EXPECT_TRUE(Sweep(layout, RecoveryCase::FtpmOnly, PlatformKind::RecordsAfterFirstErase).Violations.empty());
}

INSTANTIATE_TEST_SUITE_P(BothCases, PowerCutSweep, ::testing::Values(RecoveryCase::Full, RecoveryCase::FtpmOnly),
                         [](const ::testing::TestParamInfo<RecoveryCase>& info) {
                           return std::string(info.param == RecoveryCase::Full ? "Full" : "FtpmOnly");
                         });

// N keeps the records and asks again on every boot; the old processor put
// back ends the request, and the new one brings it back.
TEST(PowerStory, NKeepsAskingAndTheOldProcessorEndsTheRequest) {
  const Layout layout = Layouts()[0];
  Story story(layout, RecoveryCase::Full, PlatformKind::Reference);
  EXPECT_FALSE(story.PowerOn(layout.OldCpu, u'N').Prompted);
  for (int boot = 0; boot < 3; ++boot) {
    EXPECT_TRUE(story.PowerOn(layout.NewCpu, u'N').Prompted) << boot;
    EXPECT_FALSE(story.AllErased());
    EXPECT_EQ(story.Recorded(), layout.OldCpu);
  }
  EXPECT_FALSE(story.PowerOn(layout.OldCpu, u'N').Prompted);
  EXPECT_EQ(story.Recorded(), layout.OldCpu);
  EXPECT_TRUE(story.PowerOn(layout.NewCpu, u'Y').Prompted);
  EXPECT_TRUE(story.AllErased());
  EXPECT_EQ(story.Recorded(), layout.NewCpu);
  EXPECT_FALSE(story.PowerOn(layout.NewCpu, u'Y').Prompted);
  EXPECT_EQ(story.ChangedOutsideRanges(), std::nullopt);
}

// An MVQ NVRAM erase that fails (the device reports it, or it does not read
// back erased) leaves the request standing: the driver resets as it must,
// and the next boot asks again and finishes once the device erases.
TEST(PowerStory, AFailedEraseOfTheLastRangeAsksAgainOnTheNextBoot) {
  const Layout layout = Layouts()[0];
  for (bool stuck : {false, true}) {
    Story story(layout, RecoveryCase::Full, PlatformKind::Reference);
    EXPECT_FALSE(story.PowerOn(layout.OldCpu, u'Y').Prompted);
    (stuck ? story.StuckBlocks : story.FailingBlocks).insert(testing::kMvqNvram + kBlock);
    const PowerOnResult failed = story.PowerOn(layout.NewCpu, u'Y');
    EXPECT_TRUE(failed.Prompted);
    EXPECT_NE(failed.Stop.find("reset"), std::string::npos) << failed.Stop;
    EXPECT_EQ(story.Recorded(), layout.OldCpu) << stuck;
    EXPECT_FALSE(story.AllErased()) << stuck;
    story.FailingBlocks.clear();
    story.StuckBlocks.clear();
    EXPECT_TRUE(story.PowerOn(layout.NewCpu, u'Y').Prompted) << stuck;
    EXPECT_TRUE(story.AllErased());
    EXPECT_EQ(story.Recorded(), layout.NewCpu);
    EXPECT_FALSE(story.PowerOn(layout.NewCpu, u'Y').Prompted);
    EXPECT_EQ(story.ChangedOutsideRanges(), std::nullopt);
  }
}

}  // namespace
}  // namespace ftpm
