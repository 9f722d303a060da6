// ReFS until its reader arrives: the type code, the root object and the
// traits of its nodes. Its sector test recognises nothing yet.
#include "filesystems/refs/RefsFamily.h"

#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsRefsRoot(const CVol&, uint32_t id) { return id == 0x600; }

// A ReFS volume starts at its first sector.
void LocateRefs(BootLocate& w) { w.start = w.position; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitCreationTime;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectRefs, nullptr, nullptr, 190},
};

const FamilyType kTypes[] = {
    {.code = kVolRefs, .name = u"ReFS", .dialog = {.clusterLow = 65536, .clusterHigh = 65536}},
};

const FamilyVolumeOps kVolume = {.isRootId = IsRefsRoot};

const FamilySearchOps kSearch = {.locate = LocateRefs};

const FamilyScanOps kScans = {.sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "refs",
    .types = kTypes,
    .nodeFamily = kNodeRefs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
};

}  // namespace

void RegisterRefsFamily() { RegisterVolumeFamily(kFamily); }
