#include "support/Memory.h"

namespace ftpm::support {

void* CopyMem(void* Destination, const void* Source, UINTN Length) {
  auto* d = static_cast<UINT8*>(Destination);
  const auto* s = static_cast<const UINT8*>(Source);
  if (d > s && d < s + Length) {
    while (Length != 0) {
      --Length;
      d[Length] = s[Length];
    }
    return Destination;
  }
  while (Length >= 8) {
    WriteUnaligned<UINT64>(d, ReadUnaligned<UINT64>(s));
    d += 8;
    s += 8;
    Length -= 8;
  }
  while (Length != 0) {
    *d++ = *s++;
    --Length;
  }
  return Destination;
}

void* ZeroMem(void* Buffer, UINTN Length) { return SetMem(Buffer, Length, 0); }

void* SetMem(void* Buffer, UINTN Length, UINT8 Value) {
  auto* d = static_cast<UINT8*>(Buffer);
  for (UINTN i = 0; i < Length; ++i) {
    d[i] = Value;
  }
  return Buffer;
}

BOOLEAN CompareGuid(const EFI_GUID* Left, const EFI_GUID* Right) {
  const UINT64 l0 = ReadUnaligned<UINT64>(Left);
  const UINT64 l1 = ReadUnaligned<UINT64>(reinterpret_cast<const UINT8*>(Left) + 8);
  const UINT64 r0 = ReadUnaligned<UINT64>(Right);
  const UINT64 r1 = ReadUnaligned<UINT64>(reinterpret_cast<const UINT8*>(Right) + 8);
  return (l0 == r0 && l1 == r1) ? TRUE : FALSE;
}

}  // namespace ftpm::support
