#include "filesystems/ext/BlockBitmap.h"

#include <algorithm>
#include <memory>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/ExtentTree.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"
#include "volumes/Node.h"

using namespace ext;

namespace {

// Blocks of a file judged: past this many the first ones have told.
constexpr uint64_t kMaxBlocksJudged = 1u << 20;

bool ReadOneBlock(CExt3Vol& v, uint64_t block, uint8_t* out) {
  uint32_t got = 0;
  return block < v.totalBlocks && v.ReadClusters(out, int64_t(block), 1, v.clusterSize, v.clusterSize, &got) &&
         got == 1;
}

}  // namespace

const uint8_t* ExtBlockBitmap::GroupBitmap(CExt3Vol& v, uint64_t group, bool* allFree) {
  for (const Held& h : held_) {
    if (h.group != int64_t(group)) continue;
    *allFree = h.allFree;
    return h.allFree ? nullptr : h.bits.data();
  }
  const uint64_t descBlock = v.DescriptorBlock(group >> v.descPerBlockShift);
  if (int64_t(descBlock) != descBlock_) {
    desc_.resize(v.clusterSize);
    descBlock_ = -1;
    if (!ReadOneBlock(v, descBlock, desc_.data())) return nullptr;
    descBlock_ = int64_t(descBlock);
  }
  const uint64_t mask = (uint64_t(1) << v.descPerBlockShift) - 1;
  const uint8_t* d = desc_.data() + ((group & mask) << v.descShift);
  Held& h = held_[next_];
  next_ = (next_ + 1) % kHeld;
  h.group = -1;
  h.allFree = (Le16(d + kGdFlags) & kGdBlockUninit) != 0;
  if (!h.allFree) {
    uint64_t bitmap = Le32(d + kGdBlockBitmap);
    if (v.descShift >= kGdLargeShift) bitmap |= uint64_t(Le32(d + kGdBlockBitmapHigh)) << 32;
    h.bits.resize(v.clusterSize);
    if (!ReadOneBlock(v, bitmap, h.bits.data())) return nullptr;
  }
  h.group = int64_t(group);
  *allFree = h.allFree;
  return h.allFree ? nullptr : h.bits.data();
}

int ExtBlockBitmap::InUse(CExt3Vol& v, uint64_t block) {
  if (!v.blocksPerGroup || block < v.firstDataBlock || block >= v.totalBlocks) return -1;
  const uint64_t at = block - v.firstDataBlock;
  const uint64_t group = at / v.blocksPerGroup, bit = at % v.blocksPerGroup;
  if (bit / 8 >= v.clusterSize) return -1;
  bool allFree = false;
  const uint8_t* bits = GroupBitmap(v, group, &allFree);
  if (allFree) return 0;
  if (!bits) return -1;
  return (bits[bit / 8] >> (bit % 8)) & 1;
}

uint16_t ExtDeletedGrade(CExt3Vol& v, const UnixNode& u) {
  if (u.inlineData) return kGradeGood;
  if (!v.blockBitmap) v.blockBitmap = std::make_unique<ExtBlockBitmap>();
  ExtBlockBitmap& bitmap = *v.blockBitmap;
  uint64_t judged = 0;
  bool poor = false;
  auto judge = [&](uint64_t first, uint64_t count) {
    for (uint64_t b = first; b < first + count && !poor && judged < kMaxBlocksJudged; ++b, ++judged)
      poor = bitmap.InUse(v, b) != 0;
  };
  if (u.extents) {
    uint8_t area[kInodeBlockAreaBytes];
    u.BlockArea(area);
    // A reader of its own: the walk is reading the folder through the
    // volume's extents.
    ExtExtentReader reader(&v);
    if (reader.SetClusterSize(v.clusterSize) && ExtLoadExtents(&reader, area, kInodeBlockAreaBytes))
      for (size_t i = 0; i < reader.RunCount() && !poor; ++i)
        if (!reader.Runs()[i].IsHole()) judge(reader.Runs()[i].lcn, reader.Runs()[i].Length());
  } else if (u.List()) {
    const uint64_t blocks = (u.size + v.clusterSize - 1) / v.clusterSize;
    for (uint64_t at = 0; at < blocks && !poor && judged < kMaxBlocksJudged;) {
      uint64_t first = 0;
      uint32_t corrupt = 0;
      const uint32_t n = v.CollectRun(u.List(), u.listLength, at, uint32_t(std::min<uint64_t>(blocks - at, 1u << 20)),
                                      &first, &corrupt);
      if (!n) break;
      if (first) judge(first, n);
      at += n;
    }
  }
  return judged && !poor ? kGradeGood : kGradePoor;
}
