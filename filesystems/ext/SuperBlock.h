// The ext superblock: its fields as plain values, the test that tells a
// superblock from other bytes, where its volume starts, and the backup
// superblocks that confirm a primary one.
#pragma once
#include <cstdint>

#include "platform/Text.h"

class Drive;

struct ExtSuperBlock {
  uint32_t inodeCount = 0;
  uint64_t blockCount = 0;  // 64-bit with the 64-bit feature
  uint64_t reservedBlocks = 0;
  uint64_t freeBlocks = 0;
  uint32_t freeInodes = 0;
  uint32_t firstDataBlock = 0;
  uint32_t logBlockSize = 0;  // block = 1024 << this
  uint32_t blocksPerGroup = 0;
  uint32_t fragsPerGroup = 0;
  uint32_t inodesPerGroup = 0;
  uint16_t magic = 0;
  uint32_t firstInode = 0;
  uint16_t inodeSize = 0;
  uint16_t blockGroup = 0;
  uint32_t compat = 0;
  uint32_t incompat = 0;
  uint32_t roCompat = 0;
  uint16_t descSize = 0;
  uint32_t firstMetaBg = 0;  // with the meta_bg feature
  uint8_t volumeName[16] = {};

  uint32_t BlockSize() const { return 1024u << logBlockSize; }
  // 2, 3 or 4: the ext version its features make it.
  uint8_t Flavour() const;
  // ceil((blocks - first data block) / blocks per group); 0 when unknown.
  uint64_t GroupCount() const;
};

// Reads the fields from the superblock's first 512 bytes (every field read
// lies there).
ExtSuperBlock ParseExtSuperBlock(const uint8_t* sb);

// The superblock's block group number, -1 when the bytes (at least 512) are
// not an ext superblock: magic, block size up to 64 KiB, inode size 128 or
// 256, reserved and free blocks below the block count, free inodes below the
// inode count (unless the options skip that), blocks and inodes per group
// not 0, inodes per group at most the inode count, blocks per group equal
// to fragments per group, and inodes per group x groups = inode count.
int IsExt3SuperBlock(const uint8_t* sb);

// The first drive sector of the volume whose superblock is at `sector`, -1
// when the bytes are not a superblock.
int64_t Ext3SuperBlockStart(int64_t sector, const uint8_t* sb, uint32_t sectorSize);

// Whether the backup superblocks of the volume starting at drive sector
// `start` confirm the superblock: each backup place inside the volume and
// the drive is read; a backup that passes the test with the same block
// count scores 2 when its group number is its place's, else 1. Confirmed at
// 6, or at twice the places inside the volume when that is less (a volume
// of one group stands on its primary superblock).
bool FindExt3BackupSuperBlock(Drive& drive, int64_t start, const uint8_t* sb);

// The label: the 16-byte volume name up to its first 0.
WString ExtVolumeLabel(const ExtSuperBlock& sb);
