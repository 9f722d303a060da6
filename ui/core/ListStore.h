// The file list's data: 16-byte records (node index, 32-bit ids of the
// interned folder path and type text, row flags), the displayed-row and
// pending-row arrays, the check states and the running totals of what is
// checked. Qt-free: the window layer only asks it for the cell in sight.
#pragma once
#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "foundation/UiServices.h"
#include "platform/Text.h"

// One found file (or folder row) of the list.
struct ListRecord {
  uint8_t level = 0;  // folder rows keep their level here; unused for files
  uint8_t flags = 0;  // kRow* bits
  uint16_t reserved = 0;
  int32_t nodeIndex = -1;  // the engine's node index; -1 none
  uint32_t pathId = 0;     // ListStore::Paths()
  uint32_t typeId = 0;     // ListStore::Types()
};
static_assert(sizeof(ListRecord) == 16, "list records are 16 bytes");

// Check states of records, folder rows and tree items.
inline constexpr uint8_t kCheckUnknown = 0, kCheckOff = 1, kCheckOn = 2, kCheckMixed = 3;
// Row flag bits.
inline constexpr uint8_t kRowCheckMask = 0x03, kRowFileRecord = 0x04, kRowPreviewMask = 0x30, kRowPreviewYes = 0x10,
                         kRowPreviewNo = 0x20;
// The second byte of a record the view appends: a file record, unchecked.
inline constexpr uint8_t kNewFileRecordFlags = uint8_t(kRowFileRecord | kCheckOff);

// Texts interned once, named by dense 32-bit ids (id 0 is the empty text).
class TextPool {
 public:
  TextPool();
  uint32_t Intern(WStringView text);
  // The id of a text already interned; kNotInterned when absent.
  static constexpr uint32_t kNotInterned = 0xFFFFFFFFu;
  uint32_t Find(WStringView text) const;
  const WString& Get(uint32_t id) const;  // the empty text for an unknown id
  size_t Count() const { return texts_.size(); }
  void Clear();
  size_t MemoryBytes() const;

 private:
  struct Hash {
    size_t operator()(WStringView s) const noexcept;
  };
  using Index = std::unordered_map<WStringView, uint32_t, Hash>;
  // The index in shards by hash, so that growing it rehashes one small
  // shard at a time (no pause at a million texts).
  static constexpr int kShardBits = 6;
  Index& ShardOf(WStringView text) { return index_[Hash()(text) >> (64 - kShardBits)]; }
  const Index& ShardOf(WStringView text) const { return index_[Hash()(text) >> (64 - kShardBits)]; }
  std::deque<WString> texts_;  // never moves a text, so the index may view them
  std::array<Index, size_t(1) << kShardBits> index_;
};

// A name where the node store keeps it: in 8-bit units (each standing for
// the UTF-16 unit of the same value) or in UTF-16.
struct StoredName {
  const void* units = nullptr;
  uint32_t size = 0;
  bool wide = false;
  const uint8_t* Narrow() const { return static_cast<const uint8_t*>(units); }
  const char16_t* Wide() const { return static_cast<const char16_t*>(units); }
  char16_t At(size_t i) const { return wide ? Wide()[i] : char16_t(Narrow()[i]); }
};

// What the list shows of a node. The view answers it from what the worker
// handed over (FoundNodeStore) so that the list never reads the engine's
// node table while the worker appends to it.
struct ListNodeInfo {
  // A name kept in 8 bits is widened into nameUnits, so `name` lives as long
  // as this info (and until it is filled again); a copy views its own units.
  WStringView name;
  uint64_t size = 0;
  uint64_t time = 0;   // FILETIME, 0 none
  uint16_t flags = 0;  // the node's first word: status code in bits 8-10
  uint16_t volumeIndex = 0xFFFF;
  uint8_t firstByte = 0;  // the node's first byte (its top bit admits a preview without a volume)
  bool folder = false;
  static constexpr size_t kNameUnits = 127;
  char16_t nameUnits[kNameUnits];

  ListNodeInfo() = default;
  ListNodeInfo(const ListNodeInfo& other) { *this = other; }
  ListNodeInfo& operator=(const ListNodeInfo& other) {
    if (this == &other) return *this;
    size = other.size;
    time = other.time;
    flags = other.flags;
    volumeIndex = other.volumeIndex;
    firstByte = other.firstByte;
    folder = other.folder;
    if (other.name.data() == other.nameUnits) {
      std::copy_n(other.nameUnits, other.name.size(), nameUnits);
      name = WStringView(nameUnits, other.name.size());
    } else {
      name = other.name;
    }
    return *this;
  }
};

class ListNodeSource {
 public:
  virtual ~ListNodeSource() = default;
  // False when there is no such node.
  virtual bool GetNode(int32_t nodeIndex, ListNodeInfo& out) const = 0;
  // The same with only the facts asked for filled in (NodeFacts below): a
  // store that keeps each fact apart reads only those.
  virtual bool GetNodeFacts(int32_t nodeIndex, unsigned facts, ListNodeInfo& out) const {
    (void)facts;
    return GetNode(nodeIndex, out);
  }
  // The node's name as the source keeps it, valid until the source is
  // cleared (a sort views millions at once); false when there is no node.
  virtual bool GetStoredName(int32_t nodeIndex, StoredName& out) const = 0;
  // Puts the status bits (bits 8-10) into the node's first word.
  virtual void SetStatusBits(int32_t nodeIndex, uint16_t statusBits) = 0;
  // The label of the source drive's volume at that index; empty when none.
  virtual WString VolumeLabel(uint16_t volumeIndex) const {
    (void)volumeIndex;
    return {};
  }
  // Passes over every node (a filter testing names) go through the nodes in
  // index order, where their facts lie together, instead of record by
  // record. NodeIndexBound is one above the largest index that may have a
  // node; 0 when the source cannot be walked so.
  virtual size_t NodeIndexBound() const { return 0; }
  // The facts a walk needs filled in; the others may be left unset, so that
  // a pass over names reads the names alone.
  enum NodeFacts : unsigned { kNodeName = 1, kNodeSize = 2, kNodeTime = 4, kNodeFlags = 8, kNodeAllFacts = 15 };
  // fn(indexes, nodes, count) for runs of the nodes with an index in
  // [begin, end), in index order (kNodeFlags: flags, volume, first byte,
  // folder).
  using NodeVisitor = std::function<void(const int32_t* indexes, const ListNodeInfo* nodes, size_t count)>;
  virtual void VisitNodes(size_t begin, size_t end, unsigned facts, const NodeVisitor& fn) const;
};

// Node facts kept from the found-item batches, keyed by the engine's node
// index. Each fact has a column of its own (names, sizes, times, flags), so
// that a pass testing one of them walks only its bytes. Names live in one
// chunked byte arena: a name of at most 127 units that all fit in 8 bits
// (most do) as those bytes behind a length byte, any other as the byte
// kWideName, a pad byte when needed, its 16-bit length and its UTF-16 units
// (aligned). Half the bytes for a pass over names to read.
class FoundNodeStore : public ListNodeSource {
 public:
  FoundNodeStore();
  ~FoundNodeStore() override;
  void Add(const FoundItem& item);
  void Clear();
  size_t Count() const { return count_; }
  size_t MemoryBytes() const;
  bool GetNode(int32_t nodeIndex, ListNodeInfo& out) const override;
  bool GetNodeFacts(int32_t nodeIndex, unsigned facts, ListNodeInfo& out) const override;
  void SetStatusBits(int32_t nodeIndex, uint16_t statusBits) override;
  size_t NodeIndexBound() const override { return slots_.size() << kBlockShift; }
  void VisitNodes(size_t begin, size_t end, unsigned facts, const NodeVisitor& fn) const override;
  bool GetStoredName(int32_t nodeIndex, StoredName& out) const override;
  // fn(nodeIndex, StoredName) for the nodes with an index in [begin, end),
  // in index order: a pass testing names alone reads nothing else.
  template <class Fn>
  void ForEachName(size_t begin, size_t end, Fn&& fn) const {
    // Kept in locals: fn's stores might otherwise be taken to change them.
    const std::unique_ptr<uint32_t[]>* const bySlotBlock = slots_.data();
    const Run* const runs = runs_.data();
    const Block* const blocks = blocks_.data();
    const std::unique_ptr<uint8_t[]>* const chunks = chunks_.data();
    end = std::min(end, NodeIndexBound());
    while (begin < end) {
      const size_t block = begin >> kBlockShift, first = block << kBlockShift;
      const size_t stop = std::min(end, first + kBlockSize);
      if (const Run run = runs[block]; !run.broken) {
        // The nodes came in index order: their positions follow each other.
        for (size_t i = begin, last = std::min(stop, first + run.length); i < last;) {
          const size_t position = run.first + (i - first), at = position & (kBlockSize - 1);
          const uint32_t* names = blocks[position >> kBlockShift].name.get() + at;
          const size_t n = std::min(last - i, kBlockSize - at);
          for (size_t k = 0; k < n; ++k) fn(i + k, DecodeName(NameAt(chunks, names[k])));
          i += n;
        }
      } else if (const uint32_t* byIndex = bySlotBlock[block].get()) {
        for (size_t i = begin; i < stop; ++i)
          if (const uint32_t slot = byIndex[i & (kBlockSize - 1)])
            fn(i, DecodeName(NameAt(chunks, blocks[(slot - 1) >> kBlockShift].name[(slot - 1) & (kBlockSize - 1)])));
      }
      begin = stop;
    }
  }
  static constexpr uint8_t kWideName = 0x80;
  // Bytes that may be read before and after any name's units (within its
  // chunk): a test may load 8 bytes ending at a name's end or starting at
  // its start.
  static constexpr size_t kNamePad = 8;
  static StoredName DecodeName(const uint8_t* at) {
    static_assert(kNamePad >= 8);
    if (at[0] < kWideName) return StoredName{at + 1, at[0], false};
    const uint8_t* length = at + 1 + (reinterpret_cast<uintptr_t>(at + 1) & 1);
    uint16_t size;
    std::memcpy(&size, length, sizeof size);
    return StoredName{length + 2, size, true};
  }

 private:
  struct Flags {
    uint16_t flags;
    uint16_t volumeIndex;
    bool folder;
  };
  // Positions (the order nodes came in) in blocks of kBlockSize, one array
  // per fact.
  struct Block {
    std::unique_ptr<uint32_t[]> name;  // offset in the arena: chunk << kChunkShift | byte
    std::unique_ptr<uint64_t[]> size, time;
    std::unique_ptr<Flags[]> flags;
  };
  uint32_t StoreName(WStringView name);
  static constexpr size_t kChunkShift = 21, kChunkBytes = size_t(1) << kChunkShift;
  static const uint8_t* NameAt(const std::unique_ptr<uint8_t[]>* chunks, uint32_t offset) {
    return chunks[offset >> kChunkShift].get() + (offset & (kChunkBytes - 1));
  }
  // The position of a node + 1; 0 none.
  uint32_t Slot(int32_t nodeIndex) const;
  void Fill(size_t position, unsigned facts, ListNodeInfo& out) const;
  // Blocks that never move: a batch at ten million nodes costs what the
  // first did (no vector doubling and copying).
  static constexpr size_t kBlockShift = 16, kBlockSize = size_t(1) << kBlockShift;
  std::vector<std::unique_ptr<uint32_t[]>> slots_;  // node index -> position + 1 (0 none)
  // Per block of slots: while its nodes come in index order from its first
  // index on, with no gap, node first + k is at position run.first + k and
  // nodes beyond run.length are absent; a walk then needs no slot.
  struct Run {
    uint32_t first = 0, length = 0;
    bool broken = false;
  };
  std::vector<Run> runs_;
  std::vector<Block> blocks_;
  size_t count_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t chunkUsed_ = 0;
};

// The type text of a found file: the view's Look-for index answers first
// (a non-empty text is used as it is); otherwise "EXT file" ("EXT-file" in
// German) or "file" with no extension.
using TypeLookup = std::function<WString(WStringView lowerExtension)>;
WString FoundItemTypeText(WStringView name, uint8_t language, const TypeLookup& lookup);
// The text after the last "." of a name, lower-cased (ASCII); empty when none.
WString LowerExtension(WStringView name);

// The folder path as the list keeps it: one trailing "\" removed unless it
// is the only character.
WString TrimFolderPath(WStringView path);

class ListStore {
 public:
  ListStore();
  ~ListStore();
  ListStore(const ListStore&) = delete;
  ListStore& operator=(const ListStore&) = delete;

  // ---- records ----
  // Records [i, i + kRecordRun) lie together in memory when i is a multiple
  // of kRecordRun.
  static constexpr size_t kRecordRun = size_t(1) << 16;
  size_t Count() const { return count_; }
  const ListRecord& At(size_t i) const { return blocks_[i >> kBlockShift][i & kBlockMask]; }
  ListRecord& At(size_t i) { return blocks_[i >> kBlockShift][i & kBlockMask]; }
  // Appends a file record (unchecked) and returns its index.
  size_t Append(int32_t nodeIndex, WStringView folderPath, WStringView typeText);
  size_t AppendRecord(const ListRecord& record);
  const WString& Path(size_t i) const { return paths_.Get(At(i).pathId); }
  const WString& Type(size_t i) const { return types_.Get(At(i).typeId); }
  TextPool& Paths() { return paths_; }
  TextPool& Types() { return types_; }
  const TextPool& Paths() const { return paths_; }
  const TextPool& Types() const { return types_; }
  // Empties records, pools, displayed and pending rows and the totals.
  void Clear();
  // Bytes held by records, pools and row arrays.
  size_t MemoryBytes() const;

  // ---- checks ----
  uint8_t CheckState(size_t i) const { return At(i).flags & kRowCheckMask; }
  // Sets a file record's check state (1 or 2), adjusting the totals by one
  // file and its size; true when it changed.
  bool SetCheck(size_t i, uint8_t state, const ListNodeSource* nodes);
  bool Toggle(size_t i, const ListNodeSource* nodes);
  // What checked folder records hold, as the tree's check spreads: every
  // record (passing the filter) whose folder path is one of folders (a
  // folder record's path, "\" and its name) or lies below one set to
  // state. The number of records changed.
  size_t SetCheckBelow(const std::vector<WString>& folders, uint8_t state, const ListNodeSource* nodes);
  // Every record that passes the filter set to checked or unchecked. The
  // records are done in slices over several threads; between (when given)
  // is called between slices.
  void SetAll(bool check, const ListNodeSource* nodes, const std::function<void()>& between = {});
  // Every record that passes the filter toggled.
  void InvertAll(const ListNodeSource* nodes, const std::function<void()>& between = {});
  // Totals counted again from scratch: every checked record that passes.
  void RecountTotals(const ListNodeSource* nodes, const std::function<void()>& between = {});
  int64_t CheckedFiles() const { return checkedFiles_; }
  // Sizes come from disk: the sum is kept exactly and shown saturated.
  int64_t CheckedBytes() const;
  // Adds to (or takes from) the totals what a worker counted.
  void AdjustTotals(int64_t files, __int128 bytes);
  void SetTotals(int64_t files, __int128 bytes);

  // Swaps the records end for end (the flat list's reversed order), with
  // their pass bits.
  void ReverseRecords();

  // ---- order ----
  // Raised whenever the records change order, so that what was built over
  // the old order (folder rows) can tell it is stale.
  uint64_t OrderGeneration() const { return orderGeneration_; }
  // The records in the given order (order[i] = the old index of new record
  // i; a permutation of every record), built beside the current ones: a
  // worker makes them, the GUI thread swaps them in with SwapRecords.
  struct Reordered {
    std::vector<std::unique_ptr<ListRecord[]>> blocks;
    std::vector<uint8_t> passBits;  // empty when no filter is active
    size_t count = 0;
  };
  Reordered BuildReordered(const std::vector<uint32_t>& order) const;
  void SwapRecords(Reordered& reordered);

  // ---- filter ----
  // One bit per record, most significant bit first in each byte; 1 passes.
  bool FilterActive() const { return filterActive_; }
  bool Passes(size_t i) const {
    return !filterActive_ || (i >> 3) >= passBits_.size() || (passBits_[i >> 3] & (0x80u >> (i & 7))) != 0;
  }
  const std::vector<uint8_t>& PassBits() const { return passBits_; }
  // bits gets the bits they replace (memory for the next pass).
  void SetPassBits(std::vector<uint8_t>&& bits) { passBits_.swap(bits); }
  void SetFilterActive(bool active) { filterActive_ = active; }
  void ClearPassBits() {
    passBits_ = std::vector<uint8_t>();
    filterActive_ = false;
  }

  // ---- displayed and pending rows (folder display, filter) ----
  // Entries: a record index, or a folder row index with bit 31 set.
  std::vector<uint32_t>& Displayed() { return displayed_; }
  const std::vector<uint32_t>& Displayed() const { return displayed_; }
  std::vector<uint32_t>& Pending() { return pending_; }
  // Moves the pending rows behind the displayed rows (capacity grows in
  // steps of 1024 entries) and starts a new empty pending array.
  void CommitPending();
  void ReverseDisplayed();
  // The displayed position of an entry among the visible rows [first, last],
  // searched forward from where the previous search found one (a recovery
  // reports records in list order), then from first; -1 when not in view.
  int64_t FindVisibleRow(uint32_t entry, size_t first, size_t last);
  // Scrolling, resizing and moving the focus make the found place stale.
  void DropVisibleRowCache() { visibleRowCache_ = kNoRow; }

 private:
  // Records live in blocks of 65536 (1 MiB) that never move, so a batch
  // append never copies the records before it.
  static constexpr size_t kBlockShift = 16;
  static constexpr size_t kBlockMask = (size_t(1) << kBlockShift) - 1;
  static_assert(kRecordRun == size_t(1) << kBlockShift);
  std::vector<std::unique_ptr<ListRecord[]>> blocks_;
  size_t count_ = 0;
  TextPool paths_, types_;
  std::vector<uint32_t> displayed_, pending_;
  static constexpr size_t kNoRow = ~size_t(0);
  size_t visibleRowCache_ = kNoRow;
  int64_t checkedFiles_ = 0;
  __int128 checkedBytes_ = 0;
  std::vector<uint8_t> passBits_;
  bool filterActive_ = false;
  uint64_t orderGeneration_ = 0;
};

// Saturating 64-bit sums of sizes from disk.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t(0) : a + b; }
inline int64_t SaturateToInt64(__int128 v) {
  if (v > __int128(INT64_MAX)) return INT64_MAX;
  if (v < __int128(INT64_MIN)) return INT64_MIN;
  return int64_t(v);
}
