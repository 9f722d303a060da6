// The list control's background work: sorting, the folder display,
// filtering, finding and exporting.

#include "ui/MyListCtrl.h"

#include <QScrollBar>

#include "foundation/Messages.h"
#include "ui/FolderTree.h"
#include "ui/ListHeader.h"
#include "ui/MyListCtrlParts.h"
#include "ui/TitleTip.h"
#include "ui/core/Activity.h"
#include "ui/core/ListExport.h"
#include "ui/core/ListSort.h"

using namespace listctrl;

// ---- workers ----

void CMyListCtrl::StartWorker(int activity, std::function<std::function<void()>()> job) {
  if (worker_.joinable()) worker_.join();
  g_activityCode = activity;
  setEnabled(false);
  tip_->Hide();
  const uint64_t serial = serial_;
  worker_ = std::thread([this, job, serial, activity] {
    std::function<void()> apply;
    try {
      apply = job();
    } catch (...) {
      // Out of memory: the list keeps what it shows; the view says so.
      apply = [this, activity] {
        g_activityCode = kActivityIdle;
        emit workerFailed(activity);
      };
    }
    QMetaObject::invokeMethod(
        this,
        [this, apply, serial] {
          if (worker_.joinable()) worker_.join();
          setEnabled(true);
          if (apply && serial == serial_) {
            QElapsedTimer swap;
            swap.start();
            apply();
            lastSwapMs_ = double(swap.nsecsElapsed()) / 1e6;
          } else if (g_activityCode.load() >= kActivitySorting) {
            g_activityCode = kActivityIdle;
          }
        },
        Qt::QueuedConnection);
  });
}

// ---- sorting ----

void CMyListCtrl::StartSort(int code) {
  if (RowCount() == 0 || code < kSortName || code > kSortFolderOrder) {
    QMetaObject::invokeMethod(this, [this, code] { emit sortFinished(code); }, Qt::QueuedConnection);
    return;
  }
  if (store_.FilterActive() && code != kSortFolderOrder) {
    auto rows = std::make_shared<std::vector<uint32_t>>(store_.Displayed());
    StartWorker(kActivitySorting, [this, rows, code]() -> std::function<void()> {
      SortDisplayedRows(*rows, code, false, store_, nodes_, nullptr);
      return [this, rows, code] {
        store_.Displayed().swap(*rows);
        RowsChanged();
        emit sortFinished(code);
      };
    });
    return;
  }
  StartWorker(kActivitySorting, [this, code]() -> std::function<void()> {
    const std::vector<uint32_t> order = SortedRecordOrder(store_, nodes_, code);
    auto reordered = std::make_shared<ListStore::Reordered>(store_.BuildReordered(order));
    auto rows = std::make_shared<std::vector<uint32_t>>();
    if (store_.FilterActive()) {
      for (size_t i = 0; i < reordered->count; ++i)
        if (reordered->passBits[i >> 3] & (0x80u >> (i & 7))) rows->push_back(uint32_t(i));
    }
    return [this, reordered, rows, code] {
      store_.SwapRecords(*reordered);
      if (code == kSortFolderOrder) folderOrder_ = store_.OrderGeneration();
      if (store_.FilterActive()) store_.Displayed().swap(*rows);
      treeReady_ = false;
      RowsChanged();
      emit sortFinished(code);
    };
  });
}

void CMyListCtrl::SortFolderRows(int code) {
  SortDisplayedRows(store_.Displayed(), code, true, store_, nodes_, folders_.get());
  RowsChanged();
}

void CMyListCtrl::ReverseOrder() {
  if (RowCount() < 2) return;
  if (folderDisplay_ || store_.FilterActive()) {
    store_.ReverseDisplayed();
  } else {
    store_.ReverseRecords();
    treeReady_ = false;
  }
  RowsChanged();
}

bool CMyListCtrl::FolderRowsCurrent() const {
  return folders_ && !folders_->Empty() && folders_->BuiltForOrder() == store_.OrderGeneration();
}

// ---- folder display ----

void CMyListCtrl::ResetTreeModel(std::unique_ptr<FolderIndex> folders) {
  treeModel_->Replace([&] {
    folders_ = std::move(folders);
    currentFolder_ = kNoFolderRow;
  });
}

int CMyListCtrl::ToggleDisplay() {
  if (folderDisplay_) {
    folderDisplay_ = false;
    std::vector<uint32_t> rows;
    if (store_.FilterActive()) {
      rows.reserve(size_t(passCount_));
      for (size_t i = 0; i < store_.Count(); ++i)
        if (store_.Passes(i)) rows.push_back(uint32_t(i));
    }
    store_.Displayed().swap(rows);
    RowsChanged();
    PublishTotals();
    return 0;
  }
  if (!FolderRowsCurrent() || !treeReady_) {
    BuildTree();
    return -1;
  }
  folders_->ClearFolderStates();
  folderDisplay_ = true;
  folders_->MarkAllFolderStates(store_);
  const uint32_t open = currentFolder_ < folders_->Count() && folders_->At(currentFolder_).treeItem
                            ? currentFolder_
                            : InitialLevel0Folder();
  if (open != kNoFolderRow) OpenFolder(open);
  else RowsChanged();
  emit folderStatesChanged();
  return 1;
}

void CMyListCtrl::BuildTree() {
  store_.Displayed().clear();
  RowsChanged();
  StartWorker(kActivityFolderRows, [this]() -> std::function<void()> {
    auto built = std::make_shared<std::unique_ptr<FolderIndex>>(std::make_unique<FolderIndex>());
    (*built)->Build(store_);
    return [this, built] {
      ResetTreeModel(std::move(*built));
      treeReady_ = true;
      folderDisplay_ = true;
      InitialDisplay();
    };
  });
}

uint32_t CMyListCtrl::InitialLevel0Folder() const {
  if (!folders_) return kNoFolderRow;
  uint32_t emptyPath = kNoFolderRow;
  for (uint32_t r : folders_->Roots()) {
    if (!folders_->Path(r).empty()) return r;
    if (emptyPath == kNoFolderRow) emptyPath = r;
  }
  return emptyPath;
}

void CMyListCtrl::InitialDisplay() {
  store_.Displayed().clear();
  folders_->MarkAllFolderStates(store_);
  const uint32_t first = InitialLevel0Folder();
  if (first != kNoFolderRow) OpenFolder(first);
  else RowsChanged();
  PublishTotals();
  emit folderStatesChanged();
  emit folderRowsReady(first != kNoFolderRow);
}

void CMyListCtrl::OpenFolder(uint32_t folderRow) {
  if (!folders_ || folderRow >= folders_->Count()) return;
  currentFolder_ = folderRow;
  std::vector<uint32_t> rows;
  folders_->Expand(folderRow, store_, rows, nodes_);
  store_.Displayed().swap(rows);
  verticalScrollBar()->setValue(0);
  RowsChanged();
}

void CMyListCtrl::OpenSelectedFolder() {
  if (!folderDisplay_) return;
  const int64_t row = current_ >= 0 ? current_ : selection_.First();
  const uint32_t e = EntryOfRow(row);
  if (e != kNoEntry && IsFolderEntry(e)) emit folderActivated(e & ~kFolderRowBit);
}

void CMyListCtrl::GoToParentFolder() {
  if (!folderDisplay_ || !folders_ || currentFolder_ >= folders_->Count()) return;
  const uint32_t parent = folders_->Parent(currentFolder_);
  if (parent != kNoFolderRow) emit folderActivated(parent);
}

// ---- filtering ----

const FilterCriterion* CMyListCtrl::Criterion(int column) const {
  return column >= 0 && column < kFilterColumns ? criteria_[size_t(column)].get() : nullptr;
}

std::array<bool, kFilterColumns> CMyListCtrl::FilterEntries() const {
  std::array<bool, kFilterColumns> on{};
  for (int c = 0; c < kFilterColumns; ++c) on[size_t(c)] = criteria_[size_t(c)] != nullptr;
  return on;
}

void CMyListCtrl::SetFilter(int column, std::unique_ptr<FilterCriterion> criterion) {
  if (column < 0 || column >= kFilterColumns || !criterion) return;
  const bool replaced = criteria_[size_t(column)] != nullptr;
  const bool full = !store_.FilterActive() || replaced;
  criteria_[size_t(column)] = std::move(criterion);
  if (replaced) emit sortForgotten();
  if (!full)
    for (int c = 0; c < kFilterColumns; ++c)
      if (criteria_[size_t(c)]) criteria_[size_t(c)]->applied = c != column;
  ApplyFilters(full);
}

void CMyListCtrl::ClearFilter(int column) {
  if (column < 0 || column >= kFilterColumns) return;
  criteria_[size_t(column)].reset();
  header_->SetFilterMark(column, false);
  emit sortForgotten();
  bool any = false;
  for (const auto& k : criteria_) any = any || k != nullptr;
  if (any) {
    ApplyFilters(true);
    return;
  }
  store_.ClearPassBits();
  passCount_ = int64_t(store_.Count());
  // Every record counts again: in slices, so the window keeps painting.
  store_.RecountTotals(nodes_, KeepWindowAlive);
  treeReady_ = false;
  if (folderDisplay_) {
    BuildTree();
  } else {
    // The rows' memory waits for the next pass.
    spareRows_.swap(store_.Displayed());
    std::vector<uint32_t>().swap(store_.Displayed());
    spareRows_.clear();
    RowsChanged();
  }
  PublishTotals();
  header_->viewport()->update();
}

void CMyListCtrl::ApplyFilters(bool full) {
  auto pass = std::make_shared<FilterPass>();
  for (int c = 0; c < kFilterColumns; ++c) {
    header_->SetFilterMark(c, criteria_[size_t(c)] != nullptr);
    if (criteria_[size_t(c)]) pass->criteria[size_t(c)] = std::make_unique<FilterCriterion>(*criteria_[size_t(c)]);
  }
  pass->scratch = std::move(spareScratch_);
  if (full) {
    pass->mode = FilterPass::kFull;
    pass->passBits = std::move(spareBits_);  // memory only: a full pass sets every bit
  } else {
    pass->mode = folderDisplay_ ? FilterPass::kIncrementalFolder : FilterPass::kIncrementalFlat;
    pass->passBits = store_.PassBits();
    pass->passCount = passCount_;
    if (!folderDisplay_) pass->candidates = store_.Displayed();
  }
  if (full || folderDisplay_) {
    // Nothing is shown while the pass runs; the memory of the rows shown so
    // far takes the new ones.
    pass->rows.swap(store_.Displayed());
    if (spareRows_.capacity() > pass->rows.capacity()) pass->rows.swap(spareRows_);
    std::vector<uint32_t>().swap(spareRows_);
    pass->rows.clear();
    RowsChanged();
  } else {
    pass->rows.swap(spareRows_);
    pass->rows.clear();
  }
  const bool folders = folderDisplay_;
  StartWorker(kActivityFiltering, [this, pass, folders]() -> std::function<void()> {
    RunFilterPass(*pass, store_, nodes_);
    auto built = std::make_shared<std::unique_ptr<FolderIndex>>();
    if (folders) {
      *built = std::make_unique<FolderIndex>();
      (*built)->Build(store_, &pass->passBits);
    }
    return [this, pass, built, folders] {
      store_.SetPassBits(std::move(pass->passBits));
      spareBits_ = std::move(pass->passBits);
      spareScratch_ = std::move(pass->scratch);
      store_.SetFilterActive(true);
      passCount_ = pass->passCount;
      if (pass->mode == FilterPass::kFull) store_.SetTotals(pass->checkedFiles, pass->checkedBytes);
      else store_.AdjustTotals(pass->checkedFiles, pass->checkedBytes);
      for (auto& k : criteria_)
        if (k) k->applied = false;
      g_activityCode = kActivityIdle;
      if (folders) {
        ResetTreeModel(std::move(*built));
        treeReady_ = true;
        InitialDisplay();
      } else {
        treeReady_ = false;
        store_.Displayed().swap(pass->rows);
        RowsChanged();
      }
      spareRows_ = std::move(pass->rows);
      PublishTotals();
      header_->viewport()->update();
      emit filterFinished();
    };
  });
}

// ---- find and export ----

std::pair<int64_t, int> CMyListCtrl::FindNext(const FindPlan& plan, const FindOptions& options) {
  ++g_bulkGeneration;
  return FindNextCell(
      RowCount(), plan, options, [this](int64_t row, int column, WString& out) { BulkCellText(row, column, out); },
      [] {
        KeepWindowAlive();
        return true;
      },
      kBulkSliceRows);
}

int64_t CMyListCtrl::TypeAhead(int64_t start, WStringView typed) const {
  return TypeAheadRow(RowCount(), start, typed, [this](int64_t row, WString& out) {
    const uint32_t e = EntryOfRow(row);
    out.clear();
    if (e == kNoEntry) return;
    if (IsFolderEntry(e)) {
      const uint32_t r = e & ~kFolderRowBit;
      out = folders_->At(r).level == 0 ? VolumeRowLabel(folders_->Path(r), VolumeLabelOfFolder(r))
                                       : WString(folders_->Name(r));
      return;
    }
    ListNodeInfo info;
    if (const ListNodeInfo* node = NodeOf(nodes_, store_.At(e).nodeIndex, info)) out.assign(node->name);
  });
}

bool CMyListCtrl::ExportList(const QString& fileName) {
  std::array<WString, 7> headers;
  for (int c = 0; c < 7; ++c) headers[size_t(c)] = Msg(kListColumnMessageIds[c]);
  // The displayed rows: in folder display or with a filter these are fewer
  // than the records, and no row past them is read.
  ++g_bulkGeneration;
  return ::ExportList(
      fileName.toStdString(), RowCount(), headers,
      [this](int64_t row, std::array<WString, 7>& cells) {
        for (int c = 0; c < 7; ++c) BulkCellText(row, c, cells[size_t(c)]);
      },
      KeepWindowAlive, kBulkSliceRows);
}

size_t CMyListCtrl::MemoryBytes() const {
  return store_.MemoryBytes() + (folders_ ? folders_->MemoryBytes() : 0) + selection_.Ranges().capacity() * 16;
}
