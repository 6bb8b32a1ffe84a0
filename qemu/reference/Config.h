// The run's configuration: key=value text, from a file on the boot volume
// (the boot application) or from QEMU's firmware configuration device (the
// reference platform in the firmware image), written by the QEMU runner.
// Parsing works on a memory buffer and touches no firmware, so the host build
// tests it directly.
#pragma once

#include "platform/Base.h"
#include "support/Settings.h"

namespace ftpm::reference {

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
inline constexpr UINTN kMaxFtpmRanges = 4;
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
  EFI_STATUS EraseStatus;  // returned for a well-formed erase request

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

  // Processor-swap detection (reference platform): the setting a changed
  // processor signature sets (0: no detection), and the fTPM NVRAM ranges of
  // the platform's flash map, whose erase serves the request.
  UINT64 SwapRequestToken;
  MemoryRange FtpmRanges[kMaxFtpmRanges];
  UINTN FtpmRangeCount;
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
};

// Applies every "key=value" line of Text to Config. Blank lines and lines
// whose first non-blank character is '#' are skipped; keys and values are
// trimmed. A line that cannot be applied is recorded in the result and leaves
// Config as it was for that key.
void ParseConfig(const char* Text, UINTN Length, PlatformConfig& Config, ConfigResult& Result);

}  // namespace ftpm::reference
