// Reading fixed-size values off the front of a fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ftpm::fuzz {

// The next sizeof(T) bytes as a T, zero-filled when the input runs short.
template <typename T>
T Take(const uint8_t*& data, size_t& size) {
  T value{};
  const size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace ftpm::fuzz
