// The file list: an owner-data table whose model formats only the cell
// asked for from the 16-byte records of ListStore, with its own header
// (sort arrow, filter marks, check box) and title tip. Only the GUI thread
// changes it.
#pragma once
#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QStyledItemDelegate>
#include <QTableView>
#include <array>
#include <cstdint>
#include <vector>

#include "foundation/UiServices.h"
#include "ui/core/ListStore.h"
#include "ui/core/ListText.h"

class CMBLstHdrCtrl;
class CTitleTip;
class QTimer;

// The table model over the list's records (flat display).
class CFileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  CFileListModel(ListStore& store, QObject* parent = nullptr);
  void SetNodeSource(ListNodeSource* nodes) { nodes_ = nodes; }
  ListNodeSource* NodeSource() const { return nodes_; }
  void SetColumnTexts(const std::array<QString, kListColumnCount>& texts);
  // Tells the views about the records appended since the last call (one
  // beginInsertRows/endInsertRows for all of them).
  void CommitAppended();
  // Everything changed (cleared, reversed, sorted).
  void ResetAll();
  void RowsChanged(int first, int last);
  int ShownRows() const { return shown_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  ListStore& store_;
  ListNodeSource* nodes_ = nullptr;
  std::array<QString, kListColumnCount> columnTexts_;
  int shown_ = 0;  // rows the views know of
};

class CMyListCtrl : public QTableView {
  Q_OBJECT
 public:
  static constexpr int kControlId = 1012;

  explicit CMyListCtrl(QWidget* parent = nullptr);
  ~CMyListCtrl() override;

  // The view answers node facts (FoundNodeStore, or the engine's table
  // when no worker runs); not owned.
  void SetNodeSource(ListNodeSource* nodes);
  ListNodeSource* NodeSource() const { return model_->NodeSource(); }
  // Column header texts and widths as the view inserts them.
  void SetColumns(const std::array<QString, kListColumnCount>& texts, const std::array<int, kListColumnCount>& widths);
  ListStore& Store() { return store_; }
  const ListStore& Store() const { return store_; }
  CFileListModel* Model() const { return model_; }
  CMBLstHdrCtrl* Header() const { return header_; }
  CTitleTip* TitleTip() const { return tip_; }

  // ---- filling (code 11) ----
  // Appends one batch of found items (their node facts go to nodeStore
  // when given), then FinishInsertingSoon. The items are taken.
  void AppendFoundItems(std::vector<FoundItem>& items, FoundNodeStore* nodeStore, uint8_t language,
                        const TypeLookup& lookup);
  size_t AppendRecord(int32_t nodeIndex, WStringView folderPath, WStringView typeText);
  // Shows the rows appended so far, keeping the scroll position.
  void FinishInserting();
  // The same during a scan: the window learns of new rows at most every
  // kInsertIntervalMs (a timer shows the last ones), so that batches cost
  // the same at ten million rows as at the first. The records, the item
  // count and the shown count of the progress object are exact at once.
  void FinishInsertingSoon();
  static constexpr int kInsertIntervalMs = 100;
  // Rows appended but not yet known to the window.
  bool HasUnshownRows() const;

  // ---- reading ----
  int GetItemCount() const { return int(store_.Count()); }
  bool IsEmpty() const { return store_.Count() == 0; }
  bool IsFolderDisplay() const { return folderDisplay_; }
  bool IsItemChecked(int i) const;
  bool HasCheckedItems() const;
  int32_t GetItemNodeIndex(int i) const;
  WString GetItemNodeName(int i) const;
  WString GetItemPath(int i) const;
  // 0, or -1 (out untouched) when it does not fit in bufferChars.
  int GetRecoveredName(int i, bool useFolderNames, WString& out, size_t bufferChars = 1024) const;
  // Flat display: 1 unless the record is unchecked.
  int GetCheckState(int row) const;
  bool CanPreview(int row);  // -1: the single selected row
  // The properties dialog's description of a displayed row: 0 for a file
  // row, -1 when there is no such row (folder rows are not built).
  int GetItemInfo(int row, ListItemInfo& out, bool noDetails = false) const;
  // For Properties: the first selected row (-1 none) and, in last, the last
  // row index. With tree set the folder tree's selection is meant; the list
  // has no folder rows, so that gives -1 and -1.
  int GetSelectionRange(bool tree, int& last) const;
  // The file record a displayed row shows; -1 for none or a folder row.
  int64_t RecordOfRow(int row) const;
  int RowsPerPage() const;

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
  void CheckAll(bool check);
  void InvertChecks();
  // The view sets this while a recovery runs: check clicks and space are
  // ignored then.
  void SetRecoveryRunning(bool running) { recoveryRunning_ = running; }
  void SetThemed(bool themed) { themed_ = themed; }

  // Reverses the order shown (sort direction).
  void ReverseOrder();

 signals:
  // Totals after every change (also published to the progress object).
  void checkedTotalsChanged(qint64 files, qint64 bytes);
  // A row got a new state while exactly one row is selected.
  void singleRowSelected(int row);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void PublishTotals();
  void RepaintRecord(size_t record);
  // First and last rows in sight (-1 when none).
  void VisibleRows(int& first, int& last) const;
  void OnSelectionChanged();
  // Type, Size and Modified wide enough for their texts; Filename takes
  // the width left over.
  void FitColumns();

  ListStore store_;
  std::array<int, kListColumnCount> initialWidths_{};
  CFileListModel* model_;
  CMBLstHdrCtrl* header_;
  CTitleTip* tip_;
  bool folderDisplay_ = false;
  bool recoveryRunning_ = false;
  bool themed_ = false;
  int rowsPerPage_ = 0;
  QTimer* insertTimer_;
  QElapsedTimer lastInsert_;  // invalid: the next rows are shown at once
};

// Banded rows: a selected row shows the highlight in its first column only.
class CListRowDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void InitOption(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
