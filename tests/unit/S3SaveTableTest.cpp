// The S3 save table: creation and reuse through settings 766 and 767, its
// size, the lock at DXE SMM ready-to-lock, validation, the hand-over at
// ready-to-boot, every failure path with its post code, and the shut-down.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/PostCodes.h"
#include "support/S3SaveTable.h"
#include "support/Settings.h"

namespace ftpm::support {
namespace {

using sim::Machine;
using sim::MachineConfig;
using sim::Op;

UINT64 AddressOf(const void* pointer) { return reinterpret_cast<UINT64>(pointer); }

template <typename T>
T ReadAt(UINT64 address) {
  T value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return value;
}

template <typename T>
void WriteAt(UINT64 address, T value) {
  std::memcpy(reinterpret_cast<void*>(address), &value, sizeof value);
}

class S3Test : public ::testing::Test {
 protected:
  explicit S3Test(const MachineConfig& config = {}) : m(config) {
    m.LoadDriverImage();
    // Post codes become visible on port 0x80, and return at once.
    gSettingsState.KelCfgPcdBuf.PostCodeEnable = 1;
    m.cpu.DebugHostAnswer = 1;
  }

  KelS3LibPrivateData* Record() { return reinterpret_cast<KelS3LibPrivateData*>(m.settings.Get(766)); }
  UINT64 Table() { return m.settings.Get(767); }

  std::vector<UINT32> PostCodes() const {
    std::vector<UINT32> codes;
    for (const auto& access : m.ports.AccessesTo(0x80)) {
      codes.push_back(access.Value);
    }
    return codes;
  }

  const sim::Allocation* AllocationAt(UINT64 address) const {
    auto it = m.boot.Outstanding().find(reinterpret_cast<void*>(address));
    return it == m.boot.Outstanding().end() ? nullptr : &it->second;
  }

  bool Written(UINTN token) const {
    for (const auto& access : m.settings.Log) {
      if (!access.Guided && access.Write && access.Token == token) {
        return true;
      }
    }
    return false;
  }

  void InstallDxeReadyToLock() {
    m.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, m.PresenceInterface(gEfiDxeSmmReadyToLockProtocolGuid));
  }
  void ReadyToBoot() { m.boot.SignalGroup(gEfiEventReadyToBootGuid); }

  Machine m;
};

// --- Start-up ----------------------------------------------------------------------

TEST_F(S3Test, FirstComponentCreatesRecordTableAndBothEvents) {
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);

  KelS3LibPrivateData* record = Record();
  ASSERT_NE(record, nullptr);
  const sim::Allocation* recordMemory = AllocationAt(AddressOf(record));
  ASSERT_NE(recordMemory, nullptr);
  EXPECT_EQ(recordMemory->Type, EfiRuntimeServicesData);
  EXPECT_EQ(recordMemory->Size, 16U);
  EXPECT_EQ(gS3SaveTableState.PrivateData, record);
  EXPECT_EQ(record->S3TableLocked, 0);
  EXPECT_EQ(record->S3TableClosed, 0);
  EXPECT_EQ(ReadAt<UINT64>(AddressOf(record) + 2) & 0xFFFFFFFFFFFFULL, 0U);

  const UINT64 table = Table();
  ASSERT_NE(table, 0U);
  EXPECT_EQ(record->TableAddress, table);
  const sim::Allocation* tableMemory = AllocationAt(table);
  ASSERT_NE(tableMemory, nullptr);
  EXPECT_EQ(tableMemory->Type, EfiRuntimeServicesData);
  EXPECT_EQ(tableMemory->Size, 0x4004U);

  const auto* bytes = reinterpret_cast<const UINT8*>(table);
  EXPECT_EQ(std::memcmp(bytes, "KS3T", 4), 0);
  EXPECT_EQ(ReadAt<UINT32>(table + 4), 1U);
  for (UINTN i = 8; i < 32; ++i) {
    EXPECT_EQ(bytes[i], 0) << "header byte " << i;
  }
  EXPECT_EQ(ReadAt<UINT64>(table + 32), 0x4000U);
  EXPECT_EQ(ReadAt<UINT64>(table + 40), 48U);
  EXPECT_EQ(bytes[48], 0);
  EXPECT_EQ(bytes[0x3FFF], 0);
  const UINT8 boundary[4] = {0x44, 0x88, 0x55, 0x01};
  EXPECT_EQ(std::memcmp(bytes + 0x4000, boundary, 4), 0);

  EXPECT_EQ(m.boot.OpenEvents(), 2U);
  EXPECT_EQ(m.boot.RegistrationsFor(gEfiDxeSmmReadyToLockProtocolGuid), 1U);
  ASSERT_EQ(m.debug.Messages.size(), 2U);
  EXPECT_EQ(m.debug.Messages[0].Text, "KelS3LibPrivateData allocation\n");
  EXPECT_EQ(m.debug.Messages[1].Text, "KelS3LibTableHeader buffer size = 0x4000\n");
  EXPECT_EQ(m.debug.Messages[1].Level, kDebugS3);
  EXPECT_TRUE(PostCodes().empty());
}

struct SizeCase {
  UINT64 Setting;
  UINT64 Size;
};

class S3SizeTest : public S3Test, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(S3SizeTest, TableIsAtLeast0x4000BytesWithTheBoundaryAfterIt) {
  m.settings.Set(768, GetParam().Setting);
  S3SaveTableStartUp();
  const UINT64 size = GetParam().Size;
  ASSERT_NE(AllocationAt(Table()), nullptr);
  EXPECT_EQ(AllocationAt(Table())->Size, size + 4);
  EXPECT_EQ(ReadAt<UINT64>(Table() + 32), size);
  EXPECT_EQ(ReadAt<UINT32>(Table() + size), kS3TableBoundary);
}

INSTANTIATE_TEST_SUITE_P(Sizes, S3SizeTest,
                         ::testing::Values(SizeCase{0, 0x4000}, SizeCase{0x3FFF, 0x4000}, SizeCase{0x4000, 0x4000},
                                           SizeCase{0x4001, 0x4001}, SizeCase{0x10000, 0x10000}));

TEST_F(S3Test, ASizeThatCannotHoldTheBoundaryWordGivesNoTable) {
  m.settings.Set(768, ~0ULL - 1);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(Written(767));
  EXPECT_EQ(Record()->TableAddress, 0U);
  EXPECT_EQ(m.boot.Outstanding().size(), 1U);  // the record alone
}

TEST_F(S3Test, ExistingRecordAndTableAreReusedWithoutAnyChange) {
  KelS3LibPrivateData existing{};
  m.settings.Set(766, AddressOf(&existing));
  m.settings.Set(767, 0x12345000);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(gS3SaveTableState.PrivateData, &existing);
  EXPECT_TRUE(m.boot.Outstanding().empty());
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 0U);
  EXPECT_TRUE(m.debug.Messages.empty());
  EXPECT_FALSE(Written(766));
  EXPECT_FALSE(Written(767));
  EXPECT_EQ(existing.TableAddress, 0U);
}

TEST_F(S3Test, ExistingRecordWithoutTableGetsOneButNoEvents) {
  KelS3LibPrivateData existing{};
  m.settings.Set(766, AddressOf(&existing));
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 0U);
  EXPECT_NE(Table(), 0U);
  EXPECT_EQ(existing.TableAddress, Table());
  ASSERT_EQ(m.debug.Messages.size(), 1U);
  EXPECT_EQ(m.debug.Messages[0].Text, "KelS3LibTableHeader buffer size = 0x4000\n");
}

TEST_F(S3Test, TableWithoutRecordLeavesTheNewRecordEmptyAndHandsNothingOver) {
  m.settings.Set(767, 0x12345000);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  ASSERT_NE(Record(), nullptr);
  EXPECT_EQ(Record()->TableAddress, 0U);
  EXPECT_EQ(m.boot.Outstanding().size(), 1U);
  ReadyToBoot();
  EXPECT_TRUE(m.debug.Contains("mKelS3LibPrivateData is NULL\n"));
  EXPECT_TRUE(m.smm.Messages.empty());
}

TEST_F(S3Test, ClearedMsrEnableBitIsReportedAndStartUpGoesOn) {
  m.cpu.Msrs[0xC0010058] = 0xE0000020;
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3MsrEnableClear});
  EXPECT_NE(Table(), 0U);
}

// --- Start-up failures ----------------------------------------------------------------

TEST_F(S3Test, RecordAllocationFailureReturnsOutOfResources) {
  m.faults.FailNth(Op::AllocatePool, 1);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3PrivateAllocationFailed});
  EXPECT_TRUE(m.debug.Contains("KelS3LibPrivateData allocate fail\n"));
  EXPECT_FALSE(Written(766));
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 0U);
}

TEST_F(S3Test, LockEventFailureLeavesTheRecordForALaterComponent) {
  m.faults.FailNth(Op::CreateEvent, 1);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_UNSUPPORTED);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3LockEventFailed});
  EXPECT_TRUE(m.debug.Contains("KelS3SaveLib create BootScriptLock Event fail\n"));
  KelS3LibPrivateData* record = Record();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Table(), 0U);
  EXPECT_EQ(m.boot.OpenEvents(), 0U);

  // A component that starts later finds the record and registers no events.
  m.LoadDriverImage();
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(gS3SaveTableState.PrivateData, record);
  EXPECT_EQ(m.faults.Calls(Op::CreateEvent), 1U);
  EXPECT_EQ(record->TableAddress, Table());
}

TEST_F(S3Test, CloseTableEventErrorReturnsUnsupportedWithoutTable) {
  m.faults.FailNth(Op::CreateEvent, 2, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_UNSUPPORTED);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3CloseTableEventFailed});
  EXPECT_TRUE(m.debug.Contains("KelS3SaveLib create CloseTable Event fail\n"));
  EXPECT_EQ(Table(), 0U);
  EXPECT_EQ(gS3SaveTableState.CloseTableEvent, nullptr);
  // The lock event stays, and the shut-down closes it.
  EXPECT_EQ(m.boot.OpenEvents(), 1U);
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
}

TEST_F(S3Test, CloseTableEventWarningCarriesOn) {
  m.faults.FailNth(Op::CreateEvent, 2, EFI_WARN_STALE_DATA);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3CloseTableEventFailed});
  EXPECT_FALSE(m.debug.Contains("KelS3SaveLib create CloseTable Event fail\n"));
  EXPECT_NE(Table(), 0U);
}

TEST_F(S3Test, TableAllocationFailurePublishesNoAddressAndALaterComponentRetries) {
  m.faults.FailNth(Op::AllocatePool, 2);
  EXPECT_EQ(S3SaveTableStartUp(), EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(Written(767));
  KelS3LibPrivateData* record = Record();
  EXPECT_EQ(record->TableAddress, 0U);

  // The next component creates the table in the shared record; the first
  // component's ready-to-boot event then hands it over.
  m.LoadDriverImage();
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_NE(record->TableAddress, 0U);
  ReadyToBoot();
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_TRUE(m.smm.HandOvers[0].Valid);
  EXPECT_EQ(record->S3TableClosed, 1);
}

// --- The lock ------------------------------------------------------------------------

TEST_F(S3Test, ReadyToLockBeforeStartUpLocksDuringEventCreation) {
  InstallDxeReadyToLock();
  S3SaveTableStartUp();
  EXPECT_EQ(Record()->S3TableLocked, 1);
  EXPECT_FALSE(m.boot.IsOpen(gS3SaveTableState.BootScriptLockEvent));
  EXPECT_EQ(m.boot.OpenEvents(), 1U);  // CloseTable
  // The shut-down does not close the lock event a second time.
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  EXPECT_EQ(m.boot.CloseCalls, 2U);
  EXPECT_TRUE(PostCodes().empty());
}

// --- Ready-to-boot ----------------------------------------------------------------------

TEST_F(S3Test, ReadyToBootTerminatesHandsOverAndReleasesTheTable) {
  S3SaveTableStartUp();
  InstallDxeReadyToLock();
  KelS3LibPrivateData* record = Record();
  const UINT64 table = Table();
  std::memset(m.smm.CommBuffer(), 0xEE, m.smm.CommBufferSize());

  ReadyToBoot();

  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  const sim::S3HandOver& received = m.smm.HandOvers[0];
  EXPECT_TRUE(received.Valid);
  EXPECT_EQ(received.PrivateAddress, AddressOf(record));
  EXPECT_EQ(received.Locked, 1);
  EXPECT_EQ(received.Closed, 0);  // marked closed only after the call
  EXPECT_EQ(received.TableAddress, table);
  EXPECT_EQ(received.TableSize, 0x4000U);
  EXPECT_EQ(received.EndMarker, 0xFFFF);

  ASSERT_EQ(m.smm.Messages.size(), 1U);
  EXPECT_EQ(m.smm.Messages[0].CommSize, 40U);
  std::vector<UINT8> expected = {0xF0, 0x61, 0x40, 0x5C, 0x51, 0xD0, 0x43, 0x4F, 0xBC, 0x23, 0x5E,
                                 0x5E, 0x89, 0xB3, 0xCE, 0xC0, 0x10, 0,    0,    0,    0,    0,
                                 0,    0,    1,    0,    0,    0,    0,    0,    0,    0};
  for (int i = 0; i < 8; ++i) {
    expected.push_back(static_cast<UINT8>(AddressOf(record) >> (8 * i)));
  }
  EXPECT_EQ(m.smm.Messages[0].Bytes, expected);
  EXPECT_EQ(m.smm.CommBuffer()[40], 0xEE);  // nothing beyond the message

  EXPECT_EQ(record->S3TableClosed, 1);
  EXPECT_EQ(AllocationAt(table), nullptr);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
  // No address of the released table stays behind.
  EXPECT_EQ(record->TableAddress, 0U);
  EXPECT_EQ(Table(), 0U);
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_TRUE(m.debug.Contains("KelS3SaveCloseTableCallBack\n"));

  // A later component finds a closed record and creates no second table.
  m.LoadDriverImage();
  EXPECT_EQ(S3SaveTableStartUp(), EFI_SUCCESS);
  EXPECT_EQ(Table(), 0U);
  EXPECT_EQ(m.boot.Outstanding().size(), 1U);  // the record alone

  // The shut-down chain, were it to run now, closes nothing twice.
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
}

TEST_F(S3Test, CorruptSignatureStopsTheHandOver) {
  S3SaveTableStartUp();
  const UINT64 table = Table();
  WriteAt<UINT8>(table, 'k');
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  ReadyToBoot();
  EXPECT_EQ(PostCodes(), (std::vector<UINT32>{postcode::kS3TableSignatureBad, postcode::kS3TableSignatureBad}));
  EXPECT_EQ(m.debug.Count("KelS3Lib table Signature check fail\n"), 2U);
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_EQ(ReadAt<UINT16>(table + 48), 0U);  // not terminated
  EXPECT_NE(AllocationAt(table), nullptr);    // nor released
  EXPECT_EQ(Record()->S3TableClosed, 0);
}

TEST_F(S3Test, CorruptBoundaryWordStopsTheHandOver) {
  S3SaveTableStartUp();
  const UINT64 table = Table();
  WriteAt<UINT8>(table + 0x4003, 0x02);
  ReadyToBoot();
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3TableBoundaryBad});
  EXPECT_TRUE(m.debug.Contains("KelS3Lib table boundary check fail\n"));
  EXPECT_FALSE(m.debug.Contains("KelS3Lib table Signature check fail\n"));
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_EQ(ReadAt<UINT16>(table + 48), 0U);
  EXPECT_NE(AllocationAt(table), nullptr);
}

TEST_F(S3Test, CorruptSizeOrNextFreeNeverReachesOutsideTheTable) {
  S3SaveTableStartUp();
  const UINT64 table = Table();
  WriteAt<UINT64>(table + 32, 0x7FFFFFFFFFFFFFF0ULL);
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  WriteAt<UINT64>(table + 32, 0x4000);
  EXPECT_EQ(CheckS3SaveTable(), 0U);

  WriteAt<UINT64>(table + 40, 0x3FFF);  // the marker would cover the boundary
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  WriteAt<UINT64>(table + 40, 0xFFFFFFFFFFFFFFF0ULL);
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  WriteAt<UINT64>(table + 40, 8);  // inside the header
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  WriteAt<UINT64>(table + 40, 0x3FFE);  // the last place the marker fits
  EXPECT_EQ(CheckS3SaveTable(), 0U);

  ReadyToBoot();
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_EQ(m.smm.HandOvers[0].EndMarker, 0xFFFF);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
}

// The table this driver made is held to the size it was made with: setting
// 768 changing afterwards, or no longer readable, refuses nothing.
TEST_F(S3Test, ATableThisDriverMadeKeepsTheSizeItWasMadeWith) {
  m.settings.Set(768, 0x6000);
  S3SaveTableStartUp();
  const UINT64 table = Table();
  ASSERT_EQ(ReadAt<UINT64>(table + 32), 0x6000U);
  m.settings.Set(768, 0x8000);
  EXPECT_EQ(CheckS3SaveTable(), 0U);
  // The settings protocol gone (setting 768 then reads 0, taken as 0x4000).
  m.UninstallProtocol(gPcdProtocolGuid);
  gSettingsState.Pcd = nullptr;
  ReadyToBoot();
  EXPECT_TRUE(PostCodes().empty());
  EXPECT_FALSE(m.debug.Contains("KelS3Lib table boundary check fail\n"));
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_EQ(m.smm.HandOvers[0].TableSize, 0x6000U);
}

// A table another component made after this driver's own allocation failed
// is checked against setting 768 as read at ready-to-boot.
TEST_F(S3Test, ATableAnotherComponentMadeIsCheckedAgainstSetting768) {
  m.faults.FailNth(Op::AllocatePool, m.faults.Calls(Op::AllocatePool) + 2);  // the record, then the table
  S3SaveTableStartUp();
  ASSERT_EQ(Table(), 0U);
  void* other = nullptr;
  ASSERT_EQ(m.boot.AllocatePool(EfiRuntimeServicesData, 0x5000 + 4, &other), EFI_SUCCESS);
  std::memset(other, 0, 0x5000 + 4);
  const UINT64 table = AddressOf(other);
  WriteAt<UINT32>(table, 0x5433534B);  // "KS3T"
  WriteAt<UINT64>(table + 32, 0x5000);
  WriteAt<UINT64>(table + 40, 48);
  WriteAt<UINT32>(table + 0x5000, 0x01558844);
  Record()->TableAddress = table;
  m.settings.Set(767, table);

  m.settings.Set(768, 0x4000);  // not the size this table holds
  EXPECT_EQ(CheckS3SaveTable(), kS3TableInvalid);
  EXPECT_TRUE(m.debug.Contains("KelS3Lib table boundary check fail\n"));
  m.settings.Set(768, 0x5000);
  EXPECT_EQ(CheckS3SaveTable(), 0U);
  ReadyToBoot();
  ASSERT_EQ(m.smm.HandOvers.size(), 1U);
  EXPECT_EQ(m.smm.HandOvers[0].TableSize, 0x5000U);
  EXPECT_EQ(m.smm.HandOvers[0].EndMarker, 0xFFFF);
  EXPECT_EQ(AllocationAt(table), nullptr);
  EXPECT_TRUE(m.boot.MemoryErrors.empty());
}

TEST_F(S3Test, MissingCommunicationBufferKeepsTheTerminatedTable) {
  m.settings.SetGuided(gSmmCommBufferTokenSpaceGuid, sim::kSmmCommBufferToken, 0);
  S3SaveTableStartUp();
  const UINT64 table = Table();
  ReadyToBoot();
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3CommBufferMissing});
  EXPECT_EQ(ReadAt<UINT16>(table + 48), 0xFFFF);
  EXPECT_TRUE(m.smm.Messages.empty());
  EXPECT_NE(AllocationAt(table), nullptr);
  EXPECT_EQ(Record()->S3TableClosed, 0);
  EXPECT_EQ(Record()->TableAddress, table);
}

class S3WithoutSmmCommunicationTest : public S3Test {
 protected:
  static MachineConfig Config() {
    MachineConfig config;
    config.SmmCommunication = false;
    return config;
  }
  S3WithoutSmmCommunicationTest() : S3Test(Config()) {}
};

TEST_F(S3WithoutSmmCommunicationTest, MissingProtocolKeepsTheTableAfterFillingTheBuffer) {
  S3SaveTableStartUp();
  const UINT64 table = Table();
  ReadyToBoot();
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{postcode::kS3SmmCommunicationMissing});
  EXPECT_TRUE(m.debug.Contains("KelS3SaveLib locate SmmCommunicationProtocol fail \n"));
  EXPECT_EQ(ReadAt<UINT64>(AddressOf(m.smm.CommBuffer()) + 32), AddressOf(Record()));
  EXPECT_NE(AllocationAt(table), nullptr);
  EXPECT_EQ(Record()->S3TableClosed, 0);
}

TEST_F(S3Test, CommunicateErrorStillReleasesTheTable) {
  m.smm.SetHandler(gS3TableHandOverGuid, [](UINT8*, UINTN, UINTN) { return EFI_DEVICE_ERROR; });
  S3SaveTableStartUp();
  const UINT64 table = Table();
  ReadyToBoot();
  ASSERT_EQ(m.smm.Messages.size(), 1U);
  EXPECT_EQ(m.smm.Messages[0].Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(AllocationAt(table), nullptr);
  EXPECT_EQ(Record()->S3TableClosed, 1);
}

// --- Shut-down ------------------------------------------------------------------------------

TEST_F(S3Test, ShutDownClosesBothEventsOnce) {
  S3SaveTableStartUp();
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_EQ(m.boot.RegistrationsFor(gEfiDxeSmmReadyToLockProtocolGuid), 0U);
  EXPECT_EQ(m.boot.CloseCalls, 2U);
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.CloseCalls, 2U);
  EXPECT_TRUE(PostCodes().empty());
  // Record and table stay: later components use them.
  EXPECT_NE(AllocationAt(Table()), nullptr);
}

// The ready-to-boot callback closed its own event: a shut-down after it
// closes only the lock event and reports nothing.
TEST_F(S3Test, ShutDownAfterReadyToBootLeavesTheSpentEventAlone) {
  S3SaveTableStartUp();
  ReadyToBoot();
  const unsigned closes = m.boot.CloseCalls;
  S3SaveTableShutDown();
  EXPECT_EQ(m.boot.CloseCalls, closes + 1);
  EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
  EXPECT_EQ(m.boot.OpenEvents(), 0U);
  EXPECT_TRUE(PostCodes().empty());
}

TEST_F(S3Test, ShutDownReportsEventsItCannotClose) {
  S3SaveTableStartUp();
  m.boot.Close(gS3SaveTableState.BootScriptLockEvent);
  m.boot.Close(gS3SaveTableState.CloseTableEvent);
  S3SaveTableShutDown();
  EXPECT_EQ(PostCodes(),
            (std::vector<UINT32>{postcode::kS3LockEventCloseFailed, postcode::kS3CloseTableEventCloseFailed}));
}

}  // namespace
}  // namespace ftpm::support
