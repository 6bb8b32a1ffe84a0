// Erasing whole blocks of a CFI flash device with the Intel command set, as
// QEMU's system flash (pflash) implements it: block erase, a status read,
// then back to reading the array. Only whole blocks are erased, so that a
// power cut during an erase can lose nothing but the blocks asked for (an
// erase that saved and programmed back the bytes of a partly covered block
// would lose them to a cut in between). The device is reached through two
// operations, so the host build tests the algorithm against a model of the
// device.
#pragma once

#include "platform/Base.h"

namespace ftpm::qemu {

// QEMU's x86 system flash: 4 KiB blocks, one byte wide.
inline constexpr UINT64 kCfiBlockSize = 0x1000;

inline constexpr UINT8 kCfiBlockErase = 0x20;
inline constexpr UINT8 kCfiClearStatus = 0x50;
inline constexpr UINT8 kCfiEraseConfirm = 0xD0;
inline constexpr UINT8 kCfiReadArray = 0xFF;
// Status register: ready, and the error bits (erase, program, voltage,
// block locked).
inline constexpr UINT8 kCfiStatusReady = 0x80;
inline constexpr UINT8 kCfiStatusErrors = 0x3A;
// Status reads before a command counts as hung.
inline constexpr UINTN kCfiStatusPolls = 100000;

struct CfiDevice {
  UINT8 (*Read)(UINT64 Offset, void* Context);
  void (*Write)(UINT64 Offset, UINT8 Value, void* Context);
  void* Context;
  UINT64 Size;  // bytes of the device; nothing at or past it is touched
};

enum class CfiResult : UINT8 { Erased, OutsideDevice, NotWholeBlocks, EraseFailed };

// Erases the blocks of [Offset, Offset + Length) to 0xFF, in order, and
// stops at the first that fails. The device is left reading its array in
// every case.
CfiResult CfiEraseBlocks(const CfiDevice& Device, UINT64 Offset, UINT64 Length);

// Whether [Offset, Offset + Length) reads 0xFF in read-array mode.
bool CfiReadsErased(const CfiDevice& Device, UINT64 Offset, UINT64 Length);

const char* CfiResultName(CfiResult Result);

}  // namespace ftpm::qemu
