// The list control as the user sees and handles it: painting, selection,
// check boxes, mouse and keys.

#include "ui/MyListCtrl.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QToolTip>
#include <algorithm>

#include "engine/ProgressStats.h"
#include "foundation/Messages.h"
#include "resources/Icons.h"
#include "ui/FileTypeIcons.h"
#include "ui/FolderTree.h"
#include "ui/ListHeader.h"
#include "ui/MyListCtrlParts.h"
#include "ui/QtPrompt.h"
#include "ui/TitleTip.h"
#include "ui/core/Activity.h"
#include "ui/core/ListSort.h"

using namespace listctrl;

// ---- painting ----

void CMyListCtrl::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  const QRect area = event->rect();
  const QPalette& pal = palette();
  const ListColours colours = ListColoursFor(pal.color(QPalette::Base).rgb(), pal.color(QPalette::Text).rgb());
  p.fillRect(area, QColor(QRgb(colours.even)));
  const int64_t rows = RowCount();
  const int64_t top = TopRow();
  const bool enabled = isEnabled();
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
    const QColor band = QColor(QRgb(colours.Band(size_t(row))));
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
      QColor ink = !enabled                         ? pal.color(QPalette::Disabled, QPalette::Text)
                   : node && (node->flags & 0x0002) ? QColor(QRgb(colours.deletedInk))
                                                    : QColor(QRgb(colours.ink));
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
        // A file row shows its type's icon (looked up once per extension);
        // a found folder shows a folder.
        const QPixmap icon = folderRow || (node && node->folder)
                                 ? folderIcon
                                 : IconForExtension(ToQ(LowerExtension(text))).pixmap(16, 16);
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

size_t CMyListCtrl::SpreadToFolderContents(const std::vector<uint32_t>& records, uint8_t state) {
  if (folderDisplay_ || !nodes_) return 0;
  std::vector<WString> folders;
  ListNodeInfo info;
  for (uint32_t e : records) {
    if (e >= store_.Count() || !nodes_->GetNode(store_.At(e).nodeIndex, info) || !info.folder) continue;
    folders.push_back(store_.Path(e) + u"\\" + WString(info.name));
  }
  return store_.SetCheckBelow(folders, state, nodes_);
}

void CMyListCtrl::CheckCurItems(bool check) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const uint8_t state = check ? kCheckOn : kCheckOff;
  std::vector<uint32_t> records;
  for (const auto& [first, last] : selection_.Ranges())
    for (int64_t row = first; row <= last; ++row) {
      ApplyFolderState(row, state);
      const uint32_t e = EntryOfRow(row);
      if (e != kNoEntry && !IsFolderEntry(e)) records.push_back(e);
    }
  SpreadToFolderContents(records, state);
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
    // A folder's files go with it, as the tree's check takes them.
    if (SpreadToFolderContents({e}, uint8_t(store_.CheckState(e))) > 0) viewport()->update();
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
