#include "ui/StatusDlg.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QMoveEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimerEvent>
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "engine/ProgressStats.h"
#include "engine/RecoveryLog.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "platform/Events.h"
#include "platform/Format.h"
#include "platform/Platform.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/AppRules.h"
#include "ui/WindowHelp.h"

namespace {

// Day of the month of the last date line written to the recovery log; 0
// when none since the results were last cleared.
int g_lastLogDay = 0;

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }

}  // namespace

void CStatusDlg::ForgetLogDate() { g_lastLogDay = 0; }

int CStatusDlg::DockGap(double scale, bool composition) {
  int g = composition ? 5 : 0;
  for (double step : {1.125, 1.375, 1.5})
    if (scale >= step) ++g;
  return g;
}

CStatusDlg::CStatusDlg(QWidget* frame) : QDialog(frame, Qt::Tool), frame_(frame) {
  setWindowTitle(ToQ(StripAccelerator(Msg(96))));
  AddHelpKey(this, u"html\\afxc6s2v.htm");
  setModal(false);
  auto label = [this](int id, const QString& text, QWidget* parent, Qt::Alignment align = Qt::AlignLeft) {
    auto* l = new QLabel(text, parent);
    l->setAlignment(align | Qt::AlignVCenter);
    controls_[id] = l;
    return l;
  };
  auto group = [this](int id, const QString& text) {
    auto* g = new QGroupBox(text, this);
    controls_[id] = g;
    return g;
  };
  // Texts from the message table where it has them, else the window's own.
  auto text = [](int id, const char* fallback) {
    const WString& m = Msg(id);
    return m.empty() ? QString::fromUtf8(fallback) : ToQ(m);
  };
  progressGroup_ = group(kProgressGroup, text(559, "Progress"));
  label(kLine1, QStringLiteral("Scanning..."), this);
  label(kLine2, QString(), this);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  bar_->setTextVisible(false);
  controls_[kBar] = bar_;
  label(kPercent, QStringLiteral("99%"), this, Qt::AlignRight);
  label(kRateLabel, text(606, "Rate:"), this);
  label(kRateValue, QString(), this);
  label(kRemainingLabel, text(227, "Estimated Remaining Time:"), this);
  label(kRemainingValue, QString(), this);
  scanGroup_ = group(kScanGroup, text(560, "Scan status"));
  label(kTotalLabel, text(570, "Total:"), this);
  label(kTotalValue, QString(), this);
  label(kDisplayedLabel, text(350, "Displayed:"), this);
  label(kDisplayedValue, QString(), this);
  label(kThirdLabel, text(563, "Selected:"), this);
  label(kThirdValue, QString(), this);
  recoveryGroup_ = group(kRecoveryGroup, text(594, "Recovery status"));
  label(kSavedLabel, text(231, "Saved:"), this);
  label(kSavedValue, QString(), this);
  label(kSkippedLabel, text(200, "Skipped:"), this);
  label(kSkippedValue, QString(), this);
  label(kFailedLabel, text(162, "Failed:"), this);
  label(kFailedValue, QString(), this);
  label(kLogCaption, text(597, "Log messages:"), this);
  log_ = new QPlainTextEdit(this);
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  controls_[kLog] = log_;
  const uint8_t lang = g_appState ? g_appState->language : 0;
  if (lang != 2 && lang != 9) {
    QFont mono(QStringLiteral("Courier New"), 10);
    mono.setStyleHint(QFont::Monospace);
    mono.setFamilies(
        {QStringLiteral("Courier New"), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("DejaVu Sans")});
    log_->setFont(mono);
  }
  for (int id : {kProgressGroup, kLine1, kLine2, kBar, kPercent, kRateLabel, kRateValue, kRemainingLabel,
                 kRemainingValue, kRecoveryGroup, kSavedLabel, kSavedValue, kSkippedLabel, kSkippedValue, kFailedLabel,
                 kFailedValue, kLogCaption, kLog})
    controls_[id]->hide();
  // Group boxes stay behind their contents.
  for (QGroupBox* g : {progressGroup_, scanGroup_, recoveryGroup_}) g->lower();
  resize(int(665 * Scale()), int(250 * Scale()));
  ResetForRun();
}

CStatusDlg::~CStatusDlg() = default;

QWidget* CStatusDlg::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QString CStatusDlg::ControlText(int id) const {
  QWidget* w = Control(id);
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* e = qobject_cast<QPlainTextEdit*>(w)) return e->toPlainText();
  if (auto* b = qobject_cast<QProgressBar*>(w)) return QString::number(b->value());
  return {};
}

static void SetText(QWidget* w, const QString& text) {
  if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
}

StatusReading CStatusDlg::Read() const {
  const CProgressAndStats& s = theProgressAndStats();
  StatusReading r;
  r.activity = activity_ ? activity_() : g_activityCode.load();
  r.paused = g_appState && g_appState->pauseRequested.load() != 0;
  r.rateFlag = s.rateShown.load();
  r.phase = s.phase.load();
  r.percent = s.percent.load();
  r.progressText = s.ProgressText();
  r.nowTicks = clock_ ? clock_() : SteadyNowNs();
  r.startTicks = s.startTicks.load();
  r.ticksPerSecond = kSteadyTicksPerSecond;
  r.pausedSeconds = s.pausedSeconds.load();
  r.bytesToScan = s.bytesToScan.load();
  r.bytesScanned = s.bytesScanned.load();
  r.checkedBytes = s.checkedBytes.load();
  r.savedBytes = s.savedBytes.load();
  r.total = s.totalItems.load();
  r.inProgress = s.inProgressItems.load();
  r.displayed = s.displayedItems.load();
  r.selected = s.selectedItems.load();
  r.saved = s.savedItems.load();
  r.failed = s.failedItems.load();
  r.skipped = s.skippedItems.load();
  return r;
}

void CStatusDlg::ShowProgress(bool on) {
  progressShown_ = on;
  theProgressAndStats().progressShown = on;
  for (int id : {kProgressGroup, kLine1, kLine2, kPercent, kBar}) controls_[id]->setVisible(on);
  const bool withRate = on && theProgressAndStats().rateShown.load();
  for (int id : {kRateLabel, kRateValue, kRemainingLabel, kRemainingValue}) controls_[id]->setVisible(withRate);
  rateShown_ = withRate;
  if (!on) {
    ClearProgress();
    rateShown_ = false;
  }
  if (on) UpdateProgress();
  Layout();
  update();
}

void CStatusDlg::ShowRate(bool on) {
  rateShown_ = on;
  for (int id : {kRateLabel, kRateValue, kRemainingLabel, kRemainingValue}) controls_[id]->setVisible(on);
  Layout();
  update();
}

void CStatusDlg::ShowLog(bool on) {
  logShown_ = on;
  log_->setVisible(on);
  controls_[kLogCaption]->setVisible(on);
  Layout();
  update();
}

void CStatusDlg::ClearProgress() {
  bar_->setValue(0);
  SetText(controls_[kLine1], QString());
  SetText(controls_[kLine2], QString());
  SetText(controls_[kPercent], QStringLiteral("0%"));
}

void CStatusDlg::ClearLog() {
  log_->clear();
  logLines_ = 0;
  linesAdded_ = 0;
  ShowLog(false);
}

void CStatusDlg::ResetForRun() {
  ClearProgress();
  ClearLog();
  lastRefresh_ = clock_ ? clock_() : SteadyNowNs();
}

void CStatusDlg::UpdateProgress() {
  if (!progressShown_ || !bar_) return;
  StatusReading r = Read();
  CProgressAndStats& s = theProgressAndStats();
  const int p = BarPercent(r);
  if (r.activity == kActivityRecovery) {
    s.percent = p;
    r.percent = p;
  }
  bar_->setValue(p);
  SetText(controls_[kPercent], ToQ(PercentText(r.percent)));
  const ProgressLines lines = SplitProgressLines(r);
  SetText(controls_[kLine1], ToQ(lines.line1));
  if (r.activity == kActivityRecovery) {
    SetText(controls_[kLine2], ToQ(lines.line2));
    if (!controls_[kLine2]->isVisible()) {
      controls_[kLine2]->show();
      Layout();
    }
  } else if (controls_[kLine2]->isVisible()) {
    controls_[kLine2]->hide();
    Layout();
  }
  if (!r.rateFlag) {
    if (rateShown_) ShowRate(false);
    return;
  }
  if (!rateShown_) ShowRate(true);
  const std::optional<RateTexts> texts = ComputeRateTexts(r);
  if (!texts) return;  // paused: the texts stay as they are
  SetText(controls_[kRateValue], ToQ(texts->rate));
  SetText(controls_[kRemainingValue], ToQ(texts->remaining));
}

void CStatusDlg::SyncRecoverySection() {
  const int phase = theProgressAndStats().phase.load();
  const bool want = phase == 3;
  if (recoveryGroup_->isVisible() != want) {
    for (int id : {kRecoveryGroup, kSavedLabel, kSkippedLabel, kFailedLabel, kSavedValue, kSkippedValue, kFailedValue})
      controls_[id]->setVisible(want);
    Layout();
  }
  const int label = ThirdCounterLabelId(phase);
  if (label != 0) SetText(controls_[kThirdLabel], ToQ(Msg(label)));
}

void CStatusDlg::UpdateCounters() {
  const StatusReading r = Read();
  if (isVisible() && r.phase != lastPhase_) {
    lastPhase_ = r.phase;
    SyncRecoverySection();
  }
  const CounterTexts c = ComputeCounterTexts(r);
  SetText(controls_[kTotalValue], ToQ(c.total));
  SetText(controls_[kDisplayedValue], ToQ(c.displayed));
  SetText(controls_[kThirdValue], ToQ(c.third));
  SetText(controls_[kSavedValue], ToQ(c.saved));
  SetText(controls_[kFailedValue], ToQ(c.failed));
  SetText(controls_[kSkippedValue], ToQ(c.skipped));
}

void CStatusDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timerId_) {
    QDialog::timerEvent(event);
    return;
  }
  lastRefresh_ = clock_ ? clock_() : SteadyNowNs();
  UpdateProgress();
  UpdateCounters();
}

void CStatusDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FitFrame();
  UpdateProgress();
  UpdateCounters();
  if (!timerId_) timerId_ = startTimer(1000);
  if (redock_) {
    if (docked_) FollowFrame();
    redock_ = false;
  }
}

void CStatusDlg::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  FitFrame();
  if (timerId_) {
    killTimer(timerId_);
    timerId_ = 0;
  }
  SyncRecoverySection();
  if (docked_) redock_ = true;
}

void CStatusDlg::reject() { hide(); }

void CStatusDlg::FitFrame() {
  QWidget* column = parentWidget();
  if (isWindow() || !column || !frame_ || !frame_->isWindow()) return;
  if (frame_->isMaximized() || frame_->isFullScreen() || frame_->isMinimized()) return;
  const int needed = (roomAbove_ ? roomAbove_() : 0) + (isVisibleTo(frame_) ? height() : 0);
  // Growing down only: a window manager moves a window up that would pass
  // the screen's bottom.
  int roomBelow = 0;
  if (const QScreen* screen = frame_->screen())
    roomBelow = screen->availableGeometry().bottom() - frame_->frameGeometry().bottom();
  // The growth is measured from the height the frame had before it, not
  // summed: the window system may report a size it no longer has.
  const int grownBy = baseHeight_ > 0 ? std::max(0, frame_->height() - baseHeight_) : 0;
  const int change = DockedPanelHeightChange(column->height(), needed, grownBy, roomBelow);
  if (change == 0) return;
  if (change > 0 && grownBy == 0) baseHeight_ = frame_->height();
  const int h = std::max(frame_->height() + change, frame_->minimumHeight());
  if (h <= baseHeight_) baseHeight_ = 0;
  if (h != frame_->height()) frame_->resize(frame_->width(), h);
}

void CStatusDlg::FollowFrame() {
  // Inside the frame's own layout it follows by itself.
  if (!frame_ || !docked_ || !isWindow()) return;
  const QRect f = frame_->frameGeometry();
  const int g = DockGap(Scale(), g_appState && g_appState->compositionEnabled);
  const QScreen* screen = frame_->screen();
  const QRect work = screen ? screen->availableGeometry() : QRect();
  const int h = frameGeometry().height();
  if (!work.isNull() && f.bottom() + g + h > work.bottom()) {
    docked_ = false;
    return;
  }
  placing_ = true;
  move(f.left() + g, f.bottom() + 1 + g);
  resize(f.width() - 2 * g - (frameGeometry().width() - width()), height());
  placing_ = false;
}

void CStatusDlg::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  // The user dragged it away from the frame: close to the dock position it
  // snaps back, farther it stays undocked.
  if (placing_ || !frame_ || !isWindow() || !isVisible() || !(QApplication::mouseButtons() & Qt::LeftButton)) return;
  const QRect f = frame_->frameGeometry();
  const int g = DockGap(Scale(), g_appState && g_appState->compositionEnabled);
  const QPoint dock(f.left() + g, f.bottom() + 1 + g);
  const QPoint at = frameGeometry().topLeft();
  if (std::abs(at.x() - dock.x()) <= 25 && std::abs(at.y() - dock.y()) <= 25) {
    docked_ = true;
    FollowFrame();
  } else {
    docked_ = false;
  }
}

void CStatusDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Layout();
}

void CStatusDlg::Measure() {
  const QFontMetrics fm(font());
  valueWidth_ = fm.horizontalAdvance(QStringLiteral("99,999,999 (1023.99 TB) "));
  lineHeight_ = fm.height() + 2;
  rateWidth_ = fm.horizontalAdvance(QStringLiteral("1023.99 KB/second (1023.99 MB in 9 hours 59 minutes) "));
  const int pairs[3][2] = {{kTotalLabel, kSavedLabel}, {kDisplayedLabel, kSkippedLabel}, {kThirdLabel, kFailedLabel}};
  for (int i = 0; i < 3; ++i) {
    int w = 0;
    for (int id : pairs[i]) w = std::max(w, fm.horizontalAdvance(static_cast<QLabel*>(controls_[id])->text()) + 4);
    if (i == 2) w = std::max(w, fm.horizontalAdvance(ToQ(Msg(120))) + 4);
    labelWidths_[i] = w;
  }
  measured_ = true;
}

void CStatusDlg::Layout() {
  if (!measured_) Measure();
  const double scale = Scale();
  const int u = int(8 * scale), m = u / 2, s = 3 * u / 2, h = lineHeight_;
  const int barH = std::max(h, int(15 * scale));
  const int width = this->width();
  const bool recovery = controls_[kLine2]->isVisible();
  int y = m;
  if (progressShown_) {
    const int k = rateShown_ ? 5 : 4, j = rateShown_ ? 3 : 2;
    const int gh = k * u / 2 + (recovery ? h : 0) + j * h + barH;
    progressGroup_->setGeometry(m, y, width - 2 * m, gh);
    int ly = y + h;
    controls_[kLine1]->setGeometry(2 * u, ly, width - 4 * u, h);
    ly += h;
    if (recovery) {
      controls_[kLine2]->setGeometry(2 * u, ly, width - 4 * u, h);
      ly += h;
    }
    ly += u / 2;
    const int percentW = QFontMetrics(font()).horizontalAdvance(QStringLiteral("100%")) + 4;
    bar_->setGeometry(2 * u, ly, width - 2 * u - 4 * u - percentW, barH);
    controls_[kPercent]->setGeometry(width - 4 * u - percentW + u, ly + (barH - h) / 2, percentW, h);
    ly += barH + u / 2;
    if (rateShown_) {
      int x = 2 * u;
      const int rl = QFontMetrics(font()).horizontalAdvance(static_cast<QLabel*>(controls_[kRateLabel])->text()) + 4;
      controls_[kRateLabel]->setGeometry(x, ly, rl, h);
      x += rl;
      controls_[kRateValue]->setGeometry(x, ly, rateWidth_, h);
      x += rateWidth_;
      const int tl = valueWidth_ * 3 / 4 + labelWidths_[2];
      controls_[kRemainingLabel]->setGeometry(x, ly, tl, h);
      x += tl;
      controls_[kRemainingValue]->setGeometry(x, ly, valueWidth_, h);
    }
    y += gh + m;
  }
  auto pairsRow = [&](QGroupBox* g, const int(&ids)[6], int top) {
    g->setGeometry(m, top, width - 2 * m, s + 2 * h);
    int x = 2 * u;
    const int ry = top + h + u / 2;
    for (int i = 0; i < 3; ++i) {
      controls_[ids[2 * i]]->setGeometry(x, ry, labelWidths_[i], h);
      x += labelWidths_[i];
      controls_[ids[2 * i + 1]]->setGeometry(x, ry, valueWidth_, h);
      x += valueWidth_ + u;
    }
    return top + s + 2 * h + m;
  };
  static const int kScanIds[6] = {kTotalLabel, kTotalValue, kDisplayedLabel, kDisplayedValue, kThirdLabel, kThirdValue};
  static const int kRecIds[6] = {kSavedLabel, kSavedValue, kSkippedLabel, kSkippedValue, kFailedLabel, kFailedValue};
  y = pairsRow(scanGroup_, kScanIds, y);
  if (recoveryGroup_->isVisible()) y = pairsRow(recoveryGroup_, kRecIds, y);
  if (logShown_) {
    controls_[kLogCaption]->setGeometry(m, y, width - 2 * m, h);
    y += h;
    const int lh = int(110 * scale);
    log_->setGeometry(m, y, width - 2 * m, lh);
    y += lh + m;
  }
  if (!isWindow()) {
    // Docked in the frame's layout: the layout gives the height asked for.
    if (minimumHeight() != y || maximumHeight() != y) {
      setFixedHeight(y);
      FitFrame();
    }
  } else if (height() != y) {
    setMinimumHeight(0);
    resize(width, y);
  }
}

void CStatusDlg::RemoveTopLines(int n) {
  if (n < logLines_) {
    QTextCursor c(log_->document());
    c.movePosition(QTextCursor::Start);
    c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, n);
    c.removeSelectedText();
    logLines_ -= n;
  } else {
    log_->clear();
    logLines_ = 0;
  }
}

void CStatusDlg::AddLogLine(WStringView text) {
  bool first = false;
  if (!logShown_) {
    ShowLog(true);
    first = true;
  }
  const WString line = TrimLogLine(text);
  LocalStamp now;
  if (localClock_) {
    now = localClock_();
  } else {
    const plat::LocalTime t = plat::Now();
    now = {t.year, t.month, t.day, t.hour, t.minute, t.second};
  }
  const WString time = LogTimeText(now.hour, now.minute, now.second);
  bool captionSet = false;
  const CProgressAndStats& stats = theProgressAndStats();
  const int activity = activity_ ? activity_() : g_activityCode.load();
  if (activity == kActivityRecovery && !stats.recoveryLogPath.empty()) {
    // Through the log the recovery opened and keeps open (never reopened by
    // its name, which a recovered item could by then have replaced by a
    // link); a failed write is kept and told at the end of the run.
    std::string text;
    if (first || now.day != g_lastLogDay) {
      text = ToUtf8(LogDateLine(now.year, now.month, now.day));
      g_lastLogDay = now.day;
    }
    if (first) {
      SetText(controls_[kLogCaption], ToQ(FormatW(Msg(600), stats.recoveryLogPath)));
      captionSet = true;
    }
    text += ToUtf8(time);
    text += "  ";
    text += ToUtf8(line);
    text += "\n";
    AppendRecoveryLogText(text);
  }
  if (first && !captionSet) SetText(controls_[kLogCaption], ToQ(Msg(597)));

  QScrollBar* bar = log_->verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  log_->setUpdatesEnabled(false);
  if (logLines_ >= kLogMaxLines) RemoveTopLines(1);
  log_->appendPlainText(ToQ(time) + QStringLiteral("  ") + ToQ(line));
  ++logLines_;
  if (atBottom) bar->setValue(bar->maximum());
  log_->setUpdatesEnabled(true);

  ++linesAdded_;
  const int64_t now64 = clock_ ? clock_() : SteadyNowNs();
  if (linesAdded_ == 2 || (linesAdded_ % 1000 == 0 && now64 - lastRefresh_ >= 6 * kSteadyTicksPerSecond)) {
    UpdateProgress();
    UpdateCounters();
    lastRefresh_ = now64;
  }
}
