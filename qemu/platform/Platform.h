// The reference platform: what a platform provides around FtpmRecoveryDxe,
// built for OVMF in QEMU. One implementation serves two hosts:
//
// - FtpmPlatformDxe, a DXE driver in the firmware image that the DXE
//   dispatcher starts before the recovery driver (qemu/platform/PlatformDxe.cpp);
// - FtpmHarness, the boot application that loads the driver itself for the
//   scenario and fault cases (qemu/harness/).
//
// The pieces: the settings protocols serving the driver's tokens, an SMM
// communication stand-in (a flash service that really erases, an S3
// receiver), the erase-service-ready protocol, the time-stamp-counter table,
// a debug-print protocol, the RecoveryFlag backing and a watch on
// ResetSystem. Every piece reports what it did as one "@@FTPM" line
// (qemu/README.md lists the vocabulary).
#pragma once

#include "driver/RecoveryProtocol.h"
#include "platform/Pi.h"
#include "qemu/platform/Config.h"
#include "qemu/platform/Text.h"
#include "reference/FlashMap.h"
#include "reference/Recovery.h"

namespace ftpm::qemu {

// The debug-print protocol's interface: only the first member is called.
struct DEBUG_PRINT_INTERFACE {
  EFI_STATUS(EFIAPI* Print)(UINT64 Level, const CHAR8* Format, __builtin_ms_va_list Arguments);
};

// Where report lines go: ConOut (which OVMF mirrors on the serial line) for
// the boot application, QEMU's debug console port for modules that run
// before the consoles exist or that must keep the console to the prompt.
enum class ReportSink : UINT8 { ConOut, DebugPort };

// QEMU's debug console (-debugcon); Debian's OVMF is a release build and
// writes nothing there itself.
inline constexpr UINT16 kDebugConsolePort = 0x402;

struct PlatformState {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_BOOT_SERVICES* BootServices;
  EFI_RUNTIME_SERVICES* RuntimeServices;
  ReportSink Sink;
  PlatformConfig Config;
  const char* Phase;  // "setup", "dxe", "handler-1", "ready-to-boot", ... for the reports

  // Settings: how often the driver read each token since the last report.
  UINT64 SettingReads[kSettingCount];
  UINT64 CommBufferReads;
  PCD_PROTOCOL* OriginalPcd;
  EFI_PCD_PROTOCOL* OriginalEfiPcd;
  PCD_PROTOCOL PcdWrapper;
  EFI_PCD_PROTOCOL EfiPcdWrapper;

  // SMM communication and its buffer.
  EFI_SMM_COMMUNICATION_PROTOCOL SmmCommunication;
  UINT64 CommBuffer;  // what SmmCommBufferAddress returns
  UINT64 CommBufferSize;
  BOOLEAN FlashServiceClosed;  // set at exit-boot-services
  UINT64 EraseRequests;
  UINT64 S3HandOvers;

  DEBUG_PRINT_INTERFACE DebugPrint;
  UINT64 DebugMessages;

  VOID* TscTable;  // the block this module published, or nullptr
  EFI_RESET_SYSTEM OriginalResetSystem;

  // The flash map of the configuration, and this boot's recovery.
  reference::FlashMap FlashMap;
  reference::RecoveryState Recovery;
};

extern constinit PlatformState gPlatform;

// Records the image and its tables and where reports go. The first call of
// every module that uses these pieces.
void BindPlatform(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable, ReportSink Sink);

// Memory at a physical address (identity-mapped while boot services run).
template <typename T>
T* PhysicalPointer(UINT64 Address) {
  T* pointer = nullptr;
  static_assert(sizeof(T*) == sizeof(UINT64));
  __builtin_memcpy(&pointer, &Address, sizeof(UINT64));
  return pointer;
}

// Writes "@@FTPM " + Line + CR LF to the module's sink.
void EmitReport(const TextBuffer& Line);

// A report line under construction: the event name, then key=value fields.
// A field named "text" is always the last one and runs to the end of the line.
class Report {
 public:
  explicit Report(const char* Event) { Line.Append(Event); }
  Report& Text(const char* Key, const char* Value);
  Report& Hex(const char* Key, UINT64 Value);
  Report& Dec(const char* Key, UINT64 Value);
  Report& Flag(const char* Key, bool Value);
  Report& Status(const char* Key, EFI_STATUS Value);
  Report& Guid(const char* Key, const EFI_GUID& Value);
  Report& Bytes(const char* Key, const void* Data, UINTN Length);
  TextBuffer& Raw() { return Line; }
  void Emit() { EmitReport(Line); }

 private:
  void Key(const char* Name);
  TextBuffer Line;
};

// The phase named in reports: a fixed name, or a prefix and a number
// ("handler-2").
void SetPhase(const char* Name);
void SetNumberedPhase(const char* Prefix, UINT64 Number);

// Calls RecoveryPromptHandler through the driver's interface record Calls
// times, each call between "handler-call" and "handler-return" in phase
// "handler-N"; with ReportReads, the settings reads of each call follow.
// Without an interface it reports "handler-skipped" (when calls were asked).
void CallRecoveryHandler(const driver::FTPM_RECOVERY_PROTOCOL* Interface, UINT64 Calls, bool ReportReads);

// Reads the run's configuration from fw_cfg (opt/ftpm/platform.cfg) into
// gPlatform.Config; with ReportIt, reports the read and the parse.
void LoadPlatformConfig(bool ReportIt);

// Reports the parse of a configuration text ("config", then one
// "config-error" per line that could not be applied).
void ReportConfigResult(EFI_STATUS ReadStatus, UINTN Bytes, const ConfigResult& Result);

// --- Observations --------------------------------------------------------------

// "cpu": CPUID 0x80000001 EAX as family, model and stepping.
void ReportProcessor();
// "firmware": which of the protocols the driver looks up the firmware itself
// has, before anything of this module is installed.
void ReportFirmware();
// "console": the console's modes; "console-mode" after the configured change.
void ReportConsole();
void SetConsoleMode();
// "tsc-tables": time-stamp-counter tables in the system table.
void ReportTscTables();
// "s3-record": how the S3 private record named by setting 766 looks now.
void ReportS3Record(const char* Phase);
// The driver's records as fields of Line: the S3 private record at Record
// (its flags and table), the boot-script record (its table and whether its
// ready-to-lock callback has run). Only memory the firmware's pool can hold
// is read.
void DescribeS3Record(Report& Line, UINT64 Record);
void DescribeScriptRecord(Report& Line, UINT64 Record);
// "pcd-reads": read counts per token since the last one, then zeroed.
void ReportSettingReads(const char* Phase);
// "settings-collisions": which of the driver's token numbers the firmware's
// own settings database also uses. A module that reads one of those tokens
// after the settings are swapped would get the driver's value.
void ReportSettingCollisions();

// --- Platform pieces, each reporting what it did ----------------------------------

void ProvideCommBuffer();
void ProvideTscTable();
void ProvideSettings();
void ProvideDebugPrint();
void ProvideEraseReady();
void ProvideSmmCommunication();
void WatchResetSystem();

// Value of one of the driver's settings as it is served now.
UINT64 SettingValue(UINTN Token);
// Serves Value for Token from now on (the processor-swap request).
void SetSettingValue(UINTN Token, UINT64 Value);

// Sends one FlashEraseRequest through the installed SMM communication
// protocol, to check the flash service before the driver runs.
void RunEraseSelfTest(const MemoryRange& Range);

// The RecoveryFlag register pair: optionally backed by an ivshmem device
// holding the configured value, then read the driver's way and reported.
void PrepareRecoveryFlag();

// The flash image as the driver addresses it: the two windows that map it.
inline constexpr UINT64 kWindow16MBase = 0xFF000000;
inline constexpr UINT64 kWindow64MBase = 0xFD00000000;

// The erase device of the configured window, for the flash service: the
// 64 MB window's memory (a file-backed memory device, so what is stored and
// read back is the image file's own pages), or flash commands on the 16 MB
// window's second flash device (read back in read-array mode). Without a
// window every erase fails.
reference::FlashDevice FlashDeviceOfWindow();

// Stops the machine where it stands when Point (with N for the erase
// points) is the configured hold: reports "hold" and waits for ever, for the
// runner to end QEMU there, as a power cut would.
void HoldIfConfigured(HoldPoint Point, UINT64 N);

// Processor-swap detection at the platform's start (reference/Recovery.h),
// with the configured request and flash map; reported as "swap".
void DetectProcessorSwap();

}  // namespace ftpm::qemu
