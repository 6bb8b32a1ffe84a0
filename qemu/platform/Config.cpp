#include "qemu/platform/Config.h"

#include "qemu/platform/Text.h"

namespace ftpm::qemu {

namespace {

constexpr char kDefaultDriverFile[] = "FtpmRecoveryDxe.efi";

struct Slice {
  const char* Text;
  UINTN Length;

  bool Is(const char* Literal) const { return TextEquals(Text, Length, Literal); }
  bool StartsWith(const char* Prefix) const {
    UINTN i = 0;
    for (; Prefix[i] != 0; ++i) {
      if (i >= Length || Text[i] != Prefix[i]) {
        return false;
      }
    }
    return true;
  }
  Slice From(UINTN Offset) const { return Offset <= Length ? Slice{Text + Offset, Length - Offset} : Slice{Text, 0}; }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

Slice Trim(Slice s) {
  while (s.Length != 0 && IsBlank(s.Text[0])) {
    ++s.Text;
    --s.Length;
  }
  while (s.Length != 0 && IsBlank(s.Text[s.Length - 1])) {
    --s.Length;
  }
  return s;
}

bool Unsigned(Slice s, UINT64* value) { return ParseUnsigned(s.Text, s.Length, value); }
bool Boolean(Slice s, BOOLEAN* value) { return ParseBoolean(s.Text, s.Length, value); }

// "ADDRESS:LENGTH"
bool Range(Slice s, MemoryRange* range) {
  for (UINTN i = 0; i < s.Length; ++i) {
    if (s.Text[i] == ':') {
      MemoryRange parsed{};
      if (Unsigned(Trim(Slice{s.Text, i}), &parsed.Address) && Unsigned(Trim(s.From(i + 1)), &parsed.Length)) {
        *range = parsed;
        return true;
      }
      return false;
    }
  }
  return false;
}

// "COLUMNSxROWS"
bool ModeSize(Slice s, UINT64* columns, UINT64* rows) {
  for (UINTN i = 0; i < s.Length; ++i) {
    if (s.Text[i] == 'x' || s.Text[i] == 'X') {
      return Unsigned(Slice{s.Text, i}, columns) && Unsigned(s.From(i + 1), rows);
    }
  }
  return false;
}

bool FileName(Slice s, char (&name)[kMaxFileName]) {
  if (s.Length == 0 || s.Length >= kMaxFileName) {
    return false;
  }
  for (UINTN i = 0; i < s.Length; ++i) {
    const char c = s.Text[i];
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) {
      return false;
    }
  }
  for (UINTN i = 0; i < s.Length; ++i) {
    name[i] = s.Text[i];
  }
  name[s.Length] = 0;
  return true;
}

enum class Outcome { Applied, UnknownKey, BadValue, TooMany };

// "a.ftpm", "a.mvq", "b.ftpm", "b.mvq"
bool MapKey(Slice s, reference::FlashSide* side, reference::NvramKind* kind) {
  const char* const names[] = {"a.ftpm", "a.mvq", "b.ftpm", "b.mvq"};
  for (UINTN i = 0; i < 4; ++i) {
    if (s.Is(names[i])) {
      *side = static_cast<reference::FlashSide>(i / 2);
      *kind = static_cast<reference::NvramKind>(i % 2);
      return true;
    }
  }
  return false;
}

Outcome Apply(Slice key, Slice value, PlatformConfig& c) {
  auto check = [](bool ok) { return ok ? Outcome::Applied : Outcome::BadValue; };
  if (key.StartsWith("setting.")) {
    const Slice name = key.From(8);
    if (name.Is("comm-buffer")) {
      if (value.Is("auto")) {
        c.CommBufferAuto = TRUE;
        return Outcome::Applied;
      }
      UINT64 address = 0;
      if (!Unsigned(value, &address)) {
        return Outcome::BadValue;
      }
      c.CommBufferAuto = FALSE;
      c.CommBufferAddress = address;
      return Outcome::Applied;
    }
    UINT64 token = 0;
    if (!Unsigned(name, &token) || SettingIndex(token) == kSettingCount) {
      return Outcome::UnknownKey;
    }
    return check(Unsigned(value, &c.Settings[SettingIndex(token)]));
  }
  if (key.Is("comm-buffer.size")) {
    UINT64 size = 0;
    if (!Unsigned(value, &size) || size < kMinCommBufferSize || size > kMaxCommBufferSize) {
      return Outcome::BadValue;
    }
    c.CommBufferSize = size;
    return Outcome::Applied;
  }
  if (key.Is("tsc.publish")) {
    return check(Boolean(value, &c.PublishTsc));
  }
  if (key.Is("tsc.frequency")) {
    if (value.Is("measure")) {
      c.MeasureTsc = TRUE;
      return Outcome::Applied;
    }
    if (!Unsigned(value, &c.TscFrequency)) {
      return Outcome::BadValue;
    }
    c.MeasureTsc = FALSE;
    return Outcome::Applied;
  }
  if (key.Is("provide.settings")) {
    return check(Boolean(value, &c.ProvideSettings));
  }
  if (key.Is("provide.erase-ready")) {
    return check(Boolean(value, &c.ProvideEraseReady));
  }
  if (key.Is("provide.smm-communication")) {
    return check(Boolean(value, &c.ProvideSmmCommunication));
  }
  if (key.Is("provide.debug-print")) {
    return check(Boolean(value, &c.ProvideDebugPrint));
  }
  if (key.Is("erase.window")) {
    if (value.Is("none")) {
      c.Window = EraseWindow::None;
    } else if (value.Is("16m")) {
      c.Window = EraseWindow::Window16M;
    } else if (value.Is("64m")) {
      c.Window = EraseWindow::Window64M;
    } else {
      return Outcome::BadValue;
    }
    return Outcome::Applied;
  }
  if (key.StartsWith("flash-map.")) {
    reference::FlashSide side{};
    reference::NvramKind kind{};
    if (!MapKey(key.From(10), &side, &kind)) {
      return Outcome::UnknownKey;
    }
    MemoryRange range{};
    UINT64 offset = 0;
    if (value.Is("none")) {
      range = MemoryRange{};
    } else if (!Range(value, &range) || range.Length == 0 || !reference::FlashImageOffset(range.Address, &offset)) {
      return Outcome::BadValue;
    }
    c.Nvram[static_cast<UINTN>(side)][static_cast<UINTN>(kind)] = range;
    return Outcome::Applied;
  }
  if (key.Is("erase.fail")) {
    if (value.Is("none")) {
      c.EraseFails = FALSE;
      return Outcome::Applied;
    }
    if (!MapKey(value, &c.EraseFailsSide, &c.EraseFailsKind)) {
      return Outcome::BadValue;
    }
    c.EraseFails = TRUE;
    return Outcome::Applied;
  }
  if (key.Is("driver.file")) {
    return check(FileName(value, c.DriverFile));
  }
  if (key.Is("driver.preinstall-protocol")) {
    return check(Boolean(value, &c.PreinstallProtocol));
  }
  if (key.Is("driver.fv")) {
    if (value.Is("none")) {
      c.DriverFv[0] = 0;
      return Outcome::Applied;
    }
    return check(FileName(value, c.DriverFv));
  }
  if (key.Is("trap.unloaded-image")) {
    return check(Boolean(value, &c.TrapUnloadedImage));
  }
  if (key.Is("trap.selftest")) {
    return check(Boolean(value, &c.TrapSelfTest));
  }
  if (key.Is("ready-to-lock.reinstall")) {
    return check(Boolean(value, &c.ReinstallReadyToLock));
  }
  if (key.Is("recovery-flag")) {
    if (value.Is("machine")) {
      c.RecoveryFlagSet = FALSE;
      return Outcome::Applied;
    }
    UINT64 flag = 0;
    if (!Unsigned(value, &flag) || flag > 0xFFFFFFFFULL) {
      return Outcome::BadValue;
    }
    c.RecoveryFlagSet = TRUE;
    c.RecoveryFlagValue = flag;
    return Outcome::Applied;
  }
  if (key.Is("console.mode")) {
    if (value.Is("keep")) {
      c.ConsoleMode = ConsoleModeRequest::Keep;
      return Outcome::Applied;
    }
    UINT64 columns = 0;
    UINT64 rows = 0;
    if (ModeSize(value, &columns, &rows)) {
      c.ConsoleMode = ConsoleModeRequest::BySize;
      c.ConsoleColumns = columns;
      c.ConsoleRows = rows;
      return Outcome::Applied;
    }
    if (Unsigned(value, &c.ConsoleModeNumber)) {
      c.ConsoleMode = ConsoleModeRequest::ByIndex;
      return Outcome::Applied;
    }
    return Outcome::BadValue;
  }
  if (key.Is("handler.calls")) {
    UINT64 calls = 0;
    if (!Unsigned(value, &calls) || calls > kMaxHandlerCalls) {
      return Outcome::BadValue;
    }
    c.HandlerCalls = calls;
    return Outcome::Applied;
  }
  if (key.Is("selftest.box")) {
    return check(Boolean(value, &c.SelfTestBox));
  }
  if (key.Is("keys.read")) {
    UINT64 keys = 0;
    if (!Unsigned(value, &keys) || keys > kMaxKeysToRead) {
      return Outcome::BadValue;
    }
    c.KeysToRead = keys;
    return Outcome::Applied;
  }
  if (key.Is("ready-to-boot")) {
    return check(Boolean(value, &c.SignalReadyToBoot));
  }
  if (key.Is("probe")) {
    MemoryRange range{};
    if (!Range(value, &range) || range.Length == 0 || range.Length > kMaxProbeLength) {
      return Outcome::BadValue;
    }
    if (c.ProbeCount >= kMaxProbes) {
      return Outcome::TooMany;
    }
    c.Probes[c.ProbeCount++] = range;
    return Outcome::Applied;
  }
  if (key.Is("selftest.erase")) {
    MemoryRange range{};
    if (!Range(value, &range)) {
      return Outcome::BadValue;
    }
    c.SelfTestErase = TRUE;
    c.SelfTest = range;
    return Outcome::Applied;
  }
  if (key.Is("swap.request")) {
    if (value.Is("none")) {
      c.SwapRequestToken = 0;
      return Outcome::Applied;
    }
    UINT64 token = 0;
    if (!Unsigned(value, &token) || (token != kFullCaseToken && token != kFtpmOnlyToken)) {
      return Outcome::BadValue;
    }
    c.SwapRequestToken = token;
    return Outcome::Applied;
  }
  if (key.Is("hold")) {
    if (value.Is("none")) {
      c.Hold = HoldPoint::None;
      return Outcome::Applied;
    }
    if (value.Is("before-reset")) {
      c.Hold = HoldPoint::BeforeReset;
      return Outcome::Applied;
    }
    const bool after = value.StartsWith("after-erase:");
    const bool inside = value.StartsWith("inside-erase:");
    UINT64 n = 0;
    if ((after || inside) && Unsigned(value.From(after ? 12 : 13), &n) && n != 0) {
      c.Hold = after ? HoldPoint::AfterErase : HoldPoint::InsideErase;
      c.HoldErase = n;
      return Outcome::Applied;
    }
    return Outcome::BadValue;
  }
  if (key.Is("caller.register")) {
    return check(Boolean(value, &c.RegisterCaller));
  }
  return Outcome::UnknownKey;
}

void RecordError(ConfigResult& result, UINTN line, const char* reason, Slice key) {
  if (result.ErrorCount < kMaxConfigErrors) {
    ConfigError& error = result.Errors[result.ErrorCount];
    error.Line = line;
    error.Reason = reason;
    UINTN n = 0;
    for (; n < key.Length && n + 1 < sizeof(error.Key); ++n) {
      error.Key[n] = key.Text[n];
    }
    error.Key[n] = 0;
  }
  ++result.ErrorCount;
}

}  // namespace

UINTN SettingIndex(UINTN Token) {
  for (UINTN i = 0; i < kSettingCount; ++i) {
    if (kDriverSettings[i].Token == Token) {
      return i;
    }
  }
  return kSettingCount;
}

void SetConfigDefaults(PlatformConfig& Config) {
  Config = PlatformConfig{};
  Config.CommBufferAuto = TRUE;
  Config.CommBufferSize = 4096;
  Config.PublishTsc = TRUE;
  Config.MeasureTsc = TRUE;
  Config.ProvideSettings = TRUE;
  Config.ProvideEraseReady = TRUE;
  Config.ProvideSmmCommunication = TRUE;
  Config.ProvideDebugPrint = TRUE;
  Config.Window = EraseWindow::None;
  for (UINTN i = 0; i < sizeof(kDefaultDriverFile); ++i) {
    Config.DriverFile[i] = kDefaultDriverFile[i];
  }
  Config.ConsoleMode = ConsoleModeRequest::Keep;
  Config.HandlerCalls = 1;
  Config.RegisterCaller = TRUE;
}

namespace {

// Outside the stack: the configuration is large for a firmware stack.
constinit PlatformConfig gParsed{};

bool HasFlashMap(const PlatformConfig& Config) {
  for (const auto& side : Config.Nvram) {
    for (const MemoryRange& range : side) {
      if (range.Length != 0) {
        return true;
      }
    }
  }
  return false;
}

// Why Config cannot be served as a whole, or nullptr.
const char* Unservable(const PlatformConfig& Config) {
  reference::FlashMap map{};
  if (!BuildFlashMap(Config, &map)) {
    return "not-flash";
  }
  const reference::RecoveryCase recovery = reference::CaseOfRequest(Config.SwapRequestToken);
  if (recovery != reference::RecoveryCase::None && Config.Window == EraseWindow::None) {
    return "no-erase-window";
  }
  if (recovery != reference::RecoveryCase::None || HasFlashMap(Config)) {
    return reference::CheckFlashMap(map, recovery);
  }
  return nullptr;
}

}  // namespace

bool BuildFlashMap(const PlatformConfig& Config, reference::FlashMap* Map) {
  *Map = reference::FlashMap{};
  Map->EraseBlockSize = kEraseBlockSize;
  Map->DeviceSize = Config.Window == EraseWindow::Window16M   ? kLowFlashDeviceSize
                    : Config.Window == EraseWindow::Window64M ? kWindow64MDeviceSize
                                                              : 0;
  for (UINTN side = 0; side < reference::kFlashSides; ++side) {
    for (UINTN kind = 0; kind < reference::kNvramKinds; ++kind) {
      const MemoryRange& range = Config.Nvram[side][kind];
      if (range.Length == 0) {
        continue;
      }
      UINT64 offset = 0;
      if (!reference::FlashImageOffset(range.Address, &offset)) {
        return false;
      }
      Map->Nvram[side][kind] = reference::FlashRange{offset, range.Length};
    }
  }
  return true;
}

void ParseConfig(const char* Text, UINTN Length, PlatformConfig& Config, ConfigResult& Result) {
  Result = ConfigResult{};
  if (Text == nullptr) {
    return;
  }
  // Everything goes into a copy, which replaces Config only when all of it
  // applies and can be served.
  PlatformConfig& parsed = gParsed;
  parsed = Config;
  UINTN lineNumber = 0;
  UINTN start = 0;
  while (start < Length) {
    UINTN end = start;
    while (end < Length && Text[end] != '\n') {
      ++end;
    }
    ++lineNumber;
    const Slice line = Trim(Slice{Text + start, end - start});
    start = end + 1;
    if (line.Length == 0 || line.Text[0] == '#') {
      continue;
    }
    UINTN equals = 0;
    while (equals < line.Length && line.Text[equals] != '=') {
      ++equals;
    }
    if (equals == line.Length) {
      RecordError(Result, lineNumber, "no-equals-sign", line);
      continue;
    }
    const Slice key = Trim(Slice{line.Text, equals});
    const Slice value = Trim(line.From(equals + 1));
    switch (Apply(key, value, parsed)) {
      case Outcome::Applied:
        ++Result.Applied;
        break;
      case Outcome::UnknownKey:
        RecordError(Result, lineNumber, "unknown-key", key);
        break;
      case Outcome::BadValue:
        RecordError(Result, lineNumber, "bad-value", key);
        break;
      case Outcome::TooMany:
        RecordError(Result, lineNumber, "too-many", key);
        break;
    }
  }
  Result.Refusal = Result.ErrorCount != 0 ? "bad-line" : Unservable(parsed);
  if (Result.Refusal == nullptr) {
    Config = parsed;
  }
}

}  // namespace ftpm::qemu
