// Whole boots of the driver on the simulated platform, following the S3 save
// table and the boot-script record: ready-to-lock before or after start-up,
// the hand-over at ready-to-boot, a second component sharing the records, and
// the shut-down chain after a failed protocol installation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "driver/RecoveryProtocol.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BootScript.h"
#include "support/S3SaveTable.h"
#include "tests/scenario/DriverResidue.h"

namespace ftpm {
namespace {

using sim::Machine;
using sim::MachineConfig;
using support::KelS3LibPrivateData;
using support::ScriptTableRecord;

MachineConfig InSmram() {
  MachineConfig config;
  config.SmmBase2 = true;
  return config;
}

void InstallDxeReadyToLock(Machine& m) {
  m.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, m.PresenceInterface(gEfiDxeSmmReadyToLockProtocolGuid));
}

KelS3LibPrivateData* S3Record(const Machine& m) { return reinterpret_cast<KelS3LibPrivateData*>(m.settings.Get(766)); }
ScriptTableRecord* ScriptRecord(const Machine& m) { return reinterpret_cast<ScriptTableRecord*>(m.settings.Get(939)); }

// Makes the image handle already carry the recovery protocol, so the
// driver's own installation fails.
void OccupyImageHandle(Machine& m) {
  static driver::FTPM_RECOVERY_PROTOCOL other{};
  m.ImageHandle = m.boot.NewHandle();
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &other, m.ImageHandle);
}

// What the simulator holds allocated, as (type, size, pages, SMRAM), sorted.
using Held = std::vector<std::tuple<UINT32, UINTN, bool, bool>>;
Held Allocations(const Machine& m) {
  Held held;
  for (const auto& [pointer, allocation] : m.boot.Outstanding()) {
    held.emplace_back(allocation.Type, allocation.Size, allocation.Pages, allocation.Smram);
  }
  std::sort(held.begin(), held.end());
  return held;
}

TEST(S3AndBootScriptScenario, ReadyToLockAfterStartUpThenReadyToBootHandsTheTableOver) {
  Machine m;
  m.settings.Set(122, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  ASSERT_TRUE(m.RecoveryProtocolInstalled());

  // A boot-script writer describes its table in the shared record.
  std::vector<UINT8> script(EFI_PAGE_SIZE, 0);
  ScriptTableRecord* record = ScriptRecord(m);
  ASSERT_NE(record, nullptr);
  record->ScriptAddress = reinterpret_cast<UINT64>(script.data());
  record->ScriptUsedLength = 0x80;
  record->ScriptPageCount = 1;

  KelS3LibPrivateData* s3 = S3Record(m);
  ASSERT_NE(s3, nullptr);
  EXPECT_EQ(s3->S3TableLocked, 0);
  InstallDxeReadyToLock(m);
  EXPECT_EQ(s3->S3TableLocked, 1);
  EXPECT_EQ(record->ReadyToLockSeen, 1);
  EXPECT_EQ(script[0x80], 0xFF);
  EXPECT_EQ(script[0x82], 0x03);
  EXPECT_EQ(script[5], 0x83);

  const UINT64 table = s3->TableAddress;
  m.boot.SignalGroup(gEfiEventReadyToBootGuid);
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  const sim::S3HandOver& received = m.smm.HandOvers[0];
  EXPECT_TRUE(received.Valid);
  EXPECT_EQ(received.PrivateAddress, reinterpret_cast<UINT64>(s3));
  EXPECT_EQ(received.Locked, 1);
  EXPECT_EQ(received.TableAddress, table);
  EXPECT_EQ(std::memcmp(received.TableHeader.data(), "KS3T", 4), 0);
  EXPECT_EQ(received.EndMarker, 0xFFFF);
  ASSERT_EQ(m.smm.Messages.size(), 1U);
  EXPECT_EQ(m.smm.Messages[0].Guid, gS3TableHandOverGuid);
  EXPECT_EQ(m.smm.Messages[0].CommSize, 40U);

  EXPECT_EQ(s3->S3TableClosed, 1);
  EXPECT_EQ(m.boot.Outstanding().count(reinterpret_cast<void*>(table)), 0U);
  EXPECT_EQ(m.settings.Get(767), 0U);
  // Only the boot-script ready-to-lock event stays; it never closes itself.
  EXPECT_EQ(m.boot.OpenEvents(), 1U);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);

  // A second ready-to-boot signal finds no open event of the table.
  m.boot.SignalGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_ONLY_KEPT_ALLOCATIONS(m);
}

TEST(S3AndBootScriptScenario, ReadyToLockBeforeStartUpRunsBothCallbacksInsideStartUp) {
  Machine m;
  InstallDxeReadyToLock(m);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(S3Record(m)->S3TableLocked, 1);
  EXPECT_EQ(ScriptRecord(m)->ReadyToLockSeen, 1);
  // The boot-script event and the ready-to-boot event; the S3 lock event
  // closed itself during its creation.
  EXPECT_EQ(m.boot.OpenEvents(), 2U);

  m.boot.SignalGroup(gEfiEventReadyToBootGuid);
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_EQ(m.smm.HandOvers[0].Locked, 1);
  EXPECT_EQ(S3Record(m)->S3TableClosed, 1);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  EXPECT_ONLY_KEPT_ALLOCATIONS(m);
}

TEST(S3AndBootScriptScenario, ASecondComponentFindsEveryRecordThroughTheSettings) {
  Machine m(InSmram());
  m.smm.InSmram = true;
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  const UINT64 script = m.settings.Get(939);
  const UINT64 smmScript = m.settings.Get(940);
  const UINT64 s3 = m.settings.Get(766);
  const UINT64 table = m.settings.Get(767);
  ASSERT_NE(script, 0U);
  ASSERT_NE(smmScript, 0U);
  ASSERT_NE(s3, 0U);
  ASSERT_NE(table, 0U);
  const Held held = Allocations(m);
  const size_t events = m.boot.OpenEvents();
  // What the first component keeps; the second one's state no longer names it.
  std::set<const void*> first;
  for (const testing::KeptAllocation& kept : testing::KeptByDriver(m)) {
    first.insert(kept.Pointer);
  }

  // Another component carrying the same support starts.
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(m.settings.Get(939), script);
  EXPECT_EQ(m.settings.Get(940), smmScript);
  EXPECT_EQ(m.settings.Get(766), s3);
  EXPECT_EQ(m.settings.Get(767), table);
  EXPECT_EQ(Allocations(m), held);
  EXPECT_EQ(m.boot.OpenEvents(), events);
  EXPECT_EQ(support::gS3SaveTableState.PrivateData, reinterpret_cast<KelS3LibPrivateData*>(s3));
  EXPECT_EQ(support::gBootScriptState.Current, reinterpret_cast<ScriptTableRecord*>(script));
  EXPECT_EQ(support::gBootScriptState.SmmCopy, reinterpret_cast<ScriptTableRecord*>(smmScript));
  // Only the SMM ready-to-lock notification is registered again.
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 1U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidB), 1U);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 2U);

  // SMM takes over the shared record once, whichever component's notify runs.
  InstallDxeReadyToLock(m);
  m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
  auto* copy = reinterpret_cast<ScriptTableRecord*>(smmScript);
  EXPECT_EQ(copy->SmmOwned, 1);
  EXPECT_EQ(copy->ReadyToLockSeen, 1);

  // Only the first component hands the table over.
  m.boot.SignalGroup(gEfiEventReadyToBootGuid);
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_EQ(m.smm.HandOvers[0].PrivateAddress, s3);
  EXPECT_EQ(m.smm.HandOvers[0].TableAddress, table);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_ONLY_KEPT_ALLOCATIONS(m, first);
}

TEST(S3AndBootScriptScenario, FailedInstallationUndoesExactlyWhatStartUpCreated) {
  // The same boot twice: once installing the protocol, once failing to.
  Held installed;
  {
    Machine m(InSmram());
    m.smm.InSmram = true;
    m.settings.Set(122, 1);
    ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
    installed = Allocations(m);
  }
  Machine m(InSmram());
  m.smm.InSmram = true;
  m.settings.Set(122, 1);
  OccupyImageHandle(m);
  EXPECT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);

  // The record page and the SMM copy are gone, and nothing else.
  Held expected = installed;
  expected.erase(std::find(expected.begin(), expected.end(),
                           std::make_tuple(static_cast<UINT32>(EfiReservedMemoryType), EFI_PAGE_SIZE, true, false)));
  expected.erase(
      std::find(expected.begin(), expected.end(),
                std::make_tuple(static_cast<UINT32>(EfiRuntimeServicesData), sizeof(ScriptTableRecord), false, true)));
  EXPECT_EQ(Allocations(m), expected);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  EXPECT_EQ(m.boot.RegistrationsFor(gEfiDxeSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidA), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gScriptFixLengthTriggerGuidB), 0U);
  EXPECT_EQ(m.smm.ActiveNotifications(gEfiSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.settings.Get(939), 0U);
  EXPECT_EQ(m.settings.Get(940), 0U);
  // The S3 record and table stay published for later components.
  EXPECT_NE(m.settings.Get(766), 0U);
  EXPECT_EQ(S3Record(m)->TableAddress, m.settings.Get(767));

  // With no open event left, nothing happens at ready-to-lock or ready-to-boot.
  InstallDxeReadyToLock(m);
  m.boot.SignalGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(S3Record(m)->S3TableLocked, 0);
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_ONLY_KEPT_ALLOCATIONS(m);
}

TEST(S3AndBootScriptScenario, FailedInstallationAfterTheLockCallbacksClosesNothingTwice) {
  Machine m;
  m.settings.Set(377, 1);
  InstallDxeReadyToLock(m);
  OccupyImageHandle(m);
  EXPECT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(S3Record(m)->S3TableLocked, 1);
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  // Closed by the lock callback, the ready-to-boot event and the boot-script
  // event by the shut-down chain: three events, three closes.
  EXPECT_EQ(m.boot.CloseCalls, 3U);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  EXPECT_EQ(m.boot.OutstandingByType().count(EfiReservedMemoryType), 0U);
  EXPECT_ONLY_KEPT_ALLOCATIONS(m);
}

}  // namespace
}  // namespace ftpm
