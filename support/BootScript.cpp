#include "support/BootScript.h"

#include "platform/Guids.h"
#include "support/Firmware.h"
#include "support/Memory.h"
#include "support/Settings.h"

namespace ftpm::support {

constinit BootScriptState gBootScriptState{};

namespace {

// Other components reach the record through a 32-bit address.
constexpr EFI_PHYSICAL_ADDRESS kRecordAddressLimit = 0xFFFFFFFF;

// Marks the lock box Guid restore-in-place, when the store has it.
void MarkRestoreInPlace(const EFI_GUID* Guid) {
  LockBoxEntry* entry = LockBoxFind(Guid);
  if (entry != nullptr && entry->Length != 0) {
    entry->Attributes = kLockBoxRestoreInPlace;
  }
}

// Registers an SMM notification; the key, or NULL when it was refused.
VOID* RegisterSmmNotify(EFI_SMM_SYSTEM_TABLE2* Smst, const EFI_GUID& Guid, EFI_SMM_NOTIFY_FN Function) {
  VOID* registration = nullptr;
  if (EFI_ERROR(Smst->SmmRegisterProtocolNotify(&Guid, Function, &registration))) {
    return nullptr;
  }
  return registration;
}

// Removes an SMM notification this component registered, and forgets its key.
void UnregisterSmmNotify(EFI_SMM_SYSTEM_TABLE2* Smst, const EFI_GUID& Guid, VOID** Registration) {
  if (*Registration == nullptr) {
    return;
  }
  Smst->SmmRegisterProtocolNotify(&Guid, nullptr, Registration);
  *Registration = nullptr;
}

// The SMM half of start-up, run only inside SMRAM: the SMM copy of the record
// and the three SMM notifications.
void SmmStartUp() {
  BootScriptState& state = gBootScriptState;
  auto* smmBase = static_cast<EFI_SMM_BASE2_PROTOCOL*>(LocateInterface(gEfiSmmBase2ProtocolGuid));
  if (smmBase == nullptr) {
    return;
  }
  BOOLEAN inSmram = FALSE;
  if (EFI_ERROR(smmBase->InSmm(smmBase, &inSmram)) || inSmram == FALSE) {
    return;
  }
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  if (EFI_ERROR(smmBase->GetSmstLocation(smmBase, &smst)) || smst == nullptr) {
    return;
  }
  state.Smst = smst;

  UINT64 copy = SettingGet64(kScriptSmmRecordAddress);
  if (copy == 0) {
    VOID* pool = nullptr;
    if (EFI_ERROR(smst->SmmAllocatePool(EfiRuntimeServicesData, sizeof(ScriptTableRecord), &pool)) || pool == nullptr) {
      // No SMM copy: setting 940 stays 0 and no SMM notification would have
      // a record to work on, so none is registered.
      return;
    }
    state.OwnsSmmCopy = TRUE;
    SettingSet64(kScriptSmmRecordAddress, PointerToAddress(pool));
    ZeroMem(pool, sizeof(ScriptTableRecord));
    state.FixLengthRegistrationA = RegisterSmmNotify(smst, gScriptFixLengthTriggerGuidA, ScriptFixLength);
    state.FixLengthRegistrationB = RegisterSmmNotify(smst, gScriptFixLengthTriggerGuidB, ScriptFixLength);
    copy = PointerToAddress(pool);
  }
  state.SmmCopy = AddressToPointer<ScriptTableRecord>(copy);
  state.SmmReadyToLockRegistration = RegisterSmmNotify(smst, gEfiSmmReadyToLockProtocolGuid, ScriptSmmReadyToLock);
}

}  // namespace

EFI_EVENT CreateReadyToLockNotify(EFI_EVENT_NOTIFY NotifyFunction, VOID** Registration) {
  EFI_BOOT_SERVICES* bs = BootServices();
  EFI_EVENT event = nullptr;
  if (EFI_ERROR(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, NotifyFunction, nullptr, &event))) {
    return nullptr;
  }
  if (event == nullptr) {
    return nullptr;
  }
  bs->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, event, Registration);
  // Below TPL_CALLBACK the notify function runs before SignalEvent returns.
  bs->SignalEvent(event);
  return event;
}

EFI_STATUS BootScriptStartUp() {
  BootScriptState& state = gBootScriptState;
  UINT64 record = SettingGet64(kScriptRecordAddress);
  if (record == 0) {
    EFI_PHYSICAL_ADDRESS page = kRecordAddressLimit;
    if (EFI_ERROR(BootServices()->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 1, &page)) || page == 0) {
      // No record to share: setting 939 stays 0 so that a later component
      // creates one, and nothing here can act without a record.
      return EFI_SUCCESS;
    }
    state.RecordPage = AddressToPointer<ScriptTableRecord>(page);
    state.OwnsRecordPage = TRUE;
    SettingSet64(kScriptRecordAddress, page);
    ZeroMem(state.RecordPage, sizeof(ScriptTableRecord));
    // Current before the event exists: its notify function may run during
    // creation.
    state.Current = state.RecordPage;
    VOID* registration = nullptr;
    state.ReadyToLockEvent = CreateReadyToLockNotify(ScriptReadyToLock, &registration);
    record = page;
  }
  state.Current = AddressToPointer<ScriptTableRecord>(record);
  SmmStartUp();
  return EFI_SUCCESS;
}

void BootScriptShutDown() {
  BootScriptState& state = gBootScriptState;
  if (state.ReadyToLockEvent != nullptr) {
    BootServices()->CloseEvent(state.ReadyToLockEvent);
    state.ReadyToLockEvent = nullptr;
  }
  if (state.Smst != nullptr) {
    UnregisterSmmNotify(state.Smst, gScriptFixLengthTriggerGuidA, &state.FixLengthRegistrationA);
    UnregisterSmmNotify(state.Smst, gScriptFixLengthTriggerGuidB, &state.FixLengthRegistrationB);
    UnregisterSmmNotify(state.Smst, gEfiSmmReadyToLockProtocolGuid, &state.SmmReadyToLockRegistration);
  }
  if (state.OwnsRecordPage != FALSE) {
    BootServices()->FreePages(PointerToAddress(state.RecordPage), 1);
    SettingSet64(kScriptRecordAddress, 0);
    if (state.Current == state.RecordPage) {
      state.Current = nullptr;
    }
    state.RecordPage = nullptr;
    state.OwnsRecordPage = FALSE;
  }
  if (state.Smst != nullptr && state.OwnsSmmCopy != FALSE) {
    state.Smst->SmmFreePool(state.SmmCopy);
    SettingSet64(kScriptSmmRecordAddress, 0);
    if (state.Current == state.SmmCopy) {
      state.Current = nullptr;
    }
    state.SmmCopy = nullptr;
    state.OwnsSmmCopy = FALSE;
  }
}

UINT64 TerminateScriptTable() {
  const ScriptTableRecord* record = gBootScriptState.Current;
  if (record == nullptr || record->ScriptAddress == 0) {
    return 0;
  }
  // The record comes from other components: write nothing outside the pages
  // it says the table has.
  const UINT64 capacity = static_cast<UINT64>(record->ScriptPageCount) * EFI_PAGE_SIZE;
  const UINT64 used = record->ScriptUsedLength;
  if (capacity < kScriptTableLengthOffset + sizeof(UINT32) || used + kScriptTerminateLength > capacity) {
    return 0;
  }
  auto* table = AddressToPointer<UINT8>(record->ScriptAddress);
  WriteUnaligned<UINT16>(table + used, kScriptTerminateOpcode);
  table[used + 2] = kScriptTerminateLength;
  // Not advanced: the next appended entry overwrites the terminator.
  WriteUnaligned<UINT32>(table + kScriptTableLengthOffset, static_cast<UINT32>(used + kScriptTerminateLength));
  return record->ScriptAddress;
}

VOID EFIAPI ScriptReadyToLock(EFI_EVENT /*Event*/, VOID* /*Context*/) {
  VOID* found = nullptr;
  if (EFI_ERROR(BootServices()->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &found))) {
    return;  // the signal at creation, before ready-to-lock
  }
  ScriptTableRecord* record = gBootScriptState.Current;
  if (record == nullptr || record->ReadyToLockSeen != 0) {
    return;  // the event stays open; later signals do nothing
  }
  TerminateScriptTable();
  record->ReadyToLockSeen = 1;
  LockBoxSave(&gLockBoxScriptTableGuid, AddressToPointer<VOID>(record->ScriptAddress),
              static_cast<UINT64>(record->ScriptPageCount) * EFI_PAGE_SIZE);
  MarkRestoreInPlace(&gLockBoxScriptTableGuid);
  MarkRestoreInPlace(&gLockBoxReadyToLockGuid);
}

EFI_STATUS EFIAPI ScriptSmmReadyToLock(const EFI_GUID* /*Protocol*/, VOID* /*Interface*/, EFI_HANDLE /*Handle*/) {
  BootScriptState& state = gBootScriptState;
  if (state.SmmCopy == nullptr || state.Current == state.SmmCopy) {
    return EFI_SUCCESS;
  }
  ScriptReadyToLock(nullptr, nullptr);
  if (state.SmmCopy->ScriptAddress == 0) {
    if (state.Current != nullptr) {
      CopyMem(state.SmmCopy, state.Current, sizeof(ScriptTableRecord));
    }
    state.SmmCopy->SmmOwned = 1;
  }
  state.Current = state.SmmCopy;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ScriptFixLength(const EFI_GUID* /*Protocol*/, VOID* /*Interface*/, EFI_HANDLE /*Handle*/) {
  ScriptTableRecord* record = gBootScriptState.Current;
  if (record == nullptr || record->LengthFixed != 0) {
    return EFI_SUCCESS;
  }
  record->FixedLength = record->ScriptUsedLength + kScriptTerminateLength;
  LockBoxRestore(&gLockBoxScriptTableGuid, nullptr, nullptr);
  LockBoxSave(&gLockBoxUsedScriptGuid, AddressToPointer<VOID>(record->ScriptAddress), record->FixedLength);
  record->LengthFixed = 1;
  record->AttributeUpdate = 1;
  MarkRestoreInPlace(&gLockBoxFixLengthGuid);
  record->AttributeUpdate = 0;
  return EFI_SUCCESS;
}

LockBoxEntry* LockBoxFind(const EFI_GUID* Guid) {
  const UINT64 end = gBootScriptState.LockBoxEnd;
  UINT64 cursor = gBootScriptState.LockBoxStart;
  // Only whole entries inside the store are read.
  while (cursor != 0 && cursor < end && end - cursor >= sizeof(LockBoxEntry)) {
    auto* entry = AddressToPointer<LockBoxEntry>(cursor);
    if (entry->Length == 0 || CompareGuid(AddressToPointer<const EFI_GUID>(cursor), Guid) != FALSE) {
      return entry;
    }
    cursor += sizeof(LockBoxEntry);
  }
  return nullptr;
}

EFI_STATUS LockBoxSave(const EFI_GUID* Guid, const VOID* Buffer, UINT64 Length) {
  if (Guid == nullptr || Buffer == nullptr || Length == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (Length > kLockBoxMaxLength) {
    return EFI_OUT_OF_RESOURCES;
  }
  const LockBoxEntry* entry = LockBoxFind(Guid);
  if (entry != nullptr && entry->Length != 0) {
    return EFI_ALREADY_STARTED;
  }
  // The store has no room for new entries.
  return EFI_OUT_OF_RESOURCES;
}

EFI_STATUS LockBoxRestore(const EFI_GUID* Guid, VOID* Buffer, UINTN* Length) {
  if (Guid == nullptr || (Buffer == nullptr) != (Length == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  const LockBoxEntry* entry = LockBoxFind(Guid);
  if (entry == nullptr || entry->Length == 0) {
    return EFI_NOT_FOUND;
  }
  VOID* target = Buffer;
  if (Buffer == nullptr) {
    if ((entry->Attributes & kLockBoxRestoreInPlace) == 0) {
      return EFI_WRITE_PROTECTED;
    }
    target = AddressToPointer<VOID>(entry->RestoreAddress);
  }
  const UINT32 length = entry->Length;
  if (Length != nullptr) {
    const UINTN given = *Length;
    *Length = length;
    if (given < length) {
      return EFI_BUFFER_TOO_SMALL;
    }
  }
  const VOID* saved = AddressToPointer<const VOID>(entry->SavedAddress);
  if (target != saved) {
    CopyMem(target, saved, length);
  }
  return EFI_SUCCESS;
}

}  // namespace ftpm::support
