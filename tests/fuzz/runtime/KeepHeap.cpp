// Linked into every fuzz target: the C library keeps the heap it has grown.
// By default glibc's malloc gives memory back to the kernel when the top of
// the heap is free (and serves large blocks from mappings of their own), so
// each input, which builds and drops a whole simulated machine, grew the heap
// again through brk or mmap and page faults: a fifth of the dialog target's
// time. The limits here keep what one input needs mapped for the next. Under
// AddressSanitizer its own allocator serves malloc and this changes nothing.
#include <malloc.h>

namespace {

const bool kHeapKept = [] {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 16 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  return true;
}();

}  // namespace
