#include "filesystems/exfat/ExFatData.h"

#include <algorithm>
#include <cstring>

#include "filesystems/exfat/ExFatVolume.h"
#include "volumes/ClusterWindow.h"
#include "volumes/Extents.h"

namespace {

bool MapRuns(CVol& v, const uint8_t* runs, uint64_t size) {
  CExtents* e = v.CreateExtents();
  return e && MapExFatRuns(v, runs, size, *e);
}

}  // namespace

bool MapExFatRuns(const CVol& v, const uint8_t* runs, uint64_t size, CExtents& map) {
  CExtents* e = &map;
  e->SetSectorSize(v.sectorSize);
  if (!e->SetClusterSize(v.clusterSize)) return false;
  e->Reset();
  // exFAT files have no holes: the map holds what the runs hold, never a
  // size past them.
  (void)size;
  return !runs || e->BuildVCNMappingTable(runs) >= 0;
}

bool MapExFatNode(CVol& volume, const cnode& node, const void*, uint32_t*) {
  if (volume.type != kVolExFat) return false;
  auto* v = static_cast<CExFATVol*>(&volume);
  if (node.RunBuffer() || node.Family() != kNodeExFat) return MapRuns(*v, node.RunBuffer(), node.size);
  // The chain of a node listed without runs, on a copy (the node is the
  // engine's).
  ExFatNode copy;
  if (!copy.CopyNode(&node) || !SetExFatNodeRuns(v, &copy)) return false;
  return MapRuns(*v, copy.RunBuffer(), copy.size);
}

int64_t ReadExFatNodeData(CVol& v, const cnode&, uint64_t offset, uint8_t* buffer, size_t capacity) {
  if (!v.extents || v.type != kVolExFat) return -1;
  auto* x = static_cast<CExFATVol*>(&v);
  if (!x->window) x->window = std::make_unique<ClusterWindow>();
  return ReadExtentsThroughWindow(*x, *x->extents, x->window.get(), uint64_t(x->clusterCount) + 2, offset, buffer,
                                  capacity);
}

int64_t ReadExFatBytes(CVol& volume, CExtents& map, uint64_t offset, uint8_t* buffer, size_t capacity) {
  return ReadExtentsThroughWindow(volume, map, nullptr, 0, offset, buffer, capacity);
}
