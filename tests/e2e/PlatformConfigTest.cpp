// The reference platform's configuration: what each key sets, how bad lines
// are reported, and that a text with any bad line, or one that could not be
// served, is refused whole.
#include <gtest/gtest.h>

#include <string>

#include "qemu/platform/Config.h"

namespace ftpm::qemu {
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
  EXPECT_FALSE(c.EraseFails);
  for (const auto& side : c.Nvram) {
    for (const MemoryRange& range : side) {
      EXPECT_EQ(range.Length, 0u);
    }
  }
  EXPECT_EQ(p.Result.Refusal, nullptr);
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
      "flash-map.a.ftpm=0xFD01140000:0x4000\n"
      "flash-map.b.mvq = 0x1210000 : 0x8000\n"
      "erase.fail=b.mvq\n"
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
  EXPECT_EQ(p.Result.Refusal, nullptr);
  EXPECT_EQ(p.Result.Applied, 26u);
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
  EXPECT_EQ(c.Nvram[0][0].Address, 0xFD01140000u);
  EXPECT_EQ(c.Nvram[0][0].Length, 0x4000u);
  EXPECT_EQ(c.Nvram[1][1].Address, 0x1210000u);
  EXPECT_EQ(c.Nvram[1][1].Length, 0x8000u);
  EXPECT_TRUE(c.EraseFails);
  EXPECT_EQ(c.EraseFailsSide, reference::FlashSide::B);
  EXPECT_EQ(c.EraseFailsKind, reference::NvramKind::Mvq);
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

TEST(PlatformConfig, BadDriverStartAndFlagValuesRefuseTheText) {
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
  // The good first line is not applied either.
  EXPECT_STREQ(p.Result.Refusal, "bad-line");
  EXPECT_FALSE(p.Config.RecoveryFlagSet);
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
      "flash-map.a.ftpm=0xFF200000:0x4000\n"
      "flash-map.b.ftpm=0x300000:0x1000\n"
      "erase.window=16m\n"
      "caller.register=no\n");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Result.Refusal, nullptr);
  EXPECT_EQ(p.Config.SwapRequestToken, 377u);
  EXPECT_EQ(p.Config.Window, EraseWindow::Window16M);
  EXPECT_EQ(p.Config.RegisterCaller, FALSE);
  reference::FlashMap map{};
  ASSERT_TRUE(BuildFlashMap(p.Config, &map));
  EXPECT_EQ(map.EraseBlockSize, 0x1000u);
  EXPECT_EQ(map.DeviceSize, kLowFlashDeviceSize);
  EXPECT_EQ(map.Nvram[0][0].Offset, 0x200000u);  // the window address as an image offset
  EXPECT_EQ(map.Nvram[0][0].Length, 0x4000u);
  EXPECT_EQ(map.Nvram[1][0].Offset, 0x300000u);
  EXPECT_EQ(map.Nvram[0][1].Length, 0u);
  EXPECT_EQ(Parse("swap.request=122\nswap.request=none").Config.SwapRequestToken, 0u);
  EXPECT_EQ(Parse("erase.window=64m").Config.Window, EraseWindow::Window64M);

  // Only the two recovery requests can be set; a range must name flash and
  // hold a byte; the map knows four ranges.
  const Parsed bad = Parse(
      "swap.request=616\n"
      "flash-map.a.ftpm=0x1000:0\n"
      "flash-map.a.ftpm=0xFE000000:0x1000\n"
      "flash-map.a.ftpm=0x1000\n"
      "flash-map.c.ftpm=0x1000:0x1000\n"
      "erase.fail=a.tpm\n");
  ASSERT_EQ(bad.Result.ErrorCount, 6u);
  for (UINTN i = 0; i < 4; ++i) {
    EXPECT_STREQ(bad.Result.Errors[i].Reason, "bad-value") << i;
  }
  EXPECT_STREQ(bad.Result.Errors[4].Reason, "unknown-key");
  EXPECT_STREQ(bad.Result.Errors[5].Reason, "bad-value");
  EXPECT_STREQ(bad.Result.Refusal, "bad-line");
}

// A request the platform could not serve would bring the prompt back on
// every boot: such a configuration is refused whole, leaving detection off.
TEST(PlatformConfig, AConfigurationThatCouldNotServeItsRequestIsRefused) {
  const std::string full =
      "swap.request=122\nerase.window=64m\n"
      "flash-map.a.ftpm=0x1140000:0x4000\nflash-map.a.mvq=0x1150000:0x8000\n";
  EXPECT_EQ(Parse(full).Result.Refusal, nullptr);
  EXPECT_EQ(Parse(full).Config.SwapRequestToken, 122u);
  const struct {
    std::string Text;
    const char* Refusal;
  } refused[] = {
      {"swap.request=122\nflash-map.a.ftpm=0x1140000:0x4000\nflash-map.a.mvq=0x1150000:0x8000\n", "no-erase-window"},
      {"swap.request=122\nerase.window=64m\nflash-map.a.ftpm=0x1140000:0x4000\n", "side-a-incomplete"},
      {"swap.request=377\nerase.window=64m\n", "side-a-incomplete"},
      {full + "flash-map.b.ftpm=0x1200000:0x4000\n", "side-b-incomplete"},
      {full + "flash-map.b.ftpm=0x1142000:0x4000\nflash-map.b.mvq=0x1210000:0x8000\n", "overlap"},
      {full + "flash-map.b.ftpm=0x1200800:0x4000\nflash-map.b.mvq=0x1210000:0x8000\n", "not-whole-blocks"},
      // The 16 MB window's flash device ends at 14 MiB.
      {"swap.request=377\nerase.window=16m\nflash-map.a.ftpm=0xFFF00000:0x4000\n", "outside-device"},
      // Without detection a map must still be sound.
      {"erase.window=64m\nflash-map.a.mvq=0x1150000:0x800\n", "not-whole-blocks"},
  };
  for (const auto& r : refused) {
    const Parsed p = Parse(r.Text);
    EXPECT_EQ(p.Result.ErrorCount, 0u) << r.Text;
    ASSERT_NE(p.Result.Refusal, nullptr) << r.Text;
    EXPECT_STREQ(p.Result.Refusal, r.Refusal) << r.Text;
    EXPECT_EQ(p.Config.SwapRequestToken, 0u) << r.Text;
    EXPECT_EQ(p.Config.Window, EraseWindow::None) << r.Text;
  }
}

TEST(PlatformConfig, HoldPointsForThePowerCutStories) {
  EXPECT_EQ(Parse("").Config.Hold, HoldPoint::None);
  const Parsed after = Parse("hold=after-erase:1");
  EXPECT_EQ(after.Config.Hold, HoldPoint::AfterErase);
  EXPECT_EQ(after.Config.HoldErase, 1u);
  const Parsed inside = Parse("hold=inside-erase:2");
  EXPECT_EQ(inside.Config.Hold, HoldPoint::InsideErase);
  EXPECT_EQ(inside.Config.HoldErase, 2u);
  EXPECT_EQ(Parse("hold=before-reset").Config.Hold, HoldPoint::BeforeReset);
  EXPECT_EQ(Parse("hold=before-reset\nhold=none").Config.Hold, HoldPoint::None);
  for (const char* bad :
       {"hold=after-erase:0", "hold=after-erase:", "hold=inside-erase", "hold=later", "hold=inside-erase:x"}) {
    EXPECT_STREQ(Parse(bad).Result.Refusal, "bad-line") << bad;
  }
}

TEST(PlatformConfig, CommentsBlankLinesAndLineEndings) {
  const Parsed p = Parse("# a comment\r\n\r\n   \t\n  # indented comment=1\nsetting.122=1\r\nsetting.616=1");
  EXPECT_EQ(p.Result.ErrorCount, 0u);
  EXPECT_EQ(p.Result.Applied, 2u);
  EXPECT_EQ(Setting(p.Config, 122), 1u);
  EXPECT_EQ(Setting(p.Config, 616), 1u);  // the last line needs no line end
}

TEST(PlatformConfig, BadLinesAreReportedWithTheirLineAndNothingIsApplied) {
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
  EXPECT_STREQ(r.Refusal, "bad-line");
  EXPECT_EQ(Setting(p.Config, 122), 0u);  // the good line is not applied either
  EXPECT_EQ(p.Config.HandlerCalls, 1u);
  EXPECT_EQ(p.Config.Window, EraseWindow::None);
  EXPECT_STREQ(p.Config.DriverFile, "FtpmRecoveryDxe.efi");
  EXPECT_EQ(p.Config.ProbeCount, 0u);
}

TEST(PlatformConfig, LimitsHold) {
  EXPECT_EQ(Parse("probe=1:1\nprobe=2:1\nprobe=3:1\nprobe=4:1\n").Config.ProbeCount, kMaxProbes);
  const Parsed probes = Parse("probe=1:1\nprobe=2:1\nprobe=3:1\nprobe=4:1\nprobe=5:1\n");
  EXPECT_EQ(probes.Config.ProbeCount, 0u);
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
}  // namespace ftpm::qemu
