#include "qemu/reference/CfiFlash.h"

namespace ftpm::reference {

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

bool ProgramByte(const CfiDevice& Device, UINT64 Offset, UINT8 Value) {
  Device.Write(Offset, kCfiProgram, Device.Context);
  Device.Write(Offset, Value, Device.Context);
  return CommandSucceeded(Device, Offset);
}

}  // namespace

CfiResult CfiEraseRange(const CfiDevice& Device, UINT64 Offset, UINT64 Length, UINT8* Scratch) {
  if (Length == 0) {
    return CfiResult::Erased;
  }
  if (Offset >= Device.Size || Length > Device.Size - Offset) {
    return CfiResult::OutsideDevice;
  }
  const UINT64 end = Offset + Length;
  CfiResult result = CfiResult::Erased;
  for (UINT64 block = Offset & ~(kCfiBlockSize - 1); block < end && result == CfiResult::Erased;
       block += kCfiBlockSize) {
    const UINT64 keepBelow = Offset > block ? Offset - block : 0;  // bytes kept at the block's start
    const UINT64 keepFrom = end < block + kCfiBlockSize ? end - block : kCfiBlockSize;  // kept from here on
    const bool partial = keepBelow != 0 || keepFrom != kCfiBlockSize;
    if (partial) {
      // A command before this one left the device showing its status.
      Device.Write(block, kCfiReadArray, Device.Context);
      for (UINT64 i = 0; i < kCfiBlockSize; ++i) {
        Scratch[i] = Device.Read(block + i, Device.Context);
      }
    }
    if (!EraseBlock(Device, block)) {
      result = CfiResult::EraseFailed;
      break;
    }
    for (UINT64 i = 0; partial && i < kCfiBlockSize; ++i) {
      const bool kept = i < keepBelow || i >= keepFrom;
      if (kept && Scratch[i] != 0xFF && !ProgramByte(Device, block + i, Scratch[i])) {
        result = CfiResult::ProgramFailed;
        break;
      }
    }
  }
  Device.Write(Offset & ~(kCfiBlockSize - 1), kCfiReadArray, Device.Context);
  return result;
}

const char* CfiResultName(CfiResult Result) {
  switch (Result) {
    case CfiResult::Erased:
      return "erased";
    case CfiResult::OutsideDevice:
      return "outside-device";
    case CfiResult::EraseFailed:
      return "erase-failed";
    case CfiResult::ProgramFailed:
      return "program-failed";
  }
  return "unknown";
}

}  // namespace ftpm::reference
