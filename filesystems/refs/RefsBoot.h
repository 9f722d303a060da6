// The ReFS boot sector as plain values.
#pragma once
#include <cstdint>

struct RefsBoot {
  bool signature = false;  // "ReFS" and four NUL at 3, "FSRS" at 0x10
  uint64_t totalSectors = 0;
  uint32_t sectorBytes = 0;
  uint32_t sectorsPerCluster = 0;
  uint8_t major = 0, minor = 0;
  // 512 or 4096 bytes a sector, and the volume whole 16 KiB pages.
  bool GeometryUsable() const;
  // The ReFS cluster size in bytes (64-bit: the fields may hold anything).
  uint64_t ClusterBytes() const { return uint64_t(sectorsPerCluster) * sectorBytes; }
};
// From at least 512 bytes.
RefsBoot ReadRefsBoot(const uint8_t* sector);
