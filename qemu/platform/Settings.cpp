// The settings protocols as the driver needs them: PCD_PROTOCOL and
// EFI_PCD_PROTOCOL swapped (ReinstallProtocolInterface) for wrappers that
// serve the driver's tokens and SmmCommBufferAddress, and pass every other
// token to the firmware's own interfaces.
#include "platform/Guids.h"
#include "platform/Hardware.h"
#include "qemu/platform/Platform.h"
#include "support/Memory.h"

namespace ftpm::qemu {

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
  ++gPlatform.SettingReads[index];
  *Value = gPlatform.Config.Settings[index];
  return true;
}

bool ServeWrite(UINTN Token, UINT64 Value, const char* Access) {
  const UINTN index = SettingIndex(Token);
  if (index == kSettingCount) {
    return false;
  }
  gPlatform.Config.Settings[index] = Value;
  Report("pcd-set")
      .Dec("token", Token)
      .Hex("value", Value)
      .Text("access", Access)
      .Text("phase", gPlatform.Phase)
      .Emit();
  return true;
}

UINT64 ServeCommBuffer() {
  ++gPlatform.CommBufferReads;
  return gPlatform.CommBuffer;
}

PCD_PROTOCOL* Pcd() { return gPlatform.OriginalPcd; }
EFI_PCD_PROTOCOL* EfiPcd() { return gPlatform.OriginalEfiPcd; }

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

EFI_STATUS SwapInterface(const EFI_GUID& Guid, VOID* Interface, VOID** Original, const char** How) {
  EFI_BOOT_SERVICES* bs = gPlatform.BootServices;
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

void ProvideSettings() {
  if (gPlatform.Config.ProvideSettings == FALSE) {
    Report("provided").Text("piece", "settings").Flag("swapped", false).Emit();
    return;
  }
  PCD_PROTOCOL& pcd = gPlatform.PcdWrapper;
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

  EFI_PCD_PROTOCOL& efiPcd = gPlatform.EfiPcdWrapper;
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
  gPlatform.OriginalPcd = static_cast<PCD_PROTOCOL*>(original);
  if (gPlatform.OriginalPcd != nullptr) {
    const PCD_PROTOCOL& o = *gPlatform.OriginalPcd;
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
  gPlatform.OriginalEfiPcd = static_cast<EFI_PCD_PROTOCOL*>(original);
  if (gPlatform.OriginalEfiPcd != nullptr) {
    const EFI_PCD_PROTOCOL& o = *gPlatform.OriginalEfiPcd;
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
      .Hex("comm-buffer", gPlatform.CommBuffer)
      .Emit();
}

UINT64 SettingValue(UINTN Token) {
  const UINTN index = SettingIndex(Token);
  return index == kSettingCount ? 0 : gPlatform.Config.Settings[index];
}

void ReportSettingReads(const char* Phase) {
  Report line("pcd-reads");
  line.Text("phase", Phase);
  for (UINTN i = 0; i < kSettingCount; ++i) {
    TextBuffer key;
    key.AppendDecimal(kDriverSettings[i].Token);
    line.Dec(key.CStr(), gPlatform.SettingReads[i]);
    gPlatform.SettingReads[i] = 0;
  }
  line.Dec("comm-buffer", gPlatform.CommBufferReads);
  gPlatform.CommBufferReads = 0;
  line.Emit();
}

void SetSettingValue(UINTN Token, UINT64 Value) {
  const UINTN index = SettingIndex(Token);
  if (index != kSettingCount) {
    gPlatform.Config.Settings[index] = Value;
  }
}

void ReportSettingCollisions() {
  // The firmware's own token numbers (its default token space), walked with
  // GetNextToken from the first; the walk is bounded in case a database
  // loops.
  constexpr UINTN kMaxTokens = 0x10000;
  VOID* found = nullptr;
  Report line("settings-collisions");
  EFI_STATUS status = gPlatform.BootServices->LocateProtocol(&gPcdProtocolGuid, nullptr, &found);
  if (EFI_ERROR(status) || found == nullptr) {
    line.Status("status", EFI_ERROR(status) ? status : EFI_NOT_FOUND).Emit();
    return;
  }
  auto* pcd = static_cast<PCD_PROTOCOL*>(found);
  UINTN token = 0;
  UINTN count = 0;
  UINTN highest = 0;
  UINTN collisions = 0;
  TextBuffer colliding;
  for (; count < kMaxTokens; ++count) {
    status = pcd->GetNextToken(nullptr, &token);
    if (EFI_ERROR(status) || token == 0) {
      break;
    }
    highest = token > highest ? token : highest;
    if (SettingIndex(token) != kSettingCount) {
      if (collisions != 0) {
        colliding.AppendChar(',');
      }
      colliding.AppendDecimal(token);
      ++collisions;
    }
  }
  line.Dec("firmware-tokens", count).Dec("highest", highest).Dec("count", collisions);
  line.Text("tokens", collisions != 0 ? colliding.CStr() : "none");
  line.Status("status", status == EFI_NOT_FOUND ? EFI_SUCCESS : status).Emit();
}

}  // namespace ftpm::qemu
