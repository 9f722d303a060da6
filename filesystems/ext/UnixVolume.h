// The volume base of the block-and-inode file systems (ext2/3/4 here, UFS
// on top of it): geometry, inodes by number, the block map of direct and
// indirect pointers, and file data read through it.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/ext/Inode.h"
#include "volumes/Volume.h"

class HTree;
struct UnixNode;

// A caller's cache of inode-table blocks (the volume's own caches are for
// pointers and descriptors). A miss reads `capacity` bytes of the table; a
// miss that continues the last read (the inodes of a folder's files, made
// one after another) reads twice as much as that one, up to
// kMaxInodeReadAhead.
inline constexpr uint32_t kMaxInodeReadAhead = 0x100000;
struct UnixInodeCache {
  explicit UnixInodeCache(uint32_t bytes = 0x10000) : capacity(bytes) {}
  uint32_t capacity;
  std::vector<uint8_t> data;
  uint64_t first = 0;  // first inode index (0-based) cached
  uint64_t count = 0;  // inodes cached
  uint32_t lastRead = 0;  // bytes of the last read
};

class CUnixVol : public CVol {
 public:
  CUnixVol();
  ~CUnixVol() override;

  // Derived sizes of the block map from the block size (pointer bytes 4,
  // or 8 on UFS2).
  void InitBlockMapLevels(uint32_t pointerBytes = 4);
  // Inode size, inodes per block and per sector with their shifts.
  bool InitInodeGeometry();
  // The work buffers, made once.
  bool AllocBuffers();

  // The inode `n` (1-based), in the cache; null when absent (0, past the
  // count, unreadable, implausible or unused). *sectorOut: its drive sector.
  const uint8_t* GetInode(uint64_t n, int64_t* sectorOut, UnixInodeCache& cache);

  // The physical block of logical block L of a block-mapped list: 0 for a
  // hole, -1 on error (last error set). A zero pointer in a damaged sector
  // of an indirect block sets *corrupt.
  int64_t MapBlock(uint64_t logical, const uint8_t* list, uint32_t listLength, bool* corrupt);
  // Consecutive logical blocks from `logical` that are one physical run (or
  // one hole, *first 0), at most `limit`: their count, 0 on error.
  uint32_t CollectRun(const uint8_t* list, uint32_t listLength, uint64_t logical, uint32_t limit, uint64_t* first,
                      uint32_t* corrupt);
  // The logical block just past the last one a block-mapped list can map:
  // the last pointer that is set, followed down each indirect level (a
  // level that cannot be read, or holds no pointer, counts whole). An upper
  // bound of where the file's data ends; 0 for a list of no pointers.
  uint64_t MappedEnd(const uint8_t* list, uint32_t listLength);
  // Bytes offset .. offset + length of a block-mapped file into `buffer`
  // (capacity bytes): the bytes delivered (at most length and capacity),
  // -1 on failure. Holes read as zeros.
  int64_t ReadFileData(uint64_t offset, uint64_t length, uint8_t* buffer, size_t capacity, const uint8_t* list,
                       uint32_t listLength, uint32_t* corrupt);

  // The inode test's view of this volume.
  ExtInodeContext InodeContext() const;
  // The block holding descriptor block `index` of the table.
  virtual uint64_t DescriptorBlock(uint64_t index) const { return descTableBlock + index; }

  // ---- geometry ----
  uint32_t fragmentSize = 0, fragsPerBlock = 1, fragsPerBlockShift = 0;
  // Block lists count fragments, not blocks (UFS).
  bool fragmentAddressed = false;
  uint32_t sectorsPerBlock = 0;
  uint32_t inodeCount = 0, freeInodes = 0, inodesPerGroup = 0;
  uint64_t blocksPerGroup = 0, groupCount = 0, totalBlocks = 0, freeBlocks = 0;
  uint32_t inodeSize = 128, inodeShift = 7;
  uint32_t inodesPerBlock = 0, inodesPerBlockShift = 0;
  uint32_t descShift = 5, descPerBlockShift = 0;
  uint64_t descTableBlock = 1;
  bool checksums = false;
  // Block map: pointers per block and where each level starts.
  uint32_t pointerBytes = 4, pointersShift = 0;
  uint64_t pointersPerBlock = 0, singleLimit = 0, doubleLimit = 0;
  // A synthetic parent for entries whose folder is unknown.
  uint32_t syntheticParents = 0;
  bool sawExtents = false;
  // The inodes of the folder entries being parsed.
  UnixInodeCache entryCache;

 protected:
  // The inode table's first block of group g; -1 when unreadable.
  virtual int64_t InodeTableBlock(uint64_t group);
  // One block into `out` (clusterSize bytes); false on failure.
  bool ReadBlock(uint64_t block, uint8_t* out);

  std::vector<uint8_t> descBuffer_;
  int64_t descCached_ = -1;

 private:
  bool CheckPointerSectors(uint8_t* block, int level);
  std::vector<uint8_t> levelBuffer_[3];
  std::vector<uint8_t> badMap_[3];
  int64_t levelCached_[3] = {-1, -1, -1};
};
