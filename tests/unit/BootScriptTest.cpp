// The boot-script record: start-up in and outside SMRAM, the ready-to-lock
// moments, termination of the table, the lock-box operations over an empty
// and a filled store, and the shut-down that undoes exactly what start-up did.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BootScript.h"

namespace ftpm::support {
namespace {

using sim::Machine;
using sim::MachineConfig;
using sim::Op;

ScriptTableRecord* RecordAt(UINT64 address) { return reinterpret_cast<ScriptTableRecord*>(address); }
UINT64 AddressOf(const void* pointer) { return reinterpret_cast<UINT64>(pointer); }

size_t Locates(const Machine& m, const EFI_GUID& guid) {
  return static_cast<size_t>(std::count(m.boot.LocateLog.begin(), m.boot.LocateLog.end(), guid));
}

bool Touched(const Machine& m, UINTN token) {
  return std::any_of(m.settings.Log.begin(), m.settings.Log.end(),
                     [token](const sim::SettingAccess& a) { return !a.Guided && a.Token == token; });
}

bool Written(const Machine& m, UINTN token) {
  return std::any_of(m.settings.Log.begin(), m.settings.Log.end(),
                     [token](const sim::SettingAccess& a) { return !a.Guided && a.Write && a.Token == token; });
}

void InstallDxeReadyToLock(Machine& m) {
  m.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, m.PresenceInterface(gEfiDxeSmmReadyToLockProtocolGuid));
}

MachineConfig InSmram() {
  MachineConfig config;
  config.SmmBase2 = true;
  return config;
}

// A boot-script table that another component writes and describes in the
// shared record.
struct ScriptTable {
  explicit ScriptTable(UINT16 pages = 1) : bytes(pages * EFI_PAGE_SIZE + 16, 0xCC), pages(pages) {}
  void DescribeIn(ScriptTableRecord* record, UINT32 used) const {
    record->ScriptAddress = AddressOf(bytes.data());
    record->ScriptUsedLength = used;
    record->ScriptPageCount = pages;
  }
  UINT32 LengthField() const {
    UINT32 value = 0;
    std::memcpy(&value, bytes.data() + kScriptTableLengthOffset, 4);
    return value;
  }
  bool Untouched() const {
    return std::all_of(bytes.begin(), bytes.end(), [](UINT8 b) { return b == 0xCC; });
  }
  std::vector<UINT8> bytes;
  UINT16 pages;
};

// Starts the support with a fresh record, in which another component then
// describes its table.
ScriptTableRecord* StartWith(const Machine& m, const ScriptTable& script, UINT32 used) {
  BootScriptStartUp();
  ScriptTableRecord* record = RecordAt(m.settings.Get(939));
  script.DescribeIn(record, used);
  return record;
}

// --- Start-up -----------------------------------------------------------------

TEST(BootScriptStartUp, CreatesAZeroedRecordPageBelow4GiBAndSignalsOnce) {
  Machine m;
  m.LoadDriverImage();
  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);

  const UINT64 address = m.settings.Get(939);
  ASSERT_NE(address, 0U);
  EXPECT_LE(address + EFI_PAGE_SIZE - 1, 0xFFFFFFFFULL);
  auto it = m.boot.Outstanding().find(reinterpret_cast<void*>(address));
  ASSERT_NE(it, m.boot.Outstanding().end());
  EXPECT_TRUE(it->second.Pages);
  EXPECT_EQ(it->second.Type, EfiReservedMemoryType);
  EXPECT_EQ(it->second.Size, EFI_PAGE_SIZE);
  // Fresh simulated memory is not zero: the record was cleared.
  const std::vector<UINT8> zero(sizeof(ScriptTableRecord), 0);
  EXPECT_EQ(std::memcmp(RecordAt(address), zero.data(), zero.size()), 0);

  EXPECT_EQ(gBootScriptState.Current, RecordAt(address));
  EXPECT_EQ(m.boot.OpenEvents(), 1U);
  EXPECT_EQ(m.boot.RegistrationsFor(gEfiDxeSmmReadyToLockProtocolGuid), 1U);
  // The signal at creation ran the notify function once; without the
  // protocol it returned at once.
  EXPECT_EQ(Locates(m, gEfiDxeSmmReadyToLockProtocolGuid), 1U);
  EXPECT_EQ(RecordAt(address)->ReadyToLockSeen, 0);
}

TEST(BootScriptStartUp, ReadyToLockAlreadyInstalledActsDuringEventCreation) {
  Machine m;
  m.LoadDriverImage();
  InstallDxeReadyToLock(m);
  BootScriptStartUp();
  EXPECT_EQ(RecordAt(m.settings.Get(939))->ReadyToLockSeen, 1);
  // The event stays open; its flag makes later signals do nothing.
  EXPECT_EQ(m.boot.OpenEvents(), 1U);
}

TEST(BootScriptStartUp, ARecordInSetting939IsReusedWithoutPageOrEvent) {
  Machine m;
  m.LoadDriverImage();
  ScriptTableRecord existing{};
  std::memset(&existing, 0x5A, sizeof existing);
  existing.ReadyToLockSeen = 0;
  const ScriptTableRecord before = existing;
  m.settings.Set(939, AddressOf(&existing));

  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
  EXPECT_EQ(m.faults.Calls(Op::AllocatePages), 0U);
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 0U);
  EXPECT_FALSE(Written(m, 939));
  EXPECT_EQ(gBootScriptState.Current, &existing);
  EXPECT_EQ(std::memcmp(&existing, &before, sizeof existing), 0);
}

TEST(BootScriptStartUp, OutsideSmramTheSmmHalfStaysIdle) {
  Machine m(InSmram());
  m.smm.InSmram = false;
  m.LoadDriverImage();
  BootScriptStartUp();
  EXPECT_FALSE(Touched(m, 940));
  EXPECT_EQ(gBootScriptState.Smst, nullptr);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 0U);
  EXPECT_EQ(m.faults.Calls(Op::SmmAllocatePool), 0U);
}

TEST(BootScriptStartUp, InsideSmramCreatesTheSmmCopyAndThreeNotifications) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  BootScriptStartUp();
  const UINT64 copy = m.settings.Get(940);
  ASSERT_NE(copy, 0U);
  EXPECT_EQ(gBootScriptState.SmmCopy, RecordAt(copy));
  EXPECT_EQ(gBootScriptState.Smst, &m.smm.Smst);
  auto it = m.boot.Outstanding().find(reinterpret_cast<void*>(copy));
  ASSERT_NE(it, m.boot.Outstanding().end());
  EXPECT_TRUE(it->second.Smram);
  EXPECT_EQ(it->second.Type, EfiRuntimeServicesData);
  EXPECT_EQ(it->second.Size, sizeof(ScriptTableRecord));
  const std::vector<UINT8> zero(sizeof(ScriptTableRecord), 0);
  EXPECT_EQ(std::memcmp(RecordAt(copy), zero.data(), zero.size()), 0);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 1U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidB), 1U);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 1U);
  // Until SMM takes over, the DXE record stays current.
  EXPECT_EQ(gBootScriptState.Current, RecordAt(m.settings.Get(939)));
}

TEST(BootScriptStartUp, AnSmmCopyInSetting940IsReusedAndOnlyReadyToLockRegistered) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  ScriptTableRecord existing{};
  m.settings.Set(940, AddressOf(&existing));
  BootScriptStartUp();
  EXPECT_EQ(m.faults.Calls(Op::SmmAllocatePool), 0U);
  EXPECT_FALSE(Written(m, 940));
  EXPECT_EQ(gBootScriptState.SmmCopy, &existing);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidB), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 1U);
}

// --- Failures the start-up does not report ---------------------------------------

TEST(BootScriptStartUp, FailedPageAllocationPublishesNothingAndLeavesNothingToUndo) {
  Machine m;
  m.LoadDriverImage();
  m.faults.FailNth(Op::AllocatePages, 1);
  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
  EXPECT_FALSE(Written(m, 939));
  EXPECT_EQ(gBootScriptState.Current, nullptr);
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 0U);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(TerminateScriptTable(), 0U);
  EXPECT_EQ(ScriptFixLength(nullptr, nullptr, nullptr), EFI_SUCCESS);
  BootScriptShutDown();
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.CloseCalls, 0U);
  EXPECT_FALSE(Written(m, 939));
}

TEST(BootScriptStartUp, FailedEventCreationSkipsRegistrationAndSignal) {
  Machine m;
  m.LoadDriverImage();
  m.faults.FailNth(Op::CreateEvent, 1);
  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
  EXPECT_NE(m.settings.Get(939), 0U);
  EXPECT_EQ(gBootScriptState.ReadyToLockEvent, nullptr);
  EXPECT_EQ(m.faults.Calls(Op::RegisterProtocolNotify), 0U);
  BootScriptShutDown();
  EXPECT_EQ(m.boot.CloseCalls, 0U);
  EXPECT_TRUE(m.boot.Outstanding().empty());
}

TEST(BootScriptStartUp, FailedSmmAllocationPublishesNoCopyAndRegistersNothing) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  m.faults.FailNth(Op::SmmAllocatePool, 1);
  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
  EXPECT_FALSE(Written(m, 940));
  EXPECT_EQ(gBootScriptState.SmmCopy, nullptr);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 0U);
  EXPECT_EQ(ScriptSmmReadyToLock(nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(gBootScriptState.Current, RecordAt(m.settings.Get(939)));
  BootScriptShutDown();
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_FALSE(Written(m, 940));
  EXPECT_TRUE(m.boot.Outstanding().empty());
}

// SMM base services that answer with an error, or without a table.
EFI_STATUS EFIAPI InSmmFails(const EFI_SMM_BASE2_PROTOCOL*, BOOLEAN* InSmram) {
  *InSmram = TRUE;
  return EFI_DEVICE_ERROR;
}
EFI_STATUS EFIAPI SmstLocationFails(const EFI_SMM_BASE2_PROTOCOL*, EFI_SMM_SYSTEM_TABLE2** Smst) {
  *Smst = nullptr;
  return EFI_DEVICE_ERROR;
}
EFI_STATUS EFIAPI NoSmst(const EFI_SMM_BASE2_PROTOCOL*, EFI_SMM_SYSTEM_TABLE2** Smst) {
  *Smst = nullptr;
  return EFI_SUCCESS;
}

// Where SMM cannot be told apart or its table cannot be had, the SMM half
// stays idle as outside SMRAM: setting 940 untouched, nothing registered.
TEST(BootScriptStartUp, AnSmmBaseThatCannotAnswerLeavesTheSmmHalfIdle) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    Machine m(InSmram());
    m.smm.InSmram = true;
    if (variant == 0) {
      m.smm.Base2.InSmm = InSmmFails;
    } else {
      m.smm.Base2.GetSmstLocation = variant == 1 ? SmstLocationFails : NoSmst;
    }
    m.LoadDriverImage();
    EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
    EXPECT_NE(m.settings.Get(939), 0U);
    EXPECT_FALSE(Touched(m, 940));
    EXPECT_EQ(gBootScriptState.Smst, nullptr);
    EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);
  }
}

EFI_STATUS EFIAPI RefuseSmmNotify(const EFI_GUID*, EFI_SMM_NOTIFY_FN, VOID** Registration) {
  *Registration = reinterpret_cast<VOID*>(1);
  return EFI_OUT_OF_RESOURCES;
}

// A refused SMM registration leaves no key behind, so the shut-down does not
// try to remove a notification that was never made.
TEST(BootScriptStartUp, RefusedSmmRegistrationsKeepNoKey) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.smm.Smst.SmmRegisterProtocolNotify = RefuseSmmNotify;
  m.LoadDriverImage();
  EXPECT_EQ(BootScriptStartUp(), EFI_SUCCESS);
  EXPECT_NE(m.settings.Get(940), 0U);
  EXPECT_EQ(gBootScriptState.FixLengthRegistrationA, nullptr);
  EXPECT_EQ(gBootScriptState.FixLengthRegistrationB, nullptr);
  EXPECT_EQ(gBootScriptState.SmmReadyToLockRegistration, nullptr);
}

// --- Termination and the ready-to-lock moments ----------------------------------

class ReadyToLockTest : public ::testing::Test {
 protected:
  ReadyToLockTest() { m.LoadDriverImage(); }
  Machine m;
};

TEST_F(ReadyToLockTest, TerminatorFollowsTheUsedPartAndTheLengthFieldCountsIt) {
  ScriptTable script;
  ScriptTableRecord* record = StartWith(m, script, 0x123);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(script.bytes[0x123], 0xFF);
  EXPECT_EQ(script.bytes[0x124], 0x00);
  EXPECT_EQ(script.bytes[0x125], 0x03);
  EXPECT_EQ(script.bytes[0x126], 0xCC);
  EXPECT_EQ(script.bytes[0x122], 0xCC);
  EXPECT_EQ(script.LengthField(), 0x126U);
  EXPECT_EQ(script.bytes[4], 0xCC);
  EXPECT_EQ(script.bytes[9], 0xCC);
  EXPECT_EQ(record->ScriptUsedLength, 0x123U);
  EXPECT_EQ(record->ReadyToLockSeen, 1);
}

TEST_F(ReadyToLockTest, ASecondSignalDoesNothing) {
  ScriptTable script;
  StartWith(m, script, 0x40);
  InstallDxeReadyToLock(m);
  std::fill(script.bytes.begin(), script.bytes.end(), 0xCC);
  // Another installation of the protocol signals the event again.
  InstallDxeReadyToLock(m);
  EXPECT_TRUE(script.Untouched());
}

TEST_F(ReadyToLockTest, NoTableStillMarksTheRecordLocked) {
  BootScriptStartUp();
  ScriptTableRecord* record = RecordAt(m.settings.Get(939));
  EXPECT_EQ(TerminateScriptTable(), 0U);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(record->ReadyToLockSeen, 1);
  EXPECT_EQ(record->ScriptAddress, 0U);
}

TEST_F(ReadyToLockTest, TerminatorThatWouldLeaveTheReservedPagesIsNotWritten) {
  ScriptTable script;
  ScriptTableRecord* record = StartWith(m, script, EFI_PAGE_SIZE - 2);
  EXPECT_EQ(TerminateScriptTable(), 0U);
  EXPECT_TRUE(script.Untouched());

  record->ScriptUsedLength = EFI_PAGE_SIZE - 3;  // exactly fits
  EXPECT_EQ(TerminateScriptTable(), record->ScriptAddress);
  EXPECT_EQ(script.bytes[EFI_PAGE_SIZE - 1], 0x03);
  EXPECT_EQ(script.bytes[EFI_PAGE_SIZE], 0xCC);
  EXPECT_EQ(script.LengthField(), EFI_PAGE_SIZE);

  record->ScriptUsedLength = 0;
  record->ScriptPageCount = 0;  // no pages at all
  EXPECT_EQ(TerminateScriptTable(), 0U);
}

TEST(SmmTakeOver, SmmReadyToLockCopiesTheLockedRecordAndFixLengthActsOnTheCopy) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  ScriptTable script(2);
  ScriptTableRecord* record = StartWith(m, script, 0x200);
  InstallDxeReadyToLock(m);
  ASSERT_EQ(record->ReadyToLockSeen, 1);

  m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
  ScriptTableRecord* copy = RecordAt(m.settings.Get(940));
  EXPECT_EQ(gBootScriptState.Current, copy);
  EXPECT_EQ(copy->ScriptAddress, record->ScriptAddress);
  EXPECT_EQ(copy->ScriptUsedLength, 0x200U);
  EXPECT_EQ(copy->ScriptPageCount, 2);
  EXPECT_EQ(copy->ReadyToLockSeen, 1);
  EXPECT_EQ(copy->SmmOwned, 1);
  EXPECT_EQ(record->SmmOwned, 0);

  m.smm.InstallSmmProtocol(gScriptFixLengthTriggerGuidA);
  EXPECT_EQ(copy->LengthFixed, 1);
  EXPECT_EQ(copy->FixedLength, 0x203U);
  EXPECT_EQ(copy->AttributeUpdate, 0);
  EXPECT_EQ(record->LengthFixed, 0);

  // Only the first of the two protocols fixes the length.
  copy->ScriptUsedLength = 0x300;
  m.smm.InstallSmmProtocol(gScriptFixLengthTriggerGuidB);
  EXPECT_EQ(copy->FixedLength, 0x203U);

  // Taking over happens once.
  copy->SmmOwned = 0;
  m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
  EXPECT_EQ(copy->SmmOwned, 0);
}

TEST(SmmTakeOver, AnSmmCopyThatAlreadyNamesATableIsKept) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  ScriptTableRecord smmCopy{};
  smmCopy.ScriptAddress = 0x1234000;
  smmCopy.SmmOwned = 1;
  m.settings.Set(940, AddressOf(&smmCopy));
  ScriptTable script;
  StartWith(m, script, 0x10);
  m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
  EXPECT_EQ(smmCopy.ScriptAddress, 0x1234000U);
  EXPECT_EQ(smmCopy.ScriptUsedLength, 0U);
  EXPECT_EQ(gBootScriptState.Current, &smmCopy);
}

// --- Shut-down ------------------------------------------------------------------------

TEST(BootScriptShutDown, UndoesEverythingStartUpCreatedInsideSmram) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  BootScriptStartUp();
  ASSERT_FALSE(m.boot.Outstanding().empty());
  BootScriptShutDown();
  EXPECT_TRUE(m.boot.Outstanding().empty());
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  EXPECT_EQ(m.boot.RegistrationsFor(gEfiDxeSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.settings.Get(939), 0U);
  EXPECT_EQ(m.settings.Get(940), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidB), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);

  // Running it again finds nothing left to undo.
  BootScriptShutDown();
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);

  // A later component starts afresh.
  m.LoadDriverImage();
  BootScriptStartUp();
  EXPECT_NE(m.settings.Get(939), 0U);
  EXPECT_NE(m.settings.Get(940), 0U);
}

// After SMM has taken the record over, the shut-down frees the SMM copy it
// made and forgets it as the current record, so nothing acts on freed pool.
TEST(BootScriptShutDown, AfterTheSmmTakeOverForgetsTheFreedCopy) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  BootScriptStartUp();
  m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
  ASSERT_EQ(gBootScriptState.Current, RecordAt(m.settings.Get(940)));
  BootScriptShutDown();
  EXPECT_EQ(gBootScriptState.Current, nullptr);
  EXPECT_EQ(gBootScriptState.SmmCopy, nullptr);
  EXPECT_TRUE(m.boot.Outstanding().empty());
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(TerminateScriptTable(), 0U);
}

TEST(BootScriptShutDown, LeavesRecordsOfOtherComponentsAlone) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.LoadDriverImage();
  ScriptTableRecord record{};
  ScriptTableRecord smmCopy{};
  m.settings.Set(939, AddressOf(&record));
  m.settings.Set(940, AddressOf(&smmCopy));
  BootScriptStartUp();
  BootScriptShutDown();
  EXPECT_EQ(m.settings.Get(939), AddressOf(&record));
  EXPECT_EQ(m.settings.Get(940), AddressOf(&smmCopy));
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.CloseCalls, 0U);
  // Its own registration is removed all the same.
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);
}

// --- Lock boxes ------------------------------------------------------------------------

TEST(LockBox, EmptyStoreStatuses) {
  Machine m;
  m.LoadDriverImage();
  UINT8 data[8] = {};
  UINTN length = sizeof data;
  EXPECT_EQ(LockBoxFind(&gLockBoxScriptTableGuid), nullptr);

  EXPECT_EQ(LockBoxSave(nullptr, data, 8), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, nullptr, 8), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, data, 0), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, nullptr, 0x100000000ULL), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, data, 0x100000000ULL), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, data, 0xFFFFFFFFULL), EFI_OUT_OF_RESOURCES);

  EXPECT_EQ(LockBoxRestore(nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, data, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, nullptr, &length), EFI_INVALID_PARAMETER);
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, nullptr, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, data, &length), EFI_NOT_FOUND);
  EXPECT_EQ(length, sizeof data);
}

// A store of entries that a test lays out; the driver itself never fills one.
class LockBoxStoreTest : public ::testing::Test {
 protected:
  LockBoxStoreTest() { m.LoadDriverImage(); }

  // Lays the entries out in a block of exactly their size (plus Tail bytes of
  // a partial entry), so any read past the store is caught.
  void Lay(const std::vector<LockBoxEntry>& entries, size_t tail = 0) {
    const size_t size = entries.size() * sizeof(LockBoxEntry) + tail;
    store_ = std::make_unique<UINT8[]>(size);
    std::memset(store_.get(), 0, size);
    std::memcpy(store_.get(), entries.data(), entries.size() * sizeof(LockBoxEntry));
    gBootScriptState.LockBoxStart = AddressOf(store_.get());
    gBootScriptState.LockBoxEnd = gBootScriptState.LockBoxStart + size;
  }
  UINT64 Attributes(size_t index) const {
    UINT64 attributes = 0;
    std::memcpy(&attributes, store_.get() + index * sizeof(LockBoxEntry) + offsetof(LockBoxEntry, Attributes), 8);
    return attributes;
  }
  static LockBoxEntry Box(const EFI_GUID& name, const void* saved, UINT32 length, void* restore = nullptr,
                          UINT64 attributes = 0) {
    LockBoxEntry entry{};
    entry.Name = name;
    entry.SavedAddress = AddressOf(saved);
    entry.RestoreAddress = AddressOf(restore);
    entry.Length = length;
    entry.Attributes = attributes;
    return entry;
  }

  Machine m;
  std::unique_ptr<UINT8[]> store_;
  UINT8 saved_[4] = {1, 2, 3, 4};
  UINT8 target_[4] = {};
};

TEST_F(LockBoxStoreTest, LookupStopsAtTheFirstEmptyEntry) {
  Lay({Box(gLockBoxScriptTableGuid, saved_, 4), Box(gLockBoxReadyToLockGuid, saved_, 0),
       Box(gLockBoxUsedScriptGuid, saved_, 4)});
  EXPECT_EQ(LockBoxSave(&gLockBoxScriptTableGuid, saved_, 4), EFI_ALREADY_STARTED);
  // Behind the empty entry nothing is found.
  EXPECT_EQ(LockBoxSave(&gLockBoxUsedScriptGuid, saved_, 4), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(LockBoxRestore(&gLockBoxUsedScriptGuid, nullptr, nullptr), EFI_NOT_FOUND);
  const LockBoxEntry* found = LockBoxFind(&gLockBoxUsedScriptGuid);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(UINT32{found->Length}, 0U);
}

TEST_F(LockBoxStoreTest, APartialEntryAtTheEndIsNeverRead) {
  Lay({Box(gLockBoxScriptTableGuid, saved_, 4)}, sizeof(LockBoxEntry) - 1);
  EXPECT_EQ(LockBoxFind(&gLockBoxFixLengthGuid), nullptr);
  EXPECT_NE(LockBoxFind(&gLockBoxScriptTableGuid), nullptr);
}

TEST_F(LockBoxStoreTest, RestoreInPlaceNeedsTheAttribute) {
  Lay({Box(gLockBoxScriptTableGuid, saved_, 4, target_), Box(gLockBoxReadyToLockGuid, saved_, 4, target_, 1)});
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, nullptr, nullptr), EFI_WRITE_PROTECTED);
  EXPECT_EQ(target_[0], 0);
  EXPECT_EQ(LockBoxRestore(&gLockBoxReadyToLockGuid, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(target_, saved_, 4), 0);
}

TEST_F(LockBoxStoreTest, RestoreIntoABufferReportsTheLength) {
  Lay({Box(gLockBoxScriptTableGuid, saved_, 4)});
  UINT8 buffer[4] = {};
  UINTN length = 3;
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, buffer, &length), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4U);
  EXPECT_EQ(buffer[0], 0);
  length = 4;
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, buffer, &length), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, saved_, 4), 0);
  // The saved copy itself as the target: nothing to copy.
  length = 16;
  EXPECT_EQ(LockBoxRestore(&gLockBoxScriptTableGuid, saved_, &length), EFI_SUCCESS);
  EXPECT_EQ(length, 4U);
}

// An empty entry that ends the store is no box: its attributes stay.
TEST_F(LockBoxStoreTest, ReadyToLockLeavesAnEmptyEntryUnmarked) {
  ScriptTable script;
  Lay({Box(gLockBoxScriptTableGuid, saved_, 0, nullptr, 0x10)});
  StartWith(m, script, 0x20);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(Attributes(0), 0x10U);
}

TEST_F(LockBoxStoreTest, ReadyToLockAndFixLengthMarkTheirBoxesRestoreInPlace) {
  ScriptTable script;
  UINT8 savedTable[4] = {9, 8, 7, 6};
  Lay({Box(gLockBoxScriptTableGuid, savedTable, 4, script.bytes.data(), 0x10),
       Box(gLockBoxReadyToLockGuid, saved_, 4, nullptr, 0x10), Box(gLockBoxFixLengthGuid, saved_, 4, nullptr, 0x10)});
  ScriptTableRecord* record = StartWith(m, script, 0x20);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(Attributes(0), kLockBoxRestoreInPlace);
  EXPECT_EQ(Attributes(1), kLockBoxRestoreInPlace);
  EXPECT_EQ(Attributes(2), 0x10U);

  EXPECT_EQ(ScriptFixLength(nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Attributes(2), kLockBoxRestoreInPlace);
  // The whole table box was restored in place over the table.
  EXPECT_EQ(std::memcmp(script.bytes.data(), savedTable, 4), 0);
  EXPECT_EQ(record->AttributeUpdate, 0);
  EXPECT_EQ(record->FixedLength, 0x23U);
}

}  // namespace
}  // namespace ftpm::support
