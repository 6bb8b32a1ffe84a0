// Base types of the UEFI calling environment, shared by every layer.
//
// The driver layers are freestanding: nothing here pulls in a C or C++
// runtime, only the fixed-width integer types the compiler provides.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Functions that firmware calls, or that call into firmware, use the
// Microsoft x64 calling convention on every target.
#define EFIAPI __attribute__((ms_abi))

using UINT8 = uint8_t;
using UINT16 = uint16_t;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using INT8 = int8_t;
using INT16 = int16_t;
using INT32 = int32_t;
using INT64 = int64_t;
using UINTN = uintptr_t;
using INTN = intptr_t;
using CHAR8 = char;
using CHAR16 = char16_t;
using BOOLEAN = unsigned char;
using VOID = void;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

static_assert(sizeof(UINTN) == 8 && sizeof(UINT64) == 8, "x64 only");
static_assert(sizeof(CHAR16) == 2);
static_assert(sizeof(BOOLEAN) == 1);

using EFI_STATUS = UINTN;
using EFI_HANDLE = void*;
using EFI_EVENT = void*;
using EFI_TPL = UINTN;
using EFI_PHYSICAL_ADDRESS = UINT64;
using EFI_VIRTUAL_ADDRESS = UINT64;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);
static_assert(offsetof(EFI_GUID, Data4) == 8);

namespace ftpm::platform::detail {

// Not constexpr: reaching it while a GUID is parsed at compile time makes the
// malformed text a compile error.
void MalformedGuidText();

consteval UINT8 HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<UINT8>(c - '0');
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<UINT8>(c - 'A' + 10);
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<UINT8>(c - 'a' + 10);
  }
  MalformedGuidText();
  return 0;
}

consteval UINT64 HexField(const char* text, int first, int count) {
  UINT64 value = 0;
  for (int i = 0; i < count; ++i) {
    value = (value << 4) | HexDigit(text[first + i]);
  }
  return value;
}

}  // namespace ftpm::platform::detail

// Builds a GUID from its registry form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"
// at compile time, so every GUID is written once, the way documents show it.
template <size_t N>
consteval EFI_GUID MakeGuid(const char (&text)[N]) {
  static_assert(N == 37, "registry form has 36 characters");
  using ftpm::platform::detail::HexField;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    ftpm::platform::detail::MalformedGuidText();
  }
  EFI_GUID guid{};
  guid.Data1 = static_cast<UINT32>(HexField(text, 0, 8));
  guid.Data2 = static_cast<UINT16>(HexField(text, 9, 4));
  guid.Data3 = static_cast<UINT16>(HexField(text, 14, 4));
  guid.Data4[0] = static_cast<UINT8>(HexField(text, 19, 2));
  guid.Data4[1] = static_cast<UINT8>(HexField(text, 21, 2));
  for (int i = 0; i < 6; ++i) {
    guid.Data4[2 + i] = static_cast<UINT8>(HexField(text, 24 + 2 * i, 2));
  }
  return guid;
}

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------

inline constexpr EFI_STATUS kEfiErrorBit = 0x8000000000000000ULL;

constexpr EFI_STATUS EncodeError(UINTN code) { return kEfiErrorBit | code; }
constexpr bool EFI_ERROR(EFI_STATUS status) { return (status & kEfiErrorBit) != 0; }

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
inline constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
inline constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
inline constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
inline constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
inline constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
inline constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EncodeError(10);
inline constexpr EFI_STATUS EFI_VOLUME_FULL = EncodeError(11);
inline constexpr EFI_STATUS EFI_NO_MEDIA = EncodeError(12);
inline constexpr EFI_STATUS EFI_MEDIA_CHANGED = EncodeError(13);
inline constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
inline constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
inline constexpr EFI_STATUS EFI_NO_RESPONSE = EncodeError(16);
inline constexpr EFI_STATUS EFI_NO_MAPPING = EncodeError(17);
inline constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
inline constexpr EFI_STATUS EFI_NOT_STARTED = EncodeError(19);
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
inline constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);
inline constexpr EFI_STATUS EFI_ICMP_ERROR = EncodeError(22);
inline constexpr EFI_STATUS EFI_TFTP_ERROR = EncodeError(23);
inline constexpr EFI_STATUS EFI_PROTOCOL_ERROR = EncodeError(24);
inline constexpr EFI_STATUS EFI_INCOMPATIBLE_VERSION = EncodeError(25);
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EncodeError(26);
inline constexpr EFI_STATUS EFI_CRC_ERROR = EncodeError(27);
inline constexpr EFI_STATUS EFI_END_OF_MEDIA = EncodeError(28);
inline constexpr EFI_STATUS EFI_END_OF_FILE = EncodeError(31);
inline constexpr EFI_STATUS EFI_INVALID_LANGUAGE = EncodeError(32);
inline constexpr EFI_STATUS EFI_COMPROMISED_DATA = EncodeError(33);

inline constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
inline constexpr EFI_STATUS EFI_WARN_DELETE_FAILURE = 2;
inline constexpr EFI_STATUS EFI_WARN_WRITE_FAILURE = 3;
inline constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;
inline constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;

// Little-endian four-character tags ("HEAP", "$MVQ", ...) as stored in memory:
// the first character is the lowest byte.
constexpr UINT32 Signature32(char a, char b, char c, char d) {
  return static_cast<UINT32>(static_cast<UINT8>(a)) | (static_cast<UINT32>(static_cast<UINT8>(b)) << 8) |
         (static_cast<UINT32>(static_cast<UINT8>(c)) << 16) | (static_cast<UINT32>(static_cast<UINT8>(d)) << 24);
}
