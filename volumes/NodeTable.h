// The scan engine's table of found-file nodes: a segmented array of node
// pointers indexed by a dense 32-bit index, plus the pool that holds every
// node name. Indexes stay valid for the life of the table; the table owns
// its nodes.
//
// Indexes also come from session files and from fields of nodes (a parent
// index, flag 0x0020): every accessor checks its index, so a damaged file
// gives a null node instead of a stray read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/HTree.h"
#include "platform/Text.h"

struct cnode;

class CNdArray {
 public:
  static constexpr uint32_t kSegmentSlots = 1024;
  static constexpr uint32_t kSegmentShift = 10;
  static constexpr uint32_t kSegmentMask = 1023;
  static constexpr int64_t kAppend = -1;

  CNdArray();
  // Destroys every node, the segments and both trees.
  ~CNdArray();
  CNdArray(const CNdArray&) = delete;
  CNdArray& operator=(const CNdArray&) = delete;

  // The node at i; null for an empty slot or an index outside the table.
  cnode* GetAt(int64_t i) const;
  // Puts a node at i: kAppend (-1) or i == Count() appends; i below the
  // count replaces the slot, destroying the node that was there (the same
  // node again changes nothing). Returns the index used, or -1 when i is
  // beyond the count or the table is full; the caller then keeps the node.
  // A segment that cannot be made ends in ShowErrorAndThrow.
  int64_t SetAt(cnode* node, int64_t i = kAppend);
  // Destroys the node at i and empties the slot; the count stays.
  void DeleteAt(int64_t i);
  // Hands the node at i back to the caller and empties the slot.
  cnode* TakeAt(int64_t i);

  // The pooled counted name of the text (8-bit when every character is
  // below 256, else 16-bit; at most 255 characters); exact comparison, so
  // "abc" and "ABC" are two names. The only way node names are made.
  const uint8_t* InternName(WStringView text);

  // Binary search of lo..hi (clamped to the table) for the NTFS node whose
  // position equals `position`; nodes in that range are ordered by
  // position. -1 when absent, for an empty range, and at an empty slot or a
  // node of another family (traced "nd[%ld] = 0").
  int64_t FindByPosition(uint64_t position, int64_t lo, int64_t hi) const;

  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return uint32_t(segments_.size()) * kSegmentSlots; }
  size_t SegmentCount() const { return segments_.size(); }

  // For node-index columns of an HTree (HTree::SetNodeNames): the name of
  // the node at `index` of the CNdArray given as context.
  static const uint8_t* NodeName(const void* table, HWord index);

  HTree namePool;     // (counted-name hash, counted name), both keys
  HTree engineNames;  // (integer, wide text), both keys: kept for the engine

 private:
  cnode*& Slot(uint32_t i) const { return segments_[i >> kSegmentShift][i & kSegmentMask]; }
  void Grow();

  std::vector<std::unique_ptr<cnode*[]>> segments_;
  uint32_t count_ = 0;
  uint8_t scratch_[kCountedNameMaxBytes + 6] = {};
};
