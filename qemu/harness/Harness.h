// The firmware harness: an EFI application that OVMF boots. It plays the
// platform's part where OVMF has nothing (settings for the driver's tokens,
// the time-stamp-counter table, SMM communication with a flash service and an
// S3 receiver, a debug-print protocol), loads FtpmRecoveryDxe.efi, calls the
// recovery protocol, and reports every observation on ConOut as one line that
// starts with "@@FTPM ". qemu/README.md documents the configuration keys and
// the report vocabulary.
#pragma once

#include "driver/RecoveryProtocol.h"
#include "platform/Pi.h"
#include "qemu/harness/Config.h"
#include "qemu/harness/Text.h"

namespace ftpm::harness {

// The debug-print protocol's interface: only the first member is called.
struct DEBUG_PRINT_INTERFACE {
  EFI_STATUS(EFIAPI* Print)(UINT64 Level, const CHAR8* Format, __builtin_ms_va_list Arguments);
};

struct HarnessState {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_BOOT_SERVICES* BootServices;
  EFI_RUNTIME_SERVICES* RuntimeServices;
  HarnessConfig Config;
  const char* Phase;  // "setup", "driver-start", "handler-1", ... for the reports

  // Settings: how often the driver read each token since the last report.
  UINT64 SettingReads[kSettingCount];
  UINT64 CommBufferReads;
  PCD_PROTOCOL* OriginalPcd;
  EFI_PCD_PROTOCOL* OriginalEfiPcd;
  PCD_PROTOCOL PcdWrapper;
  EFI_PCD_PROTOCOL EfiPcdWrapper;

  // SMM communication and its buffer.
  EFI_SMM_COMMUNICATION_PROTOCOL SmmCommunication;
  UINT64 EraseReadyInterface;
  UINT64 CommBuffer;  // what SmmCommBufferAddress returns
  UINT64 EraseRequests;
  UINT64 S3HandOvers;

  DEBUG_PRINT_INTERFACE DebugPrint;
  UINT64 DebugMessages;

  VOID* TscTable;  // the block the harness published, or nullptr
  EFI_RESET_SYSTEM OriginalResetSystem;
  driver::FTPM_RECOVERY_PROTOCOL PreinstalledInterface;
};

extern constinit HarnessState gHarness;

// Memory at a physical address (identity-mapped while boot services run).
template <typename T>
T* PhysicalPointer(UINT64 Address) {
  T* pointer = nullptr;
  static_assert(sizeof(T*) == sizeof(UINT64));
  __builtin_memcpy(&pointer, &Address, sizeof(UINT64));
  return pointer;
}

// Writes "@@FTPM " + Line + CR LF to ConOut.
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

// Platform pieces, each reporting what it did.
void ProvideCommBuffer();
void ProvideTscTable();
void ProvideSettings();
void ProvideDebugPrint();
void ProvideEraseReady();
void ProvideSmmCommunication();
void WatchResetSystem();

// The "pcd-reads" line: read counts per token since the last one, then zeroed.
void ReportSettingReads(const char* Phase);
// Value of one of the driver's settings as the harness serves it now.
UINT64 SettingValue(UINTN Token);

// Sends one FlashEraseRequest through the installed SMM communication
// protocol, to check the flash service before the driver runs.
void RunEraseSelfTest(const MemoryRange& Range);

// Reports how the S3 private record named by setting 766 looks now.
void ReportS3Record(const char* Phase);

// Files on the boot volume: a whole file in pool memory with a NUL behind
// it. The caller owns *Data.
inline constexpr UINT64 kMaxDriverSize = 0x1000000;
EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL* Root, const CHAR16* Name, UINT64 MaxSize, UINT8** Data, UINTN* Size);
// The same for a file the configuration names (ASCII); EFI_NOT_FOUND without
// a volume.
EFI_STATUS ReadConfiguredFile(EFI_FILE_PROTOCOL* Root, const char (&Name)[kMaxFileName], UINT64 MaxSize, UINT8** Data,
                              UINTN* Size);

// The RecoveryFlag register pair: optionally backed by an ivshmem device
// holding the configured value, then read the driver's way and reported.
void PrepareRecoveryFlag();

// Where the firmware loaded the driver, from its loaded-image protocol.
struct DriverImage {
  UINT64 Base;
  UINT64 Size;
};
void DescribeDriverImage(EFI_HANDLE DriverHandle, DriverImage* Image);

// After a failed start: claims the unloaded image's pages and fills them so
// that a call anywhere in them reports "stale-code-called" and returns.
void ArmUnloadedImageTrap(const DriverImage& Image);
UINT64 StaleCodeCalls();
// Registers events of the harness whose notify function lies in the trapped
// pages, for the DXE SMM ready-to-lock protocol and in the ready-to-boot
// group, and triggers both: the check that the trap catches what a forgotten
// event of the driver would have done.
void RunTrapSelfTest();
// Installs the DXE SMM ready-to-lock protocol again, so that every
// notification registered for it runs.
void ReinstallReadyToLock();

// Reads the configured firmware volume, hands it to ProcessFirmwareVolume
// and Dispatch, and finds the image the dispatcher started from it. False
// when there is none.
bool DispatchDriverVolume(EFI_FILE_PROTOCOL* Root, EFI_HANDLE* DriverHandle, DriverImage* Image);

// Whether BufferCacheProtocol is installed and whether its interface lies
// inside the driver's image (the module that creates the list publishes a
// record of its own image).
void ReportBufferCache(const DriverImage& Image);

}  // namespace ftpm::harness
