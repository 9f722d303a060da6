// The FAT family's found-file node and the folder-queue entry of directory
// parsing. The node keeps the packed DOS dates and times as the directory
// entry holds them; they become file times only when asked for.
#pragma once
#include <cstdint>

#include "platform/Text.h"
#include "volumes/Node.h"

struct FATInode : cnode {
  uint8_t creationTenMs = 0;  // 0-199
  uint16_t creationTime = 0;
  uint16_t creationDate = 0;
  uint16_t accessDate = 0;
  uint16_t writeTime = 0;
  uint16_t writeDate = 0;
  uint8_t nameChecksum = 0;  // long-name checksum of the 8.3 name
  uint8_t confidence = 0;    // how likely the entry is a real one; 0 when below 3

  FATInode() : cnode(kNodeFat) {}

  // which 0: write date and time; 1: creation date, time and 10-ms count;
  // other: the access date at midnight. The DOS fields taken as UTC; 0 when
  // they are not a valid time.
  uint64_t GetFileTime(int which) const;
  // The same time as "yyyy/MM/dd HH:mm:ss" (no time-zone conversion);
  // "0000/00/00 00:00:00" when invalid.
  WString GetTimeText(int which) const;
};

namespace FAT {
// The FAT fields of one node into another (not the confidence).
void CopyNode(FATInode* to, const FATInode* from);
}  // namespace FAT

// For the node model's dispatch on the family nibble.
cnode* CreateFATNode();
void DestroyFATNode(cnode* node);
bool CopyFATNodeFields(cnode* to, const cnode* from);
bool GetFATNodeFileTime(const cnode* node, uint64_t* out, int which);
WString GetFATNodeTimeText(const cnode* node, int which);

// One entry of a volume's folder queue: the folder's node (owned), the next
// entry and the folder's full path (pooled, ending in "\", not owned).
struct nodeStack {
  cnode* node = nullptr;
  nodeStack* next = nullptr;
  const char16_t* path = nullptr;

  nodeStack() = default;
  nodeStack(cnode* n, const char16_t* p) : node(n), path(p) {}
  ~nodeStack() { DeleteNode(&node); }
  nodeStack(const nodeStack&) = delete;
  nodeStack& operator=(const nodeStack&) = delete;

  // Destroys the entries chained after this one and clears the link. Works
  // along the chain, so a long queue cannot exhaust the stack.
  void Delete();
};
