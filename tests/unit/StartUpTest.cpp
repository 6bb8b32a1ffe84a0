// The entry point: its fixed order, the two recovery settings, the installed
// interface record, and configuration-table lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "driver/EntryPoint.h"
#include "driver/RecoveryPromptHandler.h"
#include "sim/Machine.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/Firmware.h"
#include "support/S3SaveTable.h"

namespace ftpm {
namespace {

using sim::Machine;
using sim::Op;

TEST(EntryPoint, BothSettingsClearInstallsNothing) {
  Machine m;
  sim::RunOutcome outcome = m.StartDriver();
  ASSERT_TRUE(outcome.Returned());
  EXPECT_EQ(*outcome.Status, EFI_SUCCESS);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
  EXPECT_TRUE(m.settings.WasRead(122));
  EXPECT_TRUE(m.settings.WasRead(377));
}

TEST(EntryPoint, NvramResetRequestInstallsTheProtocolWithoutReadingTheOther) {
  Machine m;
  m.settings.Set(122, 1);
  m.settings.Set(377, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_FALSE(m.settings.WasRead(377));
  ASSERT_TRUE(m.boot.HandleHas(m.ImageHandle, gFtpmRecoveryProtocolGuid));
  auto* record = static_cast<driver::FTPM_RECOVERY_PROTOCOL*>(m.boot.Find(gFtpmRecoveryProtocolGuid));
  EXPECT_EQ(record->RecoveryPromptHandler, &driver::RecoveryPromptHandler);
  EXPECT_EQ(record->Value, 0x80U);
}

TEST(EntryPoint, FtpmResetRequestAloneInstallsTheProtocol) {
  Machine m;
  m.settings.Set(377, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_TRUE(m.boot.HandleHas(m.ImageHandle, gFtpmRecoveryProtocolGuid));
}

TEST(EntryPoint, ProtocolAlreadyOnTheHandleReturnsTheFailingStatusUnchanged) {
  Machine m;
  m.settings.Set(122, 1);
  m.ImageHandle = m.boot.NewHandle();
  static driver::FTPM_RECOVERY_PROTOCOL other{};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &other, m.ImageHandle);
  EXPECT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);
}

TEST(EntryPoint, FailedStartWithdrawsTheBufferListItsImageHolds) {
  Machine m;
  m.settings.Set(122, 1);
  m.ImageHandle = m.boot.NewHandle();
  static driver::FTPM_RECOVERY_PROTOCOL other{};
  m.InstallProtocol(gFtpmRecoveryProtocolGuid, &other, m.ImageHandle);
  ASSERT_EQ(m.StartDriver().Status, EFI_INVALID_PARAMETER);
  // The interface lay inside the image about to be unloaded.
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), nullptr);
}

// A driver that joined another module's list published nothing: a failed
// start leaves that module's protocol in place.
TEST(EntryPoint, FailedStartLeavesAnotherModulesBufferListPublished) {
  Machine m;
  m.settings.Set(122, 1);
  static support::BUFFER_CACHE_PROTOCOL foreign{1, {&foreign.ListHead, &foreign.ListHead}};
  m.InstallProtocol(gBufferCacheProtocolGuid, &foreign);
  m.faults.FailNth(Op::InstallProtocolInterface, m.faults.Calls(Op::InstallProtocolInterface) + 1, EFI_DEVICE_ERROR);
  ASSERT_EQ(m.StartDriver().Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), &foreign);
}

TEST(EntryPoint, AStartedDriverKeepsTheBufferListPublished) {
  Machine m;
  m.settings.Set(122, 1);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(m.boot.Find(gBufferCacheProtocolGuid), &support::gBufferCacheState.Interface);
}

TEST(EntryPoint, InjectedInstallFailureIsReturned) {
  Machine m;
  m.settings.Set(122, 1);
  // The first install publishes the buffer cache; the second is the protocol.
  m.faults.FailNth(Op::InstallProtocolInterface, 2, EFI_DEVICE_ERROR);
  EXPECT_EQ(m.StartDriver().Status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
}

TEST(EntryPoint, WithoutTheSettingsProtocolNoPromptIsOffered) {
  sim::MachineConfig config;
  config.Pcd = false;
  Machine m(config);
  m.settings.Set(122, 1);
  EXPECT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_FALSE(m.RecoveryProtocolInstalled());
}

// Every step of start-up leaves its own marks: the firmware calls that fault
// injection counts (with what they asked for), the settings read and written,
// and the power-management timer read. The trace merges them in the order
// they happened; a name stands for each GUID.
class StartUpTrace {
 public:
  explicit StartUpTrace(Machine& m) : m_(m) {
    m_.faults.OnCall = [this](const sim::FaultCall& call) {
      Catch();
      std::string detail = call.Detail;
      for (const auto& [guid, name] : kNames) {
        if (detail == sim::GuidToString(guid)) {
          detail = name;
        }
      }
      lines_.push_back(std::string(sim::OpName(call.Kind)) + " " + detail);
      if (OnCall) {
        OnCall(call);
      }
    };
  }
  ~StartUpTrace() { m_.faults.OnCall = nullptr; }
  std::vector<std::string> Lines() {
    Catch();
    return lines_;
  }
  std::function<void(const sim::FaultCall&)> OnCall;

 private:
  // Settings accesses and timer reads made since the last mark.
  void Catch() {
    for (; settings_ < m_.settings.Log.size(); ++settings_) {
      const sim::SettingAccess& a = m_.settings.Log[settings_];
      lines_.push_back(std::string(a.Write ? "set " : "get ") + std::to_string(a.Token));
    }
    if (m_.registers.PmTimerReads != timerReads_) {
      timerReads_ = m_.registers.PmTimerReads;
      lines_.push_back("timer");
    }
  }
  inline static const std::pair<EFI_GUID, const char*> kNames[] = {
      {gSmbusHcProtocolGuid, "SMBus"},
      {gTscFrequencyTableGuid, "TSC"},
      {gPcdProtocolGuid, "PCD"},
      {gEfiPcdProtocolGuid, "EFI_PCD"},
      {gEfiDxeSmmReadyToLockProtocolGuid, "DxeSmmReadyToLock"},
      {gEfiSmmBase2ProtocolGuid, "SmmBase2"},
      {gDebugPrintProtocolGuid, "DebugPrint"},
      {gBufferCacheProtocolGuid, "BufferCache"},
      {gHiiStringProtocolGuid, "HiiString"},
      {gHiiDatabaseProtocolGuid, "HiiDatabase"},
      {gHiiConfigRoutingProtocolGuid, "HiiConfigRouting"},
      {gHiiFontProtocolGuid, "HiiFont"},
      {gHiiImageProtocolGuid, "HiiImage"},
      {gFtpmRecoveryProtocolGuid, "FtpmRecovery"},
  };
  Machine& m_;
  std::vector<std::string> lines_;
  size_t settings_ = 0;
  unsigned timerReads_ = 0;
};

TEST(EntryPoint, StartUpRunsInItsFixedOrder) {
  Machine m;
  m.settings.Set(122, 1);
  // One buffer handed over, so the HOB list's import shows as an allocation.
  m.SetHobList(sim::HobListBuilder().HeapBuffer(7, {1, 2, 3, 4}).Build());
  StartUpTrace trace(m);
  // The DXE services table exists only between the buffer-cache import and
  // the first HII lookup: found, it was looked up between the two.
  static int dxeServices = 0;
  trace.OnCall = [&](const sim::FaultCall& call) {
    if (call.Detail == sim::GuidToString(gBufferCacheProtocolGuid)) {
      m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, &dxeServices);
    } else if (call.Detail == sim::GuidToString(gHiiStringProtocolGuid)) {
      m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, nullptr);
    }
  };
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(driver::gEntryState.DxeServices, &dxeServices);
  const std::vector<std::string> expected = {
      // 2: the SMBus host controller.
      "LocateProtocol SMBus",
      // 3: calibration, which finds no published frequency: the block, the
      // timer, the table.
      "AllocatePool 4 8", "timer", "InstallConfigurationTable TSC",
      // 4: boot-script support (its first setting looks PCD_PROTOCOL up): the
      // record page, its ready-to-lock event signalled once, the SMM half.
      "LocateProtocol PCD", "get 939", "AllocatePages 0 1", "set 939", "CreateEvent ",
      "RegisterProtocolNotify DxeSmmReadyToLock", "LocateProtocol DxeSmmReadyToLock", "LocateProtocol SmmBase2",
      // 5: the S3 save table: the record, its two events, the table.
      "get 766", "LocateProtocol DebugPrint", "AllocatePool 6 16", "set 766", "CreateEvent ",
      "RegisterProtocolNotify DxeSmmReadyToLock", "LocateProtocol DxeSmmReadyToLock", "CreateEvent ", "get 767",
      "get 768", "AllocatePool 6 16388", "set 767",
      // 6: the configuration block.
      "LocateProtocol EFI_PCD", "get 616", "get 552", "get 617", "get 562", "get 561", "get 618",
      // 7: the buffer cache: the buffer handed over, then the list published.
      "LocateProtocol BufferCache", "AllocatePool 4 36", "InstallProtocolInterface BufferCache",
      // 8: the five HII protocols, in order (the DXE services table before them).
      "LocateProtocol HiiString", "LocateProtocol HiiDatabase", "LocateProtocol HiiConfigRouting",
      "LocateProtocol HiiFont", "LocateProtocol HiiImage",
      // 9 and 10: setting 122, then the protocol.
      "get 122", "InstallProtocolInterface FtpmRecovery"};
  EXPECT_EQ(trace.Lines(), expected);
}

// The events start-up creates, as the firmware was asked for them.
struct EventRequest {
  UINT32 Type;
  EFI_TPL Tpl;
  EFI_EVENT_NOTIFY Notify;
  bool ReadyToBootGroup;
};
std::vector<EventRequest>* gEventRequests = nullptr;
EFI_CREATE_EVENT gSimCreateEvent = nullptr;
EFI_CREATE_EVENT_EX gSimCreateEventEx = nullptr;

EFI_STATUS EFIAPI LoggedCreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID* context,
                                    EFI_EVENT* event) {
  gEventRequests->push_back(EventRequest{type, tpl, notify, false});
  return gSimCreateEvent(type, tpl, notify, context, event);
}

EFI_STATUS EFIAPI LoggedCreateEventEx(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, const VOID* context,
                                      const EFI_GUID* group, EFI_EVENT* event) {
  gEventRequests->push_back(EventRequest{type, tpl, notify, group != nullptr && *group == gEfiEventReadyToBootGuid});
  return gSimCreateEventEx(type, tpl, notify, context, group, event);
}

// Both ready-to-lock notifications and the ready-to-boot one are signal
// events whose callbacks run at TPL_CALLBACK.
TEST(EntryPoint, ItsEventsNotifyAtCallbackPriority) {
  Machine m;
  std::vector<EventRequest> requests;
  gEventRequests = &requests;
  gSimCreateEvent = m.boot.Table.CreateEvent;
  gSimCreateEventEx = m.boot.Table.CreateEventEx;
  m.boot.Table.CreateEvent = LoggedCreateEvent;
  m.boot.Table.CreateEventEx = LoggedCreateEventEx;
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  gEventRequests = nullptr;
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_EQ(requests[0].Notify, &support::ScriptReadyToLock);
  EXPECT_EQ(requests[1].Notify, &support::BootScriptLock);
  EXPECT_EQ(requests[2].Notify, &support::KelS3SaveCloseTableCallBack);
  EXPECT_FALSE(requests[0].ReadyToBootGroup || requests[1].ReadyToBootGroup);
  EXPECT_TRUE(requests[2].ReadyToBootGroup);
  for (const EventRequest& request : requests) {
    EXPECT_EQ(request.Type, static_cast<UINT32>(EVT_NOTIFY_SIGNAL));
    EXPECT_EQ(request.Tpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  }
}

TEST(EntryPoint, RemembersWhatItFindsAndLeavesTheRestNull) {
  Machine m;
  static int smbus = 0;
  static int dxeServices = 0;
  m.InstallProtocol(gSmbusHcProtocolGuid, &smbus);
  m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, &dxeServices);
  ASSERT_EQ(m.StartDriver().Status, EFI_SUCCESS);
  EXPECT_EQ(driver::gEntryState.SmbusHc, &smbus);
  EXPECT_EQ(driver::gEntryState.DxeServices, &dxeServices);
  EXPECT_EQ(driver::gEntryState.HiiString, nullptr);
  EXPECT_EQ(driver::gEntryState.HiiImage, nullptr);
}

TEST(GetConfigurationTable, FirstMatchOrNotFoundWithNull) {
  Machine m;
  m.LoadDriverImage();
  static int first = 1;
  static int second = 2;
  m.boot.InstallConfigurationTable(gEfiDxeServicesTableGuid, &first);
  VOID* table = &second;
  EXPECT_EQ(support::GetConfigurationTable(&gEfiDxeServicesTableGuid, &table), EFI_SUCCESS);
  EXPECT_EQ(table, &first);
  table = &second;
  EXPECT_EQ(support::GetConfigurationTable(&gTscFrequencyTableGuid, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr);
}

TEST(GetConfigurationTable, EmptyArrayIsNotFound) {
  sim::MachineConfig config;
  config.HobList = false;
  Machine m(config);
  m.LoadDriverImage();
  ASSERT_EQ(m.SystemTable.NumberOfTableEntries, 0U);
  VOID* table = &m;
  EXPECT_EQ(support::GetConfigurationTable(&gEfiHobListGuid, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr);
}

}  // namespace
}  // namespace ftpm
