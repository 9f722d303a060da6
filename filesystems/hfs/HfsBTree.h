// B-tree nodes of the catalog and extents-overflow files: the node
// descriptor and the header record parsed into plain values, the record
// offsets at a node's end, and the tests that tell a header node, a catalog
// leaf node and a node's size from the bytes alone.
#pragma once
#include <cstddef>
#include <cstdint>

struct HfsNodeDescriptor {
  uint32_t forward = 0;
  uint32_t backward = 0;
  int8_t kind = 0;
  uint8_t height = 0;
  uint16_t records = 0;
};

struct HfsBTreeHeader {
  uint16_t depth = 0;
  uint32_t root = 0;
  uint32_t leafRecords = 0;
  uint32_t firstLeaf = 0;
  uint32_t lastLeaf = 0;
  uint16_t nodeSize = 0;
  uint16_t maxKeyLength = 0;
  uint32_t totalNodes = 0;
  uint32_t freeNodes = 0;
  uint32_t clumpSize = 0;
  uint8_t compareType = 0;
};

// The first 14 bytes.
HfsNodeDescriptor ReadHfsNodeDescriptor(const uint8_t* node);

// A header node (at least 14 + 106 bytes): backward link 0, kind 1, height
// 0, three records; its header record's node size a power of two from 512
// to 32,768 (else the last error "Invalid cluster size"), fewer free nodes
// than nodes, first and last leaf below the node count. `out` (may be
// null) gets the header record.
bool IsHFSBTreeHeaderNode(const uint8_t* node, size_t bytes, HfsBTreeHeader* out = nullptr);

// A catalog leaf node at the start of `node` (at least 512 bytes): links
// below `totalNodes` (0: not checked), kind -1 with height 1, its first
// record (at 14) a catalog key whose length is 2 x its name length + 6 and
// a record type 1 to 4.
bool IsHFSCatalogLeafNode(const uint8_t* node, size_t bytes, uint32_t totalNodes);

// The size of the node at the start of `data` (`bytes` of it there): the
// smallest power of two from 512 to 32,768 for which the offset table at
// that size's end holds together (the first offset 14, each next one
// larger and at most its own place) and, in a leaf node, every record it
// points at parses as a catalog or extents record; 0 when none.
uint32_t FindHFSBTreeNodeSize(const uint8_t* data, size_t bytes);

// The offset of record `i` of a node of `nodeSize` bytes (the offsets are
// 16-bit words at its end, the first record's last).
uint16_t HfsRecordOffset(const uint8_t* node, uint32_t nodeSize, uint32_t i);
