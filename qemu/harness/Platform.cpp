// Platform pieces that OVMF lacks: the time-stamp-counter frequency table,
// the settings protocols for the driver's tokens, the debug-print protocol,
// and a watch on ResetSystem that reports each reset before OVMF performs it.
#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "qemu/harness/Harness.h"
#include "support/Memory.h"

namespace ftpm::harness {

namespace {

// --- Settings --------------------------------------------------------------

bool IsCommBufferToken(const EFI_GUID* Guid, UINTN Token) {
  return Guid != nullptr && Token == kCommBufferToken &&
         support::CompareGuid(Guid, &gSmmCommBufferTokenSpaceGuid) != FALSE;
}

// The value of one of the driver's tokens, counted as a read; false for every
// other token, which goes to OVMF's own protocol.
bool ServeRead(UINTN Token, UINT64* Value) {
  const UINTN index = SettingIndex(Token);
  if (index == kSettingCount) {
    return false;
  }
  ++gHarness.SettingReads[index];
  *Value = gHarness.Config.Settings[index];
  return true;
}

bool ServeWrite(UINTN Token, UINT64 Value, const char* Access) {
  const UINTN index = SettingIndex(Token);
  if (index == kSettingCount) {
    return false;
  }
  gHarness.Config.Settings[index] = Value;
  Report("pcd-set").Dec("token", Token).Hex("value", Value).Text("access", Access).Text("phase", gHarness.Phase).Emit();
  return true;
}

UINT64 ServeCommBuffer() {
  ++gHarness.CommBufferReads;
  return gHarness.CommBuffer;
}

PCD_PROTOCOL* Pcd() { return gHarness.OriginalPcd; }
EFI_PCD_PROTOCOL* EfiPcd() { return gHarness.OriginalEfiPcd; }

// PCD_PROTOCOL, by token number.
VOID EFIAPI PcdSetSku(UINTN SkuId) {
  if (Pcd() != nullptr) {
    Pcd()->SetSku(SkuId);
  }
}

UINT8 EFIAPI PcdGet8(UINTN Token) {
  UINT64 value = 0;
  if (ServeRead(Token, &value)) {
    return static_cast<UINT8>(value);
  }
  return Pcd() != nullptr ? Pcd()->Get8(Token) : 0;
}

UINT16 EFIAPI PcdGet16(UINTN Token) {
  UINT64 value = 0;
  if (ServeRead(Token, &value)) {
    return static_cast<UINT16>(value);
  }
  return Pcd() != nullptr ? Pcd()->Get16(Token) : 0;
}

UINT32 EFIAPI PcdGet32(UINTN Token) {
  UINT64 value = 0;
  if (ServeRead(Token, &value)) {
    return static_cast<UINT32>(value);
  }
  return Pcd() != nullptr ? Pcd()->Get32(Token) : 0;
}

UINT64 EFIAPI PcdGet64(UINTN Token) {
  UINT64 value = 0;
  if (ServeRead(Token, &value)) {
    return value;
  }
  return Pcd() != nullptr ? Pcd()->Get64(Token) : 0;
}

VOID* EFIAPI PcdGetPtr(UINTN Token) {
  if (SettingIndex(Token) != kSettingCount) {
    return nullptr;
  }
  return Pcd() != nullptr ? Pcd()->GetPtr(Token) : nullptr;
}

// A boolean setting is one stored byte, as in a settings database.
BOOLEAN EFIAPI PcdGetBool(UINTN Token) {
  UINT64 value = 0;
  if (ServeRead(Token, &value)) {
    return static_cast<BOOLEAN>(value);
  }
  return Pcd() != nullptr ? Pcd()->GetBool(Token) : 0;
}

UINTN EFIAPI PcdGetSize(UINTN Token) {
  const UINTN index = SettingIndex(Token);
  if (index != kSettingCount) {
    return kDriverSettings[index].Width;
  }
  return Pcd() != nullptr ? Pcd()->GetSize(Token) : 0;
}

UINT8 EFIAPI PcdGet8Ex(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT8>(ServeCommBuffer());
  }
  return Pcd() != nullptr ? Pcd()->Get8Ex(Guid, Token) : 0;
}

UINT16 EFIAPI PcdGet16Ex(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT16>(ServeCommBuffer());
  }
  return Pcd() != nullptr ? Pcd()->Get16Ex(Guid, Token) : 0;
}

UINT32 EFIAPI PcdGet32Ex(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT32>(ServeCommBuffer());
  }
  return Pcd() != nullptr ? Pcd()->Get32Ex(Guid, Token) : 0;
}

UINT64 EFIAPI PcdGet64Ex(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return ServeCommBuffer();
  }
  return Pcd() != nullptr ? Pcd()->Get64Ex(Guid, Token) : 0;
}

VOID* EFIAPI PcdGetPtrEx(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return nullptr;
  }
  return Pcd() != nullptr ? Pcd()->GetPtrEx(Guid, Token) : nullptr;
}

BOOLEAN EFIAPI PcdGetBoolEx(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<BOOLEAN>(ServeCommBuffer());
  }
  return Pcd() != nullptr ? Pcd()->GetBoolEx(Guid, Token) : 0;
}

UINTN EFIAPI PcdGetSizeEx(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return 8;
  }
  return Pcd() != nullptr ? Pcd()->GetSizeEx(Guid, Token) : 0;
}

EFI_STATUS EFIAPI PcdSet8(UINTN Token, UINT8 Value) {
  if (ServeWrite(Token, Value, "Set8")) {
    return EFI_SUCCESS;
  }
  return Pcd() != nullptr ? Pcd()->Set8(Token, Value) : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI PcdSet16(UINTN Token, UINT16 Value) {
  if (ServeWrite(Token, Value, "Set16")) {
    return EFI_SUCCESS;
  }
  return Pcd() != nullptr ? Pcd()->Set16(Token, Value) : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI PcdSet32(UINTN Token, UINT32 Value) {
  if (ServeWrite(Token, Value, "Set32")) {
    return EFI_SUCCESS;
  }
  return Pcd() != nullptr ? Pcd()->Set32(Token, Value) : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI PcdSet64(UINTN Token, UINT64 Value) {
  if (ServeWrite(Token, Value, "Set64")) {
    return EFI_SUCCESS;
  }
  return Pcd() != nullptr ? Pcd()->Set64(Token, Value) : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI PcdSetPtr(UINTN Token, UINTN* SizeOfBuffer, VOID* Buffer) {
  if (SettingIndex(Token) != kSettingCount) {
    return EFI_INVALID_PARAMETER;
  }
  return Pcd() != nullptr ? Pcd()->SetPtr(Token, SizeOfBuffer, Buffer) : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI PcdSetBool(UINTN Token, BOOLEAN Value) {
  if (ServeWrite(Token, Value, "SetBool")) {
    return EFI_SUCCESS;
  }
  return Pcd() != nullptr ? Pcd()->SetBool(Token, Value) : EFI_UNSUPPORTED;
}

// EFI_PCD_PROTOCOL, by token space and token.
VOID EFIAPI EfiPcdSetSku(UINTN SkuId) {
  if (EfiPcd() != nullptr) {
    EfiPcd()->SetSku(SkuId);
  }
}

UINT8 EFIAPI EfiPcdGet8(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT8>(ServeCommBuffer());
  }
  return EfiPcd() != nullptr ? EfiPcd()->Get8(Guid, Token) : 0;
}

UINT16 EFIAPI EfiPcdGet16(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT16>(ServeCommBuffer());
  }
  return EfiPcd() != nullptr ? EfiPcd()->Get16(Guid, Token) : 0;
}

UINT32 EFIAPI EfiPcdGet32(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<UINT32>(ServeCommBuffer());
  }
  return EfiPcd() != nullptr ? EfiPcd()->Get32(Guid, Token) : 0;
}

UINT64 EFIAPI EfiPcdGet64(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return ServeCommBuffer();
  }
  return EfiPcd() != nullptr ? EfiPcd()->Get64(Guid, Token) : 0;
}

VOID* EFIAPI EfiPcdGetPtr(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return nullptr;
  }
  return EfiPcd() != nullptr ? EfiPcd()->GetPtr(Guid, Token) : nullptr;
}

BOOLEAN EFIAPI EfiPcdGetBool(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return static_cast<BOOLEAN>(ServeCommBuffer());
  }
  return EfiPcd() != nullptr ? EfiPcd()->GetBool(Guid, Token) : 0;
}

UINTN EFIAPI EfiPcdGetSize(const EFI_GUID* Guid, UINTN Token) {
  if (IsCommBufferToken(Guid, Token)) {
    return 8;
  }
  return EfiPcd() != nullptr ? EfiPcd()->GetSize(Guid, Token) : 0;
}

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
  ++gHarness.DebugMessages;
  Report line("debug");
  line.Hex("level", Level).Text("phase", gHarness.Phase);
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
      .Text("phase", gHarness.Phase)
      .Emit();
  gHarness.OriginalResetSystem(ResetType, ResetStatus, DataSize, ResetData);
}

// Installs Interface under Guid: on the handle that already carries the
// protocol (ReinstallProtocolInterface, remembering the original interface
// in *Original), or on a new handle when OVMF has none.
EFI_STATUS SwapInterface(const EFI_GUID& Guid, VOID* Interface, VOID** Original, const char** How) {
  EFI_BOOT_SERVICES* bs = gHarness.BootServices;
  *Original = nullptr;
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  EFI_STATUS status = bs->LocateHandleBuffer(ByProtocol, &Guid, nullptr, &count, &handles);
  if (!EFI_ERROR(status) && count != 0 && handles != nullptr) {
    const EFI_HANDLE handle = handles[0];
    bs->FreePool(handles);
    VOID* existing = nullptr;
    status = bs->HandleProtocol(handle, &Guid, &existing);
    if (EFI_ERROR(status)) {
      *How = "lookup-failed";
      return status;
    }
    *Original = existing;
    *How = "reinstalled";
    return bs->ReinstallProtocolInterface(handle, &Guid, existing, Interface);
  }
  EFI_HANDLE handle = nullptr;
  *How = "installed";
  return bs->InstallProtocolInterface(&handle, &Guid, EFI_NATIVE_INTERFACE, Interface);
}

}  // namespace

// --- Entry points of this file ---------------------------------------------------

void ProvideTscTable() {
  if (gHarness.Config.PublishTsc == FALSE) {
    Report("provided").Text("piece", "tsc-table").Flag("published", false).Emit();
    return;
  }
  UINT64 frequency = gHarness.Config.TscFrequency;
  if (gHarness.Config.MeasureTsc != FALSE) {
    // 20 ms of the firmware's own timer.
    const UINT64 start = platform::ReadTsc();
    gHarness.BootServices->Stall(20000);
    frequency = (platform::ReadTsc() - start) * 50;
  }
  VOID* block = nullptr;
  EFI_STATUS status = gHarness.BootServices->AllocatePool(EfiBootServicesData, sizeof(UINT64), &block);
  if (!EFI_ERROR(status) && block != nullptr) {
    support::WriteUnaligned<UINT64>(block, frequency);
    status = gHarness.BootServices->InstallConfigurationTable(&gTscFrequencyTableGuid, block);
    gHarness.TscTable = block;
  }
  Report("provided")
      .Text("piece", "tsc-table")
      .Flag("published", !EFI_ERROR(status))
      .Dec("frequency", frequency)
      .Flag("measured", gHarness.Config.MeasureTsc != FALSE)
      .Status("status", status)
      .Emit();
}

void ProvideSettings() {
  if (gHarness.Config.ProvideSettings == FALSE) {
    Report("provided").Text("piece", "settings").Flag("swapped", false).Emit();
    return;
  }
  PCD_PROTOCOL& pcd = gHarness.PcdWrapper;
  pcd.SetSku = PcdSetSku;
  pcd.Get8 = PcdGet8;
  pcd.Get16 = PcdGet16;
  pcd.Get32 = PcdGet32;
  pcd.Get64 = PcdGet64;
  pcd.GetPtr = PcdGetPtr;
  pcd.GetBool = PcdGetBool;
  pcd.GetSize = PcdGetSize;
  pcd.Get8Ex = PcdGet8Ex;
  pcd.Get16Ex = PcdGet16Ex;
  pcd.Get32Ex = PcdGet32Ex;
  pcd.Get64Ex = PcdGet64Ex;
  pcd.GetPtrEx = PcdGetPtrEx;
  pcd.GetBoolEx = PcdGetBoolEx;
  pcd.GetSizeEx = PcdGetSizeEx;
  pcd.Set8 = PcdSet8;
  pcd.Set16 = PcdSet16;
  pcd.Set32 = PcdSet32;
  pcd.Set64 = PcdSet64;
  pcd.SetPtr = PcdSetPtr;
  pcd.SetBool = PcdSetBool;

  EFI_PCD_PROTOCOL& efiPcd = gHarness.EfiPcdWrapper;
  efiPcd.SetSku = EfiPcdSetSku;
  efiPcd.Get8 = EfiPcdGet8;
  efiPcd.Get16 = EfiPcdGet16;
  efiPcd.Get32 = EfiPcdGet32;
  efiPcd.Get64 = EfiPcdGet64;
  efiPcd.GetPtr = EfiPcdGetPtr;
  efiPcd.GetBool = EfiPcdGetBool;
  efiPcd.GetSize = EfiPcdGetSize;

  // Everything not overridden above (the GUID-qualified writes, callbacks and
  // token enumeration) is OVMF's own; fill those slots from the originals
  // once they are known.
  VOID* original = nullptr;
  const char* pcdHow = "";
  const EFI_STATUS pcdStatus = SwapInterface(gPcdProtocolGuid, &pcd, &original, &pcdHow);
  gHarness.OriginalPcd = static_cast<PCD_PROTOCOL*>(original);
  if (gHarness.OriginalPcd != nullptr) {
    const PCD_PROTOCOL& o = *gHarness.OriginalPcd;
    pcd.Set8Ex = o.Set8Ex;
    pcd.Set16Ex = o.Set16Ex;
    pcd.Set32Ex = o.Set32Ex;
    pcd.Set64Ex = o.Set64Ex;
    pcd.SetPtrEx = o.SetPtrEx;
    pcd.SetBoolEx = o.SetBoolEx;
    pcd.CallbackOnSet = o.CallbackOnSet;
    pcd.CancelCallback = o.CancelCallback;
    pcd.GetNextToken = o.GetNextToken;
    pcd.GetNextTokenSpace = o.GetNextTokenSpace;
  }
  const char* efiPcdHow = "";
  const EFI_STATUS efiPcdStatus = SwapInterface(gEfiPcdProtocolGuid, &efiPcd, &original, &efiPcdHow);
  gHarness.OriginalEfiPcd = static_cast<EFI_PCD_PROTOCOL*>(original);
  if (gHarness.OriginalEfiPcd != nullptr) {
    const EFI_PCD_PROTOCOL& o = *gHarness.OriginalEfiPcd;
    efiPcd.Set8 = o.Set8;
    efiPcd.Set16 = o.Set16;
    efiPcd.Set32 = o.Set32;
    efiPcd.Set64 = o.Set64;
    efiPcd.SetPtr = o.SetPtr;
    efiPcd.SetBool = o.SetBool;
    efiPcd.CallbackOnSet = o.CallbackOnSet;
    efiPcd.CancelCallback = o.CancelCallback;
    efiPcd.GetNextToken = o.GetNextToken;
    efiPcd.GetNextTokenSpace = o.GetNextTokenSpace;
  }
  Report("provided")
      .Text("piece", "settings")
      .Flag("swapped", true)
      .Text("pcd", pcdHow)
      .Status("pcd-status", pcdStatus)
      .Text("efi-pcd", efiPcdHow)
      .Status("efi-pcd-status", efiPcdStatus)
      .Hex("comm-buffer", gHarness.CommBuffer)
      .Emit();
}

void ProvideDebugPrint() {
  if (gHarness.Config.ProvideDebugPrint == FALSE) {
    Report("provided").Text("piece", "debug-print").Flag("installed", false).Emit();
    return;
  }
  gHarness.DebugPrint.Print = DebugPrintMessage;
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = gHarness.BootServices->InstallProtocolInterface(&handle, &gDebugPrintProtocolGuid,
                                                                            EFI_NATIVE_INTERFACE, &gHarness.DebugPrint);
  Report("provided").Text("piece", "debug-print").Flag("installed", !EFI_ERROR(status)).Status("status", status).Emit();
}

void WatchResetSystem() {
  EFI_RUNTIME_SERVICES* rt = gHarness.RuntimeServices;
  gHarness.OriginalResetSystem = rt->ResetSystem;
  rt->ResetSystem = WatchedResetSystem;
  rt->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  if (!EFI_ERROR(gHarness.BootServices->CalculateCrc32(rt, rt->Hdr.HeaderSize, &crc))) {
    rt->Hdr.CRC32 = crc;
  }
}

UINT64 SettingValue(UINTN Token) {
  const UINTN index = SettingIndex(Token);
  return index == kSettingCount ? 0 : gHarness.Config.Settings[index];
}

void ReportSettingReads(const char* Phase) {
  Report line("pcd-reads");
  line.Text("phase", Phase);
  for (UINTN i = 0; i < kSettingCount; ++i) {
    TextBuffer key;
    key.AppendDecimal(kDriverSettings[i].Token);
    line.Dec(key.CStr(), gHarness.SettingReads[i]);
    gHarness.SettingReads[i] = 0;
  }
  line.Dec("comm-buffer", gHarness.CommBufferReads);
  gHarness.CommBufferReads = 0;
  line.Emit();
}

}  // namespace ftpm::harness
