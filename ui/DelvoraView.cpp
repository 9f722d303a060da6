#include "ui/DelvoraView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QThread>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "ui/Commands.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListText.h"
#include "ui/core/MenuModel.h"

namespace {

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }
int Language() { return g_appState ? g_appState->language : 0; }

// A dialog text: the message, else the form's own text.
QString FormText(int message, const char16_t* own) { return ToQ(Msg(message).empty() ? WString(own) : Msg(message)); }

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

}  // namespace

CDelvoraView::CDelvoraView(CMainFrame* frame) : QWidget(frame), frame_(frame) {
  setObjectName(QStringLiteral("CDelvoraView"));
  g_activityCode = kActivityIdle;
  g_busyCounter = 0;
  GlobalTextRef(kLookForText).clear();
  GlobalTextRef(kDestinationFolder).clear();
  layout_ = ScaledLayout(Language(), Scale());
  BuildControls();
  if (g_appState) g_appState->view = this;
  qApp->installEventFilter(this);
}

CDelvoraView::~CDelvoraView() {
  OnDestroy();
  if (qApp) qApp->removeEventFilter(this);
}

void CDelvoraView::BuildControls() {
  auto reg = [this](QWidget* w, int id) {
    w->setObjectName(QStringLiteral("ctl%1").arg(id));
    controls_[id] = w;
  };
  tab1_ = new QPushButton(FormText(143, u"Step &1: Scan"), this);
  tab2_ = new QPushButton(FormText(444, u"Step &2: Save"), this);
  for (QPushButton* t : {tab1_, tab2_}) {
    t->setCheckable(true);
    t->setFont(Tahoma(9, true));
    t->setIcon(dvres::Icon(t == tab1_ ? dvres::Image::Scan : dvres::Image::Save));
  }
  reg(tab1_, kTab1);
  reg(tab2_, kTab2);
  connect(tab1_, &QPushButton::clicked, this, [this] {
    if (step_ == 1) SetStep(0);
    tab1_->setChecked(step_ == 0);
  });
  connect(tab2_, &QPushButton::clicked, this, [this] {
    if (step_ == 0 && ListRows() > 0) SetStep(1);
    tab2_->setChecked(step_ == 1);
  });

  lookForLabel_ = new QLabel(FormText(87, u"Loo&k for:"), this);
  lookInLabel_ = new QLabel(FormText(123, u"&Look in:"), this);
  saveToLabel_ = new QLabel(FormText(73, u"Save &to"), this);
  reg(lookForLabel_, kLookForLabel);
  reg(lookInLabel_, kLookInLabel);
  reg(saveToLabel_, kSaveToLabel);
  lookFor_ = new QComboBox(this);
  lookFor_->setEditable(true);
  lookIn_ = new QComboBox(this);
  reg(lookFor_, kLookFor);
  reg(lookIn_, kLookIn);
  lookForLabel_->setBuddy(lookFor_);
  lookInLabel_->setBuddy(lookIn_);
  connect(lookIn_, qOverload<int>(&QComboBox::activated), this, [this](int index) {
    // The action row re-reads the machine's sources.
    const QVariant data = lookIn_->itemData(index);
    if (data.isValid() && data.toInt() == -2) {
      theDiskList().Refresh();
      InitDriveList();
      return;
    }
    RefreshCommands();
  });

  modeGroup_ = new QGroupBox(FormText(89, u"Mode"), this);
  quick_ = new QRadioButton(FormText(71, u"&Quick"), this);
  long_ = new QRadioButton(FormText(42, u"Lon&g"), this);
  reg(modeGroup_, kModeGroup);
  reg(quick_, kQuick);
  reg(long_, kLong);
  connect(quick_, &QRadioButton::clicked, this, [this] { OnScanModeChange(0); });
  connect(long_, &QRadioButton::clicked, this, [this] { OnScanModeChange(1); });

  scanButton_ = new QToolButton(this);
  saveButton_ = new QToolButton(this);
  for (QToolButton* b : {scanButton_, saveButton_}) {
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setIconSize(QSize(int(32 * Scale()), int(32 * Scale())));
    b->setFont(Tahoma(11, true));
    b->setAutoRaise(true);
    b->setCursor(Qt::PointingHandCursor);
    WhiteText(b);
  }
  scanButton_->setIcon(dvres::Icon(dvres::Image::Scan));
  saveButton_->setIcon(dvres::Icon(dvres::Image::Save));
  reg(scanButton_, kScanButton);
  reg(saveButton_, kSaveButton);
  connect(scanButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kScan); });
  connect(saveButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kSave); });

  saveTo_ = new QComboBox(this);
  saveTo_->setEditable(true);
  useFolderNamesBox_ = new QCheckBox(ToQ(Msg(86)), this);
  browse_ = new QPushButton(this);
  browse_->setIcon(dvres::Icon(dvres::Image::Browse));
  reg(saveTo_, kSaveTo);
  reg(useFolderNamesBox_, kUseFolderNames);
  reg(browse_, kBrowse);
  saveToLabel_->setBuddy(saveTo_);
  connect(useFolderNamesBox_, &QCheckBox::toggled, this, [this](bool on) {
    useFolderNames_ = on;
    RefreshCommands();
  });

  for (QWidget* w : std::initializer_list<QWidget*>{lookForLabel_, lookInLabel_, saveToLabel_}) {
    w->setFont(Tahoma(8, false));
    WhiteText(w);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{quick_, long_, useFolderNamesBox_}) {
    w->setFont(Tahoma(8, true));
    WhiteText(w);
  }
  modeGroup_->setFont(Tahoma(8, false));
  {
    QPalette p = modeGroup_->palette();
    p.setColor(QPalette::WindowText, QColor(0xFF, 0xAE, 0x29));  // 0x29AEFF as a COLORREF
    modeGroup_->setPalette(p);
  }

  // The folder tree arrives with folder display; until then a plain tree.
  tree_ = new QTreeWidget(this);
  tree_->setHeaderHidden(true);
  tree_->hide();
  reg(tree_, kTree);
  splitterBar_ = new QWidget(this);
  splitterBar_->setCursor(Qt::SplitHCursor);
  splitterBar_->hide();
  reg(splitterBar_, kSplitter);

  list_ = new CMyListCtrl(this);
  list_->SetNodeSource(&nodes_);
  reg(list_, kList);
  connect(list_, &CMyListCtrl::singleRowSelected, this, [this](int) { RefreshCommands(); });
  connect(list_, &CMyListCtrl::checkedTotalsChanged, this, [this](qint64, qint64) { RefreshCommands(); });
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
  for (int c = 0; c < kListColumnCount; c++) {
    texts[size_t(c)] = ToQ((c == 0 ? WString(u"      ") : WString()) + Msg(kListColumnMessageIds[c]));
    widths[size_t(c)] = int(baseWidths[c] * Scale());
  }
  list_->SetColumns(texts, widths);
  statusDlg_ = frame_->StatusDialog();
  // Look for: "*" and the All Files row at the top.
  lookFor_->clear();
  lookFor_->addItem(ToQ(Msg(127)), QStringLiteral("*"));
  lookFor_->setCurrentIndex(0);
  GlobalTextRef(kLookForText) = WString(u"*");
  scanModeRadio_ = 0;
  g_scanMode = 0;
  quick_->setChecked(true);
  useFolderNamesBox_->setChecked(true);
  lookIn_->setFocus();
  SetStep(0);
  DoLayout();
  RefreshCommands();
}

void CDelvoraView::InitDriveList() { SetLookInRows(MachineLookInRows()); }

void CDelvoraView::SetLookInRows(const std::vector<LookInRow>& rows) {
  lookInRows_ = rows;
  lookIn_->clear();
  int lastGroup = 0;
  auto* model = qobject_cast<QStandardItemModel*>(lookIn_->model());
  for (const LookInRow& r : rows) {
    if (r.group != lastGroup && (r.group == 2 || r.group == 3)) {
      // Group captions are not choosable.
      lookIn_->addItem(ToQ(Msg(r.group == 2 ? 339 : 393)), -1);
      if (model) {
        QStandardItem* item = model->item(lookIn_->count() - 1);
        item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
        QFont f = item->font();
        f.setBold(true);
        item->setFont(f);
      }
    }
    lastGroup = r.group;
    lookIn_->addItem(ToQ(r.text), r.source.empty() ? -2 : int(&r - rows.data()));
  }
  lookIn_->setCurrentIndex(-1);
  RefreshCommands();
}

void CDelvoraView::SelectLookInRow(int index) {
  for (int i = 0; i < lookIn_->count(); i++)
    if (lookIn_->itemData(i).toInt() == index) {
      lookIn_->setCurrentIndex(i);
      break;
    }
  RefreshCommands();
}

QWidget* CDelvoraView::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

int64_t CDelvoraView::ListRows() const { return list_ ? list_->GetItemCount() : 0; }

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
  for (QWidget* w : std::initializer_list<QWidget*>{lookForLabel_, lookInLabel_, lookFor_, lookIn_, modeGroup_,
                                                    quick_, long_, scanButton_}) {
    w->setVisible(scanShown);
    w->setEnabled(b.scanGroupEnabled);
  }
  scanButton_->setEnabled(b.scanEnabled);
  for (QWidget* w : std::initializer_list<QWidget*>{saveToLabel_, saveTo_, useFolderNamesBox_, browse_, saveButton_}) {
    w->setVisible(!scanShown);
    w->setEnabled(b.saveGroupEnabled);
  }
  saveButton_->setEnabled(b.saveEnabled);
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
  tree_->clear();
  list_->DeleteFileItems();
  nodes_.Clear();
  folderDisplay_ = false;
  tree_->hide();
  splitterBar_->hide();
  propertiesState_ = 0;
  frame_->SetFolderViewButton(false);
  sortColumnFlat_ = sortColumnFolder_ = -1;
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
  (index == 0 ? quick_ : long_)->setChecked(true);
  if (index == old) return;
  if (ListRows() > 0 && sessionLoadState_ != 2) {
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335)) != kIdYes) {
      if (sessionLoadState_ == 1) {
        sessionLoadState_ = 2;
      } else {
        scanModeRadio_ = old;
        (old == 0 ? quick_ : long_)->setChecked(true);
        return;
      }
    } else {
      ClearResults();
    }
  }
  g_scanMode = scanModeRadio_;
  if (g_currentDrive) g_currentDrive->DeleteVolumes();
  delete g_engine;
  g_engine = nullptr;
}

// ---- commands ----

ViewState CDelvoraView::State() const {
  ViewState s;
  s.activity = g_activityCode.load();
  s.step = step_;
  s.scanButtonEnabled = scanEnabled_;
  s.saveButtonEnabled = saveEnabled_;
  s.step2Enabled = step2Enabled_;
  s.treeHasFocus = treeHasFocus_;
  s.listEnabled = list_->isEnabled();
  s.listRows = ListRows();
  s.selectedRows = list_->selectionModel() ? list_->selectionModel()->selectedRows().size() : 0;
  const int row = lookIn_->currentIndex();
  const int rowIndex = row >= 0 ? lookIn_->itemData(row).toInt() : -1;
  s.lookInIndex = rowIndex >= 0 ? rowIndex : -1;
  s.lookInEnabled = lookIn_->isEnabled();
  s.sourceDriveExists = g_currentDrive != nullptr;
  if (s.lookInIndex >= 0 && size_t(s.lookInIndex) < lookInRows_.size()) {
    if (DrvInfo* info = theDrvAttr().FindDrvInfo(lookInRows_[size_t(s.lookInIndex)].source)) {
      s.hasDrvInfo = true;
      s.drvInfoNameEmpty = info->name.empty();
      s.drvInfoSecondEmpty = info->second.empty();
    }
  }
  s.useFolderNames = useFolderNames_;
  s.skipDeleted = g_appState && g_appState->skipDeleted.load() != 0;
  s.folderDisplay = folderDisplay_;
  s.sortColumnFlat = sortColumnFlat_;
  s.sortColumnFolder = sortColumnFolder_;
  s.progressPhase = theProgressAndStats().block[kStatItemsFound] > 0 || g_activityCode.load() >= 0 ||
                            ListRows() > 0
                        ? 1
                        : 0;
  s.statusDialogVisible = statusDlg_ && statusDlg_->isVisible();
  s.toolbarVisible = frame_->ToolBar() && frame_->ToolBar()->isVisible();
  s.statusBarVisible = frame_->statusBar() && frame_->statusBar()->isVisible();
  s.propertiesState = propertiesState_;
  return s;
}

void CDelvoraView::RefreshCommands() {
  if (frame_ && frame_->Commands()) frame_->Commands()->Apply(State());
}

void CDelvoraView::OnCommand(int id) {
  const int activity = g_activityCode.load();
  switch (id) {
    case cmd::kScan:
      OnScan();
      break;
    case cmd::kSelectAll:
      if (activity != 1) list_->CheckAll(true);
      break;
    case cmd::kDeselectAll:
      if (activity != 1) list_->CheckAll(false);
      break;
    case cmd::kInvert:
      if (activity != 1) list_->InvertChecks();
      break;
    case cmd::kSelect:
      if (activity != 1) list_->CheckCurItems(true);
      break;
    case cmd::kDeselect:
      if (activity != 1) list_->CheckCurItems(false);
      break;
    case cmd::kUseFolderNames:
      if (activity != 1) useFolderNamesBox_->setChecked(!useFolderNames_);
      break;
    case cmd::kSkipDeleted:
      if (activity != 0 && g_appState) g_appState->skipDeleted = g_appState->skipDeleted.load() ? 0 : 1;
      break;
    default:
      // The other commands belong to their own dialogs.
      break;
  }
  RefreshCommands();
}

void CDelvoraView::OnScan() {
  const int activity = g_activityCode.load();
  if (activity == 0) {
    // Pause: the worker's loops wait while the question is open.
    g_appState->pauseRequested = 1;
    const int answer = ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(331));
    g_appState->pauseRequested = 0;
    if (g_eventPause) g_eventPause->Set();
    if (answer == kIdYes) {
      g_appState->stopRequested = 1;
      if (g_engine) g_engine->abort = 1;
    }
    return;
  }
  if (activity != -1) return;
  StartScan();
}

bool CDelvoraView::OpenSource(const WString& name) {
  if (g_currentDrive && CDrvAttr::SameDriveName(g_currentDrive->Name(), name)) return true;
  delete g_engine;
  g_engine = nullptr;
  DeleteDrive(&g_currentDrive);
  Drive* drive = nullptr;
  try {
    drive = CreateDrive(name);
    drive->InitDrive(name);
  } catch (const DvCodeError&) {
    DeleteDrive(&drive);
    ShowError(u"%s", LastErrorText());
    return false;
  } catch (const DvTextError& e) {
    DeleteDrive(&drive);
    ShowError(u"%s", e.text);
    return false;
  }
  g_currentDrive = drive;
  if (!theDrvAttr().FindDrvInfo(name)) theDrvAttr().AddDrvInfo(std::make_unique<DrvInfo>(name));
  return true;
}

void CDelvoraView::StartScan() {
  if (g_engine) g_engine->abort = 0;
  if (ListRows() > 0 && ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335)) != kIdYes) return;
  if (g_currentDrive) g_currentDrive->DeleteVolumes();
  WString lookFor = FromQ(lookFor_->currentData().toString().isEmpty() ? lookFor_->currentText().trimmed()
                                                                        : lookFor_->currentData().toString());
  if (lookFor.empty()) {
    ShowError(u"%s", Msg(221));
    lookFor_->setFocus();
    return;
  }
  const int row = lookIn_->currentIndex();
  const int index = row >= 0 ? lookIn_->itemData(row).toInt() : -1;
  if (index < 0 || size_t(index) >= lookInRows_.size() || lookInRows_[size_t(index)].source.empty()) {
    ShowError(u"%s", Msg(215));
    lookIn_->setFocus();
    return;
  }
  if (!OpenSource(lookInRows_[size_t(index)].source)) return;
  GlobalTextRef(kLookForText) = lookFor;
  if (g_appState && !g_appState->saveToCopy) GlobalTextRef(kDestinationFolder) = FromQ(saveTo_->currentText());
  ClearResults();
  scanButton_->setText(ToQ(Msg(97)));
  scanButton_->setIcon(dvres::Icon(dvres::Image::Pause));
  g_activityCode = kActivityScan;
  scanEnabled_ = true;
  ApplyStepState();
  frame_->SetFolderViewButton(false);
  frame_->SetScanSaveItem(false, true);

  g_selection = ScanSelection{};
  g_selection.operation = 0;
  g_selection.scanMode = uint8_t(scanModeRadio_);
  g_selection.name = g_currentDrive->DisplayName();
  g_appState->view = this;
  if (worker_.joinable()) worker_.join();
  workerRunning_ = true;
  worker_ = std::thread([this] {
    ComputeThreadProc(this);
    workerRunning_ = false;
  });
}

// ---- worker reports ----

void CDelvoraView::OperationStarted() {
  QMetaObject::invokeMethod(this, [this] { OnWorkerStarted(); }, Qt::QueuedConnection);
}

void CDelvoraView::OnWorkerStarted() {
  g_busyCounter++;
  if (statusDlg_) {
    statusDlg_->ResetForRun();
    statusDlg_->ShowProgress(true);
    statusDlg_->show();
    frame_->RepositionStatusDialog();
  }
  frame_->SetProgressShown(true, 0);
  RefreshCommands();
}

void CDelvoraView::FoundItems(std::vector<FoundItem>& items, int percent) {
  auto batch = std::make_shared<std::vector<FoundItem>>(std::move(items));
  items.clear();
  QMetaObject::invokeMethod(
      this,
      [this, batch, percent] {
        TakeFoundItems(*batch, percent);
        if (g_eventHandover) g_eventHandover->Set();
      },
      Qt::QueuedConnection);
}

void CDelvoraView::TakeFoundItems(std::vector<FoundItem>& items, int percent) {
  list_->AppendFoundItems(items, &nodes_, uint8_t(Language()), TypeLookup());
  lastPercent_ = percent;
  frame_->SetProgressShown(true, percent);
  if (!step2Enabled_ && ListRows() > 0) {
    step2Enabled_ = true;
    tab2_->setEnabled(true);
  }
  RefreshCommands();
}

void CDelvoraView::StatusItems(std::vector<StatusItem>& items, int) {
  // Results of a recovery arrive with the Save command.
  items.clear();
  if (g_eventHandover) g_eventHandover->Set();
}

void CDelvoraView::ProgressText(int, WStringView) {}

void CDelvoraView::FillRecoveryList(std::vector<RecoveryListEntry>& list) {
  list.clear();
  if (g_eventRecovery) g_eventRecovery->Set();
}

void CDelvoraView::LogLine(WStringView line) {
  const WString copy(line.substr(0, 256));
  QMetaObject::invokeMethod(
      this,
      [this, copy] {
        if (statusDlg_) statusDlg_->AddLogLine(copy);
      },
      Qt::QueuedConnection);
}

void CDelvoraView::OperationEnded(int64_t itemsFound) {
  QMetaObject::invokeMethod(this, [this, itemsFound] { OnWorkerEnded(itemsFound); }, Qt::QueuedConnection);
}

void CDelvoraView::OnWorkerEnded(int64_t) {
  if (worker_.joinable()) worker_.join();
  if (g_busyCounter > 0) g_busyCounter--;
  g_activityCode = kActivityIdle;
  scanButton_->setIcon(dvres::Icon(dvres::Image::Scan));
  frame_->SetScanSaveItem(false, false);
  frame_->SetProgressShown(false, lastPercent_);
  if (ListRows() > 0) step2Enabled_ = true;
  ApplyStepState();
  if (statusDlg_) statusDlg_->UpdateProgress();
}

// ---- keys and context menu ----

bool CDelvoraView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ || watched == tree_) {
    if (event->type() == QEvent::FocusIn) {
      treeHasFocus_ = watched == tree_;
      RefreshCommands();
    }
    if (event->type() == QEvent::ContextMenu) {
      auto* ce = static_cast<QContextMenuEvent*>(event);
      treeHasFocus_ = watched == tree_;
      ShowContextMenu(ce->globalPos(), ce->reason() == QContextMenuEvent::Keyboard);
      return true;
    }
  }
  if (event->type() != QEvent::KeyPress || destroyed_) return QWidget::eventFilter(watched, event);
  auto* w = qobject_cast<QWidget*>(watched);
  if (!w || w->window() != window() || !isVisible()) return QWidget::eventFilter(watched, event);
  auto* ke = static_cast<QKeyEvent*>(event);
  ShortcutInput in;
  switch (ke->key()) {
    case Qt::Key_F3: in.key = kKeyF3; break;
    case Qt::Key_Return:
    case Qt::Key_Enter: in.key = kKeyEnter; break;
    case Qt::Key_Backspace: in.key = kKeyBackspace; break;
    default:
      in.key = (ke->key() >= Qt::Key_A && ke->key() <= Qt::Key_Z) ? int('A' + (ke->key() - Qt::Key_A)) : 0;
  }
  in.ctrl = ke->modifiers() & Qt::ControlModifier;
  in.listHasFocus = list_->hasFocus();
  in.listShowsFolders = folderDisplay_;
  in.listEnabled = list_->isEnabled();
  in.listRows = ListRows();
  in.activity = g_activityCode.load();
  in.step = step_;
  if (in.ctrl) treeHasFocus_ = tree_->hasFocus();
  const ShortcutResult r = MapShortcut(in);
  if (r.command > 0) OnCommand(r.command);
  if (r.handled) return true;
  return QWidget::eventFilter(watched, event);
}

void CDelvoraView::contextMenuEvent(QContextMenuEvent* event) { event->ignore(); }

void CDelvoraView::ShowContextMenu(QPoint global, bool fromKeyboard) {
  QWidget* focused = treeHasFocus_ ? static_cast<QWidget*>(tree_) : static_cast<QWidget*>(list_);
  if (fromKeyboard) {
    const QModelIndex cur = list_->currentIndex();
    if (!treeHasFocus_) {
      QRect r = cur.isValid() ? list_->visualRect(cur) : QRect();
      const int y = std::max(r.isValid() ? r.top() + 10 : 10, 0);
      global = list_->viewport()->mapToGlobal(QPoint(30, y));
    } else {
      global = tree_->viewport()->mapToGlobal(QPoint(10, 10));
    }
  } else if (!focused->rect().contains(focused->mapFromGlobal(global))) {
    return;
  }
  RefreshCommands();
  QMenu menu(this);
  frame_->Commands()->FillMenu(&menu, BuildContextMenu(propertiesState_ == 1));
  const ViewState s = State();
  CommandActions* c = frame_->Commands();
  const bool bulk = s.activity != 1 && s.listRows > 0;
  for (int id : {cmd::kSelectAll, cmd::kDeselectAll, cmd::kInvert}) c->Action(id)->setEnabled(bulk);
  if (!treeHasFocus_) {
    const int64_t sel = s.selectedRows;
    c->Action(cmd::kProperties)->setEnabled(sel == 1);
    if (sel == 1) {
      const int row = list_->selectionModel()->selectedRows().first().row();
      const int state = list_->GetCheckState(row);
      c->Action(cmd::kSelect)->setEnabled(state != 1);
      c->Action(cmd::kDeselect)->setEnabled(state != 0);
    }
  }
  menu.exec(global);
  RefreshCommands();
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
