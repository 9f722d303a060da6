// Extents-overflow leaf records: the key (fork type, file id, first block
// of the chunk) and the eight extents after it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "filesystems/hfs/HfsHeader.h"

struct HfsExtentsRecord {
  uint8_t forkType = 0;
  uint32_t fileId = 0;
  uint32_t startBlock = 0;  // the file's block the chunk begins at
  HfsExtent extents[hfs::kExtentsPerRecord];
};

// A record of 76 bytes with key length 10 at `rec` (`left` bytes there).
bool ParseHfsExtentsRecord(const uint8_t* rec, size_t left, HfsExtentsRecord* out);
