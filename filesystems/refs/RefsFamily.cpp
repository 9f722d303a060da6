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
    {kSectRefs, nullptr, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "refs";
  f.types[0] = kVolRefs;
  f.typeCount = 1;
  f.nodeFamily = kNodeRefs;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsRefsRoot;
  f.locate = LocateRefs;
  f.readNodeClusters = ReadClustersThroughExtents;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterRefsFamily() { RegisterVolumeFamily(kFamily); }
