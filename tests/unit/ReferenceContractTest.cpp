// The platform's contract around the driver (reference/): the flash map's
// rules, the flash service's checks and its read-back, swap detection with
// its record, the S3 receiver and the small services. The flash service
// runs against a device model in host memory; swap detection against the
// simulated machine's variable store.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "reference/FlashMap.h"
#include "reference/FlashService.h"
#include "reference/Recovery.h"
#include "reference/S3Receiver.h"
#include "reference/Services.h"
#include "sim/Machine.h"
#include "support/Memory.h"

namespace ftpm::reference {
namespace {

constexpr UINT64 kBlock = 0x1000;
constexpr UINT64 kDevice = 0x100000;

// Side A: fTPM 0x10000+0x4000, MVQ 0x20000+0x2000; side B: 0x40000+0x4000, 0x50000+0x2000.
FlashMap TwoSidedMap() {
  FlashMap map{};
  map.EraseBlockSize = kBlock;
  map.DeviceSize = kDevice;
  map.Nvram[0][0] = {0x10000, 0x4000};
  map.Nvram[0][1] = {0x20000, 0x2000};
  map.Nvram[1][0] = {0x40000, 0x4000};
  map.Nvram[1][1] = {0x50000, 0x2000};
  return map;
}

TEST(FlashMapRules, ASoundMapServesBothCasesAndAPlainOneHasNoSideB) {
  FlashMap map = TwoSidedMap();
  EXPECT_EQ(CheckFlashMap(map, RecoveryCase::Full), nullptr);
  EXPECT_EQ(CheckFlashMap(map, RecoveryCase::FtpmOnly), nullptr);
  map.Nvram[1][0] = {};
  map.Nvram[1][1] = {};
  EXPECT_EQ(CheckFlashMap(map, RecoveryCase::Full), nullptr);
}

TEST(FlashMapRules, MapsThatCannotServeTheirCaseAreRefusedWithTheReason) {
  struct Bad {
    const char* Reason;
    void (*Break)(FlashMap&);
    RecoveryCase Case;
  };
  const Bad cases[] = {
      {"block-size", [](FlashMap& m) { m.EraseBlockSize = 0x1800; }, RecoveryCase::None},
      {"block-size", [](FlashMap& m) { m.EraseBlockSize = 0; }, RecoveryCase::None},
      {"not-whole-blocks", [](FlashMap& m) { m.Nvram[0][1].Length = 0x2100; }, RecoveryCase::None},
      {"not-whole-blocks", [](FlashMap& m) { m.Nvram[1][0].Offset = 0x40800; }, RecoveryCase::None},
      {"outside-device",
       [](FlashMap& m) {
         m.Nvram[1][1] = {kDevice - kBlock, 2 * kBlock};
       },
       RecoveryCase::None},
      {"outside-device",
       [](FlashMap& m) {
         m.Nvram[1][1] = {~0ULL & ~(kBlock - 1), kBlock};
       },
       RecoveryCase::None},
      {"overlap",
       [](FlashMap& m) {
         m.Nvram[1][1] = {0x13000, 0x2000};
       },
       RecoveryCase::None},
      // The full case needs both ranges on side A, side B has both or none.
      {"side-a-incomplete", [](FlashMap& m) { m.Nvram[0][1] = {}; }, RecoveryCase::Full},
      {"side-a-incomplete", [](FlashMap& m) { m.Nvram[0][0] = {}; }, RecoveryCase::FtpmOnly},
      {"side-b-incomplete", [](FlashMap& m) { m.Nvram[1][1] = {}; }, RecoveryCase::Full},
  };
  for (const Bad& bad : cases) {
    FlashMap map = TwoSidedMap();
    bad.Break(map);
    const char* reason = CheckFlashMap(map, bad.Case);
    ASSERT_NE(reason, nullptr) << bad.Reason;
    EXPECT_STREQ(reason, bad.Reason);
  }
  // Side B without its MVQ range still serves the fTPM-only case.
  FlashMap map = TwoSidedMap();
  map.Nvram[1][1] = {};
  EXPECT_EQ(CheckFlashMap(map, RecoveryCase::FtpmOnly), nullptr);
}

TEST(FlashMapRules, RequestsAndCasesCorrespond) {
  EXPECT_EQ(CaseOfRequest(122), RecoveryCase::Full);
  EXPECT_EQ(CaseOfRequest(377), RecoveryCase::FtpmOnly);
  EXPECT_EQ(CaseOfRequest(0), RecoveryCase::None);
  EXPECT_EQ(CaseOfRequest(552), RecoveryCase::None);
  EXPECT_EQ(RequestOfCase(RecoveryCase::Full), 122U);
  EXPECT_EQ(RequestOfCase(RecoveryCase::FtpmOnly), 377U);
  EXPECT_EQ(RequestOfCase(RecoveryCase::None), 0U);
  EXPECT_TRUE(CaseErases(RecoveryCase::Full, NvramKind::Mvq));
  EXPECT_FALSE(CaseErases(RecoveryCase::FtpmOnly, NvramKind::Mvq));
  EXPECT_FALSE(CaseErases(RecoveryCase::None, NvramKind::Ftpm));
}

TEST(FlashMapRules, AddressesMapToImageOffsetsThroughEitherWindow) {
  UINT64 offset = 0;
  EXPECT_TRUE(FlashImageOffset(0x1140000, &offset));
  EXPECT_EQ(offset, 0x1140000U);
  EXPECT_TRUE(FlashImageOffset(0xFF400000, &offset));
  EXPECT_EQ(offset, 0x400000U);
  EXPECT_TRUE(FlashImageOffset(0xFD01140000, &offset));
  EXPECT_EQ(offset, 0x1140000U);
  EXPECT_TRUE(FlashImageOffset(0x3FFFFFF, &offset));
  EXPECT_FALSE(FlashImageOffset(0x4000000, &offset));
  EXPECT_FALSE(FlashImageOffset(0xFEFFFFFF, &offset));
  EXPECT_FALSE(FlashImageOffset(0xFD04000000, &offset));
  EXPECT_FALSE(FlashImageOffset(~0ULL, &offset));
}

TEST(FlashMapRules, OnlyWholeBlocksInsideOneRangeMayBeErased) {
  const FlashMap map = TwoSidedMap();
  FlashSide side{};
  NvramKind kind{};
  EXPECT_EQ(CheckErase(map, 0x50000, 0x2000, &side, &kind), EraseCheck::Allowed);
  EXPECT_EQ(side, FlashSide::B);
  EXPECT_EQ(kind, NvramKind::Mvq);
  EXPECT_EQ(CheckErase(map, 0x11000, 0x1000, &side, &kind), EraseCheck::Allowed);  // part of a range
  EXPECT_EQ(side, FlashSide::A);
  EXPECT_EQ(kind, NvramKind::Ftpm);
  EXPECT_EQ(CheckErase(map, 0x10000, 0x4800, &side, &kind), EraseCheck::NotErasable);  // runs past its range
  EXPECT_EQ(CheckErase(map, 0x0F000, 0x2000, &side, &kind), EraseCheck::NotErasable);  // starts before it
  EXPECT_EQ(CheckErase(map, 0x30000, 0x1000, &side, &kind), EraseCheck::NotErasable);  // between ranges
  EXPECT_EQ(CheckErase(map, 0x10000, ~0ULL, &side, &kind), EraseCheck::NotErasable);
  EXPECT_EQ(CheckErase(map, 0x10800, 0x1000, &side, &kind), EraseCheck::NotWholeBlocks);
  EXPECT_EQ(CheckErase(map, 0x10000, 0x0800, &side, &kind), EraseCheck::NotWholeBlocks);
  EXPECT_EQ(CheckErase(map, 0x10000, 0, &side, &kind), EraseCheck::NotWholeBlocks);
  EXPECT_EQ(CheckErase(map, 0x30000, 0, &side, &kind), EraseCheck::NotWholeBlocks);
}

// A flash device in host memory: block erases, a read-back, and faults.
struct FakeDevice {
  std::vector<UINT8> Bytes = std::vector<UINT8>(kDevice, 0x5A);
  std::set<UINT64> Failing;  // blocks whose erase reports failure, changing nothing
  std::set<UINT64> Stuck;    // blocks whose erase reports success but keeps a byte
  unsigned Erases = 0;

  static bool Erase(void* context, UINT64 offset, UINT64 length) {
    auto* d = static_cast<FakeDevice*>(context);
    for (UINT64 at = offset; at < offset + length; at += kBlock) {
      ++d->Erases;
      if (d->Failing.count(at) != 0) {
        return false;
      }
      std::memset(d->Bytes.data() + at, 0xFF, kBlock);
      if (d->Stuck.count(at) != 0) {
        d->Bytes[at + 7] = 0;
      }
    }
    return true;
  }
  static bool ReadsErased(void* context, UINT64 offset, UINT64 length) {
    const auto* d = static_cast<const FakeDevice*>(context);
    for (UINT64 i = offset; i < offset + length; ++i) {
      if (d->Bytes[i] != 0xFF) {
        return false;
      }
    }
    return true;
  }
  FlashDevice Device() { return FlashDevice{Erase, ReadsErased, this}; }
  size_t ErasedBytes() const { return static_cast<size_t>(std::count(Bytes.begin(), Bytes.end(), 0xFF)); }
};

class FlashServiceTest : public ::testing::Test {
 protected:
  FlashServiceTest() { Compose(0x10000, 0x4000); }

  void Compose(UINT64 address, UINT64 size) {
    std::fill(buffer.begin(), buffer.end(), 0xAA);
    std::memset(buffer.data(), 0, kEraseMessageSize);
    std::memcpy(buffer.data(), &gFlashSmmServiceGuid, sizeof(EFI_GUID));
    support::WriteUnaligned<UINT64>(buffer.data() + 16, kEraseMessageLength);
    support::WriteUnaligned<UINT32>(buffer.data() + 24, kEraseFunction);
    support::WriteUnaligned<UINT64>(buffer.data() + 32, address);
    support::WriteUnaligned<UINT64>(buffer.data() + 40, size);
  }
  FlashService Service() {
    return FlashService{&map, device.Device(), support::PointerToAddress(buffer.data()), buffer.size(), FALSE};
  }
  EraseReply Serve(UINTN commSize = kEraseMessageSize) { return ServeFlashErase(Service(), buffer.data(), commSize); }

  FlashMap map = TwoSidedMap();
  FakeDevice device;
  std::vector<UINT8> buffer = std::vector<UINT8>(256);
};

TEST_F(FlashServiceTest, AWellFormedRequestForAnNvramRangeIsErasedAndReadBack) {
  const EraseReply reply = Serve();
  EXPECT_EQ(reply.Status, EFI_SUCCESS);
  EXPECT_EQ(reply.Verdict, EraseVerdict::Erased);
  EXPECT_EQ(reply.Offset, 0x10000U);
  EXPECT_EQ(reply.Side, FlashSide::A);
  EXPECT_EQ(reply.Kind, NvramKind::Ftpm);
  EXPECT_EQ(device.ErasedBytes(), 0x4000U);
  EXPECT_EQ(device.Bytes[0xFFFF], 0x5A);
  EXPECT_EQ(device.Bytes[0x14000], 0x5A);
  // Size is left as the driver wrote it.
  EXPECT_EQ(support::ReadUnaligned<UINT64>(buffer.data() + 40), 0x4000U);
}

TEST_F(FlashServiceTest, WindowAddressesReachTheSameRanges) {
  Compose(0xFD00050000, 0x2000);
  EXPECT_EQ(Serve().Status, EFI_SUCCESS);
  Compose(0xFF040000, 0x1000);
  const EraseReply reply = Serve();
  EXPECT_EQ(reply.Status, EFI_SUCCESS);
  EXPECT_EQ(reply.Side, FlashSide::B);
  EXPECT_EQ(device.ErasedBytes(), 0x3000U);
}

TEST_F(FlashServiceTest, MessagesOfAnyOtherFormChangeNothing) {
  struct Broken {
    const char* Reason;
    UINTN CommSize;
    UINTN Field;
    UINT64 Value;
    unsigned Width;
  };
  const Broken cases[] = {
      {"comm-size", 47, 0, 0, 0},        {"comm-size", 56, 0, 0, 0}, {"comm-size", 24, 0, 0, 0},
      {"message-length", 48, 16, 32, 8}, {"function", 48, 24, 1, 4}, {"reserved", 48, 28, 1, 4},
  };
  for (const Broken& c : cases) {
    Compose(0x10000, 0x4000);
    if (c.Width == 8) {
      support::WriteUnaligned<UINT64>(buffer.data() + c.Field, c.Value);
    } else if (c.Width == 4) {
      support::WriteUnaligned<UINT32>(buffer.data() + c.Field, static_cast<UINT32>(c.Value));
    }
    const EraseReply reply = Serve(c.CommSize);
    EXPECT_EQ(reply.Status, EFI_INVALID_PARAMETER) << c.Reason;
    EXPECT_EQ(reply.Verdict, EraseVerdict::BadForm) << c.Reason;
    ASSERT_NE(reply.Reason, nullptr);
    EXPECT_STREQ(reply.Reason, c.Reason);
  }
  EXPECT_EQ(device.Erases, 0U);
  EXPECT_EQ(device.ErasedBytes(), 0U);
}

TEST_F(FlashServiceTest, AMessageOutsideTheCommunicationBufferIsRefusedUnread) {
  // A copy of a well-formed request elsewhere in memory.
  std::vector<UINT8> elsewhere(buffer.begin(), buffer.begin() + kEraseMessageSize);
  EraseReply reply = ServeFlashErase(Service(), elsewhere.data(), kEraseMessageSize);
  EXPECT_EQ(reply.Verdict, EraseVerdict::OutsideBuffer);
  EXPECT_EQ(reply.Status, EFI_INVALID_PARAMETER);
  // Inside the buffer but not at its start, or running past its end.
  reply = ServeFlashErase(Service(), buffer.data() + 8, kEraseMessageSize);
  EXPECT_EQ(reply.Verdict, EraseVerdict::OutsideBuffer);
  FlashService small = Service();
  small.CommBufferSize = kEraseMessageSize - 1;
  reply = ServeFlashErase(small, buffer.data(), kEraseMessageSize);
  EXPECT_EQ(reply.Verdict, EraseVerdict::OutsideBuffer);
  reply = ServeFlashErase(Service(), nullptr, kEraseMessageSize);
  EXPECT_EQ(reply.Verdict, EraseVerdict::OutsideBuffer);
  EXPECT_EQ(device.Erases, 0U);
}

TEST_F(FlashServiceTest, RangesOutsideTheMapAreDeniedAndPartialBlocksRefused) {
  struct Request {
    UINT64 Address;
    UINT64 Size;
    EraseVerdict Verdict;
    EFI_STATUS Status;
  };
  const Request requests[] = {
      {0x30000, 0x1000, EraseVerdict::NotErasable, EFI_ACCESS_DENIED},       // no NVRAM there
      {0x0, 0x100000, EraseVerdict::NotErasable, EFI_ACCESS_DENIED},         // the whole flash
      {0x10000, 0x5000, EraseVerdict::NotErasable, EFI_ACCESS_DENIED},       // one block past the range
      {0x10000, ~0ULL, EraseVerdict::NotErasable, EFI_ACCESS_DENIED},        // wraps
      {0xFD00030000, 0x1000, EraseVerdict::NotErasable, EFI_ACCESS_DENIED},  // through a window
      {0x10000, 0x3800, EraseVerdict::NotWholeBlocks, EFI_INVALID_PARAMETER},
      {0x10100, 0x1000, EraseVerdict::NotWholeBlocks, EFI_INVALID_PARAMETER},
      {0x10000, 0, EraseVerdict::NotWholeBlocks, EFI_INVALID_PARAMETER},
      {0xFE000000, 0x1000, EraseVerdict::NotFlashAddress, EFI_INVALID_PARAMETER},
      {0x4000000, 0x1000, EraseVerdict::NotFlashAddress, EFI_INVALID_PARAMETER},
  };
  for (const Request& r : requests) {
    Compose(r.Address, r.Size);
    const EraseReply reply = Serve();
    EXPECT_EQ(reply.Verdict, r.Verdict) << std::hex << r.Address << "+" << r.Size;
    EXPECT_EQ(reply.Status, r.Status) << std::hex << r.Address << "+" << r.Size;
  }
  EXPECT_EQ(device.Erases, 0U);
  EXPECT_EQ(device.ErasedBytes(), 0U);
}

TEST_F(FlashServiceTest, AfterExitBootServicesNothingIsServed) {
  FlashService closed = Service();
  closed.Closed = TRUE;
  const EraseReply reply = ServeFlashErase(closed, buffer.data(), kEraseMessageSize);
  EXPECT_EQ(reply.Verdict, EraseVerdict::Closed);
  EXPECT_EQ(reply.Status, EFI_ACCESS_DENIED);
  EXPECT_EQ(device.Erases, 0U);
}

TEST_F(FlashServiceTest, AnEraseTheDeviceFailsOrThatDoesNotReadBackErasedIsADeviceError) {
  device.Failing.insert(0x12000);
  EraseReply reply = Serve();
  EXPECT_EQ(reply.Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(reply.Verdict, EraseVerdict::DeviceFailed);
  device.Failing.clear();
  device.Stuck.insert(0x13000);
  reply = Serve();
  EXPECT_EQ(reply.Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(reply.Verdict, EraseVerdict::NotErasedAfter);
  device.Stuck.clear();
  EXPECT_EQ(Serve().Status, EFI_SUCCESS);
}

// --- Swap detection and the record -------------------------------------------

class SwapDetection : public ::testing::Test {
 public:
  static constexpr UINT32 kOld = 0x00A20F12;
  static constexpr UINT32 kNew = 0x00A70F42;

  sim::VariableStore& Store() { return m.runtime.Variables; }
  void Record(UINT32 value, UINT32 attributes = kSignatureAttributes, size_t size = 4) {
    std::vector<UINT8> data(size, 0);
    std::memcpy(data.data(), &value, std::min<size_t>(size, 4));
    Store().Put(gFtpmPlatformVariableGuid, kLastSignatureVariable, attributes, data);
  }
  const sim::Variable* Stored() { return Store().Find(gFtpmPlatformVariableGuid, kLastSignatureVariable); }
  UINT32 StoredValue() {
    UINT32 value = 0;
    std::memcpy(&value, Stored()->Data.data(), 4);
    return value;
  }
  RecoveryState Detect(UINT32 current, RecoveryCase c = RecoveryCase::Full) {
    RecoveryState state{};
    BeginRecovery(state, &m.runtime.Table, &map, c);
    DetectProcessorSwap(state, current);
    return state;
  }

  sim::Machine m;
  FlashMap map = TwoSidedMap();
  FakeDevice device;
};

TEST_F(SwapDetection, ANewMachineRecordsItsProcessorAndRequestsNothing) {
  const RecoveryState s = Detect(kNew);
  EXPECT_EQ(s.Decision, SwapDecision::FirstBoot);
  EXPECT_FALSE(s.Pending);
  EXPECT_EQ(s.WriteStatus, EFI_SUCCESS);
  ASSERT_NE(Stored(), nullptr);
  EXPECT_EQ(Stored()->Attributes, kSignatureAttributes);
  EXPECT_EQ(StoredValue(), kNew);
}

TEST_F(SwapDetection, TheSameProcessorRequestsNothingAndAnotherOneDoes) {
  Record(kNew);
  EXPECT_EQ(Detect(kNew).Decision, SwapDecision::SameProcessor);
  EXPECT_FALSE(Detect(kNew).Pending);
  const RecoveryState s = Detect(kOld);
  EXPECT_EQ(s.Decision, SwapDecision::Swapped);
  EXPECT_TRUE(s.Pending);
  EXPECT_EQ(s.Recorded, kNew);
  // Nothing is written until the recovery is done.
  EXPECT_FALSE(s.Wrote);
  EXPECT_EQ(StoredValue(), kNew);
}

TEST_F(SwapDetection, DetectionOffReadsAndWritesNothing) {
  const RecoveryState s = Detect(kNew, RecoveryCase::None);
  EXPECT_EQ(s.Decision, SwapDecision::Off);
  EXPECT_FALSE(s.Pending);
  EXPECT_EQ(Stored(), nullptr);
}

TEST_F(SwapDetection, AnUntrustedRecordIsKeptAndTheRecoveryRequested) {
  struct Untrusted {
    const char* What;
    void (*Make)(SwapDetection&);
    RecordFault Fault;
  };
  const Untrusted cases[] = {
      {"eight bytes", [](SwapDetection& t) { t.Record(kOld, kSignatureAttributes, 8); }, RecordFault::Size},
      {"two bytes", [](SwapDetection& t) { t.Record(kOld, kSignatureAttributes, 2); }, RecordFault::Size},
      {"larger than any record", [](SwapDetection& t) { t.Record(kOld, kSignatureAttributes, 64); }, RecordFault::Size},
      {"runtime access", [](SwapDetection& t) { t.Record(kOld, kSignatureAttributes | EFI_VARIABLE_RUNTIME_ACCESS); },
       RecordFault::Attributes},
      {"volatile", [](SwapDetection& t) { t.Record(kOld, EFI_VARIABLE_BOOTSERVICE_ACCESS); }, RecordFault::Attributes},
      {"a failing store", [](SwapDetection& t) { t.Store().GetFailure = EFI_DEVICE_ERROR; }, RecordFault::ReadError},
  };
  for (const Untrusted& c : cases) {
    Store().Variables.clear();
    Store().GetFailure.reset();
    c.Make(*this);
    const auto before = Store().Variables;
    const RecoveryState s = Detect(kNew);
    EXPECT_EQ(s.Decision, SwapDecision::FaultyRecord) << c.What;
    EXPECT_EQ(s.Fault, c.Fault) << c.What;
    EXPECT_TRUE(s.Pending) << c.What;
    EXPECT_FALSE(s.Wrote) << c.What;
    EXPECT_EQ(Store().Variables.size(), before.size()) << c.What;
    if (!before.empty()) {
      EXPECT_EQ(Stored()->Data, before.begin()->second.Data) << c.What;
      EXPECT_EQ(Stored()->Attributes, before.begin()->second.Attributes) << c.What;
    }
  }
}

TEST_F(SwapDetection, TheRecordFollowsOnlyOnceEveryRangeOfTheCaseIsErased) {
  Record(kOld);
  RecoveryState s = Detect(kNew);
  ASSERT_TRUE(s.Pending);
  const FlashDevice dev = device.Device();
  // The fTPM NVRAM of side A erased: the MVQ NVRAM still holds records.
  std::memset(device.Bytes.data() + 0x10000, 0xFF, 0x4000);
  EXPECT_FALSE(NoteVerifiedErase(s, dev, FlashSide::A));
  EXPECT_EQ(StoredValue(), kOld);
  // Side B erased whole does not complete a recovery of side A... and a
  // recovery is on the side whose range was just erased.
  std::memset(device.Bytes.data() + 0x40000, 0xFF, 0x4000);
  EXPECT_FALSE(NoteVerifiedErase(s, dev, FlashSide::B));
  std::memset(device.Bytes.data() + 0x20000, 0xFF, 0x2000);
  EXPECT_TRUE(NoteVerifiedErase(s, dev, FlashSide::A));
  EXPECT_TRUE(s.Completed);
  EXPECT_EQ(s.CompletedSide, FlashSide::A);
  EXPECT_EQ(StoredValue(), kNew);
  // Once a boot.
  EXPECT_FALSE(NoteVerifiedErase(s, dev, FlashSide::A));
}

TEST_F(SwapDetection, TheFtpmOnlyCaseNeedsOnlyTheFtpmRange) {
  Record(kOld);
  RecoveryState s = Detect(kNew, RecoveryCase::FtpmOnly);
  std::memset(device.Bytes.data() + 0x40000, 0xFF, 0x4000);
  EXPECT_TRUE(NoteVerifiedErase(s, device.Device(), FlashSide::B));
  EXPECT_EQ(StoredValue(), kNew);
}

TEST_F(SwapDetection, WithoutARequestAnEraseRecordsNothing) {
  Record(kNew);
  RecoveryState s = Detect(kNew);
  std::memset(device.Bytes.data(), 0xFF, device.Bytes.size());
  EXPECT_FALSE(NoteVerifiedErase(s, device.Device(), FlashSide::A));
  EXPECT_FALSE(s.Wrote);
}

TEST_F(SwapDetection, AnUntrustedRecordIsReplacedWholeAfterTheRecovery) {
  Record(kOld, kSignatureAttributes | EFI_VARIABLE_RUNTIME_ACCESS, 8);
  RecoveryState s = Detect(kNew);
  std::memset(device.Bytes.data(), 0xFF, device.Bytes.size());
  EXPECT_TRUE(NoteVerifiedErase(s, device.Device(), FlashSide::A));
  EXPECT_EQ(s.WriteStatus, EFI_SUCCESS);
  EXPECT_EQ(Stored()->Attributes, kSignatureAttributes);
  EXPECT_EQ(Stored()->Data.size(), 4U);
  EXPECT_EQ(StoredValue(), kNew);
  // The next boot trusts it.
  EXPECT_EQ(Detect(kNew).Decision, SwapDecision::SameProcessor);
}

TEST_F(SwapDetection, AFailedWriteLeavesTheRequestForTheNextBoot) {
  Record(kOld);
  RecoveryState s = Detect(kNew);
  std::memset(device.Bytes.data(), 0xFF, device.Bytes.size());
  Store().SetFailure = EFI_OUT_OF_RESOURCES;
  EXPECT_FALSE(NoteVerifiedErase(s, device.Device(), FlashSide::A));
  EXPECT_FALSE(s.Completed);
  EXPECT_EQ(s.WriteStatus, EFI_OUT_OF_RESOURCES);
  Store().SetFailure.reset();
  EXPECT_TRUE(Detect(kNew).Pending);
}

TEST_F(SwapDetection, AWriteThatDoesNotReadBackAsWrittenFails) {
  // A write the store takes but cannot read back does not count.
  Record(kOld);
  Store().GetFailure = EFI_DEVICE_ERROR;
  EXPECT_EQ(WriteSignatureRecord(&m.runtime.Table, kNew, false), EFI_DEVICE_ERROR);
  Store().GetFailure.reset();
  // A record whose attributes a write cannot change: without deleting it
  // first the write is refused; with it the record is replaced.
  Record(kOld, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(WriteSignatureRecord(&m.runtime.Table, kNew, false), EFI_INVALID_PARAMETER);
  EXPECT_EQ(WriteSignatureRecord(&m.runtime.Table, kNew, true), EFI_SUCCESS);
  EXPECT_EQ(StoredValue(), kNew);
  // A store that refuses the delete is not written either.
  Record(kOld, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  Store().SetFailure = EFI_WRITE_PROTECTED;
  EXPECT_EQ(WriteSignatureRecord(&m.runtime.Table, kNew, true), EFI_WRITE_PROTECTED);
  EXPECT_EQ(StoredValue(), kOld);
}

// --- The S3 receiver -------------------------------------------------------------

class S3ReceiverTest : public ::testing::Test {
 protected:
  S3ReceiverTest() {
    std::memcpy(buffer.data(), &gS3TableHandOverGuid, sizeof(EFI_GUID));
    support::WriteUnaligned<UINT64>(buffer.data() + 16, kS3MessageLength);
    support::WriteUnaligned<UINT32>(buffer.data() + 24, kS3Function);
    support::WriteUnaligned<UINT64>(buffer.data() + 32, support::PointerToAddress(record.data()));
    record[0] = 1;
    support::WriteUnaligned<UINT64>(record.data() + 8, support::PointerToAddress(table.data()));
    std::memcpy(table.data(), "KS3T", 4);
    support::WriteUnaligned<UINT64>(table.data() + 32, table.size());
    support::WriteUnaligned<UINT64>(table.data() + 40, 56);
    support::WriteUnaligned<UINT16>(table.data() + 56, 0xFFFF);
  }
  static bool Readable(void* context, UINT64 address, UINT64 length) {
    auto* self = static_cast<S3ReceiverTest*>(context);
    auto inside = [&](const std::vector<UINT8>& v) {
      const UINT64 start = support::PointerToAddress(v.data());
      return address >= start && address - start <= v.size() && length <= v.size() - (address - start);
    };
    return inside(self->record) || (self->tableReadable && inside(self->table));
  }
  S3Receipt Receive(UINTN commSize = kS3MessageSize) {
    return ReceiveS3HandOver(buffer.data(), commSize, support::PointerToAddress(buffer.data()), buffer.size(),
                             MemoryCheck{Readable, this});
  }

  std::vector<UINT8> buffer = std::vector<UINT8>(64);
  std::vector<UINT8> record = std::vector<UINT8>(16);
  std::vector<UINT8> table = std::vector<UINT8>(0x100);
  bool tableReadable = true;
};

TEST_F(S3ReceiverTest, TakesTheRecordAndTheTableHeaderDuringTheCall) {
  const S3Receipt r = Receive();
  EXPECT_EQ(r.Status, EFI_SUCCESS);
  EXPECT_EQ(r.Locked, 1);
  EXPECT_EQ(r.Closed, 0);
  EXPECT_EQ(r.Table, support::PointerToAddress(table.data()));
  EXPECT_EQ(std::memcmp(r.TableHeader, "KS3T", 4), 0);
  EXPECT_EQ(r.TableSize, 0x100U);
  EXPECT_TRUE(r.HaveEndMarker);
  EXPECT_EQ(r.EndMarker, 0xFFFF);
}

TEST_F(S3ReceiverTest, RefusesOtherFormsAndMemoryItMayNotRead) {
  EXPECT_STREQ(Receive(41).Reason, "comm-size");
  support::WriteUnaligned<UINT64>(buffer.data() + 16, 24);
  EXPECT_STREQ(Receive().Reason, "message-length");
  support::WriteUnaligned<UINT64>(buffer.data() + 16, kS3MessageLength);
  support::WriteUnaligned<UINT32>(buffer.data() + 24, 4);
  EXPECT_STREQ(Receive().Reason, "function");
  EXPECT_FALSE(Receive().FormOk);
  support::WriteUnaligned<UINT32>(buffer.data() + 24, kS3Function);
  support::WriteUnaligned<UINT32>(buffer.data() + 28, 1);
  EXPECT_STREQ(Receive().Reason, "reserved");
  support::WriteUnaligned<UINT32>(buffer.data() + 28, 0);
  S3Receipt r = ReceiveS3HandOver(buffer.data() + 8, kS3MessageSize, support::PointerToAddress(buffer.data()),
                                  buffer.size(), MemoryCheck{Readable, this});
  EXPECT_STREQ(r.Reason, "outside-comm-buffer");
  tableReadable = false;
  r = Receive();
  EXPECT_EQ(r.Status, EFI_INVALID_PARAMETER);
  EXPECT_STREQ(r.Reason, "table-unreadable");
  support::WriteUnaligned<UINT64>(buffer.data() + 32, 0x1000);
  EXPECT_STREQ(Receive().Reason, "record-unreadable");
  // A next-free offset that runs off the table: no end marker is read.
  tableReadable = true;
  support::WriteUnaligned<UINT64>(buffer.data() + 32, support::PointerToAddress(record.data()));
  support::WriteUnaligned<UINT64>(table.data() + 40, ~0ULL - 1);
  r = Receive();
  EXPECT_EQ(r.Status, EFI_SUCCESS);
  EXPECT_FALSE(r.HaveEndMarker);
}

// --- Erase-service-ready, the TSC table and the caller ----------------------------

EFI_STATUS EFIAPI AHandler() { return EFI_SUCCESS; }

TEST(PlatformServices, InstallPublishAndFind) {
  sim::MachineConfig config;
  config.EraseServiceReady = false;
  sim::Machine m(config);
  EXPECT_EQ(InstallEraseServiceReady(&m.boot.Table), EFI_SUCCESS);
  EXPECT_NE(m.boot.Find(gEraseServiceReadyProtocolGuid), nullptr);

  VOID* table = nullptr;
  EXPECT_EQ(PublishTscFrequency(&m.boot.Table, 2'500'000'000, &table), EFI_SUCCESS);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(m.boot.ConfigurationTable(gTscFrequencyTableGuid), table);
  EXPECT_EQ(support::ReadUnaligned<UINT64>(table), 2'500'000'000U);
  // A pool that cannot serve the block publishes nothing and keeps nothing.
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  VOID* second = nullptr;
  EXPECT_EQ(PublishTscFrequency(&m.boot.Table, 1, &second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(second, nullptr);

  // A table the firmware will not take is not left allocated.
  const size_t held = m.boot.Outstanding().size();
  m.faults.FailNth(sim::Op::InstallConfigurationTable, m.faults.Calls(sim::Op::InstallConfigurationTable) + 1);
  EXPECT_EQ(PublishTscFrequency(&m.boot.Table, 1, &second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(m.boot.Outstanding().size(), held);

  // The caller: nothing to call before the driver installs its protocol; its
  // interface once it has; the watchdog stopped before the call.
  EXPECT_EQ(FindRecoveryProtocol(&m.boot.Table), nullptr);
  driver::FTPM_RECOVERY_PROTOCOL empty{};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &empty);
  EXPECT_EQ(FindRecoveryProtocol(&m.boot.Table), nullptr);  // no handler in it
  m.UninstallProtocol(gFtpmRecoveryProtocolGuid);
  driver::FTPM_RECOVERY_PROTOCOL installed{AHandler, 0x80};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &installed);
  EXPECT_EQ(FindRecoveryProtocol(&m.boot.Table), &installed);
  m.boot.WatchdogTimeout = 300;
  StopWatchdog(&m.boot.Table);
  EXPECT_EQ(m.boot.WatchdogTimeout, 0U);
}

// The names the reports print: one for each outcome, none shared, so that
// a report reader can tell every outcome apart.
TEST(PlatformServices, EveryOutcomeHasItsOwnName) {
  std::set<std::string> verdicts;
  for (UINTN v = 0; v <= static_cast<UINTN>(EraseVerdict::NotErasedAfter); ++v) {
    verdicts.insert(EraseVerdictName(static_cast<EraseVerdict>(v)));
  }
  EXPECT_EQ(verdicts.size(), static_cast<size_t>(EraseVerdict::NotErasedAfter) + 1);
  EXPECT_EQ(verdicts.count("unknown"), 0U);
  std::set<std::string> decisions;
  for (UINTN d = 0; d <= static_cast<UINTN>(SwapDecision::FaultyRecord); ++d) {
    decisions.insert(SwapDecisionName(static_cast<SwapDecision>(d)));
  }
  EXPECT_EQ(decisions, (std::set<std::string>{"off", "first-boot", "same-processor", "swapped", "record-fault"}));
  std::set<std::string> faults;
  for (UINTN f = 0; f <= static_cast<UINTN>(RecordFault::Attributes); ++f) {
    faults.insert(RecordFaultName(static_cast<RecordFault>(f)));
  }
  EXPECT_EQ(faults, (std::set<std::string>{"none", "read-error", "size", "attributes"}));
  EXPECT_STREQ(SideName(FlashSide::B), "b");
  EXPECT_STREQ(KindName(NvramKind::Mvq), "mvq");
}

}  // namespace
}  // namespace ftpm::reference
