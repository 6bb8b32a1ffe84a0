// The flash service's erase, where the machine has the image: the 64 MB
// window is guest memory backed by the image file, so plain stores reach the
// file; the 16 MB window is QEMU's system flash, which takes flash commands
// (its second device holds image offsets below 14 MiB).
#include "qemu/reference/CfiFlash.h"
#include "qemu/reference/Platform.h"
#include "support/Memory.h"

namespace ftpm::reference {

namespace {

constinit UINT8 gBlockScratch[kCfiBlockSize] = {};

UINT8 ReadLowFlash(UINT64 Offset, void* /*Context*/) {
  return *PhysicalPointer<volatile UINT8>(kWindow16MBase + Offset);
}

void WriteLowFlash(UINT64 Offset, UINT8 Value, void* /*Context*/) {
  *PhysicalPointer<volatile UINT8>(kWindow16MBase + Offset) = Value;
}

bool ReadsErased(UINT64 Base, UINT64 Size) {
  const auto* bytes = PhysicalPointer<const volatile UINT8>(Base);
  for (UINT64 i = 0; i < Size; ++i) {
    if (bytes[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool FlashImageOffset(UINT64 Address, UINT64* Offset) {
  if (Address < kFlashImageSize) {
    *Offset = Address;
    return true;
  }
  if (Address >= kWindow16MBase && Address - kWindow16MBase < kWindow16MSize) {
    *Offset = Address - kWindow16MBase;
    return true;
  }
  if (Address >= kWindow64MBase && Address - kWindow64MBase < kFlashImageSize) {
    *Offset = Address - kWindow64MBase;
    return true;
  }
  return false;
}

EraseResult EraseFlashRange(UINT64 Offset, UINT64 Size) {
  switch (gPlatform.Config.Window) {
    case EraseWindow::None:
      return EraseResult{EraseOutcome::NotConfigured, nullptr, false};
    case EraseWindow::Window64M:
      if (Offset >= kFlashImageSize || Size > kFlashImageSize - Offset) {
        return EraseResult{EraseOutcome::Failed, "outside-device", false};
      }
      support::SetMem(PhysicalPointer<VOID>(kWindow64MBase + Offset), Size, 0xFF);
      return EraseResult{EraseOutcome::Erased, nullptr, ReadsErased(kWindow64MBase + Offset, Size)};
    case EraseWindow::Window16M: {
      const CfiDevice device{ReadLowFlash, WriteLowFlash, nullptr, kLowFlashDeviceSize};
      const CfiResult result = CfiEraseRange(device, Offset, Size, gBlockScratch);
      if (result != CfiResult::Erased) {
        return EraseResult{EraseOutcome::Failed, CfiResultName(result), false};
      }
      return EraseResult{EraseOutcome::Erased, nullptr, ReadsErased(kWindow16MBase + Offset, Size)};
    }
  }
  return EraseResult{EraseOutcome::Failed, "unknown-window", false};
}

}  // namespace ftpm::reference
