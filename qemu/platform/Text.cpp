#include "qemu/platform/Text.h"

namespace ftpm::qemu {

namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr UINTN kMaxStringArgument = 256;

struct StatusEntry {
  EFI_STATUS Status;
  const char* Name;
};

constexpr StatusEntry kStatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BAD_BUFFER_SIZE, "EFI_BAD_BUFFER_SIZE"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_NOT_READY, "EFI_NOT_READY"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_WRITE_PROTECTED, "EFI_WRITE_PROTECTED"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_VOLUME_CORRUPTED, "EFI_VOLUME_CORRUPTED"},
    {EFI_VOLUME_FULL, "EFI_VOLUME_FULL"},
    {EFI_NO_MEDIA, "EFI_NO_MEDIA"},
    {EFI_MEDIA_CHANGED, "EFI_MEDIA_CHANGED"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_NO_RESPONSE, "EFI_NO_RESPONSE"},
    {EFI_NO_MAPPING, "EFI_NO_MAPPING"},
    {EFI_TIMEOUT, "EFI_TIMEOUT"},
    {EFI_NOT_STARTED, "EFI_NOT_STARTED"},
    {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
    {EFI_ABORTED, "EFI_ABORTED"},
    {EFI_ICMP_ERROR, "EFI_ICMP_ERROR"},
    {EFI_TFTP_ERROR, "EFI_TFTP_ERROR"},
    {EFI_PROTOCOL_ERROR, "EFI_PROTOCOL_ERROR"},
    {EFI_INCOMPATIBLE_VERSION, "EFI_INCOMPATIBLE_VERSION"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
    {EFI_CRC_ERROR, "EFI_CRC_ERROR"},
    {EFI_END_OF_MEDIA, "EFI_END_OF_MEDIA"},
    {EFI_END_OF_FILE, "EFI_END_OF_FILE"},
    {EFI_INVALID_LANGUAGE, "EFI_INVALID_LANGUAGE"},
    {EFI_COMPROMISED_DATA, "EFI_COMPROMISED_DATA"},
    {EFI_WARN_UNKNOWN_GLYPH, "EFI_WARN_UNKNOWN_GLYPH"},
    {EFI_WARN_DELETE_FAILURE, "EFI_WARN_DELETE_FAILURE"},
    {EFI_WARN_WRITE_FAILURE, "EFI_WARN_WRITE_FAILURE"},
    {EFI_WARN_BUFFER_TOO_SMALL, "EFI_WARN_BUFFER_TOO_SMALL"},
    {EFI_WARN_STALE_DATA, "EFI_WARN_STALE_DATA"},
};

// A pointer passed in an argument slot.
template <typename T>
const T* PointerArgument(UINT64 Slot) {
  const T* pointer = nullptr;
  static_assert(sizeof(const T*) == sizeof(UINT64));
  __builtin_memcpy(&pointer, &Slot, sizeof(UINT64));
  return pointer;
}

char LowerCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// One conversion of a debug format: "%", flags, width,
// precision, size marker, conversion character.
struct Conversion {
  bool LeftAlign;
  bool ZeroPad;
  UINTN Width;
  bool HasPrecision;
  UINTN Precision;
  bool Long;
  char Type;
};

// Writes Piece padded to the conversion's width.
void AppendPadded(TextBuffer& Out, const TextBuffer& Piece, const Conversion& Conv, bool Numeric) {
  const UINTN length = Piece.Length();
  const UINTN fill = Conv.Width > length ? Conv.Width - length : 0;
  const char* text = Piece.CStr();
  if (Conv.LeftAlign) {
    Out.Append(text);
    for (UINTN i = 0; i < fill; ++i) {
      Out.AppendChar(' ');
    }
    return;
  }
  if (Conv.ZeroPad && Numeric) {
    UINTN start = 0;
    if (text[0] == '-') {
      Out.AppendChar('-');
      start = 1;
    }
    for (UINTN i = 0; i < fill; ++i) {
      Out.AppendChar('0');
    }
    Out.Append(text + start);
    return;
  }
  for (UINTN i = 0; i < fill; ++i) {
    Out.AppendChar(' ');
  }
  Out.Append(text);
}

void AppendAsciiArgument(TextBuffer& Piece, const char* Text, UINTN Limit) {
  if (Text == nullptr) {
    Piece.Append("<null string>");
    return;
  }
  for (UINTN i = 0; i < Limit && Text[i] != 0; ++i) {
    Piece.AppendChar(Text[i]);
  }
}

void AppendUtf16Argument(TextBuffer& Piece, const CHAR16* Text, UINTN Limit) {
  if (Text == nullptr) {
    Piece.Append("<null string>");
    return;
  }
  for (UINTN i = 0; i < Limit && Text[i] != 0; ++i) {
    const CHAR16 c = Text[i];
    Piece.AppendChar(c < 0x80 ? static_cast<char>(c) : '?');
  }
}

}  // namespace

void TextBuffer::AppendChar(char Character) {
  if (Size >= kCapacity) {
    Overflow = true;
    return;
  }
  Buffer[Size++] = Character;
  Buffer[Size] = 0;
}

void TextBuffer::Append(const char* Text) {
  if (Text == nullptr) {
    return;
  }
  for (; *Text != 0; ++Text) {
    AppendChar(*Text);
  }
}

void TextBuffer::AppendHexDigits(UINT64 Value, UINTN Digits, bool UpperCase) {
  const char* digits = UpperCase ? kUpperDigits : kLowerDigits;
  char scratch[16];
  UINTN count = 0;
  do {
    scratch[count++] = digits[Value & 0xF];
    Value >>= 4;
  } while (Value != 0 && count < 16);
  for (UINTN i = count; i < Digits && i < 16; ++i) {
    AppendChar('0');
  }
  while (count != 0) {
    AppendChar(scratch[--count]);
  }
}

void TextBuffer::AppendHex(UINT64 Value) {
  Append("0x");
  AppendHexDigits(Value, 1, false);
}

void TextBuffer::AppendDecimal(UINT64 Value) {
  char scratch[20];
  UINTN count = 0;
  do {
    scratch[count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (count != 0) {
    AppendChar(scratch[--count]);
  }
}

void TextBuffer::AppendSigned(INT64 Value) {
  if (Value < 0) {
    AppendChar('-');
    AppendDecimal(0 - static_cast<UINT64>(Value));
    return;
  }
  AppendDecimal(static_cast<UINT64>(Value));
}

void TextBuffer::AppendStatus(EFI_STATUS Status) {
  const char* name = StatusName(Status);
  if (name != nullptr) {
    Append(name);
    return;
  }
  AppendHex(Status);
}

void TextBuffer::AppendGuid(const EFI_GUID& Guid) {
  AppendHexDigits(Guid.Data1, 8, true);
  AppendChar('-');
  AppendHexDigits(Guid.Data2, 4, true);
  AppendChar('-');
  AppendHexDigits(Guid.Data3, 4, true);
  AppendChar('-');
  AppendHexDigits(Guid.Data4[0], 2, true);
  AppendHexDigits(Guid.Data4[1], 2, true);
  AppendChar('-');
  for (int i = 2; i < 8; ++i) {
    AppendHexDigits(Guid.Data4[i], 2, true);
  }
}

void TextBuffer::AppendEscaped(const char* Text, UINTN MaxLength) {
  if (Text == nullptr) {
    return;
  }
  for (UINTN i = 0; i < MaxLength && Text[i] != 0; ++i) {
    const auto c = static_cast<UINT8>(Text[i]);
    if (c == '\\') {
      Append("\\\\");
    } else if (c == ' ' || (c >= 0x21 && c <= 0x7E)) {
      AppendChar(static_cast<char>(c));
    } else {
      Append("\\x");
      AppendHexDigits(c, 2, false);
    }
  }
}

void TextBuffer::AppendBytes(const void* Data, UINTN Length) {
  const auto* bytes = static_cast<const UINT8*>(Data);
  for (UINTN i = 0; i < Length; ++i) {
    AppendHexDigits(bytes[i], 2, false);
  }
}

const char* StatusName(EFI_STATUS Status) {
  for (const StatusEntry& entry : kStatusNames) {
    if (entry.Status == Status) {
      return entry.Name;
    }
  }
  return nullptr;
}

void FormatDebugMessage(TextBuffer& Out, const char* Format, const UINT64* Arguments, UINTN MaxArguments) {
  if (Format == nullptr) {
    Out.Append("<null format>");
    return;
  }
  UINTN next = 0;
  auto argument = [&](UINT64* value) {
    if (Arguments == nullptr || next >= MaxArguments) {
      return false;
    }
    *value = Arguments[next++];
    return true;
  };
  for (const char* p = Format; *p != 0; ++p) {
    if (*p != '%') {
      Out.AppendChar(*p);
      continue;
    }
    const char* start = p;
    ++p;
    Conversion conv{};
    for (;; ++p) {
      if (*p == '-') {
        conv.LeftAlign = true;
      } else if (*p == '0') {
        conv.ZeroPad = true;
      } else if (*p != ' ' && *p != '+' && *p != ',') {
        break;
      }
    }
    for (; *p >= '0' && *p <= '9'; ++p) {
      conv.Width = conv.Width < 1000 ? conv.Width * 10 + static_cast<UINTN>(*p - '0') : conv.Width;
    }
    if (*p == '.') {
      conv.HasPrecision = true;
      for (++p; *p >= '0' && *p <= '9'; ++p) {
        conv.Precision = conv.Precision < 1000 ? conv.Precision * 10 + static_cast<UINTN>(*p - '0') : conv.Precision;
      }
    }
    for (; *p == 'l' || *p == 'L'; ++p) {
      conv.Long = true;
    }
    conv.Type = *p;
    if (conv.Width > 64) {
      conv.Width = 64;
    }
    if (conv.Type == 0) {
      Out.Append(start);
      return;
    }
    if (conv.Type == '%') {
      Out.AppendChar('%');
      continue;
    }
    UINT64 value = 0;
    const bool known = conv.Type == 'a' || conv.Type == 's' || conv.Type == 'c' || conv.Type == 'd' ||
                       conv.Type == 'i' || conv.Type == 'u' || conv.Type == 'x' || conv.Type == 'X' ||
                       conv.Type == 'p' || conv.Type == 'r' || conv.Type == 'g';
    if (!known) {
      for (const char* q = start; q <= p; ++q) {
        Out.AppendChar(*q);
      }
      continue;
    }
    if (!argument(&value)) {
      Out.Append("<missing argument>");
      continue;
    }
    TextBuffer piece;
    bool numeric = true;
    const UINTN limit = conv.HasPrecision && conv.Precision < kMaxStringArgument ? conv.Precision : kMaxStringArgument;
    switch (conv.Type) {
      case 'a':
        numeric = false;
        AppendAsciiArgument(piece, PointerArgument<char>(value), limit);
        break;
      case 's':
        numeric = false;
        AppendUtf16Argument(piece, PointerArgument<CHAR16>(value), limit);
        break;
      case 'c': {
        numeric = false;
        const auto c = static_cast<CHAR16>(value);
        piece.AppendChar(c < 0x80 ? static_cast<char>(c) : '?');
        break;
      }
      case 'd':
      case 'i':
        piece.AppendSigned(conv.Long ? static_cast<INT64>(value) : static_cast<INT32>(static_cast<UINT32>(value)));
        break;
      case 'u':
        piece.AppendDecimal(conv.Long ? value : static_cast<UINT32>(value));
        break;
      case 'x':
      case 'X':
        piece.AppendHexDigits(conv.Long ? value : static_cast<UINT32>(value), 1, conv.Type == 'X');
        break;
      case 'p':
        piece.AppendHexDigits(value, 16, true);
        break;
      case 'r':
        numeric = false;
        piece.AppendStatus(value);
        break;
      case 'g': {
        numeric = false;
        const auto* guid = PointerArgument<EFI_GUID>(value);
        if (guid == nullptr) {
          piece.Append("<null guid>");
        } else {
          piece.AppendGuid(*guid);
        }
        break;
      }
      default:
        break;
    }
    AppendPadded(Out, piece, conv, numeric);
  }
}

bool TextEquals(const char* Text, UINTN Length, const char* Literal) {
  UINTN i = 0;
  for (; i < Length; ++i) {
    if (Literal[i] == 0 || LowerCase(Text[i]) != LowerCase(Literal[i])) {
      return false;
    }
  }
  return Literal[i] == 0;
}

bool ParseUnsigned(const char* Text, UINTN Length, UINT64* Value) {
  if (Text == nullptr || Length == 0) {
    return false;
  }
  UINT64 base = 10;
  UINTN i = 0;
  if (Length > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  UINT64 result = 0;
  UINTN digits = 0;
  for (; i < Length; ++i) {
    const char c = LowerCase(Text[i]);
    UINT64 digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<UINT64>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<UINT64>(c - 'a') + 10;
    } else if (c == '_') {
      continue;  // digit group separator
    } else {
      return false;
    }
    if (result > (~0ULL - digit) / base) {
      return false;  // does not fit in 64 bits
    }
    result = result * base + digit;
    ++digits;
  }
  if (digits == 0) {
    return false;
  }
  *Value = result;
  return true;
}

bool ParseStatus(const char* Text, UINTN Length, EFI_STATUS* Value) {
  for (const StatusEntry& entry : kStatusNames) {
    if (TextEquals(Text, Length, entry.Name)) {
      *Value = entry.Status;
      return true;
    }
  }
  UINT64 number = 0;
  if (!ParseUnsigned(Text, Length, &number)) {
    return false;
  }
  *Value = number;
  return true;
}

bool ParseBoolean(const char* Text, UINTN Length, BOOLEAN* Value) {
  if (TextEquals(Text, Length, "1") || TextEquals(Text, Length, "true") || TextEquals(Text, Length, "yes") ||
      TextEquals(Text, Length, "on")) {
    *Value = TRUE;
    return true;
  }
  if (TextEquals(Text, Length, "0") || TextEquals(Text, Length, "false") || TextEquals(Text, Length, "no") ||
      TextEquals(Text, Length, "off")) {
    *Value = FALSE;
    return true;
  }
  return false;
}

}  // namespace ftpm::qemu
