// Fuzz target: the settings-driven start-up and the rest of the boot. Every
// setting the driver reads takes a value from the input; the address-valued
// ones (766, 939, 940, SmmCommBufferAddress, and the addresses inside the
// records) name records this target builds with contents from the input.
// Then: the entry point, ready-to-lock (DXE and SMM) before or after it,
// the recovery handler with up to two keys, and ready-to-boot.
//
// What an address may be. An address a setting or record gives is trusted
// by the driver to name what its layout says, so this target never makes a
// wild pointer: each is 0 or names a record allocated here, on the simulated
// platform's pool, with exactly the bytes the layout needs, so any access
// past them is reported:
//   766  a 16-byte private record; its TableAddress is 0 or one of the S3
//        tables below;
//   S3 table  either as large as the size every component gives it
//        (max(setting 768, 0x4000) + 4) with any contents, or shorter, down
//        to its 48-byte header, whose Size then never equals that size: the
//        driver must not trust such a table's boundary or next-free offset;
//   939, 940  a 24-byte boot-script record; its ScriptAddress is 0 or a
//        table of exactly ScriptPageCount pages (0 to 3 here);
//   SmmCommBufferAddress  0, the platform's buffer, or 48 bytes (the
//        largest message);
//   767  any value: the driver compares it and never reads through it.
//
// Input: 8 header bytes, then setting bytes, then record contents; missing
// bytes read 0.
//   0  flags: bit 0 SMRAM, bit 1 ready-to-lock before start-up, bit 2 after
//      it, bit 3 the SMM ready-to-lock and fix-length protocols, bit 4 a TSC
//      table published by the platform, bit 5 no PCD_PROTOCOL, bit 6 no
//      EFI_PCD_PROTOCOL, bit 7 no SMM communication protocol
//   1  first key, 2 second key (0: none)
//   3  the n-th pool allocation of the driver fails (0: none)
//   4  selectors: bits 0-1 766 (0 none, else a record), bits 2-3 the
//      record's table (0 none, 1 full, 2 short, 3 the same as 767),
//      bits 4-5 767 (0 zero, 1 raw value, 2 a full table, 3 a short one),
//      after start-up: bit 6 the header, bit 7 the boundary word of the
//      table the driver made are overwritten from the input
//   5  selectors: bits 0-1 939, bits 2-3 940 (0 none, else a record),
//      bits 4-5 the comm buffer (0 none, 1 the platform's, 2-3 48 bytes),
//      bit 6 after start-up a writer fills the record page the driver made:
//      a table of the pages in byte 7 bits 4-5, a used length from the input
//   6  short table length (48 + this * 64)
//   7  script page counts: bits 0-1 for 939's table, bits 2-3 for 940's,
//      bits 4-5 for the table a writer gives the driver's record
//   8  flash: bits 0-1 the image (0 erased flash, 1 the plain story image on
//      its 16 MB-window processor, 2 the A/B story image on its processor,
//      3 the plain one on a 64 MB-window processor), bit 2 RecoveryFlag
//      side B, bits 3-4 the number of patches that follow
//   patches: a flash offset (4 bytes, modulo the image's size), a length
//      (1 byte), the bytes written there
//   then 122, 377, 552, 616, 617, 618 (1 byte each), 561, 562 (4 bytes
//   each), 768 (8), 767 raw (8), TSC value (8), then record bytes, then
//   the bytes written after start-up.
//
// Checks: the entry point and the handler return or stop as a real machine
// would; no event is closed twice; the S3 table is handed over at most once,
// well formed and terminated; what stays allocated is what the driver keeps;
// every erase request names a range the image's directories give for an
// NVRAM type, as a separate boot on the same flash finds it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "directory/EntryLookup.h"
#include "directory/Formats.h"
#include "driver/PromptText.h"
#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BootScript.h"
#include "support/S3SaveTable.h"
#include "support/Settings.h"
#include "tests/scenario/DriverResidue.h"
#include "tests/scenario/StoryImages.h"

using namespace ftpm;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_startup: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Take() {
    T value{};
    const size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
    std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }
  // Fills bytes from the input; what the input lacks stays as it was.
  void Fill(void* out, size_t bytes) {
    const size_t n = size_ < bytes ? size_ : bytes;
    if (n == 0) {
      return;
    }
    std::memcpy(out, data_, n);
    data_ += n;
    size_ -= n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Records made on the platform's pool, outside fault injection.
class Records {
 public:
  explicit Records(sim::Machine& m) : m_(m) {}
  uint8_t* Make(size_t bytes, Input& in) {
    void* p = nullptr;
    Check(m_.boot.AllocatePool(EfiBootServicesData, bytes, &p) == EFI_SUCCESS, "record allocation failed");
    std::memset(p, 0, bytes);
    in.Fill(p, bytes);
    made_.insert(p);
    return static_cast<uint8_t*>(p);
  }
  const std::set<const void*>& Made() const { return made_; }

 private:
  sim::Machine& m_;
  std::set<const void*> made_;
};

constexpr UINT64 kTableLimit = 1 << 16;  // largest S3 table made here
constexpr CHAR16 kKeys[] = {u'Y', u'y', u'N', u'n', u'x', 0};

uint64_t Address(const void* p) { return reinterpret_cast<uint64_t>(p); }

// An S3 table of the full size with input contents, or a short one whose
// Size field can never pass for the full size.
uint8_t* S3Table(Records& records, Input& in, bool full, UINT64 tableSize, size_t shortLength) {
  if (full) {
    return tableSize <= kTableLimit ? records.Make(static_cast<size_t>(tableSize) + 4, in) : nullptr;
  }
  uint8_t* table = records.Make(shortLength, in);
  UINT64 size;
  std::memcpy(&size, table + 32, 8);
  if (size == tableSize) {
    size ^= 1;
    std::memcpy(table + 32, &size, 8);
  }
  return table;
}

// A boot-script record whose ScriptAddress is 0 or a table of exactly the
// pages it announces.
uint8_t* ScriptRecord(Records& records, Input& in, unsigned pages) {
  uint8_t* record = records.Make(sizeof(support::ScriptTableRecord), in);
  const auto pageCount = static_cast<UINT16>(pages);
  std::memcpy(record + offsetof(support::ScriptTableRecord, ScriptPageCount), &pageCount, 2);
  UINT64 table = 0;
  if (record[0] & 1) {
    table = Address(records.Make(pages * EFI_PAGE_SIZE, in));
  }
  std::memcpy(record + offsetof(support::ScriptTableRecord, ScriptAddress), &table, 8);
  return record;
}

// A flash image as the pages that are not erased: the story images are
// megabytes of 0xFF around a few directories, and a boot should cost what
// it reads.
using Pages = std::map<uint64_t, std::vector<UINT8>>;

Pages PagesOf(const std::vector<UINT8>& image) {
  Pages pages;
  for (uint64_t at = 0; at < image.size(); at += sim::Flash::kPageSize) {
    const auto begin = image.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end =
        image.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(at + sim::Flash::kPageSize, image.size()));
    if (std::any_of(begin, end, [](UINT8 b) { return b != 0xFF; })) {
      pages[at] = std::vector<UINT8>(begin, end);
    }
  }
  return pages;
}

struct Flash {
  const Pages* Image = nullptr;  // none: erased flash
  uint64_t Size = 0;
  UINT32 Cpu = 0;
  UINT32 RecoveryFlag = 0;
  Pages Patched;  // pages the input's patches changed, in full
};

void LoadFlash(sim::Machine& m, const Flash& flash) {
  m.cpu.Signature = flash.Cpu;
  if (flash.Image != nullptr) {
    for (const auto& [at, bytes] : *flash.Image) {
      m.flash.Write(at, bytes);
    }
  }
  for (const auto& [at, bytes] : flash.Patched) {
    m.flash.Write(at, bytes);
  }
  m.registers.RegisterFile[directory::kRecoveryFlagRegister] = flash.RecoveryFlag;
  m.registers.RegisterFile[directory::kRecoveryFlagRegisterAlt] = flash.RecoveryFlag;
}

struct Range {
  UINT64 Address;
  UINT64 Size;
  bool operator==(const Range&) const = default;
};

// The ranges the image's directories name for the NVRAM types, as a boot of
// its own finds them: each lookup in the handler's order, each found range
// erased before the next lookup, as the flash service does.
std::vector<Range> NamedRanges(const Flash& flash) {
  sim::Machine m;
  LoadFlash(m, flash);
  m.LoadDriverImage();
  std::vector<Range> ranges;
  m.Run([&] {
    support::ImportHeapBuffers();
    for (UINT32 type : driver::kFullRecovery.EntryTypes) {
      UINT64 address = 0;
      UINT32 size = 0;
      if (directory::LookupMvqEntry(type, &address, &size) != FALSE) {
        ranges.push_back({address, size});
        if (const std::optional<UINT64> offset = sim::Flash::EraseOffset(address, size)) {
          m.flash.Erase(*offset, size);
        }
      }
    }
    return EFI_SUCCESS;
  });
  return ranges;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const auto flags = in.Take<uint8_t>();
  const auto key1 = in.Take<uint8_t>();
  const auto key2 = in.Take<uint8_t>();
  const auto failingPool = in.Take<uint8_t>();
  const auto s3Selectors = in.Take<uint8_t>();
  const auto scriptSelectors = in.Take<uint8_t>();
  const size_t shortLength = 48 + in.Take<uint8_t>() * size_t{64};
  const auto pageCounts = in.Take<uint8_t>();
  const auto flashSelector = in.Take<uint8_t>();

  static const std::vector<UINT8> plainImage = ftpm::testing::PlainStoryImage();
  static const std::vector<UINT8> abImage = ftpm::testing::AbStoryImage();
  static const Pages plain = PagesOf(plainImage);
  static const Pages ab = PagesOf(abImage);
  Flash flash;
  switch (flashSelector & 3) {
    case 1:
      flash = {&plain, plainImage.size(), ftpm::testing::kCpu16M, 0, {}};
      break;
    case 2:
      flash = {&ab, abImage.size(), ftpm::testing::kCpuAb2, 0, {}};
      break;
    case 3:
      flash = {&plain, plainImage.size(), ftpm::testing::kCpuPlain64M, 0, {}};
      break;
    default:
      break;
  }
  flash.RecoveryFlag = (flashSelector & 4) != 0 ? 1U << directory::kRecoveryFlagBit : 0;
  for (unsigned patch = 0; patch < ((flashSelector >> 3) & 3U) && flash.Image != nullptr; ++patch) {
    uint64_t offset = in.Take<uint32_t>() % flash.Size;
    const size_t length = std::min<size_t>(in.Take<uint8_t>(), flash.Size - offset);
    std::vector<UINT8> bytes(length);
    in.Fill(bytes.data(), length);
    // Into the page copies: the image's own, or erased ones.
    for (size_t done = 0; done < length;) {
      const uint64_t page = (offset + done) / sim::Flash::kPageSize * sim::Flash::kPageSize;
      auto [it, added] = flash.Patched.try_emplace(page);
      if (added) {
        const auto original = flash.Image->find(page);
        it->second = original != flash.Image->end()
                         ? original->second
                         : std::vector<UINT8>(std::min<uint64_t>(sim::Flash::kPageSize, flash.Size - page), 0xFF);
      }
      const size_t n = std::min<size_t>(length - done, page + it->second.size() - (offset + done));
      std::memcpy(it->second.data() + (offset + done - page), bytes.data() + done, n);
      done += n;
    }
  }
  // Only an answer of Y erases: then the model boot says what may be erased.
  const auto isYes = [](uint8_t k) { return k != 0 && (kKeys[k % (sizeof kKeys / sizeof kKeys[0])] | 0x20) == u'y'; };
  std::vector<Range> named;
  if (flash.Image != nullptr && (isYes(key1) || isYes(key2))) {
    named = NamedRanges(flash);
  }

  sim::MachineConfig config;
  config.SmmBase2 = (flags & 1) != 0;
  config.Pcd = (flags & 0x20) == 0;
  config.EfiPcd = (flags & 0x40) == 0;
  config.SmmCommunication = (flags & 0x80) == 0;
  config.CommBuffer = false;
  sim::Machine m(config);
  m.smm.InSmram = (flags & 1) != 0;
  // Tables as large as a setting asks for are refused beyond this, quickly.
  m.boot.AllocationLimit = 4 * kTableLimit;
  // An 80x25 console: the prompt's long rows are shortened, which allocates.
  // A dialog waiting for keys the input does not have stops the machine.
  m.console.SetModes({{80, 25}});
  LoadFlash(m, flash);
  // A slow pause (20 us) keeps busy waits short: the calibration's
  // millisecond is some 40 timer reads instead of 1,700.
  m.cpu.TscPerPause = 40'000;

  m.settings.Set(support::kNvramResetRequest, in.Take<uint8_t>());
  m.settings.Set(support::kFtpmResetRequest, in.Take<uint8_t>());
  m.settings.Set(support::kConfigByte7Setting, in.Take<uint8_t>());
  m.settings.Set(support::kConfigByte6Setting, in.Take<uint8_t>());
  m.settings.Set(support::kConfigByte15Setting, in.Take<uint8_t>());
  m.settings.Set(support::kConfigByte24Setting, in.Take<uint8_t>());
  m.settings.Set(support::kConfigWord20Setting, in.Take<uint32_t>());
  m.settings.Set(support::kConfigWord16Setting, in.Take<uint32_t>());
  const auto tableSetting = in.Take<uint64_t>();
  m.settings.Set(support::kS3TableSize, tableSetting);
  const auto raw767 = in.Take<uint64_t>();
  const auto tscValue = in.Take<uint64_t>();
  const UINT64 tableSize = tableSetting < support::kS3TableMinimumSize ? support::kS3TableMinimumSize : tableSetting;

  Records records(m);
  // Setting 767 first: the private record may name the same table.
  uint8_t* table767 = nullptr;
  switch ((s3Selectors >> 4) & 3) {
    case 1:
      m.settings.Set(support::kS3TableAddress, raw767);
      break;
    case 2:
    case 3:
      table767 = S3Table(records, in, ((s3Selectors >> 4) & 3) == 2, tableSize, shortLength);
      m.settings.Set(support::kS3TableAddress, Address(table767));
      break;
    default:
      break;
  }
  if ((s3Selectors & 3) != 0) {
    uint8_t* record = records.Make(sizeof(support::KelS3LibPrivateData), in);
    uint8_t* table = nullptr;
    switch ((s3Selectors >> 2) & 3) {
      case 1:
      case 2:
        table = S3Table(records, in, ((s3Selectors >> 2) & 3) == 1, tableSize, shortLength);
        break;
      case 3:
        table = table767;
        break;
      default:
        break;
    }
    const UINT64 tableAddress = Address(table);
    std::memcpy(record + offsetof(support::KelS3LibPrivateData, TableAddress), &tableAddress, 8);
    m.settings.Set(support::kS3PrivateDataAddress, Address(record));
  }
  if ((scriptSelectors & 3) != 0) {
    m.settings.Set(support::kScriptRecordAddress, Address(ScriptRecord(records, in, pageCounts & 3)));
  }
  if (((scriptSelectors >> 2) & 3) != 0) {
    m.settings.Set(support::kScriptSmmRecordAddress, Address(ScriptRecord(records, in, (pageCounts >> 2) & 3)));
  }
  switch ((scriptSelectors >> 4) & 3) {
    case 1:
      m.settings.SetGuided(gSmmCommBufferTokenSpaceGuid, sim::kSmmCommBufferToken, Address(m.smm.CommBuffer()));
      break;
    case 2:
    case 3:
      m.settings.SetGuided(gSmmCommBufferTokenSpaceGuid, sim::kSmmCommBufferToken, Address(records.Make(48, in)));
      break;
    default:
      break;
  }
  std::vector<UINT64> tsc(1, tscValue);
  if ((flags & 0x10) != 0) {
    m.boot.InstallConfigurationTable(gTscFrequencyTableGuid, tsc.data());
  }
  if (failingPool != 0) {
    m.faults.FailNth(sim::Op::AllocatePool, failingPool);
  }

  bool locked = false;
  auto readyToLock = [&m, &locked, flags] {
    if (locked) {
      return;
    }
    locked = true;
    m.InstallProtocol(gEfiDxeSmmReadyToLockProtocolGuid, m.PresenceInterface(gEfiDxeSmmReadyToLockProtocolGuid));
    if ((flags & 8) != 0) {
      m.smm.InstallSmmProtocol(gEfiSmmReadyToLockProtocolGuid);
      m.smm.InstallSmmProtocol(gScriptFixLengthTriggerGuidA);
      m.smm.InstallSmmProtocol(gScriptFixLengthTriggerGuidB);
    }
  };
  if ((flags & 2) != 0) {
    readyToLock();
  }

  const sim::RunOutcome start = m.StartDriver();
  Check(start.Status == EFI_SUCCESS, "the entry point did not return EFI_SUCCESS");

  // Other components write into what the driver made: the S3 table's header
  // and boundary word, and the boot-script record, which a writer points at
  // a table of its own.
  const auto* record = support::gS3SaveTableState.PrivateData;
  if (record != nullptr && record->TableAddress != 0 && records.Made().count(record) == 0 &&
      m.boot.Outstanding().count(reinterpret_cast<const void*>(record->TableAddress)) != 0) {
    auto* table = reinterpret_cast<uint8_t*>(record->TableAddress);
    if ((s3Selectors & 0x40) != 0) {
      in.Fill(table, sizeof(support::KelS3LibTableHeader));
    }
    if ((s3Selectors & 0x80) != 0) {
      in.Fill(table + m.boot.Outstanding().at(table).Size - 4, 4);
    }
  }
  if (auto* page = support::gBootScriptState.RecordPage; page != nullptr && (scriptSelectors & 0x40) != 0) {
    const unsigned pages = (pageCounts >> 4) & 3;
    page->ScriptAddress = Address(records.Make(pages * EFI_PAGE_SIZE, in));
    page->ScriptPageCount = static_cast<UINT16>(pages);
    page->ScriptUsedLength = in.Take<uint32_t>();
  }

  if ((flags & 4) != 0) {
    readyToLock();
  }

  bool reset = false;
  if (m.RecoveryProtocolInstalled()) {
    for (uint8_t k : {key1, key2}) {
      if (k != 0) {
        m.console.QueueKey(kKeys[k % (sizeof kKeys / sizeof kKeys[0])]);
      }
    }
    const sim::RunOutcome handler = m.CallRecoveryHandler();
    if (handler.Stop) {
      Check(handler.Stop->Reason == sim::StopReason::Reset || handler.Stop->Reason == sim::StopReason::KeysExhausted,
            "the handler stopped the machine unexpectedly");
      reset = handler.Stop->Reason == sim::StopReason::Reset;
    } else {
      Check(handler.Status == EFI_SUCCESS, "the handler did not return EFI_SUCCESS");
    }
  }
  if (!reset) {
    const sim::RunOutcome boot = m.Run([&m] {
      m.boot.SignalGroup(gEfiEventReadyToBootGuid);
      return EFI_SUCCESS;
    });
    Check(boot.Returned(), "ready-to-boot stopped the machine");
  }

  Check(m.boot.FailedCloseCalls == 0, "an event was closed twice");
  Check(m.smm.HandOvers.size() <= 1, "the table was handed over more than once");
  for (const sim::S3HandOver& handOver : m.smm.HandOvers) {
    Check(handOver.Valid, "malformed hand-over message");
    Check(handOver.EndMarker == support::kS3TableEndMarker, "the table was handed over unterminated");
  }
  // An erase request names a range the image's directories give for an
  // NVRAM type, at most one request a type; erased flash names none. (A
  // failed allocation may send a lookup down another road: no check then.)
  if (m.faults.Injected() == 0) {
    Check(m.smm.EraseRequests.size() <= std::size(driver::kFullRecovery.EntryTypes), "more erase requests than types");
    for (const sim::EraseRequest& request : m.smm.EraseRequests) {
      Check(std::find(named.begin(), named.end(), Range{request.Address, request.Size}) != named.end(),
            "an erase request for a range no directory names");
    }
  }
  const std::vector<std::string> problems = ftpm::testing::ResidueProblems(m, records.Made());
  if (!problems.empty()) {
    std::fprintf(stderr, "%s", ftpm::testing::JoinLines(problems).c_str());
    Check(false, "allocations differ from what the driver keeps");
  }
  return 0;
}
