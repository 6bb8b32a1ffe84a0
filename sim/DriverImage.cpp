#include "sim/DriverImage.h"

#include "driver/EntryPoint.h"
#include "driver/FlashErase.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Firmware.h"
#include "support/S3SaveTable.h"
#include "support/Settings.h"

namespace ftpm::sim {

// Every module's state record appears here once; a record missing from this
// list would leak state from one simulated boot into the next.
void ResetDriverImage() {
  support::gFirmware = {};
  support::gSettingsState = {};
  support::gDiagnosticsState = {};
  support::gBufferCacheState = support::kBufferCacheStateAtLoad;
  support::gBootScriptState = {};
  support::gS3SaveTableState = {};
  driver::gEntryState = {};
  driver::gFlashEraseState = {};
}

void BindDriverImage(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  support::RecordFirmwareTables(imageHandle, systemTable);
}

EFI_STATUS StartDriverImage(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  return FtpmRecoveryDxeEntry(imageHandle, systemTable);
}

}  // namespace ftpm::sim
