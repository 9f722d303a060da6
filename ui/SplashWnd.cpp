#include "ui/SplashWnd.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "platform/Format.h"
#include "resources/Skins.h"
#include "ui/QtPrompt.h"
#include "ui/core/AppRules.h"
#include "ui/core/ControlLook.h"

namespace {

bool g_enabled = false;
QPointer<CSplashWnd> g_current;

QFont Face(bool bold, int pixels, bool small) {
  const int lang = g_appState ? g_appState->language : 0;
  const bool shellDlg = lang == 2 || lang == 9;
  QFont f;
  f.setFamilies({shellDlg ? QStringLiteral("MS Shell Dlg") : small ? QStringLiteral("Tahoma") : QStringLiteral("Verdana"),
                 QStringLiteral("DejaVu Sans")});
  f.setPixelSize(pixels);
  f.setBold(bold || (shellDlg && pixels == 18));
  f.setStyleStrategy(QFont::PreferAntialias);
  return f;
}

}  // namespace

void CSplashWnd::EnableSplash(bool enable) { g_enabled = enable; }
CSplashWnd* CSplashWnd::Current() { return g_current.data(); }

void CSplashWnd::ShowSplash(QWidget* parent, int milliseconds) {
  if (!g_enabled || g_current) return;
  auto* splash = new CSplashWnd(parent);
  g_current = splash;
  // Centred over the main window (a request: a compositor may place it).
  QRect area = parent ? parent->frameGeometry() : QRect();
  if (area.isEmpty()) {
    QScreen* s = QGuiApplication::primaryScreen();
    if (s) area = s->availableGeometry();
  }
  QRect r(0, 0, kSplashWidth, kSplashHeight);
  r.moveCenter(area.center());
  splash->move(r.topLeft());
  splash->show();
  splash->repaint();
  QTimer::singleShot(milliseconds > 0 ? milliseconds : kSplashMilliseconds, splash, [] { Hide(); });
}

void CSplashWnd::Hide() {
  CSplashWnd* s = g_current.data();
  if (!s) return;
  QPointer<QWidget> owner = s->owner_;
  g_current = nullptr;
  s->hide();
  s->deleteLater();
  // The main window repaints at once where the splash was.
  if (owner) owner->repaint();
}

CSplashWnd::CSplashWnd(QWidget* parent) : QSplashScreen(dvres::SplashPicture()), owner_(parent) {
  setObjectName(QStringLiteral("CSplashWnd"));
  setCursor(Qt::ArrowCursor);
  setFixedSize(kSplashWidth, kSplashHeight);
}

CSplashWnd::~CSplashWnd() {
  if (g_current == this) g_current = nullptr;
}

void CSplashWnd::drawContents(QPainter* p) {
  p->setRenderHint(QPainter::TextAntialiasing);
  // Product line.
  const QString product = ToQ(Msg(194));
  p->setFont(Face(false, 18, false));
  QFontMetrics fm = p->fontMetrics();
  PixRect r = SplashProductRect(fm.horizontalAdvance(product), fm.height());
  p->setPen(Qt::white);
  p->drawText(QRect(QPoint(r.left, r.top), QPoint(r.right, r.bottom)), Qt::AlignLeft | Qt::TextSingleLine, product);
  // Version.
  const WString version = FormatW(u"%s %s.%s", Msg(437), kVersionMajor, kVersionMinor);
  p->setFont(Face(true, 23, false));
  p->setPen(QColor(6, 95, 154));
  p->drawText(QPoint(200, 168 + p->fontMetrics().ascent()), ToQ(version));
  // Notice.
  const QString notice = ToQ(Msg(396));
  if (!notice.isEmpty()) {
    p->setFont(Face(false, 11, true));
    fm = p->fontMetrics();
    r = SplashNoticeRect(fm.horizontalAdvance(notice), fm.height());
    p->setPen(Qt::black);
    p->drawText(QRect(QPoint(r.left, r.top), QPoint(r.right, r.bottom)), Qt::AlignHCenter | Qt::TextWordWrap, notice);
  }
}

bool CSplashWnd::event(QEvent* e) {
  switch (e->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::NonClientAreaMouseButtonPress:
      // Taken here: the press goes no further.
      Hide();
      e->accept();
      return true;
    default:
      return QSplashScreen::event(e);
  }
}

void CSplashWnd::mousePressEvent(QMouseEvent* e) {
  Hide();
  e->accept();
}
