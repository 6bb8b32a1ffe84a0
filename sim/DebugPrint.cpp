// The simulated debug-print protocol: formats each message and records it with
// its level.
#include <cstdio>
#include <cstring>

#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

EFI_STATUS EFIAPI PrintThunk(UINT64 level, const CHAR8* format, __builtin_ms_va_list arguments) {
  // The Microsoft x64 argument list is a pointer to 8-byte slots.
  const auto* slots = reinterpret_cast<const UINT64*>(arguments);
  Machine& m = Machine::Current();
  m.debug.Messages.push_back(DebugMessage{level, FormatDebugMessage(format, slots)});
  return EFI_SUCCESS;
}

std::string Pad(std::string text, unsigned width, bool left, bool zero) {
  if (text.size() >= width) {
    return text;
  }
  const size_t fill = width - text.size();
  if (left) {
    return text + std::string(fill, ' ');
  }
  if (zero) {
    const bool negative = !text.empty() && text[0] == '-';
    return (negative ? "-" : "") + std::string(fill, '0') + text.substr(negative ? 1 : 0);
  }
  return std::string(fill, ' ') + text;
}

}  // namespace

std::string FormatDebugMessage(const char* format, const UINT64* arguments) {
  std::string out;
  size_t next = 0;
  auto arg = [&]() { return arguments[next++]; };
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    bool left = false;
    bool zero = false;
    unsigned width = 0;
    bool wide = false;
    for (; *p == '-' || *p == '0'; ++p) {
      left = left || *p == '-';
      zero = zero || *p == '0';
    }
    for (; *p >= '0' && *p <= '9'; ++p) {
      width = width * 10 + static_cast<unsigned>(*p - '0');
    }
    for (; *p == 'l' || *p == 'L'; ++p) {
      wide = true;
    }
    char buffer[64];
    std::string piece;
    switch (*p) {
      case 0:
        return out;
      case '%':
        piece = "%";
        break;
      case 'a': {
        const auto* text = reinterpret_cast<const char*>(arg());
        piece = text != nullptr ? text : "<null string>";
        break;
      }
      case 's': {
        const auto* text = reinterpret_cast<const CHAR16*>(arg());
        piece = text != nullptr ? Utf16ToUtf8(text) : "<null string>";
        break;
      }
      case 'c':
        piece = Utf16ToUtf8(std::u16string(1, static_cast<CHAR16>(arg())));
        break;
      case 'd':
      case 'i': {
        const UINT64 v = arg();
        const long long n = wide ? static_cast<long long>(v) : static_cast<INT32>(v);
        std::snprintf(buffer, sizeof buffer, "%lld", n);
        piece = buffer;
        break;
      }
      case 'u': {
        const UINT64 v = arg();
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(wide ? v : (v & 0xFFFFFFFF)));
        piece = buffer;
        break;
      }
      case 'x':
      case 'X': {
        const UINT64 v = arg();
        std::snprintf(buffer, sizeof buffer, *p == 'x' ? "%llx" : "%llX",
                      static_cast<unsigned long long>(wide ? v : (v & 0xFFFFFFFF)));
        piece = buffer;
        break;
      }
      case 'p':
        std::snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(arg()));
        piece = buffer;
        break;
      case 'r':
        piece = StatusName(arg());
        break;
      case 'g': {
        const auto* guid = reinterpret_cast<const EFI_GUID*>(arg());
        piece = guid != nullptr ? GuidToString(*guid) : "<null guid>";
        break;
      }
      default:
        piece = std::string("%") + *p;
        break;
    }
    out += Pad(piece, width, left, zero);
  }
  return out;
}

DebugLog::DebugLog() { Protocol.Print = PrintThunk; }

bool DebugLog::Contains(const std::string& text) const { return Count(text) != 0; }

size_t DebugLog::Count(const std::string& text) const {
  size_t n = 0;
  for (const auto& message : Messages) {
    if (message.Text == text) {
      ++n;
    }
  }
  return n;
}

}  // namespace ftpm::sim
