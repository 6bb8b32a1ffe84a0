// The story `ftpm-recovery simulate` runs, and its argument forms.
#include <gtest/gtest.h>

#include "tools/ImageLayout.h"
#include "tools/Simulation.h"

namespace ftpm::tools {
namespace {

SimulationOptions SampleStory(const std::string& keys) {
  SimulationOptions options;
  options.Image = layout::BuildImage(nlohmann::json::parse(BuiltInSampleLayout()));
  options.Cpu = BuiltInSampleProcessor();
  options.Settings[122] = 1;
  options.Keys = ParseKeys(keys);
  return options;
}

TEST(SimulateKeys, EveryFormGivesItsKey) {
  const std::vector<EFI_INPUT_KEY> keys = ParseKeys("x,esc,scan=5,Y");
  ASSERT_EQ(keys.size(), 4U);
  EXPECT_EQ(keys[0].UnicodeChar, u'x');
  EXPECT_EQ(keys[0].ScanCode, 0);
  EXPECT_EQ(keys[1].ScanCode, SCAN_ESC);
  EXPECT_EQ(keys[1].UnicodeChar, 0);
  EXPECT_EQ(keys[2].ScanCode, 5);
  EXPECT_EQ(keys[3].UnicodeChar, u'Y');
  EXPECT_TRUE(ParseKeys("").empty());
}

TEST(SimulateKeys, MalformedListsAreRefused) {
  EXPECT_THROW(ParseKeys("yes"), SimulationError);
  EXPECT_THROW(ParseKeys("y,,n"), SimulationError);
  EXPECT_THROW(ParseKeys("scan=70000"), SimulationError);
  EXPECT_THROW(ParseKeys("y,"), SimulationError);
}

TEST(SimulateConsole, ColumnsByRows) {
  EXPECT_EQ(ParseConsole("100x31"), (std::pair<uint32_t, uint32_t>{100, 31}));
  EXPECT_THROW(ParseConsole("100"), SimulationError);
  EXPECT_THROW(ParseConsole("0x25"), SimulationError);
  EXPECT_THROW(ParseConsole("80x"), SimulationError);
}

TEST(SimulateStory, YesOnTheBuiltInSampleErasesSideAAndResets) {
  const nlohmann::json report = RunSimulation(SampleStory("x,esc,y"));
  EXPECT_EQ(report["entry_status"], "0x0");
  EXPECT_TRUE(report["protocol_installed"].get<bool>());
  EXPECT_EQ(report["prompts_drawn"], 3);
  EXPECT_EQ(report["reset"], "cold");
  EXPECT_TRUE(report["handler_status"].is_null());
  EXPECT_FALSE(report["waiting_for_key"].get<bool>());
  // Side A's level-2 directory at 0x1040000 holds both entries in mode 2.
  const nlohmann::json expected = nlohmann::json::parse(R"([
      {"address": "0x1140000", "size": "0x4000"},
      {"address": "0x1150000", "size": "0x8000"}])");
  EXPECT_EQ(report["erase_requests"], expected);
  EXPECT_EQ(report["screen"].size(), 25U);
}

TEST(SimulateStory, RecoveryFlagBitThirtyErasesSideB) {
  SimulationOptions options = SampleStory("y");
  options.RecoveryFlag = 0x40000000;
  const nlohmann::json report = RunSimulation(options);
  ASSERT_EQ(report["erase_requests"].size(), 2U);
  EXPECT_EQ(report["erase_requests"][0]["address"], "0x1200000");
}

TEST(SimulateStory, KeysRunningOutLeaveTheDialogWaiting) {
  const nlohmann::json report = RunSimulation(SampleStory("x"));
  EXPECT_TRUE(report["waiting_for_key"].get<bool>());
  EXPECT_EQ(report["prompts_drawn"], 2);
  EXPECT_TRUE(report["reset"].is_null());
}

TEST(SimulateStory, NoSettingNoProtocolAndNoHandlerCall) {
  SimulationOptions options = SampleStory("y");
  options.Settings[122] = 0;
  const nlohmann::json report = RunSimulation(options);
  EXPECT_FALSE(report["protocol_installed"].get<bool>());
  EXPECT_TRUE(report["handler_calls"].empty());
  EXPECT_EQ(report["flash_loads"], 0);
}

TEST(SimulateStory, TwoCallsAfterNoAskTwice) {
  SimulationOptions options = SampleStory("n,N");
  options.HandlerCalls = 2;
  const nlohmann::json report = RunSimulation(options);
  EXPECT_EQ(report["handler_calls"].size(), 2U);
  EXPECT_EQ(report["handler_status"], "0x0");
  EXPECT_EQ(report["prompts_drawn"], 2);
}

TEST(SimulateStory, AbsentPiecesAndAMissingCommBufferSendNothing) {
  SimulationOptions options = SampleStory("y");
  options.CommBuffer = false;
  const nlohmann::json report = RunSimulation(options);
  EXPECT_TRUE(report["erase_requests"].empty());
  EXPECT_EQ(report["reset"], "cold");

  options.CommBuffer = true;
  options.Absent = {"debug-print"};
  EXPECT_TRUE(RunSimulation(options)["debug_messages"].empty());

  options.Absent = {"no-such-piece"};
  EXPECT_THROW(RunSimulation(options), SimulationError);
}

// Each piece --absent names is really left out, as the driver sees it.
TEST(SimulateStory, EachAbsentPieceIsLeftOut) {
  struct Case {
    const char* name;
    bool installed;
    size_t erases;
  };
  // Without the token settings protocol both requests read FALSE; without
  // the GUID one the communication buffer's address reads 0; without the
  // erase service or SMM communication no request reaches SMM.
  for (const Case& c : {Case{"pcd", false, 0}, Case{"efi-pcd", true, 0}, Case{"erase-service-ready", true, 0},
                        Case{"smm-communication", true, 0}, Case{"hob-list", true, 2}, Case{"debug-print", true, 2}}) {
    SCOPED_TRACE(c.name);
    SimulationOptions options = SampleStory("y");
    options.Absent = {c.name};
    const nlohmann::json report = RunSimulation(options);
    EXPECT_EQ(report["protocol_installed"].get<bool>(), c.installed);
    EXPECT_EQ(report["erase_requests"].size(), c.erases);
  }
  EXPECT_EQ(AbsentNames().size(), 6U);
}

TEST(SimulateSummary, ARecoveryIsToldLineByLine) {
  const std::string text = FormatSimulation(RunSimulation(SampleStory("x,y")));
  for (const char* line :
       {"Processor:              0x00A70F42\n", "Entry point:            0x0\n", "FtpmRecoveryProtocol:   installed\n",
        "Handler call 1:         stopped: reset\n", "Prompts drawn:          2\n", "Erase requests:         2\n",
        "  0x1140000, 0x4000 bytes\n", "  0x1150000, 0x8000 bytes\n", "Reset:                  cold\n",
        "Debug 0x80000000: RecoveryFlag 0\n", "Final screen (25 rows; blank rows not shown):\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("Waiting for a key"), std::string::npos);
  // Rows are shown with their numbers, blank ones left out.
  EXPECT_NE(text.find("\n  12 |"), std::string::npos) << text;
  EXPECT_EQ(text.find("\n    0 |"), std::string::npos) << text;
}

TEST(SimulateSummary, AWaitingDialogAndAMissingProtocolAreSaid) {
  EXPECT_NE(FormatSimulation(RunSimulation(SampleStory("x"))).find("Waiting for a key:      the keys ran out"),
            std::string::npos);
  SimulationOptions options = SampleStory("y");
  options.Settings[122] = 0;
  const std::string text = FormatSimulation(RunSimulation(options));
  EXPECT_NE(text.find("FtpmRecoveryProtocol:   not installed\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Erase requests:         0\nReset:                  none\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace ftpm::tools
