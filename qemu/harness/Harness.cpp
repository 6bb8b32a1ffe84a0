#include "platform/Guids.h"
#include "platform/Pi.h"

extern "C" EFI_STATUS EFIAPI FtpmHarnessEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  (void)ImageHandle;
  SystemTable->ConOut->OutputString(SystemTable->ConOut, u"@@FTPM harness-started\r\n");
  SystemTable->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
