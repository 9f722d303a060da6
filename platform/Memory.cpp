#include "platform/Memory.h"

#include <cstdlib>
#include <cstring>

void* AlignedAlloc(size_t size) {
  if (size == 0) size = 1;
  size_t rounded = (size + kPageAlign - 1) & ~(kPageAlign - 1);
  if (rounded < size) return nullptr;
  void* p = std::aligned_alloc(kPageAlign, rounded);
  if (p) std::memset(p, 0, rounded);
  return p;
}

void AlignedFree(void* p) { std::free(p); }
