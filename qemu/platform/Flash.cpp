// The flash service's erase device, where the machine has the image: the
// 64 MB window is guest memory backed by the image file (share=on), so plain
// stores reach the file and a read-back reads the file's own pages; the
// 16 MB window is QEMU's system flash, which takes flash commands (its second
// device holds image offsets below 14 MiB) and is read back in read-array
// mode. A configured fault makes one range's erase fail.
#include "qemu/platform/CfiFlash.h"
#include "qemu/platform/Platform.h"
#include "support/Memory.h"

namespace ftpm::qemu {

namespace {

UINT8 ReadLowFlash(UINT64 Offset, void* /*Context*/) {
  return *PhysicalPointer<volatile UINT8>(kWindow16MBase + Offset);
}

void WriteLowFlash(UINT64 Offset, UINT8 Value, void* /*Context*/) {
  *PhysicalPointer<volatile UINT8>(kWindow16MBase + Offset) = Value;
}

constexpr CfiDevice kLowFlash{ReadLowFlash, WriteLowFlash, nullptr, kLowFlashDeviceSize};

// The configured fault: an erase touching that range of the map fails.
bool Faulted(UINT64 Offset, UINT64 Length) {
  const PlatformConfig& config = gPlatform.Config;
  if (config.EraseFails == FALSE) {
    return false;
  }
  const reference::FlashRange& range =
      reference::NvramRange(gPlatform.FlashMap, config.EraseFailsSide, config.EraseFailsKind);
  return range.Length != 0 && Offset < range.Offset + range.Length && range.Offset < Offset + Length;
}

// Whether the configured hold is inside this erase request, and the bytes
// of its first half of blocks, erased before it.
bool HoldInside(UINT64 Length, UINT64* Before) {
  const PlatformConfig& config = gPlatform.Config;
  *Before = Length / kEraseBlockSize / 2 * kEraseBlockSize;
  return config.Hold == HoldPoint::InsideErase && config.HoldErase == gPlatform.EraseRequests;
}

bool Erase64M(void* /*Context*/, UINT64 Offset, UINT64 Length) {
  if (Offset >= kWindow64MDeviceSize || Length > kWindow64MDeviceSize - Offset || Faulted(Offset, Length)) {
    return false;
  }
  UINT64 before = 0;
  if (HoldInside(Length, &before)) {
    support::SetMem(PhysicalPointer<VOID>(kWindow64MBase + Offset), before, 0xFF);
    HoldIfConfigured(HoldPoint::InsideErase, gPlatform.EraseRequests);
  }
  support::SetMem(PhysicalPointer<VOID>(kWindow64MBase + Offset), Length, 0xFF);
  return true;
}

bool ReadsErased64M(void* /*Context*/, UINT64 Offset, UINT64 Length) {
  if (Offset >= kWindow64MDeviceSize || Length > kWindow64MDeviceSize - Offset) {
    return false;
  }
  const auto* bytes = PhysicalPointer<const volatile UINT8>(kWindow64MBase + Offset);
  for (UINT64 i = 0; i < Length; ++i) {
    if (bytes[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

bool Erase16M(void* /*Context*/, UINT64 Offset, UINT64 Length) {
  if (Faulted(Offset, Length)) {
    return false;
  }
  UINT64 before = 0;
  if (HoldInside(Length, &before)) {
    if (before != 0) {
      CfiEraseBlocks(kLowFlash, Offset, before);
    }
    HoldIfConfigured(HoldPoint::InsideErase, gPlatform.EraseRequests);
  }
  return CfiEraseBlocks(kLowFlash, Offset, Length) == CfiResult::Erased;
}

bool ReadsErased16M(void* /*Context*/, UINT64 Offset, UINT64 Length) {
  return CfiReadsErased(kLowFlash, Offset, Length);
}

bool NoErase(void* /*Context*/, UINT64 /*Offset*/, UINT64 /*Length*/) { return false; }

}  // namespace

reference::FlashDevice FlashDeviceOfWindow() {
  switch (gPlatform.Config.Window) {
    case EraseWindow::Window64M:
      return reference::FlashDevice{Erase64M, ReadsErased64M, nullptr};
    case EraseWindow::Window16M:
      return reference::FlashDevice{Erase16M, ReadsErased16M, nullptr};
    case EraseWindow::None:
      break;
  }
  return reference::FlashDevice{NoErase, NoErase, nullptr};
}

}  // namespace ftpm::qemu
