// The found-file node of ext (kind 0x30) and UFS (0x40) volumes: the
// modification time and the leading part of the inode's block area (block
// pointers or the root of an extent tree), from which the volume maps the
// file's blocks.
#pragma once
#include <cstdint>

#include "platform/Text.h"
#include "volumes/Node.h"

class CUnixVol;
struct ExtInode;

struct UnixNode : cnode {
  // A list of up to this many bytes (an extent header with one extent, six
  // block pointers: most files) is kept in the node itself, a longer one in
  // memory of its own. A scan keeps a million nodes.
  static constexpr uint8_t kInlineListBytes = 24;

  uint32_t modifyTime = 0;  // seconds since 1970
  uint8_t listLength = 0;   // bytes of the list
  uint8_t extents = 0;      // the list is an ext4 extent tree root
  uint8_t inlineData = 0;   // the inode holds its data itself: the list
                            // holds it (unless longer than a list may be)
  uint8_t sizeRebuilt = 0;  // the size came from the extent tree

  explicit UnixNode(uint8_t kindByte) : cnode(kindByte) {}
  ~UnixNode();
  UnixNode(const UnixNode&) = delete;
  UnixNode& operator=(const UnixNode&) = delete;

  // The list's bytes; null when it is empty.
  const uint8_t* List() const {
    return listLength == 0 ? nullptr : listLength <= kInlineListBytes ? inline_ : heap_;
  }
  // Replaces the list by a copy of `length` bytes; false when out of memory.
  bool SetList(const uint8_t* bytes, uint8_t length);
  // The list as the inode's 60-byte area (zero-padded).
  void BlockArea(uint8_t out[60]) const;

  // FILETIME of the modification time.
  uint64_t GetTime() const;
  WString GetTimeText() const;
  // First sector of the data in sectors of sectorSize, -1 when none.
  int64_t GetFirstSector(const CUnixVol& volume, uint32_t sectorSize) const;

 private:
  union {
    uint8_t* heap_ = nullptr;  // owned, for a list longer than kInlineListBytes
    uint8_t inline_[kInlineListBytes];
  };
};

namespace Unix {
// The Unix fields of one node into another (a fresh copy of the list).
bool CopyNode(UnixNode* to, const UnixNode* from);
}  // namespace Unix

// Fills the node from an ext inode: false for mode 0. The volume gives the
// block size for the pointer bytes kept, the inode size (the inode's bytes
// must hold that many: inline data reads past the first 128) and reads an
// emptied extent tree when its size must be rebuilt (null: no rebuild, 128
// bytes).
bool FromExtInode(UnixNode* node, const ExtInode& inode, CUnixVol* volume);

// For the node model's dispatch on the family nibble.
cnode* CreateExtNode();
void DestroyUnixNode(cnode* node);
bool CopyUnixNodeFields(cnode* to, const cnode* from);
bool GetUnixNodeFileTime(const cnode* node, uint64_t* out, int which);
bool IsUnixBlockMapped(const cnode* node);
// -1: the node alone does not name its volume (UnixNode::GetFirstSector).
int64_t GetUnixNodeFirstSector(const cnode* node, uint32_t sectorSize);
