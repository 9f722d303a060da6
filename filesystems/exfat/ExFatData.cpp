#include "filesystems/exfat/ExFatData.h"

#include <algorithm>
#include <cstring>

#include "filesystems/exfat/ExFatVolume.h"
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

bool BuildExFatExtents(CVol& volume, const cnode* node, const void*, uint32_t*) {
  return node && MapRuns(volume, node->RunBuffer(), node->size);
}

bool PrepareExFatNode(CVol* volume, const cnode* node) {
  if (!volume || volume->type != kVolExFat || !node) return false;
  auto* v = static_cast<CExFATVol*>(volume);
  if (node->RunBuffer() || node->Family() != kNodeExFat) return MapRuns(*v, node->RunBuffer(), node->size);
  // The chain of a node listed without runs, on a copy (the node is the
  // engine's).
  ExFatNode copy;
  if (!copy.CopyNode(node) || !SetExFatNodeRuns(v, &copy)) return false;
  return MapRuns(*v, copy.RunBuffer(), copy.size);
}

int64_t ReadExFatNodeData(CVol* v, const cnode*, uint64_t offset, uint8_t* buffer, size_t capacity) {
  if (!v || !v->extents) return -1;
  return ReadExFatBytes(*v, *v->extents, offset, buffer, capacity);
}

int64_t ReadExFatBytes(CVol& volume, CExtents& map, uint64_t offset, uint8_t* buffer, size_t capacity) {
  CVol* v = &volume;
  CExtents* e = &map;
  if (!buffer || e->clusterShift != v->clusterShift) return -1;
  const uint32_t shift = v->clusterShift;
  const uint64_t mask = (uint64_t(1) << shift) - 1;
  // One request's byte count is 32-bit.
  capacity = std::min<size_t>(capacity, 0x40000000);
  size_t done = 0;
  while (done < capacity) {
    const uint64_t at = offset + done;
    if (at < offset) break;
    const uint64_t within = at & mask;
    uint64_t left = 0, next = 0;
    const uint64_t lcn = e->VcnToLcn(at >> shift, &left, &next);
    const uint64_t clusters = left ? left : next;
    if (clusters == 0) break;  // past the mapping
    const uint64_t span = clusters > (UINT64_MAX >> shift) ? UINT64_MAX : (clusters << shift) - within;
    const size_t n = size_t(std::min<uint64_t>(span, capacity - done));
    if (!left) {
      std::memset(buffer + done, 0, n);
    } else if (lcn > uint64_t(INT64_MAX) || !v->ReadClusterBytes(buffer + done, int64_t(lcn), within, uint32_t(n))) {
      return done ? int64_t(done) : -1;
    }
    done += n;
  }
  return done ? int64_t(done) : -1;
}
