// The XFS node (kind 0x50): inode numbers are 64-bit, so the node keeps
// the high halves of its own and its parent's number beside the base's
// 32-bit id and parent; and the time of the inode's last modification.
#pragma once
#include <cstdint>

#include "volumes/Node.h"

struct XfsNode : cnode {
  uint32_t parentHigh = 0;
  uint32_t idHigh = 0;
  int64_t time = 0;  // seconds since 1970

  XfsNode() : cnode(kNodeXfs) {}
  uint64_t Inode() const { return uint64_t(idHigh) << 32 | id; }
  uint64_t ParentInode() const { return uint64_t(parentHigh) << 32 | parentId; }
  void SetInode(uint64_t n) {
    id = uint32_t(n);
    idHigh = uint32_t(n >> 32);
  }
  void SetParent(uint64_t n) {
    parentId = uint32_t(n);
    parentHigh = uint32_t(n >> 32);
  }
};

inline XfsNode* AsXfsNode(cnode* n) { return n && n->Family() == kNodeXfs ? static_cast<XfsNode*>(n) : nullptr; }
inline const XfsNode* AsXfsNode(const cnode* n) {
  return n && n->Family() == kNodeXfs ? static_cast<const XfsNode*>(n) : nullptr;
}

// The node operations of the family (VolumeFamily.h's NodeOps).
struct NodeOps;
const NodeOps& XfsNodeOps();
