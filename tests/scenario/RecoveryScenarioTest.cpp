// Whole recovery stories on the simulated platform: start-up with a recovery
// setting, a boot component calling the handler, keys typed, erase requests
// reaching the SMM flash service and the bytes erased in the flash image, the
// cold reset, and the boot after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/Machine.h"
#include "tests/scenario/DriverResidue.h"
#include "tests/scenario/StoryImages.h"
#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm {
namespace {

using sim::ConsoleOp;
using sim::Machine;
using sim::RunOutcome;
using sim::StopReason;
using testing::kCpu16M;
using testing::kCpuAb2;

using testing::kFtpmNvram;
using testing::kFtpmNvramSize;
using testing::kMvqNvram;
using testing::kMvqNvramSize;
using testing::kSideBFtpmNvram;
using testing::kSideBFtpmNvramSize;
using testing::kSideBMvqNvram;

std::vector<uint8_t> PlainImage(bool withFtpm = true, bool withMvq = true) {
  return testing::PlainStoryImage(withFtpm, withMvq);
}

class RecoveryStory : public ::testing::Test {
 protected:
  RecoveryStory() { m.cpu.Signature = kCpu16M; }
  // Whatever the story, what stays allocated is what the driver keeps for
  // the rest of the boot.
  void TearDown() override {
    EXPECT_ONLY_KEPT_ALLOCATIONS(m);
    EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  }

  RunOutcome Boot(std::vector<uint8_t> image) {
    m.flash.SetImage(image);
    RunOutcome start = m.StartDriver();
    EXPECT_EQ(start.Status, EFI_SUCCESS);
    return start;
  }
  void Keys(const std::u16string& keys) {
    for (char16_t c : keys) {
      m.console.QueueKey(c);
    }
  }
  // How many times the prompt's first row went out.
  size_t PromptsDrawn() const {
    size_t n = 0;
    for (const auto& call : m.console.CallsOf(ConsoleOp::OutputString)) {
      n += call.Text.rfind(u"Press Y to reset", 0) == 0 ? 1 : 0;
    }
    return n;
  }
  bool ScreenShows(const std::string& text) const {
    for (const std::string& row : m.console.ScreenUtf8()) {
      if (row.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  uint8_t FlashAt(uint64_t offset) { return m.flash.At(offset); }
  bool Erased(uint64_t offset, uint64_t size) { return m.flash.IsErased(offset, size); }

  Machine m;
  std::vector<std::string> snapshot;
};

TEST_F(RecoveryStory, FullCaseYesErasesBothNvramsInOrderThenColdResets) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  ASSERT_TRUE(m.RecoveryProtocolInstalled());
  Keys(u"Y");
  RunOutcome outcome = m.CallRecoveryHandler();

  ASSERT_TRUE(outcome.StoppedBy(StopReason::Reset));
  ASSERT_EQ(m.runtime.Resets.size(), 1U);
  EXPECT_EQ(m.runtime.Resets[0].Type, EfiResetCold);
  ASSERT_EQ(m.smm.EraseRequests.size(), 2U);
  EXPECT_EQ(m.smm.EraseRequests[0].Address, kFtpmNvram);
  EXPECT_EQ(m.smm.EraseRequests[0].Size, kFtpmNvramSize);
  EXPECT_EQ(m.smm.EraseRequests[1].Address, kMvqNvram);
  EXPECT_EQ(m.smm.EraseRequests[1].Size, kMvqNvramSize);
  EXPECT_TRUE(m.smm.EraseRequests[0].Valid && m.smm.EraseRequests[1].Valid);
  EXPECT_TRUE(Erased(kFtpmNvram, kFtpmNvramSize));
  EXPECT_TRUE(Erased(kMvqNvram, kMvqNvramSize));
  EXPECT_EQ(FlashAt(kFtpmNvram - 1), 0x5A);
  EXPECT_EQ(FlashAt(kFtpmNvram + kFtpmNvramSize), 0x5A);
  EXPECT_EQ(FlashAt(kMvqNvram + kMvqNvramSize), 0x5A);
  // The prompt was cleared and the erasing message stays on screen during the erase.
  EXPECT_EQ(m.console.ClearScreens, 1U);
  EXPECT_TRUE(ScreenShows(" Erasing MVQ NVRAM and fTPM NVRAM.... "));
  EXPECT_FALSE(ScreenShows("Press Y"));
}

TEST(RecoveryBoots, TheBootAfterTheEraseRunsOnTheErasedFlash) {
  std::vector<uint8_t> flash;
  {
    Machine first;
    first.cpu.Signature = kCpu16M;
    first.flash.SetImage(PlainImage());
    first.settings.Set(122, 1);
    ASSERT_EQ(first.StartDriver().Status, EFI_SUCCESS);
    first.console.QueueKey(u'y');
    ASSERT_TRUE(first.CallRecoveryHandler().StoppedBy(StopReason::Reset));
    EXPECT_ONLY_KEPT_ALLOCATIONS(first);
    flash = first.flash.Contents();
  }
  // The platform has recorded the new processor: no prompt this boot, and
  // the flash is neither read nor changed.
  {
    Machine next;
    next.cpu.Signature = kCpu16M;
    next.flash.SetImage(flash);
    ASSERT_EQ(next.StartDriver().Status, EFI_SUCCESS);
    EXPECT_FALSE(next.RecoveryProtocolInstalled());
    EXPECT_EQ(next.flash.Contents(), flash);
    EXPECT_TRUE(next.flash.Log.empty());
    EXPECT_ONLY_KEPT_ALLOCATIONS(next);
  }
  // Asked again all the same, the user keeps what is there: the directories
  // still name the erased ranges, and nothing is sent.
  {
    Machine again;
    again.cpu.Signature = kCpu16M;
    again.flash.SetImage(flash);
    again.settings.Set(377, 1);
    ASSERT_EQ(again.StartDriver().Status, EFI_SUCCESS);
    again.console.QueueKey(u'n');
    EXPECT_EQ(again.CallRecoveryHandler().Status, EFI_SUCCESS);
    EXPECT_TRUE(again.smm.Messages.empty());
    EXPECT_EQ(again.flash.Contents(), flash);
    EXPECT_ONLY_KEPT_ALLOCATIONS(again);
  }
}

TEST_F(RecoveryStory, OtherKeysRedrawThePromptUntilNAndNothingIsErased) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  m.console.QueueKey(u'x');
  m.console.QueueKey(0, SCAN_ESC);
  m.console.QueueKey(u'N');
  RunOutcome outcome = m.CallRecoveryHandler();
  ASSERT_TRUE(outcome.Returned());
  EXPECT_EQ(*outcome.Status, EFI_SUCCESS);
  EXPECT_EQ(PromptsDrawn(), 3U);
  EXPECT_EQ(m.console.ClearScreens, 1U);
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_TRUE(m.runtime.Resets.empty());
  EXPECT_TRUE(m.flash.Log.empty());  // the directories are never read on N
  EXPECT_FALSE(ScreenShows("Press"));
}

TEST_F(RecoveryStory, LowercaseNAnswersLikeN) {
  m.settings.Set(377, 1);
  Boot(PlainImage());
  Keys(u"n");
  EXPECT_EQ(m.CallRecoveryHandler().Status, EFI_SUCCESS);
  EXPECT_TRUE(m.smm.EraseRequests.empty());
}

TEST_F(RecoveryStory, AskedAgainWhenTheComponentCallsAgainAfterN) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  Keys(u"Nn");
  EXPECT_EQ(m.CallRecoveryHandler().Status, EFI_SUCCESS);
  EXPECT_EQ(m.CallRecoveryHandler().Status, EFI_SUCCESS);
  EXPECT_EQ(PromptsDrawn(), 2U);
}

TEST_F(RecoveryStory, FtpmOnlyCaseErasesTypeFourAlone) {
  m.settings.Set(377, 1);
  Boot(PlainImage());
  Keys(u"y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  ASSERT_EQ(m.smm.EraseRequests.size(), 1U);
  EXPECT_EQ(m.smm.EraseRequests[0].Address, kFtpmNvram);
  EXPECT_TRUE(Erased(kFtpmNvram, kFtpmNvramSize));
  EXPECT_EQ(FlashAt(kMvqNvram), 0x5A);
  EXPECT_TRUE(ScreenShows(" Erasing fTPM NVRAM.... "));
}

TEST_F(RecoveryStory, NvramResetRequestWinsAndTheOtherSettingIsNotRead) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  m.settings.Set(377, 1);
  m.settings.Log.clear();
  Keys(u"Y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  EXPECT_FALSE(m.settings.WasRead(377));
  EXPECT_EQ(m.smm.EraseRequests.size(), 2U);
}

TEST_F(RecoveryStory, BothSettingsClearAtTheCallDoNothingAtAll) {
  m.settings.Set(377, 1);
  Boot(PlainImage());
  m.settings.Set(377, 0);
  const size_t consoleCalls = m.console.Calls.size();
  RunOutcome outcome = m.CallRecoveryHandler();
  EXPECT_EQ(outcome.Status, EFI_SUCCESS);
  EXPECT_EQ(m.console.Calls.size(), consoleCalls);
  EXPECT_TRUE(m.ports.Log.empty());
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_TRUE(m.runtime.Resets.empty());
}

TEST_F(RecoveryStory, MissingFtpmEntryStillErasesTheMvqNvramAndResets) {
  m.settings.Set(122, 1);
  Boot(PlainImage(/*withFtpm=*/false, /*withMvq=*/true));
  Keys(u"Y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  ASSERT_EQ(m.smm.EraseRequests.size(), 1U);
  EXPECT_EQ(m.smm.EraseRequests[0].Address, kMvqNvram);
  EXPECT_EQ(m.runtime.Resets.size(), 1U);
}

TEST_F(RecoveryStory, NothingFoundShowsTheMessageSendsNothingAndStillResets) {
  m.settings.Set(122, 1);
  Boot(std::vector<uint8_t>(0x100000, 0xFF));  // no signature block anywhere
  Keys(u"Y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_TRUE(ScreenShows(" Erasing MVQ NVRAM and fTPM NVRAM.... "));
  EXPECT_EQ(m.runtime.Resets[0].Type, EfiResetCold);
}

TEST_F(RecoveryStory, MissingEraseServiceSendsNothingButTheResetStillFollows) {
  m.UninstallProtocol(gEraseServiceReadyProtocolGuid);
  m.settings.Set(122, 1);
  Boot(PlainImage());
  Keys(u"Y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_FALSE(Erased(kFtpmNvram, kFtpmNvramSize));
}

TEST_F(RecoveryStory, KeysRunningOutLeaveTheDialogWaiting) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  Keys(u"q");
  RunOutcome outcome = m.CallRecoveryHandler();
  EXPECT_TRUE(outcome.StoppedBy(StopReason::KeysExhausted));
  EXPECT_EQ(PromptsDrawn(), 2U);
  EXPECT_TRUE(ScreenShows("Press N to keep previous fTPM record"));
}

TEST_F(RecoveryStory, EightyColumnConsoleShortensTheLongRows) {
  m.settings.Set(122, 1);
  Boot(PlainImage());
  Keys(u"N");
  m.console.OnChange = [this] {
    // Capture the screen while the prompt is up, before it is cleared.
    if (m.console.ClearScreens == 0) {
      snapshot = m.console.ScreenUtf8();
    }
  };
  ASSERT_EQ(m.CallRecoveryHandler().Status, EFI_SUCCESS);
  ASSERT_EQ(snapshot.size(), 25U);
  // Row 9 is the first text row of the box at Top 8; the text starts at
  // column 1 with the first 75 characters and "...".
  const std::string row9 = snapshot[9];
  EXPECT_EQ(row9.substr(0, 4), "\xE2\x94\x82P");  // frame, then the text at column 1
  EXPECT_NE(row9.find("Press Y to reset MVQ NVRAM and fTPM NVRAM. if you have BitLocker or encrypt...\xE2\x94\x82"),
            std::string::npos);
}

// The whole prompt of each case, on a console wide enough to show every row
// unshortened: the six rows at their places and the box in light grey on blue.
TEST(RecoveryPrompt, EachCaseShowsItsSixRowsInTheirColours) {
  const std::string rows2to6[] = {
      "        system,the system will not boot without a recovery key.                        ",
      "",
      "Press N to keep previous fTPM record and continue system boot, fTPM will NOT be enabled",
      "        with new CPU unless fTPM is reset (reinitialized), you could swap back to the  ",
      "        old CPU to recover TPM related keys and data.                                  ",
  };
  struct Case {
    UINTN token;
    std::string first;
  };
  for (const Case& c :
       {Case{122, "Press Y to reset MVQ NVRAM and fTPM NVRAM. if you have BitLocker or encryption-enabled "},
        Case{377, "Press Y to reset fTPM. if you have BitLocker or encryption-enabled                     "}}) {
    Machine story;
    story.cpu.Signature = kCpu16M;
    story.console.SetModes({{100, 31}});
    story.settings.Set(c.token, 1);
    story.flash.SetImage(PlainImage());
    ASSERT_EQ(story.StartDriver().Status, EFI_SUCCESS);
    story.console.QueueKey(u'n');
    std::vector<std::string> screen;
    std::vector<UINT8> attributes;
    story.console.OnChange = [&] {
      if (story.console.ClearScreens == 0) {
        screen = story.console.ScreenUtf8();
        attributes.clear();
        for (UINTN column = 5; column < 5 + 89; ++column) {
          attributes.push_back(story.console.At(column, 14).Attribute);
        }
      }
    };
    ASSERT_EQ(story.CallRecoveryHandler().Status, EFI_SUCCESS);
    ASSERT_EQ(screen.size(), 31U);
    // 100x31: MaxLength 87, Left 5, Top 11; each row inside its frame.
    const std::string bar = "\xE2\x94\x82";
    EXPECT_EQ(screen[12], std::string(5, ' ') + bar + c.first + bar + std::string(6, ' ')) << c.token;
    for (size_t i = 0; i < 5; ++i) {
      const std::string text = rows2to6[i].empty() ? std::string(87, ' ') : rows2to6[i];
      EXPECT_EQ(screen[13 + i], std::string(5, ' ') + bar + text + bar + std::string(6, ' '))
          << c.token << " row " << i + 2;
    }
    EXPECT_EQ(attributes, std::vector<UINT8>(89, 0x17)) << c.token;  // frame and the empty row alike
    EXPECT_EQ(story.console.Mode.Attribute, 0x07);                   // and put back afterwards
    EXPECT_ONLY_KEPT_ALLOCATIONS(story);
  }
}

class PrePromptPorts : public RecoveryStory {
 protected:
  std::vector<uint16_t> PortsRead() {
    m.settings.Set(122, 1);
    Boot(PlainImage());
    Keys(u"N");
    EXPECT_EQ(m.CallRecoveryHandler().Status, EFI_SUCCESS);
    std::vector<uint16_t> ports;
    for (const auto& access : m.ports.Log) {
      EXPECT_FALSE(access.Write);
      ports.push_back(access.Port);
    }
    return ports;
  }
};

TEST_F(PrePromptPorts, FullChainReadsFivePortsInOrder) {
  EXPECT_EQ(PortsRead(), (std::vector<uint16_t>{0x75F, 0x742, 0x742, 0x7F9, 0x74C}));
}

TEST_F(PrePromptPorts, Port75FBitSevenStopsTheChainAtOnce) {
  m.ports.SetReads(0x75F, {0x80});
  EXPECT_EQ(PortsRead(), std::vector<uint16_t>{0x75F});
}

TEST_F(PrePromptPorts, SecondRead742WithBitThreeStopsBefore7F9) {
  m.ports.SetReads(0x742, {0x00, 0x08});
  EXPECT_EQ(PortsRead(), (std::vector<uint16_t>{0x75F, 0x742, 0x742}));
}

TEST_F(PrePromptPorts, FirstRead742WithBitZeroStopsAfterIt) {
  m.ports.SetReads(0x742, {0x01});
  EXPECT_EQ(PortsRead(), (std::vector<uint16_t>{0x75F, 0x742}));
}

TEST_F(PrePromptPorts, Port7F9BitTwoSkips74C) {
  m.ports.SetReads(0x7F9, {0x04});
  EXPECT_EQ(PortsRead(), (std::vector<uint16_t>{0x75F, 0x742, 0x742, 0x7F9}));
}

// A 64 MB-window processor with an A/B layout of form 2 behind a combo
// directory: the RecoveryFlag chooses the side whose level-2 directory is
// searched.
class AbStory : public RecoveryStory {
 protected:
  static std::vector<uint8_t> Image() { return testing::AbStoryImage(); }
};

TEST_F(AbStory, FlagBitThirtySelectsTheBSide) {
  m.cpu.Signature = kCpuAb2;
  m.registers.RegisterFile[0x3810570] = 1U << 30;
  m.settings.Set(122, 1);
  Boot(Image());
  Keys(u"Y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  ASSERT_EQ(m.smm.EraseRequests.size(), 2U);
  EXPECT_EQ(m.smm.EraseRequests[0].Address, kSideBFtpmNvram);
  EXPECT_EQ(m.smm.EraseRequests[1].Address, kSideBMvqNvram);
  EXPECT_TRUE(Erased(kSideBFtpmNvram, kSideBFtpmNvramSize));
  EXPECT_FALSE(Erased(kFtpmNvram, kFtpmNvramSize));
  EXPECT_EQ(FlashAt(kSideBFtpmNvram - 1), 0x5A);
}

TEST_F(AbStory, FlagClearSelectsTheASide) {
  m.cpu.Signature = kCpuAb2;
  m.registers.RegisterFile[0x3810570] = 0;
  m.settings.Set(377, 1);
  Boot(Image());
  Keys(u"y");
  ASSERT_TRUE(m.CallRecoveryHandler().StoppedBy(StopReason::Reset));
  ASSERT_EQ(m.smm.EraseRequests.size(), 1U);
  EXPECT_EQ(m.smm.EraseRequests[0].Address, kFtpmNvram);
}

}  // namespace
}  // namespace ftpm
