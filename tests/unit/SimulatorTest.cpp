// The simulated platform where its behaviour is not obvious: notify functions
// and task priority, event groups, protocol-notify registrations, and the
// checks real firmware makes.
#include <gtest/gtest.h>

#include <vector>

#include "sim/Machine.h"

namespace ftpm::sim {
namespace {

std::vector<std::string>* gCalls = nullptr;

VOID EFIAPI RecordNotify(EFI_EVENT, VOID* context) { gCalls->push_back(static_cast<const char*>(context)); }

VOID EFIAPI RecordTpl(EFI_EVENT, VOID*) {
  gCalls->push_back("tpl=" + std::to_string(Machine::Current().boot.CurrentTpl));
}

class SimulatorTest : public ::testing::Test {
 protected:
  SimulatorTest() { gCalls = &calls; }
  ~SimulatorTest() override { gCalls = nullptr; }
  Machine machine;
  EFI_BOOT_SERVICES* bs = &machine.boot.Table;
  std::vector<std::string> calls;
};

TEST_F(SimulatorTest, SignalAtApplicationLevelRunsTheNotifyAtOnceAtItsOwnLevel) {
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordTpl, nullptr, &event), EFI_SUCCESS);
  ASSERT_EQ(bs->SignalEvent(event), EFI_SUCCESS);
  EXPECT_EQ(calls, std::vector<std::string>{"tpl=8"});
  EXPECT_EQ(machine.boot.CurrentTpl, TPL_APPLICATION);
}

TEST_F(SimulatorTest, NotifyWaitsUntilThePriorityDropsBelowIts) {
  EFI_EVENT event = nullptr;
  char name[] = "notify";
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, name, &event), EFI_SUCCESS);
  const EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  bs->SignalEvent(event);
  EXPECT_TRUE(calls.empty());
  bs->RestoreTPL(old);
  EXPECT_EQ(calls, std::vector<std::string>{"notify"});
}

TEST_F(SimulatorTest, HigherPriorityNotifiesRunFirst) {
  EFI_EVENT low = nullptr;
  EFI_EVENT high = nullptr;
  char lowName[] = "callback";
  char highName[] = "notify";
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, lowName, &low);
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecordNotify, highName, &high);
  const EFI_TPL old = bs->RaiseTPL(TPL_HIGH_LEVEL);
  bs->SignalEvent(low);
  bs->SignalEvent(high);
  bs->RestoreTPL(old);
  EXPECT_EQ(calls, (std::vector<std::string>{"notify", "callback"}));
}

TEST_F(SimulatorTest, SignallingOneMemberOfAGroupRunsEveryMember) {
  EFI_EVENT a = nullptr;
  EFI_EVENT b = nullptr;
  char aName[] = "a";
  char bName[] = "b";
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, aName, &gEfiEventReadyToBootGuid, &a);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, bName, &gEfiEventReadyToBootGuid, &b);
  bs->CloseEvent(b);
  machine.boot.SignalGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(calls, std::vector<std::string>{"a"});
}

TEST_F(SimulatorTest, ClosingAClosedEventFails) {
  EFI_EVENT event = nullptr;
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordTpl, nullptr, &event);
  EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
  EXPECT_EQ(bs->CloseEvent(event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(machine.boot.FailedCloseCalls, 1U);
  EXPECT_EQ(bs->SignalEvent(event), EFI_INVALID_PARAMETER);
}

TEST_F(SimulatorTest, WaitForEventIsRefusedAboveApplicationLevel) {
  machine.console.QueueKey(u'y');
  EFI_EVENT wait = machine.console.ConIn.WaitForKey;
  UINTN index = 99;
  const EFI_TPL old = bs->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(bs->WaitForEvent(1, &wait, &index), EFI_UNSUPPORTED);
  bs->RestoreTPL(old);
  EXPECT_EQ(bs->WaitForEvent(1, &wait, &index), EFI_SUCCESS);
  EXPECT_EQ(index, 0U);
}

TEST_F(SimulatorTest, WaitingForAKeyThatNeverComesStopsTheMachine) {
  EFI_EVENT wait = machine.console.ConIn.WaitForKey;
  RunOutcome outcome = machine.Run([&] {
    UINTN index = 0;
    return bs->WaitForEvent(1, &wait, &index);
  });
  EXPECT_TRUE(outcome.StoppedBy(StopReason::KeysExhausted));
}

TEST_F(SimulatorTest, ProtocolNotifyHandsEachNewInterfaceOutOnce) {
  EFI_EVENT event = nullptr;
  char name[] = "installed";
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, name, &event);
  void* registration = nullptr;
  ASSERT_EQ(bs->RegisterProtocolNotify(&gEfiDxeSmmReadyToLockProtocolGuid, event, &registration), EFI_SUCCESS);
  void* iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, registration, &iface), EFI_NOT_FOUND);

  int first = 1;
  int second = 2;
  machine.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, &first);
  EXPECT_EQ(calls, std::vector<std::string>{"installed"});
  machine.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, &second);
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, registration, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &first);
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, registration, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &second);
  EXPECT_EQ(bs->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, registration, &iface), EFI_NOT_FOUND);
}

TEST_F(SimulatorTest, AProtocolCannotBeInstalledTwiceOnOneHandle) {
  int a = 0;
  int b = 0;
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(bs->InstallProtocolInterface(&handle, &gFtpmRecoveryProtocolGuid, EFI_NATIVE_INTERFACE, &a), EFI_SUCCESS);
  EXPECT_EQ(bs->InstallProtocolInterface(&handle, &gFtpmRecoveryProtocolGuid, EFI_NATIVE_INTERFACE, &b),
            EFI_INVALID_PARAMETER);
}

TEST_F(SimulatorTest, AllocateMaxAddressGivesPagesBelowTheLimit) {
  EFI_PHYSICAL_ADDRESS address = 0xFFFFFFFF;
  ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 1, &address), EFI_SUCCESS);
  EXPECT_LE(address + EFI_PAGE_SIZE - 1, 0xFFFFFFFFULL);
  EXPECT_EQ(machine.boot.OutstandingByType()[EfiReservedMemoryType], EFI_PAGE_SIZE);
  EXPECT_EQ(bs->FreePages(address, 1), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePages(address, 1), EFI_NOT_FOUND);
  EXPECT_EQ(machine.boot.MemoryErrors.size(), 1U);
}

// Freed pages are kept for the next allocation in the process, inaccessible
// until then, and handed out again as fresh memory.
using SimulatorDeathTest = SimulatorTest;
TEST_F(SimulatorDeathTest, FreedPagesFaultUntilGivenAgainFresh) {
  EFI_PHYSICAL_ADDRESS first = 0xFFFFFFFF;
  ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 3, &first), EFI_SUCCESS);
  auto* bytes = reinterpret_cast<volatile UINT8*>(first);
  bytes[0] = 0x11;
  bytes[3 * EFI_PAGE_SIZE - 1] = 0x22;
  ASSERT_EQ(bs->FreePages(first, 3), EFI_SUCCESS);
  EXPECT_DEATH(bytes[3 * EFI_PAGE_SIZE - 1] = 0x33, "");
  EFI_PHYSICAL_ADDRESS again = 0xFFFFFFFF;
  ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 3, &again), EFI_SUCCESS);
  EXPECT_EQ(again, first);
  EXPECT_EQ(bytes[0], 0xAF);
  EXPECT_EQ(bytes[3 * EFI_PAGE_SIZE - 1], 0xAF);
  EXPECT_EQ(bs->FreePages(again, 3), EFI_SUCCESS);
}

TEST_F(SimulatorTest, FaultInjectionFailsExactlyTheNthCall) {
  machine.faults.FailNth(Op::AllocatePool, 2);
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &a), EFI_SUCCESS);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &b), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &c), EFI_SUCCESS);
  bs->FreePool(a);
  bs->FreePool(c);
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

TEST_F(SimulatorTest, RecordedCallsNameWhatEachAskedFor) {
  machine.faults.RecordCalls = true;
  VOID* pool = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, 24, &pool), EFI_SUCCESS);
  VOID* found = nullptr;
  bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &found);
  ASSERT_EQ(machine.faults.Log.size(), 2U);
  EXPECT_EQ(machine.faults.Log[0].Kind, Op::AllocatePool);
  EXPECT_EQ(machine.faults.Log[0].Detail, "6 24");
  EXPECT_EQ(machine.faults.Log[1].N, 1U);
  EXPECT_EQ(machine.faults.Log[1].Detail, GuidToString(gPcdProtocolGuid));
  ASSERT_EQ(machine.boot.OutstandingReport().size(), 1U);
  EXPECT_EQ(machine.boot.OutstandingReport()[0].rfind("pool type 6, 24 bytes at ", 0), 0U);
  bs->FreePool(pool);
}

TEST_F(SimulatorTest, AllocationsBeyondTheLimitAreRefused) {
  machine.boot.AllocationLimit = 0x10000;
  VOID* pool = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 0x10001, &pool), EFI_OUT_OF_RESOURCES);
  EFI_PHYSICAL_ADDRESS pages = 0;
  EXPECT_EQ(bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, 17, &pages), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, ~UINTN{0}, &pages), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(machine.boot.Outstanding().empty());
}

TEST(DebugFormat, EdkConversionsOverMicrosoftArgumentSlots) {
  const char name[] = "KelCfgPcdBufLibDxeConstructor";
  const UINT64 args[] = {reinterpret_cast<UINT64>(name), EFI_NOT_FOUND, 0xFFFFFFFF12345678ULL, 0xAB};
  EXPECT_EQ(FormatDebugMessage("[%a] Status: %r %x %04x\n", args),
            "[KelCfgPcdBufLibDxeConstructor] Status: Not Found 12345678 00ab\n");
}

}  // namespace
}  // namespace ftpm::sim
