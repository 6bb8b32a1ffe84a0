// The harness's run: read the configuration, put the platform pieces in
// place, load and start the driver, call the recovery protocol, optionally
// signal ready-to-boot, report, and shut the machine down so QEMU exits.
#include "qemu/harness/Harness.h"

#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "support/Memory.h"

namespace ftpm::harness {

constinit HarnessState gHarness{};

namespace {

constexpr CHAR16 kConfigFileName[] = u"harness.cfg";
constexpr UINT64 kMaxConfigSize = 0x10000;
constexpr UINT64 kReportVersion = 1;

// Phase names that carry a number live here while they are current.
constinit char gPhaseBuffer[32] = {};

void SetPhase(const char* Name) { gHarness.Phase = Name; }

void SetNumberedPhase(const char* Prefix, UINT64 Number) {
  TextBuffer text;
  text.Append(Prefix);
  text.AppendDecimal(Number);
  UINTN i = 0;
  for (; i + 1 < sizeof(gPhaseBuffer) && text.CStr()[i] != 0; ++i) {
    gPhaseBuffer[i] = text.CStr()[i];
  }
  gPhaseBuffer[i] = 0;
  gHarness.Phase = gPhaseBuffer;
}

// --- Files on the boot volume --------------------------------------------------

EFI_STATUS OpenBootVolume(EFI_FILE_PROTOCOL** Root) {
  EFI_BOOT_SERVICES* bs = gHarness.BootServices;
  VOID* loaded = nullptr;
  EFI_STATUS status = bs->HandleProtocol(gHarness.ImageHandle, &gEfiLoadedImageProtocolGuid, &loaded);
  if (EFI_ERROR(status) || loaded == nullptr) {
    return EFI_ERROR(status) ? status : EFI_NOT_FOUND;
  }
  VOID* fileSystem = nullptr;
  status = bs->HandleProtocol(static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(loaded)->DeviceHandle,
                              &gEfiSimpleFileSystemProtocolGuid, &fileSystem);
  if (EFI_ERROR(status) || fileSystem == nullptr) {
    return EFI_ERROR(status) ? status : EFI_NOT_FOUND;
  }
  auto* volume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(fileSystem);
  return volume->OpenVolume(volume, Root);
}

}  // namespace

EFI_STATUS ReadConfiguredFile(EFI_FILE_PROTOCOL* Root, const char (&Name)[kMaxFileName], UINT64 MaxSize, UINT8** Data,
                              UINTN* Size) {
  *Data = nullptr;
  *Size = 0;
  if (Root == nullptr) {
    return EFI_NOT_FOUND;
  }
  CHAR16 name[kMaxFileName];
  UINTN i = 0;
  for (; i + 1 < kMaxFileName && Name[i] != 0; ++i) {
    name[i] = static_cast<CHAR16>(Name[i]);
  }
  name[i] = 0;
  return ReadWholeFile(Root, name, MaxSize, Data, Size);
}

EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL* Root, const CHAR16* Name, UINT64 MaxSize, UINT8** Data, UINTN* Size) {
  EFI_BOOT_SERVICES* bs = gHarness.BootServices;
  *Data = nullptr;
  *Size = 0;
  EFI_FILE_PROTOCOL* file = nullptr;
  EFI_STATUS status = Root->Open(Root, &file, Name, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(status)) {
    return status;
  }
  EFI_GUID infoGuid = gEfiFileInfoGuid;
  UINTN infoSize = 0;
  status = file->GetInfo(file, &infoGuid, &infoSize, nullptr);
  VOID* info = nullptr;
  if (status == EFI_BUFFER_TOO_SMALL && infoSize >= sizeof(EFI_FILE_INFO)) {
    status = bs->AllocatePool(EfiBootServicesData, infoSize, &info);
    if (!EFI_ERROR(status)) {
      status = file->GetInfo(file, &infoGuid, &infoSize, info);
    }
  } else if (!EFI_ERROR(status)) {
    status = EFI_DEVICE_ERROR;
  }
  UINT64 fileSize = 0;
  if (!EFI_ERROR(status)) {
    fileSize = static_cast<EFI_FILE_INFO*>(info)->FileSize;
    if (fileSize > MaxSize) {
      status = EFI_BAD_BUFFER_SIZE;
    }
  }
  if (info != nullptr) {
    bs->FreePool(info);
  }
  VOID* buffer = nullptr;
  if (!EFI_ERROR(status)) {
    status = bs->AllocatePool(EfiBootServicesData, static_cast<UINTN>(fileSize) + 1, &buffer);
  }
  UINTN done = 0;
  while (!EFI_ERROR(status) && done < fileSize) {
    UINTN chunk = static_cast<UINTN>(fileSize) - done;
    status = file->Read(file, &chunk, static_cast<UINT8*>(buffer) + done);
    if (!EFI_ERROR(status) && chunk == 0) {
      status = EFI_END_OF_FILE;
    }
    done += EFI_ERROR(status) ? 0 : chunk;
  }
  file->Close(file);
  if (EFI_ERROR(status)) {
    if (buffer != nullptr) {
      bs->FreePool(buffer);
    }
    return status;
  }
  static_cast<UINT8*>(buffer)[done] = 0;
  *Data = static_cast<UINT8*>(buffer);
  *Size = done;
  return EFI_SUCCESS;
}

namespace {

void LoadConfig(EFI_FILE_PROTOCOL* Root) {
  SetConfigDefaults(gHarness.Config);
  UINT8* text = nullptr;
  UINTN size = 0;
  const EFI_STATUS status =
      Root != nullptr ? ReadWholeFile(Root, kConfigFileName, kMaxConfigSize, &text, &size) : EFI_NOT_FOUND;
  ConfigResult result{};
  if (!EFI_ERROR(status)) {
    ParseConfig(reinterpret_cast<const char*>(text), size, gHarness.Config, result);
    gHarness.BootServices->FreePool(text);
  }
  Report("config")
      .Status("status", status)
      .Dec("bytes", size)
      .Dec("applied", result.Applied)
      .Dec("errors", result.ErrorCount)
      .Emit();
  for (UINTN i = 0; i < result.ErrorCount && i < kMaxConfigErrors; ++i) {
    const ConfigError& error = result.Errors[i];
    Report("config-error").Dec("line", error.Line).Text("reason", error.Reason).Text("key", error.Key).Emit();
  }
}

// --- Observations ----------------------------------------------------------------

void ReportProcessor() {
  const platform::CpuidResult ext = platform::Cpuid(0x80000001);
  const UINT32 eax = ext.Eax;
  const UINT32 family = ((eax >> 8) & 0xF) + ((eax >> 20) & 0xFF);
  const UINT32 model = (((eax >> 16) & 0xF) << 4) | ((eax >> 4) & 0xF);
  Report("cpu").Hex("signature", eax).Hex("family", family).Hex("model", model).Hex("stepping", eax & 0xF).Emit();
}

// Which of the protocols the driver looks up OVMF itself has, before the
// harness adds anything.
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
    line.Flag(probe.Name, !EFI_ERROR(gHarness.BootServices->LocateProtocol(probe.Guid, nullptr, &found)));
  }
  line.Emit();
}

void ReportConsole() {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gHarness.SystemTable->ConOut;
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
  const HarnessConfig& config = gHarness.Config;
  if (config.ConsoleMode == ConsoleModeRequest::Keep) {
    return;
  }
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gHarness.SystemTable->ConOut;
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

void RunProbes() {
  for (UINTN i = 0; i < gHarness.Config.ProbeCount; ++i) {
    const MemoryRange& probe = gHarness.Config.Probes[i];
    UINT8 bytes[kMaxProbeLength];
    const auto* source = PhysicalPointer<const volatile UINT8>(probe.Address);
    for (UINTN k = 0; k < probe.Length; ++k) {
      bytes[k] = source[k];
    }
    Report("probe")
        .Hex("address", probe.Address)
        .Dec("length", probe.Length)
        .Bytes("bytes", bytes, probe.Length)
        .Emit();
  }
}

void ReportTscTables() {
  const EFI_SYSTEM_TABLE* st = gHarness.SystemTable;
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
    line.Text("owner", table == gHarness.TscTable ? "harness" : "other");
    line.Dec("frequency", support::ReadUnaligned<UINT64>(table));
  }
  line.Emit();
}

// Reads keys from ConIn the way the prompt does, to check that keys sent on
// the serial line arrive as the scan codes and characters meant.
void ReadKeys() {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = gHarness.SystemTable->ConIn;
  for (UINT64 n = 1; n <= gHarness.Config.KeysToRead; ++n) {
    Report("key-wait").Dec("n", n).Emit();
    EFI_INPUT_KEY key{};
    EFI_STATUS status = in->ReadKeyStroke(in, &key);
    while (status == EFI_NOT_READY) {
      UINTN index = 0;
      gHarness.BootServices->WaitForEvent(1, &in->WaitForKey, &index);
      status = in->ReadKeyStroke(in, &key);
    }
    Report("key").Dec("n", n).Hex("scan", key.ScanCode).Hex("char", key.UnicodeChar).Status("status", status).Emit();
  }
}

// Draws a framed box the way a pop-up dialog does (attribute 0x17, one
// positioned line per row, box-drawing characters), waits for one key, then
// clears the screen. Its position and text are fixed so that a scenario can
// check where the runner's screen rebuild puts them.
void DrawSelfTestBox() {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gHarness.SystemTable->ConOut;
  const INT32 savedAttribute = out->Mode->Attribute;
  static constexpr CHAR16 kText[] = u"Press Y or N (test)";
  constexpr UINTN kWidth = sizeof(kText) / sizeof(CHAR16) - 1;
  CHAR16 line[kWidth + 3];
  out->ClearScreen(out);
  out->EnableCursor(out, FALSE);
  out->SetAttribute(out, 0x17);
  for (UINTN row = 0; row < 3; ++row) {
    const bool edge = row != 1;
    line[0] = row == 0 ? 0x250C : (row == 1 ? 0x2502 : 0x2514);
    for (UINTN i = 0; i < kWidth; ++i) {
      line[1 + i] = edge ? static_cast<CHAR16>(0x2500) : kText[i];
    }
    line[kWidth + 1] = row == 0 ? 0x2510 : (row == 1 ? 0x2502 : 0x2518);
    line[kWidth + 2] = 0;
    out->SetCursorPosition(out, 4, 2 + row);
    out->OutputString(out, line);
  }
  out->SetAttribute(out, static_cast<UINTN>(savedAttribute));
  out->SetCursorPosition(out, 0, 6);
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = gHarness.SystemTable->ConIn;
  EFI_INPUT_KEY key{};
  EFI_STATUS status = in->ReadKeyStroke(in, &key);
  while (status == EFI_NOT_READY) {
    UINTN index = 0;
    gHarness.BootServices->WaitForEvent(1, &in->WaitForKey, &index);
    status = in->ReadKeyStroke(in, &key);
  }
  out->ClearScreen(out);
  Report("selftest-box").Hex("scan", key.ScanCode).Hex("char", key.UnicodeChar).Status("status", status).Emit();
}

// --- The driver --------------------------------------------------------------------

EFI_STATUS EFIAPI PreinstalledHandler() {
  Report("preinstalled-handler-called").Emit();
  return EFI_SUCCESS;
}

EFI_STATUS LoadDriver(EFI_FILE_PROTOCOL* Root, EFI_HANDLE* DriverHandle) {
  UINT8* image = nullptr;
  UINTN size = 0;
  EFI_STATUS status = ReadConfiguredFile(Root, gHarness.Config.DriverFile, kMaxDriverSize, &image, &size);
  if (!EFI_ERROR(status)) {
    status = gHarness.BootServices->LoadImage(FALSE, gHarness.ImageHandle, nullptr, image, size, DriverHandle);
    gHarness.BootServices->FreePool(image);
  }
  Report("driver-loaded").Status("status", status).Text("file", gHarness.Config.DriverFile).Dec("size", size).Emit();
  return status;
}

void PreinstallRecoveryProtocol(EFI_HANDLE DriverHandle) {
  gHarness.PreinstalledInterface.RecoveryPromptHandler = PreinstalledHandler;
  gHarness.PreinstalledInterface.Value = 0;
  EFI_HANDLE handle = DriverHandle;
  const EFI_STATUS status = gHarness.BootServices->InstallProtocolInterface(
      &handle, &gFtpmRecoveryProtocolGuid, EFI_NATIVE_INTERFACE, &gHarness.PreinstalledInterface);
  Report("preinstalled").Text("protocol", "ftpm-recovery").Status("status", status).Emit();
}

// Reports the protocol and returns the driver's interface record, or nullptr
// when the driver installed none on its image handle.
const driver::FTPM_RECOVERY_PROTOCOL* ReportRecoveryProtocol(EFI_HANDLE DriverHandle) {
  EFI_BOOT_SERVICES* bs = gHarness.BootServices;
  VOID* located = nullptr;
  const bool installed = !EFI_ERROR(bs->LocateProtocol(&gFtpmRecoveryProtocolGuid, nullptr, &located));
  VOID* onImage = nullptr;
  const bool onImageHandle = !EFI_ERROR(bs->HandleProtocol(DriverHandle, &gFtpmRecoveryProtocolGuid, &onImage));
  Report line("recovery-protocol");
  line.Flag("installed", installed).Flag("on-image-handle", onImageHandle);
  const auto* record = static_cast<const driver::FTPM_RECOVERY_PROTOCOL*>(onImageHandle ? onImage : located);
  if (record == nullptr) {
    line.Emit();
    return nullptr;
  }
  const bool preinstalled = record == &gHarness.PreinstalledInterface;
  line.Text("interface", preinstalled ? "harness" : "driver");
  line.Hex("handler", reinterpret_cast<UINTN>(record->RecoveryPromptHandler)).Hex("value", record->Value);
  line.Emit();
  return (preinstalled || !onImageHandle) ? nullptr : record;
}

void CallHandler(const driver::FTPM_RECOVERY_PROTOCOL* Interface) {
  const UINT64 calls = gHarness.Config.HandlerCalls;
  if (Interface == nullptr || Interface->RecoveryPromptHandler == nullptr) {
    if (calls != 0) {
      Report("handler-skipped").Text("reason", "no-driver-interface").Dec("calls", calls).Emit();
    }
    return;
  }
  for (UINT64 n = 1; n <= calls; ++n) {
    SetNumberedPhase("handler-", n);
    Report("handler-call").Dec("n", n).Emit();
    const EFI_STATUS status = Interface->RecoveryPromptHandler();
    Report("handler-return").Dec("n", n).Status("status", status).Emit();
    ReportSettingReads(gHarness.Phase);
  }
}

VOID EFIAPI ReadyToBootNotify(EFI_EVENT /*Event*/, VOID* /*Context*/) {}

void SignalReadyToBoot() {
  SetPhase("ready-to-boot");
  EFI_BOOT_SERVICES* bs = gHarness.BootServices;
  const UINT64 before = gHarness.S3HandOvers;
  const UINT64 staleBefore = StaleCodeCalls();
  EFI_EVENT event = nullptr;
  EFI_STATUS status =
      bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReadyToBootNotify, nullptr, &gEfiEventReadyToBootGuid, &event);
  if (!EFI_ERROR(status)) {
    // Notify functions of the group run before SignalEvent returns: the
    // harness runs at TPL_APPLICATION.
    status = bs->SignalEvent(event);
    bs->CloseEvent(event);
  }
  Report("ready-to-boot")
      .Status("status", status)
      .Dec("handovers", gHarness.S3HandOvers - before)
      .Dec("stale-calls", StaleCodeCalls() - staleBefore)
      .Emit();
  ReportSettingReads("ready-to-boot");
  ReportS3Record("after-ready-to-boot");
}

}  // namespace

}  // namespace ftpm::harness

extern "C" EFI_STATUS EFIAPI FtpmHarnessEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  using namespace ftpm::harness;
  gHarness.ImageHandle = ImageHandle;
  gHarness.SystemTable = SystemTable;
  gHarness.BootServices = SystemTable->BootServices;
  gHarness.RuntimeServices = SystemTable->RuntimeServices;
  SetPhase("setup");
  // The boot manager's five-minute watchdog would reset the machine while a
  // person thinks about the prompt.
  gHarness.BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

  Report("harness-started").Dec("version", kReportVersion).Emit();
  WatchResetSystem();
  EFI_FILE_PROTOCOL* root = nullptr;
  const EFI_STATUS volumeStatus = OpenBootVolume(&root);
  if (EFI_ERROR(volumeStatus)) {
    Report("volume").Status("status", volumeStatus).Emit();
    root = nullptr;
  }
  LoadConfig(root);
  ReportProcessor();
  ReportFirmware();
  ReportConsole();
  SetConsoleMode();

  ProvideCommBuffer();
  ProvideTscTable();
  ProvideSettings();
  ProvideDebugPrint();
  ProvideEraseReady();
  ProvideSmmCommunication();
  RunProbes();
  if (gHarness.Config.SelfTestErase != FALSE) {
    RunEraseSelfTest(gHarness.Config.SelfTest);
    gHarness.EraseRequests = 0;
  }
  ReadKeys();
  if (gHarness.Config.SelfTestBox != FALSE) {
    DrawSelfTestBox();
  }

  PrepareRecoveryFlag();

  EFI_HANDLE driverHandle = nullptr;
  DriverImage image{};
  bool started = false;
  if (gHarness.Config.DriverFv[0] != 0) {
    SetPhase("driver-start");
    started = DispatchDriverVolume(root, &driverHandle, &image);
    SetPhase("after-start");
    ReportSettingReads("driver-start");
  } else if (!EFI_ERROR(LoadDriver(root, &driverHandle))) {
    DescribeDriverImage(driverHandle, &image);
    if (gHarness.Config.PreinstallProtocol != FALSE) {
      PreinstallRecoveryProtocol(driverHandle);
    }
    SetPhase("driver-start");
    UINTN exitDataSize = 0;
    CHAR16* exitData = nullptr;
    const EFI_STATUS status = gHarness.BootServices->StartImage(driverHandle, &exitDataSize, &exitData);
    // A failed entry point has had its image unloaded by now; claim the
    // pages before anything else can.
    if (EFI_ERROR(status) && gHarness.Config.TrapUnloadedImage != FALSE) {
      ArmUnloadedImageTrap(image);
    }
    Report("driver-entry").Status("status", status).Emit();
    if (exitData != nullptr) {
      gHarness.BootServices->FreePool(exitData);
    }
    SetPhase("after-start");
    ReportSettingReads("driver-start");
    started = true;
  }
  if (started) {
    ReportBufferCache(image);
    ReportTscTables();
    ReportS3Record("after-start");
    const auto* interface = ReportRecoveryProtocol(driverHandle);
    CallHandler(interface);
    if (gHarness.Config.ReinstallReadyToLock != FALSE) {
      SetPhase("ready-to-lock");
      ReinstallReadyToLock();
    }
    if (gHarness.Config.SignalReadyToBoot != FALSE) {
      SignalReadyToBoot();
    }
    if (gHarness.Config.TrapSelfTest != FALSE) {
      SetPhase("trap-selftest");
      RunTrapSelfTest();
    }
  }
  if (root != nullptr) {
    root->Close(root);
  }
  SetPhase("finish");
  Report("harness-done")
      .Dec("erase-requests", gHarness.EraseRequests)
      .Dec("stale-calls", StaleCodeCalls())
      .Dec("s3-handovers", gHarness.S3HandOvers)
      .Dec("debug-messages", gHarness.DebugMessages)
      .Emit();
  gHarness.RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
