// Processor instructions, I/O ports and memory-mapped registers that the
// driver layers use. Two instances exist, chosen at link time: platform/x64
// (the instructions themselves) and sim/ (a simulated machine on Linux).
#pragma once

#include "platform/Base.h"

namespace ftpm::platform {

struct CpuidResult {
  UINT32 Eax;
  UINT32 Ebx;
  UINT32 Ecx;
  UINT32 Edx;
};

// CPUID with EAX = Leaf and ECX = 0.
CpuidResult Cpuid(UINT32 Leaf);

// CPUID leaf 0xBACCD00B with EBX = 2 and SI = 0; returns SI afterwards. Every
// other register and the flags are as they were before the call.
UINT16 DebugHostCpuid();

UINT64 ReadTsc();
void CpuPause();
UINT64 ReadMsr(UINT32 Index);

UINT8 IoRead8(UINT16 Port);
void IoWrite8(UINT16 Port, UINT8 Value);
void IoWrite16(UINT16 Port, UINT16 Value);
void IoWrite32(UINT16 Port, UINT32 Value);

// One 32-bit access to a memory-mapped register.
UINT32 MmioRead32(UINT64 Address);
void MmioWrite32(UINT64 Address, UINT32 Value);

// One aligned 8-byte load from memory-mapped flash. Address is 8-aligned.
UINT64 MmioLoad64(UINT64 Address);

// A pointer through which Length bytes of memory-mapped flash starting at the
// physical address Address can be read. On hardware this is the address
// itself (identity mapping); the caller has checked that the range lies in a
// flash window.
const void* MapFlash(UINT64 Address, UINT64 Length);

}  // namespace ftpm::platform
