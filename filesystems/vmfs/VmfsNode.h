// The VMFS family's found-file node: what the descriptor tells beside the
// common fields (its address is the node's id, its directory's address the
// parentId).
#pragma once
#include <cstdint>

#include "platform/Text.h"
#include "volumes/Node.h"

// Which resource file a node of the root is.
inline constexpr uint32_t kVmfsResourceNone = 0;
inline constexpr uint32_t kVmfsResourceDescriptors = 2;  // ".fdc.sf"
inline constexpr uint32_t kVmfsResourcePointers = 3;     // ".pbc.sf"
inline constexpr uint32_t kVmfsResourceSubBlocks = 4;    // ".sbc.sf"

struct VmfsNode : cnode {
  uint32_t changeTime = 0;  // Unix seconds
  uint32_t modifyTime = 0;
  uint32_t type = 0;
  uint32_t mode = 1;  // addressing mode
  uint32_t word584 = 0;
  uint32_t resource = kVmfsResourceNone;

  VmfsNode() : cnode(kNodeVmfs) {}
  // which 0: modification, otherwise the change time, as a FILETIME.
  uint64_t GetTime(int which) const;
};

cnode* CreateVmfsNode();
void DestroyVmfsNode(cnode* node);
bool CopyVmfsNodeFields(cnode* to, const cnode* from);
bool GetVmfsNodeFileTime(const cnode* node, uint64_t* out, int which);
