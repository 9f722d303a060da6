#include "filesystems/refs/RefsBoot.h"

#include <cstring>

#include "filesystems/refs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace refs;

bool RefsBoot::GeometryUsable() const {
  if (sectorBytes != 512 && sectorBytes != 4096) return false;
  if (totalSectors == 0 || totalSectors > UINT64_MAX / sectorBytes) return false;
  return totalSectors * sectorBytes % kPageBytes == 0;
}

RefsBoot ReadRefsBoot(const uint8_t* s) {
  RefsBoot b;
  b.signature =
      memcmp(s + kBootName, "ReFS\0\0\0\0", kBootNameBytes) == 0 && memcmp(s + kBootSignature, "FSRS", 4) == 0;
  b.totalSectors = Le64(s + kBootTotalSectors);
  b.sectorBytes = Le32(s + kBootSectorBytes);
  b.sectorsPerCluster = Le32(s + kBootSectorsPerCluster);
  b.major = s[kBootMajor];
  b.minor = s[kBootMinor];
  return b;
}
