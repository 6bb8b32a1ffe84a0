// Runtime services of the simulated platform: ResetSystem ends the run; the
// variable services keep a non-volatile store that a power cut can catch in
// the middle of a write.
#include <cstring>

#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

VOID EFIAPI ResetSystemThunk(EFI_RESET_TYPE type, EFI_STATUS status, UINTN, VOID*) {
  Machine& m = Machine::Current();
  m.runtime.Resets.push_back(ResetRecord{type, status});
  static const char* const kNames[] = {"cold", "warm", "shutdown", "platform-specific"};
  m.Stop(StopReason::Reset, type <= EfiResetPlatformSpecific ? kNames[type] : "unknown");
}

// Services the driver never calls.
EFI_STATUS EFIAPI GetTime(EFI_TIME*, EFI_TIME_CAPABILITIES*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetTime(EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetWakeupTime(BOOLEAN*, BOOLEAN*, EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetWakeupTime(BOOLEAN, EFI_TIME*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI SetVirtualAddressMap(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI ConvertPointer(UINTN, VOID**) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI GetVariable(CHAR16* name, EFI_GUID* vendor, UINT32* attributes, UINTN* size, VOID* data) {
  return Machine::Current().runtime.Variables.Get(name, vendor, attributes, size, data);
}
EFI_STATUS EFIAPI GetNextVariableName(UINTN* nameSize, CHAR16* name, EFI_GUID* vendor) {
  return Machine::Current().runtime.Variables.GetNextName(nameSize, name, vendor);
}
EFI_STATUS EFIAPI SetVariable(CHAR16* name, EFI_GUID* vendor, UINT32 attributes, UINTN size, VOID* data) {
  return Machine::Current().runtime.Variables.Set(name, vendor, attributes, size, data);
}
EFI_STATUS EFIAPI GetNextHighMonotonicCount(UINT32*) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI UpdateCapsule(EFI_CAPSULE_HEADER**, UINTN, EFI_PHYSICAL_ADDRESS) { return EFI_UNSUPPORTED; }
EFI_STATUS EFIAPI QueryCapsuleCapabilities(EFI_CAPSULE_HEADER**, UINTN, UINT64*, EFI_RESET_TYPE*) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI QueryVariableInfo(UINT32, UINT64*, UINT64*, UINT64*) { return EFI_UNSUPPORTED; }

constexpr UINT32 kKnownAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN kMaxNameLength = 512;

// The name up to its terminator, or nullopt for none, an empty one or one
// that never ends.
std::optional<std::u16string> NameOf(const CHAR16* name) {
  if (name == nullptr) {
    return std::nullopt;
  }
  std::u16string text;
  for (UINTN i = 0; i < kMaxNameLength; ++i) {
    if (name[i] == 0) {
      return text.empty() ? std::nullopt : std::optional<std::u16string>(text);
    }
    text.push_back(name[i]);
  }
  return std::nullopt;
}

}  // namespace

const Variable* VariableStore::Find(const EFI_GUID& vendor, std::u16string_view name) const {
  const auto it = Variables.find(Key{vendor, std::u16string(name)});
  return it != Variables.end() ? &it->second : nullptr;
}

void VariableStore::Put(const EFI_GUID& vendor, std::u16string_view name, UINT32 attributes, std::vector<UINT8> data) {
  Variables[Key{vendor, std::u16string(name)}] = Variable{attributes, std::move(data)};
}

void VariableStore::Remove(const EFI_GUID& vendor, std::u16string_view name) {
  Variables.erase(Key{vendor, std::u16string(name)});
}

EFI_STATUS VariableStore::Get(const CHAR16* name, const EFI_GUID* vendor, UINT32* attributes, UINTN* size,
                              void* data) const {
  const std::optional<std::u16string> key = NameOf(name);
  if (!key || vendor == nullptr || size == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (GetFailure) {
    return *GetFailure;
  }
  const Variable* variable = Find(*vendor, *key);
  if (variable == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (*size < variable->Data.size()) {
    *size = variable->Data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr && !variable->Data.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  if (!variable->Data.empty()) {
    std::memcpy(data, variable->Data.data(), variable->Data.size());
  }
  *size = variable->Data.size();
  if (attributes != nullptr) {
    *attributes = variable->Attributes;
  }
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::Set(const CHAR16* name, const EFI_GUID* vendor, UINT32 attributes, UINTN size,
                              const void* data) {
  const std::optional<std::u16string> key = NameOf(name);
  if (!key || vendor == nullptr || (size != 0 && data == nullptr) || (attributes & ~kKnownAttributes) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  const bool remove = size == 0 || attributes == 0;
  if (!remove && (attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 &&
      (attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (SetFailure) {
    return *SetFailure;
  }
  const Key where{*vendor, *key};
  const auto existing = Variables.find(where);
  if (existing != Variables.end() && !remove && existing->second.Attributes != attributes) {
    return EFI_INVALID_PARAMETER;
  }
  if (remove && existing == Variables.end()) {
    return EFI_NOT_FOUND;
  }
  const bool persistent = remove ? (existing->second.Attributes & EFI_VARIABLE_NON_VOLATILE) != 0
                                 : (attributes & EFI_VARIABLE_NON_VOLATILE) != 0;
  std::vector<UINT8> bytes(static_cast<const UINT8*>(data), static_cast<const UINT8*>(data) + (remove ? 0 : size));
  PowerSupply& power = Machine::Current().power;
  if (persistent && power.Begin(remove ? "variable-delete" : "variable-write", 0)) {
    // Cut in the middle of the write: what is left depends on the store.
    switch (power.Cut->Variable) {
      case TornVariable::KeepsOld:
        break;
      case TornVariable::TakesNew:
        if (remove) {
          Variables.erase(where);
        } else {
          Variables[where] = Variable{attributes, bytes};
        }
        break;
      case TornVariable::Vanishes:
        Variables.erase(where);
        break;
      case TornVariable::Mixes: {
        std::vector<UINT8> mixed = existing != Variables.end() ? existing->second.Data : std::vector<UINT8>{};
        mixed.resize(bytes.size(), 0xFF);
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), mixed.begin());
        if (remove) {
          Variables.erase(where);
        } else {
          Variables[where] = Variable{attributes, mixed};
        }
        break;
      }
    }
    power.LoseMidWrite();
  }
  if (remove) {
    Variables.erase(where);
  } else {
    Variables[where] = Variable{attributes, std::move(bytes)};
  }
  if (persistent) {
    power.End();
  }
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::GetNextName(UINTN* nameSize, CHAR16* name, EFI_GUID* vendor) const {
  if (nameSize == nullptr || name == nullptr || vendor == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // An empty name starts the walk; otherwise the walk goes on after the
  // variable named.
  std::u16string current;
  for (UINTN i = 0; i < *nameSize / sizeof(CHAR16) && name[i] != 0; ++i) {
    current.push_back(name[i]);
  }
  auto it = Variables.begin();
  if (!current.empty()) {
    it = Variables.find(Key{*vendor, current});
    if (it == Variables.end()) {
      return EFI_INVALID_PARAMETER;
    }
    ++it;
  }
  if (it == Variables.end()) {
    return EFI_NOT_FOUND;
  }
  const UINTN needed = (it->first.second.size() + 1) * sizeof(CHAR16);
  if (*nameSize < needed) {
    *nameSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(name, it->first.second.c_str(), needed);
  *vendor = it->first.first;
  *nameSize = needed;
  return EFI_SUCCESS;
}

RuntimeServicesSim::RuntimeServicesSim() {
  Table.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  Table.Hdr.Revision = (2U << 16) | 70U;
  Table.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  Table.GetTime = GetTime;
  Table.SetTime = SetTime;
  Table.GetWakeupTime = GetWakeupTime;
  Table.SetWakeupTime = SetWakeupTime;
  Table.SetVirtualAddressMap = SetVirtualAddressMap;
  Table.ConvertPointer = ConvertPointer;
  Table.GetVariable = GetVariable;
  Table.GetNextVariableName = GetNextVariableName;
  Table.SetVariable = SetVariable;
  Table.GetNextHighMonotonicCount = GetNextHighMonotonicCount;
  Table.ResetSystem = ResetSystemThunk;
  Table.UpdateCapsule = UpdateCapsule;
  Table.QueryCapsuleCapabilities = QueryCapsuleCapabilities;
  Table.QueryVariableInfo = QueryVariableInfo;
}

}  // namespace ftpm::sim
