// The file list: a scroll area that paints only the rows in sight from the
// 16-byte records of ListStore (one node fetch per painted row), flat or by
// folder, with its own header (sort arrow, filter marks, check box), title
// tip, row selection, type-ahead search, sorting, filtering and the folder
// rows behind the folder tree. Only the GUI thread changes what the list
// shows: the sort, folder-row and filter workers compute their results
// privately while the list is disabled, and the results are swapped in on
// the GUI thread.
#pragma once
#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "foundation/UiServices.h"
#include "ui/core/FolderIndex.h"
#include "ui/core/ListFilter.h"
#include "ui/core/ListFind.h"
#include "ui/core/ListStore.h"
#include "ui/core/ListText.h"

class CMBLstHdrCtrl;
class CTitleTip;
class CFolderTreeModel;
class QStandardItemModel;
class QTimer;

class CMyListCtrl : public QAbstractScrollArea {
  Q_OBJECT
 public:
  static constexpr int kControlId = 1012;

  explicit CMyListCtrl(QWidget* parent = nullptr);
  ~CMyListCtrl() override;

  // The view answers node facts (FoundNodeStore); not owned.
  void SetNodeSource(ListNodeSource* nodes);
  ListNodeSource* NodeSource() const { return nodes_; }
  // The label of the source drive's volume at a node's volume index (empty
  // when none); used for volume rows.
  void SetVolumeLabels(std::function<WString(uint16_t)> labels) { volumeLabels_ = std::move(labels); }
  // Column header texts and widths as the view inserts them.
  void SetColumns(const std::array<QString, kListColumnCount>& texts, const std::array<int, kListColumnCount>& widths);
  void setColumnWidth(int column, int width);
  int columnWidth(int column) const;
  // A column's header text without leading blanks.
  QString HeaderText(int column) const;
  ListStore& Store() { return store_; }
  const ListStore& Store() const { return store_; }
  CMBLstHdrCtrl* Header() const { return header_; }
  CTitleTip* TitleTip() const { return tip_; }
  CFolderTreeModel* TreeModel() const { return treeModel_; }
  FolderIndex* Folders() const { return folders_.get(); }

  // ---- filling (code 11) ----
  // Appends one batch of found items (their node facts go to nodeStore when
  // given) and shows them. The items are taken.
  void AppendFoundItems(std::vector<FoundItem>& items, FoundNodeStore* nodeStore, uint8_t language,
                        const TypeLookup& lookup);
  size_t AppendRecord(int32_t nodeIndex, WStringView folderPath, WStringView typeText);
  // Shows the records appended so far: the scroll range follows at once
  // and only rows that came into sight are painted.
  void FinishInserting();

  // ---- reading ----
  int GetItemCount() const { return int(store_.Count()); }
  bool IsEmpty() const { return store_.Count() == 0; }
  bool IsFolderDisplay() const { return folderDisplay_; }
  bool IsFilterActive() const { return store_.FilterActive(); }
  // Checked, and passing the filter (what a recovery takes).
  bool IsItemChecked(int i) const;
  bool HasCheckedItems() const;
  int32_t GetItemNodeIndex(int i) const;
  WString GetItemNodeName(int i) const;
  WString GetItemPath(int i) const;
  // 0, or -1 (out untouched) when it does not fit in bufferChars.
  int GetRecoveredName(int i, bool useFolderNames, WString& out, size_t bufferChars = 1024) const;
  // Flat display: 1 unless unchecked; folder display: 1 checked, 0
  // unchecked, -1 a mixed folder.
  int GetCheckState(int row) const;
  bool CanPreview(int row);  // -1: the single selected row
  // The properties dialog's description of a displayed row: 0 a file row,
  // 1 a folder row, -1 none.
  int GetItemInfo(int row, ListItemInfo& out, bool noDetails = false);
  // A folder row's description: 1, or 2 for a volume row (then only the
  // row's node index and path are given); -1 none.
  int GetFolderItemInfo(uint32_t folderRow, ListItemInfo& out);
  // For Properties: the first selected row (-1 none) and, in last, the last
  // row index; with tree set the tree's current folder row and the last
  // folder row.
  int GetSelectionRange(bool tree, int& last) const;
  // Rows displayed.
  int64_t RowCount() const;
  // The displayed entry of a row (a record, or a folder row with
  // kFolderRowBit); 0xFFFFFFFF for none.
  uint32_t EntryOfRow(int64_t row) const;
  // The file record a displayed row shows; -1 for none or a folder row.
  int64_t RecordOfRow(int64_t row) const;
  int RowsPerPage() const;
  // The text a cell shows; safe from several threads while the list does
  // not change.
  WString CellText(int64_t row, int column) const;
  void CellTextInto(int64_t row, int column, WString& out) const;
  // The same with a faster formatter, for searching and exporting.
  void BulkCellText(int64_t row, int column, WString& out) const;
  // The volume label part of a volume row's text.
  WString VolumeLabelOfFolder(uint32_t folderRow) const;
  // Deleted items stand out from live ones: their text colour and hover
  // text (empty for a live item or a folder row).
  QColor RowInk(int64_t row) const;
  QString RowToolTip(int64_t row) const;

  // ---- selection and focus ----
  int64_t SelectedCount() const { return selection_.Count(); }
  int64_t FirstSelected() const { return selection_.First(); }
  bool IsRowSelected(int64_t row) const { return selection_.IsSelected(row); }
  const RowSelection& Selection() const { return selection_; }
  void SelectRow(int64_t row, bool add = false);
  void SelectRange(int64_t first, int64_t last);
  void ClearSelection();
  int64_t CurrentRow() const { return current_; }
  void SetCurrentRow(int64_t row);
  void EnsureVisible(int64_t row);
  int64_t TopRow() const;
  int64_t RowAt(int y) const;  // viewport y; -1 past the rows
  QRect RowRect(int64_t row) const;  // in viewport coordinates
  QRect CellRect(int64_t row, int column) const;
  int RowHeight() const { return rowHeight_; }
  // The least height that still shows a few rows under the header (and the
  // horizontal scroll bar when the columns are wider than the list).
  int UsableMinimumHeight() const;

  // ---- emptying ----
  void DeleteFileItems();
  void DeleteFolderItems();
  void FreeMem();

  // ---- status and repaint ----
  // Puts status bits (bits 8-10) into the record's node; -1 for a record
  // outside the list; else whether any status bit was set.
  int SetItemStatus(int record, uint16_t statusBits, bool force);
  void RedrawRows(int first);

  // ---- checks ----
  void CheckCurItems(bool check);
  // Flat display: the records below the given folder records take state;
  // the number changed.
  size_t SpreadToFolderContents(const std::vector<uint32_t>& records, uint8_t state);
  void CheckAll(bool check);
  // whole: the tree has the focus (every folder); else the current folder.
  void InvertChecks(bool whole = false);
  // Every folder (the tree has the focus) checked or unchecked.
  void CheckAllFolders(bool check);
  // The tree's spreading: a folder row set to a state from the tree.
  void SetFolderCheckState(uint32_t folderRow, uint8_t state);
  void ToggleFolderCheck(uint32_t folderRow);
  // The view sets this while a recovery runs: check clicks and space are
  // ignored then.
  void SetRecoveryRunning(bool running) { recoveryRunning_ = running; }
  bool RecoveryRunning() const { return recoveryRunning_; }
  void SetThemed(bool themed) { themed_ = themed; }
  // Publishes the checked totals (also to the progress object).
  void PublishTotals();

  // ---- sorting ----
  // Flat display: sorts by a code on a worker (activity code 2, the list
  // disabled); sortFinished(code) follows. An empty list gives it at once.
  void StartSort(int code);
  // Sorts the rows of the open folder at once (folder display).
  void SortFolderRows(int code);
  // Reverses the order shown (sort direction).
  void ReverseOrder();
  // Whether the records are in the order the folder rows were built for
  // (and the rows exist).
  bool FolderRowsCurrent() const;
  // Whether the records are in folder order (sorted by code 7 and not
  // reordered since).
  bool InFolderOrder() const { return store_.Count() > 0 && folderOrder_ == store_.OrderGeneration(); }

  // ---- folder display ----
  // Switches flat <-> folder display: the new folder-display flag, or -1
  // when the folder rows are being built on a worker (folderRowsReady
  // follows).
  int ToggleDisplay();
  // Builds the folder rows (activity code 3) on a worker.
  void BuildTree();
  bool TreeReady() const { return treeReady_; }
  // Shows a folder's contents (folder display).
  void OpenFolder(uint32_t folderRow);
  uint32_t CurrentFolder() const { return currentFolder_; }
  // The selection-mark row's folder, opened through the tree.
  void OpenSelectedFolder();
  void GoToParentFolder();
  // The volume row shown first after a build; kNoFolderRow when none.
  uint32_t InitialLevel0Folder() const;

  // ---- filtering ----
  void SetFilter(int column, std::unique_ptr<FilterCriterion> criterion);
  void ClearFilter(int column);
  const FilterCriterion* Criterion(int column) const;
  std::array<bool, kFilterColumns> FilterEntries() const;
  int64_t PassCount() const { return passCount_; }

  // ---- find and export ----
  // Find Next: the match's row and column, or (-1, -1); the list is not
  // changed meanwhile (events other than input are processed between
  // slices).
  std::pair<int64_t, int> FindNext(const FindPlan& plan, const FindOptions& options);
  // The type-ahead answer for a typed text from a start row (-1 none).
  int64_t TypeAhead(int64_t start, WStringView typed) const;
  // Keys closer than this (milliseconds; the platform's key interval by
  // default) extend the typed text; ResetTypeAhead starts a new one.
  void SetTypeAheadInterval(int ms) { typeAheadInterval_ = ms; }
  void ResetTypeAhead() { typed_.clear(); typedAt_.invalidate(); }
  // Writes the displayed rows as UTF-16 comma-separated text.
  bool ExportList(const QString& fileName);

  // Memory of the records, pools, rows and folder rows.
  size_t MemoryBytes() const;
  // How long the GUI thread took to swap in the last worker's result
  // (milliseconds), for the benchmark.
  double LastSwapMs() const { return lastSwapMs_; }

 signals:
  // Totals after every change (also published to the progress object).
  void checkedTotalsChanged(qint64 files, qint64 bytes);
  // A row got a new state while exactly one row is selected.
  void singleRowSelected(int row);
  void sortFinished(int code);
  void folderRowsReady(bool any);
  void filterFinished();
  // A filter was replaced or cleared: the view forgets its sort column.
  void sortForgotten();
  // A folder row was opened by double-click or Enter: the tree selects it.
  void folderActivated(quint32 folderRow);
  // Check states of folder rows changed (the tree repaints them).
  void folderStatesChanged();
  // A worker could not finish (memory ran out); nothing was changed.
  void workerFailed(int activity);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void UpdateScrollBars();
  void LayoutHeader();
  void RowsChanged();  // the rows shown are replaced: selection cleared, repaint
  void RepaintRow(int64_t row);
  void VisibleRows(int64_t& first, int64_t& last) const;
  void OnSelectionChanged();
  // Type, Size and Modified wide enough for their texts; Filename takes
  // the width left over.
  void FitColumns();
  void ToggleRow(int64_t row);
  void ApplyFolderState(int64_t row, uint8_t state);
  void AfterFileRowsChanged();
  void MoveCurrent(int64_t row, Qt::KeyboardModifiers modifiers);
  void InitialDisplay();
  void StartWorker(int activity, std::function<std::function<void()>()> job);
  void ApplyFilters(bool full);
  void ResetTreeModel(std::unique_ptr<FolderIndex> folders);
  int ColumnLeft(int column) const;  // in viewport coordinates
  int ColumnAtX(int x) const;

  ListStore store_;
  std::array<int, kListColumnCount> initialWidths_{};
  int widestType_ = 0;  // the widest type text found so far
  ListNodeSource* nodes_ = nullptr;
  std::function<WString(uint16_t)> volumeLabels_;
  CMBLstHdrCtrl* header_;
  QStandardItemModel* headerModel_;
  CTitleTip* tip_;
  CFolderTreeModel* treeModel_;
  std::unique_ptr<FolderIndex> folders_;
  uint32_t currentFolder_ = kNoFolderRow;
  bool folderDisplay_ = false;
  bool treeReady_ = false;
  bool recoveryRunning_ = false;
  bool themed_ = false;
  int rowHeight_ = 18;
  int rowsPerPage_ = 0;
  int64_t shownRows_ = 0;  // the rows the scroll range knows
  static constexpr qint64 kBarRepaintMs = 50;
  QElapsedTimer barPainted_;
  QTimer* barTimer_ = nullptr;
  RowSelection selection_;
  int64_t current_ = -1;  // focus row
  int64_t anchor_ = -1;   // shift-selection anchor
  std::array<std::unique_ptr<FilterCriterion>, kFilterColumns> criteria_;
  bool filterReplaced_ = false;
  int64_t passCount_ = 0;
  // Memory of the last filter pass and of rows no longer shown, for the
  // next pass (see FilterPass::scratch).
  std::vector<uint8_t> spareBits_, spareScratch_;
  std::vector<uint32_t> spareRows_;
  // type texts by extension (the first unit says whether there is a ".")
  std::unordered_map<WString, uint32_t> typeCache_;
  WString typeKey_;
  int typeCacheLanguage_ = -1;
  // type-ahead
  WString typed_;
  QElapsedTimer typedAt_;
  int typeAheadInterval_ = -1;
  uint64_t folderOrder_ = ~uint64_t(0);  // the order generation of the last folder-order sort
  // workers
  std::thread worker_;
  uint64_t serial_ = 0;
  double lastSwapMs_ = 0;  // raised when the list is emptied: a worker's result for older contents is dropped
};
