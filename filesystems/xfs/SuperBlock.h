// The XFS superblock and the allocation group header, parsed into plain
// values before a volume is made from them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace xfs {

struct XfsSuperBlock {
  uint32_t magic = 0;
  uint32_t blockSize = 0;
  uint64_t dataBlocks = 0;
  uint64_t rootInode = 0;
  uint32_t agBlocks = 0;
  uint32_t agCount = 0;
  uint16_t version = 0;
  uint16_t sectorSize = 0;
  uint16_t inodeSize = 0;
  uint16_t inodesPerBlock = 0;
  uint8_t name[12] = {};
  uint8_t logInodesPerBlock = 0;
  uint8_t logAgBlocks = 0;
  uint64_t inodeCount = 0;
  uint64_t freeInodes = 0;
  uint8_t dirBlockLog = 0;
  uint32_t features2 = 0;
  uint32_t compat = 0, roCompat = 0, incompat = 0, logIncompat = 0;

  bool IsV5() const;
  // Folder entries carry a file type byte.
  bool HasFtype() const;
  // Inode times are 64-bit nanosecond counts where the inode says so.
  bool HasBigTime() const;
  // The incompatible feature bits this reader does not understand (V5).
  uint32_t UnknownIncompat() const;
};

// The first kSbBytes of `sector` (which must hold that many).
XfsSuperBlock ParseXfsSuperBlock(const uint8_t* sector);

// "XFSB", a block size that is a power of two up to 65536, and block size =
// inode size x inodes per block.
bool IsXFSSuperBlock(const uint8_t* sector);
// "XAGF" and version 1.
bool IsXFSAGF(const uint8_t* sector);
// The group index an AGF names.
uint32_t XfsAgfSequence(const uint8_t* sector);

}  // namespace xfs
