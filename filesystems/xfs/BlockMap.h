// An inode's data fork turned into runs: the extent records of an extent
// list and the BMAP B+tree ("BMAP" on V4 volumes, "BMA3" on V5 ones),
// whose blocks are read through the volume.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "volumes/RunList.h"

namespace xfs {

struct XfsInodeCore;

// One extent record: logical block, file-system block, count; the
// unwritten flag never reaches a run.
struct XfsExtent {
  uint64_t logical = 0;
  uint64_t block = 0;
  uint64_t count = 0;
  bool unwritten = false;
};
XfsExtent DecodeXfsExtent(const uint8_t* record);

// What the walk asks of the volume.
class XfsBlockReader {
 public:
  // The block size (a B+tree block is one block).
  virtual uint32_t BlockBytes() const = 0;
  // Reads file-system block `fsblock` into `out` (BlockBytes bytes).
  virtual bool ReadFsBlock(uint64_t fsblock, uint8_t* out) = 0;
  // The volume block of a file-system block; 0 when it lies outside the
  // volume (the reason is the last error).
  virtual uint64_t VolumeBlock(uint64_t fsblock) = 0;
  // The volume's blocks, for the run check.
  virtual uint64_t TotalBlocks() const = 0;
  // A B+tree block the walk used (the Long Scan skips it later).
  virtual void UsedMapBlock(uint64_t /*volumeBlock*/) {}

 protected:
  ~XfsBlockReader() = default;
};

// A parsed BMAP block header.
struct XfsBmapHeader {
  uint32_t magic = 0;
  uint16_t level = 0;
  uint16_t count = 0;
  uint64_t left = 0, right = 0;
  size_t headerBytes = 0;  // 24, or 72 for "BMA3"; 0 when not a BMAP block
  // Records a block of `blockBytes` can hold.
  size_t MaxRecords(size_t blockBytes) const;
};
XfsBmapHeader ParseXfsBmapHeader(const uint8_t* block);

struct XfsForkResult {
  bool ok = false;
  bool local = false;  // the data is the fork's bytes (a shortform folder, a short link)
  size_t forkStart = 0, forkBytes = 0;
  RunArray runs;  // logical block -> volume blocks
};

// The runs of the inode (`inode`: its inodeSize bytes, `core` parsed from
// them). "Ignore Missing BMAP": unreadable B+tree blocks read as zeros, a
// failed child does not fail the walk, runs past the volume are dropped.
XfsForkResult XfsInodeGetRuns(const uint8_t* inode, uint32_t inodeSize, const XfsInodeCore& core, XfsBlockReader& io,
                              bool ignoreMissingBmap);

}  // namespace xfs
