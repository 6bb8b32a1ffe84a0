// Report lines on ConOut, which OVMF sends to the serial line.
#include "qemu/harness/Harness.h"

namespace ftpm::harness {

void EmitReport(const TextBuffer& Line) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gHarness.SystemTable != nullptr ? gHarness.SystemTable->ConOut : nullptr;
  if (out == nullptr) {
    return;
  }
  // Converted in small pieces so the stack holds no second copy of the line.
  CHAR16 piece[65];
  UINTN used = 0;
  auto flush = [&]() {
    piece[used] = 0;
    out->OutputString(out, piece);
    used = 0;
  };
  auto put = [&](char c) {
    piece[used++] = static_cast<CHAR16>(static_cast<UINT8>(c));
    if (used == 64) {
      flush();
    }
  };
  for (const char* p = "@@FTPM "; *p != 0; ++p) {
    put(*p);
  }
  for (const char* p = Line.CStr(); *p != 0; ++p) {
    put(*p);
  }
  if (Line.Truncated()) {
    for (const char* p = " truncated=1"; *p != 0; ++p) {
      put(*p);
    }
  }
  put('\r');
  put('\n');
  flush();
}

void Report::Key(const char* Name) {
  Line.AppendChar(' ');
  Line.Append(Name);
  Line.AppendChar('=');
}

Report& Report::Text(const char* KeyName, const char* Value) {
  Key(KeyName);
  Line.AppendEscaped(Value, TextBuffer::kCapacity);
  return *this;
}

Report& Report::Hex(const char* KeyName, UINT64 Value) {
  Key(KeyName);
  Line.AppendHex(Value);
  return *this;
}

Report& Report::Dec(const char* KeyName, UINT64 Value) {
  Key(KeyName);
  Line.AppendDecimal(Value);
  return *this;
}

Report& Report::Flag(const char* KeyName, bool Value) {
  Key(KeyName);
  Line.AppendChar(Value ? '1' : '0');
  return *this;
}

Report& Report::Status(const char* KeyName, EFI_STATUS Value) {
  Key(KeyName);
  Line.AppendStatus(Value);
  return *this;
}

Report& Report::Guid(const char* KeyName, const EFI_GUID& Value) {
  Key(KeyName);
  Line.AppendGuid(Value);
  return *this;
}

Report& Report::Bytes(const char* KeyName, const void* Data, UINTN Length) {
  Key(KeyName);
  Line.AppendBytes(Data, Length);
  return *this;
}

}  // namespace ftpm::harness
