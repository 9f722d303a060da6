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
    {kSectXfsSuper, nullptr, nullptr, 70},
    {kSectXfsAgHeader, nullptr, nullptr, 80},
    {kSectXfsInode, nullptr, nullptr, 140},
};

const FamilyType kTypes[] = {
    {.code = kVolXfs,
     .name = u"XFS",
     .dialog = {.rowMessages = {585, 586, 587, 588}, .rowsReadOnly = true, .blockLabelled = true}},
};

const FamilyVolumeOps kVolume = {.isRootId = IsXfsRoot};

const FamilySearchOps kSearch = {.locate = LocateXfs};

const FamilyScanOps kScans = {.walkFolders = kWalkInQuickScan | kWalkInLongScan, .sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "xfs",
    .types = kTypes,
    .nodeFamily = kNodeXfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
};

}  // namespace

void RegisterXfsFamily() { RegisterVolumeFamily(kFamily); }
