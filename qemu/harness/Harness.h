// The firmware harness: an EFI application that OVMF boots. It puts the
// reference platform's pieces in place where OVMF has nothing (settings for
// the driver's tokens, the time-stamp-counter table, SMM communication with a
// flash service and an S3 receiver, a debug-print protocol), loads
// FtpmRecoveryDxe.efi, calls the recovery protocol, and reports every
// observation on ConOut as one line that starts with "@@FTPM ".
// qemu/README.md documents the configuration keys and the report vocabulary.
#pragma once

#include "driver/RecoveryProtocol.h"
#include "platform/Pi.h"
#include "qemu/platform/Platform.h"

namespace ftpm::harness {

using qemu::gPlatform;
using qemu::kMaxFileName;
using qemu::MemoryRange;
using qemu::PhysicalPointer;
using qemu::Report;
using qemu::TextBuffer;

// What only the boot application keeps; the platform's state is gPlatform.
struct HarnessState {
  driver::FTPM_RECOVERY_PROTOCOL PreinstalledInterface;
};

extern constinit HarnessState gHarness;

// Files on the boot volume: a whole file in pool memory with a NUL behind
// it. The caller owns *Data.
inline constexpr UINT64 kMaxDriverSize = 0x1000000;
EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL* Root, const CHAR16* Name, UINT64 MaxSize, UINT8** Data, UINTN* Size);
// The same for a file the configuration names (ASCII); EFI_NOT_FOUND without
// a volume.
EFI_STATUS ReadConfiguredFile(EFI_FILE_PROTOCOL* Root, const char (&Name)[kMaxFileName], UINT64 MaxSize, UINT8** Data,
                              UINTN* Size);

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
