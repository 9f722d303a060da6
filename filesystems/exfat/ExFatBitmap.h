// The allocation bitmap of an exFAT volume: one bit a cluster (bit c - 2
// for cluster c), the only record of which clusters are in use (files
// written without a chain have free table entries). Read through a map of
// its own, a few pages at a time, as the deleted-file reader asks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filesystems/exfat/ExFatVolume.h"
#include "volumes/Extents.h"

class ExFatBitmap {
 public:
  // 1 when the cluster is in use, 0 when free, -1 when the bitmap cannot
  // tell (none found, unreadable, or too short for the cluster).
  int InUse(CExFATVol& volume, uint64_t cluster);

 private:
  bool Open(CExFATVol& volume);
  const uint8_t* Page(CExFATVol& volume, uint64_t page);

  static constexpr size_t kPageBytes = 1u << 16;  // 524,288 clusters
  static constexpr int kPages = 4;
  CExFATVol::Area opened_;
  bool asked_ = false, usable_ = false;
  uint64_t bytes_ = 0;
  CExtents map_;
  struct Held {
    int64_t page = -1;
    std::vector<uint8_t> data;
  };
  Held held_[kPages];
  int next_ = 0;
};
