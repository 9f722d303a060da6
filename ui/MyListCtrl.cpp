#include "ui/MyListCtrl.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyleOptionButton>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

#include "engine/ProgressStats.h"
#include "foundation/Messages.h"
#include "resources/Icons.h"
#include "ui/FileTypeIcons.h"
#include "ui/FolderTree.h"
#include "ui/ListHeader.h"
#include "ui/QtPrompt.h"
#include "ui/TitleTip.h"
#include "ui/core/Activity.h"
#include "ui/core/ListExport.h"
#include "ui/core/ListSort.h"

namespace {

constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
constexpr int kCheckBoxLeft = 4, kCheckBoxSize = 13, kIconLeft = 20, kTextLeft = 40;
// Rows a search or an export does between two turns of the event loop: a
// few tens of milliseconds at most.
constexpr int64_t kBulkSliceRows = 16384;

// The node's details, or null when the row has none or the source does not know it.
const ListNodeInfo* NodeOf(const ListNodeSource* nodes, int32_t nodeIndex, ListNodeInfo& info) {
  return nodeIndex != -1 && nodes && nodes->GetNode(nodeIndex, info) ? &info : nullptr;
}

// Lets timers, paints and queued calls run between slices of a long search
// or write; input waits, so the list cannot change meanwhile.
void KeepWindowAlive() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

}  // namespace

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
    const int fit = std::max(initialWidths_[size_t(column)], fm.horizontalAdvance(QString::fromLatin1(sample)) + pad);
    if (header_->sectionSize(column) < fit) header_->resizeSection(column, fit);
  }
  int others = 0;
  for (int c = 1; c < kListColumnCount; ++c) others += header_->sectionSize(c);
  header_->resizeSection(kColName, std::max(initialWidths_[0], viewport()->width() - others));
}

QColor CMyListCtrl::RowInk(int64_t row) const {
  const uint32_t e = EntryOfRow(row);
  ListNodeInfo info;
  const ListNodeInfo* node = e == kNoEntry || IsFolderEntry(e) ? nullptr : NodeOf(nodes_, store_.At(e).nodeIndex, info);
  return node && (node->flags & 0x0002) ? QColor(QRgb(kDeletedItemColour)) : QColor(Qt::black);
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

// ---- painting ----

void CMyListCtrl::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  const QRect area = event->rect();
  p.fillRect(area, Qt::white);
  const int64_t rows = RowCount();
  const int64_t top = TopRow();
  const bool enabled = isEnabled();
  const QPalette& pal = palette();
  const int height = viewport()->height();
  const QFontMetrics fm = fontMetrics();
  static const QPixmap fileIcon = dvres::Draw(dvres::Image::FileDoc, 16);
  static const QPixmap folderIcon = dvres::Draw(dvres::Image::Folder, 16);
  WString text;
  for (int64_t row = top; row < rows; ++row) {
    const int y = int((row - top) * rowHeight_);
    if (y >= height) break;
    if (y + rowHeight_ <= area.top() || y > area.bottom()) continue;
    const uint32_t e = EntryOfRow(row);
    if (e == kNoEntry) continue;
    const bool folderRow = IsFolderEntry(e);
    const uint32_t fr = e & ~kFolderRowBit;
    // One node fetch per painted row.
    ListNodeInfo info;
    const ListNodeInfo* node = folderRow ? nullptr : NodeOf(nodes_, store_.At(e).nodeIndex, info);
    const bool selected = selection_.IsSelected(row);
    const QColor band = QColor(QRgb(BandColour(size_t(row))));
    p.fillRect(QRect(0, y, viewport()->width(), rowHeight_), band);
    for (int c = 0; c < kListColumnCount; ++c) {
      const int left = ColumnLeft(c), width = header_->sectionSize(c);
      if (left + width < area.left() || left > area.right() || width <= 0) continue;
      const QRect cell(left, y, width, rowHeight_);
      int textLeft = left + 3;
      if (folderRow) {
        const bool volumeName = c == kColName && folders_->At(fr).level == 0;
        text = FolderCellText(c, *folders_, fr, volumeName ? VolumeLabelOfFolder(fr) : WString());
      } else {
        text = FileCellText(c, store_, e, node);
      }
      // Deleted items stand out; the Status column keeps their grade.
      QColor ink = !enabled                       ? pal.color(QPalette::Disabled, QPalette::Text)
                   : node && (node->flags & 0x0002) ? QColor(QRgb(kDeletedItemColour))
                                                    : QColor(Qt::black);
      if (c == kColName) {
        if (selected) {
          p.fillRect(QRect(left + kTextLeft - 2, y, std::max(0, width - kTextLeft + 2), rowHeight_),
                     pal.color(enabled ? QPalette::Active : QPalette::Disabled, QPalette::Highlight));
          ink = pal.color(QPalette::Active, QPalette::HighlightedText);
        }
        uint8_t state = folderRow ? folders_->At(fr).State() : store_.CheckState(e);
        QStyleOptionButton box;
        box.rect = QRect(left + kCheckBoxLeft, y + (rowHeight_ - kCheckBoxSize) / 2, kCheckBoxSize, kCheckBoxSize);
        box.state = (enabled ? QStyle::State_Enabled : QStyle::State_None) |
                    (state == kCheckOn ? QStyle::State_On : state == kCheckMixed ? QStyle::State_NoChange
                                                                                   : QStyle::State_Off);
        style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, &p, this);
        // A file row shows its type's icon (looked up once per extension).
        const QPixmap icon =
            folderRow ? folderIcon : IconForExtension(ToQ(LowerExtension(text))).pixmap(16, 16);
        p.drawPixmap(left + kIconLeft, y + (rowHeight_ - 16) / 2, icon.isNull() ? fileIcon : icon);
        textLeft = left + kTextLeft;
      }
      if (text.empty()) continue;
      const QRect textRect(textLeft, y, left + width - textLeft - 3, rowHeight_);
      if (textRect.width() <= 0) continue;
      p.setPen(ink);
      p.drawText(textRect, int(Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine),
                 fm.elidedText(ToQ(text), Qt::ElideRight, textRect.width()));
    }
    if (row == current_ && hasFocus()) {
      QStyleOptionFocusRect focus;
      focus.initFrom(this);
      focus.rect = QRect(ColumnLeft(0) + kTextLeft - 2, y, header_->sectionSize(0) - kTextLeft + 2, rowHeight_);
      style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
  }
}

// ---- filling ----

void CMyListCtrl::AppendFoundItems(std::vector<FoundItem>& items, FoundNodeStore* nodeStore, uint8_t language,
                                   const TypeLookup& lookup) {
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
    // A folder reads as one, whatever its name looks like.
    const bool folder = (item.flags2 & 0x0002) != 0;
    if (folder) typeKey_.assign(1, u'/');
    auto it = typeCache_.find(typeKey_);
    if (it == typeCache_.end())
      it = typeCache_
               .emplace(typeKey_, store_.Types().Intern(folder ? WString(kFolderTypeText)
                                                               : FoundItemTypeText(item.name, language, lookup)))
               .first;
    ListRecord r;
    r.flags = kNewFileRecordFlags;
    r.nodeIndex = item.nodeIndex;
    r.pathId = store_.Paths().Intern(path);
    r.typeId = it->second;
    store_.AppendRecord(r);
  }
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

// ---- selection ----

void CMyListCtrl::SelectRow(int64_t row, bool add) {
  if (row < 0 || row >= RowCount()) return;
  if (!add) selection_.Clear();
  selection_.Select(row, row);
  current_ = anchor_ = row;
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::SelectRange(int64_t first, int64_t last) {
  const int64_t rows = RowCount();
  if (rows == 0) return;
  selection_.Select(std::clamp<int64_t>(first, 0, rows - 1), std::clamp<int64_t>(last, 0, rows - 1));
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::ClearSelection() {
  selection_.Clear();
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::SetCurrentRow(int64_t row) {
  current_ = row >= 0 && row < RowCount() ? row : -1;
  viewport()->update();
}

void CMyListCtrl::OnSelectionChanged() {
  if (g_activityCode.load() != kActivityIdle) return;
  if (selection_.Count() == 1) emit singleRowSelected(int(selection_.First()));
  else emit singleRowSelected(-1);
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

// ---- checks ----

void CMyListCtrl::PublishTotals() {
  CProgressAndStats& stats = theProgressAndStats();
  stats.selectedItems = uint32_t(std::max<int64_t>(0, store_.CheckedFiles()));
  stats.checkedBytes = store_.CheckedBytes();
  const int64_t shown = store_.FilterActive() ? passCount_ : int64_t(store_.Count());
  stats.displayedItems = uint32_t(shown);
  header_->SetCheckBoxState(shown != 0 && store_.CheckedFiles() == shown ? kCheckOn : kCheckOff);
  emit checkedTotalsChanged(store_.CheckedFiles(), store_.CheckedBytes());
}

void CMyListCtrl::ApplyFolderState(int64_t row, uint8_t state) {
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry) return;
  if (IsFolderEntry(e)) {
    folders_->SetCheckState(e & ~kFolderRowBit, state, store_, nodes_);
  } else {
    store_.SetCheck(e, state, nodes_);
  }
}

void CMyListCtrl::AfterFileRowsChanged() {
  if (folderDisplay_ && folders_ && currentFolder_ < folders_->Count()) {
    folders_->RefreshUpwards(currentFolder_, store_);
    emit folderStatesChanged();
  }
}

void CMyListCtrl::CheckCurItems(bool check) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const uint8_t state = check ? kCheckOn : kCheckOff;
  for (const auto& [first, last] : selection_.Ranges())
    for (int64_t row = first; row <= last; ++row) ApplyFolderState(row, state);
  if (folderDisplay_) {
    AfterFileRowsChanged();
    store_.RecountTotals(nodes_);
  }
  viewport()->update();
  PublishTotals();
  QApplication::restoreOverrideCursor();
}

void CMyListCtrl::ToggleRow(int64_t row) {
  const uint32_t e = EntryOfRow(row);
  if (e == kNoEntry) return;
  if (IsFolderEntry(e)) {
    folders_->ToggleCheckState(e & ~kFolderRowBit, store_, nodes_);
    AfterFileRowsChanged();
  } else {
    store_.Toggle(e, nodes_);
    AfterFileRowsChanged();
  }
  RepaintRow(row);
  PublishTotals();
}

void CMyListCtrl::CheckAll(bool check) {
  if (store_.Count() == 0) return;
  if (folderDisplay_ && folders_) {
    if (currentFolder_ < folders_->Count()) {
      folders_->At(currentFolder_).SetState(kCheckUnknown);
      folders_->SetCheckState(currentFolder_, check ? kCheckOn : kCheckOff, store_, nodes_);
    }
    emit folderStatesChanged();
  } else {
    if (check) selection_.Select(0, RowCount() - 1);
    else selection_.Clear();
    store_.SetAll(check, nodes_, KeepWindowAlive);
    setFocus();
  }
  viewport()->update();
  PublishTotals();
  OnSelectionChanged();
}

void CMyListCtrl::InvertChecks(bool whole) {
  if (folderDisplay_ && folders_) {
    folders_->InvertFrom(whole ? kNoFolderRow : currentFolder_, store_, nodes_);
    store_.RecountTotals(nodes_);
    emit folderStatesChanged();
  } else {
    store_.InvertAll(nodes_, KeepWindowAlive);
  }
  viewport()->update();
  PublishTotals();
}

void CMyListCtrl::CheckAllFolders(bool check) {
  if (!folders_) return;
  folders_->CheckAllFolders(check, store_, nodes_);
  viewport()->update();
  emit folderStatesChanged();
  PublishTotals();
}

void CMyListCtrl::SetFolderCheckState(uint32_t folderRow, uint8_t state) {
  if (!folders_ || folderRow >= folders_->Count()) return;
  folders_->SetCheckState(folderRow, state, store_, nodes_);
  viewport()->update();
  emit folderStatesChanged();
  PublishTotals();
}

void CMyListCtrl::ToggleFolderCheck(uint32_t folderRow) {
  if (!folders_ || folderRow >= folders_->Count()) return;
  SetFolderCheckState(folderRow, folders_->At(folderRow).State() == kCheckOn ? kCheckOff : kCheckOn);
}

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
  folders_->Expand(folderRow, store_, rows);
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
  store_.RecountTotals(nodes_);
  treeReady_ = false;
  if (folderDisplay_) {
    BuildTree();
  } else {
    std::vector<uint32_t>().swap(store_.Displayed());
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
  if (full) {
    pass->mode = FilterPass::kFull;
  } else {
    pass->mode = folderDisplay_ ? FilterPass::kIncrementalFolder : FilterPass::kIncrementalFlat;
    pass->passBits = store_.PassBits();
    pass->passCount = passCount_;
    if (!folderDisplay_) pass->candidates = store_.Displayed();
  }
  if (full || folderDisplay_) {
    store_.Displayed().clear();
    RowsChanged();
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

// ---- input ----

bool CMyListCtrl::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Leave) tip_->Hide();
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString text = RowToolTip(RowAt(help->pos().y()));
    if (text.isEmpty()) QToolTip::hideText();
    else QToolTip::showText(help->globalPos(), text, viewport());
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void CMyListCtrl::contextMenuEvent(QContextMenuEvent* event) {
  // The view's filter on the list shows the context menu.
  event->ignore();
}

void CMyListCtrl::mousePressEvent(QMouseEvent* event) {
  tip_->Hide();
  setFocus();
  const QPoint pos = event->position().toPoint();
  const int64_t row = RowAt(pos.y());
  if (row < 0) {
    if (event->button() == Qt::LeftButton && !(event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)))
      ClearSelection();
    return;
  }
  const uint32_t e = EntryOfRow(row);
  if (event->button() == Qt::LeftButton && !recoveryRunning_ && g_activityCode.load() != kActivityRecovery) {
    const int x = pos.x() - ColumnLeft(kColName);
    if (folderDisplay_ && IsFolderEntry(e) && folders_->At(e & ~kFolderRowBit).totalSize == kFolderSizeUnknown) {
      folders_->ComputeFolderSize(e & ~kFolderRowBit, store_, nodes_);
      RepaintRow(row);
    }
    if (InCheckBand(x, folderDisplay_, themed_)) {
      if (selection_.IsSelected(row)) {
        if (folderDisplay_) {
          const bool on = IsFolderEntry(e) ? folders_->At(e & ~kFolderRowBit).State() == kCheckOn
                                           : store_.CheckState(e) == kCheckOn;
          CheckCurItems(!on);
        } else {
          CheckCurItems(store_.CheckState(e) == kCheckOff);
        }
      } else {
        ToggleRow(row);
      }
      event->accept();
      return;
    }
  }
  if (event->button() == Qt::RightButton) {
    if (!selection_.IsSelected(row)) SelectRow(row);
    current_ = row;
    viewport()->update();
    return;
  }
  if (event->modifiers() & Qt::ControlModifier) {
    selection_.Toggle(row);
    current_ = anchor_ = row;
  } else if ((event->modifiers() & Qt::ShiftModifier) && anchor_ >= 0) {
    selection_.Clear();
    selection_.Select(anchor_, row);
    current_ = row;
  } else {
    selection_.SelectOnly(row);
    current_ = anchor_ = row;
  }
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const int64_t row = RowAt(pos.y());
  if (row < 0 || !folderDisplay_) return;
  if (InCheckBand(pos.x() - ColumnLeft(kColName), folderDisplay_, themed_)) return;
  const uint32_t e = EntryOfRow(row);
  if (e != kNoEntry && IsFolderEntry(e)) emit folderActivated(e & ~kFolderRowBit);
}

void CMyListCtrl::MoveCurrent(int64_t row, Qt::KeyboardModifiers modifiers) {
  const int64_t rows = RowCount();
  if (rows == 0) return;
  row = std::clamp<int64_t>(row, 0, rows - 1);
  if (modifiers & Qt::ShiftModifier) {
    if (anchor_ < 0) anchor_ = current_ >= 0 ? current_ : row;
    selection_.Clear();
    selection_.Select(anchor_, row);
  } else if (!(modifiers & Qt::ControlModifier)) {
    selection_.SelectOnly(row);
    anchor_ = row;
  }
  current_ = row;
  EnsureVisible(row);
  viewport()->update();
  OnSelectionChanged();
}

void CMyListCtrl::keyPressEvent(QKeyEvent* event) {
  tip_->Hide();
  const int64_t page = RowsPerPage();
  const int64_t cur = current_;
  switch (event->key()) {
    case Qt::Key_Up:
      store_.DropVisibleRowCache();
      MoveCurrent(cur < 0 ? 0 : cur - 1, event->modifiers());
      return;
    case Qt::Key_Down:
      store_.DropVisibleRowCache();
      MoveCurrent(cur + 1, event->modifiers());
      return;
    case Qt::Key_PageUp:
      store_.DropVisibleRowCache();
      MoveCurrent(cur - page, event->modifiers());
      return;
    case Qt::Key_PageDown:
      store_.DropVisibleRowCache();
      MoveCurrent(cur < 0 ? page - 1 : cur + page, event->modifiers());
      return;
    case Qt::Key_Home:
      store_.DropVisibleRowCache();
      MoveCurrent(0, event->modifiers());
      return;
    case Qt::Key_End:
      store_.DropVisibleRowCache();
      MoveCurrent(RowCount() - 1, event->modifiers());
      return;
    case Qt::Key_Left:
    case Qt::Key_Right:
      store_.DropVisibleRowCache();
      horizontalScrollBar()->triggerAction(event->key() == Qt::Key_Left ? QAbstractSlider::SliderSingleStepSub
                                                                         : QAbstractSlider::SliderSingleStepAdd);
      return;
    case Qt::Key_Space:
      if (!recoveryRunning_ && g_activityCode.load() != kActivityRecovery && cur >= 0 && cur < RowCount()) {
        if (!selection_.IsSelected(cur)) selection_.Select(cur, cur);
        const uint32_t e = EntryOfRow(cur);
        const bool on = IsFolderEntry(e) ? folders_->At(e & ~kFolderRowBit).State() == kCheckOn
                                         : store_.CheckState(e) == kCheckOn;
        CheckCurItems(!on);
      }
      event->accept();
      return;
    default:
      break;
  }
  const QString text = event->text();
  if (!text.isEmpty() && text.at(0).isPrint() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    // Type-ahead: keys in quick succession extend the text; a new text
    // starts after the focused row.
    const int interval = typeAheadInterval_ >= 0 ? typeAheadInterval_ : QApplication::keyboardInputInterval();
    const bool continued = typedAt_.isValid() && !typed_.empty() && typedAt_.elapsed() < interval;
    typed_ = continued ? typed_ + FromQ(text) : FromQ(text);
    typedAt_.start();
    const int64_t start = continued ? std::max<int64_t>(cur, 0) : cur + 1;
    const int64_t found = TypeAhead(start, typed_);
    // No match leaves the selection where it is.
    if (found >= 0) {
      int64_t first = -1, last = -1;
      VisibleRows(first, last);
      if (found < first || found > last) tip_->Hide();
      MoveCurrent(found, Qt::NoModifier);
    }
    event->accept();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void CMyListCtrl::wheelEvent(QWheelEvent* event) {
  store_.DropVisibleRowCache();
  tip_->Hide();
  QAbstractScrollArea::wheelEvent(event);
}

void CMyListCtrl::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() != Qt::NoButton) return;
  const QPoint pos = event->position().toPoint();
  if (tip_->IsShown()) {
    if (tip_->HitRect().contains(pos)) return;
    tip_->Hide();
  }
  const int64_t row = RowAt(pos.y());
  const int column = ColumnAtX(pos.x());
  if (row < 0 || column < 0) return;
  const QString text = ToQ(CellText(row, column));
  if (text.isEmpty()) return;
  const QRect cell = CellRect(row, column);
  if (column == kColName) {
    const int labelLeft = cell.left() + kTextLeft;
    const QRect labelRect(labelLeft, cell.top(), header_->sectionSize(column), cell.height());
    if (!labelRect.contains(pos)) return;
    tip_->Show(QRect(cell.left(), cell.top(), kTextLeft + cell.width(), cell.height()), text, kTextLeft, true);
  } else {
    tip_->Show(cell, text, 0, false);
  }
}
