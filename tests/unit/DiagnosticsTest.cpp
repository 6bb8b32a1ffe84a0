// Debug output, the post-code stop and its display loop, the busy wait and
// the calibration of the time-stamp counter against the simulated timer.
#include <gtest/gtest.h>

#include "sim/Machine.h"
#include "support/Diagnostics.h"
#include "support/PostCodes.h"
#include "support/Settings.h"

namespace ftpm::support {
namespace {

using sim::Machine;
using sim::MachineConfig;
using sim::PortAccess;
using sim::StopReason;

TEST(DebugPrint, FormatsThroughTheProtocolAtTheGivenLevel) {
  Machine m;
  m.LoadDriverImage();
  EXPECT_EQ(DebugPrint(kDebugError, "RecoveryFlag %x\n", 0x40000000U), EFI_SUCCESS);
  EXPECT_EQ(DebugPrint(kDebugS3, "[%a] %r\n", "name", EFI_NOT_FOUND), EFI_SUCCESS);
  ASSERT_EQ(m.debug.Messages.size(), 2U);
  EXPECT_EQ(m.debug.Messages[0].Level, 0x80000000U);
  EXPECT_EQ(m.debug.Messages[0].Text, "RecoveryFlag 40000000\n");
  EXPECT_EQ(m.debug.Messages[1].Level, 0x0004000000000000U);
  EXPECT_EQ(m.debug.Messages[1].Text, "[name] Not Found\n");
}

TEST(DebugPrint, MissingProtocolReturnsTheLookupErrorAndLooksAgainNextTime) {
  MachineConfig config;
  config.DebugPrint = false;
  Machine m(config);
  m.LoadDriverImage();
  EXPECT_EQ(DebugPrint(kDebugError, "lost\n"), EFI_NOT_FOUND);
  m.InstallProtocol(gDebugPrintProtocolGuid, &m.debug.Protocol);
  EXPECT_EQ(DebugPrint(kDebugError, "kept\n"), EFI_SUCCESS);
  ASSERT_EQ(m.debug.Messages.size(), 1U);
  EXPECT_EQ(m.debug.Messages[0].Text, "kept\n");
}

TEST(DebugPrint, AProtocolInstalledWithANullInterfaceCountsAsMissing) {
  MachineConfig config;
  config.DebugPrint = false;
  Machine m(config);
  m.InstallProtocol(gDebugPrintProtocolGuid, nullptr);
  m.LoadDriverImage();
  EXPECT_EQ(DebugPrint(kDebugError, "lost\n"), EFI_NOT_FOUND);
  EXPECT_EQ(gDiagnosticsState.DebugPrint, nullptr);
}

class PostCodeHaltTest : public ::testing::Test {
 protected:
  PostCodeHaltTest() {
    m.LoadDriverImage();
    gSettingsState.KelCfgPcdBuf.PostCodeEnable = 1;
    gDiagnosticsState.TscFrequency = 4000;  // 2.5 s are 10000 ticks
  }
  Machine m;
};

TEST(PostCodeHalt, DisabledByTheStartUpConfigurationTouchesNoPort) {
  Machine m;
  m.LoadDriverImage();
  ConfigBlockStartUp();
  PostCodeHalt(postcode::kS3TableSignatureBad);
  EXPECT_TRUE(m.ports.Log.empty());
}

TEST_F(PostCodeHaltTest, AnsweringDebugHostEndsItAfterTheCode) {
  m.cpu.DebugHostAnswer = 1;
  PostCodeHalt(postcode::kS3TableSignatureBad);
  ASSERT_EQ(m.ports.Log.size(), 2U);
  EXPECT_EQ(m.ports.Log[0].Port, 0xE0);
  EXPECT_EQ(m.ports.Log[0].Width, 2U);
  EXPECT_EQ(m.ports.Log[0].Value, 0xDEADU);
  EXPECT_EQ(m.ports.Log[1].Port, 0x80);
  EXPECT_EQ(m.ports.Log[1].Width, 4U);
  EXPECT_EQ(m.ports.Log[1].Value, 0x000A0630U);
}

TEST_F(PostCodeHaltTest, WithoutADebugHostTheCodeScrollsForEverInSixSteps) {
  // Two full cycles after the code itself, then the simulation cuts it off.
  m.ports.Port80WriteLimit = 1 + 12;
  sim::RunOutcome outcome = m.Run([] {
    PostCodeHalt(postcode::kS3TableSignatureBad);
    return EFI_SUCCESS;
  });
  ASSERT_TRUE(outcome.StoppedBy(StopReason::PortWriteLimit));
  std::vector<UINT32> values;
  std::vector<UINT64> times;
  for (const PortAccess& access : m.ports.AccessesTo(0x80)) {
    EXPECT_EQ(access.Width, 4U);
    values.push_back(access.Value);
    times.push_back(access.Tsc);
  }
  const std::vector<UINT32> cycle = {0x300000DE, 0x0000DEAD, 0x00DEAD00, 0xDEAD000A, 0xAD000A06, 0x000A0630};
  std::vector<UINT32> expected = {0x000A0630};
  expected.insert(expected.end(), cycle.begin(), cycle.end());
  expected.insert(expected.end(), cycle.begin(), cycle.end());
  EXPECT_EQ(values, expected);
  // Each value of the cycle stays at least 2.5 s of counter time.
  for (size_t i = 2; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], 10000U) << i;
  }
}

TEST(PostCodeDelay, ZeroFrequencyReturnsAlmostAtOnce) {
  Machine m;
  m.LoadDriverImage();
  EXPECT_EQ(PostCodeDelay(), 2500000U);
  EXPECT_LE(m.cpu.PauseCount, 1U);
}

TEST(PostCodeDelay, WaitsTwoAndAHalfSecondsOfCounterTicks) {
  Machine m;
  m.LoadDriverImage();
  gDiagnosticsState.TscFrequency = 1000000;
  const UINT64 start = m.cpu.Tsc;
  EXPECT_EQ(PostCodeDelay(), 2500000U);
  EXPECT_GE(m.cpu.Tsc - start, 2500000U);
  EXPECT_LT(m.cpu.Tsc - start, 2500000U + 2000U);
}

class CalibrationTest : public ::testing::Test {
 protected:
  CalibrationTest() { m.LoadDriverImage(); }
  UINT64 Published() { return *static_cast<UINT64*>(m.boot.ConfigurationTable(gTscFrequencyTableGuid)); }
  Machine m;
};

TEST_F(CalibrationTest, MeasuresTheCounterOverOneMillisecondOfTimerAndPublishesIt) {
  CalibrateTsc();
  // 3579 timer ticks are taken for 1 ms (0.0127 % short) and the loop ends one
  // read after the target; a percent covers both.
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
  ASSERT_NE(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
  EXPECT_EQ(Published(), gDiagnosticsState.TscFrequency);
  EXPECT_EQ(m.boot.OutstandingByType()[EfiBootServicesData], 8U);
}

TEST_F(CalibrationTest, TimerWrappingPastTwoToThe32StillEndsTheWait) {
  m.registers.PmTimerStart = 0xFFFFFFFF - 1000;
  CalibrateTsc();
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
}

TEST_F(CalibrationTest, PublishedTableIsReusedWithoutMeasuringEvenWhenZero) {
  static UINT64 published = 0;
  m.boot.InstallConfigurationTable(gTscFrequencyTableGuid, &published);
  gDiagnosticsState.TscFrequency = 77;
  CalibrateTsc();
  EXPECT_EQ(gDiagnosticsState.TscFrequency, 0U);
  EXPECT_EQ(m.registers.PmTimerReads, 0U);
  EXPECT_TRUE(m.boot.Outstanding().empty());
  EXPECT_EQ(m.SystemTable.NumberOfTableEntries, 2U);  // the HOB list and this one
}

TEST_F(CalibrationTest, APublishedEntryWithANullPointerCountsAsAbsent) {
  static UINT64 placeholder = 5;
  m.boot.InstallConfigurationTable(gTscFrequencyTableGuid, &placeholder);
  for (UINTN i = 0; i < m.SystemTable.NumberOfTableEntries; ++i) {
    if (m.SystemTable.ConfigurationTable[i].VendorGuid == gTscFrequencyTableGuid) {
      m.SystemTable.ConfigurationTable[i].VendorTable = nullptr;
    }
  }
  CalibrateTsc();
  EXPECT_GT(m.registers.PmTimerReads, 0U);
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
  ASSERT_NE(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
  EXPECT_EQ(Published(), gDiagnosticsState.TscFrequency);
}

TEST_F(CalibrationTest, FailedAllocationStillMeasuresButPublishesNothing) {
  m.faults.FailNth(sim::Op::AllocatePool, 1);
  CalibrateTsc();
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
  EXPECT_EQ(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
}

TEST_F(CalibrationTest, FailedPublicationReleasesTheBlockAndUsesTheMeasuredValue) {
  m.faults.FailNth(sim::Op::InstallConfigurationTable, 1);
  CalibrateTsc();
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
  EXPECT_EQ(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
  EXPECT_TRUE(m.boot.Outstanding().empty());
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
}

class BoundedCalibrationTest : public CalibrationTest {
 protected:
  // Calibration gave up: frequency 0, nothing published or kept, and the
  // timer read once for the target and then the bound's number of times.
  void ExpectGaveUp() {
    EXPECT_EQ(gDiagnosticsState.TscFrequency, 0U);
    EXPECT_EQ(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
    EXPECT_TRUE(m.boot.Outstanding().empty());
    const auto reads = std::count_if(m.registers.Log.begin(), m.registers.Log.end(),
                                     [](const sim::MmioAccess& a) { return a.Address == kPmTimerAddress; });
    EXPECT_EQ(static_cast<UINT32>(reads), kPmTimerReadLimit + 1);
  }
};

TEST_F(BoundedCalibrationTest, AStoppedTimerEndsTheWaitWithoutPublishing) {
  m.registers.PmTimerPresent = false;  // reads all ones, for ever
  CalibrateTsc();
  ExpectGaveUp();
}

// Giving up without the block that would have been published: nothing to
// release.
TEST_F(BoundedCalibrationTest, AStoppedTimerAfterAFailedAllocationReleasesNothing) {
  m.registers.PmTimerPresent = false;
  m.faults.FailNth(sim::Op::AllocatePool, 1);
  CalibrateTsc();
  ExpectGaveUp();
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
}

// A 24-bit timer started within 3579 counts of its wrap keeps changing but
// never reaches the target, which lies above 2^24.
TEST_F(BoundedCalibrationTest, ATwentyFourBitTimerWrappingBelowTheTargetEndsTheWait) {
  m.registers.PmTimerMask = 0x00FFFFFF;
  m.registers.PmTimerStart = 0x00FFFFFF - 1000;
  m.cpu.SpinLimitTicks = m.cpu.Tsc + 4 * m.cpu.TscHz;  // a wait without end stops the machine
  ASSERT_TRUE(m.Run([] {
                 CalibrateTsc();
                 return EFI_SUCCESS;
               }).Returned());
  ExpectGaveUp();
  EXPECT_LT(m.registers.Log.back().Value, 0x00FFFFFFU - 1000);  // it wrapped and went on counting
}

TEST_F(CalibrationTest, ATwentyFourBitTimerAwayFromItsWrapMeasuresAsUsual) {
  m.registers.PmTimerMask = 0x00FFFFFF;
  m.registers.PmTimerStart = 0x00FFFFFF - 3579 - 100;
  CalibrateTsc();
  EXPECT_NEAR(static_cast<double>(gDiagnosticsState.TscFrequency), 2e9, 2e7);
  EXPECT_NE(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
}

}  // namespace
}  // namespace ftpm::support
