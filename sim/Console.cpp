// The simulated text console: a character grid with attributes and a cursor
// behind EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, and a scripted keyboard behind
// EFI_SIMPLE_TEXT_INPUT_PROTOCOL.
//
// Writing into the last column moves the cursor to the start of the next row,
// and leaving the last row scrolls the screen, as firmware consoles do.
#include "sim/Machine.h"

namespace ftpm::sim {

namespace {

ConsoleSim& C() { return Machine::Current().console; }

// The idle polls of ReadKeyStroke without a key that end a run: a caller that
// polls without waiting would otherwise spin for ever.
constexpr unsigned kIdleReadLimit = 100000;

EFI_STATUS EFIAPI OutReset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN) { return C().ClearScreen(); }
EFI_STATUS EFIAPI OutString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16* text) { return C().OutputString(text); }
EFI_STATUS EFIAPI OutTestString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16*) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI OutQueryMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode, UINTN* columns, UINTN* rows) {
  return C().QueryMode(mode, columns, rows);
}
EFI_STATUS EFIAPI OutSetMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode) { return C().SetMode(mode); }
EFI_STATUS EFIAPI OutSetAttribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN attribute) {
  return C().SetAttribute(attribute);
}
EFI_STATUS EFIAPI OutClearScreen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*) { return C().ClearScreen(); }
EFI_STATUS EFIAPI OutSetCursorPosition(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN column, UINTN row) {
  return C().SetCursorPosition(column, row);
}
EFI_STATUS EFIAPI OutEnableCursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN visible) {
  return C().EnableCursor(visible);
}

EFI_STATUS EFIAPI InReset(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, BOOLEAN) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI InReadKeyStroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, EFI_INPUT_KEY* key) {
  return C().ReadKeyStroke(key);
}

VOID EFIAPI WaitForKeyNotify(EFI_EVENT event, VOID* context) {
  auto* console = static_cast<ConsoleSim*>(context);
  if (console->KeyAvailable()) {
    Machine::Current().boot.Signal(event);
  }
}

}  // namespace

ConsoleSim::ConsoleSim() {
  ConOut.Reset = OutReset;
  ConOut.OutputString = OutString;
  ConOut.TestString = OutTestString;
  ConOut.QueryMode = OutQueryMode;
  ConOut.SetMode = OutSetMode;
  ConOut.SetAttribute = OutSetAttribute;
  ConOut.ClearScreen = OutClearScreen;
  ConOut.SetCursorPosition = OutSetCursorPosition;
  ConOut.EnableCursor = OutEnableCursor;
  ConOut.Mode = &Mode;
  ConIn.Reset = InReset;
  ConIn.ReadKeyStroke = InReadKeyStroke;
  Mode.Attribute = static_cast<INT32>(EFI_LIGHTGRAY);
  Mode.CursorVisible = TRUE;
  SetModes({{80, 25}, {100, 31}, {128, 40}});
}

void ConsoleSim::AttachWaitForKey(BootServicesSim& boot) {
  ConIn.WaitForKey = boot.CreatePlatformEvent(EVT_NOTIFY_WAIT, TPL_NOTIFY, WaitForKeyNotify, this);
}

void ConsoleSim::SetModes(std::vector<std::pair<UINTN, UINTN>> modes, UINTN current) {
  modes_ = std::move(modes);
  Mode.MaxMode = static_cast<INT32>(modes_.size());
  Mode.Mode = static_cast<INT32>(current);
  Blank();
}

// A blank screen is one cell until something is written: a machine whose
// test draws nothing does not pay for the grid.
void ConsoleSim::Blank() {
  blank_ = Cell{u' ', static_cast<UINT8>(Mode.Attribute)};
  grid_.clear();
  Mode.CursorColumn = 0;
  Mode.CursorRow = 0;
}

Cell& ConsoleSim::CellAt(UINTN column, UINTN row) {
  if (grid_.empty()) {
    grid_.assign(Columns() * Rows(), blank_);
  }
  return grid_[row * Columns() + column];
}

void ConsoleSim::Scroll() {
  const UINTN columns = Columns();
  CellAt(0, 0);
  grid_.erase(grid_.begin(), grid_.begin() + static_cast<std::ptrdiff_t>(columns));
  grid_.insert(grid_.end(), columns, Cell{u' ', static_cast<UINT8>(Mode.Attribute)});
}

EFI_STATUS ConsoleSim::OutputString(const CHAR16* text) {
  ConsoleCall call{ConsoleOp::OutputString, Mode.CursorColumn, Mode.CursorRow, {}, 0};
  if (text == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto columns = static_cast<INT32>(Columns());
  const auto rows = static_cast<INT32>(Rows());
  for (const CHAR16* p = text; *p != 0; ++p) {
    call.Text.push_back(*p);
    switch (*p) {
      case u'\r':
        Mode.CursorColumn = 0;
        continue;
      case u'\n':
        if (++Mode.CursorRow == rows) {
          Scroll();
          Mode.CursorRow = rows - 1;
        }
        continue;
      case u'\b':
        if (Mode.CursorColumn > 0) {
          --Mode.CursorColumn;
        }
        continue;
      case 0xFFF0:  // narrow and wide markers take no column
      case 0xFFF1:
        continue;
      default:
        break;
    }
    CellAt(static_cast<UINTN>(Mode.CursorColumn), static_cast<UINTN>(Mode.CursorRow)) =
        Cell{*p, static_cast<UINT8>(Mode.Attribute)};
    if (++Mode.CursorColumn == columns) {
      Mode.CursorColumn = 0;
      if (++Mode.CursorRow == rows) {
        Scroll();
        Mode.CursorRow = rows - 1;
      }
    }
  }
  Calls.push_back(std::move(call));
  if (OnChange) {
    OnChange();
  }
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::QueryMode(UINTN mode, UINTN* columns, UINTN* rows) {
  Calls.push_back(ConsoleCall{ConsoleOp::QueryMode, 0, 0, {}, mode});
  if (QueryModeFailure) {
    return *QueryModeFailure;
  }
  if (columns == nullptr || rows == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (mode >= modes_.size()) {
    return EFI_UNSUPPORTED;
  }
  *columns = modes_[mode].first;
  *rows = modes_[mode].second;
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::SetMode(UINTN mode) {
  Calls.push_back(ConsoleCall{ConsoleOp::SetMode, 0, 0, {}, mode});
  if (mode >= modes_.size()) {
    return EFI_UNSUPPORTED;
  }
  Mode.Mode = static_cast<INT32>(mode);
  Blank();
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::SetAttribute(UINTN attribute) {
  Calls.push_back(ConsoleCall{ConsoleOp::SetAttribute, 0, 0, {}, attribute});
  if ((attribute & ~UINTN{0x7F}) != 0) {
    return EFI_UNSUPPORTED;
  }
  Mode.Attribute = static_cast<INT32>(attribute);
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::ClearScreen() {
  Calls.push_back(ConsoleCall{ConsoleOp::ClearScreen, 0, 0, {}, 0});
  ++ClearScreens;
  Blank();
  if (OnChange) {
    OnChange();
  }
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::SetCursorPosition(UINTN column, UINTN row) {
  Calls.push_back(
      ConsoleCall{ConsoleOp::SetCursorPosition, static_cast<INT32>(column), static_cast<INT32>(row), {}, 0});
  if (column >= Columns() || row >= Rows()) {
    return EFI_UNSUPPORTED;
  }
  Mode.CursorColumn = static_cast<INT32>(column);
  Mode.CursorRow = static_cast<INT32>(row);
  return EFI_SUCCESS;
}

EFI_STATUS ConsoleSim::EnableCursor(BOOLEAN visible) {
  Calls.push_back(ConsoleCall{ConsoleOp::EnableCursor, 0, 0, {}, visible});
  Mode.CursorVisible = visible;
  return EFI_SUCCESS;
}

std::vector<ConsoleCall> ConsoleSim::CallsOf(ConsoleOp kind) const {
  std::vector<ConsoleCall> out;
  for (const auto& call : Calls) {
    if (call.Kind == kind) {
      out.push_back(call);
    }
  }
  return out;
}

std::u16string ConsoleSim::RowText(UINTN row) const {
  std::u16string text;
  for (UINTN c = 0; c < Columns(); ++c) {
    text.push_back(At(c, row).Char);
  }
  return text;
}

std::string ConsoleSim::RowUtf8(UINTN row) const { return Utf16ToUtf8(RowText(row)); }

std::vector<std::string> ConsoleSim::ScreenUtf8() const {
  std::vector<std::string> rows;
  for (UINTN r = 0; r < Rows(); ++r) {
    rows.push_back(RowUtf8(r));
  }
  return rows;
}

// --- Keyboard ------------------------------------------------------------------

void ConsoleSim::QueueKey(CHAR16 ch, UINT16 scan) {
  KeyStroke stroke;
  stroke.Key.UnicodeChar = ch;
  stroke.Key.ScanCode = scan;
  keys_.push_back(stroke);
}

void ConsoleSim::QueueStatus(EFI_STATUS status) {
  KeyStroke stroke;
  stroke.Status = status;
  keys_.push_back(stroke);
}

bool ConsoleSim::KeyAvailable() {
  if (nextKey_ < keys_.size()) {
    return true;
  }
  if (!pendingFromSource_ && KeySource) {
    pendingFromSource_ = KeySource();
  }
  return pendingFromSource_.has_value();
}

EFI_STATUS ConsoleSim::ReadKeyStroke(EFI_INPUT_KEY* key) {
  ++ReadKeyStrokeCalls;
  if (key == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (nextKey_ < keys_.size()) {
    const KeyStroke& stroke = keys_[nextKey_++];
    if (stroke.Status != EFI_SUCCESS) {
      return stroke.Status;
    }
    *key = stroke.Key;
    KeysConsumed.push_back(stroke.Key);
    idleReads_ = 0;
    return EFI_SUCCESS;
  }
  if (KeyAvailable()) {
    *key = *pendingFromSource_;
    pendingFromSource_.reset();
    KeysConsumed.push_back(*key);
    idleReads_ = 0;
    return EFI_SUCCESS;
  }
  if (++idleReads_ >= kIdleReadLimit) {
    Machine::Current().Stop(StopReason::KeysExhausted, "ReadKeyStroke polled with no key left");
  }
  return EFI_NOT_READY;
}

size_t ConsoleSim::KeysLeft() const { return keys_.size() - nextKey_; }

}  // namespace ftpm::sim
