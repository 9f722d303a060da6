#include "filesystems/vmfs/VmfsSession.h"

#include "filesystems/vmfs/Definitions.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "filesystems/vmfs/VmfsVolume.h"

using namespace vmfs;

// The version byte and the file block size; the readers are loaded again
// from the resource nodes when a file is first mapped.
void VmfsWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CVMFSVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  tail.numbers = {v->version, v->blockSize};
}

bool VmfsReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CVMFSVol*>(&volume);
  if (!v || tail.numbers.size() != 2 || v->clusterSize != kClusterBytes) return false;
  if (tail.numbers[0] < 1 || tail.numbers[0] >= kVersionSix) return false;
  if (tail.numbers[1] < 0 || tail.numbers[1] > int64_t(UINT32_MAX) || !v->SetBlockSize(uint32_t(tail.numbers[1])))
    return false;
  v->version = uint8_t(tail.numbers[0]);
  v->resourcesLoaded = false;
  return true;
}

// Change and modification times, type, addressing mode, the word at 584
// and the resource kind; then the descriptor's address (the node's id),
// without which a loaded file could not be read again.
void VmfsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const VmfsNode&>(node);
  for (uint32_t value : {n.changeTime, n.modifyTime, n.type, n.mode, n.word584, n.resource, n.id})
    out.Number(int64_t(value));
  out.EndLine();
}

void VmfsReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<VmfsNode&>(node);
  uint32_t v[7];
  for (uint32_t& x : v) {
    const int64_t k = in.Number();
    if (k < 0 || k > int64_t(UINT32_MAX)) in.Fail();
    x = uint32_t(k);
  }
  in.SkipLine();
  n.changeTime = v[0];
  n.modifyTime = v[1];
  n.type = v[2];
  n.mode = v[3];
  n.word584 = v[4];
  n.resource = v[5];
  n.id = v[6];
}
