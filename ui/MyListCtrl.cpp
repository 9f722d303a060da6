#include "ui/MyListCtrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

#include "engine/ProgressStats.h"
#include "foundation/Messages.h"
#include "ui/ListHeader.h"
#include "ui/QtPrompt.h"
#include "ui/TitleTip.h"
#include "ui/core/Activity.h"

namespace {

// The node's details, or null when the row has none or the source does not know it.
const ListNodeInfo* NodeOf(const ListNodeSource* nodes, int32_t nodeIndex, ListNodeInfo& info) {
  return nodeIndex != -1 && nodes && nodes->GetNode(nodeIndex, info) ? &info : nullptr;
}

}  // namespace

// ---- model ----

CFileListModel::CFileListModel(ListStore& store, QObject* parent) : QAbstractTableModel(parent), store_(store) {
  for (int c = 0; c < kListColumnCount; ++c) columnTexts_[size_t(c)] = ToQ(Msg(kListColumnMessageIds[c]));
}

void CFileListModel::SetColumnTexts(const std::array<QString, kListColumnCount>& texts) {
  columnTexts_ = texts;
  emit headerDataChanged(Qt::Horizontal, 0, kListColumnCount - 1);
}

void CFileListModel::CommitAppended() {
  const int count = int(store_.Count());
  if (count <= shown_) return;
  beginInsertRows(QModelIndex(), shown_, count - 1);
  shown_ = count;
  endInsertRows();
}

void CFileListModel::ResetAll() {
  beginResetModel();
  shown_ = int(store_.Count());
  endResetModel();
}

void CFileListModel::RowsChanged(int first, int last) {
  if (shown_ == 0) return;
  first = std::clamp(first, 0, shown_ - 1);
  last = std::clamp(last, first, shown_ - 1);
  emit dataChanged(index(first, 0), index(last, kListColumnCount - 1));
}

int CFileListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }
int CFileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kListColumnCount; }

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
  const int row = index.row();
  if (!index.isValid() || row < 0 || row >= shown_) return {};
  const size_t record = size_t(row);
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipPropertyRole: {
      ListNodeInfo info;
      return ToQ(FileCellText(index.column(), store_, record, NodeOf(nodes_, store_.At(record).nodeIndex, info)));
    }
    case Qt::CheckStateRole:
      if (index.column() != kColName) return {};
      switch (store_.CheckState(record)) {
        case kCheckOn:
          return int(Qt::Checked);
        case kCheckMixed:
          return int(Qt::PartiallyChecked);
        default:
          return int(Qt::Unchecked);
      }
    case Qt::BackgroundRole:
      return QColor(QRgb(BandColour(record)));
    case Qt::ForegroundRole: {
      // Deleted items stand out from live ones; the Status column keeps
      // their grade.
      ListNodeInfo info;
      const ListNodeInfo* node = NodeOf(nodes_, store_.At(record).nodeIndex, info);
      return node && (node->flags & 0x0002) ? QColor(QRgb(kDeletedItemColour)) : QColor(Qt::black);
    }
    case Qt::ToolTipRole: {
      ListNodeInfo info;
      const ListNodeInfo* node = NodeOf(nodes_, store_.At(record).nodeIndex, info);
      if (!node || !(node->flags & 0x0002)) return {};
      return ToQ(node->folder ? kDeletedFolderTip : kDeletedFileTip);
    }
    case Qt::TextAlignmentRole:
      return int(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant CFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kListColumnCount) return {};
  if (role == Qt::DisplayRole) return columnTexts_[size_t(section)];
  return {};
}

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // Check boxes are toggled by the list's own click rule, never by the delegate.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// ---- delegate ----

void CListRowDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  if (index.column() != kColName) option->state &= ~QStyle::State_Selected;
}

// ---- list ----

CMyListCtrl::CMyListCtrl(QWidget* parent) : QTableView(parent) {
  model_ = new CFileListModel(store_, this);
  header_ = new CMBLstHdrCtrl(this);
  setHorizontalHeader(header_);
  setModel(model_);
  tip_ = new CTitleTip(this);
  tip_->Create(this);
  setItemDelegate(new CListRowDelegate(this));
  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(fontMetrics().height() + 4);
  rows->setMinimumSectionSize(1);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setShowGrid(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideRight);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setMouseTracking(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  header_->setHighlightSections(false);
  header_->setSectionsClickable(true);
  header_->setStretchLastSection(false);
  header_->setMinimumSectionSize(10);
  connect(header_, &CMBLstHdrCtrl::checkBoxToggled, this, [this](bool checked) { CheckAll(checked); });
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { OnSelectionChanged(); });
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    tip_->Hide();
    store_.DropVisibleRowCache();
  });
  insertTimer_ = new QTimer(this);
  insertTimer_->setSingleShot(true);
  connect(insertTimer_, &QTimer::timeout, this, [this] { FinishInserting(); });
}

CMyListCtrl::~CMyListCtrl() = default;

void CMyListCtrl::SetNodeSource(ListNodeSource* nodes) {
  model_->SetNodeSource(nodes);
  viewport()->update();
}

void CMyListCtrl::SetColumns(const std::array<QString, kListColumnCount>& texts,
                             const std::array<int, kListColumnCount>& widths) {
  model_->SetColumnTexts(texts);
  initialWidths_ = widths;
  for (int c = 0; c < kListColumnCount; ++c) setColumnWidth(c, widths[size_t(c)]);
  FitColumns();
}

void CMyListCtrl::FitColumns() {
  if (initialWidths_[0] == 0) return;
  const QFontMetrics fm(font());
  const int pad = 2 * fm.horizontalAdvance(QLatin1Char('M'));
  // The widest texts these columns usually hold.
  const std::pair<int, const char*> samples[] = {
      {kColType, "JPEG image file"}, {kColSize, "1023.99 MB (1073741824)"}, {kColDate, "2026/12/31 23:59:59"}};
  int others = 0;
  for (const auto& [column, sample] : samples) {
    const int fit = std::max(initialWidths_[size_t(column)], fm.horizontalAdvance(QString::fromLatin1(sample)) + pad);
    if (columnWidth(column) < fit) setColumnWidth(column, fit);
  }
  for (int c = 1; c < kListColumnCount; ++c) others += columnWidth(c);
  const int spare = viewport()->width() - others;
  setColumnWidth(kColName, std::max(initialWidths_[0], spare));
}

void CMyListCtrl::AppendFoundItems(std::vector<FoundItem>& items, FoundNodeStore* nodeStore, uint8_t language,
                                   const TypeLookup& lookup) {
  for (const FoundItem& item : items) {
    if (nodeStore) nodeStore->Add(item);
    // A folder reads as one, whatever its name looks like.
    store_.Append(item.nodeIndex, TrimFolderPath(item.folderPath),
                  (item.flags2 & 0x0002) ? WString(kFolderTypeText)
                                         : FoundItemTypeText(item.name, language, lookup));
  }
  const bool any = !items.empty();
  items.clear();
  if (any) FinishInsertingSoon();
}

size_t CMyListCtrl::AppendRecord(int32_t nodeIndex, WStringView folderPath, WStringView typeText) {
  return store_.Append(nodeIndex, folderPath, typeText);
}

void CMyListCtrl::FinishInserting() {
  insertTimer_->stop();
  model_->CommitAppended();
  lastInsert_.start();
  theProgressAndStats().displayedItems = uint32_t(store_.Count());
  header_->SetHasFiles(store_.Count() != 0);
}

void CMyListCtrl::FinishInsertingSoon() {
  // Every insertion into the window costs in proportion to the rows it
  // already has (the row header recounts its section positions), so only
  // the store takes every batch.
  theProgressAndStats().displayedItems = uint32_t(store_.Count());
  if (!HasUnshownRows()) return;
  const qint64 since = lastInsert_.isValid() ? lastInsert_.elapsed() : kInsertIntervalMs;
  if (since >= kInsertIntervalMs) {
    FinishInserting();
  } else if (!insertTimer_->isActive()) {
    insertTimer_->start(int(kInsertIntervalMs - since));
  }
}

bool CMyListCtrl::HasUnshownRows() const { return size_t(model_->ShownRows()) < store_.Count(); }

bool CMyListCtrl::IsItemChecked(int i) const {
  return i >= 0 && size_t(i) < store_.Count() && store_.CheckState(size_t(i)) == kCheckOn;
}

bool CMyListCtrl::HasCheckedItems() const { return store_.CheckedFiles() > 0; }

int32_t CMyListCtrl::GetItemNodeIndex(int i) const {
  if (i < 0 || size_t(i) >= store_.Count()) return -1;
  return store_.At(size_t(i)).nodeIndex;
}

WString CMyListCtrl::GetItemNodeName(int i) const {
  ListNodeInfo info;
  const ListNodeInfo* node = NodeOf(NodeSource(), GetItemNodeIndex(i), info);
  return node ? WString(node->name) : WString();
}

WString CMyListCtrl::GetItemPath(int i) const {
  if (i < 0 || size_t(i) >= store_.Count()) return {};
  return store_.Path(size_t(i));
}

int CMyListCtrl::GetRecoveredName(int i, bool useFolderNames, WString& out, size_t bufferChars) const {
  if (i < 0 || size_t(i) >= store_.Count()) return -1;
  return RecoveredName(store_.Path(size_t(i)), GetItemNodeName(i), useFolderNames, bufferChars, out);
}

int CMyListCtrl::GetCheckState(int row) const {
  if (row < 0 || size_t(row) >= store_.Count()) return 0;
  return store_.CheckState(size_t(row)) != kCheckOff ? 1 : 0;
}

bool CMyListCtrl::CanPreview(int row) {
  if (row == -1) {
    const QModelIndexList selected = selectionModel()->selectedRows();
    if (selected.size() != 1) return false;
    row = selected.front().row();
  }
  if (row < 0 || size_t(row) >= store_.Count()) return false;
  ListRecord& r = store_.At(size_t(row));
  if ((r.flags & kRowPreviewMask) == 0) {
    ListNodeInfo info;
    const bool ok = (r.flags & kRowFileRecord) && NodeOf(NodeSource(), r.nodeIndex, info) && PreviewableFile(info);
    r.flags = uint8_t((r.flags & ~kRowPreviewMask) | (ok ? kRowPreviewYes : kRowPreviewNo));
  }
  return (r.flags & kRowPreviewMask) == kRowPreviewYes;
}

int CMyListCtrl::RowsPerPage() const {
  const int h = verticalHeader()->defaultSectionSize();
  return h > 0 ? viewport()->height() / h : 0;
}

void CMyListCtrl::DeleteFileItems() {
  store_.Clear();
  model_->ResetAll();
  insertTimer_->stop();
  lastInsert_.invalidate();
}

void CMyListCtrl::DeleteFolderItems() {
  // Folder rows exist only in folder display, which this list does not build.
}

void CMyListCtrl::FreeMem() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  tip_->Hide();
  store_.Clear();
  model_->ResetAll();
  insertTimer_->stop();
  lastInsert_.invalidate();
  for (int c = 0; c < kListColumnCount; ++c) header_->SetFilterMark(c, false);
  header_->SetHasFiles(false);
  header_->SetCheckBoxState(kCheckOff);
  folderDisplay_ = false;
  PublishTotals();
  QApplication::restoreOverrideCursor();
}

int CMyListCtrl::SetItemStatus(int record, uint16_t statusBits, bool force) {
  if (record < 0 || size_t(record) >= store_.Count()) return -1;
  const int32_t node = store_.At(size_t(record)).nodeIndex;
  if (NodeSource() && node != -1) NodeSource()->SetStatusBits(node, statusBits);
  if (force) {
    model_->RowsChanged(record, record);
  } else {
    int top = -1, bottom = -1;
    VisibleRows(top, bottom);
    if (top >= 0) {
      if (folderDisplay_) {
        const int64_t row = store_.FindVisibleRow(uint32_t(record), size_t(top), size_t(bottom));
        if (row >= 0) model_->RowsChanged(int(row), int(row));
      } else if (record >= top && record <= bottom) {
        model_->RowsChanged(record, record);
      }
    }
  }
  return (statusBits & 0x0700) != 0 ? 1 : 0;
}

void CMyListCtrl::VisibleRows(int& first, int& last) const {
  first = rowAt(0);
  last = -1;
  if (first < 0) return;
  last = rowAt(viewport()->height() - 1);
  if (last < 0) last = model_->ShownRows() - 1;
}

int64_t CMyListCtrl::RecordOfRow(int row) const {
  if (row < 0) return -1;
  if (!folderDisplay_) return size_t(row) < store_.Count() ? row : -1;
  const std::vector<uint32_t>& shown = store_.Displayed();
  if (size_t(row) >= shown.size() || (shown[size_t(row)] & 0x80000000u)) return -1;
  return shown[size_t(row)] < store_.Count() ? int64_t(shown[size_t(row)]) : -1;
}

int CMyListCtrl::GetItemInfo(int row, ListItemInfo& out, bool noDetails) const {
  const int64_t record = RecordOfRow(row);
  if (record < 0) return -1;
  ListNodeInfo info;
  return FileItemInfo(store_, size_t(record), NodeOf(NodeSource(), store_.At(size_t(record)).nodeIndex, info),
                      noDetails, out);
}

int CMyListCtrl::GetSelectionRange(bool tree, int& last) const {
  last = -1;
  if (tree) return -1;
  last = model_->ShownRows() - 1;
  int first = -1;
  for (const QModelIndex& i : selectionModel()->selectedRows())
    if (first < 0 || i.row() < first) first = i.row();
  return first;
}

void CMyListCtrl::RedrawRows(int first) {
  if (first < 0) first = std::max(rowAt(0), 0);
  model_->RowsChanged(first, first + std::max(RowsPerPage(), 1));
}

void CMyListCtrl::RepaintRecord(size_t record) { model_->RowsChanged(int(record), int(record)); }

void CMyListCtrl::PublishTotals() {
  CProgressAndStats& stats = theProgressAndStats();
  stats.selectedItems = uint32_t(store_.CheckedFiles());
  stats.checkedBytes = store_.CheckedBytes();
  stats.displayedItems = uint32_t(store_.Count());
  header_->SetCheckBoxState(store_.Count() != 0 && size_t(store_.CheckedFiles()) == store_.Count() ? kCheckOn
                                                                                                     : kCheckOff);
  emit checkedTotalsChanged(store_.CheckedFiles(), store_.CheckedBytes());
}

void CMyListCtrl::CheckCurItems(bool check) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QModelIndexList rows = selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& i : rows) store_.SetCheck(size_t(i.row()), check ? kCheckOn : kCheckOff, NodeSource());
  viewport()->update();
  PublishTotals();
  QApplication::restoreOverrideCursor();
}

void CMyListCtrl::CheckAll(bool check) {
  if (store_.Count() == 0) return;
  if (check) selectAll();
  else clearSelection();
  store_.SetAll(check, NodeSource());
  setFocus();
  viewport()->update();
  PublishTotals();
}

void CMyListCtrl::InvertChecks() {
  store_.InvertAll(NodeSource());
  viewport()->update();
  PublishTotals();
}

void CMyListCtrl::ReverseOrder() {
  if (store_.Count() < 2) return;
  store_.ReverseRecords();
  model_->RowsChanged(0, int(store_.Count()) - 1);
}

void CMyListCtrl::OnSelectionChanged() {
  if (g_activityCode.load() != kActivityIdle) return;
  const QModelIndexList selected = selectionModel()->selectedRows();
  if (selected.size() == 1) emit singleRowSelected(selected.front().row());
}

void CMyListCtrl::mousePressEvent(QMouseEvent* event) {
  tip_->Hide();
  const QPoint pos = event->position().toPoint();
  const QModelIndex index = indexAt(pos);
  if (event->button() == Qt::LeftButton && index.isValid() && !recoveryRunning_ &&
      g_activityCode.load() != kActivityRecovery) {
    const int x = pos.x() - columnViewportPosition(kColName);
    if (InCheckBand(x, folderDisplay_, themed_)) {
      const size_t record = size_t(index.row());
      if (selectionModel()->isRowSelected(index.row(), QModelIndex())) {
        CheckCurItems(store_.CheckState(record) == kCheckOff);
      } else {
        store_.Toggle(record, NodeSource());
        RepaintRecord(record);
        PublishTotals();
      }
      setFocus();
      event->accept();
      return;
    }
  }
  QTableView::mousePressEvent(event);
}

void CMyListCtrl::keyPressEvent(QKeyEvent* event) {
  tip_->Hide();
  switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
      store_.DropVisibleRowCache();
      break;
    default:
      break;
  }
  if (event->key() == Qt::Key_Space && !recoveryRunning_ && g_activityCode.load() != kActivityRecovery) {
    const QModelIndex current = currentIndex();
    if (current.isValid()) {
      if (!selectionModel()->isRowSelected(current.row(), QModelIndex()))
        selectionModel()->select(current, QItemSelectionModel::Select | QItemSelectionModel::Rows);
      CheckCurItems(store_.CheckState(size_t(current.row())) != kCheckOn);
    }
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void CMyListCtrl::wheelEvent(QWheelEvent* event) {
  store_.DropVisibleRowCache();
  QTableView::wheelEvent(event);
}

void CMyListCtrl::mouseMoveEvent(QMouseEvent* event) {
  QTableView::mouseMoveEvent(event);
  if (event->buttons() != Qt::NoButton) return;
  const QPoint pos = event->position().toPoint();
  if (tip_->IsShown()) {
    if (tip_->HitRect().contains(pos)) return;
    tip_->Hide();
  }
  const QModelIndex index = indexAt(pos);
  if (!index.isValid()) return;
  const QRect cell = visualRect(index);
  const QString text = model_->data(index, Qt::DisplayRole).toString();
  if (text.isEmpty()) return;
  if (index.column() == kColName) {
    QStyleOptionViewItem full;
    initViewItemOption(&full);
    full.rect = cell;
    static_cast<CListRowDelegate*>(itemDelegate())->InitOption(&full, index);
    const QRect label = style()->subElementRect(QStyle::SE_ItemViewItemText, &full, this);
    QRect labelRect(label.left(), cell.top(), columnWidth(index.column()), cell.height());
    if (!labelRect.contains(pos)) return;
    tip_->Show(QRect(cell.left(), cell.top(), label.left() - cell.left() + columnWidth(index.column()), cell.height()),
               text, label.left() - cell.left(), true);
  } else {
    tip_->Show(cell, text, 0, false);
  }
}

void CMyListCtrl::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  FitColumns();
  rowsPerPage_ = RowsPerPage();
  store_.DropVisibleRowCache();
}

void CMyListCtrl::leaveEvent(QEvent* event) {
  QTableView::leaveEvent(event);
}
