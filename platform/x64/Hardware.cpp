// The real-hardware instance of the processor, port and register operations.
#include "platform/Hardware.h"

namespace ftpm::platform {

CpuidResult Cpuid(UINT32 Leaf) {
  CpuidResult r;
  __asm__ __volatile__("cpuid" : "=a"(r.Eax), "=b"(r.Ebx), "=c"(r.Ecx), "=d"(r.Edx) : "a"(Leaf), "c"(0));
  return r;
}

UINT16 DebugHostCpuid() {
  // An intercepting debug host answers through SI; CPUID itself never writes
  // ESI. RBX, RCX, RDX and RSI are saved and restored around the instruction,
  // and so are the flags.
  UINT64 result;
  __asm__ __volatile__(
      "pushfq\n\t"
      "push %%rbx\n\t"
      "push %%rcx\n\t"
      "push %%rdx\n\t"
      "push %%rsi\n\t"
      "xor %%esi, %%esi\n\t"
      "mov $0xBACCD00B, %%eax\n\t"
      "mov $2, %%ebx\n\t"
      "cpuid\n\t"
      "movzwl %%si, %%eax\n\t"
      "pop %%rsi\n\t"
      "pop %%rdx\n\t"
      "pop %%rcx\n\t"
      "pop %%rbx\n\t"
      "popfq\n\t"
      : "=a"(result)
      :
      : "memory");
  return static_cast<UINT16>(result);
}

UINT64 ReadTsc() {
  UINT32 lo;
  UINT32 hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return (static_cast<UINT64>(hi) << 32) | lo;
}

void CpuPause() { __asm__ __volatile__("pause" ::: "memory"); }

UINT64 ReadMsr(UINT32 Index) {
  UINT32 lo;
  UINT32 hi;
  __asm__ __volatile__("rdmsr" : "=a"(lo), "=d"(hi) : "c"(Index));
  return (static_cast<UINT64>(hi) << 32) | lo;
}

UINT8 IoRead8(UINT16 Port) {
  UINT8 value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(Port));
  return value;
}

void IoWrite8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }

void IoWrite16(UINT16 Port, UINT16 Value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port)); }

void IoWrite32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

UINT32 MmioRead32(UINT64 Address) { return *reinterpret_cast<volatile const UINT32*>(Address); }

void MmioWrite32(UINT64 Address, UINT32 Value) { *reinterpret_cast<volatile UINT32*>(Address) = Value; }

UINT64 MmioLoad64(UINT64 Address) { return *reinterpret_cast<volatile const UINT64*>(Address); }

const void* MapFlash(UINT64 Address, UINT64 /*Length*/) { return reinterpret_cast<const void*>(Address); }

}  // namespace ftpm::platform
