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

uint8_t* ThreadScratchBuffer(int slot, size_t bytes) {
  struct Slot {
    uint8_t* p = nullptr;
    size_t n = 0;
    ~Slot() { AlignedFree(p); }
  };
  thread_local Slot slots[kScratchSlots];
  if (slot < 0 || slot >= kScratchSlots) return nullptr;
  Slot& s = slots[slot];
  if (s.n < bytes) {
    AlignedFree(s.p);
    s.p = static_cast<uint8_t*>(AlignedAlloc(bytes));
    s.n = s.p ? bytes : 0;
  }
  return s.p;
}
