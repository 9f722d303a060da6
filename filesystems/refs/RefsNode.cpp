#include "filesystems/refs/RefsNode.h"

#include <new>

cnode* CreateRefsNode() { return new (std::nothrow) RefsNode(); }

void DestroyRefsNode(cnode* node) { delete static_cast<RefsNode*>(node); }

bool CopyRefsNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != kNodeRefs || from->Family() != kNodeRefs) return false;
  auto* t = static_cast<RefsNode*>(to);
  const auto* f = static_cast<const RefsNode*>(from);
  t->extentPage = f->extentPage;
  t->rootOffset = f->rootOffset;
  t->time1 = f->time1;
  t->time2 = f->time2;
  return true;
}

bool GetRefsNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || node->Family() != kNodeRefs) return false;
  const auto* n = static_cast<const RefsNode*>(node);
  *out = which ? n->time1 : n->time2;
  return true;
}
