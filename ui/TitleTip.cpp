#include "ui/TitleTip.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "ui/core/ListText.h"

CTitleTip::CTitleTip(QWidget* parent) : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::ToolTipBase));
  pal.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::ToolTipText));
  setPalette(pal);
}

bool CTitleTip::Create(QAbstractScrollArea* list) {
  list_ = list;
  setFont(list->font());
  margin_ = 2 * QFontMetrics(list->font()).horizontalAdvance(QLatin1Char(' '));
  return true;
}

void CTitleTip::Show(const QRect& cell, const QString& text, int offset, bool firstColumn) {
  if (!list_ || isVisible()) return;
  if (!QApplication::activeWindow() && !QApplication::focusWidget()) return;
  const QFontMetrics fm(list_->font());
  const TitleTipPlacement p =
      PlaceTitleTip(cell.left(), cell.right() + 1, offset, firstColumn, margin_, fm.horizontalAdvance(text));
  if (!p.show) return;
  text_ = text;
  hit_ = QRect(p.hitLeft, cell.top(), p.hitRight - p.hitLeft, cell.height());
  const QPoint global = list_->viewport()->mapToGlobal(QPoint(p.left, cell.top() + 1));
  setGeometry(global.x(), global.y(), p.width, cell.height());
  show();
  raise();
}

void CTitleTip::Hide() {
  if (isVisible()) hide();
}

void CTitleTip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRect(2, 0, width() - 2, height()), int(Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine), text_);
}

void CTitleTip::mouseMoveEvent(QMouseEvent* event) {
  if (!list_) return;
  const QPoint inList = list_->viewport()->mapFromGlobal(event->globalPosition().toPoint());
  if (!hit_.contains(inList)) {
    Hide();
    QMouseEvent moved(QEvent::MouseMove, QPointF(inList), event->globalPosition(), Qt::NoButton, event->buttons(),
                      event->modifiers());
    QApplication::sendEvent(list_->viewport(), &moved);
  }
}

void CTitleTip::mousePressEvent(QMouseEvent* event) {
  Hide();
  if (!list_) return;
  const QPoint inList = list_->viewport()->mapFromGlobal(event->globalPosition().toPoint());
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(inList), event->globalPosition(), event->button(),
                    event->buttons(), event->modifiers());
  QApplication::sendEvent(list_->viewport(), &press);
}

void CTitleTip::keyPressEvent(QKeyEvent* event) {
  Hide();
  if (list_)
    QApplication::postEvent(list_, new QKeyEvent(event->type(), event->key(), event->modifiers(), event->text()));
}
