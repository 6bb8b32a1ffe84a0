#include "directory/FlashReader.h"

#include "directory/Formats.h"
#include "directory/ProcessorIdentity.h"
#include "platform/Hardware.h"
#include "support/Memory.h"

namespace ftpm::directory {

namespace {

constexpr UINT32 kFamily17 = 0x17;
constexpr UINT32 kFamily19 = 0x19;
constexpr UINT32 kFamily1A = 0x1A;

// Family 0x17 parts whose flash sits in the 64 MB window.
BOOLEAN IsFamily17With64MWindow(UINT32 Eax) {
  const UINT32 nibble = ModelHighNibble(Eax);
  return (ProcessorFamily(Eax) == kFamily17 && (nibble == 0x30 || nibble >= 0x60)) ? TRUE : FALSE;
}

// One algorithm for both windows: the range is checked before anything is
// written, then each 8-byte word is loaded once, aligned, and only the first
// and last words are split into bytes.
BOOLEAN ReadWindow(UINT64 Base, UINT32 WindowSize, UINT32 Offset, VOID* Buffer, UINT32 Length) {
  if (Buffer == nullptr || Length == 0 || Offset >= WindowSize || Length > WindowSize ||
      static_cast<UINT64>(Offset) + Length > WindowSize) {
    return FALSE;
  }
  auto* out = static_cast<UINT8*>(Buffer);
  const UINT32 end = Offset + Length - 1;
  const UINT32 first = Offset & ~7U;
  const UINT32 firstByte = Offset & 7U;
  const UINT32 last = end & ~7U;
  const UINT32 lastByte = end & 7U;
  for (UINT32 word = first;; word += 8) {
    const UINT64 value = platform::MmioLoad64(Base + word);
    UINT32 from = 0;
    UINT32 to = 7;
    if (word == first) {
      from = firstByte;
    }
    if (word == last) {
      to = lastByte;
    }
    if (from == 0 && to == 7) {
      support::WriteUnaligned<UINT64>(out, value);
      out += 8;
    } else {
      for (UINT32 k = from; k <= to; ++k) {
        *out++ = static_cast<UINT8>(value >> (8 * k));
      }
    }
    if (word == last) {
      break;
    }
  }
  return TRUE;
}

// Copies a range that lies inside one window, given by its physical address.
BOOLEAN CopyMapped(UINT64 Address, UINT64 WindowBase, UINT64 WindowSize, VOID* Buffer, UINT32 Length) {
  if (Length == 0) {
    return TRUE;
  }
  if (Length > WindowSize - (Address - WindowBase)) {
    return FALSE;  // runs past the end of the window
  }
  const void* source = platform::MapFlash(Address, Length);
  if (source != Buffer) {
    support::CopyMem(Buffer, source, Length);
  }
  return TRUE;
}

}  // namespace

BOOLEAN OffsetsUseWindow64M(UINT32 Eax) {
  const UINT32 family = ProcessorFamily(Eax);
  return (IsFamily17With64MWindow(Eax) != FALSE || family == kFamily19 || family == kFamily1A) ? TRUE : FALSE;
}

BOOLEAN AcceptsWindow64MAddresses(UINT32 Eax) {
  return (IsFamily17With64MWindow(Eax) != FALSE || ProcessorFamily(Eax) == kFamily19) ? TRUE : FALSE;
}

UINT32 DistinctFlashOffsets() {
  return OffsetsUseWindow64M(ReadProcessorSignature()) != FALSE ? kWindow64MSize : kWindow16MSize;
}

BOOLEAN ReadFlash(UINT64 Address, VOID* Buffer, UINT32 Length) {
  const UINT32 eax = ReadProcessorSignature();
  if (Address < kFlashOffsetLimit) {
    return ReadFlashOffset(static_cast<UINT32>(Address), Buffer, Length);
  }
  if ((Address & 0xFFFFFFFFFF000000ULL) == kWindow16MBase) {
    return CopyMapped(Address, kWindow16MBase, kWindow16MSize, Buffer, Length);
  }
  if ((Address & 0xFFFFFFFFFC000000ULL) == kWindow64MBase) {
    if (AcceptsWindow64MAddresses(eax) == FALSE) {
      return FALSE;
    }
    return CopyMapped(Address, kWindow64MBase, kWindow64MSize, Buffer, Length);
  }
  return FALSE;
}

BOOLEAN ReadFlashOffset(UINT32 Offset, VOID* Buffer, UINT32 Length) {
  if (OffsetsUseWindow64M(ReadProcessorSignature()) != FALSE) {
    return ReadWindow64M(Offset, Buffer, Length);
  }
  return ReadWindow16M(Offset & (kWindow16MSize - 1), Buffer, Length);
}

BOOLEAN ReadWindow64M(UINT32 Offset, VOID* Buffer, UINT32 Length) {
  return ReadWindow(kWindow64MBase, kWindow64MSize, Offset, Buffer, Length);
}

BOOLEAN ReadWindow16M(UINT32 Offset, VOID* Buffer, UINT32 Length) {
  return ReadWindow(kWindow16MBase, kWindow16MSize, Offset, Buffer, Length);
}

BOOLEAN ReadDirectoryCopy(UINT32 Address, VOID* Buffer) {
  support::ZeroMem(Buffer, kDirectoryCopySize);
  return ReadFlash(Address, Buffer, kDirectoryCopySize);
}

}  // namespace ftpm::directory
