// Boot-script record and lock-box support: the shared description of the
// platform's S3 boot-script table and what happens to it at ready-to-lock.
//
// Every boot component carrying this support shares one ScriptTableRecord
// through setting 939; inside SMRAM an SMM copy is shared through setting 940.
// This driver writes no boot-script entries: it terminates, locks and fixes
// the length of whatever table the shared record names.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

// The shared record. Other components reach it by address.
struct ScriptTableRecord {
  UINT64 ScriptAddress;     // the boot-script table; 0 while there is none
  UINT32 ScriptUsedLength;  // bytes in use, not counting the terminating entry
  UINT16 ScriptPageCount;   // 4 KiB pages reserved for the table
  UINT8 SmmOwned;           // 1 in the SMM copy once SMM has taken the record over
  UINT8 LengthFixed;        // set by ScriptFixLength
  UINT32 FixedLength;       // ScriptUsedLength + 3, recorded by ScriptFixLength
  UINT8 ReadyToLockSeen;    // set by ScriptReadyToLock
  UINT8 AttributeUpdate;    // 1 only while ScriptFixLength updates a lock-box attribute
  UINT8 Reserved[2];
};
static_assert(sizeof(ScriptTableRecord) == 24);
static_assert(offsetof(ScriptTableRecord, ScriptUsedLength) == 8);
static_assert(offsetof(ScriptTableRecord, ScriptPageCount) == 12);
static_assert(offsetof(ScriptTableRecord, SmmOwned) == 14);
static_assert(offsetof(ScriptTableRecord, LengthFixed) == 15);
static_assert(offsetof(ScriptTableRecord, FixedLength) == 16);
static_assert(offsetof(ScriptTableRecord, ReadyToLockSeen) == 20);
static_assert(offsetof(ScriptTableRecord, AttributeUpdate) == 21);

// The two things of the boot-script table format this support relies on: the
// 32-bit total length at byte offset 5, and the three-byte terminating entry
// (opcode 0x00FF stored FF 00, then length 3).
inline constexpr UINTN kScriptTableLengthOffset = 5;
inline constexpr UINT16 kScriptTerminateOpcode = 0x00FF;
inline constexpr UINT8 kScriptTerminateLength = 3;

// One lock box: fields back to back, without padding.
#pragma pack(push, 1)
struct LockBoxEntry {
  EFI_GUID Name;
  UINT64 RestoreAddress;
  UINT64 SavedAddress;  // the saved copy
  UINT32 Length;
  UINT64 Attributes;
};
#pragma pack(pop)
static_assert(sizeof(LockBoxEntry) == 44);
static_assert(offsetof(LockBoxEntry, RestoreAddress) == 16);
static_assert(offsetof(LockBoxEntry, SavedAddress) == 24);
static_assert(offsetof(LockBoxEntry, Length) == 32);
static_assert(offsetof(LockBoxEntry, Attributes) == 36);

inline constexpr UINT64 kLockBoxRestoreInPlace = 1;  // attribute bit 0
inline constexpr UINT64 kLockBoxMaxLength = 0xFFFFFFFFULL;

struct BootScriptState {
  ScriptTableRecord* Current;  // the record, or the SMM copy once SMM took over
  ScriptTableRecord* SmmCopy;
  ScriptTableRecord* RecordPage;  // the page this component reserved, when it did
  EFI_SMM_SYSTEM_TABLE2* Smst;
  EFI_EVENT ReadyToLockEvent;  // created by this component
  VOID* FixLengthRegistrationA;
  VOID* FixLengthRegistrationB;
  VOID* SmmReadyToLockRegistration;
  BOOLEAN OwnsRecordPage;
  BOOLEAN OwnsSmmCopy;
  // The lock-box store: entries in [LockBoxStart, LockBoxEnd). Nothing in this
  // driver gives it capacity, so it stays empty.
  UINT64 LockBoxStart;
  UINT64 LockBoxEnd;
};
extern constinit BootScriptState gBootScriptState;

// Creates a TPL_CALLBACK signal event for NotifyFunction, registers it for the
// DXE SMM ready-to-lock protocol (key stored at Registration) and signals it
// once. Returns the event, or NULL when none was created.
EFI_EVENT CreateReadyToLockNotify(EFI_EVENT_NOTIFY NotifyFunction, VOID** Registration);

// Start-up step; always EFI_SUCCESS.
EFI_STATUS BootScriptStartUp();
// Last link of the shut-down chain: undoes what start-up created.
void BootScriptShutDown();

// Writes the terminating entry after the used part of the current record's
// table and stores the total length. Returns the table address, or 0 when
// there is no table (or the record's lengths do not fit its pages).
UINT64 TerminateScriptTable();

// DXE ready-to-lock notify function: terminates and locks the table once.
VOID EFIAPI ScriptReadyToLock(EFI_EVENT Event, VOID* Context);
// SMM notify functions: SMM takes the record over; the table length is fixed.
EFI_STATUS EFIAPI ScriptSmmReadyToLock(const EFI_GUID* Protocol, VOID* Interface, EFI_HANDLE Handle);
EFI_STATUS EFIAPI ScriptFixLength(const EFI_GUID* Protocol, VOID* Interface, EFI_HANDLE Handle);

// The entry named Guid, or the first entry of length 0, or NULL at the end of
// the store. Callers treat an entry of length 0 as no entry.
LockBoxEntry* LockBoxFind(const EFI_GUID* Guid);
EFI_STATUS LockBoxSave(const EFI_GUID* Guid, const VOID* Buffer, UINT64 Length);
// Buffer and Length both NULL: restore in place.
EFI_STATUS LockBoxRestore(const EFI_GUID* Guid, VOID* Buffer, UINTN* Length);

}  // namespace ftpm::support
