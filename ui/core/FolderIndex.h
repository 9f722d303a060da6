// The folder display's rows: one row per volume and folder that holds found
// files (and every folder above one), built in one pass over the file
// records in folder order. Each row knows its parent, its range of file
// records and its tree children, so that the tree model answers parent and
// row counts at once and opening a folder costs only its own rows. Folder
// sizes and check states are worked out when needed. Qt-free: a worker
// builds an index privately and the GUI thread swaps it in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "ui/core/ListStore.h"

inline constexpr uint32_t kNoFolderRow = 0xFFFFFFFFu;
inline constexpr uint64_t kFolderSizeUnknown = ~uint64_t(0);
// GetParentFilesState when the folder has no file of its own.
inline constexpr uint8_t kNoOwnFiles = 255;

struct FolderRow {
  uint8_t level = 0;     // 0 a volume row, +1 per path component
  uint8_t flags = 0;     // bits 0-1 the check state (0 not worked out)
  uint8_t treeItem = 0;  // 1 when the row has a tree item
  uint8_t reserved = 0;
  int32_t nodeIndex = -1;  // volume rows: the node of the record that made the row
  uint32_t parent = kNoFolderRow;
  uint32_t firstRecord = kNoFolderRow, lastRecord = kNoFolderRow;  // records directly in the folder
  uint32_t reserved2 = 0;
  uint64_t totalSize = kFolderSizeUnknown;  // passing files below, once worked out
  uint8_t State() const { return flags & kRowCheckMask; }
  void SetState(uint8_t s) { flags = uint8_t((flags & ~kRowCheckMask) | (s & kRowCheckMask)); }
};

class FolderIndex {
 public:
  FolderIndex();
  ~FolderIndex();
  FolderIndex(const FolderIndex&) = delete;
  FolderIndex& operator=(const FolderIndex&) = delete;

  // Builds the rows of every record's folder; rows get tree items when
  // some record below them passes the filter (every row without a filter).
  // The records must be in folder order for the ranges to be exact;
  // passBits, when given, stands for the store's own bits (a filter pass
  // builds the rows of its new result before it is swapped in).
  void Build(const ListStore& store, const std::vector<uint8_t>* passBits = nullptr);

  size_t Count() const { return rows_.size(); }
  bool Empty() const { return rows_.empty(); }
  FolderRow& At(uint32_t row) { return rows_[row]; }
  const FolderRow& At(uint32_t row) const { return rows_[row]; }
  const WString& Path(uint32_t row) const {
    const uint32_t ref = pathOfRow_[row];
    return (ref & kOwnPath) || !storePaths_ ? paths_.Get(ref & ~kOwnPath) : storePaths_->Get(ref);
  }
  // The text after the last "\" of the path (the whole path of a volume row).
  WStringView Name(uint32_t row) const;
  // The order generation of the records the rows were built from.
  uint64_t BuiltForOrder() const { return builtForOrder_; }
  // The row of a record's folder; kNoFolderRow when the record is newer
  // than the rows.
  uint32_t RowOfRecord(const ListStore& store, size_t record) const;
  // The row of a folder path; kNoFolderRow when none.
  uint32_t RowOfPath(WStringView path) const;

  // ---- tree ----
  // Volume rows that have a tree item, in order.
  const std::vector<uint32_t>& Roots() const { return roots_; }
  // Every volume row (the level-0 list).
  const std::vector<uint32_t>& VolumeRows() const { return volumeRows_; }
  uint32_t TreeChildCount(uint32_t row) const { return childStart_[row + 1] - childStart_[row]; }
  uint32_t TreeChild(uint32_t row, uint32_t i) const { return children_[childStart_[row] + i]; }
  // The row's place among its parent's tree children (or among the roots).
  uint32_t TreeOrdinal(uint32_t row) const { return ordinal_[row]; }
  uint32_t Parent(uint32_t row) const { return rows_[row].parent; }

  // ---- display ----
  // A folder's contents as displayed entries: its subfolders that have tree
  // items (with kFolderRowBit), then its own records that pass the filter.
  // Subfolders whose state is not worked out get it first. With nodes, a
  // folder's own record is left out where its subfolder row stands for it
  // (one row per folder).
  void Expand(uint32_t row, const ListStore& store, std::vector<uint32_t>& out, const ListNodeSource* nodes = nullptr);
  // Forgets states, tree items' sizes: state 0 and size unknown everywhere.
  void ResetRows();

  // ---- sizes ----
  // Bytes of the passing files below the folder (saturating 64-bit sums),
  // worked out once.
  uint64_t ComputeFolderSize(uint32_t row, const ListStore& store, const ListNodeSource* nodes);

  // ---- check states ----
  // Combined state of the folder's own passing records: kNoOwnFiles when
  // none, 1 or 2 when all agree, 3 otherwise.
  uint8_t OwnFilesState(uint32_t row, const ListStore& store) const;
  // OwnFilesState of the row's parent (kNoOwnFiles for a volume row).
  uint8_t GetParentFilesState(uint32_t row, const ListStore& store) const;
  // The folder's state from its own passing records and its subfolders
  // with tree items (worked out first where 0): all equal gives that state,
  // any difference 3, nothing at all 1. Stored in the row.
  uint8_t MarkFolderState(uint32_t row, const ListStore& store);
  // MarkFolderState for every row with a tree item whose state is 0.
  void MarkAllFolderStates(const ListStore& store);
  void ClearFolderStates();

  // The tree's check spreading: the row (and for 1 and 2 every row below
  // it, with their passing records) takes the state; then siblings and the
  // parent's own files decide whether the parent takes it too or becomes
  // mixed, up to the first ancestor already in that state. Rows whose state
  // changed are added to changed when given.
  void SetCheckState(uint32_t row, uint8_t state, ListStore& store, const ListNodeSource* nodes,
                     std::vector<uint32_t>* changed = nullptr);
  // A checked row becomes unchecked, any other checked.
  void ToggleCheckState(uint32_t row, ListStore& store, const ListNodeSource* nodes,
                        std::vector<uint32_t>* changed = nullptr);
  // Every volume row (and all below) checked or unchecked.
  void CheckAllFolders(bool check, ListStore& store, const ListNodeSource* nodes);
  // Inverts the checks from a folder through its descendants (every folder
  // for kNoFolderRow): each folder's passing records toggle, checked and
  // unchecked folders swap, mixed ones stay mixed; then the ancestors.
  void InvertFrom(uint32_t row, ListStore& store, const ListNodeSource* nodes);
  // After file rows of the folder changed: its state again from its rows,
  // then its ancestors as the spreading does.
  void RefreshUpwards(uint32_t row, const ListStore& store, std::vector<uint32_t>* changed = nullptr);

  size_t MemoryBytes() const;

 private:
  uint32_t FindOrAdd(WStringView path, int32_t nodeIndex);
  void SetRecords(uint32_t row, uint8_t state, ListStore& store, const ListNodeSource* nodes);
  void SpreadUp(uint32_t row, uint8_t state, const ListStore& store, std::vector<uint32_t>* changed);
  void SetState(uint32_t row, uint8_t state, std::vector<uint32_t>* changed);
  uint8_t StateFromChildren(uint32_t row, const ListStore& store) const;

  std::vector<FolderRow> rows_;
  // A folder's path is the store's text when some record has it (most
  // folders), else the index's own: no copy of what the store holds.
  static constexpr uint32_t kOwnPath = 0x80000000u;
  const TextPool* storePaths_ = nullptr;
  TextPool paths_;                        // paths no record has (folders above others)
  std::vector<uint32_t> pathOfRow_;       // row -> the store's path id, or paths_ id | kOwnPath
  std::vector<uint32_t> rowOfPoolId_;     // paths_ id -> row
  std::vector<uint32_t> rowOfStorePath_;  // the store's path id -> row
  std::vector<uint32_t> roots_, volumeRows_;
  std::vector<uint32_t> childStart_, children_, ordinal_;
  std::vector<std::pair<size_t, uint32_t>> chain_;  // the last path's folders: prefix length, row
  uint64_t builtForOrder_ = 0;
};
