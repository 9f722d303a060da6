#include "foundation/HTree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

namespace {

// An AVL tree of n records is at most 1.44 log2(n + 2) high: 92 covers any
// count a 64-bit address space can hold.
constexpr int kMaxHeight = 96;
constexpr size_t kMaxChunk = size_t(16) << 20;
constexpr size_t kMaxBuckets = size_t(1) << 30;
constexpr uint32_t kMaxInitialBuckets = uint32_t(1) << 20;  // more come by growing
constexpr HWord kNoText = 0;

inline HRecord* PtrOf(uintptr_t v) { return reinterpret_cast<HRecord*>(v & ~uintptr_t(3)); }

inline const char16_t* AsText(HWord w) { return reinterpret_cast<const char16_t*>(uintptr_t(w)); }
inline const uint8_t* AsCounted(HWord w) { return reinterpret_cast<const uint8_t*>(uintptr_t(w)); }

inline char16_t CountedChar(const uint8_t* name, int i) {
  if (name[1] & kCountedNameWide) return char16_t(name[2 + 2 * i] | name[3 + 2 * i] << 8);
  return char16_t(name[2 + i]);
}

size_t CountedBytes(const uint8_t* name) {
  return 2 + size_t(name[0]) * ((name[1] & kCountedNameWide) ? 2 : 1);
}

// Folded order first; with exact, the first raw difference of the text
// decides among folded-equal ones (recorded in *tie by the caller's order).
int CompareWide(const char16_t* a, const char16_t* b, int* tie) {
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x == y) {
      if (x == 0) return 0;
      continue;
    }
    char16_t fx = AsciiLower(x), fy = AsciiLower(y);
    if (fx != fy) return fx < fy ? -1 : 1;
    if (*tie == 0) *tie = x < y ? -1 : 1;
  }
}

int CompareCounted(const uint8_t* a, const uint8_t* b, int* tie) {
  static const uint8_t kEmpty[2] = {0, 0};
  if (!a) a = kEmpty;
  if (!b) b = kEmpty;
  int na = a[0], nb = b[0];
  int n = std::min(na, nb);
  for (int i = 0; i < n; ++i) {
    char16_t x = CountedChar(a, i), y = CountedChar(b, i);
    if (x == y) continue;
    char16_t fx = AsciiLower(x), fy = AsciiLower(y);
    if (fx != fy) return fx < fy ? -1 : 1;
    if (*tie == 0) *tie = x < y ? -1 : 1;
  }
  return na == nb ? 0 : (na < nb ? -1 : 1);
}

// Multiply-xor over the folded units, then a full avalanche so that every
// bit of the bucket index depends on every unit: names that differ only in a
// digit or two (camera sequences) spread over all buckets.
struct Hasher {
  uint64_t h = 0xCBF29CE484222325ull;
  void Add(char16_t c) { h = (h ^ AsciiLower(c)) * 0x100000001B3ull; }
  uint32_t Done() const {
    uint64_t x = h;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return uint32_t(x);
  }
};

// Blocks of 2 MiB and more ask for huge pages: lookups in a tree of
// millions of records touch pages at random, and the page walks of 4 KiB
// pages would cost as much as the cache misses.
constexpr size_t kHugePage = size_t(2) << 20;

void* AllocBlock(size_t size) {
  if (size < kHugePage) return std::aligned_alloc(64, (size + 63) & ~size_t(63));
  size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

HRecord** AllocBuckets(size_t count) {
  auto* p = static_cast<HRecord**>(AllocBlock(count * sizeof(HRecord*)));
  if (p) std::memset(p, 0, count * sizeof(HRecord*));
  return p;
}

uint32_t RoundUpPow2(uint64_t n) {
  uint64_t p = 1;
  while (p < n && p < kMaxBuckets) p <<= 1;
  return uint32_t(p);
}

}  // namespace

// The links of a record: the balance (-1, 0, +1) is kept plus one in the two
// low bits of the left link (records are 8-byte aligned).
struct HRecordAccess {
  static HRecord* Left(const HRecord* r) { return PtrOf(r->leftAndBalance_); }
  static HRecord* Right(const HRecord* r) { return r->right_; }
  static HRecord* Child(const HRecord* r, int dir) { return dir ? r->right_ : Left(r); }
  static int Balance(const HRecord* r) { return int(r->leftAndBalance_ & 3) - 1; }
  static void SetChild(HRecord* r, int dir, HRecord* c) {
    if (dir) r->right_ = c;
    else r->leftAndBalance_ = reinterpret_cast<uintptr_t>(c) | (r->leftAndBalance_ & 3);
  }
  static void SetBalance(HRecord* r, int b) {
    r->leftAndBalance_ = (r->leftAndBalance_ & ~uintptr_t(3)) | uintptr_t(b + 1);
  }
  static void Set(HRecord* r, HRecord* left, HRecord* right, int b) {
    r->leftAndBalance_ = reinterpret_cast<uintptr_t>(left) | uintptr_t(b + 1);
    r->right_ = right;
  }
};
namespace {
using Links = HRecordAccess;
}

// ---- allocation ----

// A whole cache line, so that records start on line boundaries and a 32-byte
// record never straddles two lines.
struct alignas(64) HTree::Arena::Chunk {
  Chunk* next;
  size_t size;
};

void* HTree::Arena::Take(size_t size, size_t align) {
  uintptr_t p = (reinterpret_cast<uintptr_t>(next) + (align - 1)) & ~uintptr_t(align - 1);
  if (next == nullptr || p > reinterpret_cast<uintptr_t>(end) || size > size_t(reinterpret_cast<uintptr_t>(end) - p)) {
    size_t want = std::max(nextSize, size + sizeof(Chunk) + align);
    auto* c = static_cast<Chunk*>(AllocBlock(want));
    if (!c) ShowErrorAndThrow();
    c->next = chunks;
    c->size = want;
    chunks = c;
    bytes += want;
    next = reinterpret_cast<char*>(c + 1);
    end = reinterpret_cast<char*>(c) + want;
    nextSize = std::min(nextSize * 2, kMaxChunk);
    p = (reinterpret_cast<uintptr_t>(next) + (align - 1)) & ~uintptr_t(align - 1);
  }
  next = reinterpret_cast<char*>(p + size);
  return reinterpret_cast<void*>(p);
}

void HTree::Arena::Release() {
  while (chunks) {
    Chunk* n = chunks->next;
    std::free(chunks);
    chunks = n;
  }
  next = end = nullptr;
  bytes = 0;
}

struct HTree::BigBlock {
  BigBlock* next;
  size_t size;
};

// ---- construction ----

HTree::HTree(uint32_t pageSize, uint32_t bucketCount, int columns, int keyColumns, uint32_t types0to3,
             uint32_t types4to7) {
  Init(pageSize, bucketCount, columns, keyColumns, types0to3, types4to7);
}

HTree::~HTree() { FreeAll(); }

void HTree::FreeAll() {
  records_.Release();
  texts_.Release();
  while (bigBlocks_) {
    BigBlock* n = bigBlocks_->next;
    std::free(bigBlocks_);
    bigBlocks_ = n;
  }
  bigBytes_ = 0;
  std::free(buckets_);
  buckets_ = nullptr;
  count_ = 0;
  lastName_ = nullptr;
  lastNameHadObject_ = false;
  lastCounted_ = nullptr;
}

void HTree::Init(uint32_t pageSize, uint32_t bucketCount, int columns, int keyColumns, uint32_t types0to3,
                 uint32_t types4to7) {
  FreeAll();
  columns_ = std::clamp(columns, 1, 8);
  keyColumns_ = std::clamp(keyColumns, 1, columns_);
  for (int i = 0; i < 8; ++i) types_[i] = uint8_t((i < 4 ? types0to3 >> (8 * i) : types4to7 >> (8 * (i - 4))) & 0xFF);
  for (int i = columns_; i < 8; ++i) types_[i] = 0;
  recordSize_ = sizeof(HRecord) + sizeof(HWord) * size_t(columns_);

  if (pageSize == 0) {
    // Larger records get larger pages: one doubling per halving of the
    // record size while it is at least 64 bytes, at most four.
    pageSize = 4096;
    for (size_t r = recordSize_, n = 0; r >= 64 && n < 4; r /= 2, ++n) pageSize *= 2;
  }
  pageSize_ = std::clamp<uint32_t>(pageSize, 1024, 1u << 20) & ~7u;
  bigTextBytes_ = pageSize_ / 2;
  records_.nextSize = pageSize_;
  texts_.nextSize = pageSize_;

  // Growing re-links records into more buckets; it keeps every answer only
  // when column 0 is a plain integer and no column matches by zero or keeps
  // fallback candidates (those answers depend on the tree's shape).
  growable_ = (types_[0] & 0x0F) == kHtInt;
  for (int i = 0; i < columns_; ++i)
    if (types_[i] & (kHtZeroMatchesAll | kHtBestCandidate)) growable_ = false;

  uint32_t buckets = RoundUpPow2(std::clamp<uint32_t>(bucketCount, 1, kMaxInitialBuckets));
  // Overlapping ranges must meet in one tree, whatever their starts.
  if ((types_[0] & 0x0F) == kHtRange) buckets = 1;
  buckets_ = AllocBuckets(buckets);
  if (!buckets_) ShowErrorAndThrow();
  bucketMask_ = buckets - 1;
}

size_t HTree::MemoryBytes() const {
  return records_.bytes + texts_.bytes + bigBytes_ + (bucketMask_ + 1) * sizeof(HRecord*);
}

// ---- hashing and comparison ----

uint32_t HTree::HashText(const char16_t* text) {
  Hasher h;
  if (text)
    for (; *text; ++text) h.Add(*text);
  return h.Done();
}

uint32_t HTree::HashText(WStringView text) {
  Hasher h;
  for (char16_t c : text) {
    if (c == 0) break;  // the text as a zero-terminated one would hash
    h.Add(c);
  }
  return h.Done();
}

uint32_t HTree::HashCounted(const uint8_t* name) {
  Hasher h;
  if (name)
    for (int i = 0, n = name[0]; i < n; ++i) h.Add(CountedChar(name, i));
  return h.Done();
}

size_t HTree::BucketOf(const HWord* key) const {
  HWord v = key[0];
  switch (types_[0] & 0x0F) {
    case kHtText: v = HashText(AsText(v)); break;
    case kHtCounted: v = HashCounted(AsCounted(v)); break;
    default: break;
  }
  return size_t(v) & bucketMask_;
}

int HTree::Compare(const HWord* key, const HRecord* rec, int keyCount, bool exact, bool inserting,
                   bool* candidate) const {
  const HWord* cols = rec->Columns();
  int tie = 0;
  for (int c = 0; c < keyCount; ++c) {
    uint8_t type = types_[c];
    HWord a = key[c], b = cols[c];
    int r = 0;
    switch (type & 0x0F) {
      case kHtInt:
        if ((type & kHtZeroMatchesAll) && (a == 0 || b == 0)) break;
        if (a != b) r = a < b ? -1 : 1;
        break;
      case kHtText:
        if (a == kNoText) {
          if (!inserting) break;  // a search without this text matches any
          if (b != kNoText) r = -1;
          break;
        }
        if (b == kNoText) {
          r = 1;
          break;
        }
        r = CompareWide(AsText(a), AsText(b), &tie);
        break;
      case kHtCounted:
        if (a == kNoText) {
          if (!inserting) break;
          if (b != kNoText) r = -1;
          break;
        }
        if (b == kNoText) {
          r = 1;
          break;
        }
        r = CompareCounted(AsCounted(a), AsCounted(b), &tie);
        break;
      case kHtRange:
        if (inserting) {
          HWord aEnd = c + 1 < columns_ ? key[c + 1] : a;
          HWord bEnd = c + 1 < columns_ ? cols[c + 1] : b;
          if (bEnd < a) r = 1;
          else if (aEnd < b) r = -1;
        } else if (a != b) {
          r = a < b ? -1 : 1;
        }
        ++c;  // the end column belongs to the range
        break;
      default:
        if (nodeNames_) {
          if (a != b) r = CompareCounted(nodeNames_(nodeContext_, a), nodeNames_(nodeContext_, b), &tie);
        } else if (a != b) {
          r = a < b ? -1 : 1;
        }
        break;
    }
    if (r != 0) {
      if (!inserting && (type & kHtBestCandidate) && candidate) *candidate = true;
      return r;
    }
  }
  return exact ? tie : 0;
}

HRecord* HTree::Descend(HRecord* p, const HWord* key, int keyCount, bool exact) const {
  HRecord* best = nullptr;
  while (p) {
    bool candidate = false;
    int r = Compare(key, p, keyCount, exact, false, &candidate);
    if (r == 0) return p;
    if (candidate) best = p;
    p = Links::Child(p, r > 0);
  }
  return best;
}

HRecord* HTree::Find(const HWord* key, bool exact, int keyCount) const {
  if (!key) return nullptr;
  if (keyCount < 0 || keyCount > keyColumns_) keyCount = keyColumns_;
  if (keyCount == 0) keyCount = 1;
  uint8_t kind0 = types_[0] & 0x0F;
  if ((kind0 == kHtText || kind0 == kHtCounted) && key[0] == kNoText) {
    // Column 0 skipped: any bucket may hold the record.
    HRecord* best = nullptr;
    for (size_t b = 0; b <= bucketMask_; ++b) {
      HRecord* r = Descend(buckets_[b], key, keyCount, exact);
      if (r && Compare(key, r, keyCount, exact, false, nullptr) == 0) return r;
      if (r) best = r;
    }
    return best;
  }
  return Descend(buckets_[BucketOf(key)], key, keyCount, exact);
}

// ---- insertion ----

HWord HTree::PoolColumn(int column, HWord value) {
  switch (types_[column] & 0x0F) {
    case kHtText: return HtWord(AddString(AsText(value), 0));
    case kHtCounted: return HtWord(AddString(AsCounted(value), 1));
    default: return value;
  }
}

HRecord* HTree::NewRecord(const HWord* key) {
  auto* rec = static_cast<HRecord*>(records_.Take(recordSize_, alignof(HRecord)));
  Links::Set(rec, nullptr, nullptr, 0);
  HWord* cols = rec->Columns();
  for (int c = 0; c < columns_; ++c) cols[c] = PoolColumn(c, key[c]);
  return rec;
}

HRecord* HTree::Insert(const HWord* key, bool* found, bool exact) {
  if (found) *found = false;
  if (!key) return nullptr;
  size_t bucket = BucketOf(key);
  HRecord* path[kMaxHeight];
  uint8_t dirs[kMaxHeight];
  int depth = 0;

  for (HRecord* p = buckets_[bucket]; p;) {
    int r = Compare(key, p, keyColumns_, exact, true, nullptr);
    if (r == 0) {
      if (found) *found = true;
      return p;
    }
    if (depth == kMaxHeight) ShowErrorAndThrow();  // not reachable for a balanced tree
    int dir = r > 0;
    path[depth] = p;
    dirs[depth++] = uint8_t(dir);
    p = Links::Child(p, dir);
  }

  HRecord* rec = NewRecord(key);
  ++count_;
  if (depth == 0) {
    buckets_[bucket] = rec;
  } else {
    Links::SetChild(path[depth - 1], dirs[depth - 1], rec);
    for (int i = depth - 1; i >= 0; --i) {
      HRecord* a = path[i];
      int nb = Links::Balance(a) + (dirs[i] ? 1 : -1);
      if (nb == 0) {
        Links::SetBalance(a, 0);
        break;
      }
      if (nb == 1 || nb == -1) {
        Links::SetBalance(a, nb);
        continue;  // this subtree grew; the parent sees it
      }
      // Out of balance on side d: single rotation when the child leans the
      // same way, double when it leans the other way.
      int d = dirs[i];
      int s = d ? 1 : -1;
      HRecord* b = Links::Child(a, d);
      HRecord* top;
      if (Links::Balance(b) == s) {
        Links::SetChild(a, d, Links::Child(b, 1 - d));
        Links::SetChild(b, 1 - d, a);
        Links::SetBalance(a, 0);
        Links::SetBalance(b, 0);
        top = b;
      } else {
        HRecord* c = Links::Child(b, 1 - d);
        Links::SetChild(b, 1 - d, Links::Child(c, d));
        Links::SetChild(c, d, b);
        Links::SetChild(a, d, Links::Child(c, 1 - d));
        Links::SetChild(c, 1 - d, a);
        int cb = Links::Balance(c);
        Links::SetBalance(a, cb == s ? -s : 0);
        Links::SetBalance(b, cb == -s ? s : 0);
        Links::SetBalance(c, 0);
        top = c;
      }
      if (i == 0) buckets_[bucket] = top;
      else Links::SetChild(path[i - 1], dirs[i - 1], top);
      break;
    }
  }
  if (growable_ && count_ > 2 * (bucketMask_ + 1) && bucketMask_ + 1 < kMaxBuckets) Grow();
  return rec;
}

namespace {

// A perfectly balanced AVL tree of the first n records of a list chained
// through the right links, in key order; *list moves past them.
HRecord* BuildBalanced(HRecord** list, size_t n, int* height) {
  if (n == 0) {
    *height = 0;
    return nullptr;
  }
  int hl, hr;
  HRecord* l = BuildBalanced(list, n / 2, &hl);
  HRecord* top = *list;
  *list = Links::Right(top);
  HRecord* r = BuildBalanced(list, n - n / 2 - 1, &hr);
  Links::Set(top, l, r, hr - hl);
  *height = std::max(hl, hr) + 1;
  return top;
}

template <class F>
void InOrder(HRecord* root, F&& f) {
  HRecord* stack[kMaxHeight];
  int n = 0;
  HRecord* p = root;
  while (p || n) {
    while (p) {
      stack[n++] = p;
      p = Links::Left(p);
    }
    p = stack[--n];
    HRecord* right = Links::Right(p);
    f(p);
    p = right;
  }
}

}  // namespace

// Doubles the buckets: each old bucket splits into two by the next bit of
// column 0; both halves keep key order and are rebuilt balanced, so no key
// is compared again. Amortised over the inserts since the last growth.
void HTree::Grow() {
  size_t oldCount = bucketMask_ + 1;
  size_t newCount = oldCount * 2;
  HRecord** fresh = AllocBuckets(newCount);
  if (!fresh) return;  // keep working with longer bucket trees
  for (size_t b = 0; b < oldCount; ++b) {
    // The roots lie anywhere in the record chunks: fetch some ahead.
    if (b + 16 < oldCount) __builtin_prefetch(buckets_[b + 16]);
    // Two lists in key order through the right links (the walk has read a
    // record's right link before it is reused), then two balanced trees.
    HRecord* head[2] = {nullptr, nullptr};
    HRecord* tail[2] = {nullptr, nullptr};
    size_t count[2] = {0, 0};
    InOrder(buckets_[b], [&](HRecord* r) {
      int half = (size_t(r->Column(0)) & oldCount) ? 1 : 0;
      Links::Set(r, nullptr, nullptr, 0);
      if (tail[half]) Links::SetChild(tail[half], 1, r);
      else head[half] = r;
      tail[half] = r;
      ++count[half];
    });
    int h;
    fresh[b] = BuildBalanced(&head[0], count[0], &h);
    fresh[b + oldCount] = BuildBalanced(&head[1], count[1], &h);
  }
  std::free(buckets_);
  buckets_ = fresh;
  bucketMask_ = newCount - 1;
}

// ---- string pool ----

const void* HTree::AddString(const void* text, int mode) {
  if (!text) return nullptr;
  size_t bytes;
  if (mode == 0) bytes = (WLen(static_cast<const char16_t*>(text)) + 1) * 2;
  else if (mode == 2) bytes = std::strlen(static_cast<const char*>(text)) + 1;
  else bytes = CountedBytes(static_cast<const uint8_t*>(text));
  void* copy;
  if (bytes > bigTextBytes_) {
    auto* block = static_cast<BigBlock*>(std::malloc(sizeof(BigBlock) + bytes));
    if (!block) ShowErrorAndThrow();
    block->next = bigBlocks_;
    block->size = sizeof(BigBlock) + bytes;
    bigBlocks_ = block;
    bigBytes_ += block->size;
    copy = block + 1;
  } else {
    copy = texts_.Take(bytes, 2);
  }
  std::memcpy(copy, text, bytes);
  return copy;
}

const char16_t* HTree::AddString(WStringView text) {
  size_t units = text.size();
  size_t bytes = (units + 1) * 2;
  char16_t* copy;
  if (bytes > bigTextBytes_) {
    auto* block = static_cast<BigBlock*>(std::malloc(sizeof(BigBlock) + bytes));
    if (!block) ShowErrorAndThrow();
    block->next = bigBlocks_;
    block->size = sizeof(BigBlock) + bytes;
    bigBlocks_ = block;
    bigBytes_ += block->size;
    copy = reinterpret_cast<char16_t*>(block + 1);
  } else {
    copy = static_cast<char16_t*>(texts_.Take(bytes, 2));
  }
  if (units) std::memcpy(copy, text.data(), units * 2);
  copy[units] = 0;
  return copy;
}

// ---- interning ----

const char16_t* HTree::InternName(const char16_t* text, bool* found, bool exact, void* object) {
  if (found) *found = false;
  if (!text || columns_ < 2 || (types_[1] & 0x0F) != kHtText) return nullptr;
  if (lastName_ && (!object || lastNameHadObject_)) {
    int tie = 0;
    if (CompareWide(text, lastName_, &tie) == 0 && (!exact || tie == 0)) {
      if (found) *found = true;
      return lastName_;
    }
  }
  HWord key[8] = {HashText(text), HtWord(text)};
  bool present = false;
  HRecord* rec = Insert(key, &present, exact);
  if (!rec) return nullptr;
  if (object && columns_ > 2 && rec->Column(columns_ - 1) == 0 && columns_ - 1 >= keyColumns_)
    rec->Columns()[columns_ - 1] = HtWord(object);
  if (found) *found = present;
  lastName_ = rec->Text(1);
  lastNameHadObject_ = object != nullptr;
  return lastName_;
}

const uint8_t* HTree::InternCounted(const uint8_t* name, bool* found, bool exact) {
  if (found) *found = false;
  if (!name || columns_ < 2 || (types_[1] & 0x0F) != kHtCounted) return nullptr;
  if (lastCounted_) {
    int tie = 0;
    if (CompareCounted(name, lastCounted_, &tie) == 0 && (!exact || tie == 0)) {
      if (found) *found = true;
      return lastCounted_;
    }
  }
  HWord key[8] = {HashCounted(name), HtWord(name)};
  bool present = false;
  HRecord* rec = Insert(key, &present, exact);
  if (!rec) return nullptr;
  if (found) *found = present;
  lastCounted_ = rec->Counted(1);
  return lastCounted_;
}

// ---- lookups ----

HRecord* HTree::FindById(HWord id) const {
  HWord key[8] = {id};
  return Find(key, false, 1);
}

HRecord* HTree::FindKey2(HWord a, HWord b) const {
  HWord key[8] = {a, b};
  return Find(key, false, 2);
}

HRecord* HTree::FindKey3(HWord a, HWord b, HWord c) const {
  HWord key[8] = {a, b, c};
  return Find(key, false, 3);
}

HRecord* HTree::FindKey4(HWord a, HWord b, HWord c, HWord d) const {
  HWord key[8] = {a, b, c, d};
  return Find(key, false, 4);
}

int64_t HTree::FindIntValue(HWord a) const {
  if (columns_ < 2) return -1;
  HWord key[8] = {a};
  HRecord* r = Find(key, false, 1);
  return r ? int64_t(r->Column(1)) : -1;
}

HRecord* HTree::FindNameRecord(const char16_t* text, bool exact) const {
  if (!text) return nullptr;
  HWord key[8] = {HashText(text), HtWord(text)};
  return Find(key, exact);
}

HWord HTree::FindName(const char16_t* text, HWord* out, bool exact) const {
  HRecord* r = FindNameRecord(text, exact);
  if (out) *out = (r && columns_ > 3) ? r->Column(3) : 0;
  return (r && columns_ > 2) ? r->Column(2) : 0;
}

HWord HTree::FindNameColumn(const char16_t* text, int k, bool exact) const {
  if (k < 0 || k >= columns_) return 0;
  HRecord* r = FindNameRecord(text, exact);
  return r ? r->Column(k) : 0;
}

HWord HTree::FindNameValue(const char16_t* text, HWord v, bool exact) const {
  if (!text) return 0;
  HWord key[8] = {HashText(text), HtWord(text), v};
  HRecord* r = Find(key, exact);
  return (r && columns_ > 3) ? r->Column(3) : 0;
}

void* HTree::FindExtended(HWord a, HWord b, HWord c, HWord d) const {
  HWord key[8] = {a, b, c, d};
  HRecord* r = Find(key, false, 4);
  return (r && columns_ > 4) ? r->Object(4) : nullptr;
}

// ---- adding ----

HRecord* HTree::AddName(const char16_t* text, HWord v, HWord w, bool* found) {
  HWord key[8] = {HashText(text), HtWord(text), v, w};
  return Insert(key, found);
}

HRecord* HTree::AddKey3(HWord a, HWord b, HWord c, bool* found) {
  HWord key[8] = {a, b, c};
  return Insert(key, found);
}

HRecord* HTree::AddRecord(HWord a, HWord b, HWord c, HWord d, HWord e, void* object, bool* found) {
  HWord key[8] = {a, b, c, d, e, HtWord(object)};
  return Insert(key, found);
}

HRecord* HTree::AddKey4(HWord a, HWord b, HWord c, HWord d, bool* found) {
  HWord key[8] = {a, b, c, d};
  return Insert(key, found);
}

HRecord* HTree::AddPair(const char16_t* text, const char16_t* text2, HWord v, bool* found) {
  HWord key[8] = {HashText(text), HtWord(text), v, HtWord(text2)};
  return Insert(key, found);
}

HRecord* HTree::AddIntPair(HWord a, HWord b, bool* found) {
  HWord key[8] = {a, b};
  return Insert(key, found);
}

HRecord* HTree::AddNodeKey(HWord a, HWord b, HWord c, HWord d, void* entry) {
  HWord key[8] = {a, b, c, d, HtWord(entry)};
  bool present = false;
  HRecord* r = Insert(key, &present);
  return present ? nullptr : r;
}

HRecord* HTree::AddIfAbsent(HWord a, HWord b) {
  HWord key[8] = {a, b};
  bool present = false;
  HRecord* r = Insert(key, &present);
  return present ? nullptr : r;
}

HRecord* HTree::AddItem(HWord id, HWord parent, const char16_t* text, bool* found) {
  HWord key[8] = {id, HtWord(text), parent};
  return Insert(key, found);
}

HRecord* HTree::FindOrAddId(HWord id, HWord parent, const char16_t* text) {
  HRecord* r = FindById(id);
  if (!r) return AddItem(id, parent, text);
  if (columns_ > 1 && (types_[1] & 0x0F) == kHtText && text && *text) {
    const char16_t* name = r->Text(1);
    if (!name || !*name) SetColumn(r, 1, HtWord(text));
  }
  if (columns_ > 2 && parent != 0 && r->Column(2) == 0) SetColumn(r, 2, parent);
  return r;
}

// ---- changing a record ----

// True when the record, with newKey as its key, would still sort between
// its neighbours in its bucket.
bool HTree::KeepsPlace(HRecord* record, const HWord* newKey) const {
  const HWord* oldKey = record->Columns();
  HRecord* pred = nullptr;
  HRecord* succ = nullptr;
  HRecord* p = buckets_[BucketOf(oldKey)];
  while (p && p != record) {
    int r = Compare(oldKey, p, keyColumns_, true, true, nullptr);
    if (r == 0) return false;  // another record answers to the same key: leave it
    if (r < 0) {
      succ = p;
    } else {
      pred = p;
    }
    p = Links::Child(p, r > 0);
  }
  if (!p) return false;
  if (HRecord* l = Links::Left(p)) {
    while (Links::Right(l)) l = Links::Right(l);
    pred = l;
  }
  if (HRecord* r = Links::Right(p)) {
    while (Links::Left(r)) r = Links::Left(r);
    succ = r;
  }
  if (pred && Compare(newKey, pred, keyColumns_, true, true, nullptr) <= 0) return false;
  if (succ && Compare(newKey, succ, keyColumns_, true, true, nullptr) >= 0) return false;
  return true;
}

bool HTree::SetColumn(HRecord* record, int column, HWord value) {
  if (!record || column < 0 || column >= columns_) return false;
  bool isKey = column < keyColumns_ || (column > 0 && (types_[column - 1] & 0x0F) == kHtRange &&
                                         column - 1 < keyColumns_);
  if (isKey) {
    if (column == 0) return false;
    HWord newKey[8];
    std::memcpy(newKey, record->Columns(), sizeof(HWord) * size_t(columns_));
    newKey[column] = value;
    if (!KeepsPlace(record, newKey)) return false;
  }
  record->Columns()[column] = PoolColumn(column, value);
  if (column == 1) {  // the caches hold column 1 of some record
    lastName_ = nullptr;
    lastCounted_ = nullptr;
  }
  return true;
}

// ---- whole tree ----

void HTree::ForEach(const std::function<void(HRecord*)>& visit) const {
  for (size_t b = 0; b <= bucketMask_; ++b) InOrder(buckets_[b], [&](HRecord* r) { visit(r); });
}

void HTree::DeleteAllTrees(const std::function<void(void*)>& destroy, int column) {
  if (column < 0 || column >= columns_ || column < keyColumns_) return;
  ForEach([&](HRecord* r) {
    void* object = r->Object(column);
    if (object) {
      r->Columns()[column] = 0;
      if (destroy) destroy(object);
    }
  });
}

HTreeStats HTree::Stats() const {
  HTreeStats s;
  s.buckets = bucketMask_ + 1;
  for (size_t b = 0; b <= bucketMask_; ++b) {
    if (!buckets_[b]) continue;
    ++s.usedBuckets;
    size_t n = 0;
    InOrder(buckets_[b], [&](HRecord*) { ++n; });
    s.largestBucket = std::max(s.largestBucket, n);
    // Height: follow the heavier side down.
    int h = 0;
    for (HRecord* p = buckets_[b]; p; ++h) {
      p = Links::Child(p, Links::Balance(p) > 0);
    }
    s.tallestTree = std::max(s.tallestTree, h);
  }
  return s;
}
