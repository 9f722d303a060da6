#include "filesystems/vmfs/VmfsNode.h"

#include <new>

#include "filesystems/vmfs/Definitions.h"

uint64_t VmfsNode::GetTime(int which) const {
  const uint32_t seconds = which ? changeTime : modifyTime;
  return (uint64_t(seconds) + vmfs::kUnixEpochSeconds) * 10000000ull;
}

cnode* CreateVmfsNode() { return new (std::nothrow) VmfsNode(); }

void DestroyVmfsNode(cnode* node) { delete static_cast<VmfsNode*>(node); }

bool CopyVmfsNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != kNodeVmfs || from->Family() != kNodeVmfs) return false;
  auto* t = static_cast<VmfsNode*>(to);
  const auto* f = static_cast<const VmfsNode*>(from);
  t->changeTime = f->changeTime;
  t->modifyTime = f->modifyTime;
  t->type = f->type;
  t->mode = f->mode;
  t->word584 = f->word584;
  t->resource = f->resource;
  return true;
}

bool GetVmfsNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || node->Family() != kNodeVmfs) return false;
  *out = static_cast<const VmfsNode*>(node)->GetTime(which);
  return true;
}
