// Helpers for the firmware-directory tests: flash images and directories
// written byte by byte at the offsets the formats give (deliberately not
// through the driver's own records), a Fletcher-32 reference computed by
// modular arithmetic, processor signatures, and a machine booted far enough
// for the directory layer to run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "sim/Machine.h"
#include "support/BufferCache.h"
#include "support/Diagnostics.h"
#include "support/Settings.h"

namespace ftpm::testing {

// CPUID 0x80000001 EAX for a family (base + extended) and model.
constexpr uint32_t Eax(uint32_t family, uint32_t model, uint32_t stepping = 0) {
  const uint32_t baseFamily = family >= 0xF ? 0xF : family;
  const uint32_t extFamily = family - baseFamily;
  return stepping | ((model & 0xF) << 4) | (baseFamily << 8) | ((model >> 4) << 16) | (extFamily << 20);
}
static_assert(Eax(0x19, 0x21, 2) == 0x00A20F12);
static_assert(Eax(0x17, 0x18) == 0x00810F80);

// Processors used throughout.
inline constexpr uint32_t kCpu16M = Eax(0x17, 0x18, 2);        // row 14, 16 MB window, no A/B
inline constexpr uint32_t kCpuPlain64M = Eax(0x19, 0x21, 2);   // row 6, 64 MB window, no A/B
inline constexpr uint32_t kCpuAb1 = Eax(0x17, 0x91, 1);        // row 10, A/B layout 1, 64 MB window
inline constexpr uint32_t kCpuAb2 = Eax(0x19, 0x74, 1);        // row 3, A/B layout 2, MvqId 0xBC0D0400
inline constexpr uint32_t kCpuWide = Eax(0x19, 0x85, 0);       // row 22, 16-bit entry types, A/B layout 2
inline constexpr uint32_t kCpuSelector2 = Eax(0x1A, 0x24, 0);  // row 26, A/B layout 2, RecoveryFlagSelector 2
inline constexpr uint32_t kCpuUnknown = Eax(0x15, 0x10, 0);    // no row anywhere

// Independent Fletcher-32: the folded sums are the true sums modulo 65535,
// represented in 1..0xFFFF.
inline uint32_t ReferenceFletcher32(const uint8_t* bytes, size_t words) {
  uint64_t s1 = 0xFFFF;
  uint64_t s2 = 0xFFFF;
  for (size_t i = 0; i < words; ++i) {
    s1 += static_cast<uint64_t>(bytes[2 * i]) | (static_cast<uint64_t>(bytes[2 * i + 1]) << 8);
    s2 += s1;
  }
  auto rep = [](uint64_t v) { return static_cast<uint32_t>(v % 65535 == 0 ? 0xFFFF : v % 65535); };
  return (rep(s2) << 16) | rep(s1);
}

inline uint32_t Cookie(const char* text) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24);
}

struct Entry {
  uint32_t TypeWord;
  uint32_t Size;
  uint64_t Location;
};

inline uint64_t Mode(uint64_t mode, uint64_t location) { return (mode << 62) | location; }

// A byte image; unwritten bytes keep the fill.
class Bytes {
 public:
  explicit Bytes(size_t size, uint8_t fill = 0xFF) : data(size, fill) {}
  void U8(size_t at, uint8_t v) { data.at(at) = v; }
  void U16(size_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i)
      U8(at + i, static_cast<uint8_t>(v >> (8 * i)));
  }
  void U32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      U8(at + i, static_cast<uint8_t>(v >> (8 * i)));
  }
  void U64(size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
      U8(at + i, static_cast<uint8_t>(v >> (8 * i)));
  }
  uint32_t Get32(size_t at) const {
    return data.at(at) | (data.at(at + 1) << 8) | (data.at(at + 2) << 16) |
           (static_cast<uint32_t>(data.at(at + 3)) << 24);
  }

  // Header at +0 (cookie, checksum, count, info), entries from +0x10.
  // checksumOverride replaces the computed checksum; countOverride the count
  // written (the entries written and summed stay those given).
  void Directory(size_t at, const char* cookie, const std::vector<Entry>& entries, uint32_t info = 0,
                 std::optional<uint32_t> checksumOverride = {}, std::optional<uint32_t> countOverride = {}) {
    U32(at, Cookie(cookie));
    U32(at + 8, countOverride.value_or(static_cast<uint32_t>(entries.size())));
    U32(at + 12, info);
    for (size_t i = 0; i < entries.size(); ++i) {
      U32(at + 16 + 16 * i, entries[i].TypeWord);
      U32(at + 20 + 16 * i, entries[i].Size);
      U64(at + 24 + 16 * i, entries[i].Location);
    }
    const uint32_t sum = ReferenceFletcher32(&data[at + 8], entries.size() * 8 + 4);
    U32(at + 4, checksumOverride.value_or(sum));
  }
  // "2MVQ" combo: count at +8, entries of (reserved, MvqId, address,
  // reserved) from +0x20.
  void Combo(size_t at, const std::vector<std::pair<uint32_t, uint32_t>>& entries,
             std::optional<uint32_t> countOverride = {}) {
    U32(at, Cookie("2MVQ"));
    U32(at + 4, 0);
    U32(at + 8, countOverride.value_or(static_cast<uint32_t>(entries.size())));
    for (size_t i = 0; i < entries.size(); ++i) {
      U32(at + 0x20 + 16 * i, 0);
      U32(at + 0x24 + 16 * i, entries[i].first);
      U32(at + 0x28 + 16 * i, entries[i].second);
      U32(at + 0x2C + 16 * i, 0);
    }
  }
  void SignatureBlock(size_t at, uint32_t directory, uint8_t exclusion = 0, uint32_t alternate = 0,
                      uint32_t signature = 0x55AA55AA) {
    for (size_t i = 0; i < 60; ++i)
      U8(at + i, 0);
    U32(at, signature);
    U32(at + 0x14, directory);
    U8(at + 0x24, exclusion);
    U32(at + 0x2C, alternate);
  }
  void Slot1(size_t at, uint32_t priority, uint32_t aux1, uint32_t aux2, uint32_t l2) {
    U32(at, priority);
    U32(at + 4, aux1);
    U32(at + 8, aux2);
    U32(at + 12, l2);
  }
  void Slot2(size_t at, uint32_t priority, uint32_t aux1, uint8_t aux2, uint32_t l2, uint32_t mvqId) {
    for (size_t i = 0; i < 32; ++i)
      U8(at + i, 0);
    U32(at + 4, priority);
    U32(at + 8, aux1);
    U8(at + 12, aux2);
    U32(at + 16, l2);
    U32(at + 20, mvqId);
  }

  std::vector<uint8_t> data;
};

// A directory copy of 1552 bytes.
inline Bytes Copy() { return Bytes(1552, 0); }

// A machine with the driver image loaded and its buffer cache started, as
// after start-up. PostCodeHalt reports are made visible on port 0x80 and
// return at once (as with an answering debug host).
class DirectoryMachine : public ::testing::Test {
 protected:
  explicit DirectoryMachine(uint32_t cpu = kCpu16M) { Boot(cpu); }
  // Leaves no driver state behind for tests that follow in the same process.
  ~DirectoryMachine() override {
    support::gSettingsState.KelCfgPcdBuf.PostCodeEnable = 0;
    support::gDiagnosticsState = {};
  }
  void Boot(uint32_t cpu) {
    m.cpu.Signature = cpu;
    m.LoadDriverImage();
    StartBufferCache();
  }
  // Starts the buffer cache as start-up does in a new boot: a list of its own,
  // filled from the HOB list. The remembered protocol and HOB-list pointers
  // are those of this machine, not of an earlier one.
  void StartBufferCache() {
    m.UninstallProtocol(gBufferCacheProtocolGuid);
    support::gDiagnosticsState = {};
    support::gBufferCacheState = support::kBufferCacheStateAtLoad;
    support::ImportHeapBuffers();
    support::gSettingsState.KelCfgPcdBuf.PostCodeEnable = 1;
    m.cpu.DebugHostAnswer = 1;
  }
  std::vector<uint32_t> PostCodes() const {
    std::vector<uint32_t> codes;
    for (const auto& access : m.ports.Log) {
      if (access.Write && access.Port == 0x80 && access.Width == 4) {
        codes.push_back(access.Value);
      }
    }
    return codes;
  }
  // The data of a cached buffer, or empty when the handle is absent.
  std::vector<uint8_t> Cached(uint32_t handle) const {
    support::BufferLocateRequest request{handle, 0, nullptr};
    if (support::FindCachedBuffer(&request) != support::kBufferSuccess) {
      return {};
    }
    const auto* p = static_cast<const uint8_t*>(request.Buffer);
    return std::vector<uint8_t>(p, p + request.Size);
  }
  std::vector<sim::FlashAccess> FlashLog() const { return m.flash.Log; }

  sim::Machine m;
};

}  // namespace ftpm::testing
