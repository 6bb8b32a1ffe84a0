// The entry point: its fixed order, the two recovery settings, the installed
// interface record, and configuration-table lookup.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/EntryPoint.h"
#include "driver/RecoveryPromptHandler.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Firmware.h"

namespace ftpm {
namespace {

using sim::Machine;
using sim::Op;

size_t IndexOf(const std::vector<EFI_GUID>& log, const EFI_GUID& guid) {
  auto it = std::find(log.begin(), log.end(), guid);
  return static_cast<size_t>(it - log.begin());
}

TEST(EntryPoint, BothSettingsClearInstallsNothing) {
  Machine m;
  sim::RunOutcome outcome = m.StartDriver();
  ASSERT_TRUE(outcome.Returned());
  EXPECT_EQ(*outcome.Status, EFI_SUCCESS);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
  EXPECT_TRUE(m.settings.WasRead(122));
  EXPECT_TRUE(m.settings.WasRead(377));
}

TEST(EntryPoint, NvramResetRequestInstallsTheProtocolWithoutReadingTheOther) {
  Machine m;
  m.settings.Set(122, 1);
  m.settings.Set(377, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_FALSE(m.settings.WasRead(377));
  ASSERT_TRUE(m.boot.HandleHas(m.ImageHandle, gFtpmRecoveryProtocolGuid));
  auto* record = static_cast<driver::FTPM_RECOVERY_PROTOCOL*>(m.boot.Find(gFtpmRecoveryProtocolGuid));
  EXPECT_EQ(record->RecoveryPromptHandler, &driver::RecoveryPromptHandler);
  EXPECT_EQ(record->Value, 0x80U);
}

TEST(EntryPoint, FtpmResetRequestAloneInstallsTheProtocol) {
  Machine m;
  m.settings.Set(377, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_TRUE(m.boot.HandleHas(m.ImageHandle, gFtpmRecoveryProtocolGuid));
}

TEST(EntryPoint, ProtocolAlreadyOnTheHandleReturnsTheFailingStatusUnchanged) {
  Machine m;
  m.settings.Set(122, 1);
  m.ImageHandle = m.boot.NewHandle();
  static driver::FTPM_RECOVERY_PROTOCOL other{};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &other, m.ImageHandle);
  EXPECT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);
}

TEST(EntryPoint, FailedStartWithdrawsTheBufferListItsImageHolds) {
  Machine m;
  m.settings.Set(122, 1);
  m.ImageHandle = m.boot.NewHandle();
  static driver::FTPM_RECOVERY_PROTOCOL other{};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &other, m.ImageHandle);
  ASSERT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);
  // The interface lay inside the image about to be unloaded.
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), nullptr);
}

TEST(EntryPoint, AStartedDriverKeepsTheBufferListPublished) {
  Machine m;
  m.settings.Set(122, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), &support::gBufferCacheState.Interface);
}

TEST(EntryPoint, InjectedInstallFailureIsReturned) {
  Machine m;
  m.settings.Set(122, 1);
  // The first install publishes the buffer cache; the second is the protocol.
  m.faults.FailNth(Op::InstallProtocolInterface, 2, EFI_DEVICE_ERROR);
  EXPECT_EQ(m.StartDriver().Status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
}

TEST(EntryPoint, WithoutTheSettingsProtocolNoPromptIsOffered) {
  sim::MachineConfig config;
  config.Pcd = false;
  Machine m(config);
  m.settings.Set(122, 1);
  EXPECT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
}

TEST(EntryPoint, StartUpRunsInItsFixedOrder) {
  Machine m;
  m.settings.Set(122, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  const auto& log = m.boot.LocateLog;
  // SMBus first; the settings protocols (configuration block) before the
  // buffer cache; the five HII protocols after it, in their order.
  EXPECT_EQ(IndexOf(log, gSmbusHcProtocolGuid), 0U);
  EXPECT_LT(IndexOf(log, gPcdProtocolGuid), IndexOf(log, gBufferCacheProtocolGuid));
  const size_t string = IndexOf(log, gHiiStringProtocolGuid);
  EXPECT_LT(IndexOf(log, gBufferCacheProtocolGuid), string);
  EXPECT_EQ(IndexOf(log, gHiiDatabaseProtocolGuid), string + 1);
  EXPECT_EQ(IndexOf(log, gHiiConfigRoutingProtocolGuid), string + 2);
  EXPECT_EQ(IndexOf(log, gHiiFontProtocolGuid), string + 3);
  EXPECT_EQ(IndexOf(log, gHiiImageProtocolGuid), string + 4);
  // Calibration published its table before the settings were read.
  EXPECT_NE(m.boot.ConfigurationTable(gTscFrequencyTableGuid), nullptr);
  EXPECT_EQ(m.settings.Log.back().Token, 122U);
}

TEST(EntryPoint, RemembersWhatItFindsAndLeavesTheRestNull) {
  Machine m;
  static int smbus = 0;
  static int dxeServices = 0;
  m.InstallProtocol(gSmbusHcProtocolGuid, &smbus);
  m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, &dxeServices);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(driver::gEntryState.SmbusHc, &smbus);
  EXPECT_EQ(driver::gEntryState.DxeServices, &dxeServices);
  EXPECT_EQ(driver::gEntryState.HiiString, nullptr);
  EXPECT_EQ(driver::gEntryState.HiiImage, nullptr);
}

TEST(GetConfigurationTable, FirstMatchOrNotFoundWithNull) {
  Machine m;
  m.LoadDriverImage();
  static int first = 1;
  static int second = 2;
  m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, &first);
  VOID* table = &second;
  EXPECT_EQ(support::GetConfigurationTable(&gEfiDxeServicesTableGuid, &table), EFI_SUCCESS);
  EXPECT_EQ(table, &first);
  table = &second;
  EXPECT_EQ(support::GetConfigurationTable(&gTscFrequencyTableGuid, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr);
}

TEST(GetConfigurationTable, EmptyArrayIsNotFound) {
  sim::MachineConfig config;
  config.HobList = false;
  Machine m(config);
  m.LoadDriverImage();
  ASSERT_EQ(m.SystemTable.NumberOfTableEntries, 0U);
  VOID* table = &m;
  EXPECT_EQ(support::GetConfigurationTable(&gEfiHobListGuid, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr);
}

}  // namespace
}  // namespace ftpm
