#include "driver/PopUpDialog.h"

#include "driver/BoundedString.h"
#include "support/BufferCache.h"
#include "support/Firmware.h"

namespace ftpm::driver {

namespace {

// The dots that end a shortened row; after a wide part they go out narrow.
constexpr CHAR16 kNarrowEllipsis[] = {kNarrowMarker, u'.', u'.', u'.', 0};
constexpr const CHAR16* kEllipsis = kNarrowEllipsis + 1;

// The rows of a NULL-ended array, walked from the start as often as needed.
class ListRows {
 public:
  explicit ListRows(const CHAR16* const* rows) : rows_(rows) {}
  void Restart() { next_ = 0; }
  const CHAR16* Next() {
    if (rows_ == nullptr || rows_[next_] == nullptr) {
      return nullptr;
    }
    return rows_[next_++];
  }

 private:
  const CHAR16* const* rows_;
  UINTN next_ = 0;
};

// The rows of a Microsoft x64 variable argument list. That list is a plain
// pointer to the argument slots, so each walk starts from a copy of the
// caller's position; no argument is read past the closing NULL.
class VariableRows {
 public:
  explicit VariableRows(__builtin_ms_va_list start) : start_(start), current_(start) {}
  void Restart() {
    current_ = start_;
    ended_ = false;
  }
  const CHAR16* Next() {
    if (ended_) {
      return nullptr;
    }
    // The list was started by PopUpDialog; the analyser does not follow it
    // into this copy.
    const CHAR16* row = __builtin_va_arg(current_, const CHAR16*);  // NOLINT(clang-analyzer-valist.Uninitialized)
    ended_ = row == nullptr;
    return row;
  }

 private:
  __builtin_ms_va_list start_;
  __builtin_ms_va_list current_;
  bool ended_ = false;
};

UINTN Min(UINTN a, UINTN b) { return a < b ? a : b; }

UINTN DisplayColumns(const CHAR16* row) { return StringDisplayWidth(row, FALSE, 0, nullptr) / 2; }

// One line of the frame, MaxLength + 2 units and a NUL: the fill across,
// then the two ends.
void FrameLine(CHAR16* line, UINTN maxLength, CHAR16 left, CHAR16 fill, CHAR16 right) {
  Fill16(line, maxLength + 2, fill);
  line[0] = left;
  line[maxLength + 1] = right;
  line[maxLength + 2] = 0;
}

void PutString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out, UINTN column, UINTN row, const CHAR16* text) {
  out->SetCursorPosition(out, column, row);
  out->OutputString(out, text);
}

// A row wider than the box: its first characters up to the one that would
// cross the right edge, less three, then "...", from the left inner edge.
// Two things keep it inside the box whatever the row holds: where control
// characters among those three units leave the kept part wider than the box
// less three columns, less is kept; and after a wide part a narrow marker
// goes before the dots, which would otherwise take six columns.
void PutShortenedRow(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out, UINTN column, UINTN row, const CHAR16* text,
                     UINTN maxLength) {
  UINTN offset = 0;
  StringDisplayWidth(text, TRUE, maxLength, &offset);
  UINTN fits = 0;
  StringDisplayWidth(text, TRUE, maxLength - 3, &fits);
  // Below three units or columns the copy length wraps past the limit: the
  // copy refuses, the appends find no room, and an empty string goes out.
  UINTN keep = ~UINTN{0};
  bool wide = false;
  if (offset >= 3 && maxLength >= 3) {
    keep = fits < offset - 3 ? fits : offset - 3;
    for (UINTN i = 0; i < keep; ++i) {
      wide = text[i] == kWideMarker || (wide && text[i] != kNarrowMarker);
    }
  }
  const UINTN units = offset + (wide ? 2 : 1);  // with room for the marker where it goes in
  auto* shortened = static_cast<CHAR16*>(support::AllocateCleared(EfiBootServicesData, units * sizeof(CHAR16)));
  if (shortened == nullptr) {
    return;  // the row's line stays blank inside the frame
  }
  BoundedStrCopy(shortened, units, text, keep);
  BoundedStrAppend(shortened, units, keep == ~UINTN{0} ? u"" : (wide ? kNarrowEllipsis : kEllipsis));
  PutString(out, column, row, shortened);
  support::BootServices()->FreePool(shortened);
}

template <typename Rows>
void DrawBox(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out, Rows& rows, UINTN count, UINTN widest, UINTN columns,
             UINTN screenRows) {
  const UINTN lines = Min(count, screenRows - 3);
  const UINTN maxLength = Min(widest, columns - 2);
  const UINTN top = (screenRows - (lines + 3)) / 2;
  const UINTN left = (columns - (maxLength + 2)) / 2;

  auto* line = static_cast<CHAR16*>(support::AllocateCleared(EfiBootServicesData, (maxLength + 3) * sizeof(CHAR16)));
  if (line == nullptr) {
    return;
  }
  FrameLine(line, maxLength, kBoxTopLeft, kBoxHorizontal, kBoxTopRight);
  PutString(out, left, top, line);
  UINTN current = top + 1;

  rows.Restart();
  for (UINTN drawn = 0; drawn < lines; ++drawn) {
    const CHAR16* row = rows.Next();
    if (row == nullptr) {
      break;
    }
    FrameLine(line, maxLength, kBoxVertical, u' ', kBoxVertical);
    PutString(out, left, current, line);
    const UINTN length = DisplayColumns(row);
    if (length <= maxLength) {
      PutString(out, left + 1 + (maxLength - length) / 2, current, row);
    } else {
      PutShortenedRow(out, left + 1, current, row, maxLength);
    }
    ++current;
  }

  FrameLine(line, maxLength, kBoxBottomLeft, kBoxHorizontal, kBoxBottomRight);
  PutString(out, left, current, line);
  support::BootServices()->FreePool(line);
}

template <typename Rows>
void ShowDialog(UINTN Attribute, EFI_INPUT_KEY* Key, Rows& rows) {
  UINTN count = 0;
  UINTN widest = 0;
  rows.Restart();
  for (const CHAR16* row = rows.Next(); row != nullptr; row = rows.Next()) {
    ++count;
    const UINTN width = DisplayColumns(row);
    widest = width > widest ? width : widest;
  }

  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = support::SystemTable()->ConOut;
  const EFI_SIMPLE_TEXT_OUTPUT_MODE saved = *out->Mode;
  UINTN columns = 0;
  UINTN screenRows = 0;
  if (EFI_ERROR(out->QueryMode(out, static_cast<UINTN>(saved.Mode), &columns, &screenRows))) {
    // Sizes a failed query may have half written are not trusted. Every text
    // console offers mode 0 at 80x25, so the prompt is drawn for that.
    columns = kFallbackColumns;
    screenRows = kFallbackRows;
  }

  if (screenRows >= kDialogMinRows && columns >= kDialogMinColumns) {
    out->EnableCursor(out, FALSE);
    out->SetAttribute(out, Attribute);
    DrawBox(out, rows, count, widest, columns, screenRows);
    out->EnableCursor(out, saved.CursorVisible);
    out->SetCursorPosition(out, static_cast<UINTN>(saved.CursorColumn), static_cast<UINTN>(saved.CursorRow));
    out->SetAttribute(out, static_cast<UINTN>(saved.Attribute));
  }

  if (Key != nullptr) {
    ReadDialogKey(Key);
  }
}

}  // namespace

void ReadDialogKey(EFI_INPUT_KEY* Key) {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = support::SystemTable()->ConIn;
  for (;;) {
    const EFI_STATUS status = in->ReadKeyStroke(in, Key);
    if (!EFI_ERROR(status)) {
      return;
    }
    if (status == EFI_NOT_READY) {
      UINTN index = 0;
      support::BootServices()->WaitForEvent(1, &in->WaitForKey, &index);
    }
  }
}

void PopUpDialogRows(UINTN Attribute, EFI_INPUT_KEY* Key, const CHAR16* const* Rows) {
  ListRows rows(Rows);
  ShowDialog(Attribute, Key, rows);
}

VOID EFIAPI PopUpDialog(UINTN Attribute, EFI_INPUT_KEY* Key, ...) {
  __builtin_ms_va_list arguments = nullptr;
  __builtin_ms_va_start(arguments, Key);
  VariableRows rows(arguments);
  ShowDialog(Attribute, Key, rows);
  __builtin_ms_va_end(arguments);
}

}  // namespace ftpm::driver
