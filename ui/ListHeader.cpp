#include "ui/ListHeader.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>

#include "foundation/AppState.h"
#include "ui/core/Activity.h"
#include "ui/core/ListText.h"

namespace {

// Filter icons: 0 column hovered, 1 pointer on the icon, 2 column filtered.
QPixmap FilterIcon(int kind) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath funnel;
  funnel.moveTo(2, 3);
  funnel.lineTo(14, 3);
  funnel.lineTo(9.5, 8.5);
  funnel.lineTo(9.5, 13.5);
  funnel.lineTo(6.5, 12);
  funnel.lineTo(6.5, 8.5);
  funnel.closeSubpath();
  const QColor edge = kind == 0 ? QColor(0x70, 0x70, 0x70) : QColor(0x1f, 0x4e, 0x8c);
  p.setPen(QPen(edge, 1));
  p.setBrush(kind == 0 ? QColor(Qt::transparent) : kind == 1 ? QColor(0xa8, 0xc8, 0xf0) : QColor(0x29, 0x6e, 0xd0));
  p.drawPath(funnel);
  return pm;
}

// Sort arrows, 11x6: even images point down (descending), odd up.
QPixmap SortArrow(int image) {
  QPixmap pm(11, 6);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x60, 0x60, 0x60));
  QPolygonF tri;
  if (image & 1) tri << QPointF(0.5, 5.5) << QPointF(10.5, 5.5) << QPointF(5.5, 0.5);
  else tri << QPointF(0.5, 0.5) << QPointF(10.5, 0.5) << QPointF(5.5, 5.5);
  p.drawPolygon(tri);
  return pm;
}

constexpr int kCursorQuarter = 32 / 4;  // a quarter of the system cursor's width
constexpr int kCheckBoxSize = 13;

}  // namespace

CMBLstHdrCtrl::CMBLstHdrCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  for (int i = 0; i < 6; ++i) arrows_[size_t(i)] = SortArrow(i);
  setMouseTracking(true);
  setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CMBLstHdrCtrl::SetSortArrow(int column, bool ascending) {
  sortColumn_ = column;
  ascending_ = ascending;
  viewport()->update();
}

void CMBLstHdrCtrl::ClearSortArrow() {
  sortColumn_ = -1;
  viewport()->update();
}

void CMBLstHdrCtrl::SetFilterMark(int column, bool on) {
  if (column < 0 || column >= 7) return;
  filterMarks_[size_t(column)] = on;
  viewport()->update();
}

bool CMBLstHdrCtrl::FilterMark(int column) const { return column >= 0 && column < 7 && filterMarks_[size_t(column)]; }

void CMBLstHdrCtrl::LoadFilterIcons() {
  for (int i = 0; i < 3; ++i) icons_[size_t(i)] = FilterIcon(i);
  iconsLoaded_ = true;
  viewport()->update();
}

void CMBLstHdrCtrl::SetHasFiles(bool hasFiles) {
  if (hasFiles_ == hasFiles) return;
  hasFiles_ = hasFiles;
  viewport()->update();
}

void CMBLstHdrCtrl::SetMouseDisabled(bool disabled) { mouseDisabled_ = disabled; }

void CMBLstHdrCtrl::SetIllustration(bool on) {
  illustration_ = on;
  viewport()->update();
}

void CMBLstHdrCtrl::SetCheckBoxState(int state) {
  if (checkState_ == state) return;
  checkState_ = state;
  viewport()->update();
}

int CMBLstHdrCtrl::LastFilterIcon(int column) const {
  return column >= 0 && column < 7 ? lastIcon_[size_t(column)] : -1;
}

void CMBLstHdrCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  if (!rect.isValid()) return;
  painter->save();
  const bool pressed = (QApplication::mouseButtons() & Qt::LeftButton) && hover_ && pointerColumn_ == logicalIndex &&
                       !overFilterIcon_;
  const bool hot = hover_ && pointerColumn_ == logicalIndex;

  // 1. Background.
  QStyleOptionHeader opt;
  initStyleOption(&opt);
  opt.rect = rect;
  opt.section = logicalIndex;
  opt.state |= QStyle::State_Enabled;
  if (pressed) opt.state |= QStyle::State_Sunken;
  if (hot) opt.state |= QStyle::State_MouseOver;
  opt.sortIndicator = QStyleOptionHeader::None;
  opt.text.clear();
  style()->drawControl(QStyle::CE_HeaderSection, &opt, painter, this);

  // 2. Filter icon.
  int icon = -1;
  const int column = logicalIndex;
  const bool idle = (activity_ ? activity_() : g_activityCode.load()) == kActivityIdle;
  if (iconsLoaded_ && (hasFiles_ || illustration_) && column < 7) {
    if (filterMarks_[size_t(column)]) icon = 2;
    else if (illustration_) icon = overFilterIcon_ ? 1 : 0;
    else if (hover_ && pointerColumn_ == column) icon = overFilterIcon_ ? 1 : 0;
    if (!(idle || (illustration_ && column == 0))) icon = -1;
  }
  if (column < 7) lastIcon_[size_t(column)] = icon;
  if (icon >= 0) painter->drawPixmap(rect.right() + 1 - 22, rect.top() + (rect.height() - 16) / 2, icons_[size_t(icon)]);

  // The check box of the first column, while the list has files.
  int textLeft = rect.left() + 5;
  if (logicalIndex == 0 && hasFiles_) {
    QStyleOptionButton box;
    box.rect = QRect(rect.left() + 4, rect.top() + (rect.height() - kCheckBoxSize) / 2, kCheckBoxSize, kCheckBoxSize);
    box.state = QStyle::State_Enabled | (checkState_ == 2 ? QStyle::State_On : QStyle::State_Off);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, this);
    textLeft = box.rect.right() + 5;
  }

  // 3. Text.
  const QString text = model() ? model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString() : QString();
  QRect textRect(textLeft, rect.top(), rect.right() - textLeft - (icon >= 0 ? 22 : 0), rect.height());
  if (pressed) textRect.translate(1, 2);
  Qt::Alignment align = Qt::AlignLeft;
  if (model()) {
    const QVariant a = model()->headerData(logicalIndex, Qt::Horizontal, Qt::TextAlignmentRole);
    if (a.isValid()) align = Qt::Alignment(a.toInt()) & Qt::AlignHorizontal_Mask;
  }
  painter->setPen(palette().color(QPalette::ButtonText));
  painter->drawText(textRect, int(align | Qt::AlignVCenter | Qt::TextSingleLine),
                    painter->fontMetrics().elidedText(text, Qt::ElideRight, std::max(textRect.width(), 0)));

  // 4. Sort arrow.
  if (logicalIndex == sortColumn_) {
    const double scale = g_appState ? g_appState->displayScale : 1.0;
    const int image = SortArrowImage(scale, ascending_);
    const int shift = image >= 4 ? 5 : image >= 2 ? 4 : 3;
    painter->drawPixmap(rect.left() + (rect.width() - 11) / 2 - shift, rect.top() + 2, arrows_[size_t(image)]);
    lastArrowImage_ = image;
  }
  painter->restore();
}

void CMBLstHdrCtrl::TrackPointer(int x) {
  overFilterIcon_ = false;
  pointerColumn_ = -1;
  const int n = std::min(count(), 7);
  for (int v = 0; v < n; ++v) {
    const int logical = logicalIndex(v);
    const int left = sectionViewportPosition(logical);
    const int right = left + sectionSize(logical);
    const int iconRight = right - kCursorQuarter, iconLeft = iconRight - 16;
    if (x >= iconLeft && x < iconRight) {
      overFilterIcon_ = true;
      pointerColumn_ = logical;
      return;
    }
    if (x >= left && x < right) {
      pointerColumn_ = logical;
      return;
    }
  }
}

bool CMBLstHdrCtrl::InCheckBox(const QPoint& pos) const {
  if (!hasFiles_ || count() == 0) return false;
  const int left = sectionViewportPosition(0);
  return pos.x() >= left + 2 && pos.x() <= left + 4 + kCheckBoxSize + 2;
}

void CMBLstHdrCtrl::mouseMoveEvent(QMouseEvent* event) {
  if (mouseDisabled_) {
    event->accept();
    return;
  }
  const QPoint pos = event->position().toPoint();
  if (pos.x() != lastX_) TrackPointer(pos.x());
  lastX_ = pos.x();
  lastY_ = pos.y();
  hover_ = rect().contains(pos);
  viewport()->update();
  QHeaderView::mouseMoveEvent(event);
}

void CMBLstHdrCtrl::mousePressEvent(QMouseEvent* event) {
  if (mouseDisabled_) {
    event->accept();
    return;
  }
  const QPoint pos = event->position().toPoint();
  TrackPointer(pos.x());
  if (event->button() == Qt::LeftButton && InCheckBox(pos)) {
    checkState_ = checkState_ == 2 ? 1 : 2;
    viewport()->update();
    emit checkBoxToggled(checkState_ == 2);
    event->accept();
    return;
  }
  QHeaderView::mousePressEvent(event);
}

void CMBLstHdrCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (mouseDisabled_) {
    event->accept();
    return;
  }
  QHeaderView::mouseReleaseEvent(event);
}

void CMBLstHdrCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  if (mouseDisabled_) {
    event->accept();
    return;
  }
  QHeaderView::mouseDoubleClickEvent(event);
}

void CMBLstHdrCtrl::leaveEvent(QEvent* event) {
  hover_ = false;
  lastX_ = lastY_ = -1;
  viewport()->update();
  QHeaderView::leaveEvent(event);
}
