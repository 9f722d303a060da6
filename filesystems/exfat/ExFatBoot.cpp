#include "filesystems/exfat/ExFatBoot.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/exfat/Definitions.h"
#include "foundation/ByteOrder.h"
#include "volumes/VolumeSearch.h"

using namespace exfat;

bool IsExFatBootSignature(const uint8_t* s) {
  return memcmp(s, kBootJump, sizeof kBootJump) == 0 && memcmp(s + kBootName, "EXFAT   ", kBootNameBytes) == 0;
}

ExFatBoot ReadExFatBoot(const uint8_t* s) {
  ExFatBoot b;
  b.partitionOffset = Le64(s + kBootPartitionOffset);
  b.volumeLength = Le64(s + kBootVolumeLength);
  b.fatOffset = Le32(s + kBootFatOffset);
  b.fatLength = Le32(s + kBootFatLength);
  b.heapOffset = Le32(s + kBootHeapOffset);
  b.clusterCount = Le32(s + kBootClusterCount);
  b.rootCluster = Le32(s + kBootRootCluster);
  b.sectorShift = s[kBootSectorShift];
  b.clusterShift = s[kBootClusterShift];
  b.fatCount = s[kBootFatCount];
  return b;
}

bool CheckExFatBoot(const ExFatBoot& b) {
  if (uint32_t(b.sectorShift) + b.clusterShift > kMaxShiftSum) return false;
  if (b.sectorShift < kMinSectorShift || b.sectorShift > kMaxSectorShift) return false;
  if (b.fatCount != 1 && b.fatCount != 2) return false;
  const uint64_t heapEnd = uint64_t(b.SectorsPerCluster()) * b.clusterCount + b.heapOffset;
  if ((b.volumeLength >> 32) == 0 && b.volumeLength < heapEnd) return false;
  if (uint64_t(b.rootCluster) >= uint64_t(b.clusterCount) + kFirstCluster) return false;
  if (uint64_t(b.heapOffset) < uint64_t(b.fatOffset) + uint64_t(b.fatLength) * b.fatCount) return false;
  if (b.fatLength == 0 || uint64_t(b.fatLength) * (b.SectorBytes() / 4) < b.clusterCount) return false;
  return true;
}

bool IsExFatTableStart(const uint8_t* s, uint32_t bytes, uint32_t maxCluster) {
  if (bytes < 8) return false;
  if (s[0] != kFatMedia || s[1] != 0xFF || s[2] != 0xFF || (s[3] & 0x0F) != 0x0F || Le32(s + 4) != kFatEndOfChain)
    return false;
  // Every further entry is free, an end or bad mark, or a cluster number.
  for (uint32_t at = 8; at + 4 <= bytes; at += 4) {
    const uint32_t e = Le32(s + at);
    if (e == 0 || e == kFatEndOfChain || e == kFatBad) continue;
    if (e < kFirstCluster || (maxCluster && e >= maxCluster)) return false;
  }
  return true;
}

namespace {

// Sector `at` from the chunk, or read into `spare`; null when neither.
const uint8_t* SectorAt(Drive* drive, int64_t at, const uint8_t* chunk, int64_t chunkStart, uint32_t chunkSectors,
                        uint32_t sectorBytes, uint8_t* spare) {
  if (at < 0) return nullptr;
  if (chunk && at >= chunkStart && at < chunkStart + int64_t(chunkSectors))
    return chunk + size_t(at - chunkStart) * sectorBytes;
  if (!drive || !ReadSectorsWaited(*drive, at, sectorBytes, spare)) return nullptr;
  return spare;
}

}  // namespace

int64_t LocateExFATVolume(Drive* drive, int64_t v, const uint8_t* chunk, int64_t chunkStart, uint32_t chunkSectors,
                          uint32_t sectorBytes) {
  if (v < 0 || sectorBytes < 512) return -1;
  std::unique_ptr<uint8_t[]> spare(new (std::nothrow) uint8_t[sectorBytes]);
  if (!spare) return -1;
  const uint8_t* s = SectorAt(drive, v, chunk, chunkStart, chunkSectors, sectorBytes, spare.get());
  if (!s) return -1;
  const ExFatBoot boot = ReadExFatBoot(s);
  uint8_t own[kBootComparedBytes];
  memcpy(own, s, sizeof own);
  // 1. The boot sector says where its partition starts.
  const bool hasBefore = v >= kBackupBootSector;
  if (boot.partitionOffset == uint64_t(v)) return v;
  if (hasBefore && boot.partitionOffset == uint64_t(v - kBackupBootSector)) return v - kBackupBootSector;
  // 2. The other copy of the boot region, 12 sectors away.
  if (const uint8_t* after =
          SectorAt(drive, v + kBackupBootSector, chunk, chunkStart, chunkSectors, sectorBytes, spare.get());
      after && memcmp(after, own, sizeof own) == 0)
    return v;
  if (hasBefore) {
    if (const uint8_t* before =
            SectorAt(drive, v - kBackupBootSector, chunk, chunkStart, chunkSectors, sectorBytes, spare.get());
        before && memcmp(before, own, sizeof own) == 0)
      return v - kBackupBootSector;
  }
  // 3. The allocation table, as far from the start as the boot sector says.
  const uint32_t maxCluster = boot.clusterCount + kFirstCluster;
  for (const int64_t start : {v, v - kBackupBootSector}) {
    if (start < 0) continue;
    const uint8_t* fat =
        SectorAt(drive, start + int64_t(boot.fatOffset), chunk, chunkStart, chunkSectors, sectorBytes, spare.get());
    if (fat && IsExFatTableStart(fat, sectorBytes, maxCluster)) return start;
  }
  // 4. The usual partition starts.
  if (v == 63 || v == 75) return 63;
  if (v == 2048 || v == 2060) return 2048;
  return -1;
}
