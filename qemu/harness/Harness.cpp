// The harness's run: read the configuration, put the platform pieces in
// place, load and start the driver, call the recovery protocol, optionally
// signal ready-to-boot, report, and shut the machine down so QEMU exits.
#include "qemu/harness/Harness.h"

#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "support/Memory.h"

namespace ftpm::harness {

constinit HarnessState gHarness{};

using qemu::ConfigResult;
using qemu::kMaxConfigErrors;
using qemu::kMaxProbeLength;
using qemu::ParseConfig;
using qemu::PlatformConfig;
using qemu::ReportConfigResult;
using qemu::ReportS3Record;
using qemu::ReportSettingReads;
using qemu::SetConfigDefaults;
using qemu::SetPhase;

namespace {

constexpr CHAR16 kConfigFileName[] = u"harness.cfg";
constexpr UINT64 kMaxConfigSize = 0x10000;
constexpr UINT64 kReportVersion = 1;

// --- Files on the boot volume --------------------------------------------------

EFI_STATUS OpenBootVolume(EFI_FILE_PROTOCOL** Root) {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  VOID* loaded = nullptr;
  EFI_STATUS status = bs->HandleProtocol(gPlatform.ImageHandle, &gEfiLoadedImageProtocolGuid, &loaded);
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
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
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
  UINT8* text = nullptr;
  UINTN size = 0;
  const EFI_STATUS status =
      Root != nullptr ? ReadWholeFile(Root, kConfigFileName, kMaxConfigSize, &text, &size) : EFI_NOT_FOUND;
  ConfigResult result{};
  if (!EFI_ERROR(status)) {
    ParseConfig(reinterpret_cast<const char*>(text), size, gPlatform.Config, result);
    gPlatform.BootServices->FreePool(text);
  }
  qemu::BuildFlashMap(gPlatform.Config, &gPlatform.FlashMap);
  ReportConfigResult(status, size, result);
}

// --- Observations ----------------------------------------------------------------

void RunProbes() {
  for (UINTN i = 0; i < gPlatform.Config.ProbeCount; ++i) {
    const MemoryRange& probe = gPlatform.Config.Probes[i];
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

// Reads keys from ConIn the way the prompt does, to check that keys sent on
// the serial line arrive as the scan codes and characters meant.
void ReadKeys() {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = gPlatform.SystemTable->ConIn;
  for (UINT64 n = 1; n <= gPlatform.Config.KeysToRead; ++n) {
    Report("key-wait").Dec("n", n).Emit();
    EFI_INPUT_KEY key{};
    EFI_STATUS status = in->ReadKeyStroke(in, &key);
    while (status == EFI_NOT_READY) {
      UINTN index = 0;
      gPlatform.BootServices->WaitForEvent(1, &in->WaitForKey, &index);
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
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gPlatform.SystemTable->ConOut;
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
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = gPlatform.SystemTable->ConIn;
  EFI_INPUT_KEY key{};
  EFI_STATUS status = in->ReadKeyStroke(in, &key);
  while (status == EFI_NOT_READY) {
    UINTN index = 0;
    gPlatform.BootServices->WaitForEvent(1, &in->WaitForKey, &index);
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
  EFI_STATUS status = ReadConfiguredFile(Root, gPlatform.Config.DriverFile, kMaxDriverSize, &image, &size);
  if (!EFI_ERROR(status)) {
    status = gPlatform.BootServices->LoadImage(FALSE, gPlatform.ImageHandle, nullptr, image, size, DriverHandle);
    gPlatform.BootServices->FreePool(image);
  }
  Report("driver-loaded").Status("status", status).Text("file", gPlatform.Config.DriverFile).Dec("size", size).Emit();
  return status;
}

void PreinstallRecoveryProtocol(EFI_HANDLE DriverHandle) {
  gHarness.PreinstalledInterface.RecoveryPromptHandler = PreinstalledHandler;
  gHarness.PreinstalledInterface.Value = 0;
  EFI_HANDLE handle = DriverHandle;
  const EFI_STATUS status = gPlatform.BootServices->InstallProtocolInterface(
      &handle, &gFtpmRecoveryProtocolGuid, EFI_NATIVE_INTERFACE, &gHarness.PreinstalledInterface);
  Report("preinstalled").Text("protocol", "ftpm-recovery").Status("status", status).Emit();
}

// Reports the protocol and returns the driver's interface record, or nullptr
// when the driver installed none on its image handle.
const driver::FTPM_RECOVERY_PROTOCOL* ReportRecoveryProtocol(EFI_HANDLE DriverHandle) {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
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

VOID EFIAPI ReadyToBootNotify(EFI_EVENT /*Event*/, VOID* /*Context*/) {}

void SignalReadyToBoot() {
  SetPhase("ready-to-boot");
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  const UINT64 before = gPlatform.S3HandOvers;
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
      .Dec("handovers", gPlatform.S3HandOvers - before)
      .Dec("stale-calls", StaleCodeCalls() - staleBefore)
      .Emit();
  ReportSettingReads("ready-to-boot");
  ReportS3Record("after-ready-to-boot");
}

}  // namespace

}  // namespace ftpm::harness

extern "C" EFI_STATUS EFIAPI FtpmHarnessEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  using namespace ftpm::harness;
  using namespace ftpm::qemu;
  BindPlatform(ImageHandle, SystemTable, ReportSink::ConOut);
  // The boot manager's five-minute watchdog would reset the machine while a
  // person thinks about the prompt.
  gPlatform.BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

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
  if (gPlatform.Config.SelfTestErase != FALSE) {
    RunEraseSelfTest(gPlatform.Config.SelfTest);
    gPlatform.EraseRequests = 0;
  }
  ReadKeys();
  if (gPlatform.Config.SelfTestBox != FALSE) {
    DrawSelfTestBox();
  }

  PrepareRecoveryFlag();

  EFI_HANDLE driverHandle = nullptr;
  DriverImage image{};
  bool started = false;
  if (gPlatform.Config.DriverFv[0] != 0) {
    SetPhase("driver-start");
    started = DispatchDriverVolume(root, &driverHandle, &image);
    SetPhase("after-start");
    ReportSettingReads("driver-start");
  } else if (!EFI_ERROR(LoadDriver(root, &driverHandle))) {
    DescribeDriverImage(driverHandle, &image);
    if (gPlatform.Config.PreinstallProtocol != FALSE) {
      PreinstallRecoveryProtocol(driverHandle);
    }
    SetPhase("driver-start");
    UINTN exitDataSize = 0;
    CHAR16* exitData = nullptr;
    const EFI_STATUS status = gPlatform.BootServices->StartImage(driverHandle, &exitDataSize, &exitData);
    // A failed entry point has had its image unloaded by now; claim the
    // pages before anything else can.
    if (EFI_ERROR(status) && gPlatform.Config.TrapUnloadedImage != FALSE) {
      ArmUnloadedImageTrap(image);
    }
    Report("driver-entry").Status("status", status).Emit();
    if (exitData != nullptr) {
      gPlatform.BootServices->FreePool(exitData);
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
    CallRecoveryHandler(interface, gPlatform.Config.HandlerCalls, true);
    if (gPlatform.Config.ReinstallReadyToLock != FALSE) {
      SetPhase("ready-to-lock");
      ReinstallReadyToLock();
    }
    if (gPlatform.Config.SignalReadyToBoot != FALSE) {
      SignalReadyToBoot();
    }
    if (gPlatform.Config.TrapSelfTest != FALSE) {
      SetPhase("trap-selftest");
      RunTrapSelfTest();
    }
  }
  if (root != nullptr) {
    root->Close(root);
  }
  SetPhase("finish");
  Report("harness-done")
      .Dec("erase-requests", gPlatform.EraseRequests)
      .Dec("stale-calls", StaleCodeCalls())
      .Dec("s3-handovers", gPlatform.S3HandOvers)
      .Dec("debug-messages", gPlatform.DebugMessages)
      .Emit();
  gPlatform.RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
