// The four memory routines a freestanding compiler may emit calls to for
// aggregate copies and initialisation. The image links no C runtime, so they
// live here. Built with -ffreestanding, so the loops are not turned back into
// calls to themselves.
#include "platform/Base.h"

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  auto* d = static_cast<unsigned char*>(destination);
  const auto* s = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; ++i) {
    d[i] = s[i];
  }
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  auto* d = static_cast<unsigned char*>(destination);
  const auto* s = static_cast<const unsigned char*>(source);
  if (d > s && d < s + count) {
    while (count-- != 0) {
      d[count] = s[count];
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      d[i] = s[i];
    }
  }
  return destination;
}

void* memset(void* destination, int value, size_t count) {
  auto* d = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) {
    d[i] = static_cast<unsigned char>(value);
  }
  return destination;
}

int memcmp(const void* left, const void* right, size_t count) {
  const auto* l = static_cast<const unsigned char*>(left);
  const auto* r = static_cast<const unsigned char*>(right);
  for (size_t i = 0; i < count; ++i) {
    if (l[i] != r[i]) {
      return l[i] < r[i] ? -1 : 1;
    }
  }
  return 0;
}

}  // extern "C"
