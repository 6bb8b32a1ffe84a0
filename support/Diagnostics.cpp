#include "support/Diagnostics.h"

#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "support/Firmware.h"
#include "support/Settings.h"

namespace ftpm::support {

constinit DiagnosticsState gDiagnosticsState{};

EFI_STATUS EFIAPI DebugPrint(UINT64 Level, const CHAR8* Format, ...) {
  if (gDiagnosticsState.DebugPrint == nullptr) {
    EFI_STATUS status = EFI_SUCCESS;
    gDiagnosticsState.DebugPrint =
        static_cast<DEBUG_PRINT_PROTOCOL*>(LocateInterface(gDebugPrintProtocolGuid, &status));
    if (gDiagnosticsState.DebugPrint == nullptr) {
      return status;
    }
  }
  __builtin_ms_va_list arguments = nullptr;
  __builtin_ms_va_start(arguments, Format);
  const EFI_STATUS status = gDiagnosticsState.DebugPrint->Print(Level, Format, arguments);
  __builtin_ms_va_end(arguments);
  return status;
}

void PostCodeHalt(UINT32 Code) {
  if (gSettingsState.KelCfgPcdBuf.PostCodeEnable == 0) {
    return;
  }
  platform::IoWrite16(kPostCodeMarkerPort, kPostCodeMarker);
  platform::IoWrite32(kPostCodePort, Code);
  if (DebugHostQuery() != 0) {
    return;
  }
  // The circular byte string DE AD, the code from its top byte down, 00 00,
  // shown one window position further every 2.5 s; the two positions after
  // the one showing the whole code are skipped.
  UINT64 value = (static_cast<UINT64>(kPostCodeMarker) << 48) | (static_cast<UINT64>(Code) << 16);
  for (;;) {
    for (int step = 0; step < 6; ++step) {
      value = (value << 8) | (value >> 56);
      platform::IoWrite32(kPostCodePort, static_cast<UINT32>(value));
      PostCodeDelay();
    }
    value = (value << 16) | (value >> 48);
  }
}

UINT16 DebugHostQuery() { return platform::DebugHostCpuid(); }

UINT64 PostCodeDelay() {
  const UINT64 ticks = gDiagnosticsState.TscFrequency * kPostCodeDelayMicroseconds / 1000000;
  const UINT64 deadline = ReadTsc() + ticks;
  while (ReadTsc() <= deadline) {
    CpuPause();
  }
  return kPostCodeDelayMicroseconds;
}

UINT64 ReadTsc() { return platform::ReadTsc(); }

void CpuPause() { platform::CpuPause(); }

void CalibrateTsc() {
  VOID* table = nullptr;
  if (GetConfigurationTable(&gTscFrequencyTableGuid, &table) == EFI_SUCCESS && table != nullptr) {
    gDiagnosticsState.TscFrequency = *static_cast<const UINT64*>(table);
    return;
  }

  VOID* block = nullptr;
  if (EFI_ERROR(BootServices()->AllocatePool(EfiBootServicesData, sizeof(UINT64), &block))) {
    block = nullptr;
  }

  const UINT32 target = platform::MmioRead32(kPmTimerAddress) + kPmTicksPerMillisecond;
  const UINT64 start = ReadTsc();
  UINT32 reads = 0;
  while (static_cast<INT32>(target - platform::MmioRead32(kPmTimerAddress)) >= 0) {
    if (++reads == kPmTimerReadLimit) {
      // A timer that has stopped, or that wraps below the target (a 24-bit
      // timer started near its end): publish nothing, so a later driver
      // measures again, and leave the frequency at 0.
      if (block != nullptr) {
        BootServices()->FreePool(block);
      }
      return;
    }
    CpuPause();
  }
  const UINT64 frequency = (ReadTsc() - start) * 1000;

  if (block == nullptr) {
    // No memory to publish the value in: this driver still uses it.
    gDiagnosticsState.TscFrequency = frequency;
    return;
  }
  *static_cast<UINT64*>(block) = frequency;
  if (EFI_ERROR(BootServices()->InstallConfigurationTable(&gTscFrequencyTableGuid, block))) {
    // Not published, so no one else can reach the block: give it back and
    // use the measured value here, as without memory.
    BootServices()->FreePool(block);
    gDiagnosticsState.TscFrequency = frequency;
    return;
  }
  gDiagnosticsState.TscFrequency = *static_cast<const UINT64*>(block);
}

}  // namespace ftpm::support
