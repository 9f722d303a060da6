#include "filesystems/hfs/HfsNode.h"

#include <new>

#include "filesystems/hfs/Definitions.h"

uint64_t MacTimeToFileTime(uint32_t seconds) { return (uint64_t(seconds) + hfs::kMacToFileTimeSeconds) * 10000000ull; }

uint64_t HfsNode::GetTime(int which) const {
  const uint32_t s = which == 0 ? modifyDate : which == 1 ? createDate : accessDate;
  return MacTimeToFileTime(s);
}

cnode* CreateHfsNode() { return new (std::nothrow) HfsNode(); }

void DestroyHfsNode(cnode* node) { delete static_cast<HfsNode*>(node); }

bool CopyHfsNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != kNodeHfs || from->Family() != kNodeHfs) return false;
  auto* t = static_cast<HfsNode*>(to);
  const auto* f = static_cast<const HfsNode*>(from);
  t->createDate = f->createDate;
  t->modifyDate = f->modifyDate;
  t->accessDate = f->accessDate;
  t->blocks = f->blocks;
  return true;
}

bool GetHfsNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || node->Family() != kNodeHfs) return false;
  *out = static_cast<const HfsNode*>(node)->GetTime(which);
  return true;
}
