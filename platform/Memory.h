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
// 0-4 the engine's recovery, 5 the NTFS family's record reads, 6 the ext
// family's folder reads.
inline constexpr int kScratchSlots = 7;
uint8_t* ThreadScratchBuffer(int slot, size_t bytes);

// Asks the system to back the main heap's growth since the last call with
// large pages: a scan that keeps a million small nodes otherwise takes a
// page fault for each 4 KiB it touches. Only the main heap: a program that
// wants it for the memory of all its threads keeps them there (mallopt
// M_ARENA_MAX 1). Cheap when the heap has not grown; thread-safe.
void AdviseLargeHeapPages();
