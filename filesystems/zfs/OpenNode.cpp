#include "filesystems/zfs/OpenNode.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/zfs/BlockPointer.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/Trace.h"

using namespace zfs;

bool ZfsOpenNode::Load(const uint8_t* dnode, bool allowHole) {
  if (!ZFSIsValidDnode(dnode, allowHole)) return false;
  std::memcpy(raw_, dnode, kDnodeBytes);
  d_ = ParseZfsDnode(raw_);
  shift_ = d_.indBlkShift - kBlkPtrShift;
  mask_ = (uint64_t(1) << shift_) - 1;
  for (Level& l : levels_) l = Level{};
  ownId_ = UINT64_MAX;
  return true;
}

uint64_t ZfsOpenNode::SpanBytes() const {
  const uint64_t blocks = d_.maxBlkId + 1;
  if (blocks == 0 || blocks > UINT64_MAX / d_.dataBlockBytes) return 0;
  return blocks * d_.dataBlockBytes;
}

uint64_t ZfsOpenNode::ObjectCount() const {
  const uint64_t perBlock = d_.dataBlockBytes >> kDnodeShift;
  const uint64_t blocks = std::min(d_.maxBlkId + 1, d_.ReachableBlocks());
  return blocks && perBlock && blocks <= UINT64_MAX / perBlock ? blocks * perBlock : 0;
}

const uint8_t* ZfsOpenNode::PointerAt(int level, uint64_t id, bool* unverified) {
  const int top = d_.levels - 1;
  if (level == top) {
    // The dnode's own pointers: only as many as it has.
    if (id >= d_.blkPtrCount) return nullptr;
    return raw_ + kDnBlkPtrs + id * kBlkPtrBytes;
  }
  Level& above = levels_[level + 1];
  const uint64_t parent = id >> shift_;
  if (above.id != parent) {
    above.id = UINT64_MAX;
    bool up = false;
    const uint8_t* p = PointerAt(level + 1, parent, &up);
    if (!p) return nullptr;
    const size_t bytes = size_t(1) << d_.indBlkShift;
    try {
      above.block.resize(bytes);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    const int check = ZFSBlkPtrCheck(p, volume_->sizeSectors, volume_->sectorSize);
    if (check == kBpInvalid) {
      if (traceZfs) TracePrintfA("******** DnodeBlkPtrLvlGet: ZFSBlkPtrCheck error\n");
      return nullptr;
    }
    int r = kZfsReadHole;
    if (check == kBpValid) {
      // An indirect block is exactly the size the dnode gives its level.
      if (ParseZfsBlockPointer(p).lsize != bytes) return nullptr;
      r = volume_->BlkPtrDvaRead(p, above.block.data(), bytes);
      if (r == kZfsReadFailed) return nullptr;
    } else {
      std::memset(above.block.data(), 0, bytes);
    }
    above.unverified = up || r == kZfsReadUnverified;
    above.id = parent;
  }
  if (above.unverified && unverified) *unverified = true;
  return above.block.data() + (id & mask_) * kBlkPtrBytes;
}

bool ZfsOpenNode::PointerFor(uint64_t id, uint8_t* copy, bool* unverified) {
  if (id > d_.maxBlkId) return false;
  // The top level's index must name one of the dnode's pointers.
  const unsigned bits = unsigned(shift_) * unsigned(d_.levels - 1);
  if (bits < 64 && (id >> bits) >= d_.blkPtrCount) return false;
  const uint8_t* p = PointerAt(0, id, unverified);
  if (!p) {
    if (traceZfs) TracePrintfA(" *** ZFSVBNRead: DnodeDVAGet error.  vbn: %I64d\n", int64_t(id));
    return false;
  }
  std::memcpy(copy, p, kBlkPtrBytes);
  return true;
}

// A data block's result from its pointer's: the room past a shorter block
// zeroed, and what was read through an unconfirmed indirect block counted
// as unconfirmed.
int ZfsOpenNode::Finish(const uint8_t* pointer, int r, bool unverified, uint8_t* out) {
  const uint32_t bytes = d_.dataBlockBytes;
  if (r == kZfsReadFailed) {
    if (traceZfs) TracePrintfA("*** ZFSVBNRead: BlkPtrDvaRead error.  TBD\n");
    return kZfsReadFailed;
  }
  if (r == kZfsReadHole) {
    std::memset(out, 0, bytes);
  } else {
    const uint32_t lsize = ParseZfsBlockPointer(pointer).lsize;
    if (lsize < bytes) std::memset(out + lsize, 0, bytes - lsize);
  }
  return unverified ? kZfsReadUnverified : r;
}

int ZfsOpenNode::ReadBlock(uint64_t id, uint8_t* out) {
  uint8_t p[kBlkPtrBytes];
  bool unverified = false;
  if (!out || !PointerFor(id, p, &unverified)) return kZfsReadFailed;
  if (ZFSBlkPtrCheck(p, volume_->sizeSectors, volume_->sectorSize) == kBpInvalid) {
    if (traceZfs) TracePrintfA("*** ZFSVBNRead: ZFSBlkPtrCheck error, vbn: %I64d\n", int64_t(id));
    return kZfsReadFailed;
  }
  return Finish(p, volume_->BlkPtrDvaRead(p, out, d_.dataBlockBytes), unverified, out);
}

int ZfsOpenNode::ReadBlocks(uint64_t id, size_t count, uint8_t* out, int* results) {
  constexpr size_t kMax = 8;
  uint8_t pointers[kMax][kBlkPtrBytes];
  const uint8_t* p[kMax];
  uint8_t* outs[kMax];
  bool unverified[kMax] = {};
  size_t n = 0;
  for (; n < count && n < kMax; ++n) {
    if (!PointerFor(id + n, pointers[n], &unverified[n])) break;
    p[n] = pointers[n];
    outs[n] = out + n * d_.dataBlockBytes;
  }
  if (n == 0) return 0;
  volume_->ReadBlocks(p, outs, n, d_.dataBlockBytes, results);
  for (size_t k = 0; k < n; ++k) results[k] = Finish(p[k], results[k], unverified[k], outs[k]);
  return int(n);
}

bool ZfsOpenNode::ReadDnode(uint64_t object, uint8_t* out) {
  const uint64_t perBlock = d_.dataBlockBytes >> kDnodeShift;
  if (!perBlock || object >= ObjectCount()) return false;
  const uint64_t block = object / perBlock;
  if (ownId_ != block) {
    ownId_ = UINT64_MAX;
    try {
      own_.resize(d_.dataBlockBytes);
    } catch (const std::bad_alloc&) {
      return false;
    }
    ownResult_ = ReadBlock(block, own_.data());
    if (ownResult_ == kZfsReadFailed) return false;
    ownId_ = block;
  }
  std::memcpy(out, own_.data() + (object % perBlock) * kDnodeBytes, kDnodeBytes);
  return true;
}

int64_t ZfsOpenNode::Read(uint64_t offset, size_t count, uint64_t end, uint8_t* buffer, ZfsReadMode mode,
                          uint32_t* bad) {
  if (offset >= end) {
    if (traceZfs) TracePrintfA("\n*** Read beyond file size: %I64d <= %I64d\n", int64_t(end), int64_t(offset));
    return 0;
  }
  const size_t n = size_t(std::min<uint64_t>(count, end - offset));
  const uint32_t bs = d_.dataBlockBytes;
  size_t done = 0;
  while (done < n) {
    const uint64_t at = offset + done;
    const uint64_t id = at / bs;
    const size_t within = size_t(at % bs);
    const size_t take = std::min<size_t>(bs - within, n - done);
    uint8_t* into = buffer + done;
    int r = kZfsReadHole;
    if (id > d_.maxBlkId) {
      std::memset(into, 0, take);  // past the highest block: a sparse tail
    } else if (within == 0 && take == bs) {
      // Whole blocks, several at a time (their copies often lie end to end).
      int results[8];
      const size_t whole = std::min<uint64_t>((n - done) / bs, d_.maxBlkId - id + 1);
      const int got = ReadBlocks(id, whole, into, results);
      if (got <= 0) {
        r = kZfsReadFailed;
      } else {
        for (int k = 0; k + 1 < got; ++k) {
          const int rk = results[k];
          if (rk == kZfsReadFailed || rk == kZfsReadUnverified) {
            if (mode == ZfsReadMode::kStrict && rk == kZfsReadFailed) return int64_t(done);
            if (rk == kZfsReadFailed) std::memset(into + size_t(k) * bs, 0, bs);
            if (bad) ++*bad;
          }
          done += bs;
        }
        into = buffer + done;
        r = results[got - 1];
      }
    } else {
      if (ownId_ != id) {
        ownId_ = UINT64_MAX;
        try {
          own_.resize(bs);
        } catch (const std::bad_alloc&) {
          return done ? int64_t(done) : -1;
        }
        ownResult_ = ReadBlock(id, own_.data());
        if (ownResult_ != kZfsReadFailed) ownId_ = id;
      }
      r = ownId_ == id ? ownResult_ : kZfsReadFailed;
      if (r != kZfsReadFailed) std::memcpy(into, own_.data() + within, take);
    }
    if (r == kZfsReadFailed || r == kZfsReadUnverified) {
      if (mode == ZfsReadMode::kStrict && r == kZfsReadFailed) return done ? int64_t(done) : -1;
      if (r == kZfsReadFailed) {
        if (traceZfs) TracePrintfA("*** ZFSVBNRead: If corrupted DVA, return buf of zeros.  vbn: %I64d\n", int64_t(id));
        std::memset(into, 0, take);
      }
      if (bad) ++*bad;
    }
    done += take;
  }
  return int64_t(done);
}
