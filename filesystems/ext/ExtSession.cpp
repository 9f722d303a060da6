#include "filesystems/ext/ExtSession.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/SuperBlock.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ext/UnixVolume.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

namespace {

// Node flags of the tail's first number.
constexpr int64_t kTailExtents = 1, kTailInline = 2, kTailSizeRebuilt = 4;
// The longest block list a node keeps (UFS2: 15 pointers of 8 bytes), and
// the most inline data it keeps (its list's 8-bit length).
constexpr size_t kMaxListBytes = 120;
constexpr size_t kMaxInlineBytes = 255;

// What the tail does not hold comes from the superblock when the source is
// there and the superblock is this volume's: descriptor size and place,
// checksums and the free counts. Without it the volume keeps 32-byte
// descriptors behind the primary superblock (file data reads need none of
// these; only inode reads do).
void TakeFromSuperBlock(CUnixVol& v) {
  Drive* d = v.drive;
  if (!d || !d->SectorSize() || d->SectorSize() > kSuperBlockOffset) return;
  std::vector<uint8_t> s(kSuperBlockOffset);
  const int64_t at = int64_t(v.startSector) + kSuperBlockOffset / d->SectorSize();
  if (!ReadSectorsWaited(*d, at, kSuperBlockOffset, s.data()) || IsExt3SuperBlock(s.data()) != 0) return;
  const ExtSuperBlock sb = ParseExtSuperBlock(s.data());
  if (sb.BlockSize() != v.clusterSize || sb.inodesPerGroup != v.inodesPerGroup ||
      sb.blocksPerGroup != v.blocksPerGroup || sb.inodeSize != v.inodeSize)
    return;
  v.descShift = (sb.incompat & kIncompat64Bit) ? kGdLargeShift : kGdSmallShift;
  v.checksums = (sb.roCompat & kRoCompatMetadataCsum) != 0;
  v.inodeCount = sb.inodeCount;
  v.freeInodes = sb.freeInodes;
  v.freeBlocks = sb.freeBlocks;
  if (auto* e = dynamic_cast<CExt3Vol*>(&v)) {
    e->firstMetaBg = (sb.incompat & kIncompatMetaBg) ? sb.firstMetaBg : UINT64_MAX;
    e->firstDataBlock = sb.firstDataBlock;
    e->sparseSuper = (sb.roCompat & kRoCompatSparseSuper) != 0;
    e->flavour = sb.Flavour();
  }
}

}  // namespace

// Inodes per group, fragment size, blocks per group, inode size.
void ExtWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CUnixVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  tail.numbers = {v->inodesPerGroup, v->fragmentSize ? v->fragmentSize : v->clusterSize, int64_t(v->blocksPerGroup),
                  v->inodeSize};
}

bool ExtReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CUnixVol*>(&volume);
  if (!v || tail.numbers.size() != 4) return false;
  for (int64_t n : tail.numbers)
    if (n <= 0 || n > int64_t(UINT32_MAX)) return false;
  const uint64_t fragment = uint64_t(tail.numbers[1]);
  // Fragments are whole sectors inside a block.
  if (fragment < v->sectorSize || fragment > v->clusterSize || v->clusterSize % fragment || fragment % v->sectorSize ||
      (fragment & (fragment - 1)) || v->clusterShift < v->sectorShift)
    return false;
  v->inodesPerGroup = uint32_t(tail.numbers[0]);
  v->fragmentSize = uint32_t(fragment);
  v->fragsPerBlock = uint32_t(v->clusterSize / fragment);
  v->fragsPerBlockShift = 0;
  while ((1u << v->fragsPerBlockShift) < v->fragsPerBlock) v->fragsPerBlockShift++;
  v->blocksPerGroup = uint64_t(tail.numbers[2]);
  v->inodeSize = uint32_t(tail.numbers[3]);
  // Blocks and groups as the volume's size gives them (a 1 KiB-block
  // volume's groups count from block 1).
  v->totalBlocks = v->sizeSectors >> (v->clusterShift - v->sectorShift);
  const uint64_t first = v->clusterSize == 1024 ? 1 : 0;
  v->groupCount = v->totalBlocks > first ? (v->totalBlocks - first + v->blocksPerGroup - 1) / v->blocksPerGroup : 0;
  const uint64_t inodes = v->groupCount * v->inodesPerGroup;
  if (!v->groupCount || inodes > UINT32_MAX) return false;
  v->inodeCount = uint32_t(inodes);
  v->descShift = kGdSmallShift;
  v->descTableBlock = v->clusterSize > 1024 ? 1 : 2;
  if (auto* e = dynamic_cast<CExt3Vol*>(v)) e->firstDataBlock = uint32_t(first);
  v->InitBlockMapLevels(v->pointerBytes);
  if (!v->InitInodeGeometry()) return false;
  if (!v->AllocBuffers()) return false;
  TakeFromSuperBlock(*v);
  v->descPerBlockShift = v->clusterShift - v->descShift;
  return true;
}

void ExtWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const UnixNode&>(node);
  out.Number((n.extents ? kTailExtents : 0) | (n.inlineData ? kTailInline : 0) |
             (n.sizeRebuilt ? kTailSizeRebuilt : 0));
  out.Number(n.modifyTime);
  out.EndLine();
  out.Runs(n.List(), n.listLength);
}

void ExtReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<UnixNode&>(node);
  const int64_t flags = in.Number();
  const int64_t time = in.Number();
  if (flags < 0 || flags > 7 || time < 0 || time > int64_t(UINT32_MAX)) in.Fail();
  in.SkipLine();
  n.extents = (flags & kTailExtents) != 0;
  n.inlineData = (flags & kTailInline) != 0;
  n.sizeRebuilt = (flags & kTailSizeRebuilt) != 0;
  n.modifyTime = uint32_t(time);
  const std::vector<uint8_t> list = in.Runs();
  if (list.size() > (n.inlineData ? kMaxInlineBytes : kMaxListBytes)) in.Fail();
  // Lists are whole pointers or extent entries: anything else is no list.
  // Inline data is the file's bytes as they are, of any length.
  if (list.empty() || (!n.inlineData && list.size() % 4)) return;
  if (!n.SetList(list.data(), uint8_t(list.size()))) ShowErrorAndThrow();
}
