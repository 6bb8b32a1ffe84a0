// The pop-up dialog: a framed block of text rows centred on the system
// table's ConOut, drawn with one attribute; the console's cursor and colours
// are put back afterwards, and on request one keystroke is read from ConIn.
// The box stays on the screen; clearing it is the caller's job.
#pragma once

#include "platform/Uefi.h"

namespace ftpm::driver {

// Light box-drawing characters of the frame.
inline constexpr CHAR16 kBoxHorizontal = 0x2500;
inline constexpr CHAR16 kBoxVertical = 0x2502;
inline constexpr CHAR16 kBoxTopLeft = 0x250C;
inline constexpr CHAR16 kBoxTopRight = 0x2510;
inline constexpr CHAR16 kBoxBottomLeft = 0x2514;
inline constexpr CHAR16 kBoxBottomRight = 0x2518;

// The smallest console the box fits on: its two edges plus the row kept free
// below it, and its two side edges. On a smaller console nothing is drawn and
// the console is left as it is; a key asked for is still awaited.
inline constexpr UINTN kDialogMinRows = 3;
inline constexpr UINTN kDialogMinColumns = 2;

// The size drawn for when QueryMode fails: mode 0, which every UEFI text
// console supports, so the prompt stays visible.
inline constexpr UINTN kFallbackColumns = 80;
inline constexpr UINTN kFallbackRows = 25;

// Rows is a list of NUL-terminated rows ending at a NULL entry (a NULL list
// means no rows). Key NULL: return once drawn. Otherwise return only after
// ReadKeyStroke has stored a key (or a warning) in *Key.
//
// A row wider than the box is shortened and ends in "..."; a row whose
// shortened copy cannot be allocated stays blank. If the line buffer cannot be
// allocated, nothing is drawn, but the console is restored and the key wait
// still runs, so a caller's prompt loop keeps working.
void PopUpDialogRows(UINTN Attribute, EFI_INPUT_KEY* Key, const CHAR16* const* Rows);

// The same, with the rows as a variable list of CHAR16 pointers ending at a
// null pointer (pass nullptr or a CHAR16 pointer, never a plain 0).
VOID EFIAPI PopUpDialog(UINTN Attribute, EFI_INPUT_KEY* Key, ...);

// Reads one keystroke from ConIn into *Key: EFI_NOT_READY waits on
// WaitForKey and reads again, other errors read again at once.
void ReadDialogKey(EFI_INPUT_KEY* Key);

}  // namespace ftpm::driver
