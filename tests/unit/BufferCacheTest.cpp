// The buffer cache: HOB import (well-formed and hostile), named buffers,
// result codes, and two modules sharing one list.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Firmware.h"
#include "support/Settings.h"

namespace ftpm::support {
namespace {

using sim::HobListBuilder;
using sim::Machine;

std::vector<UINT8> Bytes(std::initializer_list<UINT8> list) { return std::vector<UINT8>(list); }

std::vector<UINT8> Find(UINT32 handle) {
  BufferLocateRequest request{handle, 0xFFFF, reinterpret_cast<VOID*>(1)};
  if (FindCachedBuffer(&request) != kBufferSuccess) {
    EXPECT_EQ(request.Buffer, nullptr);
    EXPECT_EQ(request.Size, 0U);
    return {};
  }
  const auto* data = static_cast<const UINT8*>(request.Buffer);
  return std::vector<UINT8>(data, data + request.Size);
}

bool Has(UINT32 handle) {
  BufferLocateRequest request{handle, 0, nullptr};
  return FindCachedBuffer(&request) == kBufferSuccess;
}

// Handles in list order, walking the links as another module would.
std::vector<UINT32> ListHandles(LIST_ENTRY* head) {
  std::vector<UINT32> handles;
  for (LIST_ENTRY* link = head->ForwardLink; link != head; link = link->ForwardLink) {
    handles.push_back(reinterpret_cast<BufferNode*>(link)->Header.Handle);
  }
  return handles;
}

class ImportTest : public ::testing::Test {
 protected:
  void Import(const HobListBuilder& hobs) {
    m.SetHobList(hobs.Build());
    m.LoadDriverImage();
    ImportHeapBuffers();
  }
  Machine m;
};

TEST_F(ImportTest, NoHeapHobsGiveAnEmptyListThatIsStillPublished) {
  Import(HobListBuilder().GuidHob(gEfiHobListGuid, Bytes({1, 2, 3})));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{});
  auto* published = static_cast<BUFFER_CACHE_PROTOCOL*>(m.boot.Find(gBufferCacheProtocolGuid));
  ASSERT_NE(published, nullptr);
  EXPECT_EQ(published->Value, 1U);
  EXPECT_EQ(&published->ListHead, gBufferCacheState.ListHead);
}

TEST_F(ImportTest, InUseHeapHobsAreCopiedInHobOrder) {
  Import(HobListBuilder()
             .HeapBuffer(41021, Bytes({1, 2, 3}))
             .GuidHob(gEfiHobListGuid, Bytes({9, 9}))  // another GUID: skipped
             .HeapBuffer(41020, Bytes({4, 5}))
             .HeapBuffer(7, Bytes({6}), 7, /*inUse=*/0)
             .HeapBuffer(8, Bytes({6}), 7, 1, /*signature=*/0x50414549)
             .HeapBuffer(9, Bytes({})));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), (std::vector<UINT32>{41021, 41020, 9}));
  EXPECT_EQ(Find(41021), Bytes({1, 2, 3}));
  EXPECT_EQ(Find(41020), Bytes({4, 5}));
  EXPECT_TRUE(Has(9));
  EXPECT_TRUE(Find(9).empty());
}

TEST_F(ImportTest, ImportedHeaderKeepsItsReservedBytesAndPersistenceEightIsRuntimeData) {
  Import(HobListBuilder().HeapBuffer(5, Bytes({0xAA, 0xBB}), 8));
  auto* node = reinterpret_cast<BufferNode*>(gBufferCacheState.ListHead->ForwardLink);
  EXPECT_EQ(node->Header.Persistence, 8);
  EXPECT_EQ(m.boot.Outstanding().at(node).Type, EfiRuntimeServicesData);
}

TEST_F(ImportTest, DuplicateHandlesAreBothImportedAndTheFirstWins) {
  Import(HobListBuilder().HeapBuffer(3, Bytes({1})).HeapBuffer(3, Bytes({2})));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), (std::vector<UINT32>{3, 3}));
  EXPECT_EQ(Find(3), Bytes({1}));
}

TEST_F(ImportTest, BufferAnnouncingMoreDataThanItsHobHoldsIsSkipped) {
  // A HEAP header that claims 4096 data bytes in a HOB that holds 8.
  std::vector<UINT8> lying(24, 0);
  const UINT32 signature = kHeapSignature;
  const UINT32 handle = 77;
  const UINT32 size = 4096;
  std::memcpy(&lying[0], &signature, 4);
  std::memcpy(&lying[4], &handle, 4);
  std::memcpy(&lying[8], &size, 4);
  lying[12] = 7;
  lying[13] = 1;
  Import(HobListBuilder().GuidHob(gHeapBufferHobGuid, lying).HeapBuffer(78, Bytes({1})));
  EXPECT_FALSE(Has(77));
  EXPECT_EQ(Find(78), Bytes({1}));
}

// A HOB whose data holds only the first half of a buffer header. The eight
// bytes after it, a HOB of type 2 and length 0 (which ends the walk), would
// complete the header as Size 2, Persistence 7, InUse 1: read past the HOB,
// the header looks importable.
TEST_F(ImportTest, HobTooShortForABufferHeaderIsSkipped) {
  std::vector<UINT8> shortHob(24 + 8, 0);
  shortHob[0] = EFI_HOB_TYPE_GUID_EXTENSION;
  shortHob[2] = static_cast<UINT8>(shortHob.size());
  std::memcpy(&shortHob[8], &gHeapBufferHobGuid, sizeof(EFI_GUID));
  const UINT32 signature = kHeapSignature;
  const UINT32 handle = 7;
  std::memcpy(&shortHob[24], &signature, 4);
  std::memcpy(&shortHob[28], &handle, 4);
  const std::vector<UINT8> completion = {2, 0, 0, 0, 7, 1, 0, 0};
  Import(HobListBuilder().HeapBuffer(2, Bytes({5})).Raw(shortHob).Raw(completion));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{2});
}

TEST_F(ImportTest, ZeroLengthHobEndsTheWalkInsteadOfLoopingOnIt) {
  std::vector<UINT8> zeroLength(8, 0);
  zeroLength[0] = 4;  // a GUID-extension HOB of length 0
  Import(HobListBuilder().HeapBuffer(1, Bytes({1})).Raw(zeroLength).HeapBuffer(2, Bytes({2})));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{1});
}

TEST_F(ImportTest, HobRunningPastTheAnnouncedEndOfTheListIsNotRead) {
  std::vector<UINT8> hobs = HobListBuilder().HeapBuffer(1, Bytes({1})).HeapBuffer(2, Bytes({2})).Build();
  // Announce the end of the list inside the second buffer HOB.
  auto* phit = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE*>(hobs.data());
  m.SetHobList(hobs);
  auto* published = static_cast<UINT8*>(m.HobList());
  phit = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE*>(published);
  phit->EfiEndOfHobList = reinterpret_cast<UINT64>(published + hobs.size() - 8 - 16);
  m.LoadDriverImage();
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{1});
}

TEST_F(ImportTest, FailedNodeAllocationSkipsThatBufferOnly) {
  m.SetHobList(HobListBuilder().HeapBuffer(1, Bytes({1})).HeapBuffer(2, Bytes({2})).Build());
  m.LoadDriverImage();
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{2});
}

// The HOB list without its hand-off HOB: the end of the list is unknown, so
// the walk goes by the end-of-list HOB alone.
TEST_F(ImportTest, ListWithoutAHandOffHobIsWalkedToItsEndOfListHob) {
  std::vector<UINT8> hobs = HobListBuilder().HeapBuffer(1, Bytes({1})).HeapBuffer(2, Bytes({2})).Build();
  const UINT16 phitLength = static_cast<UINT16>(hobs[2] | (hobs[3] << 8));
  hobs.erase(hobs.begin(), hobs.begin() + phitLength);
  m.SetHobList(hobs);
  m.LoadDriverImage();
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), (std::vector<UINT32>{1, 2}));
}

// An announced end so high that the address past its end-of-list HOB would
// wrap is no bound at all: trusted, it would end the walk before the first HOB.
TEST_F(ImportTest, AnnouncedEndPastTheTopOfMemoryIsNotTrusted) {
  m.SetHobList(HobListBuilder().HeapBuffer(1, Bytes({1})).HeapBuffer(2, Bytes({2})).Build());
  auto* phit = static_cast<EFI_HOB_HANDOFF_INFO_TABLE*>(m.HobList());
  phit->EfiEndOfHobList = ~UINT64{0} - 4;
  m.LoadDriverImage();
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), (std::vector<UINT32>{1, 2}));
}

// The announced end reached without an end-of-list HOB: the walk stops
// there and reads nothing beyond.
TEST_F(ImportTest, WalkStopsAtTheAnnouncedEndWhenTheEndOfListHobIsMissing) {
  std::vector<UINT8> hobs = HobListBuilder().HeapBuffer(1, Bytes({1})).Build();
  // The end-of-list HOB becomes an unused HOB of 8 bytes, the last inside the end.
  hobs[hobs.size() - 8] = 0x02;
  hobs[hobs.size() - 7] = 0x00;
  m.SetHobList(hobs);
  auto* published = static_cast<UINT8*>(m.HobList());
  reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE*>(published)->EfiEndOfHobList =
      reinterpret_cast<UINT64>(published + hobs.size() - 8);
  m.LoadDriverImage();
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{1});
  EXPECT_EQ(NextHeapBufferHob(published + hobs.size() - 8), nullptr);
}

// A GUID-extension HOB too short to hold a name is no buffer HOB; the walk
// goes on past it.
TEST_F(ImportTest, GuidHobShorterThanItsNameIsStepped) {
  std::vector<UINT8> stub(16, 0);
  stub[0] = EFI_HOB_TYPE_GUID_EXTENSION;
  stub[2] = static_cast<UINT8>(stub.size());
  std::memcpy(&stub[8], &gHeapBufferHobGuid, 8);
  Import(HobListBuilder().Raw(stub).HeapBuffer(4, Bytes({4})));
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{4});
}

TEST(HobList, NoListAtImportGivesAnEmptyPublishedList) {
  sim::MachineConfig config;
  config.HobList = false;
  Machine m(config);
  m.LoadDriverImage();
  ImportHeapBuffers();
  EXPECT_EQ(ListHandles(gBufferCacheState.ListHead), std::vector<UINT32>{});
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), &gBufferCacheState.Interface);
  EXPECT_EQ(NextHeapBufferHob(nullptr), nullptr);
}

TEST(HobList, LocatedOnceAndLookedUpAgainWhileAbsent) {
  sim::MachineConfig config;
  config.HobList = false;
  Machine m(config);
  m.LoadDriverImage();
  EXPECT_EQ(LocateHobList(), nullptr);
  m.SetHobList(HobListBuilder().Build());
  EXPECT_EQ(LocateHobList(), m.HobList());
  // Remembered: a list published later is not picked up.
  m.SetHobList(HobListBuilder().Build());
  EXPECT_NE(LocateHobList(), m.HobList());
}

class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    m.LoadDriverImage();
    ImportHeapBuffers();
  }
  Machine m;
};

TEST_F(CacheTest, GetOrCreateReturnsTheSameBufferAndDoesNotClearItAgain) {
  VOID* first = nullptr;
  ASSERT_TRUE(GetOrCreateBuffer(41021, 1552, &first));
  const auto* bytes = static_cast<UINT8*>(first);
  EXPECT_TRUE(std::all_of(bytes, bytes + 1552, [](UINT8 b) { return b == 0; }));
  static_cast<UINT8*>(first)[100] = 0x42;
  VOID* second = nullptr;
  ASSERT_TRUE(GetOrCreateBuffer(41021, 1552, &second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(static_cast<UINT8*>(second)[100], 0x42);
  // Another size gives the existing buffer unchanged.
  VOID* third = nullptr;
  ASSERT_TRUE(GetOrCreateBuffer(41021, 8, &third));
  EXPECT_EQ(third, first);
  EXPECT_EQ(Find(41021).size(), 1552U);
}

TEST_F(CacheTest, CreateRefusesBadPersistenceAndExistingHandles) {
  BufferCreateRequest zero{4, 1, 0, nullptr};
  BufferCreateRequest nine{4, 1, 9, nullptr};
  EXPECT_EQ(CreateCachedBuffer(&zero), kBufferBadPersistence);
  EXPECT_EQ(CreateCachedBuffer(&nine), kBufferBadPersistence);
  BufferCreateRequest first{4, 1, 8, nullptr};
  ASSERT_EQ(CreateCachedBuffer(&first), kBufferSuccess);
  static_cast<UINT8*>(first.Buffer)[0] = 0x11;
  BufferCreateRequest again{4, 1, 7, nullptr};
  EXPECT_EQ(CreateCachedBuffer(&again), kBufferHandleConflict);
  EXPECT_EQ(Find(1), Bytes({0x11, 0, 0, 0}));
}

TEST_F(CacheTest, FailedAllocationGivesResultSevenAndGetOrCreateFalse) {
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  BufferCreateRequest request{16, 5, 7, reinterpret_cast<VOID*>(1)};
  EXPECT_EQ(CreateCachedBuffer(&request), kBufferAllocationFailed);
  EXPECT_EQ(request.Buffer, nullptr);
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  VOID* buffer = reinterpret_cast<VOID*>(1);
  EXPECT_FALSE(GetOrCreateBuffer(5, 16, &buffer));
  EXPECT_EQ(buffer, reinterpret_cast<VOID*>(1));
  EXPECT_FALSE(Has(5));
}

// Each failure of the cache reports its own post code (made visible on port
// 0x80 and answered at once, as by a debug host).
class CachePostCodeTest : public CacheTest {
 protected:
  CachePostCodeTest() {
    gSettingsState.KelCfgPcdBuf.PostCodeEnable = 1;
    m.cpu.DebugHostAnswer = 1;
  }
  ~CachePostCodeTest() override { gSettingsState.KelCfgPcdBuf.PostCodeEnable = 0; }
  void FailNextAllocation() { m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1); }
  std::vector<UINT32> PostCodes() const {
    std::vector<UINT32> codes;
    for (const auto& access : m.ports.AccessesTo(0x80)) {
      codes.push_back(access.Value);
    }
    return codes;
  }
};

TEST_F(CachePostCodeTest, EachFailureReportsItsCode) {
  BufferCreateRequest runtime{16, 5, kPersistenceRuntime, nullptr};
  FailNextAllocation();
  EXPECT_EQ(CreateCachedBuffer(&runtime), kBufferAllocationFailed);
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{0x00080134});

  BufferCreateRequest boot{16, 5, 7, nullptr};
  FailNextAllocation();
  EXPECT_EQ(CreateCachedBuffer(&boot), kBufferAllocationFailed);
  EXPECT_EQ(PostCodes(), (std::vector<UINT32>{0x00080134, 0x00080137}));

  VOID* buffer = nullptr;
  FailNextAllocation();
  EXPECT_FALSE(GetOrCreateBuffer(5, 16, &buffer));
  EXPECT_EQ(PostCodes(), (std::vector<UINT32>{0x00080134, 0x00080137, 0x00080137, 0x00080426}));
}

TEST_F(CachePostCodeTest, AListThatCannotBePublishedReportsAndIsKept) {
  m.UninstallProtocol(gBufferCacheProtocolGuid);
  m.faults.FailNth(sim::Op::InstallProtocolInterface, m.faults.Calls(sim::Op::InstallProtocolInterface) + 1);
  ImportHeapBuffers();
  EXPECT_EQ(PostCodes(), std::vector<UINT32>{0x00080225});
  EXPECT_EQ(gBufferCacheState.ListHead, &gBufferCacheState.Interface.ListHead);
  VOID* buffer = nullptr;
  EXPECT_TRUE(GetOrCreateBuffer(5, 16, &buffer));
  EXPECT_TRUE(Has(5));
}

TEST_F(CacheTest, AZeroSizedBufferHasAHeaderAndNoData) {
  BufferCreateRequest request{0, 12, 7, nullptr};
  ASSERT_EQ(CreateCachedBuffer(&request), kBufferSuccess);
  EXPECT_NE(request.Buffer, nullptr);
  BufferLocateRequest locate{12, 9, nullptr};
  ASSERT_EQ(FindCachedBuffer(&locate), kBufferSuccess);
  EXPECT_EQ(locate.Buffer, request.Buffer);
  EXPECT_EQ(locate.Size, 0U);
  EXPECT_EQ(m.boot.Outstanding().at(static_cast<UINT8*>(request.Buffer) - sizeof(BufferNode)).Size, sizeof(BufferNode));
}

// A node whose header is no longer signed "HEAP" is passed over: a lookup
// answers with the next node of the handle.
TEST_F(CacheTest, NodeWithoutItsSignatureIsPassedOver) {
  m.UninstallProtocol(gBufferCacheProtocolGuid);
  m.SetHobList(HobListBuilder().HeapBuffer(3, Bytes({1})).HeapBuffer(3, Bytes({2})).Build());
  m.LoadDriverImage();
  ImportHeapBuffers();
  auto* first = reinterpret_cast<BufferNode*>(gBufferCacheState.ListHead->ForwardLink);
  ASSERT_EQ(Find(3), Bytes({1}));
  first->Header.Signature = 0x50414549;
  EXPECT_EQ(Find(3), Bytes({2}));
}

// Before start-up has made a list, a lookup finds nothing and a new buffer
// starts a list of the module's own.
TEST(CacheBeforeStartUp, LookupFindsNothingAndCreateStartsAList) {
  Machine m;
  m.LoadDriverImage();
  ASSERT_EQ(gBufferCacheState.ListHead, nullptr);
  EXPECT_FALSE(Has(6));
  EXPECT_TRUE(Find(6).empty());
  BufferCreateRequest request{2, 6, 7, nullptr};
  ASSERT_EQ(CreateCachedBuffer(&request), kBufferSuccess);
  EXPECT_EQ(gBufferCacheState.ListHead, &gBufferCacheState.Interface.ListHead);
  EXPECT_EQ(Find(6), Bytes({0, 0}));
}

TEST_F(CacheTest, FindOnAnEmptyListIsResultTwo) {
  BufferLocateRequest request{41021, 9, reinterpret_cast<VOID*>(1)};
  EXPECT_EQ(FindCachedBuffer(&request), kBufferHandleConflict);
  EXPECT_EQ(request.Buffer, nullptr);
  EXPECT_EQ(request.Size, 0U);
}

// The list as another module that started earlier built it: its own header,
// links and data, laid out as every module of the boot lays them out.
struct ForeignModule {
  BUFFER_CACHE_PROTOCOL Interface{1, {&Interface.ListHead, &Interface.ListHead}};
  std::vector<std::vector<UINT8>> Nodes;

  void Add(UINT32 handle, std::vector<UINT8> data) {
    std::vector<UINT8>& memory = Nodes.emplace_back(sizeof(BufferNode) + data.size());
    auto* node = reinterpret_cast<BufferNode*>(memory.data());
    node->Header = HeapBufferHeader{kHeapSignature, handle, static_cast<UINT32>(data.size()), 7, 1, 0};
    std::memcpy(NodeData(node), data.data(), data.size());
    LIST_ENTRY* head = &Interface.ListHead;
    node->Link.ForwardLink = head;
    node->Link.BackLink = head->BackLink;
    head->BackLink->ForwardLink = &node->Link;
    head->BackLink = &node->Link;
  }
};

TEST(SharedList, ALaterModuleJoinsThePublishedListAndImportsNothing) {
  Machine m;
  ForeignModule first;
  first.Nodes.reserve(4);
  first.Add(41021, Bytes({7, 7}));
  m.InstallProtocol(gBufferCacheProtocolGuid, &first.Interface);
  m.SetHobList(HobListBuilder().HeapBuffer(99, Bytes({1})).Build());
  m.LoadDriverImage();
  ImportHeapBuffers();

  EXPECT_EQ(gBufferCacheState.ListHead, &first.Interface.ListHead);
  EXPECT_FALSE(Has(99));
  EXPECT_EQ(Find(41021), Bytes({7, 7}));
  VOID* mine = nullptr;
  ASSERT_TRUE(GetOrCreateBuffer(41023, 4, &mine));
  EXPECT_EQ(ListHandles(&first.Interface.ListHead), (std::vector<UINT32>{41021, 41023}));
  EXPECT_EQ(m.boot.HandlesWith(gBufferCacheProtocolGuid).size(), 1U);
}

TEST(Allocation, ClearedPoolIsZeroAndBootDataIsBootServicesData) {
  Machine m;
  m.LoadDriverImage();
  auto* cleared = static_cast<UINT8*>(AllocateCleared(EfiRuntimeServicesData, 40));
  ASSERT_NE(cleared, nullptr);
  EXPECT_TRUE(std::all_of(cleared, cleared + 40, [](UINT8 b) { return b == 0; }));
  EXPECT_EQ(m.boot.Outstanding().at(cleared).Type, EfiRuntimeServicesData);
  VOID* boot = AllocateBootData(16);
  EXPECT_EQ(m.boot.Outstanding().at(boot).Type, EfiBootServicesData);
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  EXPECT_EQ(AllocateCleared(EfiBootServicesData, 8), nullptr);
  m.faults.FailNth(sim::Op::AllocatePool, m.faults.Calls(sim::Op::AllocatePool) + 1);
  EXPECT_EQ(AllocateBootData(8), nullptr);
  // An empty request still gets its pool block, of the type asked for.
  VOID* empty = AllocateCleared(EfiRuntimeServicesData, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(m.boot.Outstanding().at(empty).Type, EfiRuntimeServicesData);
}

}  // namespace
}  // namespace ftpm::support
