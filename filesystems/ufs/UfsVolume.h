// The UFS1 and UFS2 volume (types 5 and 6) on ext's Unix volume: geometry
// from the superblock, inodes by group (UFS1's staggered), block lists of
// fragment addresses, and the root folder from inode 2.
#pragma once
#include <cstdint>

#include "filesystems/ext/UnixVolume.h"

struct UfsSuperBlock;

class CUFS1Vol : public CUnixVol {
 public:
  explicit CUFS1Vol(uint8_t type);

  bool Ufs2() const;
  bool InodesPlausible(const uint8_t* data, size_t bytes) const override;
  uint8_t DirBlockKind() const override { return 5; }

  // The inode table's offset in a group and UFS1's stagger (blocks).
  uint64_t inodeTableOffset = 0;
  uint64_t cgOffset = 0, staggerMask = 0;
  // The superblock's byte offset from the volume's start (0 until one was
  // read).
  uint32_t superBlockAt = 0;
  // A volume written big-endian: named, never read.
  bool bigEndian = false;

 protected:
  int64_t InodeTableBlock(uint64_t group) override;
};

// Fills the volume from its superblock (kSuperBlockBytes of it) found for
// the volume starting at drive sector `start`, sectors of sectorSize:
// geometry, size, start and (unless it is big-endian) a root node. The
// type comes from the magic. False when the bytes are no usable superblock.
bool InitUFSVol(CUFS1Vol* volume, const uint8_t* superBlock, int64_t start, uint32_t sectorSize);
// The geometry of the superblock's fields (InitUFSVol without the start,
// the size and the root).
bool TakeUfsGeometry(CUFS1Vol* volume, const UfsSuperBlock& sb, int type);

// Fills the root node from inode 2; false when it is not a folder.
bool InitUfsRootNode(CUFS1Vol* volume);
// Whether inode 2 is a folder whose first entries are "." and ".." of
// inode 2: the superblock places the volume where it lies.
bool UfsRootLooksRight(CUFS1Vol* volume);
