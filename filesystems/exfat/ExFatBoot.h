// The exFAT boot sector as plain values, its checks, and where the volume
// of a boot sector the volume search found starts.
#pragma once
#include <cstddef>
#include <cstdint>

class Drive;

struct ExFatBoot {
  uint64_t partitionOffset = 0;  // sectors
  uint64_t volumeLength = 0;     // sectors
  uint32_t fatOffset = 0;        // sectors
  uint32_t fatLength = 0;        // sectors
  uint32_t heapOffset = 0;       // sectors
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint8_t sectorShift = 0;
  uint8_t clusterShift = 0;  // sectors per cluster, log2
  uint8_t fatCount = 0;

  uint32_t SectorBytes() const { return 1u << sectorShift; }
  uint32_t SectorsPerCluster() const { return 1u << clusterShift; }
};

// Whether the sector starts like an exFAT boot sector (jump and name).
bool IsExFatBootSignature(const uint8_t* sector);

// The fields of a boot sector (at least 512 bytes); no checks.
ExFatBoot ReadExFatBoot(const uint8_t* sector);

// Whether the geometry holds together: shifts, sector size 512..4096, one
// or two FATs, a volume length that holds the heap, a root inside it, a
// heap behind the FATs and a FAT that maps every cluster.
bool CheckExFatBoot(const ExFatBoot& boot);

// Where the volume of the exFAT boot sector found at drive sector `v`
// starts, or -1. `chunk` holds `chunkSectors` sectors of `sectorBytes` from
// drive sector `chunkStart` (v among them); sectors outside it are read from
// `drive` (null: none are read).
int64_t LocateExFATVolume(Drive* drive, int64_t v, const uint8_t* chunk, int64_t chunkStart, uint32_t chunkSectors,
                          uint32_t sectorBytes);

// Whether a sector is the first sector of an exFAT allocation table: the
// media and end marks of entries 0 and 1, then entries a table can hold
// for maxCluster clusters (0: not known).
bool IsExFatTableStart(const uint8_t* sector, uint32_t bytes, uint32_t maxCluster);
