#include "filesystems/exfat/ExFatData.h"

#include <algorithm>
#include <cstring>

#include "filesystems/exfat/ExFatDeleted.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "filesystems/fat/FatRuns.h"
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
  if (runs && e->BuildVCNMappingTable(runs) < 0) return false;
  e->SetTotalClusters((size + v.clusterSize - 1) >> v.clusterShift);
  return true;
}

// Clusters of its size the node's runs cannot give, or 1 for runs its
// grade says are wrong: the recovery counts the file corrupt.
uint32_t WrongClusters(const CVol& v, const cnode& node) {
  if (node.IsDirectory() || !v.clusterSize) return 0;
  const uint64_t needed = (node.size + v.clusterSize - 1) >> v.clusterShift;
  const int64_t held = node.RunBuffer() ? GetClusterCount(node.RunBuffer()) : 0;
  if (held >= 0 && uint64_t(held) < needed) return uint32_t(std::min<uint64_t>(needed - uint64_t(held), UINT32_MAX));
  const uint64_t past = ClustersPastDriveEnd(v, node.RunBuffer());
  if (past) return uint32_t(std::min<uint64_t>(past, UINT32_MAX));
  return needed && (node.flags & kNodeGradeMask) == GradeBits(kGradeCorrupt) ? 1 : 0;
}

bool MapExFatNode(CVol& volume, const cnode& node, const void*, uint32_t* corruptOut) {
  if (volume.type != kVolExFat) return false;
  auto* v = static_cast<CExFATVol*>(&volume);
  if (node.RunBuffer() || node.Family() != kNodeExFat) {
    if (corruptOut) *corruptOut = WrongClusters(*v, node);
    return MapRuns(*v, node.RunBuffer(), node.size);
  }
  // The chain of a node listed without runs, on a copy (the node is the
  // engine's); a deleted file's by the bitmap.
  ExFatNode copy;
  if (!copy.CopyNode(&node)) return false;
  if (node.flags & kNodeDeleted) GiveExFatDeletedRuns(v, &copy);
  else if (!SetExFatNodeRuns(v, &copy)) return false;
  if (corruptOut) *corruptOut = WrongClusters(*v, copy);
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
