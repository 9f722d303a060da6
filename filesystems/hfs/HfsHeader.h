// The HFS+/HFSX volume header and its fork data, parsed into plain values,
// with the tests the sector classifier and the volume search use; and the
// classic HFS master directory block, which is recognised only.
#pragma once
#include <cstdint>

#include "filesystems/hfs/Definitions.h"

struct HfsExtent {
  uint32_t startBlock = 0;
  uint32_t blockCount = 0;
};

struct HfsForkData {
  uint64_t logicalSize = 0;
  uint32_t clumpSize = 0;
  uint32_t totalBlocks = 0;
  HfsExtent extents[hfs::kExtentsPerRecord];
};

struct HfsVolumeHeader {
  uint16_t signature = 0;
  uint16_t version = 0;
  uint32_t attributes = 0;
  uint32_t journalInfoBlock = 0;
  uint32_t createDate = 0, modifyDate = 0, backupDate = 0, checkedDate = 0;
  uint32_t fileCount = 0, folderCount = 0;
  uint32_t blockSize = 0;
  uint32_t totalBlocks = 0;
  uint32_t freeBlocks = 0;
  uint32_t dataClump = 0;
  uint32_t nextCatalogId = 0;
  // Allocation, extents, catalog, attributes, startup.
  HfsForkData forks[5];
  bool Hfsx() const { return signature == 0x4858; }
};

enum HfsForkIndex {
  kForkAllocation = 0,
  kForkExtentsFile = 1,
  kForkCatalogFile = 2,
  kForkAttributesFile = 3,
  kForkStartupFile = 4
};

// Eight extent descriptors (64 bytes) and a fork's 80 bytes.
void ReadHfsExtents(const uint8_t* bytes, HfsExtent* out);
HfsForkData ReadHfsFork(const uint8_t* bytes);
// The header's 512 bytes.
HfsVolumeHeader ReadHfsVolumeHeader(const uint8_t* bytes);

// "H+" version 4 or "HX" version 5; a block size that is a power of two
// from 512 to 65,536; a data clump that is a non-zero multiple of it; fewer
// free blocks than blocks.
bool IsHFSPlusVolumeHeader(const uint8_t* sector);
// A classic HFS master directory block: "BD", bitmap at sector 3, a block
// size that is a non-zero multiple of 512, creation not after modification,
// more blocks than free ones, a clump that is a non-zero multiple of the
// block size.
bool IsHFSMasterDirBlock(const uint8_t* sector);

// The fork parse: the number of extents used (0..8), -1 when the fork does
// not hold together. A non-zero size ends in the last of its blocks
// ((total - 1) x unit < size <= total x unit, unit the block size, or with
// `anyUnit` any power of two from 4096 to 65,536); a zero size has no
// blocks. Extents are read up to the first empty one: one with a zero start
// or count (not both), one overlapping the one before, or one ending past
// `volumeBlocks` is refused; with fewer than eight the counts add up to the
// total, with eight to at most the total. `blocksOut` gets their sum.
int CheckHfsFork(const HfsForkData& fork, uint32_t blockSize, uint32_t volumeBlocks, bool anyUnit,
                 uint64_t* blocksOut = nullptr);
