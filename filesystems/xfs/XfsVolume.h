// The XFS volume (type 8): the geometry of its allocation groups and
// inodes from the superblock, inode and block numbers turned into volume
// blocks, inodes read through a small cache, and a node's data fork turned
// into the volume's extents (or its fork bytes, for a shortform folder).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/xfs/BlockMap.h"
#include "filesystems/xfs/Inode.h"
#include "filesystems/xfs/SuperBlock.h"
#include "platform/Text.h"
#include "volumes/Volume.h"

class Drive;
struct XfsNode;

class CXFSVol : public CVol, private xfs::XfsBlockReader {
 public:
  CXFSVol();
  ~CXFSVol() override;

  // From a superblock (kSbBytes at least) of the volume that starts at
  // drive sector `start` of `drive` (null: the volume's own): 1 on success,
  // 0 when a test fails (the reason is the last error).
  int Init(const uint8_t* superblock, int64_t start, Drive* drive);
  // Shifts and masks from agBlocks, agCount, inodeSize, the cluster size
  // and the volume's size (agCount 0 is recomputed); false when they make
  // no geometry.
  bool SetGeometry();

  // ---- numbers ----
  bool IsValidInode(uint64_t inode) const;
  // The volume block holding the inode and its byte in the block.
  bool InodePlace(uint64_t inode, uint64_t* block, uint32_t* byteInBlock) const;
  // The inode number of the first inode at volume sector s (the volume's
  // sectors); 0 past the volume.
  uint64_t SectorToInode(uint64_t sector);
  // A file-system block number's volume block; 0 when out of bounds (the
  // reason is the last error).
  uint64_t FsBlockToVolume(uint64_t fsblock);

  // ---- reading ----
  // The inode's bytes (inodeSize of them), valid until the next read; null
  // when it cannot be read.
  const uint8_t* ReadInode(uint64_t inode);
  // The runs of an inode read before.
  xfs::XfsForkResult InodeRuns(const uint8_t* inode, const xfs::XfsInodeCore& core);
  // Makes the node's mapping ready: its runs into the extents object, or
  // its fork's bytes for a shortform folder. False when it cannot be mapped.
  bool MapNode(const XfsNode& node);
  // Bytes of the node mapped last (see FamilyDataOps::read).
  int64_t ReadMapped(uint64_t offset, uint8_t* buffer, size_t capacity);
  bool MappedLocal() const { return mappedLocal_; }
  const std::vector<uint8_t>& MappedFork() const { return mappedFork_; }
  // A node for the inode from its core (type, size, time); null when the
  // inode is none.
  XfsNode* NodeFromInode(uint64_t inode, const uint8_t* raw);

  // The features this reader does not read, named (empty when none): such
  // a volume is recognised but not walked.
  WString refusal;
  // The refusal was told once.
  bool refusalTold = false;

  // ---- geometry ----
  xfs::XfsSuperBlock sb;
  uint32_t agBlocks = 0, agCount = 0, logAgBlocks = 0;
  uint64_t agBlockMask = 0;
  uint32_t inodeSize = 256, inodeLog = 8, inodeMask = 255;
  uint32_t inodesPerBlock = 16, inopbLog = 4, inopbMask = 15;
  uint64_t inodesPerGroup = 0;
  uint32_t aginoWidth = 0;
  uint64_t aginoMask = 0;
  uint64_t sectorsPerGroup = 0;
  uint64_t totalBlocks = 0, blocksInLastGroup = 0, inodesInLastGroup = 0;
  uint64_t usedInodes = 0;
  uint64_t rootInode = 128;
  bool v5 = false, ftype = false;
  uint32_t dirBlockBytes = 4096;
  // The Long Scan's block-map blocks met by a walk (volume blocks).
  std::vector<uint64_t>* usedMapBlocks = nullptr;

 private:
  // XfsBlockReader
  uint32_t BlockBytes() const override { return clusterSize; }
  bool ReadFsBlock(uint64_t fsblock, uint8_t* out) override;
  uint64_t VolumeBlock(uint64_t fsblock) override { return FsBlockToVolume(fsblock); }
  uint64_t TotalBlocks() const override { return totalBlocks; }
  void UsedMapBlock(uint64_t block) override {
    if (usedMapBlocks) usedMapBlocks->push_back(block);
  }

  struct Window {
    uint64_t first = UINT64_MAX;  // volume byte
    uint32_t bytes = 0;
    uint64_t used = 0;
    std::unique_ptr<uint8_t[]> data;
  };
  static constexpr int kWindows = 8;
  Window windows_[kWindows];
  uint64_t clock_ = 0;
  uint64_t lastSector_ = UINT64_MAX, lastSectorInode_ = 0;
  std::vector<uint8_t> mappedFork_, scratch_;
  bool mappedLocal_ = false;
};

// The start of the volume whose superblock lies at drive sector `sector`
// (its bytes at `buffer`, `sectors` sectors of the drive readable there):
// at 63 or 2048 the superblock's own place; otherwise placed by the group
// index of the allocation group header that follows it within one block.
// -1 when none is found.
int64_t XFSVolumeStart(int64_t sector, const uint8_t* buffer, uint32_t sectors, Drive* drive);
