// Bounded ASCII text for the report lines: numbers, status names,
// escaped free text and the debug-print conversions. Nothing here touches
// firmware, so the host build tests it directly.
#pragma once

#include "platform/Base.h"

namespace ftpm::qemu {

// A line under construction. Text beyond the capacity is dropped, never
// written past the end; Truncated() tells that it happened.
class TextBuffer {
 public:
  static constexpr UINTN kCapacity = 1000;

  void Append(const char* Text);
  void AppendChar(char Character);
  void AppendHex(UINT64 Value);  // "0x" and lower-case digits, no leading zeros
  void AppendHexDigits(UINT64 Value, UINTN Digits, bool UpperCase);
  void AppendDecimal(UINT64 Value);
  void AppendSigned(INT64 Value);
  void AppendStatus(EFI_STATUS Status);   // "EFI_NOT_FOUND", or hex for unknown codes
  void AppendGuid(const EFI_GUID& Guid);  // registry form, upper case
  // Free text with every byte outside 0x21..0x7E except the space written as
  // \xNN, "\" as "\\", and at most MaxLength source bytes read.
  void AppendEscaped(const char* Text, UINTN MaxLength);
  // Bytes as pairs of hex digits, no separators.
  void AppendBytes(const void* Data, UINTN Length);

  const char* CStr() const { return Buffer; }
  UINTN Length() const { return Size; }
  bool Truncated() const { return Overflow; }

 private:
  char Buffer[kCapacity + 1] = {};
  UINTN Size = 0;
  bool Overflow = false;
};

// The symbolic name of an EFI_STATUS, or nullptr when it has none.
const char* StatusName(EFI_STATUS Status);

// Formats a message for the debug-print protocol. Arguments are the 8-byte
// slots of the UEFI variable argument list; at most MaxArguments of them are
// read. Conversions: %a (ASCII string), %s (UTF-16 string), %c, %d, %i, %u,
// %x, %X, %p, %r (status), %g (GUID pointer) and %%, with the flags "-", "0",
// a width, a precision and the size markers "l" and "L". Unknown conversions
// are copied as they stand. Strings are read up to 256 characters.
void FormatDebugMessage(TextBuffer& Out, const char* Format, const UINT64* Arguments, UINTN MaxArguments);

// Parsing helpers for the configuration text.
bool ParseUnsigned(const char* Text, UINTN Length, UINT64* Value);    // decimal or 0x-hex, no sign
bool ParseBoolean(const char* Text, UINTN Length, BOOLEAN* Value);    // 0/1, true/false, yes/no, on/off
bool ParseStatus(const char* Text, UINTN Length, EFI_STATUS* Value);  // a number or a symbolic name
bool TextEquals(const char* Text, UINTN Length, const char* Literal);

}  // namespace ftpm::qemu
