// An ext inode: its fields as plain values and the plausibility tests that
// keep damaged or foreign bytes from becoming files.
#pragma once
#include <cstddef>
#include <cstdint>

struct ExtInode {
  uint16_t mode = 0;
  uint64_t size = 0;
  uint32_t accessTime = 0;
  uint32_t changeTime = 0;
  uint32_t modifyTime = 0;
  uint32_t deleteTime = 0;
  uint16_t links = 0;
  uint32_t flags = 0;
  uint32_t sizeHigh = 0;
  const uint8_t* blockArea = nullptr;  // 60 bytes inside the inode
  const uint8_t* raw = nullptr;        // the inode itself

  uint16_t Type() const;
  bool IsDirectory() const;
  bool IsRegular() const;
  bool IsSymlink() const;
  bool UsesExtents() const;
  bool HasInlineData() const;
  // Unlinked: a deletion time, or no link left.
  bool IsDeleted() const;
};

// The fields of an inode of at least 128 bytes.
ExtInode ParseExtInode(const uint8_t* inode);

// What the inode test needs of its volume.
struct ExtInodeContext {
  bool haveVolume = false;
  uint32_t blockSize = 1024;
  uint64_t singleLimit = 0;  // 12 + p
  uint64_t doubleLimit = 0;  // 12 + p + p^2
  // metadata_csum: bytes 124-125 hold the inode's checksum. Also assumed
  // without a volume (the classifier).
  bool checksums = true;
};

// A mode with the permissions a real file has: owner read and write; a
// folder, regular file or symbolic link; group and other write or execute
// only with their read (ext and UFS alike).
bool UnixModePlausible(uint16_t mode);

// Whether 128 bytes look like an ext inode (an all-zero, unused inode
// passes unless strict). Strict: a plausible mode with its permissions.
bool IsExtInode(const uint8_t* inode, const ExtInodeContext& context, bool strict);

// Whether every inode of the bytes passes (inodeSize a power of two of at
// least 128; a trailing part shorter than an inode is not tested).
bool IsUnixInodeBlock(const uint8_t* data, size_t bytes, uint32_t inodeSize, const ExtInodeContext& context,
                      bool strict);
