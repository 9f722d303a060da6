#include "filesystems/ntfs/GuessVolume.h"

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

// The node family a volume type's records make; 0xFF: any.
uint8_t FamilyOfType(uint8_t type) {
  const VolumeFamily* f = FindVolumeFamily(type);
  return f ? f->nodeFamily : 0xFF;
}

bool Holds(const CVol* v, const Drive* drive, const cnode* node, uint8_t mark) {
  const bool ntfsNode = node->Family() == kNodeNtfs;
  const uint64_t position = ntfsNode ? static_cast<const snode*>(node)->position : 0;
  if (ntfsNode && position < v->startSector) return false;
  // The size the user gave the volume reaches as far as it says.
  uint64_t length = v->sizeOverride ? v->sizeOverride : v->sizeSectors;
  if (!length && v->type == kVolNtfs) length = static_cast<const NTFSVol*>(v)->totalSectors;
  if (!length && mark == kGuessUpToDriveEnd && drive && drive->SectorCount() > v->startSector)
    length = drive->SectorCount() - v->startSector;
  const uint64_t end = v->startSector + length;
  const uint32_t ss = v->sectorSize ? v->sectorSize : 512;
  // A record found in place: it must sit on the volume's record grid. A
  // $MFT fragment starts on any cluster: with clusters smaller than a
  // record the grid is the cluster's.
  if (ntfsNode && !(node->flags & kInodeCarved) && position) {
    if (v->type != kVolNtfs) return false;
    const uint32_t record = static_cast<const NTFSVol*>(v)->recordSize;
    const uint32_t grid = v->clusterSize && v->clusterSize < record ? v->clusterSize : record;
    const uint64_t offset = (position - v->startSector) * ss;
    if (!grid || offset % grid) return false;
    const uint64_t recordSectors = (record + ss - 1) / ss;
    return !length || position + recordSectors <= end;
  }
  int64_t first;
  if (ntfsNode && (node->flags & kInodeCarved)) {
    first = int64_t(position);
  } else {
    first = int64_t(v->startSector) + node->GetFirstSector(ss);
  }
  if (first < int64_t(v->startSector) || (length && uint64_t(first) >= end)) return false;
  const uint8_t family = FamilyOfType(v->type);
  if (family != 0xFF && node->Family() != family) return false;
  // NTFS clusters are whole records apart: data at an odd sector is not
  // this volume's when its records span more than one sector.
  if (v->type == kVolNtfs && ss == 512 && node->runs && ntfsNode) {
    const uint32_t record = static_cast<const NTFSVol*>(v)->recordSize;
    if (record > ss && ((uint64_t(first) - v->startSector) & 1)) return false;
  }
  return true;
}

}  // namespace

int GuessVolume(const std::vector<CVol*>& volumes, const Drive* drive, const cnode* node,
                std::vector<uint8_t>& candidates, uint32_t only) {
  if (!node) return 0;
  if (candidates.size() < volumes.size()) candidates.resize(volumes.size(), 0);
  int kept = 0;
  for (size_t i = 0; i < volumes.size(); i++) {
    if (only != kGuessAllVolumes && i != only) continue;
    if (!candidates[i]) continue;
    const CVol* v = volumes[i];
    if (!v || !Holds(v, drive, node, candidates[i])) {
      candidates[i] = 0;
      continue;
    }
    kept++;
  }
  return kept;
}
