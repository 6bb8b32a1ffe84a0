// Memory helpers shared by every layer of the driver.
#pragma once

#include "platform/Base.h"

namespace ftpm::support {

// Copies Length bytes and returns Destination. Safe for overlapping ranges:
// when Destination starts inside the source range, above its start, the copy
// runs backwards byte by byte; otherwise forwards, eight bytes at a time and
// then the remaining bytes.
void* CopyMem(void* Destination, const void* Source, UINTN Length);

void* ZeroMem(void* Buffer, UINTN Length);
void* SetMem(void* Buffer, UINTN Length, UINT8 Value);

// GUIDs compared as two 64-bit halves.
BOOLEAN CompareGuid(const EFI_GUID* Left, const EFI_GUID* Right);

// Unaligned little-endian field access for records read from flash, HOBs and
// shared memory.
template <typename T>
inline T ReadUnaligned(const void* Source) {
  T value;
  __builtin_memcpy(&value, Source, sizeof(T));
  return value;
}

template <typename T>
inline void WriteUnaligned(void* Destination, T Value) {
  __builtin_memcpy(Destination, &Value, sizeof(T));
}

// Addresses that firmware and other components hand over as integers
// (settings, shared records) and pointers, converted both ways. The driver
// runs identity-mapped, so an address is the pointer's value.
template <typename T>
inline T* AddressToPointer(UINT64 Address) {
  return reinterpret_cast<T*>(static_cast<UINTN>(Address));  // NOLINT(performance-no-int-to-ptr)
}

template <typename T>
inline UINT64 PointerToAddress(T* Pointer) {
  return static_cast<UINT64>(reinterpret_cast<UINTN>(Pointer));
}

}  // namespace ftpm::support
