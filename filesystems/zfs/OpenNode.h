// ZfsOpenNode: one object opened for reading through its dnode. It keeps a
// copy of the dnode, one cached block of pointers per level below the
// dnode's own, and one data block of its own, and reads data blocks by
// number and byte ranges through them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/Dnode.h"

class CZFSVol;

// How a read meets a block it cannot get: a folder's or the pool's
// structures fail; a file's data reads as zeros, counted (the file is then
// incomplete).
enum class ZfsReadMode { kStrict, kLenient };

class ZfsOpenNode {
 public:
  explicit ZfsOpenNode(CZFSVol& volume) : volume_(&volume) {}

  // Takes the dnode when it has a valid shape (`allowHole`: an empty first
  // pointer, as an empty or sparse file has). False otherwise.
  bool Load(const uint8_t* dnode, bool allowHole = true);
  const ZfsDnode& Dnode() const { return d_; }
  const uint8_t* RawDnode() const { return raw_; }
  uint32_t BlockBytes() const { return d_.dataBlockBytes; }
  // Bytes the object's blocks span: (highest block id + 1) x block size.
  uint64_t SpanBytes() const;

  // ZFSVBNRead: data block `id` into out (room for BlockBytes()). 1 read,
  // 2 a hole (zeros), 4 read from a copy no checksum confirmed (or through
  // an indirect block none did), 0 failed (past the highest block id, an
  // invalid or unreadable pointer).
  int ReadBlock(uint64_t id, uint8_t* out);
  // ZFSReadDnode: dnode `object` of the object set this is the meta-dnode
  // of (through the node's own block), 512 bytes.
  bool ReadDnode(uint64_t object, uint8_t* out);
  // Objects the meta-dnode's blocks hold.
  uint64_t ObjectCount() const;

  // ReadInodeData: the bytes [offset, min(end, offset + count)) into
  // buffer; blocks past the highest one are zeros (a sparse tail). Strict:
  // a block that cannot be read ends the read (-1 when nothing came);
  // lenient: it reads as zeros and counts in *bad. The bytes delivered.
  int64_t Read(uint64_t offset, size_t count, uint64_t end, uint8_t* buffer, ZfsReadMode mode, uint32_t* bad);

 private:
  // The pointer at `level` (it points to a block of that level) for the
  // block of that level numbered `id`, loading the blocks above it; null
  // when it cannot be had. *unverified is set when a block on the way was
  // read from a copy no checksum confirmed.
  const uint8_t* PointerAt(int level, uint64_t id, bool* unverified);
  // A copy of data block `id`'s pointer; false past the highest block or
  // when it cannot be had.
  bool PointerFor(uint64_t id, uint8_t* copy, bool* unverified);
  int Finish(const uint8_t* pointer, int result, bool unverified, uint8_t* out);
  // Up to 8 data blocks from `id` on into out, one after the other; the
  // number read, each one's result in `results`.
  int ReadBlocks(uint64_t id, size_t count, uint8_t* out, int* results);

  struct Level {
    std::vector<uint8_t> block;
    uint64_t id = UINT64_MAX;
    bool unverified = false;
  };
  CZFSVol* volume_;
  uint8_t raw_[zfs::kDnodeBytes] = {};
  ZfsDnode d_;
  int shift_ = 0;  // pointers per indirect block, log2
  uint64_t mask_ = 0;
  Level levels_[zfs::kDnMaxLevels];
  std::vector<uint8_t> own_;
  uint64_t ownId_ = UINT64_MAX;
  int ownResult_ = 0;
};
