// The simulated settings store behind PCD_PROTOCOL and EFI_PCD_PROTOCOL. A
// token that was never set reads 0. Every access is logged.
#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

SettingsSim& S() { return Machine::Current().settings; }

UINT64 WidthMask(unsigned width) { return width == 0 ? 1 : (width >= 8 ? ~0ULL : ((1ULL << (8 * width)) - 1)); }

// --- PCD_PROTOCOL ------------------------------------------------------------
VOID EFIAPI SetSku(UINTN) {}
UINT8 EFIAPI Get8(UINTN t) { return static_cast<UINT8>(S().Read(t, 1)); }
UINT16 EFIAPI Get16(UINTN t) { return static_cast<UINT16>(S().Read(t, 2)); }
UINT32 EFIAPI Get32(UINTN t) { return static_cast<UINT32>(S().Read(t, 4)); }
UINT64 EFIAPI Get64(UINTN t) { return S().Read(t, 8); }
VOID* EFIAPI GetPtr(UINTN t) { return reinterpret_cast<VOID*>(S().Read(t, 8)); }
BOOLEAN EFIAPI GetBool(UINTN t) { return static_cast<BOOLEAN>(S().Read(t, 0)); }
UINTN EFIAPI GetSize(UINTN) { return 8; }
UINT8 EFIAPI Get8Ex(const EFI_GUID* g, UINTN t) { return static_cast<UINT8>(S().Read(t, 1, true, g)); }
UINT16 EFIAPI Get16Ex(const EFI_GUID* g, UINTN t) { return static_cast<UINT16>(S().Read(t, 2, true, g)); }
UINT32 EFIAPI Get32Ex(const EFI_GUID* g, UINTN t) { return static_cast<UINT32>(S().Read(t, 4, true, g)); }
UINT64 EFIAPI Get64Ex(const EFI_GUID* g, UINTN t) { return S().Read(t, 8, true, g); }
VOID* EFIAPI GetPtrEx(const EFI_GUID* g, UINTN t) { return reinterpret_cast<VOID*>(S().Read(t, 8, true, g)); }
BOOLEAN EFIAPI GetBoolEx(const EFI_GUID* g, UINTN t) { return static_cast<BOOLEAN>(S().Read(t, 0, true, g)); }
UINTN EFIAPI GetSizeEx(const EFI_GUID*, UINTN) { return 8; }
EFI_STATUS EFIAPI Set8(UINTN t, UINT8 v) { return S().Write(t, 1, v); }
EFI_STATUS EFIAPI Set16(UINTN t, UINT16 v) { return S().Write(t, 2, v); }
EFI_STATUS EFIAPI Set32(UINTN t, UINT32 v) { return S().Write(t, 4, v); }
EFI_STATUS EFIAPI Set64(UINTN t, UINT64 v) { return S().Write(t, 8, v); }
EFI_STATUS EFIAPI SetPtr(UINTN, UINTN*, VOID*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetBool(UINTN t, BOOLEAN v) { return S().Write(t, 0, v); }
EFI_STATUS EFIAPI Set8Ex(const EFI_GUID* g, UINTN t, UINT8 v) { return S().Write(t, 1, v, true, g); }
EFI_STATUS EFIAPI Set16Ex(const EFI_GUID* g, UINTN t, UINT16 v) { return S().Write(t, 2, v, true, g); }
EFI_STATUS EFIAPI Set32Ex(const EFI_GUID* g, UINTN t, UINT32 v) { return S().Write(t, 4, v, true, g); }
EFI_STATUS EFIAPI Set64Ex(const EFI_GUID* g, UINTN t, UINT64 v) { return S().Write(t, 8, v, true, g); }
EFI_STATUS EFIAPI SetPtrEx(const EFI_GUID*, UINTN, UINTN*, VOID*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetBoolEx(const EFI_GUID* g, UINTN t, BOOLEAN v) { return S().Write(t, 0, v, true, g); }
EFI_STATUS EFIAPI CallbackOnSet(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI CancelCallback(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetNextToken(const EFI_GUID*, UINTN*) { return EFI_NOT_FOUND; }
EFI_STATUS EFIAPI GetNextTokenSpace(const EFI_GUID**) { return EFI_NOT_FOUND; }

// --- EFI_PCD_PROTOCOL: the same store, GUID-qualified ---------------------------
EFI_STATUS EFIAPI ExCallbackOnSet(const EFI_GUID*, UINTN, EFI_PCD_PROTOCOL_CALLBACK) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ExCancelCallback(const EFI_GUID*, UINTN, EFI_PCD_PROTOCOL_CALLBACK) { return EFI_UNSUPPORTED; }

}  // namespace

SettingsSim::SettingsSim() {
  Pcd =
      PCD_PROTOCOL{SetSku,  Get8,     Get16,     Get32,         Get64,          GetPtr,       GetBool,          GetSize,
                   Get8Ex,  Get16Ex,  Get32Ex,   Get64Ex,       GetPtrEx,       GetBoolEx,    GetSizeEx,        Set8,
                   Set16,   Set32,    Set64,     SetPtr,        SetBool,        Set8Ex,       Set16Ex,          Set32Ex,
                   Set64Ex, SetPtrEx, SetBoolEx, CallbackOnSet, CancelCallback, GetNextToken, GetNextTokenSpace};
  EfiPcd = EFI_PCD_PROTOCOL{SetSku,    Get8Ex,    Get16Ex,         Get32Ex,          Get64Ex,      GetPtrEx,
                            GetBoolEx, GetSizeEx, Set8Ex,          Set16Ex,          Set32Ex,      Set64Ex,
                            SetPtrEx,  SetBoolEx, ExCallbackOnSet, ExCancelCallback, GetNextToken, GetNextTokenSpace};
}

UINT64 SettingsSim::Get(UINTN token) const {
  auto it = tokens_.find(token);
  return it == tokens_.end() ? 0 : it->second;
}

UINT64 SettingsSim::GetGuided(const EFI_GUID& space, UINTN token) const {
  auto it = guided_.find({space, token});
  return it == guided_.end() ? 0 : it->second;
}

bool SettingsSim::WasRead(UINTN token) const {
  for (const auto& access : Log) {
    if (!access.Guided && !access.Write && access.Token == token) {
      return true;
    }
  }
  return false;
}

UINT64 SettingsSim::Read(UINTN token, unsigned width, bool guided, const EFI_GUID* space) {
  const EFI_GUID tokenSpace = space != nullptr ? *space : EFI_GUID{};
  UINT64 value = guided ? GetGuided(tokenSpace, token) : Get(token);
  value = width == 0 ? (value != 0 ? 1 : 0) : (value & WidthMask(width));
  Log.push_back(SettingAccess{guided, tokenSpace, token, width, false, value});
  return value;
}

EFI_STATUS SettingsSim::Write(UINTN token, unsigned width, UINT64 value, bool guided, const EFI_GUID* space) {
  const EFI_GUID tokenSpace = space != nullptr ? *space : EFI_GUID{};
  value &= WidthMask(width);
  Log.push_back(SettingAccess{guided, tokenSpace, token, width, true, value});
  if (guided) {
    guided_[{tokenSpace, token}] = value;
  } else {
    tokens_[token] = value;
  }
  return EFI_SUCCESS;
}

}  // namespace ftpm::sim
