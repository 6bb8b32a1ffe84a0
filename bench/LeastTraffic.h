// The least flash traffic a full recovery needs on a given image and
// processor, worked out from the records in the image rather than by running
// the driver: the signature-block candidates probed up to the chosen one, each
// directory copy once (the combo directory, the level-1 directory, the
// level-2 directory the RecoveryFlag chooses), and each A/B slot header once.
// The second lookup of the recovery and every later recovery in the boot are
// served from the buffer cache and need nothing.
//
// The bench compares what the driver read in the simulator with this; any
// byte beyond it is a read to remove.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ftpm::bench {

// What the directory walk must fetch from the running processor's view.
struct ProcessorView {
  uint32_t Signature = 0;  // CPUID 0x80000001 EAX
  uint32_t MvqId = 0;      // from the processor's identity row
  int32_t AbLayout = -1;   // -1: none; 1 or 2
  bool WideEntryTypes = false;
  bool HasIdentityRow = false;
};

struct FlashRead {
  uint64_t Address;  // a flash offset below 64 MB, or an address in a window
  uint32_t Length;
  std::string What;
};

struct Traffic {
  uint64_t Bytes = 0;  // bytes that crossed the flash bus
  uint64_t Loads64 = 0;
  uint64_t MappedBytes = 0;  // of Bytes, copied from a window address
};

// A flash offset is read by aligned 8-byte loads of every word the range
// touches; a window address is copied byte for byte from the mapping.
Traffic TrafficOf(const FlashRead& read);
Traffic TrafficOf(const std::vector<FlashRead>& reads);

// The reads one full recovery needs at the least. RecoveryFlagB: bit 30 of
// the RecoveryFlag register is set. The image is the flash from offset 0
// (shorter images read 0xFF beyond their end).
std::vector<FlashRead> LeastRecoveryReads(const std::vector<uint8_t>& image, const ProcessorView& cpu,
                                          bool RecoveryFlagB);

}  // namespace ftpm::bench
