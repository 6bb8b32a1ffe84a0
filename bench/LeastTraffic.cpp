#include "bench/LeastTraffic.h"

#include <cstring>

namespace ftpm::bench {

namespace {

constexpr uint64_t kFlashSize = 0x4000000;
constexpr uint64_t kWindow16Base = 0xFF000000;
constexpr uint64_t kWindow16Size = 0x1000000;

constexpr uint32_t kSignature = 0x55AA55AA;
constexpr uint32_t kSignatureBlockBytes = 60;
constexpr uint32_t kCopyBytes = 1552;
constexpr uint32_t kCopyEntries = 96;
constexpr uint32_t kComboCopyEntries = 95;
constexpr uint32_t kLevel1Cookie = 0x51564D24;  // "$MVQ"
constexpr uint32_t kComboCookie = 0x51564D32;   // "2MVQ"
constexpr uint32_t kProbeOffsets[] = {0x020000, 0x820000, 0xC20000, 0xE20000, 0xF20000, 0xFA0000};

uint32_t Family(uint32_t eax) { return ((eax >> 8) & 0xF) + ((eax >> 20) & 0xFF); }
uint32_t ModelHigh(uint32_t eax) { return (eax >> 12) & 0xF0; }
uint32_t Model(uint32_t eax) { return ModelHigh(eax) | ((eax >> 4) & 0xF); }

// The image as the processor sees it through its windows.
class FlashView {
 public:
  FlashView(const std::vector<uint8_t>& image, uint32_t signature) : image_(image) {
    const uint32_t family = Family(signature);
    const uint32_t high = ModelHigh(signature);
    whole64_ = (family == 0x17 && (high == 0x30 || high >= 0x60)) || family == 0x19 || family == 0x1A;
  }

  // The image offset a 32-bit directory address or a flash offset names; false
  // when the flash reader refuses the address.
  bool OffsetOf(uint64_t address, uint64_t* offset) const {
    if (address < kFlashSize) {
      *offset = whole64_ ? address : address & (kWindow16Size - 1);
      return true;
    }
    if (address >= kWindow16Base && address < kWindow16Base + kWindow16Size) {
      *offset = address - kWindow16Base;
      return true;
    }
    return false;
  }

  uint32_t U32(uint64_t offset) const {
    uint8_t bytes[4];
    for (uint64_t i = 0; i < 4; ++i) {
      bytes[i] = offset + i < image_.size() ? image_[offset + i] : 0xFF;
    }
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
  }
  uint64_t U64(uint64_t offset) const { return U32(offset) | (uint64_t{U32(offset + 4)} << 32); }
  uint8_t U8(uint64_t offset) const { return offset < image_.size() ? image_[offset] : 0xFF; }

 private:
  const std::vector<uint8_t>& image_;
  bool whole64_ = false;
};

bool BlockExcluded(uint8_t exclusion, uint32_t signature) {
  if (exclusion != 0xFF) {
    return false;
  }
  const uint32_t family = Family(signature);
  return family > 0x17 || (family == 0x17 && Model(signature) >= 0x30);
}

struct Side {
  uint32_t Priority = 0;
  uint32_t L2Address = 0;
};

}  // namespace

Traffic TrafficOf(const FlashRead& read) {
  Traffic traffic;
  if (read.Length == 0) {
    return traffic;
  }
  if (read.Address < kFlashSize) {
    const uint64_t words = ((read.Address + read.Length - 1) >> 3) - (read.Address >> 3) + 1;
    traffic.Loads64 = words;
    traffic.Bytes = words * 8;
  } else {
    traffic.Bytes = read.Length;
    traffic.MappedBytes = read.Length;
  }
  return traffic;
}

Traffic TrafficOf(const std::vector<FlashRead>& reads) {
  Traffic total;
  for (const FlashRead& read : reads) {
    const Traffic one = TrafficOf(read);
    total.Bytes += one.Bytes;
    total.Loads64 += one.Loads64;
    total.MappedBytes += one.MappedBytes;
  }
  return total;
}

std::vector<FlashRead> LeastRecoveryReads(const std::vector<uint8_t>& image, const ProcessorView& cpu,
                                          bool RecoveryFlagB) {
  std::vector<FlashRead> reads;
  if (!cpu.HasIdentityRow) {
    return reads;  // discovery gives up before touching the flash
  }
  const FlashView flash(image, cpu.Signature);

  // Probe the candidates, window after window, up to the first usable block.
  const unsigned candidates = cpu.WideEntryTypes ? 1 : 6;
  uint64_t block = 0;
  bool found = false;
  for (uint64_t window = 0; window < 4 && !found; ++window) {
    for (unsigned c = 0; c < candidates && !found; ++c) {
      const uint64_t probe = window * kWindow16Size + kProbeOffsets[c];
      reads.push_back({probe, kSignatureBlockBytes, "signature block probe"});
      uint64_t at = 0;
      flash.OffsetOf(probe, &at);
      found = flash.U32(at) == kSignature && !BlockExcluded(flash.U8(at + 0x24), cpu.Signature);
      block = at;
    }
  }
  if (!found) {
    return reads;
  }

  // The level-1 directory, through a combo directory when there is one.
  // Checksums are not judged here: the layouts under test are well formed, so
  // the alternate pointer matters only when the chosen copy is no "$MVQ".
  uint64_t level1 = 0;
  const uint32_t pointer = flash.U32(block + 0x14);
  if (!flash.OffsetOf(pointer, &level1)) {
    return reads;
  }
  reads.push_back({pointer, kCopyBytes, "directory"});
  if (flash.U32(level1) == kComboCookie) {
    const uint32_t count = flash.U32(level1 + 8);
    for (uint32_t j = 0; j < count && j < kComboCopyEntries; ++j) {
      const uint64_t entry = level1 + 0x20 + 16ULL * j;
      if (flash.U32(entry + 4) == cpu.MvqId) {
        const uint32_t chosen = flash.U32(entry + 8);
        if (!flash.OffsetOf(chosen, &level1)) {
          return reads;
        }
        reads.push_back({chosen, kCopyBytes, "level-1 directory chosen by the combo"});
        break;
      }
    }
  }
  if (flash.U32(level1) != kLevel1Cookie || flash.U32(level1 + 8) > kCopyEntries) {
    const uint32_t alternate = flash.U32(block + 0x2C);
    if (cpu.AbLayout != 2 || !flash.OffsetOf(alternate, &level1)) {
      return reads;
    }
    reads.push_back({alternate, kCopyBytes, "alternate level-1 directory"});
    if (flash.U32(level1) != kLevel1Cookie || flash.U32(level1 + 8) > kCopyEntries) {
      return reads;
    }
  }

  // Which level-2 directory the lookup searches.
  const uint32_t count = flash.U32(level1 + 8);
  auto typeWord = [&](uint32_t i) { return flash.U32(level1 + 0x10 + 16ULL * i); };
  auto location = [&](uint32_t i) { return flash.U64(level1 + 0x10 + 16ULL * i + 8); };
  auto isA = [&](uint32_t word) { return cpu.WideEntryTypes ? (word & 0xFFFF) == 0x013C : (word & 0xFF) == 0x48; };
  auto isB = [&](uint32_t word) { return cpu.WideEntryTypes ? (word & 0xFFFF) == 0x013D : (word & 0xFF) == 0x4A; };

  bool abDirectory = count > 0;
  for (uint32_t i = 0; i < count; ++i) {
    abDirectory = abDirectory && (isA(typeWord(i)) || isB(typeWord(i)));
  }

  uint64_t candidate = 0;
  bool chosen = false;
  if (abDirectory && cpu.AbLayout != -1) {
    // Every slot header once, then the side the flag picks.
    Side a;
    Side b;
    unsigned eligible = 0;
    bool readable = true;
    const uint32_t headerBytes = cpu.AbLayout == 2 ? 32 : 16;
    for (uint32_t i = 0; i < count && readable; ++i) {
      const auto at = static_cast<uint32_t>(location(i));
      uint64_t header = 0;
      readable = flash.OffsetOf(at, &header);
      if (!readable) {
        break;
      }
      reads.push_back({at, headerBytes, "A/B slot header"});
      Side side;
      bool otherGeneration = false;
      if (cpu.AbLayout == 2) {
        side = {flash.U32(header + 4), flash.U32(header + 0x10)};
        otherGeneration = flash.U32(header + 0x14) != cpu.MvqId;
      } else {
        side = {flash.U32(header), flash.U32(header + 0xC)};
      }
      eligible += (!otherGeneration && side.Priority != 0) ? 1 : 0;
      if (otherGeneration) {
        continue;
      }
      if (cpu.AbLayout == 2) {
        (isA(typeWord(i)) ? a : b) = side;
      } else if (cpu.AbLayout == 1) {
        if (side.Priority <= a.Priority) {
          b = side;
        } else {
          if (a.Priority != 0) {
            b = a;
          }
          a = side;
        }
      }
    }
    if (readable && eligible != 0) {
      candidate = RecoveryFlagB ? b.L2Address : a.L2Address;
      chosen = true;
    }
  } else if (!abDirectory) {
    uint64_t pointerA = 0;
    uint64_t pointerB = 0;
    bool haveA = false;
    bool haveB = false;
    for (uint32_t i = 0; i < count && !(haveA && haveB); ++i) {
      if (isA(typeWord(i))) {
        pointerA = location(i);
        haveA = true;
      } else if (isB(typeWord(i))) {
        pointerB = location(i);
        haveB = true;
      }
    }
    if (haveA && haveB) {
      candidate = RecoveryFlagB ? pointerB : pointerA;
      chosen = true;
    }
  }
  if (!chosen) {
    // The level-2 pointer entry (type 0x40, no subtype or variant).
    const uint32_t mask = cpu.WideEntryTypes ? 0xFFFF : 0x0078FFFF;
    for (uint32_t i = 0; i < count; ++i) {
      if ((typeWord(i) & mask) == 0x40) {
        candidate = location(i);
        chosen = true;
        break;
      }
    }
  }
  uint64_t level2 = 0;
  if (chosen && candidate != 0 && flash.OffsetOf(static_cast<uint32_t>(candidate), &level2)) {
    reads.push_back({static_cast<uint32_t>(candidate), kCopyBytes, "level-2 directory"});
  }
  return reads;
}

}  // namespace ftpm::bench
