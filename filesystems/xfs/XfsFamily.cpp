// XFS until its reader arrives: the type code, the root inode, the walk of
// its folders and where the volume search puts a superblock. Its sector
// tests recognise nothing yet, so no XFS volume is found.
#include "filesystems/xfs/XfsFamily.h"

#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsXfsRoot(const CVol& volume, uint32_t id) { return volume.rootNode && id == volume.rootNode->id; }

// The superblock's own place, until the XFS reader places a volume by its
// allocation groups.
void LocateXfs(BootLocate& w) { w.start = w.position; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitNoSymlinks;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectXfsSuper, nullptr, nullptr},
    {kSectXfsAgHeader, nullptr, nullptr},
    {kSectXfsInode, nullptr, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "xfs";
  f.types[0] = kVolXfs;
  f.typeCount = 1;
  f.nodeFamily = kNodeXfs;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsXfsRoot;
  f.locate = LocateXfs;
  f.readNodeClusters = ReadClustersThroughExtents;
  f.walkFolders = kWalkInQuickScan | kWalkInLongScan;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterXfsFamily() { RegisterVolumeFamily(kFamily); }
