#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
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

void AdviseLargeHeapPages() {
  static std::mutex lock;
  static uintptr_t advised = 0;  // the heap's end at the last call
  const std::lock_guard<std::mutex> hold(lock);
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t end = reinterpret_cast<uintptr_t>(sbrk(0)) & ~(page - 1);
  // The first call only marks where the heap is now.
  if (advised && end > advised)
    madvise(reinterpret_cast<void*>(advised), end - advised, MADV_HUGEPAGE);  // refused: pages as before
  advised = end;
}
