// HFS and HFS+ until their reader arrives: the type code, the root folder's
// id, and the traits of their nodes. Their sector tests recognise nothing
// yet, so no HFS volume is found.
#include "filesystems/hfs/HfsFamily.h"

#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsHfsRoot(const CVol&, uint32_t id) { return id == 2; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitCreationTime;
  return ops;
}();

// The master directory block (looked for only with the HFS diagnostics on)
// and the HFS+ volume header.
const SectorKindEntry kSectorKinds[] = {
    {kSectHfsMdb, nullptr, nullptr},
    {kSectHfsPlus, nullptr, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "hfs";
  f.types[0] = kVolHfs;
  f.typeCount = 1;
  f.nodeFamily = kNodeHfs;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsHfsRoot;
  f.fillsPartition = true;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterHfsFamily() { RegisterVolumeFamily(kFamily); }
