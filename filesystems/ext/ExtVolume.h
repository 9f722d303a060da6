// The ext2/3/4 volume (type 4): geometry from the superblock, the root
// folder from inode 2.
#pragma once
#include <cstdint>
#include <memory>

#include "filesystems/ext/UnixVolume.h"

class Drive;
class ExtBlockBitmap;
struct ExtSuperBlock;

class CExt3Vol : public CUnixVol {
 public:
  CExt3Vol();
  ~CExt3Vol() override;

  // meta_bg: descriptor blocks from firstMetaBg on lie each in the first
  // group of the groups it describes (after its backup superblock, if the
  // group holds one); none without the feature.
  uint64_t firstMetaBg = UINT64_MAX;
  uint32_t firstDataBlock = 0;
  bool sparseSuper = true;
  // 2, 3 or 4 as its superblock's features make it; 0 when not read.
  uint8_t flavour = 0;

  uint64_t DescriptorBlock(uint64_t index) const override;
  // The block bitmaps, read when a deleted file is graded.
  std::unique_ptr<ExtBlockBitmap> blockBitmap;
};

// Whether group g holds a superblock (a backup, or the primary in group 0):
// with sparse_super only groups 0, 1 and the powers of 3, 5 and 7.
bool ExtGroupHasSuperBlock(uint64_t group, bool sparseSuper);

// The ext part of InitUnixVol: false when the superblock's values cannot
// be a volume.
bool InitExt3Vol(CUnixVol* volume, const ExtSuperBlock& sb);

// Fills the volume from its superblock (at least its first 512 bytes) for
// the volume starting at drive sector `start` with sectors of sectorSize:
// geometry, size, start, root node. Non-zero on success.
int InitUnixVol(CUnixVol* volume, const uint8_t* superBlock, int64_t start, uint32_t sectorSize);

// Fills the root node from inode 2; false when it does not pass.
bool InitRootNode(CUnixVol* volume);
