// The harness's scenario configuration: a key=value text file on the boot
// volume, written by qemu/run.py. Parsing works on a memory buffer and touches
// no firmware, so the host build tests it directly.
#pragma once

#include "platform/Base.h"

namespace ftpm::harness {

// The driver's settings served by token number, with their widths in bytes.
struct SettingToken {
  UINTN Token;
  UINTN Width;
};
inline constexpr SettingToken kDriverSettings[] = {
    {122, 1}, {377, 1}, {552, 1}, {561, 4}, {562, 4}, {616, 1}, {617, 1},
    {618, 1}, {766, 8}, {767, 8}, {768, 8}, {939, 8}, {940, 8},
};
inline constexpr UINTN kSettingCount = sizeof(kDriverSettings) / sizeof(kDriverSettings[0]);

// Index of Token in kDriverSettings, or kSettingCount when it is not one of
// the driver's.
UINTN SettingIndex(UINTN Token);

// SmmCommBufferAddress: EFI_PCD_PROTOCOL token in gSmmCommBufferTokenSpaceGuid.
inline constexpr UINTN kCommBufferToken = 0x27001;

enum class EraseWindow : UINT8 { None, Window64M };
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

struct HarnessConfig {
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
};

void SetConfigDefaults(HarnessConfig& Config);

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
void ParseConfig(const char* Text, UINTN Length, HarnessConfig& Config, ConfigResult& Result);

}  // namespace ftpm::harness
