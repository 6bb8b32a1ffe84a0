// FtpmSysPrep: the boot component that calls the recovery handler. The
// reference platform registers it as a SysPrep#### load option; the boot
// manager runs SysPrep options once the consoles are connected and before
// any boot option, at TPL_APPLICATION, which is where the handler's key wait
// must run. It takes the caller's steps of reference/Services.h (find
// FtpmRecoveryProtocol, stop the watchdog), sets the configured text mode,
// calls the handler and reports on QEMU's debug console. Without the
// protocol (no recovery requested this boot) it returns at once.
#include "platform/Guids.h"
#include "qemu/platform/Platform.h"
#include "reference/Services.h"

namespace ftpm::qemu {

namespace {

// The task priority the boot manager runs this at: raising to the highest
// level returns the current one.
EFI_TPL CurrentTpl() {
  const EFI_TPL current = gPlatform.BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  gPlatform.BootServices->RestoreTPL(current);
  return current;
}

}  // namespace

}  // namespace ftpm::qemu

extern "C" EFI_STATUS EFIAPI FtpmSysPrepEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  using namespace ftpm::qemu;
  BindPlatform(ImageHandle, SystemTable, ReportSink::DebugPort);
  SetPhase("sysprep");
  LoadPlatformConfig(false);
  const ftpm::driver::FTPM_RECOVERY_PROTOCOL* interface = ftpm::reference::FindRecoveryProtocol(gPlatform.BootServices);
  Report("caller-started")
      .Dec("tpl", CurrentTpl())
      .Flag("console", SystemTable->ConOut != nullptr && SystemTable->ConIn != nullptr)
      .Flag("recovery-protocol", interface != nullptr)
      .Emit();
  if (interface == nullptr) {
    Report("caller-done").Text("result", "no-recovery-requested").Emit();
    return EFI_SUCCESS;
  }
  ReportConsole();
  SetConsoleMode();
  ftpm::reference::StopWatchdog(gPlatform.BootServices);
  CallRecoveryHandler(interface, gPlatform.Config.HandlerCalls, false);
  SetPhase("sysprep");
  Report("caller-done").Text("result", "handler-returned").Emit();
  return EFI_SUCCESS;
}
