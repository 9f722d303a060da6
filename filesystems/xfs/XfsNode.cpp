#include "filesystems/xfs/XfsNode.h"

#include <new>

#include "volumes/VolumeFamily.h"

namespace {

// Seconds from 1601 to 1970.
constexpr int64_t kUnixToFileTimeSeconds = 11644473600;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;

cnode* CreateXfsNode() { return new (std::nothrow) XfsNode(); }

void DestroyXfsNode(cnode* node) { delete static_cast<XfsNode*>(node); }

bool CopyXfsFields(cnode* to, const cnode* from) {
  auto* t = static_cast<XfsNode*>(to);
  const auto* f = static_cast<const XfsNode*>(from);
  t->parentHigh = f->parentHigh;
  t->idHigh = f->idHigh;
  t->time = f->time;
  return true;
}

bool XfsFileTime(const cnode* node, uint64_t* out, int which) {
  const XfsNode* n = AsXfsNode(node);
  if (!n || (which != 0 && which != 1)) return false;
  const int64_t s = n->time + kUnixToFileTimeSeconds;
  if (s < 0 || s > INT64_MAX / kFileTimeUnitsPerSecond) return false;
  *out = uint64_t(s) * kFileTimeUnitsPerSecond;
  return true;
}

uint64_t XfsFullId(const cnode& node) { return static_cast<const XfsNode&>(node).Inode(); }

uint64_t XfsLocation(const cnode& node) { return static_cast<const XfsNode&>(node).Inode(); }

const NodeOps kOps = [] {
  NodeOps ops;
  ops.create = CreateXfsNode;
  ops.destroy = DestroyXfsNode;
  ops.copyFields = CopyXfsFields;
  ops.fileTime = XfsFileTime;
  ops.location = XfsLocation;
  ops.fullId = XfsFullId;
  ops.traits = kNodeTraitNoSymlinks;
  return ops;
}();

}  // namespace

const NodeOps& XfsNodeOps() { return kOps; }
