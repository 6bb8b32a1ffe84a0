// The RecoveryFlag register pair (index at 0xE00000B8, data at 0xE00000BC)
// as the driver finds it in QEMU. On q35 OVMF puts the PCI Express
// configuration space at 0xB0000000, so nothing of the machine answers at
// 0xE0000000. The harness reports what the pair reads there, the way the
// driver reads it, and on request puts an ivshmem device's memory behind it
// with a chosen value, so that a scenario can pick the A or the B side.
#include "qemu/platform/Platform.h"

namespace ftpm::qemu {

namespace {

constexpr UINT64 kIndexRegister = 0xE00000B8;
constexpr UINT64 kDataRegister = 0xE00000BC;
constexpr UINT64 kWindowBase = 0xE0000000;
// The register numbers the driver writes to the index register.
constexpr UINT32 kRegisterSelector1 = 0x3810570;
constexpr UINT32 kRegisterSelector2 = 0x3810970;

// ivshmem-plain: PCI vendor 0x1AF4, device 0x1110; its memory is BAR 2.
constexpr UINT32 kIvshmemId = 0x11101AF4;
constexpr UINT8 kCommandOffset = 0x04;
constexpr UINT8 kBar2Offset = 0x18;
constexpr UINT32 kCommandMemorySpace = 0x2;

UINT32 IoRead32(UINT16 Port) {
  UINT32 value = 0;
  __asm__ __volatile__("inl %w1, %0" : "=a"(value) : "Nd"(Port));
  return value;
}

void IoWrite32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

// Configuration mechanism 1 (ports 0xCF8/0xCFC), bus 0 only.
UINT32 PciAddress(UINT8 Device, UINT8 Offset) {
  return 0x80000000U | (static_cast<UINT32>(Device) << 11) | (static_cast<UINT32>(Offset) & 0xFCU);
}

UINT32 PciRead32(UINT8 Device, UINT8 Offset) {
  IoWrite32(0xCF8, PciAddress(Device, Offset));
  return IoRead32(0xCFC);
}

void PciWrite32(UINT8 Device, UINT8 Offset, UINT32 Value) {
  IoWrite32(0xCF8, PciAddress(Device, Offset));
  IoWrite32(0xCFC, Value);
}

volatile UINT32* Register(UINT64 Address) { return PhysicalPointer<volatile UINT32>(Address); }

// The driver's access sequence: keep the index, select the register, read
// the data, put the index back.
UINT32 ReadFlagRegister(UINT32 Number) {
  const UINT32 kept = *Register(kIndexRegister);
  *Register(kIndexRegister) = Number;
  const UINT32 value = *Register(kDataRegister);
  *Register(kIndexRegister) = kept;
  return value;
}

// Moves the ivshmem device's memory to 0xE0000000 and stores Value in its
// data register. Returns false (after reporting) when there is no such
// device or its memory cannot sit there.
bool BackRegisterPair(UINT32 Value) {
  Report line("recovery-flag-device");
  for (UINT8 device = 0; device < 32; ++device) {
    if (PciRead32(device, 0) != kIvshmemId) {
      continue;
    }
    line.Flag("found", true).Hex("device", device);
    const UINT32 bar = PciRead32(device, kBar2Offset);
    const bool wide = (bar & 0x6U) == 0x4U;
    if ((bar & 0x1U) != 0) {
      line.Text("result", "bar-is-io").Emit();
      return false;
    }
    const UINT32 command = PciRead32(device, kCommandOffset) & 0xFFFFU;
    PciWrite32(device, kCommandOffset, command & ~kCommandMemorySpace);
    PciWrite32(device, kBar2Offset, static_cast<UINT32>(kWindowBase) | (bar & 0xFU));
    if (wide) {
      PciWrite32(device, kBar2Offset + 4, 0);
    }
    PciWrite32(device, kCommandOffset, command | kCommandMemorySpace);
    *Register(kDataRegister) = Value;
    *Register(kIndexRegister) = 0;
    const UINT32 readBack = *Register(kDataRegister);
    line.Hex("bar", static_cast<UINT64>(PciRead32(device, kBar2Offset)) & ~0xFULL).Flag("wide", wide);
    line.Hex("data", readBack).Text("result", readBack == Value ? "mapped" : "not-memory").Emit();
    return readBack == Value;
  }
  line.Flag("found", false).Text("result", "no-ivshmem-device").Emit();
  return false;
}

}  // namespace

void PrepareRecoveryFlag() {
  const PlatformConfig& config = gPlatform.Config;
  const bool backed =
      config.RecoveryFlagSet != FALSE && BackRegisterPair(static_cast<UINT32>(config.RecoveryFlagValue));
  const UINT32 indexBefore = *Register(kIndexRegister);
  const UINT32 first = ReadFlagRegister(kRegisterSelector1);
  const UINT32 second = ReadFlagRegister(kRegisterSelector2);
  const UINT32 indexAfter = *Register(kIndexRegister);
  Report("recovery-flag")
      .Text("source", backed ? "ivshmem" : (config.RecoveryFlagSet != FALSE ? "machine-unbacked" : "machine"))
      .Hex("index", indexBefore)
      .Hex("reg-3810570", first)
      .Hex("reg-3810970", second)
      .Flag("index-restored", indexAfter == indexBefore)
      .Text("side-3810570", (first & 0x40000000U) != 0 ? "B" : "A")
      .Text("side-3810970", (second & 0x40000000U) != 0 ? "B" : "A")
      .Emit();
}

}  // namespace ftpm::qemu
