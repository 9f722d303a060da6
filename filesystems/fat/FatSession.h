// The FAT family's part of a session file: the volume's table geometry
// (sectors per FAT, number of FATs, reserved sectors, root folder sectors)
// with what follows from it, and the FAT node's DOS times and run list.
#pragma once
#include <cstdint>

class CVol;
class SessionTailReader;
class SessionTailWriter;
struct SessionTail;
struct cnode;

struct FatSessionGeometry {
  // As stored.
  uint32_t sectorsPerFat = 0;
  uint8_t fatCount = 0;
  uint32_t reservedSectors = 0;
  uint32_t rootSectors = 0;
  // Derived.
  uint32_t sectorsPerCluster = 0;
  uint64_t firstDataSector = 0;
  int64_t clusterZeroSector = 0;  // where cluster 0 would lie (volume sectors)
  uint64_t dataSectors = 0;
  uint64_t clusterBound = 0;  // one past the last cluster number
};

// The derived values from the stored four and the volume's sizes; false
// when they do not make a volume (no FAT, a cluster smaller than a sector,
// areas larger than the volume).
bool DeriveFatGeometry(uint32_t clusterSize, uint32_t sectorSize, uint64_t sizeSectors, FatSessionGeometry* g);

void FatWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool FatReadVolumeTail(CVol& volume, const SessionTail& tail);
void FatWriteNodeTail(const cnode& node, SessionTailWriter& out);
void FatReadNodeTail(cnode& node, SessionTailReader& in);
