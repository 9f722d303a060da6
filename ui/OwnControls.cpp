#include "ui/OwnControls.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "foundation/AppState.h"
#include "resources/Skins.h"
#include "ui/OwnButtons.h"

namespace {

QFont MakeFont(const QString& face, int tenths, bool bold) {
  QFont f;
  f.setFamilies({face, QStringLiteral("DejaVu Sans")});
  f.setPointSizeF(tenths / 10.0);
  f.setBold(bold);
  return f;
}

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }

}  // namespace

// ---- group box ----

CMyGroupBoxCtrl::CMyGroupBoxCtrl(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

void CMyGroupBoxCtrl::SetFontInfo(int tenths, Rgb colour, const QString& face) {
  tenths_ = tenths;
  colour_ = colour;
  face_ = face;
  update();
}

QFont CMyGroupBoxCtrl::Font() const { return MakeFont(face_, tenths_, true); }

void CMyGroupBoxCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QFont f = Font();
  const QFontMetrics fm(f);
  const QString caption = title();
  const int ch = fm.height();
  const QRectF frame = QRectF(rect()).adjusted(0.5, ch / 2 + 0.5, -0.5, -0.5);
  lastDrewCaption_ = !caption.isEmpty();
  p.save();
  if (lastDrewCaption_) {
    // The frame stops where the caption's strip begins.
    const int cw = fm.horizontalAdvance(QString(caption).remove(QLatin1Char('&')));
    QRegion clip(rect());
    clip -= QRegion(10, 0, cw + 6, ch);
    p.setClipRegion(clip);
  }
  p.setPen(QPen(ToQColor(kGroupFrameColour), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(frame, 5, 5);
  p.restore();
  if (lastDrewCaption_) {
    lastCaption_ = GroupCaptionColour(colour_, isEnabled());
    p.setFont(f);
    p.setPen(ToQColor(lastCaption_));
    p.drawText(QRect(13, 0, width() - 13, ch), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic,
               caption);
  }
}

// ---- static ----

CMyStatic::CMyStatic(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void CMyStatic::SetFontInfo(int tenths, Rgb colour, const QString& face, bool bold) {
  tenths_ = tenths;
  colour_ = colour;
  face_ = face;
  bold_ = bold;
  update();
}

bool CMyStatic::SetEnabledLook(bool on) {
  const bool was = enabledLook_;
  enabledLook_ = on;
  repaint();
  return was;
}

QFont CMyStatic::Font() const { return MakeFont(face_, tenths_, bold_); }

QSize CMyStatic::sizeHint() const {
  const QFontMetrics fm(Font());
  return QSize(fm.horizontalAdvance(QString(text()).remove(QLatin1Char('&'))) + 2, fm.height() + 2);
}

void CMyStatic::paintEvent(QPaintEvent*) {
  QPainter p(this);
  lastText_ = StaticTextColour(colour_, enabledLook_);
  p.setFont(Font());
  p.setPen(ToQColor(lastText_));
  Qt::Alignment h = Qt::AlignLeft;
  if (alignment() & Qt::AlignHCenter) h = Qt::AlignHCenter;
  if (alignment() & Qt::AlignRight) h = Qt::AlignRight;
  int flags = int(h) | Qt::AlignVCenter | Qt::TextSingleLine;
  flags |= buddy() ? Qt::TextShowMnemonic : Qt::TextHideMnemonic;
  p.drawText(rect(), flags, text());
}

// ---- read-only edit ----

CMyROEdit::CMyROEdit(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);
  SetWhite(true);
}

void CMyROEdit::SetWhite(bool white) {
  QPalette pal = palette();
  pal.setColor(QPalette::Base, white ? QColor(Qt::white) : pal.color(QPalette::Button));
  pal.setColor(QPalette::Text, Qt::black);
  setPalette(pal);
}

void CMyROEdit::keyPressEvent(QKeyEvent* e) {
  const int k = e->key();
  if ((k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape) && parentWidget()) {
    // The page's dialog acts on them (its default button, or closing).
    QCoreApplication::postEvent(parentWidget(), new QKeyEvent(QEvent::KeyPress, k, e->modifiers(), e->text()));
    return;
  }
  QLineEdit::keyPressEvent(e);
}

// ---- white page ----

CMyPP::CMyPP(QWidget* parent) : QWizardPage(parent) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
}

// ---- banner ----

CDlgHeaderCtrl::CDlgHeaderCtrl(QWidget* parent) : QWidget(parent) {}

void CDlgHeaderCtrl::LayOut() {
  if (laidOut_) return;
  laidOut_ = true;
  const int bitmap = 48;
  const int s = int(bitmap * Scale());
  const int w = parentWidget() ? parentWidget()->width() : width();
  setGeometry(0, 0, w, s + 5);
  line_ = new QWidget(this);
  line_->setObjectName(QStringLiteral("ctl108"));
  line_->setGeometry(0, s + 3, w + 3, 2);
  line_->setAutoFillBackground(false);
  line_->setStyleSheet(QStringLiteral("background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #a0a0a0, stop:0.5 #a0a0a0, stop:0.51 #ffffff, stop:1 #ffffff);"));
  line_->show();
  textRight_ = w - bitmap - 2;
}

void CDlgHeaderCtrl::paintEvent(QPaintEvent*) {
  LayOut();
  QPainter p(this);
  const int s = height() - 5;
  p.fillRect(rect(), Qt::white);
  p.drawPixmap(QRect(width() - s - 2, 1, s, s), dvres::BannerPicture(s));
  QFont title = MakeFont(QStringLiteral("Tahoma"), 80, true);
  QFont sub = MakeFont(QStringLiteral("Tahoma"), 80, false);
  int y = 10;
  if (!title_.isEmpty()) {
    p.setFont(title);
    p.setPen(Qt::black);
    const QRect r(25, 10, textRight_ - 25, height() - 3 - 10);
    p.drawText(r, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title_);
    y = 10 + QFontMetrics(title).height() + 2;
  }
  if (!subtitle_.isEmpty()) {
    p.setFont(sub);
    p.setPen(Qt::black);
    p.drawText(QRect(35, y, textRight_ - 10 - 35, height() - y), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               subtitle_);
  }
}

// ---- splitter ----

CDlgSplitterCtrl::CDlgSplitterCtrl(bool vertical, const QRect& rect, QWidget* parent, int id)
    : QWidget(parent), vertical_(vertical) {
  setObjectName(QStringLiteral("ctl%1").arg(id));
  setGeometry(rect);
  setCursor(vertical ? Qt::SizeVerCursor : Qt::SizeHorCursor);
}

void CDlgSplitterCtrl::Report(const QPointF& local) {
  const QPoint inParent = parentWidget() ? mapToParent(local.toPoint()) : local.toPoint();
  emit splitterMoved(ClampSplitter(vertical_ ? inParent.y() : inParent.x(), lo_, hi_));
}

void CDlgSplitterCtrl::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  dragging_ = true;
  grabMouse();
}

void CDlgSplitterCtrl::mouseMoveEvent(QMouseEvent* e) {
  if (dragging_) Report(e->position());
}

void CDlgSplitterCtrl::mouseReleaseEvent(QMouseEvent* e) {
  if (!dragging_) return QWidget::mouseReleaseEvent(e);
  dragging_ = false;
  releaseMouse();
  Report(e->position());
}

void CDlgSplitterCtrl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Button));
}
