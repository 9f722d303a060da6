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
    {kSectZfsUberblock, IsUberblockKind, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "zfs";
  f.types[0] = kVolZfs;
  f.typeCount = 1;
  f.nodeFamily = kNodeZfs;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsZfsRoot;
  f.probe = ProbeZfs;
  f.locate = LocateZfs;
  f.walkFolders = kWalkInQuickScan | kWalkInLongScan;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterZfsFamily() { RegisterVolumeFamily(kFamily); }
