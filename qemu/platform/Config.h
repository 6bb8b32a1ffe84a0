// The run's configuration: key=value text, from a file on the boot volume
// (the boot application) or from QEMU's firmware configuration device (the
// reference platform in the firmware image), written by the QEMU runner.
// Parsing works on a memory buffer and touches no firmware, so the host build
// tests it directly.
#pragma once

#include "platform/Base.h"
#include "qemu/platform/CfiFlash.h"
#include "reference/FlashMap.h"
#include "support/Settings.h"

namespace ftpm::qemu {

// The driver's settings served by token number, with their widths in bytes.
struct SettingToken {
  UINTN Token;
  UINTN Width;
};
inline constexpr SettingToken kDriverSettings[] = {
    {support::kNvramResetRequest, 1},      {support::kFtpmResetRequest, 1},    {support::kConfigByte7Setting, 1},
    {support::kConfigWord20Setting, 4},    {support::kConfigWord16Setting, 4}, {support::kConfigByte6Setting, 1},
    {support::kConfigByte15Setting, 1},    {support::kConfigByte24Setting, 1}, {support::kS3PrivateDataAddress, 8},
    {support::kS3TableAddress, 8},         {support::kS3TableSize, 8},         {support::kScriptRecordAddress, 8},
    {support::kScriptSmmRecordAddress, 8},
};
inline constexpr UINTN kSettingCount = sizeof(kDriverSettings) / sizeof(kDriverSettings[0]);

// The two recovery requests a processor swap can set.
inline constexpr UINTN kFullCaseToken = support::kNvramResetRequest;
inline constexpr UINTN kFtpmOnlyToken = support::kFtpmResetRequest;

// Index of Token in kDriverSettings, or kSettingCount when it is not one of
// the driver's.
UINTN SettingIndex(UINTN Token);

// SmmCommBufferAddress: EFI_PCD_PROTOCOL token in gSmmCommBufferTokenSpaceGuid.
inline constexpr UINTN kCommBufferToken = support::kSmmCommBufferAddressToken;

enum class EraseWindow : UINT8 { None, Window16M, Window64M };

// A moment at which the platform stops the machine where it stands, for the
// power-cut stories: it reports "hold" and waits for ever, and the runner
// ends QEMU there. Right after the N-th erase request was served; in the
// middle of the N-th (its first half of blocks erased, the rest not); or at
// the cold reset, before the firmware performs it.
enum class HoldPoint : UINT8 { None, AfterErase, InsideErase, BeforeReset };
enum class ConsoleModeRequest : UINT8 { Keep, BySize, ByIndex };

struct MemoryRange {
  UINT64 Address;
  UINT64 Length;
};

inline constexpr UINTN kMaxProbes = 4;
inline constexpr UINTN kMaxProbeLength = 64;
inline constexpr UINTN kMaxHandlerCalls = 16;
inline constexpr UINTN kMaxKeysToRead = 16;
inline constexpr UINTN kMaxFileName = 64;
inline constexpr UINT64 kMinCommBufferSize = 64;
inline constexpr UINT64 kMaxCommBufferSize = 0x10000;

struct PlatformConfig {
  UINT64 Settings[kSettingCount];
  // SmmCommBufferAddress: the harness allocates the buffer (CommBufferAuto)
  // or serves the configured address as it stands, 0 included.
  BOOLEAN CommBufferAuto;
  UINT64 CommBufferAddress;
  UINT64 CommBufferSize;

  BOOLEAN PublishTsc;
  BOOLEAN MeasureTsc;  // otherwise TscFrequency is published as configured
  UINT64 TscFrequency;

  BOOLEAN ProvideSettings;
  BOOLEAN ProvideEraseReady;
  BOOLEAN ProvideSmmCommunication;
  BOOLEAN ProvideDebugPrint;

  EraseWindow Window;
  // The platform's flash map: the fTPM and MVQ NVRAM of each side, as
  // addresses the driver reports (a flash offset or a window address),
  // [side][kind]; a length of 0 where there is none.
  MemoryRange Nvram[reference::kFlashSides][reference::kNvramKinds];
  // A device fault for the power-loss stories: the erase of this range of
  // the map fails (the device reports it and nothing changes).
  BOOLEAN EraseFails;
  reference::FlashSide EraseFailsSide;
  reference::NvramKind EraseFailsKind;

  char DriverFile[kMaxFileName];
  BOOLEAN PreinstallProtocol;
  // A firmware volume holding the driver: when set, the harness hands it to
  // the DXE services' ProcessFirmwareVolume and Dispatch instead of loading
  // DriverFile itself.
  char DriverFv[kMaxFileName];

  // After a failed start: claim the unloaded image's pages and fill them so
  // that any call into them lands in the harness (TrapUnloadedImage), then
  // check the trap with an event of the harness's own (TrapSelfTest).
  BOOLEAN TrapUnloadedImage;
  BOOLEAN TrapSelfTest;
  // Install the DXE SMM ready-to-lock protocol again after the handler calls,
  // so every notification registered for it runs once more.
  BOOLEAN ReinstallReadyToLock;

  // The RecoveryFlag register pair at 0xE00000B8/0xE00000BC: as the machine
  // has it, or backed by an ivshmem device's memory holding this value.
  BOOLEAN RecoveryFlagSet;
  UINT64 RecoveryFlagValue;

  HoldPoint Hold;
  UINT64 HoldErase;  // N for AfterErase and InsideErase

  ConsoleModeRequest ConsoleMode;
  UINT64 ConsoleColumns;
  UINT64 ConsoleRows;
  UINT64 ConsoleModeNumber;

  UINT64 HandlerCalls;
  BOOLEAN SignalReadyToBoot;

  MemoryRange Probes[kMaxProbes];
  UINTN ProbeCount;

  BOOLEAN SelfTestErase;
  MemoryRange SelfTest;

  UINT64 KeysToRead;  // keys the harness reads itself before loading the driver
  // A box the harness draws and answers itself, to check the screen and key
  // path of the runner before the driver is loaded.
  BOOLEAN SelfTestBox;

  // Processor-swap detection: the setting a changed processor signature
  // sets (0: no detection). The request is served once every range of its
  // case in the flash map reads erased.
  UINT64 SwapRequestToken;
  // Register the SysPrep#### load option that runs the recovery caller.
  BOOLEAN RegisterCaller;
};

void SetConfigDefaults(PlatformConfig& Config);

struct ConfigError {
  UINTN Line;          // 1-based
  const char* Reason;  // "unknown-key", "bad-value", "no-equals-sign", "too-many"
  char Key[48];        // the key as written, cut to fit
};

inline constexpr UINTN kMaxConfigErrors = 8;

struct ConfigResult {
  UINTN Applied;
  UINTN ErrorCount;  // may exceed kMaxConfigErrors; only the first are kept
  ConfigError Errors[kMaxConfigErrors];
  // The whole text was refused: a line could not be applied ("bad-line"),
  // or the configuration could not be served as a whole ("no-erase-window",
  // or the flash map's fault as reference::CheckFlashMap names it).
  const char* Refusal;
};

// Applies the "key=value" lines of Text to Config, all or none. Blank lines
// and lines whose first non-blank character is '#' are skipped; keys and
// values are trimmed. When any line cannot be applied, or the result could
// not be served (swap detection without an erase window or with a flash map
// that cannot serve its case, an unsound flash map), Config is left as it
// was: a platform that half applies its configuration may request a
// recovery it cannot finish, and ask on every boot.
void ParseConfig(const char* Text, UINTN Length, PlatformConfig& Config, ConfigResult& Result);

// The flash map of a configuration: its NVRAM ranges as image offsets, in
// 4 KiB erase blocks, on the device of its erase window (nothing without
// one). False when a range names no flash.
bool BuildFlashMap(const PlatformConfig& Config, reference::FlashMap* Map);

// QEMU's flash devices: the 16 MB window's second pflash device holds image
// offsets below 14 MiB (the firmware's own flash holds the top 2 MiB); the
// 64 MB window is a file-backed memory device of 64 MiB.
inline constexpr UINT64 kEraseBlockSize = kCfiBlockSize;
inline constexpr UINT64 kLowFlashDeviceSize = 0xE00000;
inline constexpr UINT64 kWindow64MDeviceSize = 0x4000000;

}  // namespace ftpm::qemu
