// The UFS superblock: its fields as plain values (in either byte order),
// the test that tells a superblock from other bytes, and the checks that
// its geometry holds together before anything divides by it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

struct UfsSuperBlock {
  bool swapped = false;  // read big-endian
  int32_t firstField = 0;
  uint32_t inodeBlocks = 0;  // the inode table's offset in a group (fragments)
  uint32_t cgOffset = 0, cgMask = 0;
  uint32_t oldSize = 0;  // UFS1 total fragments
  uint32_t groups = 0;
  uint32_t blockSize = 0, fragmentSize = 0, fragsPerBlock = 0;
  int32_t blockMask = 0, fragmentMask = 0;
  uint32_t blockShift = 0, fragmentShift = 0;
  uint32_t inodesPerBlock = 0, inodesPerGroup = 0, fragsPerGroup = 0;
  uint32_t oldFreeInodes = 0;
  // Past the first 1024 bytes (0 when the bytes do not reach them).
  int64_t location = 0;  // the superblock's own byte offset (UFS2)
  uint64_t freeInodes = 0;
  uint64_t size = 0;  // UFS2 total fragments
  uint32_t magic = 0;
  uint8_t volumeName[32] = {};

  // 5 or 6 as the magic says; 0 when it is not a UFS magic.
  int MagicType() const;
  // Total fragments of the type.
  uint64_t TotalFragments(int type) const { return type == 6 ? size : oldSize; }
};

// The fields of `bytes` bytes (at least 512; the UFS2 part needs 1376),
// big-endian when `swapped`.
UfsSuperBlock ParseUfsSuperBlock(const uint8_t* sb, size_t bytes, bool swapped);

// 5 (UFS1) or 6 (UFS2) when the first 512 bytes are a superblock read in
// that byte order: the first word 0, block and fragment sizes powers of two
// from 512 to 1 MiB with block = fragments per block x fragment, and the
// shifts and masks that go with them; 5 when the cylinder-group offset or
// mask is set, else 6. 0 otherwise.
int GetUFSSuperBlockType(const uint8_t* sb, int swapped);

// Whether the geometry holds together for a volume of `type` (a magic of
// the type read already): groups, inodes per group, inodes per block and
// fragments per group above 0; inodes per block x the inode size (128 or
// 256) = the block size; whole blocks per group, the inode table inside
// its group; groups x fragments per group at least the total fragments.
bool UfsGeometryAgrees(const UfsSuperBlock& sb, int type);

// The UFS2 volume name up to its first 0 (UFS1 has none).
WString UfsVolumeLabel(const UfsSuperBlock& sb, int type);

// Where the superblock lies from the volume's start: UFS1 at 8 KiB; UFS2
// where its location field says when that is 8, 64 or 256 KiB, else 64.
uint32_t UfsSuperBlockOffset(const UfsSuperBlock& sb, int type);
