// A UFS1 (128-byte) or UFS2 (256-byte) inode: its fields as plain values,
// the plausibility test, and the node made from it.
#pragma once
#include <cstddef>
#include <cstdint>

class CUnixVol;
struct UnixNode;

struct UfsInode {
  uint16_t mode = 0;
  uint16_t links = 0;
  uint64_t size = 0;
  uint32_t modifyTime = 0;             // seconds since 1970 (UFS2's low 32 bits)
  const uint8_t* blockArea = nullptr;  // 60 (UFS1) or 120 (UFS2) bytes
  uint32_t pointerBytes = 4;

  uint16_t Type() const;
  bool IsDirectory() const;
  bool IsRegular() const;
  bool IsSymlink() const;
  // The i-th pointer of the block area (0..14).
  uint64_t Pointer(uint32_t i) const;
};

// The fields of an inode of the generation (ufs2: 256 bytes, else 128).
UfsInode ParseUfsInode(const uint8_t* inode, bool ufs2);

// What the inode test needs of its volume.
struct UfsInodeContext {
  bool haveVolume = false;
  bool ufs2 = false;
  uint32_t blockSize = 0;
  uint32_t fragsPerBlock = 1;
  uint64_t singleLimit = 0, doubleLimit = 0;
};
UfsInodeContext UfsContextOf(const CUnixVol& volume, bool ufs2);

// Whether the bytes look like an inode of the generation (an unused, zero
// one passes unless strict). Strict adds the mode's permission test.
// Without a volume any inode passes; with one the pointers fit the size,
// the direct pointers of whole blocks are block-aligned, and a folder's size
// is a multiple of 512.
bool IsUFSInode(const uint8_t* inode, const UfsInodeContext& context, bool strict);

// Fills the node from the inode: false for mode 0. The list keeps the
// pointer bytes the size needs (a symbolic link none).
bool FromUFSInode(UnixNode* node, const UfsInode& inode, const CUnixVol* volume);
