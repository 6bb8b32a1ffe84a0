// Fields of untrusted bytes for the firmware-file reader and writer. Every
// read is checked against its span: a field past the end is a PackageError,
// never a read out of bounds.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "tools/Ffs.h"

namespace ftpm::tools::ffs {

// Firmware structures are little-endian and are copied as they lie.
static_assert(std::endian::native == std::endian::little);

inline void NeedBytes(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  if (offset > bytes.size() || bytes.size() - offset < size) {
    throw PackageError(std::to_string(size) + " bytes at " + FormatHex(offset) + " lie past the end of their " +
                       std::to_string(bytes.size()) + "-byte container");
  }
}

template <typename T>
T ReadStruct(std::span<const uint8_t> bytes, size_t offset) {
  NeedBytes(bytes, offset, sizeof(T));
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

inline uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset) { return ReadStruct<uint16_t>(bytes, offset); }
inline uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) { return ReadStruct<uint32_t>(bytes, offset); }
inline uint64_t ReadLe64(std::span<const uint8_t> bytes, size_t offset) { return ReadStruct<uint64_t>(bytes, offset); }

inline void WriteLe32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
  NeedBytes(bytes, offset, sizeof value);
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

inline void PutSize24(uint8_t (&field)[3], size_t size) {
  field[0] = static_cast<uint8_t>(size);
  field[1] = static_cast<uint8_t>(size >> 8);
  field[2] = static_cast<uint8_t>(size >> 16);
}

inline size_t GetSize24(const uint8_t (&field)[3]) {
  return static_cast<size_t>(field[0]) | static_cast<size_t>(field[1]) << 8 | static_cast<size_t>(field[2]) << 16;
}

template <typename T>
void AppendStruct(Bytes& out, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

inline void PadTo(Bytes& out, size_t alignment, uint8_t fill) { out.resize(AlignUp(out.size(), alignment), fill); }

}  // namespace ftpm::tools::ffs
