// A set of 64-bit half-open ranges [first, end) (sectors or bytes, as the
// owner decides): sector exclusion lists, the ranges covered by found files,
// skip ranges of the scan. Insertions merge overlapping and touching ranges.
//
// The set lives in one of two forms. While it is filled it is a height-
// balanced (AVL) tree, so long runs of insertions in any order cost
// O(log n) each; once flattened (MakeArrayFromTree) it is a sorted array,
// which the exclusion dialog lists by index and MakeWhiteList searches.
// Every operation takes the set to the form it needs by itself.
//
// GetNextReadRange drops the ranges behind the position it is given, so a
// reading pass must work on its own copy of a set (copy constructor or
// CopyFrom), never on a set that others keep using, such as a drive's
// exclusion set.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

class CSectRanges {
 public:
  struct Range {
    uint64_t first;
    uint64_t end;  // first position after the range
    bool operator==(const Range&) const = default;
  };
  static constexpr uint64_t kNoRange = 0x7FFFFFFFFFFFFFFFull;
  static constexpr uint64_t kUnboundedEnd = ~0ull;

  CSectRanges();
  virtual ~CSectRanges();
  // Copies the ranges (in either form), the domain and the last readable gap;
  // the copy starts with an empty white list of its own.
  CSectRanges(const CSectRanges& other);
  CSectRanges& operator=(const CSectRanges& other);
  void CopyFrom(const CSectRanges& other) { *this = other; }

  // The space the set lives in; MakeWhiteList reads only inside it. An empty
  // or inverted domain (end <= first, e.g. computed from an unset drive size)
  // leaves the domain unset, which is unbounded: [0, kUnboundedEnd).
  void SetDomain(uint64_t first, uint64_t end);
  uint64_t DomainFirst() const { return domainFirst_; }
  uint64_t DomainEnd() const { return domainEnd_; }

  // Adds [first, end), merging it with every range it overlaps or touches.
  // An empty or inverted range (first >= end) is ignored.
  void AddRange(uint64_t first, uint64_t end);

  // Turns the tree into the sorted array.
  void MakeArrayFromTree();
  // Deletes entry index of the sorted array (flattening first when needed).
  // False for an index out of range.
  bool RemoveRange(uint32_t index);

  // Lists the readable pieces of the request [offset, offset + length): the
  // parts inside the domain that no range covers, as (start, end) relative
  // to offset, in PieceStarts/PieceEnds. Returns the piece count. Flattens a
  // set in tree form.
  uint32_t MakeWhiteList(uint64_t offset, uint32_t length);
  uint32_t PieceCount() const { return uint32_t(pieceStarts_.size()); }
  const std::vector<uint32_t>& PieceStarts() const { return pieceStarts_; }
  const std::vector<uint32_t>& PieceEnds() const { return pieceEnds_; }
  // The last readable gap a white list used (0, 0 before any).
  uint64_t LastGapFirst() const { return lastGapFirst_; }
  uint64_t LastGapEnd() const { return lastGapEnd_; }

  // The range holding position * unit, or else the next one after it, in
  // units (first / unit, end / unit); kNoRange for both when there is none
  // or the unit is 0. Drops every range that ends at or before
  // position * unit (see the note at the top). Turns the set into a tree.
  void GetNextReadRange(uint64_t* first, uint64_t* end, uint64_t position, uint64_t unit);

  uint32_t Count() const { return count_; }
  bool IsFlat() const { return root_ == kNil; }
  // The sorted array; empty while the set is a tree.
  const std::vector<Range>& Array() const { return array_; }
  // The ranges in order, whatever the form.
  std::vector<Range> List() const;
  // Height of the tree (0 in array form).
  int TreeDepth() const;
  // Self-check of the tree form: order, stored heights and the AVL balance
  // of every node. True in array form.
  bool CheckTree() const;

 private:
  // Large node arrays ask for huge pages: a lookup in a tree of millions of
  // nodes walks ~25 levels, each a likely TLB miss on small pages.
  template <class T>
  struct LargePageAllocator {
    using value_type = T;
    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) {}
    T* allocate(size_t n);
    void deallocate(T* p, size_t) { std::free(p); }
    template <class U>
    bool operator==(const LargePageAllocator<U>&) const {
      return true;
    }
  };

  static constexpr uint32_t kNil = 0;  // node 0 is the null sentinel
  struct Node {
    uint64_t first;
    uint64_t end;
    uint32_t left;
    uint32_t right;
    int32_t height;
  };

  uint32_t NewNode(uint64_t first, uint64_t end);
  void FreeNode(uint32_t n);
  int32_t Height(uint32_t n) const { return nodes_[n].height; }
  void Update(uint32_t n);
  uint32_t RotateLeft(uint32_t n);
  uint32_t RotateRight(uint32_t n);
  uint32_t Balance(uint32_t n);
  uint32_t Insert(uint32_t t, uint64_t first, uint64_t end, uint32_t* touching, bool* grew);
  uint32_t RemoveMin(uint32_t t, uint32_t* min);
  uint32_t Remove(uint32_t t, uint64_t first);
  uint32_t LeftmostEndingAtOrAfter(uint64_t position) const;
  uint32_t RightmostStartingAtOrBefore(uint64_t position) const;
  uint32_t BuildBalanced(size_t lo, size_t hi);
  void MakeTreeFromArray();
  void FreeTree();
  int32_t CheckSubtree(uint32_t t, uint64_t low, uint64_t high, uint32_t* nodes) const;

  uint64_t domainFirst_ = 0;
  uint64_t domainEnd_ = kUnboundedEnd;
  uint32_t count_ = 0;
  std::vector<Range> array_;  // flattened form
  std::vector<uint32_t> pieceStarts_;
  std::vector<uint32_t> pieceEnds_;
  uint64_t lastGapFirst_ = 0;
  uint64_t lastGapEnd_ = 0;
  // Tree form: nodes by index (32 bytes each, no per-node allocation), free
  // slots chained through `left`.
  std::vector<Node, LargePageAllocator<Node>> nodes_;
  uint32_t root_ = kNil;
  uint32_t freeList_ = kNil;
};
