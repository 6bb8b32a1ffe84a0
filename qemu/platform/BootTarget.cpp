// FtpmBootTarget: what the boot manager boots at the end of a test boot, in
// place of an operating system loader (\EFI\BOOT\BOOTX64.EFI on the run's
// disk). It reports that the boot went on past the recovery prompt, and
// powers the machine off so that QEMU ends by itself.
#include "platform/Guids.h"
#include "qemu/platform/Platform.h"

extern "C" EFI_STATUS EFIAPI FtpmBootTargetEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  using namespace ftpm::qemu;
  BindPlatform(ImageHandle, SystemTable, ReportSink::DebugPort);
  SetPhase("boot");
  VOID* found = nullptr;
  Report("boot-target")
      .Flag("recovery-protocol",
            !EFI_ERROR(gPlatform.BootServices->LocateProtocol(&gFtpmRecoveryProtocolGuid, nullptr, &found)))
      .Text("action", "shutdown")
      .Emit();
  gPlatform.RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
