// Platform services around the driver: the time-stamp-counter frequency
// table, the debug-print protocol, and a watch on ResetSystem that reports
// each reset before the firmware performs it.
#include "reference/Services.h"
#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "qemu/platform/Platform.h"
#include "support/Memory.h"

namespace ftpm::qemu {

namespace {

// --- Debug print -------------------------------------------------------------

EFI_STATUS EFIAPI DebugPrintMessage(UINT64 Level, const CHAR8* Format, __builtin_ms_va_list Arguments) {
  // The Microsoft x64 argument list is a pointer to 8-byte slots.
  TextBuffer message;
  FormatDebugMessage(message, Format, reinterpret_cast<const UINT64*>(Arguments), 16);
  // Line ends are the report line's own; drop the message's trailing ones.
  UINTN length = message.Length();
  while (length != 0 && (message.CStr()[length - 1] == '\n' || message.CStr()[length - 1] == '\r')) {
    --length;
  }
  ++gPlatform.DebugMessages;
  Report line("debug");
  line.Hex("level", Level).Text("phase", gPlatform.Phase);
  line.Raw().Append(" text=");
  line.Raw().AppendEscaped(message.CStr(), length);
  line.Emit();
  return EFI_SUCCESS;
}

// --- ResetSystem -------------------------------------------------------------

const char* ResetTypeName(EFI_RESET_TYPE Type) {
  switch (Type) {
    case EfiResetCold:
      return "cold";
    case EfiResetWarm:
      return "warm";
    case EfiResetShutdown:
      return "shutdown";
    case EfiResetPlatformSpecific:
      return "platform-specific";
    default:
      return "unknown";
  }
}

VOID EFIAPI WatchedResetSystem(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID* ResetData) {
  Report("reset-system")
      .Text("type", ResetTypeName(ResetType))
      .Status("status", ResetStatus)
      .Dec("data-size", DataSize)
      .Flag("data", ResetData != nullptr)
      .Text("phase", gPlatform.Phase)
      .Emit();
  HoldIfConfigured(HoldPoint::BeforeReset, 0);
  gPlatform.OriginalResetSystem(ResetType, ResetStatus, DataSize, ResetData);
}

// Installs Interface under Guid: on the handle that already carries the
// protocol (ReinstallProtocolInterface, remembering the original interface
// in *Original), or on a new handle when OVMF has none.
}  // namespace

void HoldIfConfigured(HoldPoint Point, UINT64 N) {
  const PlatformConfig& config = gPlatform.Config;
  if (config.Hold != Point || Point == HoldPoint::None || (Point != HoldPoint::BeforeReset && config.HoldErase != N)) {
    return;
  }
  const char* const names[] = {"none", "after-erase", "inside-erase", "before-reset"};
  Report("hold").Text("at", names[static_cast<UINTN>(Point)]).Dec("n", N).Text("phase", gPlatform.Phase).Emit();
  for (;;) {
    platform::CpuPause();
  }
}

void ProvideTscTable() {
  if (gPlatform.Config.PublishTsc == FALSE) {
    Report("provided").Text("piece", "tsc-table").Flag("published", false).Emit();
    return;
  }
  UINT64 frequency = gPlatform.Config.TscFrequency;
  if (gPlatform.Config.MeasureTsc != FALSE) {
    // 20 ms of the firmware's own timer.
    const UINT64 start = platform::ReadTsc();
    gPlatform.BootServices->Stall(20000);
    frequency = (platform::ReadTsc() - start) * 50;
  }
  const EFI_STATUS status = reference::PublishTscFrequency(gPlatform.BootServices, frequency, &gPlatform.TscTable);
  Report("provided")
      .Text("piece", "tsc-table")
      .Flag("published", !EFI_ERROR(status))
      .Dec("frequency", frequency)
      .Flag("measured", gPlatform.Config.MeasureTsc != FALSE)
      .Status("status", status)
      .Emit();
}

void ProvideDebugPrint() {
  if (gPlatform.Config.ProvideDebugPrint == FALSE) {
    Report("provided").Text("piece", "debug-print").Flag("installed", false).Emit();
    return;
  }
  gPlatform.DebugPrint.Print = DebugPrintMessage;
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = gPlatform.BootServices->InstallProtocolInterface(
      &handle, &gDebugPrintProtocolGuid, EFI_NATIVE_INTERFACE, &gPlatform.DebugPrint);
  Report("provided").Text("piece", "debug-print").Flag("installed", !EFI_ERROR(status)).Status("status", status).Emit();
}

void WatchResetSystem() {
  EFI_RUNTIME_SERVICES* rt = gPlatform.RuntimeServices;
  gPlatform.OriginalResetSystem = rt->ResetSystem;
  rt->ResetSystem = WatchedResetSystem;
  rt->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  if (!EFI_ERROR(gPlatform.BootServices->CalculateCrc32(rt, rt->Hdr.HeaderSize, &crc))) {
    rt->Hdr.CRC32 = crc;
  }
}

// --- Observations -------------------------------------------------------------

void ReportProcessor() {
  const platform::CpuidResult ext = platform::Cpuid(0x80000001);
  const UINT32 eax = ext.Eax;
  const UINT32 family = ((eax >> 8) & 0xF) + ((eax >> 20) & 0xFF);
  const UINT32 model = (((eax >> 16) & 0xF) << 4) | ((eax >> 4) & 0xF);
  Report("cpu").Hex("signature", eax).Hex("family", family).Hex("model", model).Hex("stepping", eax & 0xF).Emit();
}

// Which of the protocols the driver looks up the firmware itself has,
// before this module adds anything.
void ReportFirmware() {
  struct Probe {
    const char* Name;
    const EFI_GUID* Guid;
  };
  const Probe probes[] = {
      {"pcd", &gPcdProtocolGuid},
      {"efi-pcd", &gEfiPcdProtocolGuid},
      {"smm-communication", &gEfiSmmCommunicationProtocolGuid},
      {"smm-base2", &gEfiSmmBase2ProtocolGuid},
      {"dxe-smm-ready-to-lock", &gEfiDxeSmmReadyToLockProtocolGuid},
      {"smm-ready-to-lock", &gEfiSmmReadyToLockProtocolGuid},
      {"erase-ready", &gEraseServiceReadyProtocolGuid},
      {"debug-print", &gDebugPrintProtocolGuid},
      {"smbus-hc", &gSmbusHcProtocolGuid},
      {"hii-database", &gHiiDatabaseProtocolGuid},
  };
  Report line("firmware");
  for (const Probe& probe : probes) {
    VOID* found = nullptr;
    line.Flag(probe.Name, !EFI_ERROR(gPlatform.BootServices->LocateProtocol(probe.Guid, nullptr, &found)));
  }
  line.Emit();
}

void ReportConsole() {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gPlatform.SystemTable->ConOut;
  Report line("console");
  line.Dec("max-mode", static_cast<UINT64>(out->Mode->MaxMode)).Dec("current", static_cast<UINT64>(out->Mode->Mode));
  line.Raw().Append(" modes=");
  bool first = true;
  for (INT32 mode = 0; mode < out->Mode->MaxMode && mode < 32; ++mode) {
    UINTN columns = 0;
    UINTN rows = 0;
    if (EFI_ERROR(out->QueryMode(out, static_cast<UINTN>(mode), &columns, &rows))) {
      continue;
    }
    if (!first) {
      line.Raw().AppendChar(',');
    }
    first = false;
    line.Raw().AppendDecimal(static_cast<UINT64>(mode));
    line.Raw().AppendChar(':');
    line.Raw().AppendDecimal(columns);
    line.Raw().AppendChar('x');
    line.Raw().AppendDecimal(rows);
  }
  line.Emit();
}

void SetConsoleMode() {
  const PlatformConfig& config = gPlatform.Config;
  if (config.ConsoleMode == ConsoleModeRequest::Keep) {
    return;
  }
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gPlatform.SystemTable->ConOut;
  INT32 chosen = -1;
  if (config.ConsoleMode == ConsoleModeRequest::ByIndex) {
    if (config.ConsoleModeNumber < static_cast<UINT64>(out->Mode->MaxMode)) {
      chosen = static_cast<INT32>(config.ConsoleModeNumber);
    }
  } else {
    for (INT32 mode = 0; mode < out->Mode->MaxMode && chosen < 0; ++mode) {
      UINTN columns = 0;
      UINTN rows = 0;
      if (!EFI_ERROR(out->QueryMode(out, static_cast<UINTN>(mode), &columns, &rows)) &&
          columns == config.ConsoleColumns && rows == config.ConsoleRows) {
        chosen = mode;
      }
    }
  }
  EFI_STATUS status = EFI_UNSUPPORTED;
  if (chosen >= 0) {
    status = out->SetMode(out, static_cast<UINTN>(chosen));
  }
  UINTN columns = 0;
  UINTN rows = 0;
  out->QueryMode(out, static_cast<UINTN>(out->Mode->Mode), &columns, &rows);
  Report("console-mode")
      .Status("status", status)
      .Dec("mode", static_cast<UINT64>(out->Mode->Mode))
      .Dec("columns", columns)
      .Dec("rows", rows)
      .Emit();
}

void ReportTscTables() {
  const EFI_SYSTEM_TABLE* st = gPlatform.SystemTable;
  UINT64 count = 0;
  VOID* table = nullptr;
  for (UINTN i = 0; i < st->NumberOfTableEntries; ++i) {
    if (support::CompareGuid(&st->ConfigurationTable[i].VendorGuid, &gTscFrequencyTableGuid) != FALSE) {
      ++count;
      if (table == nullptr) {
        table = st->ConfigurationTable[i].VendorTable;
      }
    }
  }
  Report line("tsc-tables");
  line.Dec("count", count);
  if (table != nullptr) {
    line.Text("owner", table == gPlatform.TscTable ? "harness" : "other");
    line.Dec("frequency", support::ReadUnaligned<UINT64>(table));
  }
  line.Emit();
}

}  // namespace ftpm::qemu
