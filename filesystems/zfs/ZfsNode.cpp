#include "filesystems/zfs/ZfsNode.h"

#include <new>

#include "foundation/TimeUtil.h"

cnode* CreateZfsNode() { return new (std::nothrow) ZfsNode(); }

void DestroyZfsNode(cnode* node) { delete static_cast<ZfsNode*>(node); }

bool CopyZfsNodeFields(cnode* to, const cnode* from) {
  const ZfsNode* f = AsZfsNode(from);
  if (!f || !AsZfsNode(to)) return false;
  auto* t = static_cast<ZfsNode*>(to);
  t->time0 = f->time0;
  t->time1 = f->time1;
  t->datasetIndex = f->datasetIndex;
  t->object = f->object;
  return true;
}

bool GetZfsNodeFileTime(const cnode* node, uint64_t* out, int which) {
  const ZfsNode* z = AsZfsNode(node);
  if (!z) return false;
  const uint64_t seconds = which == 0 ? z->time0 : z->time1;
  *out = seconds > uint64_t(INT64_MAX) ? 0 : UnixTimeToFileTime(int64_t(seconds));
  return true;
}

uint64_t ZfsNodeLocation(const cnode& node) {
  const ZfsNode* z = AsZfsNode(&node);
  return z ? z->object : node.id;
}
