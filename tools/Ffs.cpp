// Checksums, GUIDs and the formatting of messages, shared by the
// firmware-file reader and writer.
#include "tools/Ffs.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace ftpm::tools::ffs {
uint8_t Checksum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (const uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
  }
  return static_cast<uint8_t>(0x100 - sum);
}

uint16_t Checksum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const uint16_t high = i + 1 < bytes.size() ? bytes[i + 1] : 0;
    sum = static_cast<uint16_t>(sum + (bytes[i] | high << 8));
  }
  return static_cast<uint16_t>(0x10000 - sum);
}

bool ParseGuid(std::string_view text, EFI_GUID& guid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) {
    return false;
  }
  uint8_t digits[16]{};
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') {
        return false;
      }
      continue;
    }
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
    const int value = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : std::toupper(c) - 'A' + 10;
    digits[n / 2] = static_cast<uint8_t>(digits[n / 2] << 4 | value);
    ++n;
  }
  // Registry order is big-endian per group; the first three groups are stored
  // little-endian.
  guid.Data1 = static_cast<uint32_t>(digits[0]) << 24 | static_cast<uint32_t>(digits[1]) << 16 |
               static_cast<uint32_t>(digits[2]) << 8 | digits[3];
  guid.Data2 = static_cast<uint16_t>(digits[4] << 8 | digits[5]);
  guid.Data3 = static_cast<uint16_t>(digits[6] << 8 | digits[7]);
  std::memcpy(guid.Data4, digits + 8, 8);
  return true;
}

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0; }

std::string FormatHex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string FormatGuid(const EFI_GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

}  // namespace ftpm::tools::ffs
