// Large page-aligned buffers (I/O buffers, cluster buffers, work buffers).
// Zero-filled like the system's committed pages; null on failure.
#pragma once
#include <cstddef>

inline constexpr size_t kPageAlign = 4096;

void* AlignedAlloc(size_t size);
void AlignedFree(void* p);
