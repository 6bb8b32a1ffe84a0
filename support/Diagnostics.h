// Debug output, the diagnostic post-code stop, and time: the time-stamp
// counter, its calibration against the ACPI power-management timer, and a
// fixed busy wait.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::support {

// Message levels.
inline constexpr UINT64 kDebugError = 0x80000000ULL;
inline constexpr UINT64 kDebugS3 = 0x0004000000000000ULL;

// The platform's debug-print protocol (gDebugPrintProtocolGuid); only its
// first member is used.
using DEBUG_VA_LIST = __builtin_ms_va_list;
struct DEBUG_PRINT_PROTOCOL {
  EFI_STATUS(EFIAPI* Print)(UINT64 Level, const CHAR8* Format, DEBUG_VA_LIST Arguments);
};

inline constexpr UINT64 kPmTimerAddress = 0xFED80808;
inline constexpr UINT32 kPmTicksPerMillisecond = 3579;  // at 3.579545 MHz
inline constexpr UINT64 kPostCodeDelayMicroseconds = 2500000;
inline constexpr UINT16 kPostCodePort = 0x80;
inline constexpr UINT16 kPostCodeMarkerPort = 0xE0;
inline constexpr UINT16 kPostCodeMarker = 0xDEAD;

struct DiagnosticsState {
  DEBUG_PRINT_PROTOCOL* DebugPrint;  // cached on first successful lookup
  UINT64 TscFrequency;               // ticks per second, set once by CalibrateTsc
};
extern constinit DiagnosticsState gDiagnosticsState;

// Formats through the debug-print protocol: "%a" ASCII string, "%r" status,
// "%x" hexadecimal. Returns the protocol's status, or the lookup's error.
EFI_STATUS EFIAPI DebugPrint(UINT64 Level, const CHAR8* Format, ...);

// Shows Code on the post-code port when enabled (KelCfgPcdBuf byte 4). Unless
// a debug host answers, it then cycles the code across the port for ever.
void PostCodeHalt(UINT32 Code);

// Non-zero when an intercepting debug host answered the CPUID query.
UINT16 DebugHostQuery();

// Waits 2.5 s on the time-stamp counter; returns the delay in microseconds.
UINT64 PostCodeDelay();

UINT64 ReadTsc();
void CpuPause();

// Start-up step: reuses the published time-stamp-counter frequency, or
// measures it over 3579 power-management-timer ticks and publishes it.
void CalibrateTsc();

// The most timer reads calibration makes after the first without passing its
// target; it then gives up instead of waiting for ever. A working timer passes
// 3579 ticks in far fewer (a read takes well over 1 ns).
inline constexpr UINT32 kPmTimerReadLimit = 1000000;

}  // namespace ftpm::support
