#include "ui/MyListCtrl.h"

#include <QApplication>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTimer>
#include <algorithm>

#include "engine/ProgressStats.h"
#include "foundation/Messages.h"
#include "ui/FolderTree.h"
#include "ui/ListHeader.h"
#include "ui/MyListCtrlParts.h"
#include "ui/QtPrompt.h"
#include "ui/TitleTip.h"
#include "ui/core/ListSort.h"

using namespace listctrl;

CMyListCtrl::CMyListCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
  headerModel_ = new QStandardItemModel(0, kListColumnCount, this);
  for (int c = 0; c < kListColumnCount; ++c)
    headerModel_->setHorizontalHeaderItem(c, new QStandardItem(ToQ(Msg(kListColumnMessageIds[c]))));
  header_ = new CMBLstHdrCtrl(this);
  header_->setModel(headerModel_);
  header_->setHighlightSections(false);
  header_->setSectionsClickable(true);
  header_->setStretchLastSection(false);
  header_->setMinimumSectionSize(10);
  header_->setSectionResizeMode(QHeaderView::Interactive);
  tip_ = new CTitleTip(this);
  tip_->Create(this);
  treeModel_ = new CFolderTreeModel(this, this);
  setMouseTracking(true);
  viewport()->setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAutoFillBackground(false);
  rowHeight_ = fontMetrics().height() + 4;
  verticalScrollBar()->setSingleStep(1);
  horizontalScrollBar()->setSingleStep(20);
  connect(header_, &QHeaderView::sectionResized, this, [this] {
    UpdateScrollBars();
    viewport()->update();
  });
  connect(header_, &CMBLstHdrCtrl::checkBoxToggled, this, [this](bool checked) { CheckAll(checked); });
  barTimer_ = new QTimer(this);
  barTimer_->setSingleShot(true);
  connect(barTimer_, &QTimer::timeout, this, [this] {
    verticalScrollBar()->setUpdatesEnabled(true);
    barPainted_.start();
  });
  LayoutHeader();
}

CMyListCtrl::~CMyListCtrl() {
  if (worker_.joinable()) worker_.join();
}

void CMyListCtrl::SetNodeSource(ListNodeSource* nodes) {
  nodes_ = nodes;
  viewport()->update();
}

void CMyListCtrl::SetColumns(const std::array<QString, kListColumnCount>& texts,
                             const std::array<int, kListColumnCount>& widths) {
  for (int c = 0; c < kListColumnCount; ++c) {
    headerModel_->setHorizontalHeaderItem(c, new QStandardItem(texts[size_t(c)]));
    header_->resizeSection(c, widths[size_t(c)]);
  }
  initialWidths_ = widths;
  FitColumns();
  LayoutHeader();
}

void CMyListCtrl::FitColumns() {
  if (initialWidths_[0] == 0) return;
  const QFontMetrics fm(font());
  const int pad = 2 * fm.horizontalAdvance(QLatin1Char('M'));
  // The widest texts these columns usually hold.
  const std::pair<int, const char*> samples[] = {
      {kColType, "JPEG image file"}, {kColSize, "1023.99 MB (1073741824)"}, {kColDate, "2026/12/31 23:59:59"}};
  for (const auto& [column, sample] : samples) {
    int text = fm.horizontalAdvance(QString::fromLatin1(sample));
    // A long type text is cut rather than widening its column past twice the sample.
    if (column == kColType) text = std::max(text, std::min(widestType_, 2 * text));
    const int fit = std::max(initialWidths_[size_t(column)], text + pad);
    if (header_->sectionSize(column) < fit) header_->resizeSection(column, fit);
  }
  // The room beyond the columns goes to Folder, whose paths are the texts
  // most often cut; Filename keeps its own width.
  int others = 0;
  for (int c = 0; c < kListColumnCount; ++c)
    if (c != kColFolder) others += header_->sectionSize(c);
  header_->resizeSection(kColFolder, std::max(initialWidths_[size_t(kColFolder)], viewport()->width() - others));
}

QColor CMyListCtrl::RowInk(int64_t row) const {
  const uint32_t e = EntryOfRow(row);
  ListNodeInfo info;
  const ListNodeInfo* node = e == kNoEntry || IsFolderEntry(e) ? nullptr : NodeOf(nodes_, store_.At(e).nodeIndex, info);
  const ListColours colours =
      ListColoursFor(palette().color(QPalette::Base).rgb(), palette().color(QPalette::Text).rgb());
  return QColor(QRgb(node && (node->flags & 0x0002) ? colours.deletedInk : colours.ink));
}

QString CMyListCtrl::RowToolTip(int64_t row) const {
  const uint32_t e = EntryOfRow(row);
  ListNodeInfo info;
  const ListNodeInfo* node = e == kNoEntry || IsFolderEntry(e) ? nullptr : NodeOf(nodes_, store_.At(e).nodeIndex, info);
  if (!node || !(node->flags & 0x0002)) return {};
  return ToQ(node->folder ? kDeletedFolderTip : kDeletedFileTip);
}

void CMyListCtrl::setColumnWidth(int column, int width) { header_->resizeSection(column, width); }
int CMyListCtrl::columnWidth(int column) const { return header_->sectionSize(column); }

QString CMyListCtrl::HeaderText(int column) const {
  QStandardItem* item = headerModel_->horizontalHeaderItem(column);
  return item ? item->text().trimmed() : QString();
}

// ---- geometry ----

void CMyListCtrl::LayoutHeader() {
  const int h = header_->sizeHint().height();
  setViewportMargins(0, h, 0, 0);
  const QRect vg = viewport()->geometry();
  header_->setGeometry(vg.left(), vg.top() - h, vg.width(), h);
  UpdateScrollBars();
}

int CMyListCtrl::UsableMinimumHeight() const {
  const int rows = 4;
  return header_->sizeHint().height() + rows * rowHeight_ + horizontalScrollBar()->sizeHint().height() +
         2 * frameWidth();
}

void CMyListCtrl::UpdateScrollBars() {
  const int64_t rows = RowCount();
  shownRows_ = rows;
  const int full = std::max(1, viewport()->height() / std::max(rowHeight_, 1));
  rowsPerPage_ = full;
  const int64_t max = std::max<int64_t>(0, rows - full);
  verticalScrollBar()->setRange(0, int(std::min<int64_t>(max, INT32_MAX)));
  verticalScrollBar()->setPageStep(full);
  const int width = header_->length();
  horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  header_->setOffset(horizontalScrollBar()->value());
}

void CMyListCtrl::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  FitColumns();
  LayoutHeader();
  store_.DropVisibleRowCache();
}

void CMyListCtrl::scrollContentsBy(int, int) {
  header_->setOffset(horizontalScrollBar()->value());
  tip_->Hide();
  store_.DropVisibleRowCache();
  viewport()->update();
}

void CMyListCtrl::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) viewport()->update();
  if (event->type() == QEvent::FontChange) {
    rowHeight_ = fontMetrics().height() + 4;
    UpdateScrollBars();
  }
}

int CMyListCtrl::RowsPerPage() const { return std::max(1, viewport()->height() / std::max(rowHeight_, 1)); }

int64_t CMyListCtrl::TopRow() const { return verticalScrollBar()->value(); }

int64_t CMyListCtrl::RowAt(int y) const {
  if (y < 0) return -1;
  const int64_t row = TopRow() + y / rowHeight_;
  return row < RowCount() ? row : -1;
}

QRect CMyListCtrl::RowRect(int64_t row) const {
  return QRect(0, int((row - TopRow()) * rowHeight_), viewport()->width(), rowHeight_);
}

QRect CMyListCtrl::CellRect(int64_t row, int column) const {
  const QRect r = RowRect(row);
  return QRect(ColumnLeft(column), r.top(), header_->sectionSize(column), r.height());
}

int CMyListCtrl::ColumnLeft(int column) const { return header_->sectionViewportPosition(column); }

int CMyListCtrl::ColumnAtX(int x) const {
  for (int c = 0; c < kListColumnCount; ++c) {
    const int left = ColumnLeft(c);
    if (x >= left && x < left + header_->sectionSize(c)) return c;
  }
  return -1;
}

void CMyListCtrl::VisibleRows(int64_t& first, int64_t& last) const {
  first = TopRow();
  last = std::min<int64_t>(RowCount() - 1, first + viewport()->height() / rowHeight_);
  if (first > last) first = last = -1;
}

void CMyListCtrl::EnsureVisible(int64_t row) {
  if (row < 0 || row >= RowCount()) return;
  const int full = RowsPerPage();
  const int64_t top = TopRow();
  if (row < top) verticalScrollBar()->setValue(int(row));
  else if (row >= top + full) verticalScrollBar()->setValue(int(row - full + 1));
}

// ---- rows ----

int64_t CMyListCtrl::RowCount() const {
  if (folderDisplay_ || store_.FilterActive()) return int64_t(store_.Displayed().size());
  return int64_t(store_.Count());
}

uint32_t CMyListCtrl::EntryOfRow(int64_t row) const {
  if (row < 0) return kNoEntry;
  if (folderDisplay_ || store_.FilterActive()) {
    const std::vector<uint32_t>& shown = store_.Displayed();
    if (size_t(row) >= shown.size()) return kNoEntry;
    const uint32_t e = shown[size_t(row)];
    if (IsFolderEntry(e)) return folders_ && (e & ~kFolderRowBit) < folders_->Count() ? e : kNoEntry;
    return e < store_.Count() ? e : kNoEntry;
  }
  return size_t(row) < store_.Count() ? uint32_t(row) : kNoEntry;
}

int64_t CMyListCtrl::RecordOfRow(int64_t row) const {
  const uint32_t e = EntryOfRow(row);
  return e == kNoEntry || IsFolderEntry(e) ? -1 : int64_t(e);
}

WString CMyListCtrl::VolumeLabelOfFolder(uint32_t folderRow) const {
  if (!folders_ || folderRow >= folders_->Count() || !volumeLabels_) return {};
  ListNodeInfo info;
  const ListNodeInfo* node = NodeOf(nodes_, folders_->At(folderRow).nodeIndex, info);
  return node && node->volumeIndex != 0xFFFF ? volumeLabels_(node->volumeIndex) : WString();
}

void CMyListCtrl::CellTextInto(int64_t row, int column, WString& out) const {
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry) {
    out.clear();
    return;
  }
  if (IsFolderEntry(e)) {
    const uint32_t r = e & ~kFolderRowBit;
    const bool volumeName = column == kColName && folders_->At(r).level == 0;
    out = FolderCellText(column, *folders_, r, volumeName ? VolumeLabelOfFolder(r) : WString());
    return;
  }
  ListNodeInfo info;
  out = FileCellText(column, store_, e, NodeOf(nodes_, store_.At(e).nodeIndex, info));
}

std::atomic<uint64_t> g_bulkGeneration{0};

void CMyListCtrl::BulkCellText(int64_t row, int column, WString& out) const {
  // One formatter per thread, fresh for each search or export (the time
  // zone may have changed in between).
  thread_local struct {
    uint64_t generation = ~uint64_t(0);
    CellFormatter formatter;
  } local;
  const uint64_t generation = g_bulkGeneration.load(std::memory_order_relaxed);
  if (local.generation != generation) {
    local.formatter = CellFormatter();
    local.generation = generation;
  }
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry || IsFolderEntry(e)) {
    CellTextInto(row, column, out);
    return;
  }
  ListNodeInfo info;
  local.formatter.FileCell(column, store_, e, NodeOf(nodes_, store_.At(e).nodeIndex, info), out);
}

WString CMyListCtrl::CellText(int64_t row, int column) const {
  WString out;
  CellTextInto(row, column, out);
  return out;
}

void CMyListCtrl::RowsChanged() {
  selection_.Clear();
  current_ = anchor_ = -1;
  tip_->Hide();
  store_.DropVisibleRowCache();
  UpdateScrollBars();
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::RepaintRow(int64_t row) {
  const int64_t top = TopRow();
  if (row < top || row > top + RowsPerPage()) return;
  viewport()->update(RowRect(row));
}

// ---- filling ----

void CMyListCtrl::AppendFoundItems(std::vector<FoundItem>& items, FoundNodeStore* nodeStore, uint8_t language,
                                   const TypeLookup& lookup) {
  bool typeWidened = false;
  if (typeCacheLanguage_ != language) {
    typeCache_.clear();
    typeCacheLanguage_ = language;
  }
  for (const FoundItem& item : items) {
    if (nodeStore) nodeStore->Add(item);
    // One trailing "\" goes (unless it is all), as TrimFolderPath does.
    WStringView path = item.folderPath;
    if (path.size() > 1 && path.back() == u'\\') path.remove_suffix(1);
    // The type text depends on the extension only: made once per extension.
    const size_t dot = item.name.rfind(u'.');
    typeKey_.assign(1, dot == WString::npos ? u'0' : u'1');
    if (dot != WString::npos)
      for (size_t i = dot + 1; i < item.name.size(); ++i) typeKey_.push_back(AsciiLower(item.name[i]));
    // A folder reads as one, and a link, whatever its name looks like.
    const bool folder = (item.flags2 & 0x0002) != 0;
    if (folder) typeKey_.assign(1, u'/');
    else if (item.symlink) typeKey_.assign(1, u'>');
    auto it = typeCache_.find(typeKey_);
    if (it == typeCache_.end()) {
      const WString type = folder         ? WString(kFolderTypeText)
                           : item.symlink ? WString(kSymlinkTypeText)
                                          : FoundItemTypeText(item.name, language, lookup);
      // The Type column grows to the widest type it shows (measured once
      // per type).
      const int width = fontMetrics().horizontalAdvance(ToQ(type));
      if (width > widestType_) {
        widestType_ = width;
        typeWidened = true;
      }
      it = typeCache_.emplace(typeKey_, store_.Types().Intern(type)).first;
    }
    ListRecord r;
    r.flags = kNewFileRecordFlags;
    r.nodeIndex = item.nodeIndex;
    r.pathId = store_.Paths().Intern(path);
    r.typeId = it->second;
    store_.AppendRecord(r);
  }
  if (typeWidened) FitColumns();
  const bool any = !items.empty();
  items.clear();
  if (any) FinishInserting();
}

size_t CMyListCtrl::AppendRecord(int32_t nodeIndex, WStringView folderPath, WStringView typeText) {
  return store_.Append(nodeIndex, folderPath, typeText);
}

void CMyListCtrl::FinishInserting() {
  // Telling the window of new rows costs what the scroll range costs: the
  // same at ten million rows as at the first. The range is exact at once;
  // only the scroll bar's repaint waits, so that it is drawn at most every
  // kBarRepaintMs however fast the batches come.
  const int64_t before = shownRows_;
  QScrollBar* bar = verticalScrollBar();
  if (barPainted_.isValid() && barPainted_.elapsed() < kBarRepaintMs) {
    if (bar->updatesEnabled()) {
      bar->setUpdatesEnabled(false);
      barTimer_->start(int(kBarRepaintMs - barPainted_.elapsed()));
    }
  } else {
    if (!bar->updatesEnabled()) bar->setUpdatesEnabled(true);
    barPainted_.start();
  }
  UpdateScrollBars();
  const int64_t top = TopRow();
  if (shownRows_ != before && before <= top + RowsPerPage()) viewport()->update();
  if (!store_.FilterActive()) theProgressAndStats().displayedItems = uint32_t(store_.Count());
  header_->SetHasFiles(store_.Count() != 0);
}

// ---- reading ----

bool CMyListCtrl::IsItemChecked(int i) const {
  return i >= 0 && size_t(i) < store_.Count() && store_.CheckState(size_t(i)) == kCheckOn && store_.Passes(size_t(i));
}

bool CMyListCtrl::HasCheckedItems() const {
  if (folderDisplay_ && folders_) {
    for (uint32_t r : folders_->Roots())
      if (folders_->At(r).State() != kCheckOff) return true;
    return false;
  }
  return store_.CheckedFiles() > 0;
}

int32_t CMyListCtrl::GetItemNodeIndex(int i) const {
  if (i < 0 || size_t(i) >= store_.Count()) return -1;
  return store_.At(size_t(i)).nodeIndex;
}

WString CMyListCtrl::GetItemNodeName(int i) const {
  ListNodeInfo info;
  const ListNodeInfo* node = NodeOf(nodes_, GetItemNodeIndex(i), info);
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
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry) return 0;
  if (IsFolderEntry(e)) {
    const uint8_t s = folders_->At(e & ~kFolderRowBit).State();
    return s == kCheckOn ? 1 : s == kCheckMixed ? -1 : 0;
  }
  const uint8_t s = store_.CheckState(e);
  if (folderDisplay_) return s == kCheckOn ? 1 : 0;
  return s == kCheckOff ? 0 : 1;
}

bool CMyListCtrl::CanPreview(int row) {
  if (row == -1) {
    if (selection_.Count() != 1) return false;
    row = int(selection_.First());
  }
  const int64_t record = RecordOfRow(row);
  if (record < 0) return false;
  ListRecord& r = store_.At(size_t(record));
  if ((r.flags & kRowPreviewMask) == kRowPreviewYes) return true;
  if ((r.flags & kRowPreviewMask) == kRowPreviewNo) return false;
  ListNodeInfo info;
  const ListNodeInfo* node = NodeOf(nodes_, r.nodeIndex, info);
  const bool can = node && PreviewableFile(*node);
  r.flags = uint8_t((r.flags & ~kRowPreviewMask) | (can ? kRowPreviewYes : kRowPreviewNo));
  return can;
}

int CMyListCtrl::GetItemInfo(int row, ListItemInfo& out, bool noDetails) {
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry) return -1;
  if (IsFolderEntry(e)) return GetFolderItemInfo(e & ~kFolderRowBit, out);
  ListNodeInfo info;
  return FileItemInfo(store_, e, NodeOf(nodes_, store_.At(e).nodeIndex, info), noDetails, out);
}

int CMyListCtrl::GetFolderItemInfo(uint32_t folderRow, ListItemInfo& out) {
  if (!folders_ || folderRow >= folders_->Count()) return -1;
  const int r = FolderItemInfo(*folders_, folderRow, store_, nodes_, VolumeLabelOfFolder(folderRow), out);
  if (r < 0) return r;
  if (folders_->At(folderRow).level == 0) {
    out.folder = folders_->Path(folderRow);
    return 2;
  }
  viewport()->update();
  return 1;
}

int CMyListCtrl::GetSelectionRange(bool tree, int& last) const {
  if (tree) {
    last = folders_ ? int(folders_->Count()) - 1 : -1;
    return folders_ && currentFolder_ < folders_->Count() ? int(currentFolder_) : -1;
  }
  last = int(RowCount()) - 1;
  return int(selection_.First());
}

// ---- emptying ----

void CMyListCtrl::DeleteFileItems() { FreeMem(); }

void CMyListCtrl::DeleteFolderItems() {
  ResetTreeModel(nullptr);
  treeReady_ = false;
  currentFolder_ = kNoFolderRow;
}

void CMyListCtrl::FreeMem() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (worker_.joinable()) worker_.join();
  ++serial_;
  ResetTreeModel(nullptr);
  store_.Clear();
  std::vector<uint8_t>().swap(spareBits_);
  std::vector<uint8_t>().swap(spareScratch_);
  std::vector<uint32_t>().swap(spareRows_);
  typeCache_.clear();
  for (int c = 0; c < kFilterColumns; ++c) {
    criteria_[size_t(c)].reset();
    header_->SetFilterMark(c, false);
  }
  passCount_ = 0;
  folderDisplay_ = false;
  treeReady_ = false;
  currentFolder_ = kNoFolderRow;
  typed_.clear();
  RowsChanged();
  PublishTotals();
  header_->SetHasFiles(false);
  QApplication::restoreOverrideCursor();
}

// ---- status ----

int CMyListCtrl::SetItemStatus(int record, uint16_t statusBits, bool force) {
  if (record < 0 || size_t(record) >= store_.Count()) return -1;
  const int32_t node = store_.At(size_t(record)).nodeIndex;
  if (nodes_ && node != -1) nodes_->SetStatusBits(node, statusBits);
  if (force) {
    RepaintRow(record);
  } else {
    int64_t top = -1, bottom = -1;
    VisibleRows(top, bottom);
    if (top >= 0) {
      if (folderDisplay_ || store_.FilterActive()) {
        const int64_t row = store_.FindVisibleRow(uint32_t(record), size_t(top), size_t(bottom));
        if (row >= 0) RepaintRow(row);
      } else if (record >= top && record <= bottom) {
        RepaintRow(record);
      }
    }
  }
  return (statusBits & 0x0700) != 0 ? 1 : 0;
}

void CMyListCtrl::RedrawRows(int) { viewport()->update(); }
