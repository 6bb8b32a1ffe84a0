// The firmware harness's configuration file: what each key sets, and how bad
// lines are reported without disturbing the rest.
#include <gtest/gtest.h>

#include <string>

#include "qemu/reference/Config.h"

namespace ftpm::reference {
namespace {

struct Parsed {
  PlatformConfig Config;
  ConfigResult Result;
};

Parsed Parse(const std::string& text) {
  Parsed parsed{};
  SetConfigDefaults(parsed.Config);
  ParseConfig(text.data(), text.size(), parsed.Config, parsed.Result);
  return parsed;
}

UINT64 Setting(const PlatformConfig& config, UINTN token) { return config.Settings[SettingIndex(token)]; }

TEST(PlatformConfig, DefaultsProvideEveryPlatformPiece) {
  const Parsed p = Parse("");
  EXPECT_EQ(p.Result.Applied, 0u);
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  const PlatformConfig& c = p.Config;
  EXPECT_TRUE(c.CommBufferAuto);
  EXPECT_EQ(c.CommBufferSize, 4096u);
  EXPECT_TRUE(c.PublishTsc);
  EXPECT_TRUE(c.MeasureTsc);
  EXPECT_TRUE(c.ProvideSettings && c.ProvideEraseReady && c.ProvideSmmCommunication && c.ProvideDebugPrint);
  EXPECT_EQ(c.Window, EraseWindow::None);
  EXPECT_EQ(c.EraseStatus, EFI_SUCCESS);
  EXPECT_STREQ(c.DriverFile, "FtpmRecoveryDxe.efi");
  EXPECT_FALSE(c.PreinstallProtocol);
  EXPECT_STREQ(c.DriverFv, "");  // the driver file is loaded, not dispatched
  EXPECT_FALSE(c.TrapUnloadedImage || c.TrapSelfTest || c.ReinstallReadyToLock);
  EXPECT_FALSE(c.RecoveryFlagSet);  // the register pair as the machine has it
  EXPECT_EQ(c.ConsoleMode, ConsoleModeRequest::Keep);
  EXPECT_EQ(c.HandlerCalls, 1u);
  EXPECT_FALSE(c.SignalReadyToBoot);
  EXPECT_EQ(c.ProbeCount, 0u);
  for (const SettingToken& token : kDriverSettings) {
    EXPECT_EQ(Setting(c, token.Token), 0u) << token.Token;
  }
}

TEST(PlatformConfig, EveryKeyLandsInItsField) {
  const Parsed p = Parse(
      "setting.122=1\n"
      "setting.377 = 0x1\n"
      "setting.768=0x8000\n"
      "setting.940=18446744073709551615\n"
      "setting.comm-buffer=0x1000\n"
      "comm-buffer.size=0x200\n"
      "tsc.publish=no\n"
      "tsc.frequency=0\n"
      "provide.settings=false\n"
      "provide.erase-ready=0\n"
      "provide.smm-communication=off\n"
      "provide.debug-print=0\n"
      "erase.window=64m\n"
      "erase.status=EFI_DEVICE_ERROR\n"
      "driver.file=Other_Driver-2.efi\n"
      "driver.preinstall-protocol=yes\n"
      "console.mode=100x31\n"
      "handler.calls=16\n"
      "ready-to-boot=true\n"
      "probe=0xFD00000000:64\n"
      "probe=0xFF000000 : 8\n"
      "selftest.erase=0x20000:0x1000\n"
      "keys.read=3\n"
      "selftest.box=1\n");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Result.Applied, 24u);
  const PlatformConfig& c = p.Config;
  EXPECT_EQ(Setting(c, 122), 1u);
  EXPECT_EQ(Setting(c, 377), 1u);
  EXPECT_EQ(Setting(c, 768), 0x8000u);
  EXPECT_EQ(Setting(c, 940), ~0ULL);
  EXPECT_FALSE(c.CommBufferAuto);
  EXPECT_EQ(c.CommBufferAddress, 0x1000u);
  EXPECT_EQ(c.CommBufferSize, 0x200u);
  EXPECT_FALSE(c.PublishTsc);
  EXPECT_FALSE(c.MeasureTsc);  // an explicit frequency, even 0, is published as it stands
  EXPECT_EQ(c.TscFrequency, 0u);
  EXPECT_FALSE(c.ProvideSettings || c.ProvideEraseReady || c.ProvideSmmCommunication || c.ProvideDebugPrint);
  EXPECT_EQ(c.Window, EraseWindow::Window64M);
  EXPECT_EQ(c.EraseStatus, EFI_DEVICE_ERROR);
  EXPECT_STREQ(c.DriverFile, "Other_Driver-2.efi");
  EXPECT_TRUE(c.PreinstallProtocol);
  EXPECT_EQ(c.ConsoleMode, ConsoleModeRequest::BySize);
  EXPECT_EQ(c.ConsoleColumns, 100u);
  EXPECT_EQ(c.ConsoleRows, 31u);
  EXPECT_EQ(c.HandlerCalls, 16u);
  EXPECT_TRUE(c.SignalReadyToBoot);
  ASSERT_EQ(c.ProbeCount, 2u);
  EXPECT_EQ(c.Probes[0].Address, 0xFD00000000ULL);
  EXPECT_EQ(c.Probes[0].Length, 64u);
  EXPECT_EQ(c.Probes[1].Address, 0xFF000000u);
  EXPECT_EQ(c.Probes[1].Length, 8u);
  EXPECT_TRUE(c.SelfTestErase);
  EXPECT_EQ(c.SelfTest.Address, 0x20000u);
  EXPECT_EQ(c.SelfTest.Length, 0x1000u);
  EXPECT_EQ(c.KeysToRead, 3u);
  EXPECT_TRUE(c.SelfTestBox);
}

TEST(PlatformConfig, DriverStartAndWhatIsWatchedAfterIt) {
  const Parsed p = Parse(
      "driver.fv=FtpmRecoveryDxe.fv\n"
      "trap.unloaded-image=1\n"
      "trap.selftest=yes\n"
      "ready-to-lock.reinstall=on\n"
      "recovery-flag=0x40000000\n");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Result.Applied, 5u);
  EXPECT_STREQ(p.Config.DriverFv, "FtpmRecoveryDxe.fv");
  EXPECT_TRUE(p.Config.TrapUnloadedImage && p.Config.TrapSelfTest && p.Config.ReinstallReadyToLock);
  EXPECT_TRUE(p.Config.RecoveryFlagSet);
  EXPECT_EQ(p.Config.RecoveryFlagValue, 0x40000000u);

  // The last line wins: back to the machine's register and a loaded file.
  const Parsed back = Parse("recovery-flag=0\nrecovery-flag=machine\ndriver.fv=a.fv\ndriver.fv=none\n");
  EXPECT_EQ(back.Result.ErrorCount, 0u);
  EXPECT_FALSE(back.Config.RecoveryFlagSet);
  EXPECT_STREQ(back.Config.DriverFv, "");
  EXPECT_TRUE(Parse("recovery-flag=0xFFFFFFFF").Config.RecoveryFlagSet);
}

TEST(PlatformConfig, BadDriverStartAndFlagValuesChangeNothing) {
  const Parsed p = Parse(
      "recovery-flag=0x40000000\n"
      "recovery-flag=0x100000000\n"  // 2: the register is 32 bits wide
      "recovery-flag=side-b\n"       // 3
      "driver.fv=fv/Driver.fv\n"     // 4: no paths
      "driver.fv=\n"                 // 5: empty
      "trap.selftest=sometimes\n");  // 6
  ASSERT_EQ(p.Result.ErrorCount, 5u);
  const UINTN lines[] = {2, 3, 4, 5, 6};
  for (UINTN i = 0; i < 5; ++i) {
    EXPECT_EQ(p.Result.Errors[i].Line, lines[i]) << i;
    EXPECT_STREQ(p.Result.Errors[i].Reason, "bad-value") << i;
  }
  EXPECT_EQ(p.Config.RecoveryFlagValue, 0x40000000u);
  EXPECT_STREQ(p.Config.DriverFv, "");
  EXPECT_FALSE(p.Config.TrapSelfTest);
}

TEST(PlatformConfig, ConsoleModeForms) {
  EXPECT_EQ(Parse("console.mode=2").Config.ConsoleMode, ConsoleModeRequest::ByIndex);
  EXPECT_EQ(Parse("console.mode=2").Config.ConsoleModeNumber, 2u);
  EXPECT_EQ(Parse("console.mode=80X25").Config.ConsoleRows, 25u);
  EXPECT_EQ(Parse("console.mode=80x25\nconsole.mode=keep").Config.ConsoleMode, ConsoleModeRequest::Keep);
  EXPECT_EQ(Parse("console.mode=80x").Result.ErrorCount, 1u);
  EXPECT_EQ(Parse("console.mode=wide").Result.ErrorCount, 1u);
}

TEST(PlatformConfig, ProcessorSwapDetectionAndItsFlashMap) {
  const Parsed off = Parse("");
  EXPECT_EQ(off.Config.SwapRequestToken, 0u);  // no detection unless asked
  EXPECT_NE(off.Config.RegisterCaller, FALSE);

  const Parsed p = Parse(
      "swap.request=377\n"
      "swap.ftpm-nvram=0x1140000:0x4000\n"
      "swap.ftpm-nvram=0xFF200000:0x1000\n"
      "erase.window=16m\n"
      "caller.register=no\n");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Config.SwapRequestToken, 377u);
  ASSERT_EQ(p.Config.FtpmRangeCount, 2u);
  EXPECT_EQ(p.Config.FtpmRanges[0].Address, 0x1140000u);
  EXPECT_EQ(p.Config.FtpmRanges[0].Length, 0x4000u);
  EXPECT_EQ(p.Config.FtpmRanges[1].Address, 0xFF200000u);
  EXPECT_EQ(p.Config.Window, EraseWindow::Window16M);
  EXPECT_EQ(p.Config.RegisterCaller, FALSE);
  EXPECT_EQ(Parse("swap.request=122\nswap.request=none").Config.SwapRequestToken, 0u);

  // Only the two recovery requests can be set; a range must hold a byte and
  // end below 2^64; the flash map has room for four ranges.
  const Parsed bad = Parse(
      "swap.request=616\n"
      "swap.ftpm-nvram=0x1000:0\n"
      "swap.ftpm-nvram=0xFFFFFFFFFFFFF000:0x2000\n"
      "swap.ftpm-nvram=0x1000\n"
      "swap.ftpm-nvram=1:1\nswap.ftpm-nvram=2:1\nswap.ftpm-nvram=3:1\nswap.ftpm-nvram=4:1\n"
      "swap.ftpm-nvram=5:1\n");
  EXPECT_EQ(bad.Config.SwapRequestToken, 0u);
  EXPECT_EQ(bad.Config.FtpmRangeCount, kMaxFtpmRanges);
  ASSERT_EQ(bad.Result.ErrorCount, 5u);
  EXPECT_STREQ(bad.Result.Errors[0].Reason, "bad-value");
  EXPECT_STREQ(bad.Result.Errors[1].Reason, "bad-value");
  EXPECT_STREQ(bad.Result.Errors[2].Reason, "bad-value");
  EXPECT_STREQ(bad.Result.Errors[3].Reason, "bad-value");
  EXPECT_STREQ(bad.Result.Errors[4].Reason, "too-many");
  EXPECT_EQ(bad.Result.Errors[4].Line, 9u);
}

TEST(PlatformConfig, CommentsBlankLinesAndLineEndings) {
  const Parsed p = Parse("# a comment\r\n\r\n   \t\n  # indented comment=1\nsetting.122=1\r\nsetting.616=1");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Result.Applied, 2u);
  EXPECT_EQ(Setting(p.Config, 122), 1u);
  EXPECT_EQ(Setting(p.Config, 616), 1u);  // the last line needs no line end
}

TEST(PlatformConfig, BadLinesAreReportedWithTheirLineAndKeepTheOldValue) {
  const Parsed p = Parse(
      "setting.122=1\n"
      "setting.123=1\n"         // 2: not one of the driver's tokens
      "setting.122=maybe\n"     // 3: bad number, 122 stays 1
      "handler.calls=17\n"      // 4: above the limit
      "just words\n"            // 5: no '='
      "erase.window=32m\n"      // 6: no such window
      "driver.file=../x.efi\n"  // 7: no paths
      "comm-buffer.size=8\n"    // 8: smaller than a message
      "probe=0x1000:65\n"       // 9: longer than a probe may be
      "colour=blue\n");         // 10
  const ConfigResult& r = p.Result;
  EXPECT_EQ(r.Applied, 1u);
  ASSERT_EQ(r.ErrorCount, 9u);  // counted in full, the first kMaxConfigErrors kept
  const struct {
    UINTN Line;
    const char* Reason;
    const char* Key;
  } want[] = {
      {2, "unknown-key", "setting.123"},    {3, "bad-value", "setting.122"},  {4, "bad-value", "handler.calls"},
      {5, "no-equals-sign", "just words"},  {6, "bad-value", "erase.window"}, {7, "bad-value", "driver.file"},
      {8, "bad-value", "comm-buffer.size"}, {9, "bad-value", "probe"},
  };
  for (UINTN i = 0; i < kMaxConfigErrors; ++i) {
    EXPECT_EQ(r.Errors[i].Line, want[i].Line) << i;
    EXPECT_STREQ(r.Errors[i].Reason, want[i].Reason) << i;
    EXPECT_STREQ(r.Errors[i].Key, want[i].Key) << i;
  }
  EXPECT_EQ(Setting(p.Config, 122), 1u);
  EXPECT_EQ(p.Config.HandlerCalls, 1u);
  EXPECT_EQ(p.Config.Window, EraseWindow::None);
  EXPECT_STREQ(p.Config.DriverFile, "FtpmRecoveryDxe.efi");
  EXPECT_EQ(p.Config.ProbeCount, 0u);
}

TEST(PlatformConfig, LimitsHold) {
  const Parsed probes = Parse("probe=1:1\nprobe=2:1\nprobe=3:1\nprobe=4:1\nprobe=5:1\n");
  EXPECT_EQ(probes.Config.ProbeCount, kMaxProbes);
  ASSERT_EQ(probes.Result.ErrorCount, 1u);
  EXPECT_STREQ(probes.Result.Errors[0].Reason, "too-many");
  EXPECT_EQ(probes.Result.Errors[0].Line, 5u);

  // A long key is cut to fit the error record, which stays terminated.
  const std::string longKey(200, 'k');
  const Parsed cut = Parse(longKey + "=1");
  ASSERT_EQ(cut.Result.ErrorCount, 1u);
  EXPECT_EQ(std::string(cut.Result.Errors[0].Key), longKey.substr(0, sizeof(ConfigError::Key) - 1));

  const std::string longName(kMaxFileName, 'a');
  EXPECT_EQ(Parse("driver.file=" + longName).Result.ErrorCount, 1u);
  EXPECT_EQ(Parse("driver.file=" + longName.substr(1)).Result.ErrorCount, 0u);
}

TEST(PlatformConfig, ParsingStopsAtTheGivenLength) {
  PlatformConfig config{};
  SetConfigDefaults(config);
  ConfigResult result{};
  const char text[] = "setting.122=1\nsetting.377=1";
  ParseConfig(text, 14, config, result);  // only the first line and its line end
  EXPECT_EQ(result.Applied, 1u);
  EXPECT_EQ(Setting(config, 377), 0u);
  ParseConfig(nullptr, 100, config, result);
  EXPECT_EQ(result.Applied, 0u);
}

}  // namespace
}  // namespace ftpm::reference
