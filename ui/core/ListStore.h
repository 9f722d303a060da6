// The file list's data: 16-byte records (node index, 32-bit ids of the
// interned folder path and type text, row flags), the displayed-row and
// pending-row arrays, the check states and the running totals of what is
// checked. Qt-free: the window layer only asks it for the cell in sight.
#pragma once
#include <cstddef>
#include <cstdint>
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
  const WString& Get(uint32_t id) const;  // the empty text for an unknown id
  size_t Count() const { return texts_.size(); }
  void Clear();
  size_t MemoryBytes() const;

 private:
  struct Hash {
    size_t operator()(WStringView s) const noexcept;
  };
  std::deque<WString> texts_;  // never moves a text, so the index may view them
  std::unordered_map<WStringView, uint32_t, Hash> index_;
};

// What the list shows of a node. The view answers it from what the worker
// handed over (FoundNodeStore) so that the list never reads the engine's
// node table while the worker appends to it.
struct ListNodeInfo {
  WStringView name;
  uint64_t size = 0;
  uint64_t time = 0;   // FILETIME, 0 none
  uint16_t flags = 0;  // the node's first word: status code in bits 8-10
  uint16_t volumeIndex = 0xFFFF;
  uint8_t firstByte = 0;  // the node's first byte (its top bit admits a preview without a volume)
  bool folder = false;
};

class ListNodeSource {
 public:
  virtual ~ListNodeSource() = default;
  // False when there is no such node.
  virtual bool GetNode(int32_t nodeIndex, ListNodeInfo& out) const = 0;
  // Puts the status bits (bits 8-10) into the node's first word.
  virtual void SetStatusBits(int32_t nodeIndex, uint16_t statusBits) = 0;
  // The label of the source drive's volume at that index; empty when none.
  virtual WString VolumeLabel(uint16_t volumeIndex) const {
    (void)volumeIndex;
    return {};
  }
};

// Node facts kept from the found-item batches, keyed by the engine's node
// index. Names live in one chunked arena.
class FoundNodeStore : public ListNodeSource {
 public:
  FoundNodeStore();
  ~FoundNodeStore() override;
  void Add(const FoundItem& item);
  void Clear();
  size_t Count() const { return nodes_.size(); }
  size_t MemoryBytes() const;
  bool GetNode(int32_t nodeIndex, ListNodeInfo& out) const override;
  void SetStatusBits(int32_t nodeIndex, uint16_t statusBits) override;

 private:
  struct Node {
    uint64_t size;
    uint64_t time;
    const char16_t* name;
    uint16_t nameLength;
    uint16_t flags;
    uint16_t volumeIndex;
    bool folder;
  };
  const char16_t* StoreName(WStringView name);
  std::vector<uint32_t> slotOfIndex_;  // node index -> slot + 1 (0 none)
  std::vector<Node> nodes_;
  std::vector<std::unique_ptr<char16_t[]>> chunks_;
  size_t chunkUsed_ = 0, chunkSize_ = 0;
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
  // Every record set to checked or unchecked.
  void SetAll(bool check, const ListNodeSource* nodes);
  // Every record toggled.
  void InvertAll(const ListNodeSource* nodes);
  // Totals counted again from scratch.
  void RecountTotals(const ListNodeSource* nodes);
  int64_t CheckedFiles() const { return checkedFiles_; }
  int64_t CheckedBytes() const { return checkedBytes_; }

  // Swaps the records end for end (the flat list's reversed order).
  void ReverseRecords();

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
  std::vector<std::unique_ptr<ListRecord[]>> blocks_;
  size_t count_ = 0;
  TextPool paths_, types_;
  std::vector<uint32_t> displayed_, pending_;
  static constexpr size_t kNoRow = ~size_t(0);
  size_t visibleRowCache_ = kNoRow;
  int64_t checkedFiles_ = 0, checkedBytes_ = 0;
};
