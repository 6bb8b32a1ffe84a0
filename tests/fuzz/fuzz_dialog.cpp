// Fuzzes the pop-up dialog: arbitrary rows (narrow and wide markers
// included), console sizes from 0x0 to very large, a failing mode query,
// failing allocations and key scripts with error statuses.
//
// Input: 8 header bytes, then 3 bytes per scripted key, then the rows as
// UTF-16LE units, a 0 unit ending each row.
//   0  flags: bit 0 wait for a key, bit 1 QueryMode fails (over an 80x25
//      grid), bit 2 cursor hidden, bit 3 the console reports an absurd size
//      (near 2^64) over an 80x25 grid
//   1  columns: a small size (bit 7 clear: 0-127) or large (with byte 2)
//   2  columns, high part of a large size
//   3  rows, as byte 1
//   4  rows, as byte 2
//   5  attribute
//   6  the n-th pool allocation of the call fails (0: none)
//   7  scripted keys (low 3 bits); each: kind (0 key, 1 not ready,
//      2 device error, 3 warning), then a UTF-16LE character
//
// Checks: the call returns, or stops waiting for a key that never comes
// (only when one was asked for); the key is the one the script gives; the
// cursor and attribute are as they were; nothing is drawn on a console too
// small for the box; a failed mode query draws for 80x25; the last row stays blank;
// every allocation is given back; the box's corners are where they belong;
// the box fits the console: no position asked for or string written lies
// outside it or on its last row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "driver/PopUpDialog.h"
#include "sim/Machine.h"

namespace {

using ftpm::sim::ConsoleOp;
using ftpm::sim::Machine;
using ftpm::sim::MachineConfig;
using ftpm::sim::Op;
using ftpm::sim::StopReason;

constexpr size_t kHeader = 8;
constexpr UINTN kMaxCells = 1 << 14;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_dialog: %s\n", what);
    std::abort();
  }
}

UINTN Dimension(uint8_t low, uint8_t high) {
  if ((low & 0x80) == 0) {
    return low;
  }
  return (static_cast<UINTN>(high) << 7) | (low & 0x7F);  // up to 32767
}

// Display columns of a row, modelled independently of the driver: 0xFFF0 and
// 0xFFF1 switch between one and two columns per character and take none.
UINTN DisplayColumns(const std::u16string& text) {
  UINTN width = 0;
  UINTN step = 1;
  for (CHAR16 c : text) {
    if (c == 0xFFF0) {
      step = 1;
    } else if (c == 0xFFF1) {
      step = 2;
    } else {
      width += step;
    }
  }
  return width;
}

// Carriage return, line feed and backspace move the console's cursor: rows
// holding them may legitimately draw outside the box.
bool MovesCursor(const std::u16string& text) { return text.find_first_of(u"\r\n\b") != std::u16string::npos; }

// A console whose mode query reports sizes its grid does not have.
UINTN gReportedColumns = 0;
UINTN gReportedRows = 0;
EFI_STATUS EFIAPI AbsurdQueryMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN, UINTN* columns, UINTN* rows) {
  *columns = gReportedColumns;
  *rows = gReportedRows;
  return EFI_SUCCESS;
}

struct Stroke {
  uint8_t Kind;
  CHAR16 Char;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) {
    return 0;
  }
  const bool wantKey = (data[0] & 1) != 0;
  const bool queryFails = (data[0] & 2) != 0;
  const bool cursorHidden = (data[0] & 4) != 0;
  const bool absurd = (data[0] & 8) != 0;
  UINTN columns = Dimension(data[1], data[2]);
  UINTN rows = Dimension(data[3], data[4]);
  if (queryFails) {
    // The dialog then draws for 80x25, so the grid is that size and every
    // check below holds for it.
    columns = ftpm::driver::kFallbackColumns;
    rows = ftpm::driver::kFallbackRows;
  } else if (absurd) {
    gReportedColumns = ~UINTN{0} - columns;
    gReportedRows = ~UINTN{0} - rows;
    columns = 80;
    rows = 25;
  }
  // Keep the simulated grid affordable: shrink the larger side.
  if (columns != 0 && rows != 0 && columns * rows > kMaxCells) {
    if (columns > rows) {
      columns = kMaxCells / rows;
    } else {
      rows = kMaxCells / columns;
    }
  }
  const UINTN attribute = data[5];
  const unsigned failAllocation = data[6];
  const size_t keyCount = data[7] & 7;

  size_t pos = kHeader;
  std::vector<Stroke> script;
  for (size_t i = 0; i < keyCount && pos + 3 <= size; ++i, pos += 3) {
    script.push_back(
        Stroke{static_cast<uint8_t>(data[pos] & 3), static_cast<CHAR16>(data[pos + 1] | (data[pos + 2] << 8))});
  }

  std::vector<std::u16string> texts(1);
  for (; pos + 2 <= size; pos += 2) {
    const auto unit = static_cast<CHAR16>(data[pos] | (data[pos + 1] << 8));
    if (unit == 0) {
      texts.emplace_back();
    } else {
      texts.back().push_back(unit);
    }
  }
  if (texts.back().empty()) {
    texts.pop_back();  // a trailing terminator ends the list rather than adding an empty row
  }
  std::vector<const CHAR16*> list;
  for (const auto& text : texts) {
    list.push_back(text.c_str());
  }
  list.push_back(nullptr);

  Machine machine{MachineConfig{}};
  machine.LoadDriverImage();
  machine.console.SetModes({{columns, rows}});
  if (queryFails) {
    machine.console.QueryModeFailure = EFI_DEVICE_ERROR;
  } else if (absurd) {
    machine.console.ConOut.QueryMode = AbsurdQueryMode;
  }
  machine.console.EnableCursor(cursorHidden ? FALSE : TRUE);
  if (columns != 0 && rows != 0) {
    machine.console.SetCursorPosition(data[1] % columns, data[3] % rows);
  }
  for (const Stroke& stroke : script) {
    switch (stroke.Kind) {
      case 0:
        machine.console.QueueKey(stroke.Char, static_cast<UINT16>(stroke.Char >> 8));
        break;
      case 1:
        machine.console.QueueStatus(EFI_NOT_READY);
        break;
      case 2:
        machine.console.QueueStatus(EFI_DEVICE_ERROR);
        break;
      default:
        machine.console.QueueStatus(EFI_WARN_UNKNOWN_GLYPH);
        break;
    }
  }
  if (failAllocation != 0) {
    machine.faults.FailNth(Op::AllocatePool, machine.faults.Calls(Op::AllocatePool) + failAllocation);
  }
  machine.console.Calls.clear();
  const SIMPLE_TEXT_OUTPUT_MODE before = machine.console.Mode;
  const size_t allocationsBefore = machine.boot.Outstanding().size();
  const UINTN poolBefore = machine.boot.PoolBytesAllocated;

  EFI_INPUT_KEY key{0xBEEF, 0xBEEF};
  const ftpm::sim::RunOutcome outcome = machine.Run([&] {
    ftpm::driver::PopUpDialogRows(attribute, wantKey ? &key : nullptr, list.data());
    return EFI_SUCCESS;
  });

  // What the script should have given: errors are skipped, a warning or a key ends the wait.
  std::optional<EFI_INPUT_KEY> expected;
  bool ends = !wantKey;
  if (wantKey) {
    for (const Stroke& stroke : script) {
      if (stroke.Kind == 0) {
        expected = EFI_INPUT_KEY{static_cast<UINT16>(stroke.Char >> 8), stroke.Char};
        ends = true;
        break;
      }
      if (stroke.Kind == 3) {
        expected = EFI_INPUT_KEY{0xBEEF, 0xBEEF};
        ends = true;
        break;
      }
    }
  }
  if (ends) {
    Check(outcome.Returned(), "the dialog did not return although the script ends the wait");
    if (expected) {
      Check(key.ScanCode == expected->ScanCode && key.UnicodeChar == expected->UnicodeChar, "wrong key");
    }
  } else {
    Check(outcome.StoppedBy(StopReason::KeysExhausted), "the wait did not end as the keys ran out");
  }

  const SIMPLE_TEXT_OUTPUT_MODE& after = machine.console.Mode;
  Check(after.Attribute == before.Attribute, "attribute not restored");
  Check(after.CursorVisible == before.CursorVisible, "cursor visibility not restored");
  Check(after.CursorColumn == before.CursorColumn && after.CursorRow == before.CursorRow,
        "cursor position not restored");
  Check(machine.boot.Outstanding().size() == allocationsBefore, "an allocation was not given back");
  Check(machine.boot.MemoryErrors.empty(), "bad free");
  // However large the console claims to be, the buffers follow the rows: the
  // line holds the widest row and its frame, a shortened copy at most its row.
  UINTN bound = 0;
  UINTN widestRow = 0;
  for (const auto& text : texts) {
    bound += (text.size() + 1) * sizeof(CHAR16);
    widestRow = std::max(widestRow, DisplayColumns(text));
  }
  bound += (widestRow + 3) * sizeof(CHAR16);
  Check(machine.boot.PoolBytesAllocated - poolBefore <= bound, "allocations out of proportion to the rows");
  if (absurd) {
    return 0;  // positions beyond the grid are refused; the text lands where the cursor was
  }

  const bool drawable = rows >= ftpm::driver::kDialogMinRows && columns >= ftpm::driver::kDialogMinColumns;
  if (!drawable) {
    Check(machine.console.CallsOf(ConsoleOp::OutputString).empty(), "drew on a console the box does not fit");
    Check(machine.console.CallsOf(ConsoleOp::EnableCursor).empty(), "changed a console it could not draw on");
    return 0;
  }
  bool plain = true;
  for (const auto& text : texts) {
    plain = plain && !MovesCursor(text);
  }
  if (!plain) {
    return 0;
  }
  // The box fits the console it was given: every position the dialog asks
  // for lies above the last row (but the cursor's own, given back at the
  // end), and every string it writes ends within its row, counting wide
  // characters as two columns.
  for (const ftpm::sim::ConsoleCall& call : machine.console.Calls) {
    const bool restoresCursor = call.Column == before.CursorColumn && call.Row == before.CursorRow;
    if (call.Kind == ConsoleOp::SetCursorPosition && !restoresCursor) {
      Check(call.Column >= 0 && static_cast<UINTN>(call.Column) < columns && call.Row >= 0 &&
                static_cast<UINTN>(call.Row) + 1 < rows,
            "a cursor position outside the box's console");
    } else if (call.Kind == ConsoleOp::OutputString) {
      Check(static_cast<UINTN>(call.Column) + DisplayColumns(call.Text) <= columns, "a string runs past its row");
      Check(static_cast<UINTN>(call.Row) + 1 < rows, "a string written on the last row");
    }
  }
  for (UINTN c = 0; c < columns; ++c) {
    Check(machine.console.At(c, rows - 1).Char == u' ', "the last row was written");
  }
  if (machine.faults.Injected() == 0) {
    const UINTN count = texts.size();
    UINTN widest = 0;
    for (const auto& text : texts) {
      widest = std::max(widest, DisplayColumns(text));
    }
    const UINTN lines = std::min(count, rows - 3);
    const UINTN maxLength = std::min(widest, columns - 2);
    const UINTN top = (rows - (lines + 3)) / 2;
    const UINTN left = (columns - (maxLength + 2)) / 2;
    const UINTN bottom = top + lines + 1;
    Check(machine.console.At(left, top).Char == 0x250C, "top-left corner");
    Check(machine.console.At(left + maxLength + 1, top).Char == 0x2510, "top-right corner");
    Check(machine.console.At(left, bottom).Char == 0x2514, "bottom-left corner");
    Check(machine.console.At(left + maxLength + 1, bottom).Char == 0x2518, "bottom-right corner");
  }
  return 0;
}
