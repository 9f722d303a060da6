// The HFS+ family's found-file node: the catalog record's three dates (Mac
// seconds since 1904, UTC) and the blocks its run list covers.
#pragma once
#include <cstdint>

#include "volumes/Node.h"

struct HfsNode : cnode {
  uint32_t createDate = 0;
  uint32_t modifyDate = 0;  // content modification
  uint32_t accessDate = 0;
  uint32_t blocks = 0;  // allocation blocks the run list covers

  HfsNode() : cnode(kNodeHfs) {}
  // which 0: content modification, 1: creation, 2: access.
  uint64_t GetTime(int which) const;
};

// Mac seconds since 1904-01-01 to a FILETIME.
uint64_t MacTimeToFileTime(uint32_t seconds);

// For the node model's dispatch on the family nibble.
cnode* CreateHfsNode();
void DestroyHfsNode(cnode* node);
bool CopyHfsNodeFields(cnode* to, const cnode* from);
bool GetHfsNodeFileTime(const cnode* node, uint64_t* out, int which);
