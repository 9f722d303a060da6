#include "filesystems/hfs/HfsBTree.h"

#include <bit>

#include "filesystems/hfs/Definitions.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

using namespace hfs;

namespace {

uint32_t Be32(const uint8_t* p) { return GetBigEndian(p, 4); }
uint16_t Be16(const uint8_t* p) { return GetBigEndian16(p); }

// A catalog key and its record type inside [rec, rec + left).
bool CatalogRecordParses(const uint8_t* rec, size_t left) {
  if (left < kCatKeyName + 2) return false;
  const uint32_t keyLength = Be16(rec + kCatKeyLength), nameLength = Be16(rec + kCatKeyNameLength);
  if (nameLength > kMaxNameLength || keyLength != 2 * nameLength + kCatKeyFixedBytes) return false;
  if (size_t(keyLength) + 4 > left) return false;
  const uint16_t type = Be16(rec + 2 + keyLength);
  return type >= kRecFolder && type <= kRecFileThread;
}

bool ExtentsRecordParses(const uint8_t* rec, size_t left) {
  return left >= kExtRecordBytes && Be16(rec + kExtKeyLength) == kExtKeyLengthValue;
}

// The offset table of a node of `size` bytes holds together; every leaf
// record it names parses.
bool OffsetsHold(const uint8_t* node, uint32_t size) {
  const uint32_t count = Be16(node + kNodeRecords);
  if (count == 0 || 2 * (uint64_t(count) + 1) >= size) return false;
  if (Be16(node + size - 2) != kNodeDescriptorBytes) return false;
  const bool leaf = int8_t(node[kNodeKind]) == kKindLeaf;
  uint32_t previous = kNodeDescriptorBytes;
  for (uint32_t i = 1; i <= count; ++i) {
    const uint32_t place = size - 2 * (i + 1);
    const uint32_t at = Be16(node + place);
    if (at <= previous || at > place) return false;
    if (leaf) {
      const size_t left = at - previous;
      if (!CatalogRecordParses(node + previous, left) && !ExtentsRecordParses(node + previous, left)) return false;
    }
    previous = at;
  }
  return true;
}

}  // namespace

HfsNodeDescriptor ReadHfsNodeDescriptor(const uint8_t* n) {
  HfsNodeDescriptor d;
  d.forward = Be32(n + kNodeForward);
  d.backward = Be32(n + kNodeBackward);
  d.kind = int8_t(n[kNodeKind]);
  d.height = n[kNodeHeight];
  d.records = Be16(n + kNodeRecords);
  return d;
}

bool IsHFSBTreeHeaderNode(const uint8_t* node, size_t bytes, HfsBTreeHeader* out) {
  if (bytes < kNodeDescriptorBytes + kBtHeaderRecordBytes) return false;
  const HfsNodeDescriptor d = ReadHfsNodeDescriptor(node);
  if (d.backward != 0 || d.kind != kKindHeader || d.height != 0 || d.records != kHeaderNodeRecords) return false;
  const uint8_t* r = node + kNodeDescriptorBytes;
  HfsBTreeHeader h;
  h.depth = Be16(r + kBtDepth);
  h.root = Be32(r + kBtRoot);
  h.leafRecords = Be32(r + kBtLeafRecords);
  h.firstLeaf = Be32(r + kBtFirstLeaf);
  h.lastLeaf = Be32(r + kBtLastLeaf);
  h.nodeSize = Be16(r + kBtNodeSize);
  h.maxKeyLength = Be16(r + kBtMaxKeyLength);
  h.totalNodes = Be32(r + kBtTotalNodes);
  h.freeNodes = Be32(r + kBtFreeNodes);
  h.clumpSize = Be32(r + kBtClumpSize);
  h.compareType = r[kBtCompareType];
  if (h.nodeSize < kMinNodeSize || h.nodeSize > kMaxNodeSize || !std::has_single_bit(h.nodeSize)) {
    ErrorMsg(u"Invalid cluster size");
    return false;
  }
  if (h.freeNodes >= h.totalNodes || h.firstLeaf >= h.totalNodes || h.lastLeaf >= h.totalNodes) return false;
  if (out) *out = h;
  return true;
}

bool IsHFSCatalogLeafNode(const uint8_t* node, size_t bytes, uint32_t totalNodes) {
  if (bytes < kMinNodeSize) return false;
  if (int8_t(node[kNodeKind]) != kKindLeaf || node[kNodeHeight] != 1) return false;
  if (totalNodes && (Be32(node + kNodeForward) >= totalNodes || Be32(node + kNodeBackward) >= totalNodes)) return false;
  return CatalogRecordParses(node + kNodeDescriptorBytes, bytes - kNodeDescriptorBytes);
}

uint32_t FindHFSBTreeNodeSize(const uint8_t* data, size_t bytes) {
  for (uint32_t size = kMinNodeSize; size <= kMaxNodeSize && size <= bytes; size <<= 1)
    if (OffsetsHold(data, size)) return size;
  return 0;
}

uint16_t HfsRecordOffset(const uint8_t* node, uint32_t nodeSize, uint32_t i) {
  const uint64_t place = uint64_t(nodeSize) - 2 * (uint64_t(i) + 1);
  if (place + 2 > nodeSize) return 0;
  return Be16(node + place);
}
