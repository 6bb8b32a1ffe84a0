#include "driver/BoundedString.h"

namespace ftpm::driver {

namespace {

// Whether [a, a + aUnits) and [b, b + bUnits) share a unit. Compared as
// addresses, since the two strings need not belong to one object.
bool RangesOverlap(const CHAR16* a, UINTN aUnits, const CHAR16* b, UINTN bUnits) {
  const auto aStart = reinterpret_cast<UINTN>(a);
  const auto bStart = reinterpret_cast<UINTN>(b);
  return aStart < bStart + bUnits * sizeof(CHAR16) && bStart < aStart + aUnits * sizeof(CHAR16);
}

}  // namespace

UINTN StringDisplayWidth(const CHAR16* String, BOOLEAN Limited, UINTN MaxWidth, UINTN* Offset) {
  if (String == nullptr) {
    return 0;
  }
  UINTN index = 0;
  UINTN count = 0;
  UINTN increment = 1;
  const bool limited = Limited != FALSE;
  for (;;) {
    while (String[index] != kNarrowMarker && String[index] != kWideMarker && String[index] != 0) {
      count += increment;
      if (limited && count > MaxWidth) {
        break;
      }
      ++index;
    }
    if (String[index] == 0) {
      return count * 2;
    }
    if (limited && count > MaxWidth) {
      if (Offset != nullptr) {
        *Offset = index;
      }
      return count * 2;
    }
    increment = String[index] == kNarrowMarker ? 1 : 2;
    ++index;
    if (String[index] == 0) {
      return count * 2;
    }
  }
}

UINTN BoundedStrLen(const CHAR16* String, UINTN MaxSize) {
  if (String == nullptr) {
    return 0;
  }
  UINTN length = 0;
  while (length < MaxSize && String[length] != 0) {
    ++length;
  }
  return length;
}

EFI_STATUS BoundedStrCopy(CHAR16* Destination, UINTN DestMax, const CHAR16* Source, UINTN Length) {
  if (Destination == nullptr || Source == nullptr || DestMax > kBoundedStringLimit || Length > kBoundedStringLimit ||
      DestMax == 0) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN sourceLength = BoundedStrLen(Source, DestMax < Length ? DestMax : Length);
  if (Length >= DestMax && sourceLength >= DestMax) {
    return EFI_BUFFER_TOO_SMALL;
  }
  if (sourceLength > Length) {
    sourceLength = Length;
  }
  if (RangesOverlap(Destination, DestMax, Source, sourceLength + 1)) {
    return EFI_ACCESS_DENIED;
  }
  UINTN copied = 0;
  while (copied < sourceLength && Source[copied] != 0) {
    Destination[copied] = Source[copied];
    ++copied;
  }
  Destination[copied] = 0;
  return EFI_SUCCESS;
}

EFI_STATUS BoundedStrAppend(CHAR16* Destination, UINTN DestMax, const CHAR16* Source) {
  // The parameters are checked before the destination is measured, so a
  // DestMax beyond the limit never drives a read. A NULL Source is refused
  // like a NULL Destination rather than copied from.
  if (Destination == nullptr || Source == nullptr || DestMax == 0 || DestMax > kBoundedStringLimit) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN destLength = BoundedStrLen(Destination, DestMax);
  const UINTN room = DestMax - destLength;
  if (room == 0) {
    return EFI_BAD_BUFFER_SIZE;
  }
  const UINTN sourceLength = BoundedStrLen(Source, room);
  if (room <= sourceLength) {
    return EFI_BUFFER_TOO_SMALL;
  }
  if (RangesOverlap(Destination, DestMax, Source, sourceLength + 1)) {
    return EFI_ACCESS_DENIED;
  }
  CHAR16* tail = Destination + destLength;
  for (UINTN i = 0; i < sourceLength; ++i) {
    tail[i] = Source[i];
  }
  tail[sourceLength] = 0;
  return EFI_SUCCESS;
}

CHAR16* Fill16(CHAR16* Buffer, UINTN Count, CHAR16 Value) {
  for (UINTN i = 0; i < Count; ++i) {
    Buffer[i] = Value;
  }
  return Buffer;
}

}  // namespace ftpm::driver
