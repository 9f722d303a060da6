// The ZFS family's found-file node: an object of one of the pool's
// datasets, with its two times.
#pragma once
#include <cstdint>

#include "volumes/Node.h"

struct ZfsNode : cnode {
  uint64_t time0 = 0;  // modification, seconds since 1970
  uint64_t time1 = 0;  // change
  // Index into the volume's datasets (-1: none).
  int32_t datasetIndex = -1;
  // The object number; `id` holds its low 32 bits, so two objects of one
  // dataset whose numbers differ only above 2^32 share an id (their parent
  // links and the walk's folder key).
  uint64_t object = 0;

  ZfsNode() : cnode(kNodeZfs) {}
};

inline const ZfsNode* AsZfsNode(const cnode* node) {
  return node && node->Family() == kNodeZfs ? static_cast<const ZfsNode*>(node) : nullptr;
}

// For the node model's dispatch on the family nibble.
cnode* CreateZfsNode();
void DestroyZfsNode(cnode* node);
bool CopyZfsNodeFields(cnode* to, const cnode* from);
// which 0: modification, otherwise the change time.
bool GetZfsNodeFileTime(const cnode* node, uint64_t* out, int which);
uint64_t ZfsNodeLocation(const cnode& node);
