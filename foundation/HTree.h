// The program's one associative container: hash buckets, each an AVL tree of
// fixed-size records of up to eight 64-bit columns, with a pool that keeps
// one shared copy of each text. Records and texts come from large chunks and
// are freed only with the tree; there is no removal of a single record.
//
// Column 0 chooses the bucket (value AND bucket mask), so text-keyed trees
// put HashText / HashCounted of the text there. Columns are 64 bits wide so
// a column may hold a pointer (texts, attached objects).
//
// The bucket count given is where a tree starts: when column 0 is a plain
// integer and no column carries a flag, the buckets double whenever the
// records outnumber them twice, so a tree sized for a small volume stays
// fast on a disk with tens of millions of names. Flagged trees keep their
// count (their answers depend on which records share a tree).
//
// Text order: ASCII letters fold (A-Z = a-z, nothing else), whatever the
// locale. An exact compare orders folded-equal keys further by their raw
// texts, so trees built with exact keys and lookups without (and the other
// way round) stay consistent; the hashes always fold for the same reason.
//
// Not thread-safe: one thread at a time per tree.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Text.h"

using HWord = uint64_t;

// Column type byte: low nibble = kind, high bits = flags.
inline constexpr uint8_t kHtInt = 0x00;      // integer, unsigned compare
inline constexpr uint8_t kHtText = 0x01;     // zero-terminated UTF-16 text, pooled on insert
inline constexpr uint8_t kHtNode = 0x02;     // node index: compared by the names SetNodeNames gives
inline constexpr uint8_t kHtCounted = 0x03;  // counted name (foundation/ByteOrder.h), pooled on insert
inline constexpr uint8_t kHtRange = 0x04;    // range start; the next column holds its end (inclusive)
inline constexpr uint8_t kHtZeroMatchesAll = 0x10;  // integer: a zero on either side matches anything
inline constexpr uint8_t kHtBestCandidate = 0x20;   // lookup: a differing record is kept as fallback

// Packs four column-type bytes, column 0 in the low byte.
constexpr uint32_t HtTypes(uint8_t c0, uint8_t c1 = 0, uint8_t c2 = 0, uint8_t c3 = 0) {
  return uint32_t(c0) | uint32_t(c1) << 8 | uint32_t(c2) << 16 | uint32_t(c3) << 24;
}

inline HWord HtWord(const void* p) { return HWord(reinterpret_cast<uintptr_t>(p)); }

// A record: two child links (the balance rides in the low bits of the left
// one) followed by the columns. Only the tree writes key columns; callers may
// write non-key columns through Columns().
class HRecord {
 public:
  HWord* Columns() { return reinterpret_cast<HWord*>(this + 1); }
  const HWord* Columns() const { return reinterpret_cast<const HWord*>(this + 1); }
  HWord Column(int i) const { return Columns()[i]; }
  const char16_t* Text(int i) const { return reinterpret_cast<const char16_t*>(uintptr_t(Column(i))); }
  const uint8_t* Counted(int i) const { return reinterpret_cast<const uint8_t*>(uintptr_t(Column(i))); }
  void* Object(int i) const { return reinterpret_cast<void*>(uintptr_t(Column(i))); }

 private:
  friend class HTree;
  friend struct HRecordAccess;
  uintptr_t leftAndBalance_;
  HRecord* right_;
};
static_assert(sizeof(HRecord) == 16, "records are carved with a 16-byte head");

struct HTreeStats {
  size_t buckets = 0;
  size_t usedBuckets = 0;
  size_t largestBucket = 0;  // records in the fullest bucket
  int tallestTree = 0;       // height of the tallest bucket tree
};

class HTree {
 public:
  // pageSize: allocation granularity (0: chosen from the record size);
  // bucketCount: rounded up to a power of two (1 when column 0 is a range);
  // columns 1-8; keyColumns
  // 1-columns; types0to3 / types4to7: column-type bytes, low byte first.
  // Out-of-range values are clamped.
  HTree(uint32_t pageSize, uint32_t bucketCount, int columns, int keyColumns, uint32_t types0to3,
        uint32_t types4to7 = 0);
  virtual ~HTree();
  HTree(const HTree&) = delete;
  HTree& operator=(const HTree&) = delete;

  // Drops every record and text and starts again with these parameters.
  void Init(uint32_t pageSize, uint32_t bucketCount, int columns, int keyColumns, uint32_t types0to3,
            uint32_t types4to7 = 0);

  // ---- core ----
  // key holds Columns() words. An equal key (over the key columns) gives the
  // present record with *found = true, unchanged; else a new record with
  // every column stored (texts pooled, null stays null).
  HRecord* Insert(const HWord* key, bool* found = nullptr, bool exact = false);
  // Compares the first `keyCount` key columns (all when negative). A null
  // text in the key matches any record. Without an equal record, the last
  // fallback candidate (kHtBestCandidate) or null.
  HRecord* Find(const HWord* key, bool exact = false, int keyCount = -1) const;

  // Hashes of a text for column 0. ASCII letters fold, always.
  static uint32_t HashText(const char16_t* text);
  static uint32_t HashText(WStringView text);
  static uint32_t HashCounted(const uint8_t* name);

  // ---- lookups ----
  HRecord* FindById(HWord id) const;                  // column 0 only
  HRecord* FindKey2(HWord a, HWord b) const;
  HRecord* Find2(HWord a, HWord b) const { return FindKey2(a, b); }
  HRecord* FindKey3(HWord a, HWord b, HWord c) const;
  HRecord* Find3(HWord a, HWord b, HWord c) const { return FindKey3(a, b, c); }
  HRecord* FindKey4(HWord a, HWord b, HWord c, HWord d) const;
  // Column 1 of the record keyed (a), or -1.
  int64_t FindIntValue(HWord a) const;
  // Keyed (hash, text, 0, 0): column 2, *out = column 3; 0 (both) when absent.
  HWord FindName(const char16_t* text, HWord* out = nullptr, bool exact = false) const;
  HRecord* FindNameRecord(const char16_t* text, bool exact = false) const;
  // Keyed (hash, text, 0, 0): column k, 0 when absent or k out of range.
  HWord FindNameColumn(const char16_t* text, int k, bool exact = false) const;
  // Keyed (hash, text, v, 0): column 3, 0 when absent.
  HWord FindNameValue(const char16_t* text, HWord v, bool exact = false) const;
  // Extension-record index: keyed (a, b, c, d); the object in column 4 (null
  // when absent). The caller reads its start value from the object.
  void* FindExtended(HWord a, HWord b, HWord c, HWord d) const;

  // ---- string pool ----
  // mode 0: UTF-16 (char16_t*), 2: narrow (char*), else a counted name. A
  // copy of the whole text, stable until the tree is destroyed; null stays
  // null. Texts too large for the shared chunks get a block of their own.
  const void* AddString(const void* text, int mode);
  const char16_t* AddString(const char16_t* text) { return static_cast<const char16_t*>(AddString(text, 0)); }
  const char16_t* AddString(WStringView text);  // the view's units, then a terminator
  const char* AddNarrow(const char* text) { return static_cast<const char*>(AddString(text, 2)); }
  const uint8_t* AddCounted(const uint8_t* name) { return static_cast<const uint8_t*>(AddString(name, 1)); }

  // ---- interning ----
  // (hash, text) into a tree whose column 1 is wide text; the pooled text
  // (null when column 1 is not text or text is null). A given object goes to
  // the last column (columns > 2) of a new record or of one whose last
  // column is 0. Repeating the previous text is answered from a cache.
  const char16_t* InternName(const char16_t* text, bool* found = nullptr, bool exact = false,
                             void* object = nullptr);
  // (hash, name) into a tree whose column 1 is a counted name.
  const uint8_t* InternCounted(const uint8_t* name, bool* found = nullptr, bool exact = false);

  // ---- adding ----
  HRecord* AddName(const char16_t* text, HWord v, HWord w, bool* found = nullptr);  // (hash, text, v, w)
  HRecord* AddKey3(HWord a, HWord b, HWord c, bool* found = nullptr);
  // (a, b, c, d, e), the object in column 5.
  HRecord* AddRecord(HWord a, HWord b, HWord c, HWord d, HWord e = 0, void* object = nullptr,
                     bool* found = nullptr);
  HRecord* AddKey4(HWord a, HWord b, HWord c, HWord d, bool* found = nullptr);
  HRecord* AddPair(const char16_t* text, const char16_t* text2, HWord v, bool* found = nullptr);  // (hash, text, v, text2)
  HRecord* AddIntPair(HWord a, HWord b, bool* found = nullptr);
  // Extension-record index: (a, b, c, d, entry); the new record, null when present.
  HRecord* AddNodeKey(HWord a, HWord b, HWord c, HWord d, void* entry);
  // New record (a, b), null when present.
  HRecord* AddIfAbsent(HWord a, HWord b);
  // (id, text, parent): the new or present record.
  HRecord* AddItem(HWord id, HWord parent, const char16_t* text, bool* found = nullptr);
  // FindById, else AddItem. A found record with no name (null or empty) gets
  // text, one with parent 0 gets parent.
  HRecord* FindOrAddId(HWord id, HWord parent, const char16_t* text);

  // Sets one column of a record (texts pooled). A key column changes only
  // when the record keeps its place in the order (never column 0, which
  // chose the bucket); false when refused.
  bool SetColumn(HRecord* record, int column, HWord value);

  // ---- whole tree ----
  // Calls destroy on every non-null object held in `column` and clears it.
  void DeleteAllTrees(const std::function<void(void*)>& destroy, int column = 4);
  // Every record, bucket by bucket, in key order within a bucket.
  void ForEach(const std::function<void(HRecord*)>& visit) const;

  // Node-index columns compare the counted names this gives for the two
  // indexes; without it they compare as integers.
  using NodeNameFn = const uint8_t* (*)(const void* context, HWord index);
  void SetNodeNames(NodeNameFn fn, const void* context) { nodeNames_ = fn; nodeContext_ = context; }

  size_t Count() const { return count_; }
  int Columns() const { return columns_; }
  int KeyColumns() const { return keyColumns_; }
  uint8_t ColumnType(int i) const { return (i >= 0 && i < columns_) ? types_[i] : 0; }
  size_t BucketCount() const { return bucketMask_ + 1; }
  uint32_t PageSize() const { return pageSize_; }
  // Bytes held: chunks, own blocks of large texts and the bucket array.
  size_t MemoryBytes() const;
  HTreeStats Stats() const;

 private:
  // Bump allocation from chunks that double from one page up to 16 MiB.
  struct Arena {
    struct Chunk;
    Chunk* chunks = nullptr;
    char* next = nullptr;
    char* end = nullptr;
    size_t nextSize = 0;
    size_t bytes = 0;
    void* Take(size_t size, size_t align);
    void Release();
  };

  void FreeAll();
  size_t BucketOf(const HWord* key) const;
  // <0, 0, >0 as key sorts before, equal to, after the record.
  int Compare(const HWord* key, const HRecord* rec, int keyCount, bool exact, bool inserting,
              bool* candidate) const;
  HRecord* Descend(HRecord* root, const HWord* key, int keyCount, bool exact) const;
  HRecord* NewRecord(const HWord* key);
  HWord PoolColumn(int column, HWord value);
  void Grow();
  bool KeepsPlace(HRecord* record, const HWord* newKey) const;

  uint32_t pageSize_ = 4096;
  int columns_ = 1;
  int keyColumns_ = 1;
  uint8_t types_[8] = {};
  size_t recordSize_ = 0;
  size_t bigTextBytes_ = 2048;  // texts above this get their own block
  bool growable_ = false;

  size_t count_ = 0;
  size_t bucketMask_ = 0;
  HRecord** buckets_ = nullptr;

  Arena records_;
  Arena texts_;
  struct BigBlock;
  BigBlock* bigBlocks_ = nullptr;
  size_t bigBytes_ = 0;

  // One-entry caches of InternName and InternCounted.
  const char16_t* lastName_ = nullptr;
  bool lastNameHadObject_ = false;
  const uint8_t* lastCounted_ = nullptr;

  NodeNameFn nodeNames_ = nullptr;
  const void* nodeContext_ = nullptr;
};
