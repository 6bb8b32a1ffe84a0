// What a simulated boot leaves allocated, checked against what the driver
// keeps for the rest of the boot: the published time-stamp-counter block, the
// buffer-cache nodes of the list it created, the S3 private record and table,
// the boot-script record page and its SMM copy. Each of those is found from
// the driver's own state and the settings that publish it; every other
// allocation still held is a leak, and every kept pointer that is not
// allocated (or not as the layout needs) is dangling.
//
// Valid while the machine exists: the driver's state records are reset when
// it is destroyed.
#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BootScript.h"
#include "support/BufferCache.h"
#include "support/S3SaveTable.h"
#include "support/Settings.h"

namespace ftpm::testing {

struct KeptAllocation {
  const void* Pointer;
  EFI_MEMORY_TYPE Type;
  UINTN Size;
  bool Pages;
  bool Smram;
  std::string What;
};

// Whether the driver could reach the settings protocol during the boot.
inline bool SettingsReachable(const sim::Machine& m) {
  return m.boot.Find(gPcdProtocolGuid) != nullptr && !m.faults.LocateFails(gPcdProtocolGuid);
}

// The allocations the driver's state says it keeps.
inline std::vector<KeptAllocation> KeptByDriver(const sim::Machine& m) {
  std::vector<KeptAllocation> kept;
  const auto& held = m.boot.Outstanding();

  // The time-stamp-counter block, when the driver published one (a table the
  // platform published before the driver is not an allocation).
  if (const void* tsc = m.boot.ConfigurationTable(gTscFrequencyTableGuid); tsc != nullptr && held.count(tsc) != 0) {
    kept.push_back({tsc, EfiBootServicesData, sizeof(UINT64), false, false, "time-stamp-counter block"});
  }

  // Buffer-cache nodes of the list this driver created; nodes of a list it
  // joined belong to the module that created it.
  const support::BufferCacheState& cache = support::gBufferCacheState;
  if (cache.ListHead != nullptr && cache.ListHead == &cache.Interface.ListHead) {
    unsigned guard = 0;
    for (support::LIST_ENTRY* link = cache.ListHead->ForwardLink;
         link != nullptr && link != cache.ListHead && ++guard < 10000; link = link->ForwardLink) {
      const auto* node = reinterpret_cast<const support::BufferNode*>(link);
      const EFI_MEMORY_TYPE type =
          node->Header.Persistence == support::kPersistenceRuntime ? EfiRuntimeServicesData : EfiBootServicesData;
      kept.push_back({node, type, sizeof(support::BufferNode) + node->Header.Size, false, false,
                      "buffer-cache node " + std::to_string(node->Header.Handle)});
    }
  }

  // The S3 private record this driver created, and the table it names.
  const support::KelS3LibPrivateData* record = support::gS3SaveTableState.PrivateData;
  if (record != nullptr && held.count(record) != 0) {
    kept.push_back({record, EfiRuntimeServicesData, sizeof(*record), false, false, "S3 private record"});
  }
  if (record != nullptr && record->TableAddress != 0) {
    const auto* table = reinterpret_cast<const void*>(record->TableAddress);
    // Without the settings protocol the driver read 0.
    const UINT64 setting = SettingsReachable(m) ? m.settings.Get(support::kS3TableSize) : 0;
    const UINT64 size = setting < support::kS3TableMinimumSize ? support::kS3TableMinimumSize : setting;
    kept.push_back({table, EfiRuntimeServicesData, static_cast<UINTN>(size) + 4, false, false, "S3 save table"});
  }

  // The boot-script record page and the SMM copy, when this driver made them.
  const support::BootScriptState& script = support::gBootScriptState;
  if (script.OwnsRecordPage != FALSE) {
    kept.push_back({script.RecordPage, EfiReservedMemoryType, EFI_PAGE_SIZE, true, false, "boot-script record page"});
  }
  if (script.OwnsSmmCopy != FALSE) {
    kept.push_back({script.SmmCopy, EfiRuntimeServicesData, sizeof(support::ScriptTableRecord), false, true,
                    "SMM boot-script record"});
  }
  return kept;
}

// Differences between what is held and what the driver keeps, one line each;
// empty when they agree exactly. Allocations in ignore (made by the test
// itself) are left out.
inline std::vector<std::string> ResidueProblems(const sim::Machine& m, const std::set<const void*>& ignore = {}) {
  std::vector<std::string> problems;
  const auto& held = m.boot.Outstanding();
  std::set<const void*> accounted;
  for (const KeptAllocation& k : KeptByDriver(m)) {
    if (ignore.count(k.Pointer) != 0) {
      continue;
    }
    auto it = held.find(k.Pointer);
    char text[160];
    if (it == held.end()) {
      std::snprintf(text, sizeof text, "%s at %p is kept but not allocated", k.What.c_str(), k.Pointer);
      problems.emplace_back(text);
      continue;
    }
    const sim::Allocation& a = it->second;
    if (a.Type != k.Type || a.Size != k.Size || a.Pages != k.Pages || a.Smram != k.Smram) {
      std::snprintf(text, sizeof text, "%s at %p: held as type %u, %zu bytes%s%s", k.What.c_str(), k.Pointer,
                    static_cast<unsigned>(a.Type), static_cast<size_t>(a.Size), a.Pages ? ", pages" : "",
                    a.Smram ? ", SMRAM" : "");
      problems.emplace_back(text);
    }
    if (!accounted.insert(k.Pointer).second) {
      problems.push_back(k.What + " is kept twice");
    }
  }
  for (const auto& [pointer, a] : held) {
    if (accounted.count(pointer) == 0 && ignore.count(pointer) == 0) {
      char text[128];
      std::snprintf(text, sizeof text, "leaked %s type %u, %zu bytes at %p", a.Pages ? "pages" : "pool",
                    static_cast<unsigned>(a.Type), static_cast<size_t>(a.Size), pointer);
      problems.emplace_back(text);
    }
  }

  // What the settings publish matches what is kept (writes are dropped while
  // the settings protocol is missing).
  const bool settings = SettingsReachable(m);
  if (settings && support::gBootScriptState.OwnsRecordPage != FALSE &&
      m.settings.Get(support::kScriptRecordAddress) != reinterpret_cast<UINT64>(support::gBootScriptState.RecordPage)) {
    problems.emplace_back("setting 939 does not name the boot-script record page");
  }
  if (settings && support::gBootScriptState.OwnsSmmCopy != FALSE &&
      m.settings.Get(support::kScriptSmmRecordAddress) != reinterpret_cast<UINT64>(support::gBootScriptState.SmmCopy)) {
    problems.emplace_back("setting 940 does not name the SMM boot-script record");
  }
  const support::KelS3LibPrivateData* record = support::gS3SaveTableState.PrivateData;
  if (settings && record != nullptr &&
      m.settings.Get(support::kS3PrivateDataAddress) != reinterpret_cast<UINT64>(record)) {
    problems.emplace_back("setting 766 does not name the S3 private record");
  }
  // Only a record this driver made had its table's address in 767 from it.
  if (settings && record != nullptr && held.count(record) != 0 && ignore.count(record) == 0 &&
      record->TableAddress == 0 && record->S3TableClosed != 0 && m.settings.Get(support::kS3TableAddress) != 0) {
    problems.emplace_back("setting 767 still names a table that was handed over");
  }
  for (const std::string& e : m.boot.MemoryErrors) {
    problems.push_back("memory error: " + e);
  }
  if (!problems.empty()) {
    for (const std::string& line : m.boot.OutstandingReport()) {
      problems.push_back("held: " + line);
    }
  }
  return problems;
}

inline std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += "  " + line + "\n";
  }
  return out;
}

}  // namespace ftpm::testing

// Fails the current test when the machine holds anything the driver does not
// keep, or the driver keeps something that is not held.
#define EXPECT_ONLY_KEPT_ALLOCATIONS(machine, ...)                                       \
  do {                                                                                   \
    const auto problems_ = ::ftpm::testing::ResidueProblems((machine), ##__VA_ARGS__);   \
    EXPECT_TRUE(problems_.empty()) << "allocations differ from what the driver keeps:\n" \
                                   << ::ftpm::testing::JoinLines(problems_);             \
  } while (0)
