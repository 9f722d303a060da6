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
    {kSectHfsMdb, nullptr, nullptr, 90},
    {kSectHfsPlus, nullptr, nullptr, 100},
};

const FamilyType kTypes[] = {
    {.code = kVolHfs, .name = u"HFS+", .dialog = {.bootBlockOffset = 2}},
};

const FamilyVolumeOps kVolume = {.isRootId = IsHfsRoot};

const FamilySearchOps kSearch = {.fillsPartition = true};

const FamilyScanOps kScans = {.sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "hfs",
    .types = kTypes,
    .nodeFamily = kNodeHfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
};

}  // namespace

void RegisterHfsFamily() { RegisterVolumeFamily(kFamily); }
