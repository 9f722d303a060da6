// ZFS until its reader arrives: the type code, the uberblock test, one pool
// label per drive for the volume search, the walk of its folders and the
// traits of its nodes. No ZFS volume is made yet.
#include "filesystems/zfs/ZfsFamily.h"

#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsUberblock(const uint8_t* s) {
  const uint64_t v = Le64(s);
  return v == 0x00BAB10Cull || v == 0x0CB1BA0000000000ull;
}

int ProbeZfs(const uint8_t* s) { return IsUberblock(s) ? kVolZfs : 0; }

// One pool label per drive; the ZFS reader locates it.
void LocateZfs(BootLocate& w) {
  if (w.drive->zfsLabelSeen) return;
  w.drive->zfsLabelSeen = 1;
}

// Every dataset has a root of its own.
bool IsZfsRoot(const CVol&, uint32_t id) { return id != 0; }

bool IsUberblockKind(const uint8_t* s, const ClassifyContext*) { return IsUberblock(s); }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitCreationTime;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectZfsUberblock, IsUberblockKind, nullptr, 230},
};

// A pool is not made from one block the volume dialog reads.
const FamilyType kTypes[] = {
    {.code = kVolZfs, .name = u"ZFS", .dialog = {.bootBlockReadable = false}},
};

const FamilyVolumeOps kVolume = {.isRootId = IsZfsRoot};

const FamilySearchOps kSearch = {.probe = ProbeZfs, .locate = LocateZfs};

const FamilyScanOps kScans = {.walkFolders = kWalkInQuickScan | kWalkInLongScan, .sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "zfs",
    .types = kTypes,
    .nodeFamily = kNodeZfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
};

}  // namespace

void RegisterZfsFamily() { RegisterVolumeFamily(kFamily); }
