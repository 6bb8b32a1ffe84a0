// Small UTF-16 string operations for the console dialog: display width with
// the narrow/wide markers, and length, copy, append and fill that never run
// past the sizes they are given.
#pragma once

#include "platform/Base.h"

namespace ftpm::driver {

// Markers inside a console string: the characters after 0xFFF0 take one
// column each, those after 0xFFF1 two. The markers themselves take none.
inline constexpr CHAR16 kNarrowMarker = 0xFFF0;
inline constexpr CHAR16 kWideMarker = 0xFFF1;

// The largest DestMax, and copy Length, the bounded copy and append accept.
inline constexpr UINTN kBoundedStringLimit = 1000000;

// Twice the display width of String in columns; 0 for NULL. With Limited
// TRUE, the walk stops at the first character that takes the width beyond
// MaxWidth; its index (in UTF-16 units, markers included) goes to *Offset,
// and that character is counted in the result. *Offset is written only then.
UINTN StringDisplayWidth(const CHAR16* String, BOOLEAN Limited, UINTN MaxWidth, UINTN* Offset);

// Characters before the NUL, but at most MaxSize; reads at most MaxSize
// units. 0 for NULL or MaxSize 0.
UINTN BoundedStrLen(const CHAR16* String, UINTN MaxSize);

// Copies at most Length characters of Source and a NUL into a destination of
// DestMax units. Nothing is written unless every check passes:
// EFI_INVALID_PARAMETER (NULL pointer, DestMax 0, DestMax or Length beyond
// the limit), EFI_BUFFER_TOO_SMALL, EFI_ACCESS_DENIED (ranges overlap).
EFI_STATUS BoundedStrCopy(CHAR16* Destination, UINTN DestMax, const CHAR16* Source, UINTN Length);

// Appends Source and a NUL behind the string in a destination of DestMax
// units. Nothing is written unless every check passes: EFI_INVALID_PARAMETER,
// EFI_BAD_BUFFER_SIZE (no NUL within DestMax), EFI_BUFFER_TOO_SMALL,
// EFI_ACCESS_DENIED (ranges overlap).
EFI_STATUS BoundedStrAppend(CHAR16* Destination, UINTN DestMax, const CHAR16* Source);

// Stores Value into Count consecutive units; returns Buffer.
CHAR16* Fill16(CHAR16* Buffer, UINTN Count, CHAR16 Value);

}  // namespace ftpm::driver
