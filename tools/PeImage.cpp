// The checks a PE image passes before it is packaged: a UEFI machine type and
// the subsystem of a driver or an application.
#include "tools/Ffs.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "tools/FfsBytes.h"

namespace ftpm::tools::ffs {
namespace {

// Machine types a UEFI image may carry.
struct MachineType {
  uint16_t value;
  const char* name;
};
constexpr std::array kMachines{
    MachineType{0x014C, "IA32"},        MachineType{0x8664, "X64"},         MachineType{0x0200, "IPF"},
    MachineType{0x01C2, "ARM"},         MachineType{0xAA64, "AARCH64"},     MachineType{0x0EBC, "EBC"},
    MachineType{0x5032, "RISCV32"},     MachineType{0x5064, "RISCV64"},     MachineType{0x5128, "RISCV128"},
    MachineType{0x6232, "LOONGARCH32"}, MachineType{0x6264, "LOONGARCH64"},
};

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSubsystemOffset = 68;  // in the optional header, PE32 and PE32+ alike

}  // namespace

const char* MachineName(uint16_t machine) {
  for (const MachineType& m : kMachines) {
    if (m.value == machine) {
      return m.name;
    }
  }
  return nullptr;
}

PeImageInfo InspectEfiImage(std::span<const uint8_t> image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    throw PackageError("not a PE image (no MZ header)");
  }
  const size_t pe = ReadLe32(image, 0x3C);
  if (pe > image.size() || image.size() - pe < 4 + kCoffHeaderSize ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) {
    throw PackageError("not a PE image (no PE signature where the MZ header points)");
  }
  const size_t coff = pe + 4;
  PeImageInfo info{};
  info.machine = ReadLe16(image, coff);
  if (MachineName(info.machine) == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "machine type 0x%04X is not a UEFI machine type", info.machine);
    throw PackageError(text);
  }
  const size_t optionalSize = ReadLe16(image, coff + 16);
  const size_t optional = coff + kCoffHeaderSize;
  if (optionalSize < kSubsystemOffset + 2 || image.size() - optional < kSubsystemOffset + 2) {
    throw PackageError("PE image without a complete optional header");
  }
  const uint16_t magic = ReadLe16(image, optional);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    throw PackageError("PE optional header is neither PE32 nor PE32+");
  }
  info.pe32Plus = magic == kPe32PlusMagic;
  info.subsystem = ReadLe16(image, optional + kSubsystemOffset);
  if (info.subsystem != kPeSubsystemEfiApplication && info.subsystem != kPeSubsystemEfiBootServiceDriver &&
      info.subsystem != kPeSubsystemEfiRuntimeDriver) {
    throw PackageError("PE subsystem " + std::to_string(info.subsystem) +
                       " is not an EFI application (10), boot-service driver (11) or runtime driver (12)");
  }
  return info;
}

}  // namespace ftpm::tools::ffs
