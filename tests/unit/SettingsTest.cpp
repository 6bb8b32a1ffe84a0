// Settings access and the configuration block.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/Machine.h"
#include "support/Settings.h"

namespace ftpm::support {
namespace {

using sim::Machine;
using sim::MachineConfig;

std::vector<UINT8> BlockBytes() {
  const auto* p = reinterpret_cast<const UINT8*>(&gSettingsState.KelCfgPcdBuf);
  return std::vector<UINT8>(p, p + sizeof(KEL_CFG_PCD_BUF));
}

bool BlockIsZero() {
  const std::vector<UINT8> bytes = BlockBytes();
  return std::all_of(bytes.begin(), bytes.end(), [](UINT8 b) { return b == 0; });
}

TEST(ConfigBlock, FilledFromSettingsAndConstants) {
  Machine m;
  m.LoadDriverImage();
  m.settings.Set(616, 7);  // a boolean setting: any non-zero value reads TRUE
  m.settings.Set(552, 0xAB);
  m.settings.Set(617, 0);
  m.settings.Set(562, 0x11223344);
  m.settings.Set(561, 0x55667788);
  m.settings.Set(618, 0xCD);
  std::memset(&gSettingsState.KelCfgPcdBuf, 0x5A, sizeof(KEL_CFG_PCD_BUF));
  ConfigBlockStartUp();
  const std::vector<UINT8> expected = {0x01, 0x03, 0x80, 0x00,  // 0x00800301
                                       0x00,                    // PostCodeHalt enable
                                       0x00, 0x01, 0xAB,        // byte 5, 616, 552
                                       0x02, 0x02, 0x02,        // 0x0202, 2
                                       0x00, 0x06, 0xE3, 0x03,  // 0x03E30600 at byte 11
                                       0x00,                    // 617
                                       0x44, 0x33, 0x22, 0x11,  // 562
                                       0x88, 0x77, 0x66, 0x55,  // 561
                                       0xCD, 0x02};
  EXPECT_EQ(BlockBytes(), expected);
}

TEST(ConfigBlock, MissingTokenProtocolPrintsOneMessageAndLeavesTheBlockZero) {
  MachineConfig config;
  config.Pcd = false;
  Machine m(config);
  m.LoadDriverImage();
  std::memset(&gSettingsState.KelCfgPcdBuf, 0x5A, sizeof(KEL_CFG_PCD_BUF));
  ConfigBlockStartUp();
  EXPECT_TRUE(BlockIsZero());
  ASSERT_EQ(m.debug.Messages.size(), 1U);
  EXPECT_EQ(m.debug.Messages[0].Level, 0x80000000U);
  EXPECT_EQ(m.debug.Messages[0].Text,
            "[KelCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\n");
}

TEST(ConfigBlock, MissingGuidProtocolPrintsItsMessageAndLeavesTheBlockZero) {
  MachineConfig config;
  config.EfiPcd = false;
  Machine m(config);
  m.LoadDriverImage();
  std::memset(&gSettingsState.KelCfgPcdBuf, 0x5A, sizeof(KEL_CFG_PCD_BUF));
  ConfigBlockStartUp();
  EXPECT_TRUE(BlockIsZero());
  ASSERT_EQ(m.debug.Messages.size(), 1U);
  EXPECT_EQ(m.debug.Messages[0].Text,
            "[KelCfgPcdBufLibDxeConstructor] LocateProtocol: gEfiPcdProtocolGuid, Status: Not Found\n");
}

TEST(SettingsAccess, MissingProtocolReadsZeroAndDropsWritesUntilItAppears) {
  MachineConfig config;
  config.Pcd = false;
  config.EfiPcd = false;
  Machine m(config);
  m.LoadDriverImage();
  m.settings.Set(766, 0x1234);
  m.settings.Set(552, 0x12);
  m.settings.Set(561, 0x12345678);
  EXPECT_EQ(SettingGet64(766), 0U);
  EXPECT_EQ(SettingGet8(552), 0);
  EXPECT_EQ(SettingGet32(561), 0U);
  EXPECT_EQ(SettingGetBool(122), FALSE);
  EXPECT_EQ(SettingSet64(939, 5), EFI_NOT_FOUND);
  EXPECT_EQ(SmmCommBufferAddress(), 0U);

  // A failed lookup is not remembered: once installed, the protocol is found.
  m.InstallProtocol(gPcdProtocolGuid, &m.settings.Pcd);
  m.InstallProtocol(gEfiPcdProtocolGuid, &m.settings.EfiPcd);
  EXPECT_EQ(SettingGet64(766), 0x1234U);
  EXPECT_EQ(SettingGet8(552), 0x12);
  EXPECT_EQ(SettingGet32(561), 0x12345678U);
  EXPECT_EQ(SettingSet64(939, 5), EFI_SUCCESS);
  EXPECT_EQ(m.settings.Get(939), 5U);
  EXPECT_EQ(SmmCommBufferAddress(), reinterpret_cast<UINT64>(m.smm.CommBuffer()));
}

TEST(SettingsAccess, TheProtocolIsLookedUpOnceThenCached) {
  Machine m;
  m.LoadDriverImage();
  SettingGet64(766);
  SettingGet32(562);
  SettingGet8(552);
  const auto lookups = std::count(m.boot.LocateLog.begin(), m.boot.LocateLog.end(), gPcdProtocolGuid);
  EXPECT_EQ(lookups, 1);
}

}  // namespace
}  // namespace ftpm::support
