// Two ways of watching the driver that need more than LoadImage/StartImage:
//
// - The firmware's own dispatcher: the driver's firmware volume goes to the
//   DXE services' ProcessFirmwareVolume, Dispatch evaluates the file's
//   dependency expression and starts the driver, and the harness finds the
//   image that came from the volume by its file GUID.
// - What a failed start leaves behind: after an entry point returns an error
//   the firmware unloads the image. Any event or notification still naming a
//   function of the driver would call into freed memory. The harness claims
//   those pages and fills them so that a call anywhere in them slides into a
//   function of the harness, which reports the call and returns to the
//   firmware. Re-installing the DXE SMM ready-to-lock protocol and signalling
//   ready-to-boot then show whether anything was left registered.
#include "platform/Guids.h"
#include "qemu/harness/Harness.h"
#include "support/Memory.h"

namespace ftpm::harness {

namespace {

constexpr UINT8 kNop = 0x90;
// movabs rax, imm64; jmp rax
constexpr UINTN kTrampolineSize = 12;

// Device-path node of a file in a firmware volume (media type 4, sub-type 6):
// the header and the file's name GUID.
constexpr UINT8 kMediaDevicePath = 4;
constexpr UINT8 kPiwgFirmwareFile = 6;
constexpr UINTN kFvFileNodeLength = 20;
// "_FVH" at offset 40 of a firmware volume header.
constexpr UINTN kFvSignatureOffset = 40;
constexpr UINT32 kFvSignature = 0x4856465F;
constexpr UINTN kFvHeaderLength = 56;

constinit UINT64 gTrapBase = 0;
constinit UINT64 gTrapPages = 0;
constinit UINT64 gTrapCalls = 0;

VOID EFIAPI StaleCodeTrap(EFI_EVENT Event, VOID* Context) {
  ++gTrapCalls;
  Report("stale-code-called")
      .Text("phase", gPlatform.Phase)
      .Hex("event", reinterpret_cast<UINTN>(Event))
      .Hex("context", reinterpret_cast<UINTN>(Context))
      .Hex("return-address", reinterpret_cast<UINTN>(__builtin_return_address(0)))
      .Emit();
}

const DXE_SERVICES* FindDxeServices() {
  const EFI_SYSTEM_TABLE* st = gPlatform.SystemTable;
  for (UINTN i = 0; i < st->NumberOfTableEntries; ++i) {
    if (support::CompareGuid(&st->ConfigurationTable[i].VendorGuid, &gEfiDxeServicesTableGuid) != FALSE) {
      const auto* table = static_cast<const DXE_SERVICES*>(st->ConfigurationTable[i].VendorTable);
      return table != nullptr && table->Hdr.Signature == DXE_SERVICES_SIGNATURE ? table : nullptr;
    }
  }
  return nullptr;
}

// The GUID of FilePath when its first node names a file in a firmware volume.
bool FirmwareFileName(const EFI_DEVICE_PATH_PROTOCOL* FilePath, EFI_GUID* Name) {
  if (FilePath == nullptr || FilePath->Type != kMediaDevicePath || FilePath->SubType != kPiwgFirmwareFile) {
    return false;
  }
  const UINTN length = static_cast<UINTN>(FilePath->Length[0]) | (static_cast<UINTN>(FilePath->Length[1]) << 8);
  if (length != kFvFileNodeLength) {
    return false;
  }
  support::CopyMem(Name, reinterpret_cast<const UINT8*>(FilePath) + sizeof(EFI_DEVICE_PATH_PROTOCOL), sizeof(EFI_GUID));
  return true;
}

}  // namespace

void DescribeDriverImage(EFI_HANDLE DriverHandle, DriverImage* Image) {
  *Image = DriverImage{};
  VOID* loaded = nullptr;
  const EFI_STATUS status = gPlatform.BootServices->HandleProtocol(DriverHandle, &gEfiLoadedImageProtocolGuid, &loaded);
  Report line("driver-image");
  line.Status("status", status);
  if (!EFI_ERROR(status) && loaded != nullptr) {
    const auto* info = static_cast<const EFI_LOADED_IMAGE_PROTOCOL*>(loaded);
    Image->Base = reinterpret_cast<UINTN>(info->ImageBase);
    Image->Size = info->ImageSize;
    line.Hex("base", Image->Base).Hex("size", Image->Size).Dec("code-type", info->ImageCodeType);
  }
  line.Emit();
}

void ArmUnloadedImageTrap(const DriverImage& Image) {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  Report line("stale-trap");
  const UINT64 pages = EFI_SIZE_TO_PAGES(static_cast<UINTN>(Image.Size));
  if (Image.Base == 0 || pages == 0 || (Image.Base & (EFI_PAGE_SIZE - 1)) != 0) {
    line.Flag("armed", false).Text("reason", "no-image").Emit();
    return;
  }
  // The pages went back to the firmware when the image was unloaded; taking
  // them as code keeps them ours and executable.
  EFI_PHYSICAL_ADDRESS address = Image.Base;
  const EFI_STATUS status =
      bs->AllocatePages(AllocateAddress, EfiBootServicesCode, static_cast<UINTN>(pages), &address);
  line.Hex("base", Image.Base).Dec("pages", pages).Status("status", status);
  if (EFI_ERROR(status) || address != Image.Base) {
    line.Flag("armed", false).Emit();
    return;
  }
  auto* bytes = PhysicalPointer<UINT8>(Image.Base);
  const UINTN size = static_cast<UINTN>(pages) * EFI_PAGE_SIZE;
  support::SetMem(bytes, size - kTrampolineSize, kNop);
  UINT8* trampoline = bytes + size - kTrampolineSize;
  trampoline[0] = 0x48;
  trampoline[1] = 0xB8;
  support::WriteUnaligned<UINT64>(trampoline + 2, reinterpret_cast<UINTN>(&StaleCodeTrap));
  trampoline[10] = 0xFF;
  trampoline[11] = 0xE0;
  gTrapBase = Image.Base;
  gTrapPages = pages;
  line.Flag("armed", true).Emit();
}

UINT64 StaleCodeCalls() { return gTrapCalls; }

void ReinstallReadyToLock() {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  const UINT64 before = gTrapCalls;
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  EFI_STATUS status = bs->LocateHandleBuffer(ByProtocol, &gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &count, &handles);
  const char* how = "installed";
  if (!EFI_ERROR(status) && count != 0 && handles != nullptr) {
    const EFI_HANDLE handle = handles[0];
    bs->FreePool(handles);
    VOID* interface = nullptr;
    status = bs->HandleProtocol(handle, &gEfiDxeSmmReadyToLockProtocolGuid, &interface);
    if (!EFI_ERROR(status)) {
      how = "reinstalled";
      status = bs->ReinstallProtocolInterface(handle, &gEfiDxeSmmReadyToLockProtocolGuid, interface, interface);
    }
  } else {
    EFI_HANDLE handle = nullptr;
    status = bs->InstallProtocolInterface(&handle, &gEfiDxeSmmReadyToLockProtocolGuid, EFI_NATIVE_INTERFACE, nullptr);
  }
  Report("ready-to-lock")
      .Text("how", how)
      .Status("status", status)
      .Dec("stale-calls", gTrapCalls - before)
      .Text("phase", gPlatform.Phase)
      .Emit();
}

VOID EFIAPI IgnoreSignal(EFI_EVENT /*Event*/, VOID* /*Context*/) {}

void RunTrapSelfTest() {
  if (gTrapBase == 0) {
    Report("trap-selftest").Text("result", "not-armed").Emit();
    return;
  }
  // Two events of the harness whose notify function lies in the middle of
  // the claimed pages, registered the way the driver's own were: one for the
  // DXE SMM ready-to-lock protocol, one in the ready-to-boot group.
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  EFI_EVENT_NOTIFY notify = nullptr;
  const UINT64 target = gTrapBase + gTrapPages * EFI_PAGE_SIZE / 2;
  __builtin_memcpy(&notify, &target, sizeof(notify));
  EFI_EVENT lockEvent = nullptr;
  EFI_EVENT bootEvent = nullptr;
  VOID* registration = nullptr;
  EFI_STATUS status = bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, notify, nullptr, &lockEvent);
  if (!EFI_ERROR(status)) {
    status = bs->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, lockEvent, &registration);
  }
  if (!EFI_ERROR(status)) {
    status = bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, notify, nullptr, &gEfiEventReadyToBootGuid, &bootEvent);
  }
  Report("trap-selftest").Text("result", "registered").Hex("target", target).Status("status", status).Emit();
  if (EFI_ERROR(status)) {
    return;
  }
  ReinstallReadyToLock();
  const UINT64 before = gTrapCalls;
  EFI_EVENT group = nullptr;
  status = bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr, &gEfiEventReadyToBootGuid, &group);
  if (!EFI_ERROR(status)) {
    status = bs->SignalEvent(group);
    bs->CloseEvent(group);
  }
  Report("ready-to-boot").Status("status", status).Dec("stale-calls", gTrapCalls - before).Emit();
  bs->CloseEvent(lockEvent);
  bs->CloseEvent(bootEvent);
}

void ReportBufferCache(const DriverImage& Image) {
  VOID* found = nullptr;
  const bool installed =
      !EFI_ERROR(gPlatform.BootServices->LocateProtocol(&gBufferCacheProtocolGuid, nullptr, &found)) &&
      found != nullptr;
  Report line("buffer-cache");
  line.Flag("installed", installed);
  if (installed) {
    const UINT64 address = reinterpret_cast<UINTN>(found);
    line.Hex("interface", address);
    line.Flag("in-driver-image", Image.Size != 0 && address >= Image.Base && address - Image.Base < Image.Size);
  }
  line.Emit();
}

bool DispatchDriverVolume(EFI_FILE_PROTOCOL* Root, EFI_HANDLE* DriverHandle, DriverImage* Image) {
  *DriverHandle = nullptr;
  *Image = DriverImage{};
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
  // The volume stays in pool memory for the rest of the boot: the firmware
  // keeps reading the driver's file from it.
  UINT8* volume = nullptr;
  UINTN size = 0;
  EFI_STATUS status = ReadConfiguredFile(Root, gPlatform.Config.DriverFv, kMaxDriverSize, &volume, &size);
  const bool signature = !EFI_ERROR(status) && size >= kFvHeaderLength &&
                         support::ReadUnaligned<UINT32>(volume + kFvSignatureOffset) == kFvSignature;
  Report("fv-loaded")
      .Status("status", status)
      .Text("file", gPlatform.Config.DriverFv)
      .Dec("size", size)
      .Hex("address", reinterpret_cast<UINTN>(volume))
      .Flag("aligned", (reinterpret_cast<UINTN>(volume) & 7) == 0)
      .Flag("signature", signature)
      .Emit();
  if (EFI_ERROR(status)) {
    return false;
  }
  const DXE_SERVICES* dxe = FindDxeServices();
  if (dxe == nullptr) {
    Report("fv-processed").Text("result", "no-dxe-services").Emit();
    return false;
  }
  EFI_HANDLE volumeHandle = nullptr;
  status = dxe->ProcessFirmwareVolume(volume, size, &volumeHandle);
  Report("fv-processed").Status("status", status).Flag("handle", volumeHandle != nullptr).Emit();
  if (EFI_ERROR(status)) {
    return false;
  }
  status = dxe->Dispatch();
  Report("dispatch").Status("status", status).Emit();

  // The image the dispatcher started from that volume: the loaded image
  // whose file path names the driver's file in a firmware volume.
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  status = bs->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &count, &handles);
  UINT64 matches = 0;
  const EFI_LOADED_IMAGE_PROTOCOL* found = nullptr;
  for (UINTN n = 0; !EFI_ERROR(status) && n < count; ++n) {
    VOID* loaded = nullptr;
    if (EFI_ERROR(bs->HandleProtocol(handles[n], &gEfiLoadedImageProtocolGuid, &loaded)) || loaded == nullptr) {
      continue;
    }
    const auto* info = static_cast<const EFI_LOADED_IMAGE_PROTOCOL*>(loaded);
    EFI_GUID file{};
    if (FirmwareFileName(info->FilePath, &file) && support::CompareGuid(&file, &gFtpmRecoveryDxeFileGuid) != FALSE) {
      ++matches;
      if (found == nullptr) {
        found = info;
        *DriverHandle = handles[n];
      }
    }
  }
  if (handles != nullptr) {
    bs->FreePool(handles);
  }
  Report line("dispatched-image");
  line.Dec("matches", matches);
  if (found != nullptr) {
    EFI_GUID file{};
    FirmwareFileName(found->FilePath, &file);
    line.Dec("path-type", found->FilePath->Type).Dec("path-subtype", found->FilePath->SubType);
    line.Guid("file", file).Flag("from-volume", found->DeviceHandle == volumeHandle);
    line.Hex("base", reinterpret_cast<UINTN>(found->ImageBase)).Hex("size", found->ImageSize);
    Image->Base = reinterpret_cast<UINTN>(found->ImageBase);
    Image->Size = found->ImageSize;
  }
  line.Emit();
  return found != nullptr;
}

}  // namespace ftpm::harness
