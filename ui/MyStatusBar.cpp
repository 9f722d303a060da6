#include "ui/MyStatusBar.h"

#include <QLabel>
#include <QTimer>

#include "ui/QtPrompt.h"
#include "ui/core/ControlLook.h"

namespace {
// The remembered pane text, message 172 until another text was shown.
WString g_remembered;
}  // namespace

CMyStatusBar::CMyStatusBar(QWidget* parent) : QStatusBar(parent) {
  setObjectName(QStringLiteral("CMyStatusBar"));
  pane_ = new QLabel(this);
  pane_->setObjectName(QStringLiteral("promptPane"));
  pane_->setTextFormat(Qt::PlainText);
  addWidget(pane_, 0);
  // Texts shown the QStatusBar way land in the one pane.
  connect(this, &QStatusBar::messageChanged, this, [this](const QString& text) {
    if (routing_ || text.isEmpty()) return;
    routing_ = true;
    SetPaneText(0, text, true);
    routing_ = false;
    // The temporary message would cover the pane: it goes once shown.
    QMetaObject::invokeMethod(
        this, [this] { clearMessage(); }, Qt::QueuedConnection);
  });
  // Qt has no idle-update message: a light clock stands in for it, and acts
  // only when the F1 prompt covers the remembered text.
  auto* idle = new QTimer(this);
  idle->setObjectName(QStringLiteral("idleUpdate"));
  idle->setInterval(250);
  connect(idle, &QTimer::timeout, this, [this] {
    const WString pane = FromQ(pane_->text());
    const WString text = StatusIdleText(pane, g_remembered);
    if (text != pane) SetPaneText(0, ToQ(text), true);
  });
  idle->start();
}

void CMyStatusBar::SetFrameHooks(std::function<bool()> minimisedWithProgress, std::function<void()> refreshTitle) {
  minimisedWithProgress_ = std::move(minimisedWithProgress);
  refreshTitle_ = std::move(refreshTitle);
}

QString CMyStatusBar::PaneText() const { return pane_->text(); }

void CMyStatusBar::FitPaneToText(int index, const QString& text) {
  if (index < 0) return;
  const QFontMetrics fm(pane_->font());
  pane_->setFixedWidth(StatusPaneWidth(text.isEmpty(), fm.horizontalAdvance(text)));
}

bool CMyStatusBar::SetPaneText(int index, const QString& text, bool update) {
  if (index < 0) return false;
  FitPaneToText(index, text);
  if (minimisedWithProgress_ && refreshTitle_ && minimisedWithProgress_()) refreshTitle_();
  pane_->setText(text);
  if (update) pane_->repaint();
  return true;
}

void CMyStatusBar::OnIdleUpdate() {
  const WString text = StatusIdleText(FromQ(pane_->text()), g_remembered);
  SetPaneText(0, ToQ(text), true);
}
