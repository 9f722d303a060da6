#include "filesystems/ufs/UfsSession.h"

#include <bit>
#include <vector>

#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/SuperBlock.h"
#include "filesystems/ufs/UfsVolume.h"
#include "storage/Drive.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace ufs;

namespace {

// The inode table's place, UFS1's stagger and the label come from the
// superblock when the source holds this volume's.
void TakeFromSuperBlock(CUFS1Vol& v) {
  Drive* d = v.drive;
  const uint32_t ds = d ? d->SectorSize() : 0;
  if (!ds || kSuperBlockBytes % ds) return;
  std::vector<uint8_t> s(kSuperBlockBytes);
  for (uint32_t offset : {kSuperBlockUfs1, kSuperBlockUfs2, kSuperBlockPiggy}) {
    if (!v.Ufs2() && offset != kSuperBlockUfs1) break;
    if (offset % ds) continue;
    const int64_t at = int64_t(v.startSector) + offset / ds;
    if (!ReadSectorsWaited(*d, at, kSuperBlockBytes, s.data()) || !GetUFSSuperBlockType(s.data(), 0)) continue;
    const UfsSuperBlock sb = ParseUfsSuperBlock(s.data(), s.size(), false);
    const int type = sb.MagicType();
    if (type != (v.Ufs2() ? 6 : 5) || sb.blockSize != v.clusterSize || sb.fragmentSize != v.fragmentSize ||
        sb.inodesPerGroup != v.inodesPerGroup || !UfsGeometryAgrees(sb, type))
      continue;
    CUFS1Vol probe(v.type);
    if (!TakeUfsGeometry(&probe, sb, type) || probe.blocksPerGroup != v.blocksPerGroup ||
        probe.inodeSize != v.inodeSize)
      continue;
    v.inodeTableOffset = probe.inodeTableOffset;
    v.cgOffset = probe.cgOffset;
    v.staggerMask = probe.staggerMask;
    v.superBlockAt = offset;
    v.freeInodes = probe.freeInodes;
    if (v.label.empty()) v.label = probe.label;
    return;
  }
}

}  // namespace

bool UfsReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CUFS1Vol*>(&volume);
  if (!v || tail.numbers.size() != 4) return false;
  for (int64_t n : tail.numbers)
    if (n <= 0 || n > int64_t(UINT32_MAX)) return false;
  const uint64_t fragment = uint64_t(tail.numbers[1]);
  if (fragment < kMinBlock || fragment > v->clusterSize || v->clusterSize % fragment || (fragment & (fragment - 1)))
    return false;
  v->inodesPerGroup = uint32_t(tail.numbers[0]);
  v->fragmentSize = uint32_t(fragment);
  v->fragsPerBlock = uint32_t(v->clusterSize / fragment);
  v->fragsPerBlockShift = uint32_t(std::countr_zero(v->fragsPerBlock));
  v->fragmentAddressed = true;
  v->blocksPerGroup = uint64_t(tail.numbers[2]);
  v->inodeSize = uint32_t(tail.numbers[3]);
  v->totalFragments = uint64_t((unsigned __int128)v->sizeSectors * v->sectorSize / fragment);
  v->totalBlocks = (v->totalFragments + v->fragsPerBlock - 1) / v->fragsPerBlock;
  v->groupCount = (v->totalBlocks + v->blocksPerGroup - 1) / v->blocksPerGroup;
  const uint64_t inodes = v->groupCount * v->inodesPerGroup;
  if (!v->groupCount || inodes > UINT32_MAX) return false;
  v->inodeCount = uint32_t(inodes);
  v->inodeBase = 0;
  v->InitBlockMapLevels(v->Ufs2() ? 8 : 4);
  if (!v->InitInodeGeometry() || !v->AllocBuffers()) return false;
  TakeFromSuperBlock(*v);
  return true;
}
