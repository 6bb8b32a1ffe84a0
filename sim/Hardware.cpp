// The host instance of platform/Hardware.h: a simulated processor, I/O ports,
// memory-mapped registers and SPI flash behind its two windows.
#include <cstring>

#include "platform/Hardware.h"
#include "sim/Machine.h"

namespace ftpm::sim {

namespace {
Machine& M() { return Machine::Current(); }
}  // namespace

void Processor::Advance(UINT64 ticks) {
  Tsc += ticks;
  if (SpinLimitTicks != 0 && Tsc > SpinLimitTicks) {
    M().Stop(StopReason::SpinLimit, "simulated time limit reached");
  }
}

// --- Ports ------------------------------------------------------------------------

UINT8 Ports::Read8(UINT16 port) {
  UINT8 value = 0;
  auto it = reads_.find(port);
  if (it != reads_.end() && !it->second.empty()) {
    size_t& index = readIndex_[port];
    value = it->second[std::min(index, it->second.size() - 1)];
    ++index;
  }
  Log.push_back(PortAccess{false, port, 1, value, M().cpu.Tsc});
  return value;
}

void Ports::Write(UINT16 port, unsigned width, UINT32 value) {
  Log.push_back(PortAccess{true, port, width, value, M().cpu.Tsc});
  if (port == 0x80 && Port80WriteLimit != 0 && ++port80Writes_ >= Port80WriteLimit) {
    M().Stop(StopReason::PortWriteLimit, "port 0x80 written " + std::to_string(port80Writes_) + " times");
  }
}

std::vector<PortAccess> Ports::AccessesTo(UINT16 port) const {
  std::vector<PortAccess> out;
  for (const auto& access : Log) {
    if (access.Port == port) {
      out.push_back(access);
    }
  }
  return out;
}

// --- Memory-mapped registers ---------------------------------------------------------

UINT32 Registers::Read32(UINT64 address) {
  Machine& m = M();
  m.cpu.Advance(m.cpu.TscPerMmio);
  UINT32 value = 0xFFFFFFFF;  // nothing answers
  if (address == kPmTimerAddress && PmTimerPresent) {
    ++PmTimerReads;
    const UINT64 elapsed = m.cpu.Tsc - tscAtStart_;
    const auto ticks = static_cast<UINT64>((static_cast<unsigned __int128>(elapsed) * kPmTimerHz) / m.cpu.TscHz);
    value = static_cast<UINT32>(PmTimerStart + ticks) & PmTimerMask;
  } else if (address == kIndexRegisterAddress) {
    value = IndexRegister;
  } else if (address == kDataRegisterAddress) {
    auto it = RegisterFile.find(IndexRegister);
    value = it == RegisterFile.end() ? 0xFFFFFFFF : it->second;
  }
  Log.push_back(MmioAccess{false, address, value});
  return value;
}

void Registers::Write32(UINT64 address, UINT32 value) {
  M().cpu.Advance(M().cpu.TscPerMmio);
  Log.push_back(MmioAccess{true, address, value});
  if (address == kIndexRegisterAddress) {
    IndexRegister = value;
  } else if (address == kDataRegisterAddress) {
    RegisterFile[IndexRegister] = value;
  }
}

// --- Flash ------------------------------------------------------------------------

namespace {
// The storage of the last machine's flash, reused by the next one.
std::vector<UINT8>& SpareFlashStorage() {
  static std::vector<UINT8> spare;
  return spare;
}
}  // namespace

Flash::~Flash() {
  if (image_.size() == kFlashSize && SpareFlashStorage().empty()) {
    SpareFlashStorage().swap(image_);
  }
}

std::vector<UINT8>& Flash::Image() {
  if (image_.empty()) {
    if (SpareFlashStorage().size() == kFlashSize) {
      image_.swap(SpareFlashStorage());
      // memset, not std::fill: unoptimised sanitizer builds fill byte by byte.
      std::memset(image_.data(), 0xFF, image_.size());
    } else {
      image_.assign(kFlashSize, 0xFF);
    }
  }
  return image_;
}

void Flash::SetImage(const std::vector<UINT8>& image) {
  std::vector<UINT8>& all = Image();
  std::memset(all.data(), 0xFF, all.size());
  std::memcpy(all.data(), image.data(), std::min<size_t>(image.size(), kFlashSize));
}

std::optional<UINT64> Flash::OffsetOf(UINT64 address, UINT64 length) {
  if (address >= kWindow16Base && address - kWindow16Base < kWindow16Size &&
      length <= kWindow16Size - (address - kWindow16Base)) {
    return address - kWindow16Base;
  }
  if (address >= kWindow64Base && address - kWindow64Base < kWindow64Size &&
      length <= kWindow64Size - (address - kWindow64Base)) {
    return address - kWindow64Base;
  }
  return std::nullopt;
}

UINT64 Flash::Load64(UINT64 address) {
  Log.push_back(FlashAccess{FlashAccessKind::Load64, address, 8});
  if ((address & 7) != 0) {
    M().Stop(StopReason::InvalidAccess, "unaligned 8-byte flash load");
  }
  auto offset = OffsetOf(address, 8);
  if (!offset) {
    return ~0ULL;
  }
  UINT64 value;
  std::memcpy(&value, Image().data() + *offset, 8);
  return value;
}

const void* Flash::Map(UINT64 address, UINT64 length) {
  Log.push_back(FlashAccess{FlashAccessKind::MappedCopy, address, length});
  auto offset = OffsetOf(address, length);
  if (!offset) {
    M().Stop(StopReason::InvalidAccess, "mapped flash access outside both windows");
  }
  return Image().data() + *offset;
}

UINT64 Flash::BytesRead() const {
  UINT64 total = 0;
  for (const auto& access : Log) {
    total += access.Length;
  }
  return total;
}

size_t Flash::Loads64() const {
  return static_cast<size_t>(
      std::count_if(Log.begin(), Log.end(), [](const FlashAccess& a) { return a.Kind == FlashAccessKind::Load64; }));
}

}  // namespace ftpm::sim

// --- The platform operations the driver layers call ------------------------------

namespace ftpm::platform {

using sim::Machine;

CpuidResult Cpuid(UINT32 Leaf) {
  Machine& m = Machine::Current();
  ++m.cpu.CpuidCount;
  switch (Leaf) {
    case 0x80000000:
      return {0x80000008, 0, 0, 0};
    case 0x80000001:
      return {m.cpu.Signature, 0, 0, 0};
    default:
      return {0, 0, 0, 0};
  }
}

UINT16 DebugHostCpuid() {
  Machine& m = Machine::Current();
  ++m.cpu.CpuidCount;
  return m.cpu.DebugHostAnswer;
}

UINT64 ReadTsc() {
  Machine& m = Machine::Current();
  const UINT64 value = m.cpu.Tsc;
  m.cpu.Advance(m.cpu.TscPerRead);
  return value;
}

void CpuPause() {
  Machine& m = Machine::Current();
  ++m.cpu.PauseCount;
  m.cpu.Advance(m.cpu.TscPerPause);
}

UINT64 ReadMsr(UINT32 Index) {
  Machine& m = Machine::Current();
  auto it = m.cpu.Msrs.find(Index);
  if (it == m.cpu.Msrs.end()) {
    m.Stop(sim::StopReason::InvalidAccess, "RDMSR of an unimplemented MSR");
  }
  return it->second;
}

UINT8 IoRead8(UINT16 Port) { return Machine::Current().ports.Read8(Port); }
void IoWrite8(UINT16 Port, UINT8 Value) { Machine::Current().ports.Write(Port, 1, Value); }
void IoWrite16(UINT16 Port, UINT16 Value) { Machine::Current().ports.Write(Port, 2, Value); }
void IoWrite32(UINT16 Port, UINT32 Value) { Machine::Current().ports.Write(Port, 4, Value); }

UINT32 MmioRead32(UINT64 Address) { return Machine::Current().registers.Read32(Address); }
void MmioWrite32(UINT64 Address, UINT32 Value) { Machine::Current().registers.Write32(Address, Value); }

UINT64 MmioLoad64(UINT64 Address) { return Machine::Current().flash.Load64(Address); }

const void* MapFlash(UINT64 Address, UINT64 Length) { return Machine::Current().flash.Map(Address, Length); }

}  // namespace ftpm::platform
