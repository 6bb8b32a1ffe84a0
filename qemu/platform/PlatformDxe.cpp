// FtpmPlatformDxe: the reference platform as a DXE driver in the firmware
// image. The DXE dispatcher starts it once the settings and variable
// services are there (its dependency expression); it reads the run's
// configuration from fw_cfg, detects a processor swap, puts the platform's
// pieces in place for the recovery driver (whose dependency expression waits
// for the erase-service-ready protocol, installed last), registers the
// SysPrep#### option that calls the recovery handler once the consoles are
// connected, and then watches the boot: the driver's image being loaded by
// the dispatcher, the recovery protocol appearing, end of DXE, the boot
// manager's DXE SMM ready-to-lock, ready-to-boot. Its reports go to QEMU's
// debug console, which no one else writes.
#include "platform/Guids.h"
#include "qemu/platform/LoadOption.h"
#include "qemu/platform/Platform.h"
#include "support/Memory.h"

namespace ftpm::qemu {

namespace {

constexpr UINT64 kReportVersion = 1;
constexpr UINTN kMaxLoadOption = 512;
constexpr UINTN kMaxDevicePath = 256;
constexpr UINTN kMaxSysPrepOrder = 64;
constexpr CHAR16 kCallerDescription[] = u"fTPM recovery prompt";
constexpr UINT32 kLoadOptionAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

struct Watch {
  EFI_EVENT Event;
  VOID* Registration;
};

constinit Watch gImageWatch{};
constinit Watch gRecoveryWatch{};
constinit EFI_HANDLE gDriverImageHandle = nullptr;
constinit UINT64 gHandOversBeforeReadyToBoot = 0;
constinit UINT64 gReadyToBootSignals = 0;

// The GUID of FilePath when its first node names a file in a firmware volume.
bool FirmwareFileName(const EFI_DEVICE_PATH_PROTOCOL* FilePath, EFI_GUID* Name) {
  if (FilePath == nullptr || FilePath->Type != kMediaDevicePathType ||
      FilePath->SubType != kMediaPiwgFirmwareFileSubType) {
    return false;
  }
  const UINTN length = static_cast<UINTN>(FilePath->Length[0]) | (static_cast<UINTN>(FilePath->Length[1]) << 8);
  if (length != kFirmwareFileNodeSize) {
    return false;
  }
  support::CopyMem(Name, reinterpret_cast<const UINT8*>(FilePath) + kDevicePathNodeHeader, sizeof(EFI_GUID));
  return true;
}

EFI_LOADED_IMAGE_PROTOCOL* LoadedImage(EFI_HANDLE Handle) {
  VOID* loaded = nullptr;
  if (Handle == nullptr ||
      EFI_ERROR(gPlatform.BootServices->HandleProtocol(Handle, &gEfiLoadedImageProtocolGuid, &loaded))) {
    return nullptr;
  }
  return static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(loaded);
}

// Each handle a protocol notification has not handed out yet.
template <typename Visit>
void ForEachNewHandle(const Watch& W, const EFI_GUID& Protocol, Visit&& visit) {
  for (UINTN guard = 0; guard < 64; ++guard) {
    EFI_HANDLE handle = nullptr;
    UINTN size = sizeof(handle);
    if (EFI_ERROR(gPlatform.BootServices->LocateHandle(ByRegisterNotify, &Protocol, W.Registration, &size, &handle))) {
      return;
    }
    visit(handle);
  }
}

bool IsFile(const EFI_GUID& Name, const EFI_GUID& File) { return support::CompareGuid(&Name, &File) != FALSE; }

// An image of ours being loaded: who loaded it (the DXE core's dispatcher,
// or the boot manager), from which volume, at which phase.
VOID EFIAPI OnImageLoaded(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  ForEachNewHandle(gImageWatch, gEfiLoadedImageProtocolGuid, [](EFI_HANDLE handle) {
    const EFI_LOADED_IMAGE_PROTOCOL* image = LoadedImage(handle);
    EFI_GUID file{};
    if (image == nullptr || !FirmwareFileName(image->FilePath, &file)) {
      return;
    }
    const bool driver = IsFile(file, gFtpmRecoveryDxeFileGuid);
    if (!driver && !IsFile(file, gFtpmSysPrepFileGuid)) {
      return;
    }
    if (driver) {
      gDriverImageHandle = handle;
    }
    const EFI_LOADED_IMAGE_PROTOCOL* parent = LoadedImage(image->ParentHandle);
    EFI_GUID parentFile{};
    const bool parentInFv = parent != nullptr && FirmwareFileName(parent->FilePath, &parentFile);
    Report line("image-loaded");
    line.Text("image", driver ? "driver" : "caller").Guid("file", file).Text("phase", gPlatform.Phase);
    if (parentInFv) {
      line.Guid("parent-file", parentFile);
      line.Text("loaded-by", IsFile(parentFile, gDxeCoreFileGuid)
                                 ? "dxe-dispatcher"
                                 : (IsFile(parentFile, gBdsDxeFileGuid) ? "boot-manager" : "other"));
    } else {
      line.Text("parent-file", "none").Text("loaded-by", "other");
    }
    const EFI_LOADED_IMAGE_PROTOCOL* self = LoadedImage(gPlatform.ImageHandle);
    line.Flag("same-volume-as-platform", self != nullptr && self->DeviceHandle == image->DeviceHandle);
    line.Hex("base", reinterpret_cast<UINTN>(image->ImageBase)).Hex("size", image->ImageSize).Emit();
  });
}

VOID EFIAPI OnRecoveryProtocol(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  ForEachNewHandle(gRecoveryWatch, gFtpmRecoveryProtocolGuid, [](EFI_HANDLE handle) {
    Report("recovery-protocol")
        .Flag("installed", true)
        .Flag("on-driver-image", handle != nullptr && handle == gDriverImageHandle)
        .Text("phase", gPlatform.Phase)
        .Emit();
  });
}

void ReportRecords(const char* Event, const char* When) {
  Report line(Event);
  line.Text("when", When).Text("phase", gPlatform.Phase);
  DescribeS3Record(line, SettingValue(support::kS3PrivateDataAddress));
  DescribeScriptRecord(line, SettingValue(support::kScriptRecordAddress));
  line.Emit();
}

EFI_STATUS WatchProtocol(const EFI_GUID& Protocol, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, Watch* W);
VOID EFIAPI AfterReadyToLock(EFI_EVENT Event, VOID* Context);

VOID EFIAPI OnEndOfDxe(EFI_EVENT Event, VOID* /*Context*/) {
  gPlatform.BootServices->CloseEvent(Event);
  const EFI_STATUS lockAfter =
      WatchProtocol(gEfiDxeSmmReadyToLockProtocolGuid, TPL_CALLBACK, AfterReadyToLock, nullptr);

  // Every driver has been dispatched: the driver's start-up reads are all in.
  ReportSettingReads("dxe");
  SetPhase("bds");
  // The reset architectural protocol is in place by now.
  WatchResetSystem();
  Report line("end-of-dxe");
  line.Status("watch-ready-to-lock", lockAfter);
  DescribeS3Record(line, SettingValue(support::kS3PrivateDataAddress));
  DescribeScriptRecord(line, SettingValue(support::kScriptRecordAddress));
  line.Emit();
}

VOID EFIAPI OnPciEnumerationComplete(EFI_EVENT Event, VOID* /*Context*/) {
  gPlatform.BootServices->CloseEvent(Event);
  // Device resources are assigned now; the RecoveryFlag backing moves a
  // device's memory and must come after that.
  PrepareRecoveryFlag();
}

// The boot manager installs the DXE SMM ready-to-lock protocol, and later
// signals ready-to-boot; the driver's callbacks for both run at TPL_CALLBACK.
// The firmware takes only the three standard levels, so the watches around
// them rely on the order within one level: protocol notifications run in the
// order they were registered, the members of an event group in the reverse
// order of their creation. So "before the driver" is a ready-to-lock watch
// registered at start (before the driver starts) and a ready-to-boot watch at
// TPL_NOTIFY; "after the driver" is a ready-to-lock watch registered at end
// of DXE and a ready-to-boot watch created at start.
VOID EFIAPI BeforeReadyToLock(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  SetPhase("ready-to-lock");
  ReportRecords("ready-to-lock", "before-driver");
}

VOID EFIAPI AfterReadyToLock(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  ReportRecords("ready-to-lock", "after-driver");
  SetPhase("bds");
}

VOID EFIAPI BeforeReadyToBoot(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  SetPhase("ready-to-boot");
  gHandOversBeforeReadyToBoot = gPlatform.S3HandOvers;
}

VOID EFIAPI AfterReadyToBoot(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  Report("ready-to-boot")
      .Dec("n", ++gReadyToBootSignals)
      .Dec("handovers", gPlatform.S3HandOvers - gHandOversBeforeReadyToBoot)
      .Emit();
  ReportSettingReads("bds");
  ReportS3Record("after-ready-to-boot");
  SetPhase("boot");
}

EFI_STATUS WatchProtocol(const EFI_GUID& Protocol, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, Watch* W) {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  Watch local{};
  Watch* watch = W != nullptr ? W : &local;
  EFI_STATUS status = bs->CreateEvent(EVT_NOTIFY_SIGNAL, Tpl, Notify, nullptr, &watch->Event);
  if (!EFI_ERROR(status)) {
    status = bs->RegisterProtocolNotify(&Protocol, watch->Event, &watch->Registration);
  }
  return status;
}

EFI_STATUS WatchGroup(const EFI_GUID& Group, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify) {
  EFI_EVENT event = nullptr;
  return gPlatform.BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, Tpl, Notify, nullptr, &Group, &event);
}

void WatchBoot() {
  const EFI_STATUS image = WatchProtocol(gEfiLoadedImageProtocolGuid, TPL_CALLBACK, OnImageLoaded, &gImageWatch);
  const EFI_STATUS recovery =
      WatchProtocol(gFtpmRecoveryProtocolGuid, TPL_CALLBACK, OnRecoveryProtocol, &gRecoveryWatch);
  const EFI_STATUS pci =
      WatchProtocol(gEfiPciEnumerationCompleteProtocolGuid, TPL_CALLBACK, OnPciEnumerationComplete, nullptr);
  const EFI_STATUS lockBefore =
      WatchProtocol(gEfiDxeSmmReadyToLockProtocolGuid, TPL_CALLBACK, BeforeReadyToLock, nullptr);
  const EFI_STATUS endOfDxe = WatchGroup(gEfiEndOfDxeEventGroupGuid, TPL_CALLBACK, OnEndOfDxe);
  const EFI_STATUS bootBefore = WatchGroup(gEfiEventReadyToBootGuid, TPL_NOTIFY, BeforeReadyToBoot);
  const EFI_STATUS bootAfter = WatchGroup(gEfiEventReadyToBootGuid, TPL_CALLBACK, AfterReadyToBoot);
  Report("watching")
      .Status("images", image)
      .Status("recovery-protocol", recovery)
      .Status("pci-enumeration", pci)
      .Status("ready-to-lock", lockBefore)
      .Status("end-of-dxe", endOfDxe)
      .Status("ready-to-boot", EFI_ERROR(bootBefore) ? bootBefore : bootAfter)
      .Emit();
}

// --- The caller's SysPrep#### option -------------------------------------------

constinit UINT8 gOption[kMaxLoadOption] = {};
constinit UINT8 gExisting[kMaxLoadOption] = {};
constinit UINT16 gOrder[kMaxSysPrepOrder + 1] = {};

EFI_STATUS GetGlobal(const CHAR16* Name, VOID* Data, UINTN* Size) {
  EFI_GUID vendor = gEfiGlobalVariableGuid;
  return gPlatform.RuntimeServices->GetVariable(const_cast<CHAR16*>(Name), &vendor, nullptr, Size, Data);
}

EFI_STATUS SetGlobal(const CHAR16* Name, const VOID* Data, UINTN Size) {
  EFI_GUID vendor = gEfiGlobalVariableGuid;
  return gPlatform.RuntimeServices->SetVariable(const_cast<CHAR16*>(Name), &vendor, kLoadOptionAttributes, Size,
                                                const_cast<VOID*>(Data));
}

// The caller's file path: the volume this driver came from, then the
// caller's file in it.
UINTN CallerFilePath(UINT8* Out, UINTN Capacity) {
  const EFI_LOADED_IMAGE_PROTOCOL* self = LoadedImage(gPlatform.ImageHandle);
  VOID* path = nullptr;
  if (self == nullptr ||
      EFI_ERROR(gPlatform.BootServices->HandleProtocol(self->DeviceHandle, &gEfiDevicePathProtocolGuid, &path))) {
    return 0;
  }
  const UINTN size = DevicePathSize(static_cast<const UINT8*>(path), kMaxDevicePath);
  if (size < kDevicePathNodeHeader) {
    return 0;
  }
  return AppendFirmwareFileNode(static_cast<const UINT8*>(path), size - kDevicePathNodeHeader, gFtpmSysPrepFileGuid,
                                Out, Capacity);
}

bool OptionIs(UINT16 Number, const UINT8* Option, UINTN Size) {
  CHAR16 name[kLoadOptionNameLength + 1];
  LoadOptionName("SysPrep", Number, name);
  UINTN existing = sizeof(gExisting);
  if (EFI_ERROR(GetGlobal(name, gExisting, &existing)) || existing != Size) {
    return false;
  }
  for (UINTN i = 0; i < Size; ++i) {
    if (gExisting[i] != Option[i]) {
      return false;
    }
  }
  return true;
}

bool NumberUsed(UINT16 Number, UINTN OrderCount) {
  for (UINTN i = 0; i < OrderCount; ++i) {
    if (gOrder[i] == Number) {
      return true;
    }
  }
  CHAR16 name[kLoadOptionNameLength + 1];
  LoadOptionName("SysPrep", Number, name);
  UINTN size = 0;
  return GetGlobal(name, nullptr, &size) != EFI_NOT_FOUND;
}

// Registers the caller as a SysPrep#### option, once: an option that already
// names it in SysPrepOrder is kept as it is, other options are left alone.
void RegisterCaller() {
  Report line("sysprep-option");
  if (gPlatform.Config.RegisterCaller == FALSE) {
    line.Flag("registered", false).Emit();
    return;
  }
  UINT8 path[kMaxDevicePath + kFirmwareFileNodeSize];
  const UINTN pathSize = CallerFilePath(path, sizeof(path));
  const UINTN optionSize = pathSize != 0 ? BuildLoadOption(kLoadOptionActive | kLoadOptionCategoryApp,
                                                           kCallerDescription, path, pathSize, gOption, sizeof(gOption))
                                         : 0;
  if (optionSize == 0) {
    line.Flag("registered", false).Text("reason", "no-file-path").Emit();
    return;
  }
  UINTN orderBytes = kMaxSysPrepOrder * sizeof(UINT16);
  EFI_STATUS status = GetGlobal(u"SysPrepOrder", gOrder, &orderBytes);
  if (status == EFI_NOT_FOUND) {
    orderBytes = 0;
  } else if (EFI_ERROR(status) || orderBytes % sizeof(UINT16) != 0) {
    line.Flag("registered", false).Text("reason", "order-unreadable").Status("status", status).Emit();
    return;
  }
  const UINTN orderCount = orderBytes / sizeof(UINT16);
  for (UINTN i = 0; i < orderCount; ++i) {
    if (OptionIs(gOrder[i], gOption, optionSize)) {
      line.Flag("registered", true).Hex("number", gOrder[i]).Text("how", "kept").Dec("options", orderCount).Emit();
      return;
    }
  }
  UINT32 number = 0;
  while (number <= 0xFFFF && NumberUsed(static_cast<UINT16>(number), orderCount)) {
    ++number;
  }
  if (number > 0xFFFF || orderCount >= kMaxSysPrepOrder) {
    line.Flag("registered", false).Text("reason", "no-free-number").Emit();
    return;
  }
  CHAR16 name[kLoadOptionNameLength + 1];
  LoadOptionName("SysPrep", static_cast<UINT16>(number), name);
  status = SetGlobal(name, gOption, optionSize);
  if (!EFI_ERROR(status)) {
    gOrder[orderCount] = static_cast<UINT16>(number);
    status = SetGlobal(u"SysPrepOrder", gOrder, (orderCount + 1) * sizeof(UINT16));
  }
  line.Flag("registered", !EFI_ERROR(status)).Hex("number", number).Text("how", "written");
  line.Dec("options", orderCount + 1).Dec("bytes", optionSize).Status("status", status).Emit();
}

}  // namespace

}  // namespace ftpm::qemu

extern "C" EFI_STATUS EFIAPI FtpmPlatformDxeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable) {
  using namespace ftpm::qemu;
  BindPlatform(ImageHandle, SystemTable, ReportSink::DebugPort);
  SetPhase("dxe");
  Report("platform-started").Dec("version", kReportVersion).Emit();
  LoadPlatformConfig(true);
  ReportProcessor();
  ReportFirmware();
  ReportSettingCollisions();
  DetectProcessorSwap();
  WatchBoot();

  ProvideCommBuffer();
  ProvideTscTable();
  ProvideSettings();
  ProvideDebugPrint();
  ProvideSmmCommunication();
  // Last: the recovery driver's dependency expression waits for it, so the
  // driver starts with every other piece in place.
  ProvideEraseReady();
  RegisterCaller();
  Report("platform-ready").Emit();
  return EFI_SUCCESS;
}
