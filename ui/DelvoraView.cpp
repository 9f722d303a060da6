#include "ui/DelvoraView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <chrono>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoveryLog.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/Wildcard.h"
#include "platform/Events.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "ui/ChkCbBox.h"
#include "ui/Commands.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/ListHeader.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnButtons.h"
#include "ui/OwnControls.h"
#include "ui/PromptDialogs.h"
#include "ui/PropertyDlg.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/Viewing.h"
#include "ui/core/Activity.h"
#include "ui/core/CheckComboRules.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListText.h"
#include "ui/core/Properties.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }
int Language() { return g_appState ? g_appState->language : 0; }

QFont Tahoma(int points, bool bold) {
  QFont f;
  f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
  f.setPointSize(points);
  f.setBold(bold);
  return f;
}

void WhiteText(QWidget* w) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, Qt::white);
  p.setColor(QPalette::ButtonText, Qt::white);
  p.setColor(QPalette::Text, Qt::white);
  w->setPalette(p);
}

// A caption beside a white indicator: white and bold, while the indicator's
// mark, drawn in the Text colour, stays dark on it.
void IndicatorCaption(QWidget* w) {
  w->setFont(Tahoma(8, true));
  WhiteText(w);
  QPalette p = w->palette();
  p.setColor(QPalette::Text, Qt::black);
  w->setPalette(p);
}

}  // namespace

CDelvoraView::CDelvoraView(CMainFrame* frame) : QWidget(frame), frame_(frame) {
  setObjectName(QStringLiteral("CDelvoraView"));
  g_activityCode = kActivityIdle;
  g_busyCounter = 0;
  GlobalTextRef(kLookForText).clear();
  GlobalTextRef(kDestinationFolder).clear();
  layout_ = ScaledLayout(Language(), Scale());
  BuildControls();
  // The worker's counters move between its batches too: the panel reads
  // them on its own clock, this publishes them.
  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(500);
  connect(progressTimer_, &QTimer::timeout, this, [this] {
    PublishCounters(false);
    frame_->SetProgressShown(true, theProgressAndStats().percent.load());
  });
  if (g_appState) g_appState->view = this;
  qApp->installEventFilter(this);
}

CDelvoraView::~CDelvoraView() {
  OnDestroy();
  if (qApp) qApp->removeEventFilter(this);
}

void CDelvoraView::BuildControls() {
  BuildStepTabs();
  BuildSourcePanel();
  BuildModePanel();
  BuildActionButtons();
  BuildSaveToPanel();
  BuildResultPanel();
}

void CDelvoraView::RegisterControl(QWidget* w, int id) {
  w->setObjectName(QStringLiteral("ctl%1").arg(id));
  controls_[id] = w;
}

void CDelvoraView::BuildStepTabs() {
  tab1_ = new CTabBtnCtrl(this);
  tab2_ = new CTabBtnCtrl(this);
  tab1_->setText(MessageOr(143, u"Step &1: Scan"));
  tab2_->setText(MessageOr(444, u"Step &2: Save"));
  for (CTabBtnCtrl* t : {tab1_, tab2_}) {
    t->setFont(Tahoma(9, true));
    t->SetIcons(dvres::Icon(t == tab1_ ? dvres::Image::Scan : dvres::Image::Save), QIcon(), QIcon(), 16, 16);
  }
  RegisterControl(tab1_, kTab1);
  RegisterControl(tab2_, kTab2);
  connect(tab1_, &QPushButton::clicked, this, [this] {
    if (step_ == 1) SetStep(0);
    tab1_->setChecked(step_ == 0);
  });
  connect(tab2_, &QPushButton::clicked, this, [this] {
    if (step_ == 0 && ListRows() > 0) SetStep(1);
    tab2_->setChecked(step_ == 1);
  });
}

// The three captions are made first, Save to's too: the children keep the
// order they were made in.
void CDelvoraView::BuildSourcePanel() {
  lookForLabel_ = new CMyStatic(MessageOr(87, u"Loo&k for:"), this);
  lookInLabel_ = new CMyStatic(MessageOr(123, u"&Look in:"), this);
  saveToLabel_ = new CMyStatic(MessageOr(73, u"Save &to"), this);
  for (CMyStatic* l : {lookForLabel_, lookInLabel_, saveToLabel_})
    l->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"));
  RegisterControl(lookForLabel_, kLookForLabel);
  RegisterControl(lookInLabel_, kLookInLabel);
  RegisterControl(saveToLabel_, kSaveToLabel);
  lookFor_ = new CMBChkCbBox(this);
  connect(
      lookFor_, &CMBChkCbBox::lookForChanged, this, [this] { OnLookForChanged(); }, Qt::QueuedConnection);
  lookIn_ = new CLookInCb(this);
  RegisterControl(lookFor_, kLookFor);
  RegisterControl(lookIn_, kLookIn);
  lookForLabel_->setBuddy(lookFor_);
  lookInLabel_->setBuddy(lookIn_);
  connect(lookIn_, qOverload<int>(&QComboBox::activated), this, [this](int) { OnLookInSelChange(); });
  for (QWidget* w : std::initializer_list<QWidget*>{lookForLabel_, lookInLabel_, saveToLabel_}) {
    w->setFont(Tahoma(8, false));
    WhiteText(w);
  }
}

void CDelvoraView::BuildModePanel() {
  modeGroup_ = new CMyGroupBoxCtrl(MessageOr(89, u"Mode"), this);
  modeGroup_->SetFontInfo(80, Rgb{0xFF, 0xAE, 0x29}, QStringLiteral("Tahoma"));  // 0x29AEFF as a COLORREF
  quick_ = new CMyRadioBtnCtrl(this);
  long_ = new CMyRadioBtnCtrl(this);
  quick_->setText(MessageOr(71, u"&Quick"));
  long_->setText(MessageOr(42, u"Lon&g"));
  RegisterControl(modeGroup_, kModeGroup);
  RegisterControl(quick_, kQuick);
  RegisterControl(long_, kLong);
  connect(quick_, &QRadioButton::clicked, this, [this] { OnScanModeChange(0); });
  connect(long_, &QRadioButton::clicked, this, [this] { OnScanModeChange(1); });
  for (auto* r : {quick_, long_}) {
    r->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
    IndicatorCaption(r);
  }
  modeGroup_->setFont(Tahoma(8, false));
  {
    QPalette p = modeGroup_->palette();
    p.setColor(QPalette::WindowText, QColor(0xFF, 0xAE, 0x29));  // 0x29AEFF as a COLORREF
    modeGroup_->setPalette(p);
  }
}

void CDelvoraView::BuildActionButtons() {
  scanButton_ = new CImgButton(this);
  saveButton_ = new CImgButton(this);
  for (CImgButton* b : {scanButton_, saveButton_}) {
    b->SetLayout(true, false);
    b->SetFontInfo(110, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
    b->SetHandCursor(true);
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setIconSize(QSize(int(32 * Scale()), int(32 * Scale())));
    b->setFont(Tahoma(11, true));
    b->setAutoRaise(true);
    b->setCursor(Qt::PointingHandCursor);
    WhiteText(b);
  }
  scanButton_->setIcon(dvres::Icon(dvres::Image::Scan));
  saveButton_->setIcon(dvres::Icon(dvres::Image::Save));
  RegisterControl(scanButton_, kScanButton);
  RegisterControl(saveButton_, kSaveButton);
  connect(scanButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kScan); });
  connect(saveButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kSave); });
}

void CDelvoraView::BuildSaveToPanel() {
  saveTo_ = new QComboBox(this);
  saveTo_->setEditable(true);
  useFolderNamesBox_ = new CMyCheckboxCtrl(this);
  useFolderNamesBox_->setText(ToQ(Msg(86)));
  browse_ = new CGlassBtnCtrl(this);
  browse_->SetIcons(dvres::Icon(dvres::Image::Browse), QIcon(), QIcon(), 16, 16);
  useFolderNamesBox_->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
  RegisterControl(saveTo_, kSaveTo);
  RegisterControl(useFolderNamesBox_, kUseFolderNames);
  RegisterControl(browse_, kBrowse);
  connect(browse_, &QPushButton::clicked, this, [this] { OnBrowse(); });
  saveToLabel_->setBuddy(saveTo_);
  connect(useFolderNamesBox_, &QCheckBox::toggled, this, [this](bool on) {
    useFolderNames_ = on;
    RefreshCommands();
  });
  IndicatorCaption(useFolderNamesBox_);
}

void CDelvoraView::BuildResultPanel() {
  list_ = new CMyListCtrl(this);
  list_->SetNodeSource(&nodes_);
  list_->SetVolumeLabels([](uint16_t volumeIndex) {
    // A volume index from a node is checked against the drive's table.
    if (!g_currentDrive || volumeIndex >= VolumeCount(*g_currentDrive)) return WString();
    CVol* v = VolumeAt(*g_currentDrive, volumeIndex);
    return v ? v->label : WString();
  });
  RegisterControl(list_, kList);
  // The folder tree is shown with the folder display.
  tree_ = new CMyTreeCtrl(list_, this);
  tree_->hide();
  RegisterControl(tree_, kTree);
  splitterBar_ = new CDlgSplitterCtrl(false, QRect(), this, kSplitter);
  connect(splitterBar_, &CDlgSplitterCtrl::splitterMoved, this, [this](int x) { OnSplitterMove(x); });
  splitterBar_->hide();
  RegisterControl(splitterBar_, kSplitter);
  list_->raise();
  connect(list_, &CMyListCtrl::singleRowSelected, this, [this](int row) {
    if (g_activityCode.load() == kActivityIdle) propertiesState_ = row >= 0 && list_->CanPreview(row) ? 1 : 0;
    RefreshCommands();
  });
  connect(list_, &CMyListCtrl::checkedTotalsChanged, this, [this](qint64, qint64) { RefreshCommands(); });
  connect(list_, &CMyListCtrl::sortFinished, this, [this](int code) { OnSortFinished(code); });
  connect(list_, &CMyListCtrl::folderRowsReady, this, [this](bool any) { OnFolderRowsReady(any); });
  connect(list_, &CMyListCtrl::filterFinished, this, [this] { OnFilterFinished(); });
  connect(list_, &CMyListCtrl::workerFailed, this, [this](int) {
    ApplyStepState();
    RefreshCommands();
    ShowMessage(kMbIconError, u"%s", u"Out of memory.");
    ShowMessage(kMbIconError, u"%s", Msg(11));
  });
  connect(list_, &CMyListCtrl::sortForgotten, this, [this] {
    (folderDisplay_ ? sortColumnFolder_ : sortColumnFlat_) = -1;
    (folderDisplay_ ? sortAscendingFolder_ : sortAscendingFlat_) = true;
    list_->Header()->ClearSortArrow();
  });
  connect(list_, &CMyListCtrl::folderActivated, this, [this](quint32 row) {
    // Backspace: the current folder closes and its parent is shown.
    const uint32_t current = tree_->CurrentFolder();
    if (list_->Folders() && current < list_->Folders()->Count() && list_->Folders()->Parent(current) == row)
      tree_->collapse(tree_->FolderModel()->IndexOfFolderRow(current));
    tree_->SelectFolder(row);
  });
  connect(tree_, &CMyTreeCtrl::folderChosen, this, [this](quint32 row) { OnFolderChosen(row); });
  connect(list_->Header(), &QHeaderView::sectionClicked, this, [this](int column) { OnColumnClick(column); });
  list_->installEventFilter(this);
  tree_->installEventFilter(this);
}

void CDelvoraView::OnInitialUpdate() {
  // Dialog texts from the table where it has them.
  scanButton_->setText(ToQ(Msg(91)));
  saveButton_->setText(ToQ(Msg(84)));
  browse_->setText(ToQ(Msg(3)));
  InitDriveList();
  // Columns, widths times the scale.
  std::array<QString, kListColumnCount> texts;
  std::array<int, kListColumnCount> widths{};
  const int baseWidths[kListColumnCount] = {230, 50, 90, 65, 48, 65, 80};
  // Sample texts the Size and Modified columns must show whole at the
  // list's font (the fixed widths assume a narrower face than DejaVu).
  const QFontMetrics fm(list_->font());
  const QString fits[kListColumnCount] = {
      {}, {}, {}, QStringLiteral("999.99 MB"), {}, QStringLiteral("2022/06/14 10:20:30"), {}};
  for (int c = 0; c < kListColumnCount; c++) {
    texts[size_t(c)] = ToQ((c == 0 ? WString(u"      ") : WString()) + Msg(kListColumnMessageIds[c]));
    widths[size_t(c)] = int(baseWidths[c] * Scale());
    if (!fits[c].isEmpty()) widths[size_t(c)] = std::max(widths[size_t(c)], fm.horizontalAdvance(fits[c]) + 16);
  }
  list_->SetColumns(texts, widths);
  statusDlg_ = frame_->StatusDialog();
  // Look for: "*" and the All Files row at the top, then the file types.
  lookFor_->ClearLines();
  lookFor_->AddLine(ToQ(Msg(127)), u"*");
  BuildLookForList();
  lookFor_->SetAll(true);
  list_->Header()->LoadFilterIcons();
  if (!findDlg_) {
    findDlg_ = new CFindDlg(this);
    findDlg_->SetView([this] { OnFindNext(); });
  }
  GlobalTextRef(kLookForText) = WString(u"*");
  scanModeRadio_ = 0;
  g_scanMode = 0;
  // The radios are separate children of the view, not of the group box:
  // they need their own exclusive group to show the one checked.
  quick_->setAutoExclusive(false);
  long_->setAutoExclusive(false);
  quick_->setChecked(true);
  long_->setChecked(false);
  useFolderNamesBox_->setChecked(true);
  lookIn_->setFocus();
  SetStep(0);
  DoLayout();
  RefreshCommands();
}

void CDelvoraView::SetSaveTo(const QString& text) { saveTo_->setEditText(text); }

QWidget* CDelvoraView::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

int64_t CDelvoraView::ListRows() const { return list_ ? list_->GetItemCount() : 0; }

int CDelvoraView::UsableMinimumHeight() const {
  return TopBandHeight(Scale()) + (list_ ? list_->UsableMinimumHeight() : 0);
}

// ---- layout ----

void CDelvoraView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  DoLayout();
}

void CDelvoraView::DoLayout() {
  ViewMetrics m;
  const QFontMetrics scanFm(scanButton_->font());
  const int captionW = std::max(scanFm.horizontalAdvance(ToQ(StripAccelerator(Msg(91)))),
                                scanFm.horizontalAdvance(ToQ(StripAccelerator(Msg(97)))));
  const int saveW = std::max(scanFm.horizontalAdvance(ToQ(StripAccelerator(Msg(84)))),
                             scanFm.horizontalAdvance(ToQ(StripAccelerator(Msg(97)))));
  m.scanButtonWidth = std::max(int(64 * Scale()), captionW + 20);
  m.saveButtonWidth = std::max(int(64 * Scale()), saveW + 20);
  m.scanButtonHeight = m.saveButtonHeight = int(32 * Scale()) + scanFm.height() + 12;
  m.browseButtonWidth = browse_->sizeHint().width();
  m.browseButtonHeight = browse_->sizeHint().height();
  m.comboHeight = lookIn_->sizeHint().height();
  m.radioHeight = quick_->sizeHint().height();
  m.splitter = splitter_;
  m.folderDisplay = folderDisplay_;
  const ViewGeometry g = ComputeViewGeometry(width(), height(), layout_, Scale(), m);
  auto place = [](QWidget* w, const Box& b) { w->setGeometry(b.x, b.y, b.w, b.h); };
  place(tab1_, g.tab1);
  place(tab2_, g.tab2);
  place(lookForLabel_, g.lookForLabel);
  place(lookFor_, g.lookForBox);
  place(lookInLabel_, g.lookInLabel);
  place(lookIn_, g.lookInBox);
  place(modeGroup_, g.modeGroup);
  place(quick_, g.quickRadio);
  place(long_, g.longRadio);
  place(scanButton_, g.scanButton);
  place(saveToLabel_, g.saveToLabel);
  place(saveTo_, g.saveToCombo);
  place(useFolderNamesBox_, g.useFolderNames);
  place(browse_, g.browseButton);
  place(saveButton_, g.saveButton);
  place(list_, g.list);
  if (folderDisplay_) {
    place(tree_, g.tree);
    place(splitterBar_, g.splitterBar);
    splitterBar_->SetRange(g.splitterMin, g.splitterMax);
  }
  modeGroup_->lower();
  update();
}

void CDelvoraView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int band = TopBandHeight(Scale());
  QLinearGradient grad(0, 0, 0, band);
  grad.setColorAt(0, dvres::BandTop());
  grad.setColorAt(1, dvres::BandBottom());
  p.fillRect(QRect(0, 0, width(), band), grad);
  p.setPen(dvres::Accent());
  p.drawLine(0, band - 1, width(), band - 1);
  p.setPen(QColor(255, 255, 255, 60));
  p.drawLine(0, 35, width(), 35);
}

// ---- step mode ----

void CDelvoraView::SetStep(int step) {
  step_ = step;
  ApplyStepState();
}

void CDelvoraView::ApplyStepState() {
  const int activity = g_activityCode.load();
  const StepButtons b = ComputeStepButtons(step_, activity, scanEnabled_, saveEnabled_);
  scanEnabled_ = b.scanEnabled;
  saveEnabled_ = b.saveEnabled;
  const bool scanShown = step_ == 0;
  for (QWidget* w : std::initializer_list<QWidget*>{lookForLabel_, lookInLabel_, lookFor_, lookIn_, modeGroup_, quick_,
                                                    long_, scanButton_}) {
    w->setVisible(scanShown);
    w->setEnabled(b.scanGroupEnabled);
  }
  scanButton_->setEnabled(b.scanEnabled);
  for (QWidget* w : std::initializer_list<QWidget*>{saveToLabel_, saveTo_, useFolderNamesBox_, browse_, saveButton_}) {
    w->setVisible(!scanShown);
    w->setEnabled(b.saveGroupEnabled);
  }
  saveButton_->setEnabled(b.saveEnabled);
  if (sourceFailed_ && activity == -1) {
    scanEnabled_ = false;
    scanButton_->setEnabled(false);
  }
  tab1_->setChecked(step_ == 0);
  tab2_->setChecked(step_ == 1);
  tab2_->setEnabled(step2Enabled_ || step_ == 1);
  const StepCaptions c = ComputeStepCaptions(b.saveGroupEnabled, Language());
  browse_->setText(ToQ(c.browse));
  if (activity != 1) saveButton_->setText(ToQ(c.save));
  if (activity != 0) scanButton_->setText(ToQ(c.scan));
  RefreshCommands();
}

void CDelvoraView::ClearResults() {
  list_->DeleteFileItems();
  list_->Header()->ClearSortArrow();
  nodes_.Clear();
  folderDisplay_ = false;
  tree_->hide();
  splitterBar_->hide();
  propertiesState_ = 0;
  frame_->SetFolderViewButton(false);
  sortColumnFlat_ = sortColumnFolder_ = -1;
  flatSortBeforeFolders_ = -1;
  sortAscendingFlat_ = sortAscendingFolder_ = true;
  if (step_ == 1) SetStep(0);
  step2Enabled_ = false;
  theProgressAndStats().Reset();
  if (statusDlg_) statusDlg_->ClearLog();
  CStatusDlg::ForgetLogDate();
  DoLayout();
  ApplyStepState();
}

void CDelvoraView::OnScanModeChange(int index) {
  const int old = scanModeRadio_;
  scanModeRadio_ = index;
  quick_->setChecked(index == 0);
  long_->setChecked(index == 1);
  if (index == old) return;
  if (ListRows() > 0 && sessionLoadState_ != 2) {
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335)) != kIdYes) {
      if (sessionLoadState_ == 1) {
        sessionLoadState_ = 2;
      } else {
        scanModeRadio_ = old;
        quick_->setChecked(old == 0);
        long_->setChecked(old == 1);
        return;
      }
    } else {
      ClearResults();
    }
  }
  g_scanMode = scanModeRadio_;
  if (g_currentDrive) DeleteVolumes(*g_currentDrive);
  delete g_engine;
  g_engine = nullptr;
}

// ---- shut-down ----

void CDelvoraView::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (g_trace && !theTrace().TraceFilePath().empty()) TracePrintfA("OnDestroy\n");
  // A worker still running is told to stop and waited for, with the event
  // loop turning so that its hand-overs and questions are answered.
  if (g_appState) g_appState->stopRequested = 1;
  if (g_engine) g_engine->abort = 1;
  if (g_eventPause) g_eventPause->Set();
  while (workerRunning_.load()) {
    if (g_eventHandover) g_eventHandover->Set();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (worker_.joinable()) worker_.join();
  statusDlg_ = nullptr;
  if (list_) list_->DeleteFileItems();
  nodes_.Clear();
  if (g_appState && g_appState->view == this) g_appState->view = nullptr;
  delete g_engine;
  g_engine = nullptr;
  DeleteDrive(&g_currentDrive);
  if (g_appState) g_appState->stopRequested = 0;
}

// ---- own controls ----

void CDelvoraView::OnSplitterMove(int x) {
  splitter_ = x;
  DoLayout();
  splitterBar_->update();
}

void CDelvoraView::OnLookForChanged() { GlobalTextRef(kLookForText) = lookFor_->Text(); }

void CDelvoraView::ShowViewingTips() {
  CViewing dlg(this, list_, this);
  RunDialog(dlg);
}

void CDelvoraView::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  if (viewingTipsPending_) {
    viewingTipsPending_ = false;
    ShowViewingTips();
  }
}
