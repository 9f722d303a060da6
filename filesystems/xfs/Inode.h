// The XFS inode core (versions 1 and 2 of V4 volumes, version 3 of V5
// volumes), parsed into plain values, and where its data fork lies.
#pragma once
#include <cstddef>
#include <cstdint>

namespace xfs {

struct XfsInodeCore {
  uint16_t magic = 0;
  uint16_t mode = 0;
  uint8_t version = 0;
  uint8_t format = 0;
  int64_t accessSeconds = 0;
  int64_t modifySeconds = 0;
  uint64_t size = 0;
  uint32_t extentCount = 0;
  uint8_t forkOffset = 0;
  uint64_t flags2 = 0;
  uint64_t number = 0;  // version 3 only: the inode's own number

  // "IN", version 1, 2 or 3, a data-fork format of at most 3.
  bool Valid() const;
  uint16_t Type() const;
  bool IsDirectory() const;
  bool IsRegular() const;
  bool IsSymlink() const;
  // Where the data fork starts in the inode.
  size_t ForkStart() const;
};

// The core of the inode at `p`, of which `bytes` are readable (at least
// the version 1/2 core; a version 3 core needs 176 bytes, else it is
// parsed as invalid).
XfsInodeCore ParseXfsInode(const uint8_t* p, size_t bytes);

// The data fork's size in an inode of `inodeSize` bytes: the space after
// the core, or fork offset x 8; -1 when the fork would pass the inode.
int64_t XfsForkBytes(const XfsInodeCore& core, uint32_t inodeSize);

// Inodes in the buffer (bytes / inode size) when it begins with a valid
// inode core, else 0: a yes/no test.
uint32_t CountXFSInodes(const uint8_t* buffer, size_t bytes, uint32_t inodeSize);

}  // namespace xfs
