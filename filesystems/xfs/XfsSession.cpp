#include "filesystems/xfs/XfsSession.h"

#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsVolume.h"
#include "volumes/VolumeFamily.h"

namespace {
// Times a node may carry: bigtime reaches the year 2486.
constexpr int64_t kMaxSeconds = int64_t(1) << 40;
}  // namespace

void XfsWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CXFSVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  tail.numbers = {v->agBlocks, v->inodeSize};
}

bool XfsReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  if (!v || tail.numbers.size() != 2) return false;
  const int64_t agBlocks = tail.numbers[0], inodeSize = tail.numbers[1];
  // Values the volume cannot have are refused, never divided by.
  if (agBlocks <= 0 || agBlocks > int64_t(UINT32_MAX / 2) || inodeSize < 256 || inodeSize > 65536 ||
      (inodeSize & (inodeSize - 1)) || v->clusterSize < uint32_t(inodeSize) || v->clusterSize % uint32_t(inodeSize) ||
      v->clusterSize < v->sectorSize)
    return false;
  const uint64_t blocks = v->sizeSectors / v->sectorsPerCluster;
  if (uint64_t(agBlocks) > blocks) return false;
  v->agBlocks = uint32_t(agBlocks);
  v->inodeSize = uint32_t(inodeSize);
  v->agCount = 0;
  v->dirBlockBytes = v->clusterSize;
  if (blocks / uint64_t(agBlocks) > 65536) return false;
  return v->SetGeometry();
}

void XfsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const XfsNode&>(node);
  out.Number(int64_t(n.Inode()));
  out.Number(n.time);
  out.EndLine();
}

void XfsReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<XfsNode&>(node);
  const int64_t inode = in.Number();
  const int64_t time = in.Number();
  if (inode <= 0 || time < -kMaxSeconds || time > kMaxSeconds) in.Fail();
  in.SkipLine();
  n.SetInode(uint64_t(inode));
  n.time = time;
}
