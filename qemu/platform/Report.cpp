// Report lines: on ConOut (which OVMF mirrors on the serial line) or on
// QEMU's debug console port.
#include "platform/Hardware.h"
#include "qemu/platform/Platform.h"

namespace ftpm::qemu {

constinit PlatformState gPlatform{};

void BindPlatform(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE* SystemTable, ReportSink Sink) {
  gPlatform.ImageHandle = ImageHandle;
  gPlatform.SystemTable = SystemTable;
  gPlatform.BootServices = SystemTable->BootServices;
  gPlatform.RuntimeServices = SystemTable->RuntimeServices;
  gPlatform.Sink = Sink;
  gPlatform.Phase = "setup";
  SetConfigDefaults(gPlatform.Config);
}

namespace {

// Hands the line to the sink in pieces, so the stack holds no second copy of
// it in UTF-16.
template <typename Put>
void WriteLine(const TextBuffer& Line, Put&& put) {
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
}

}  // namespace

void EmitReport(const TextBuffer& Line) {
  if (gPlatform.Sink == ReportSink::DebugPort) {
    WriteLine(Line, [](char c) { platform::IoWrite8(kDebugConsolePort, static_cast<UINT8>(c)); });
    platform::IoWrite8(kDebugConsolePort, '\n');
    return;
  }
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = gPlatform.SystemTable != nullptr ? gPlatform.SystemTable->ConOut : nullptr;
  if (out == nullptr) {
    return;
  }
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
  WriteLine(Line, put);
  put('\r');
  put('\n');
  flush();
}

namespace {
// Phase names that carry a number live here while they are current.
constinit char gPhaseBuffer[32] = {};
}  // namespace

void SetPhase(const char* Name) { gPlatform.Phase = Name; }

void SetNumberedPhase(const char* Prefix, UINT64 Number) {
  TextBuffer text;
  text.Append(Prefix);
  text.AppendDecimal(Number);
  UINTN i = 0;
  for (; i + 1 < sizeof(gPhaseBuffer) && text.CStr()[i] != 0; ++i) {
    gPhaseBuffer[i] = text.CStr()[i];
  }
  gPhaseBuffer[i] = 0;
  gPlatform.Phase = gPhaseBuffer;
}

void CallRecoveryHandler(const driver::FTPM_RECOVERY_PROTOCOL* Interface, UINT64 Calls, bool ReportReads) {
  if (Interface == nullptr || Interface->RecoveryPromptHandler == nullptr) {
    if (Calls != 0) {
      Report("handler-skipped").Text("reason", "no-driver-interface").Dec("calls", Calls).Emit();
    }
    return;
  }
  for (UINT64 n = 1; n <= Calls; ++n) {
    SetNumberedPhase("handler-", n);
    Report("handler-call").Dec("n", n).Emit();
    const EFI_STATUS status = Interface->RecoveryPromptHandler();
    Report("handler-return").Dec("n", n).Status("status", status).Emit();
    if (ReportReads) {
      ReportSettingReads(gPlatform.Phase);
    }
  }
}

void ReportConfigResult(EFI_STATUS ReadStatus, UINTN Bytes, const ConfigResult& Result) {
  Report line("config");
  line.Status("status", ReadStatus).Dec("bytes", Bytes).Dec("applied", Result.Applied).Dec("errors", Result.ErrorCount);
  line.Flag("refused", Result.Refusal != nullptr);
  if (Result.Refusal != nullptr) {
    line.Text("reason", Result.Refusal);
  }
  line.Emit();
  for (UINTN i = 0; i < Result.ErrorCount && i < kMaxConfigErrors; ++i) {
    const ConfigError& error = Result.Errors[i];
    Report("config-error").Dec("line", error.Line).Text("reason", error.Reason).Text("key", error.Key).Emit();
  }
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

}  // namespace ftpm::qemu
