#include "filesystems/xfs/BlockMap.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Inode.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

namespace xfs {

XfsExtent DecodeXfsExtent(const uint8_t* p) {
  const uint64_t w0 = GetBigEndian64(p, 8), w1 = GetBigEndian64(p + 8, 8);
  XfsExtent e;
  e.unwritten = (w0 & kExtentUnwritten) != 0;
  e.logical = (w0 >> kExtentOffsetShift) & kExtentOffsetMask;
  e.block = ((w0 & kExtentBlockHighMask) << kExtentBlockHighShift) | (w1 >> kExtentBlockLowShift);
  e.count = w1 & kExtentCountMask;
  return e;
}

size_t XfsBmapHeader::MaxRecords(size_t blockBytes) const {
  return blockBytes > headerBytes ? (blockBytes - headerBytes) / (kBmapKeyBytes + kBmapPointerBytes) : 0;
}

XfsBmapHeader ParseXfsBmapHeader(const uint8_t* b) {
  XfsBmapHeader h;
  h.magic = GetBigEndian(b, 4);
  if (h.magic == kBmapMagic) h.headerBytes = kBmapHeaderBytes;
  else if (h.magic == kBmap3Magic) h.headerBytes = kBmap3HeaderBytes;
  else return h;
  h.level = GetBigEndian16(b + kBmapLevel);
  h.count = GetBigEndian16(b + kBmapCount);
  h.left = GetBigEndian64(b + kBmapLeftSibling, 8);
  h.right = GetBigEndian64(b + kBmapRightSibling, 8);
  return h;
}

namespace {

class Walk {
 public:
  Walk(XfsBlockReader& io, bool ignore, RunArray& runs) : io_(io), ignore_(ignore), runs_(runs) {}

  // Extent records into runs; false when one does not convert.
  bool AddExtents(const uint8_t* records, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const XfsExtent e = DecodeXfsExtent(records + i * kExtentBytes);
      if (!e.count) continue;
      const uint64_t start = io_.VolumeBlock(e.block);
      if (!start) return false;
      ExtentRun r;
      r.vcn = e.logical;
      r.lcn = start;
      r.lcnEnd = start + e.count;
      runs_.push_back(r);
    }
    return true;
  }

  // The children of an interior node: `count` keys at `keys`, pointers at
  // `pointers`, each child one level below `level`.
  bool Children(const uint8_t* keys, const uint8_t* pointers, size_t count, uint16_t level) {
    uint64_t lastKey = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint64_t key = GetBigEndian64(keys + i * kBmapKeyBytes, 8);
      if (i && key < lastKey) {
        ErrorMsg(u"Invalid XFS B-tree");
        return false;
      }
      lastKey = key;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint64_t child = GetBigEndian64(pointers + i * kBmapPointerBytes, 8);
      if (!Child(child, uint16_t(level - 1)) && !ignore_) return false;
    }
    return true;
  }

 private:
  bool Child(uint64_t fsblock, uint16_t level) {
    // A block met twice is a cycle (or a tree that shares blocks): once.
    if (!seen_.insert(fsblock).second) {
      ErrorMsg(u"Invalid XFS B-tree");
      return false;
    }
    const uint32_t bs = io_.BlockBytes();
    std::unique_ptr<uint8_t[]> block(new uint8_t[bs]());
    if (!io_.ReadFsBlock(fsblock, block.get())) {
      TracePrintfA("ReadClusters error\n");
      if (!ignore_) return false;
      std::fill(block.get(), block.get() + bs, uint8_t(0));
    }
    const XfsBmapHeader h = ParseXfsBmapHeader(block.get());
    if (!h.headerBytes) {
      ErrorMsg(u"Invalid XFS BMAP");
      return false;
    }
    if (h.left == 0 || h.right == 0 || h.level != level) {
      ErrorMsg(u"Invalid XFS BMAP");
      return false;
    }
    if (h.count == 0) return true;
    const size_t max = h.MaxRecords(bs);
    // A count the block cannot hold gives nothing.
    if (h.count > max) return true;
    if (const uint64_t at = io_.VolumeBlock(fsblock)) io_.UsedMapBlock(at);
    const uint8_t* b = block.get();
    if (h.level == 0) return AddExtents(b + h.headerBytes, h.count);
    return Children(b + h.headerBytes, b + h.headerBytes + max * kBmapKeyBytes, h.count, h.level);
  }

  XfsBlockReader& io_;
  bool ignore_;
  RunArray& runs_;
  std::unordered_set<uint64_t> seen_;
};

}  // namespace

XfsForkResult XfsInodeGetRuns(const uint8_t* inode, uint32_t inodeSize, const XfsInodeCore& core, XfsBlockReader& io,
                              bool ignoreMissingBmap) {
  XfsForkResult out;
  if (!inode || !core.Valid()) return out;
  out.forkStart = core.ForkStart();
  const int64_t fork = XfsForkBytes(core, inodeSize);
  if (core.size == 0) {
    out.ok = true;
    return out;
  }
  switch (core.format) {
    case kFormatLocal:
      if (fork < 0) return out;
      out.forkBytes = size_t(fork);
      // A folder's shortform entries, or a link short enough for the fork.
      if (!core.IsDirectory() && !(core.IsSymlink() && core.size <= uint64_t(fork))) return out;
      out.local = true;
      out.ok = true;
      return out;
    case kFormatExtents: {
      if (fork < 0) return out;
      out.forkBytes = size_t(fork);
      if (core.extentCount == 0 || core.extentCount > uint64_t(fork) / kExtentBytes) return out;
      Walk walk(io, ignoreMissingBmap, out.runs);
      if (!walk.AddExtents(inode + out.forkStart, core.extentCount)) return out;
      break;
    }
    case kFormatBtree: {
      if (fork < int64_t(kBmapRootHeaderBytes)) return out;
      out.forkBytes = size_t(fork);
      const uint8_t* root = inode + out.forkStart;
      const uint16_t level = GetBigEndian16(root + kBmapRootLevel);
      const uint16_t count = GetBigEndian16(root + kBmapRootCount);
      const size_t m = (size_t(fork) - kBmapRootHeaderBytes) / (kBmapKeyBytes + kBmapPointerBytes);
      if (count == 0 || count > m || level == 0 || level > kBmapMaxLevel) {
        ErrorMsg(u"Invalid XFS B-tree");
        return out;
      }
      Walk walk(io, ignoreMissingBmap, out.runs);
      const uint8_t* keys = root + kBmapRootHeaderBytes;
      if (!walk.Children(keys, keys + m * kBmapKeyBytes, count, level)) return out;
      break;
    }
    default: ErrorMsg(u"Invalid XFS di_format"); return out;
  }
  if (!out.runs.empty() && !ValidateRuns(out.runs.data(), out.runs.size(), io.TotalBlocks())) {
    if (!ignoreMissingBmap) {
      out.runs.clear();
      return out;
    }
    if (PruneRuns(out.runs, io.TotalBlocks()) == 0) return out;
  }
  out.ok = true;
  return out;
}

}  // namespace xfs
