// The ReFS family's found-file node: where its extent index lies and its
// two times.
#pragma once
#include <cstdint>

#include "volumes/Node.h"

struct RefsNode : cnode {
  uint64_t extentPage = 0;        // 0: an empty file
  uint32_t rootOffset = 0;        // the extent index's root in that page
  uint64_t time1 = 0, time2 = 0;  // FILETIME

  RefsNode() : cnode(kNodeRefs) {}
};

cnode* CreateRefsNode();
void DestroyRefsNode(cnode* node);
bool CopyRefsNodeFields(cnode* to, const cnode* from);
// which 0: the second time (modification), otherwise the first.
bool GetRefsNodeFileTime(const cnode* node, uint64_t* out, int which);
