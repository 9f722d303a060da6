#include "ui/core/VolumeRows.h"

#include "volumes/Volume.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/ntfs/NtfsVolume.h"

std::optional<int64_t> ReadVolumeRow(const CVol& volume, int row) {
  if (const auto* n = dynamic_cast<const NTFSVol*>(&volume)) {
    if (volume.sectorsPerCluster == 0 || volume.clusterSize < volume.sectorSize) return std::nullopt;
    if (row == 0) return n->mftSector / int64_t(volume.sectorsPerCluster);
    if (row == 1) return n->mirrorSector / int64_t(volume.sectorsPerCluster);
  }
  return std::nullopt;
}

void WriteNtfsRows(CVol& volume, int64_t mftSector, int64_t mirrorSector) {
  if (auto* n = dynamic_cast<NTFSVol*>(&volume)) {
    n->mftSector = mftSector;
    n->mirrorSector = mirrorSector;
    if (volume.sectorsPerCluster) {
      n->mftCluster = uint64_t(mftSector) / volume.sectorsPerCluster;
      n->mirrorCluster = uint64_t(mirrorSector) / volume.sectorsPerCluster;
    }
  }
}

bool BuildFatBootSector(uint8_t* buffer, uint8_t type, uint32_t sectorsPerCluster, uint32_t reserved,
                        uint32_t rootEntries, uint32_t fatSize, uint32_t totalSectors, uint32_t sectorSize) {
  return BuildFATBootSector(buffer, type, sectorsPerCluster, reserved, rootEntries, fatSize, totalSectors, sectorSize);
}
