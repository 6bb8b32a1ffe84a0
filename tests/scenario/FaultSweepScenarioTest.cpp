// Fault-injection sweep over whole boots: the story runs once to count every
// pool allocation, page allocation, SMM pool allocation, protocol lookup,
// event creation, notification registration, protocol installation and
// configuration-table installation; then once more on a fresh machine for
// each of those calls, with that one call failing. Every run must end without
// a sanitizer report, a bad free or a second close; what stays allocated must
// be exactly what the driver keeps; and the outcome must be the one written
// down for the failing call's site.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "directory/EntryLookup.h"
#include "directory/Formats.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/Settings.h"
#include "tests/scenario/DriverResidue.h"
#include "tests/scenario/StoryImages.h"
#include "tests/unit/DirectoryTestSupport.h"

namespace ftpm {
namespace {

using sim::FaultCall;
using sim::Machine;
using sim::MachineConfig;
using sim::Op;
using sim::StopReason;
using testing::kCpu16M;

using testing::kFtpmNvram;
using testing::kFtpmNvramSize;
using testing::kMvqNvram;
using testing::kMvqNvramSize;
constexpr UINT32 kScriptUsed = 0x40;
constexpr UINT32 kHandedOverBoot = 0x7001;
constexpr UINT32 kHandedOverRuntime = 0x7002;

enum class Stage { StartUp, ReadyToLock, Prompt, ReadyToBoot };
const char* StageName(Stage s) {
  switch (s) {
    case Stage::StartUp:
      return "start-up";
    case Stage::ReadyToLock:
      return "ready-to-lock";
    case Stage::Prompt:
      return "prompt";
    case Stage::ReadyToBoot:
      return "ready-to-boot";
  }
  return "?";
}

struct Story {
  CHAR16 Answer;    // u'Y' erases and resets; u'N' goes on to ready-to-boot
  bool Smram;       // the driver also runs its SMM half
  bool Ab = false;  // a 64 MB-window processor with an A/B layout behind a combo directory
};

std::string StoryName(const Story& s) {
  return std::string(s.Answer == u'Y' ? "yes" : "no") + (s.Smram ? "-smram" : "") + (s.Ab ? "-ab" : "");
}

// Where a counted call happened, as the baseline run saw it.
struct Site {
  Op Kind;
  unsigned N;
  std::string Detail;
  Stage At;
  size_t ErasesBefore;  // erase requests sent before the call
  size_t PromptsBefore;
};

// What a run shows from outside.
struct Outcome {
  std::optional<EFI_STATUS> EntryStatus;
  bool ProtocolInstalled = false;
  size_t PromptsDrawn = 0;
  std::vector<std::pair<UINT64, UINT64>> Erases;
  size_t Resets = 0;
  std::optional<StopReason> HandlerStop;
  bool HandlerReturnedSuccess = false;
  size_t HandOvers = 0;
  bool TscTable = false;
  bool S3Record = false;     // setting 766
  bool S3TableMade = false;  // a table was ever named by setting 767
  bool S3Locked = false;
  bool ScriptRecord = false;  // setting 939
  bool ScriptTerminated = false;
  bool SmmCopy = false;  // setting 940
  bool SmmOwned = false;
  bool ErasingShown = false;
  std::vector<UINT32> Imported;  // handles of the buffers the earlier phase handed over, as cached

  bool operator==(const Outcome&) const = default;
};

std::string Describe(const Outcome& o) {
  std::string s;
  s += "entry=" + (o.EntryStatus ? sim::StatusName(*o.EntryStatus) : std::string("stopped"));
  s += " protocol=" + std::to_string(o.ProtocolInstalled);
  s += " prompts=" + std::to_string(o.PromptsDrawn);
  s += " erases=[";
  for (const auto& [address, size] : o.Erases) {
    char text[48];
    std::snprintf(text, sizeof text, "%llx+%llx ", static_cast<unsigned long long>(address),
                  static_cast<unsigned long long>(size));
    s += text;
  }
  s += "] resets=" + std::to_string(o.Resets);
  s += " handlerStop=" + (o.HandlerStop ? std::string(sim::StopReasonName(*o.HandlerStop)) : std::string("-"));
  s += " handlerOk=" + std::to_string(o.HandlerReturnedSuccess);
  s += " handOvers=" + std::to_string(o.HandOvers);
  s += " tsc=" + std::to_string(o.TscTable);
  s += " s3Record=" + std::to_string(o.S3Record);
  s += " s3Table=" + std::to_string(o.S3TableMade);
  s += " s3Locked=" + std::to_string(o.S3Locked);
  s += " script=" + std::to_string(o.ScriptRecord);
  s += " scriptTerminated=" + std::to_string(o.ScriptTerminated);
  s += " smmCopy=" + std::to_string(o.SmmCopy);
  s += " smmOwned=" + std::to_string(o.SmmOwned);
  s += " erasingShown=" + std::to_string(o.ErasingShown);
  s += " imported=[";
  for (UINT32 handle : o.Imported) {
    s += std::to_string(handle) + " ";
  }
  s += "]";
  return s;
}

size_t PromptsDrawn(const Machine& m) {
  size_t n = 0;
  for (const auto& call : m.console.CallsOf(sim::ConsoleOp::OutputString)) {
    n += call.Text.rfind(u"Press Y to reset", 0) == 0 ? 1 : 0;
  }
  return n;
}

bool ErasingShown(const Machine& m) {
  for (const auto& call : m.console.CallsOf(sim::ConsoleOp::OutputString)) {
    if (call.Text.find(u"Erasing MVQ NVRAM") != std::u16string::npos) {
      return true;
    }
  }
  return false;
}

// One run of the story on a fresh machine. Before each step, stage is set so
// that a call observer can tell where a call happened.
class StoryRun {
 public:
  explicit StoryRun(const Story& story) : story_(story), m_(Config(story)) {
    m_.smm.InSmram = story.Smram;
    m_.cpu.Signature = story.Ab ? testing::kCpuAb2 : kCpu16M;
    static const std::vector<UINT8> plainImage = testing::PlainStoryImage();
    static const std::vector<UINT8> abImage = testing::AbStoryImage();
    m_.flash.SetImage(story.Ab ? abImage : plainImage);
    m_.registers.RegisterFile[directory::kRecoveryFlagRegister] = 0;  // side A
    m_.settings.Set(support::kNvramResetRequest, 1);
    // The earlier phase hands over two buffers, one of them runtime data.
    m_.SetHobList(sim::HobListBuilder()
                      .HeapBuffer(kHandedOverBoot, std::vector<UINT8>(24, 0x11))
                      .HeapBuffer(kHandedOverRuntime, std::vector<UINT8>(40, 0x22), support::kPersistenceRuntime)
                      .Build());
    m_.faults.OnCall = [this](const FaultCall& call) {
      sites_.push_back({call.Kind, call.N, call.Detail, stage_, m_.smm.EraseRequests.size(), PromptsDrawn(m_)});
    };
  }

  Machine& M() { return m_; }
  const std::vector<Site>& Sites() const { return sites_; }

  Outcome Run() {
    Outcome o;
    std::vector<UINT8> script(EFI_PAGE_SIZE, 0);

    stage_ = Stage::StartUp;
    const sim::RunOutcome start = m_.StartDriver();
    o.EntryStatus = start.Status;
    o.ProtocolInstalled = m_.RecoveryProtocolInstalled();
    o.S3TableMade = m_.settings.Get(support::kS3TableAddress) != 0;
    // A boot-script writer fills the shared record, when there is one.
    if (auto* record = reinterpret_cast<support::ScriptTableRecord*>(m_.settings.Get(support::kScriptRecordAddress))) {
      record->ScriptAddress = reinterpret_cast<UINT64>(script.data());
      record->ScriptUsedLength = kScriptUsed;
      record->ScriptPageCount = 1;
    }

    stage_ = Stage::ReadyToLock;
    m_.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, m_.PresenceInterface(gEfiDxeSmmReadyToLockProtocolGuid));
    if (story_.Smram) {
      m_.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
      m_.smm.InstallSmmProtocol(gScriptFixLengthTriggerGuidA);
    }

    stage_ = Stage::Prompt;
    if (o.ProtocolInstalled) {
      m_.console.QueueKey(u'x');
      m_.console.QueueKey(story_.Answer);
      const sim::RunOutcome handler = m_.CallRecoveryHandler();
      if (handler.Stop) {
        o.HandlerStop = handler.Stop->Reason;
      }
      o.HandlerReturnedSuccess = handler.Status == EFI_SUCCESS;
    }

    if (!o.HandlerStop) {
      stage_ = Stage::ReadyToBoot;
      m_.boot.SignalGroup(gEfiEventReadyToBootGuid);
    }

    o.PromptsDrawn = PromptsDrawn(m_);
    for (const auto& request : m_.smm.EraseRequests) {
      o.Erases.emplace_back(request.Address, request.Size);
    }
    o.Resets = m_.runtime.Resets.size();
    o.HandOvers = m_.smm.HandOvers.size();
    o.TscTable = m_.boot.ConfigurationTable(gTscFrequencyTableGuid) != nullptr;
    const auto* s3 =
        reinterpret_cast<const support::KelS3LibPrivateData*>(m_.settings.Get(support::kS3PrivateDataAddress));
    o.S3Record = s3 != nullptr;
    o.S3Locked = s3 != nullptr && s3->S3TableLocked != 0;
    o.ScriptRecord = m_.settings.Get(support::kScriptRecordAddress) != 0;
    o.ScriptTerminated = script[kScriptUsed] == 0xFF && script[kScriptUsed + 2] == 3;
    const auto* copy =
        reinterpret_cast<const support::ScriptTableRecord*>(m_.settings.Get(support::kScriptSmmRecordAddress));
    o.SmmCopy = copy != nullptr;
    o.SmmOwned = copy != nullptr && copy->SmmOwned != 0;
    o.ErasingShown = ErasingShown(m_);
    for (UINT32 handle : {kHandedOverBoot, kHandedOverRuntime}) {
      support::BufferLocateRequest locate{handle, 0, nullptr};
      if (support::FindCachedBuffer(&locate) == support::kBufferSuccess) {
        o.Imported.push_back(handle);
      }
    }
    return o;
  }

 private:
  static MachineConfig Config(const Story& story) {
    MachineConfig config;
    config.SmmBase2 = story.Smram;
    return config;
  }

  Story story_;
  Machine m_;
  Stage stage_ = Stage::StartUp;
  std::vector<Site> sites_;
};

bool Is(const Site& s, Op kind, const EFI_GUID& guid) { return s.Kind == kind && s.Detail == sim::GuidToString(guid); }
bool IsPool(const Site& s, EFI_MEMORY_TYPE type, UINTN size) {
  return s.Kind == Op::AllocatePool && s.Detail == std::to_string(type) + " " + std::to_string(size);
}

// Which of the calls alike (same kind, detail and stage) a site is, from 0.
size_t Ordinal(const std::vector<Site>& sites, size_t index) {
  size_t n = 0;
  for (size_t i = 0; i < index; ++i) {
    n += sites[i].Kind == sites[index].Kind && sites[i].Detail == sites[index].Detail && sites[i].At == sites[index].At;
  }
  return n;
}

// What the boot without the boot-script ready-to-lock notification looks
// like: inside SMRAM the SMM ready-to-lock notification still terminates the
// table through the record it takes over.
void NoScriptLock(const Story& story, Outcome& o) { o.ScriptTerminated = story.Smram; }

// The outcome written down for the call at sites[index] failing, given the
// outcome with nothing failing.
Outcome Expected(const Story& story, const Outcome& base, const std::vector<Site>& sites, size_t index) {
  Outcome o = base;
  const Site& s = sites[index];
  const size_t nth = Ordinal(sites, index);
  switch (s.Kind) {
    case Op::AllocatePool:
      if (IsPool(s, EfiBootServicesData, sizeof(UINT64)) && s.At == Stage::StartUp) {
        o.TscTable = false;  // the measured value is used, nothing is published
      } else if (IsPool(s, EfiRuntimeServicesData, sizeof(support::KelS3LibPrivateData))) {
        o.S3Record = o.S3TableMade = o.S3Locked = false;  // no record, no events, no table
        o.HandOvers = 0;
      } else if (IsPool(s, EfiRuntimeServicesData, support::kS3TableMinimumSize + 4)) {
        o.S3TableMade = false;  // 767 and the record stay 0: nothing to hand over
        o.HandOvers = 0;
      } else if (IsPool(s, EfiBootServicesData, sizeof(support::BufferNode) + 24) && s.At == Stage::StartUp) {
        std::erase(o.Imported, kHandedOverBoot);  // that buffer alone is not imported
      } else if (IsPool(s, EfiRuntimeServicesData, sizeof(support::BufferNode) + 40) && s.At == Stage::StartUp) {
        std::erase(o.Imported, kHandedOverRuntime);
      } else if (IsPool(s, EfiBootServicesData, (78 + 3) * sizeof(CHAR16))) {
        --o.PromptsDrawn;  // no line buffer: that drawing is skipped, the key still read
      } else if (IsPool(s, EfiBootServicesData, (78 + 1) * sizeof(CHAR16))) {
        // A shortened row stays blank; the first long row is the one counted.
        if (index > 0 && IsPool(sites[index - 1], EfiBootServicesData, (78 + 3) * sizeof(CHAR16))) {
          --o.PromptsDrawn;
        }
      } else if (IsPool(s, EfiBootServicesData, (38 + 3) * sizeof(CHAR16))) {
        o.ErasingShown = false;  // the erasing message is not drawn; the erase goes on
      } else if (IsPool(s, EfiBootServicesData, sizeof(support::BufferNode) + 1552) ||
                 IsPool(s, EfiBootServicesData, sizeof(support::BufferNode) + sizeof(directory::AbRecoveryInfo))) {
        // Each directory (and the A/B description) is looked for in its cache
        // buffer first (created empty on that first look) and then read or
        // built in its scratch buffer. A cache buffer that cannot be made is
        // made after the read instead; a scratch buffer that cannot be made
        // fails the lookup it serves, and the next lookup allocates again.
        if (nth % 2 == 1) {
          o.Erases.erase(o.Erases.begin() + static_cast<long>(s.ErasesBefore));
        }
      } else {
        ADD_FAILURE() << "no expectation for pool allocation " << s.Detail;
      }
      break;
    case Op::AllocatePages:
      // No boot-script record: nothing published, no event, no SMM half.
      o.ScriptRecord = o.ScriptTerminated = o.SmmCopy = o.SmmOwned = false;
      break;
    case Op::SmmAllocatePool:
      o.SmmCopy = o.SmmOwned = false;  // 940 stays 0, no SMM notification
      break;
    case Op::CreateEvent:
    case Op::RegisterProtocolNotify:
      if (nth == 0 && s.At == Stage::StartUp && s.Kind == Op::CreateEvent) {
        NoScriptLock(story, o);
      } else if (s.Kind == Op::RegisterProtocolNotify && nth == 0) {
        NoScriptLock(story, o);  // signalled once at creation, never again
      } else if (nth == 1) {
        o.S3Locked = false;  // the S3 lock event: no lock, and no table
        if (s.Kind == Op::CreateEvent) {
          o.S3TableMade = false;
          o.HandOvers = 0;
        }
      } else if (s.Kind == Op::CreateEvent && nth == 2) {
        o.S3TableMade = false;  // the ready-to-boot event: start-up stops before the table
        o.HandOvers = 0;
      } else {
        ADD_FAILURE() << "no expectation for " << sim::OpName(s.Kind) << " #" << s.N;
      }
      break;
    case Op::InstallProtocolInterface:
      if (Is(s, Op::InstallProtocolInterface, gFtpmRecoveryProtocolGuid)) {
        // The error is returned; the shut-down chain closes the S3 events and
        // undoes the boot-script support. The S3 record and table stay
        // published for later components.
        o.EntryStatus = EFI_OUT_OF_RESOURCES;
        o.ProtocolInstalled = false;
        o.PromptsDrawn = 0;
        o.Erases.clear();
        o.Resets = 0;
        o.HandlerStop.reset();
        o.HandlerReturnedSuccess = false;
        o.HandOvers = 0;
        o.S3Locked = false;
        o.ScriptRecord = o.ScriptTerminated = o.SmmCopy = o.SmmOwned = false;
        o.ErasingShown = false;
      }
      // The buffer cache's own protocol failing only costs later modules the
      // shared list.
      break;
    case Op::LocateProtocol:
      if (Is(s, Op::LocateProtocol, gEfiSmmBase2ProtocolGuid)) {
        o.SmmCopy = o.SmmOwned = false;
      } else if (Is(s, Op::LocateProtocol, gEfiDxeSmmReadyToLockProtocolGuid) && s.At == Stage::ReadyToLock) {
        // The first check is the boot-script callback's, the second the S3
        // lock's; the third (inside SMRAM) finds the table terminated already.
        if (nth == 0) {
          NoScriptLock(story, o);
        } else if (nth == 1) {
          o.S3Locked = false;
        }
      } else if ((Is(s, Op::LocateProtocol, gEraseServiceReadyProtocolGuid) ||
                  Is(s, Op::LocateProtocol, gEfiSmmCommunicationProtocolGuid)) &&
                 s.At == Stage::Prompt) {
        // That request is not sent; the next one looks the protocols up again.
        o.Erases.erase(o.Erases.begin() + static_cast<long>(s.ErasesBefore));
      } else if (Is(s, Op::LocateProtocol, gEfiSmmCommunicationProtocolGuid) && s.At == Stage::ReadyToBoot) {
        o.HandOvers = 0;  // the table is kept
      }
      // Every other lookup failing once changes nothing that shows: the
      // settings and debug protocols are looked up again at their next use,
      // and the remembered pointers are used by no one.
      break;
    case Op::InstallConfigurationTable:
      o.TscTable = false;  // the measured value is used, the block released
      break;
    case Op::Count:
      break;
  }
  return o;
}

class FaultSweep : public ::testing::TestWithParam<Story> {
 protected:
  // Checks one run: nothing freed wrongly or closed twice, only what the
  // driver keeps still allocated, and the outcome expected.
  static void Verify(StoryRun& run, const Outcome& actual, const Outcome& expected, const std::string& what) {
    SCOPED_TRACE(what);
    Machine& m = run.M();
    EXPECT_EQ(Describe(actual), Describe(expected));
    EXPECT_TRUE(m.boot.MemoryErrors.empty());
    EXPECT_EQ(m.boot.FailedCloseCalls, 0U);
    EXPECT_ONLY_KEPT_ALLOCATIONS(m);
    if (actual.HandlerStop) {
      EXPECT_EQ(*actual.HandlerStop, StopReason::Reset);
      ASSERT_EQ(m.runtime.Resets.size(), 1U);
      EXPECT_EQ(m.runtime.Resets[0].Type, EfiResetCold);
    }
    for (const auto& request : m.smm.EraseRequests) {
      EXPECT_TRUE(request.Valid);
    }
  }
};

TEST_P(FaultSweep, EachCountedCallFailingAloneGivesItsDocumentedOutcome) {
  std::vector<Site> sites;
  Outcome base;
  {
    StoryRun run(GetParam());
    base = run.Run();
    sites = run.Sites();
    Verify(run, base, base, "nothing failing");
  }
  ASSERT_FALSE(sites.empty());
  // The story does what it is for: both ranges erased on Y, the table
  // handed over otherwise, the A/B description built only on the A/B layout.
  EXPECT_EQ(base.Erases.size(), GetParam().Answer == u'Y' ? 2U : 0U);
  EXPECT_EQ(base.HandOvers, GetParam().Answer == u'Y' ? 0U : 1U);
  EXPECT_EQ(base.Imported.size(), 2U);
  const bool abBuilt = std::any_of(sites.begin(), sites.end(), [](const Site& s) {
    return IsPool(s, EfiBootServicesData, sizeof(support::BufferNode) + sizeof(directory::AbRecoveryInfo));
  });
  EXPECT_EQ(abBuilt, GetParam().Ab);
  std::map<Op, unsigned> seen;
  for (size_t i = 0; i < sites.size(); ++i) {
    const Site& site = sites[i];
    ++seen[site.Kind];
    StoryRun run(GetParam());
    run.M().faults.FailNth(site.Kind, site.N);
    const Outcome actual = run.Run();
    EXPECT_EQ(run.M().faults.Injected(), 1U);
    Verify(run, actual, Expected(GetParam(), base, sites, i),
           std::string(sim::OpName(site.Kind)) + " #" + std::to_string(site.N) + " (" + site.Detail + ") at " +
               StageName(site.At));
  }
  // The story reaches every kind of call the sweep is about.
  for (Op op : {Op::AllocatePool, Op::AllocatePages, Op::LocateProtocol, Op::CreateEvent, Op::InstallProtocolInterface,
                Op::RegisterProtocolNotify, Op::InstallConfigurationTable}) {
    EXPECT_GT(seen[op], 0U) << sim::OpName(op);
  }
  EXPECT_EQ(seen[Op::SmmAllocatePool] > 0, GetParam().Smram);
}

// A protocol that is never found, for each protocol the driver looks up.
Outcome ExpectedWithout(const Story& story, const Outcome& base, const EFI_GUID& guid) {
  Outcome o = base;
  if (guid == gPcdProtocolGuid) {
    // Every setting reads 0 and no write lands: no prompt, nothing the
    // platform can see published; the driver's own S3 table is still handed
    // over at ready-to-boot.
    o.ProtocolInstalled = false;
    o.PromptsDrawn = 0;
    o.Erases.clear();
    o.Resets = 0;
    o.HandlerStop.reset();
    o.HandlerReturnedSuccess = false;
    o.ErasingShown = false;
    o.HandOvers = 1;
    o.S3Record = o.S3TableMade = o.S3Locked = false;
    o.ScriptRecord = o.ScriptTerminated = o.SmmCopy = o.SmmOwned = false;
  } else if (guid == gEfiPcdProtocolGuid) {
    // No communication buffer address: erase requests are dropped as
    // successes and the table is kept.
    o.Erases.clear();
    o.HandOvers = 0;
  } else if (guid == gEfiDxeSmmReadyToLockProtocolGuid) {
    o.S3Locked = false;
    o.ScriptTerminated = false;
  } else if (guid == gEfiSmmBase2ProtocolGuid) {
    o.SmmCopy = o.SmmOwned = false;
  } else if (guid == gEraseServiceReadyProtocolGuid) {
    o.Erases.clear();
  } else if (guid == gEfiSmmCommunicationProtocolGuid) {
    o.Erases.clear();
    o.HandOvers = 0;
  }
  (void)story;
  return o;
}

TEST_P(FaultSweep, EachProtocolMissingForTheWholeBootGivesItsDocumentedOutcome) {
  std::vector<Site> sites;
  Outcome base;
  {
    StoryRun run(GetParam());
    base = run.Run();
    sites = run.Sites();
  }
  std::vector<EFI_GUID> guids;
  for (const Site& site : sites) {
    if (site.Kind != Op::LocateProtocol) {
      continue;
    }
    EFI_GUID guid{};
    for (const EFI_GUID* known :
         {&gSmbusHcProtocolGuid, &gPcdProtocolGuid, &gEfiPcdProtocolGuid, &gEfiDxeSmmReadyToLockProtocolGuid,
          &gEfiSmmBase2ProtocolGuid, &gDebugPrintProtocolGuid, &gBufferCacheProtocolGuid, &gHiiStringProtocolGuid,
          &gHiiDatabaseProtocolGuid, &gHiiConfigRoutingProtocolGuid, &gHiiFontProtocolGuid, &gHiiImageProtocolGuid,
          &gEraseServiceReadyProtocolGuid, &gEfiSmmCommunicationProtocolGuid}) {
      if (site.Detail == sim::GuidToString(*known)) {
        guid = *known;
      }
    }
    ASSERT_NE(guid, EFI_GUID{}) << "a lookup of an unexpected protocol: " << site.Detail;
    if (std::find(guids.begin(), guids.end(), guid) == guids.end()) {
      guids.push_back(guid);
    }
  }
  EXPECT_GE(guids.size(), 13U);
  for (const EFI_GUID& guid : guids) {
    StoryRun run(GetParam());
    run.M().faults.FailLocate(guid);
    const Outcome actual = run.Run();
    Verify(run, actual, ExpectedWithout(GetParam(), base, guid), "without " + sim::GuidToString(guid));
  }
}

INSTANTIATE_TEST_SUITE_P(Stories, FaultSweep,
                         ::testing::Values(Story{u'Y', false}, Story{u'Y', false, true}, Story{u'N', false},
                                           Story{u'Y', true}, Story{u'N', true}),
                         [](const auto& info) {
                           std::string name = StoryName(info.param);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace ftpm
