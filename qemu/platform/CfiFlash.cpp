#include "qemu/platform/CfiFlash.h"

namespace ftpm::qemu {

namespace {

// Waits for the status register to report ready; false on an error bit or
// when it never does.
bool CommandSucceeded(const CfiDevice& Device, UINT64 Offset) {
  for (UINTN poll = 0; poll < kCfiStatusPolls; ++poll) {
    const UINT8 status = Device.Read(Offset, Device.Context);
    if ((status & kCfiStatusReady) != 0) {
      if ((status & kCfiStatusErrors) != 0) {
        Device.Write(Offset, kCfiClearStatus, Device.Context);
        return false;
      }
      return true;
    }
  }
  return false;
}

bool EraseBlock(const CfiDevice& Device, UINT64 Block) {
  Device.Write(Block, kCfiBlockErase, Device.Context);
  Device.Write(Block, kCfiEraseConfirm, Device.Context);
  return CommandSucceeded(Device, Block);
}

}  // namespace

CfiResult CfiEraseBlocks(const CfiDevice& Device, UINT64 Offset, UINT64 Length) {
  if (Offset >= Device.Size || Length > Device.Size - Offset) {
    return CfiResult::OutsideDevice;
  }
  if (Length == 0 || (Offset % kCfiBlockSize) != 0 || (Length % kCfiBlockSize) != 0) {
    return CfiResult::NotWholeBlocks;
  }
  CfiResult result = CfiResult::Erased;
  for (UINT64 block = Offset; block < Offset + Length; block += kCfiBlockSize) {
    if (!EraseBlock(Device, block)) {
      result = CfiResult::EraseFailed;
      break;
    }
  }
  Device.Write(Offset, kCfiReadArray, Device.Context);
  return result;
}

bool CfiReadsErased(const CfiDevice& Device, UINT64 Offset, UINT64 Length) {
  if (Offset >= Device.Size || Length > Device.Size - Offset) {
    return false;
  }
  Device.Write(Offset, kCfiReadArray, Device.Context);
  for (UINT64 i = 0; i < Length; ++i) {
    if (Device.Read(Offset + i, Device.Context) != 0xFF) {
      return false;
    }
  }
  return true;
}

const char* CfiResultName(CfiResult Result) {
  switch (Result) {
    case CfiResult::Erased:
      return "erased";
    case CfiResult::OutsideDevice:
      return "outside-device";
    case CfiResult::NotWholeBlocks:
      return "not-whole-blocks";
    case CfiResult::EraseFailed:
      return "erase-failed";
  }
  return "unknown";
}

}  // namespace ftpm::qemu
