#include "foundation/SectRanges.h"

#include <algorithm>
#include <limits>
#include <new>

#include <sys/mman.h>

#include "foundation/Trace.h"

template <class T>
T* CSectRanges::LargePageAllocator<T>::allocate(size_t n) {
  constexpr size_t kHugePage = size_t(2) << 20;
  if (n > (std::numeric_limits<size_t>::max() - kHugePage) / sizeof(T)) throw std::bad_alloc();
  size_t bytes = n * sizeof(T);
  void* p;
  if (bytes >= kHugePage) {
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = std::aligned_alloc(kHugePage, bytes);
    if (p) madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
  } else {
    p = std::malloc(bytes ? bytes : 1);
  }
  if (!p) throw std::bad_alloc();
  return static_cast<T*>(p);
}

CSectRanges::CSectRanges() { TRACE_FN("CSectRanges::CSectRanges"); }

CSectRanges::~CSectRanges() = default;

CSectRanges::CSectRanges(const CSectRanges& other)
    : domainFirst_(other.domainFirst_),
      domainEnd_(other.domainEnd_),
      count_(other.count_),
      array_(other.array_),
      lastGapFirst_(other.lastGapFirst_),
      lastGapEnd_(other.lastGapEnd_),
      nodes_(other.nodes_),
      root_(other.root_),
      freeList_(other.freeList_) {}

CSectRanges& CSectRanges::operator=(const CSectRanges& other) {
  if (this == &other) return *this;
  domainFirst_ = other.domainFirst_;
  domainEnd_ = other.domainEnd_;
  count_ = other.count_;
  array_ = other.array_;
  lastGapFirst_ = other.lastGapFirst_;
  lastGapEnd_ = other.lastGapEnd_;
  nodes_ = other.nodes_;
  root_ = other.root_;
  freeList_ = other.freeList_;
  pieceStarts_.clear();
  pieceEnds_.clear();
  return *this;
}

void CSectRanges::SetDomain(uint64_t first, uint64_t end) {
  if (end <= first) {
    // Owners compute the domain from a drive size that may be unset (-1 + 1
    // gives 0); an empty domain would make every read come back as zeros.
    domainFirst_ = 0;
    domainEnd_ = kUnboundedEnd;
    return;
  }
  domainFirst_ = first;
  domainEnd_ = end;
}

// Every use of the node array is in this file.
template struct CSectRanges::LargePageAllocator<CSectRanges::Node>;

// ---- tree nodes ----

uint32_t CSectRanges::NewNode(uint64_t first, uint64_t end) {
  try {
    if (nodes_.empty()) nodes_.push_back(Node{0, 0, kNil, kNil, 0});
    uint32_t n = freeList_;
    if (n != kNil) {
      freeList_ = nodes_[n].left;
    } else {
      if (nodes_.size() >= size_t(std::numeric_limits<uint32_t>::max())) ShowErrorAndThrow();
      nodes_.push_back(Node{});
      n = uint32_t(nodes_.size() - 1);
    }
    nodes_[n] = Node{first, end, kNil, kNil, 1};
    return n;
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
}

void CSectRanges::FreeNode(uint32_t n) {
  nodes_[n].left = freeList_;
  nodes_[n].right = kNil;
  nodes_[n].height = 0;
  freeList_ = n;
}

void CSectRanges::Update(uint32_t n) {
  nodes_[n].height = 1 + std::max(Height(nodes_[n].left), Height(nodes_[n].right));
}

uint32_t CSectRanges::RotateRight(uint32_t n) {
  uint32_t l = nodes_[n].left;
  nodes_[n].left = nodes_[l].right;
  nodes_[l].right = n;
  Update(n);
  Update(l);
  return l;
}

uint32_t CSectRanges::RotateLeft(uint32_t n) {
  uint32_t r = nodes_[n].right;
  nodes_[n].right = nodes_[r].left;
  nodes_[r].left = n;
  Update(n);
  Update(r);
  return r;
}

uint32_t CSectRanges::Balance(uint32_t n) {
  Update(n);
  const int32_t lean = Height(nodes_[n].left) - Height(nodes_[n].right);
  if (lean > 1) {
    uint32_t l = nodes_[n].left;
    if (Height(nodes_[l].left) < Height(nodes_[l].right)) nodes_[n].left = RotateLeft(l);
    return RotateRight(n);
  }
  if (lean < -1) {
    uint32_t r = nodes_[n].right;
    if (Height(nodes_[r].right) < Height(nodes_[r].left)) nodes_[n].right = RotateRight(r);
    return RotateLeft(n);
  }
  return n;
}

// Inserts [first, end) below t unless a node overlaps or touches it; that
// node is returned in *touching and the tree is left unchanged. *grew tells
// the caller whether the subtree got taller: once it did not, no ancestor
// needs rebalancing, which spares reading the siblings all the way up. Only
// indices are held across the recursion: NewNode may move the node array.
uint32_t CSectRanges::Insert(uint32_t t, uint64_t first, uint64_t end, uint32_t* touching, bool* grew) {
  if (t == kNil) {
    *grew = true;
    return NewNode(first, end);
  }
  if (end < nodes_[t].first) {
    uint32_t child = Insert(nodes_[t].left, first, end, touching, grew);
    nodes_[t].left = child;
  } else if (first > nodes_[t].end) {
    uint32_t child = Insert(nodes_[t].right, first, end, touching, grew);
    nodes_[t].right = child;
  } else {
    *touching = t;
    *grew = false;
    return t;
  }
  if (!*grew) return t;
  const int32_t before = nodes_[t].height;
  const uint32_t top = Balance(t);
  *grew = nodes_[top].height != before;
  return top;
}

uint32_t CSectRanges::RemoveMin(uint32_t t, uint32_t* min) {
  if (nodes_[t].left == kNil) {
    *min = t;
    return nodes_[t].right;
  }
  uint32_t child = RemoveMin(nodes_[t].left, min);
  nodes_[t].left = child;
  return Balance(t);
}

// Removes the node starting at first. Nodes are relinked, never copied, so
// the indices of the other nodes stay valid (AddRange holds one).
uint32_t CSectRanges::Remove(uint32_t t, uint64_t first) {
  if (t == kNil) return kNil;
  if (first < nodes_[t].first) {
    uint32_t child = Remove(nodes_[t].left, first);
    nodes_[t].left = child;
  } else if (first > nodes_[t].first) {
    uint32_t child = Remove(nodes_[t].right, first);
    nodes_[t].right = child;
  } else {
    const uint32_t l = nodes_[t].left, r = nodes_[t].right;
    FreeNode(t);
    if (r == kNil) return l;
    uint32_t m = kNil;
    const uint32_t rest = RemoveMin(r, &m);
    nodes_[m].left = l;
    nodes_[m].right = rest;
    return Balance(m);
  }
  return Balance(t);
}

uint32_t CSectRanges::LeftmostEndingAtOrAfter(uint64_t position) const {
  uint32_t best = kNil;
  for (uint32_t t = root_; t != kNil;) {
    if (nodes_[t].end >= position) {
      best = t;
      t = nodes_[t].left;
    } else {
      t = nodes_[t].right;
    }
  }
  return best;
}

uint32_t CSectRanges::RightmostStartingAtOrBefore(uint64_t position) const {
  uint32_t best = kNil;
  for (uint32_t t = root_; t != kNil;) {
    if (nodes_[t].first <= position) {
      best = t;
      t = nodes_[t].right;
    } else {
      t = nodes_[t].left;
    }
  }
  return best;
}

uint32_t CSectRanges::BuildBalanced(size_t lo, size_t hi) {
  if (lo >= hi) return kNil;
  const size_t mid = lo + (hi - lo) / 2;
  const uint32_t n = NewNode(array_[mid].first, array_[mid].end);
  const uint32_t l = BuildBalanced(lo, mid);
  const uint32_t r = BuildBalanced(mid + 1, hi);
  nodes_[n].left = l;
  nodes_[n].right = r;
  Update(n);
  return n;
}

void CSectRanges::MakeTreeFromArray() {
  FreeTree();
  if (array_.empty()) return;
  try {
    nodes_.reserve(array_.size() + 1);
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
  root_ = BuildBalanced(0, array_.size());
  std::vector<Range>().swap(array_);
}

void CSectRanges::FreeTree() {
  decltype(nodes_)().swap(nodes_);
  root_ = kNil;
  freeList_ = kNil;
}

// ---- operations ----

void CSectRanges::AddRange(uint64_t first, uint64_t end) {
  TRACE_FN("CSectRanges::AddRange");
  // Session and exclusion files can hold such ranges; they cover nothing.
  if (first >= end) return;
  if (root_ == kNil && !array_.empty()) MakeTreeFromArray();

  uint32_t x = kNil;
  bool grew = false;
  root_ = Insert(root_, first, end, &x, &grew);
  if (x == kNil) {
    ++count_;
    return;
  }
  uint64_t newFirst = std::min(first, nodes_[x].first);
  uint64_t newEnd = std::max(end, nodes_[x].end);
  if (newFirst == nodes_[x].first && newEnd == nodes_[x].end) return;

  // Absorb the neighbours the grown range now reaches. Ranges in the set
  // never touch, so they are consecutive around x; widening x in place keeps
  // the order once they are gone.
  for (;;) {
    const uint32_t l = LeftmostEndingAtOrAfter(newFirst);
    if (l == x || l == kNil) break;
    newFirst = std::min(newFirst, nodes_[l].first);
    root_ = Remove(root_, nodes_[l].first);
    --count_;
  }
  for (;;) {
    const uint32_t r = RightmostStartingAtOrBefore(newEnd);
    if (r == x || r == kNil) break;
    newEnd = std::max(newEnd, nodes_[r].end);
    root_ = Remove(root_, nodes_[r].first);
    --count_;
  }
  nodes_[x].first = newFirst;
  nodes_[x].end = newEnd;
}

std::vector<CSectRanges::Range> CSectRanges::List() const {
  if (root_ == kNil) return array_;
  std::vector<Range> out;
  try {
    out.reserve(count_);
    std::vector<uint32_t> stack;
    stack.reserve(64);
    uint32_t t = root_;
    while (t != kNil || !stack.empty()) {
      while (t != kNil) {
        stack.push_back(t);
        t = nodes_[t].left;
      }
      t = stack.back();
      stack.pop_back();
      out.push_back(Range{nodes_[t].first, nodes_[t].end});
      t = nodes_[t].right;
    }
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
  return out;
}

void CSectRanges::MakeArrayFromTree() {
  TRACE_FN("CSectRanges::MakeArrayFromTree");
  if (root_ == kNil) return;
  array_ = List();
  FreeTree();
}

bool CSectRanges::RemoveRange(uint32_t index) {
  if (root_ != kNil) MakeArrayFromTree();
  if (index >= array_.size()) return false;
  array_.erase(array_.begin() + index);
  --count_;
  if (array_.empty()) std::vector<Range>().swap(array_);
  return true;
}

uint32_t CSectRanges::MakeWhiteList(uint64_t offset, uint32_t length) {
  TRACE_FN("CSectRanges::MakeWhiteList");
  pieceStarts_.clear();
  pieceEnds_.clear();
  if (root_ != kNil) MakeArrayFromTree();

  uint64_t requestEnd = offset + length;
  if (requestEnd < offset) requestEnd = kUnboundedEnd;
  // Readable: the domain minus the ranges. Gap i lies before range i, gap n
  // after the last one.
  const uint64_t lo = std::max(offset, domainFirst_);
  const uint64_t hi = std::min(requestEnd, domainEnd_);
  if (lo >= hi) return 0;

  const size_t n = array_.size();
  // The first gap that can reach lo follows the last range starting at or
  // before lo; with no such range it is the gap before the first range.
  size_t i = size_t(std::upper_bound(array_.begin(), array_.end(), lo,
                                     [](uint64_t p, const Range& r) { return p < r.first; }) -
                    array_.begin());
  try {
    for (; i <= n; ++i) {
      const uint64_t gapFirst = std::max(i == 0 ? uint64_t(0) : array_[i - 1].end, domainFirst_);
      const uint64_t gapEnd = std::min(i == n ? domainEnd_ : array_[i].first, domainEnd_);
      if (gapFirst >= hi) break;
      const uint64_t a = std::max(gapFirst, lo);
      const uint64_t b = std::min(gapEnd, hi);
      if (a >= b) continue;  // an empty or inverted gap reads nothing
      pieceStarts_.push_back(uint32_t(a - offset));
      pieceEnds_.push_back(uint32_t(b - offset));
      lastGapFirst_ = gapFirst;
      lastGapEnd_ = gapEnd;
    }
  } catch (const std::bad_alloc&) {
    pieceStarts_.clear();
    pieceEnds_.clear();
    ShowErrorAndThrow();
  }
  return PieceCount();
}

void CSectRanges::GetNextReadRange(uint64_t* first, uint64_t* end, uint64_t position, uint64_t unit) {
  TRACE_FN("CSectRanges::GetNextReadRange");
  uint64_t resultFirst = kNoRange, resultEnd = kNoRange;
  if (unit != 0) {
    uint64_t p;
    if (__builtin_mul_overflow(position, unit, &p)) p = kUnboundedEnd;
    if (root_ == kNil && !array_.empty()) MakeTreeFromArray();
    // Drop what lies behind the reading position; the pass only moves on.
    while (root_ != kNil) {
      uint32_t t = root_;
      while (nodes_[t].left != kNil) t = nodes_[t].left;
      if (nodes_[t].end > p) break;
      uint32_t m = kNil;
      root_ = RemoveMin(root_, &m);
      FreeNode(m);
      --count_;
    }
    // Every range left ends after p, so the first one holds p or follows it.
    if (root_ != kNil) {
      uint32_t t = root_;
      while (nodes_[t].left != kNil) t = nodes_[t].left;
      resultFirst = nodes_[t].first / unit;
      resultEnd = nodes_[t].end / unit;
    } else {
      FreeTree();
    }
  }
  if (first) *first = resultFirst;
  if (end) *end = resultEnd;
}

int CSectRanges::TreeDepth() const { return root_ == kNil ? 0 : Height(root_); }

// Height of a valid subtree whose ranges lie inside [low, high], else -1.
int32_t CSectRanges::CheckSubtree(uint32_t t, uint64_t low, uint64_t high, uint32_t* nodes) const {
  if (t == kNil) return 0;
  if (t >= nodes_.size() || ++*nodes > count_) return -1;
  const Node& n = nodes_[t];
  if (n.first >= n.end || n.first < low || n.end > high) return -1;
  // Neighbours never touch: a gap of at least one on either side.
  const int32_t l = n.first == 0 ? (n.left == kNil ? 0 : -1) : CheckSubtree(n.left, low, n.first - 1, nodes);
  const int32_t r = n.end == kUnboundedEnd ? (n.right == kNil ? 0 : -1) : CheckSubtree(n.right, n.end + 1, high, nodes);
  if (l < 0 || r < 0 || l - r > 1 || r - l > 1) return -1;
  const int32_t h = 1 + std::max(l, r);
  return h == n.height ? h : -1;
}

bool CSectRanges::CheckTree() const {
  if (root_ == kNil) return true;
  uint32_t nodes = 0;
  return CheckSubtree(root_, 0, kUnboundedEnd, &nodes) >= 0 && nodes == count_;
}
