// Large page-aligned buffers (I/O buffers, cluster buffers, work buffers).
// Zero-filled like the system's committed pages; null on failure.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t kPageAlign = 4096;

void* AlignedAlloc(size_t size);
void AlignedFree(void* p);

// A page-aligned buffer of the calling thread of at least `bytes`, kept
// from call to call (a fresh zero-filled block per file costs more than
// copying a small file), freed when the thread ends; null when memory runs
// out. Its contents are not kept when it grows. Slots are independent:
// 0-4 the engine's recovery, 5 the NTFS family's record reads.
inline constexpr int kScratchSlots = 6;
uint8_t* ThreadScratchBuffer(int slot, size_t bytes);
