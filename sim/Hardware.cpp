// The host instance of platform/Hardware.h: a simulated processor, I/O ports,
// memory-mapped registers and SPI flash behind its two windows.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

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
// What an erased page reads, for loads and mapped ranges that land on one.
const std::array<UINT8, Flash::kPageSize>& ErasedPage() {
  static const std::array<UINT8, Flash::kPageSize> erased = [] {
    std::array<UINT8, Flash::kPageSize> bytes{};
    bytes.fill(0xFF);
    return bytes;
  }();
  return erased;
}
}  // namespace

void Flash::CheckRange(UINT64 offset, UINT64 length) {
  if (offset > kFlashSize || length > kFlashSize - offset) {
    throw std::out_of_range("flash range past 64 MB");
  }
}

UINT8* Flash::PageAt(UINT64 page) const {
  const PageGroup* group = groups_[page / kPagesPerGroup].get();
  return group != nullptr ? (*group)[page % kPagesPerGroup].get() : nullptr;
}

UINT8* Flash::WritablePage(UINT64 page) {
  std::unique_ptr<PageGroup>& group = groups_[page / kPagesPerGroup];
  if (!group) {
    group = std::make_unique<PageGroup>();
  }
  std::unique_ptr<UINT8[]>& bytes = (*group)[page % kPagesPerGroup];
  if (!bytes) {
    bytes = std::make_unique_for_overwrite<UINT8[]>(kPageSize);
    std::memset(bytes.get(), 0xFF, kPageSize);
    held_.push_back(page);
  }
  return bytes.get();
}

void Flash::SetImage(const std::vector<UINT8>& image) {
  EraseAll();
  Write(0, image.data(), std::min<UINT64>(image.size(), kFlashSize));
}

void Flash::Write(UINT64 offset, const void* bytes, UINT64 length) {
  CheckRange(offset, length);
  const auto* in = static_cast<const UINT8*>(bytes);
  while (length != 0) {
    const UINT64 within = offset % kPageSize;
    const UINT64 n = std::min(length, kPageSize - within);
    // 0xFF over an erased page changes nothing, so the page stays unheld: a
    // machine holds only the pages its image and writes really fill.
    if (PageAt(offset / kPageSize) != nullptr || std::memcmp(in, ErasedPage().data(), n) != 0) {
      std::memcpy(WritablePage(offset / kPageSize) + within, in, n);
    }
    offset += n;
    in += n;
    length -= n;
  }
}

void Flash::Erase(UINT64 offset, UINT64 length) {
  CheckRange(offset, length);
  while (length != 0) {
    const UINT64 within = offset % kPageSize;
    const UINT64 n = std::min(length, kPageSize - within);
    if (UINT8* page = PageAt(offset / kPageSize); page != nullptr) {
      std::memset(page + within, 0xFF, n);
    }
    offset += n;
    length -= n;
  }
}

void Flash::EraseAll() {
  for (UINT64 page : held_) {
    (*groups_[page / kPagesPerGroup])[page % kPagesPerGroup].reset();
  }
  held_.clear();
}

void Flash::CopyOut(UINT64 offset, UINT8* out, UINT64 length) const {
  while (length != 0) {
    const UINT64 within = offset % kPageSize;
    const UINT64 n = std::min(length, kPageSize - within);
    const UINT8* page = PageAt(offset / kPageSize);
    std::memcpy(out, (page != nullptr ? page : ErasedPage().data()) + within, n);
    offset += n;
    out += n;
    length -= n;
  }
}

UINT8 Flash::At(UINT64 offset) const {
  CheckRange(offset, 1);
  const UINT8* page = PageAt(offset / kPageSize);
  return page != nullptr ? page[offset % kPageSize] : 0xFF;
}

std::vector<UINT8> Flash::Read(UINT64 offset, UINT64 length) const {
  CheckRange(offset, length);
  std::vector<UINT8> out(length);
  CopyOut(offset, out.data(), length);
  return out;
}

bool Flash::IsErased(UINT64 offset, UINT64 length) const {
  CheckRange(offset, length);
  for (UINT64 o = offset, end = offset + length; o < end;) {
    const UINT64 n = std::min(end - o, kPageSize - o % kPageSize);
    const UINT8* page = PageAt(o / kPageSize);
    if (page != nullptr &&
        std::any_of(page + o % kPageSize, page + o % kPageSize + n, [](UINT8 b) { return b != 0xFF; })) {
      return false;
    }
    o += n;
  }
  return true;
}

std::vector<UINT8> Flash::Contents() const {
  UINT64 end = 0;
  for (UINT64 page : held_) {
    const UINT8* bytes = PageAt(page);
    for (UINT64 i = kPageSize; i != 0 && page * kPageSize + i > end; --i) {
      if (bytes[i - 1] != 0xFF) {
        end = page * kPageSize + i;
        break;
      }
    }
  }
  return Read(0, end);
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

std::optional<UINT64> Flash::EraseOffset(UINT64 address, UINT64 size) {
  if (size == 0) {
    return std::nullopt;
  }
  if (address < kFlashSize) {
    return size <= kFlashSize - address ? std::optional<UINT64>(address) : std::nullopt;
  }
  return OffsetOf(address, size);
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
  const UINT8* page = PageAt(*offset / kPageSize);
  if (page == nullptr) {
    return ~0ULL;
  }
  UINT64 value;
  std::memcpy(&value, page + *offset % kPageSize, 8);
  return value;
}

const void* Flash::Map(UINT64 address, UINT64 length) {
  Log.push_back(FlashAccess{FlashAccessKind::MappedCopy, address, length});
  auto offset = OffsetOf(address, length);
  if (!offset) {
    M().Stop(StopReason::InvalidAccess, "mapped flash access outside both windows");
  }
  // Within one page the page itself serves; a range across pages is put
  // together in one buffer.
  if (*offset % kPageSize + length <= kPageSize) {
    const UINT8* page = PageAt(*offset / kPageSize);
    return (page != nullptr ? page : ErasedPage().data()) + *offset % kPageSize;
  }
  mapped_.resize(length);
  CopyOut(*offset, mapped_.data(), length);
  return mapped_.data();
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
