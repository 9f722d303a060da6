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
#include <chrono>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "platform/Events.h"
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
#include "ui/ChkCbBox.h"
#include "ui/LookInCb.h"
#include "ui/OwnButtons.h"
#include "ui/OwnControls.h"
#include "ui/SystemFileTypes.h"
#include "ui/Viewing.h"
#include "ui/core/CheckComboRules.h"
#include "foundation/Wildcard.h"
#include "ui/PromptDialogs.h"
#include "ui/WindowHelp.h"
#include "ui/core/SaveRules.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoveryLog.h"
#include "storage/ImageFiles.h"
#include "volumes/VolumeSearch.h"
#include <QFileDialog>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include "ui/MainFrame.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/PropertyDlg.h"
#include "ui/ListHeader.h"
#include "ui/MyListCtrl.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListText.h"
#include "ui/core/MenuModel.h"
#include "ui/core/ListSort.h"
#include "ui/core/Properties.h"
#include "ui/core/PropertyRules.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "ui/core/OptionRules.h"

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
  tab1_ = new CTabBtnCtrl(this);
  tab2_ = new CTabBtnCtrl(this);
  tab1_->setText(MessageOr(143, u"Step &1: Scan"));
  tab2_->setText(MessageOr(444, u"Step &2: Save"));
  for (CTabBtnCtrl* t : {tab1_, tab2_}) {
    t->setFont(Tahoma(9, true));
    t->SetIcons(dvres::Icon(t == tab1_ ? dvres::Image::Scan : dvres::Image::Save), QIcon(), QIcon(), 16, 16);
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

  lookForLabel_ = new CMyStatic(MessageOr(87, u"Loo&k for:"), this);
  lookInLabel_ = new CMyStatic(MessageOr(123, u"&Look in:"), this);
  saveToLabel_ = new CMyStatic(MessageOr(73, u"Save &to"), this);
  for (CMyStatic* l : {lookForLabel_, lookInLabel_, saveToLabel_})
    l->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"));
  reg(lookForLabel_, kLookForLabel);
  reg(lookInLabel_, kLookInLabel);
  reg(saveToLabel_, kSaveToLabel);
  lookFor_ = new CMBChkCbBox(this);
  connect(lookFor_, &CMBChkCbBox::lookForChanged, this, [this] { OnLookForChanged(); }, Qt::QueuedConnection);
  lookIn_ = new CLookInCb(this);
  reg(lookFor_, kLookFor);
  reg(lookIn_, kLookIn);
  lookForLabel_->setBuddy(lookFor_);
  lookInLabel_->setBuddy(lookIn_);
  connect(lookIn_, qOverload<int>(&QComboBox::activated), this, [this](int) { OnLookInSelChange(); });

  modeGroup_ = new CMyGroupBoxCtrl(MessageOr(89, u"Mode"), this);
  modeGroup_->SetFontInfo(80, Rgb{0xFF, 0xAE, 0x29}, QStringLiteral("Tahoma"));  // 0x29AEFF as a COLORREF
  quick_ = new CMyRadioBtnCtrl(this);
  long_ = new CMyRadioBtnCtrl(this);
  quick_->setText(MessageOr(71, u"&Quick"));
  long_->setText(MessageOr(42, u"Lon&g"));
  reg(modeGroup_, kModeGroup);
  reg(quick_, kQuick);
  reg(long_, kLong);
  connect(quick_, &QRadioButton::clicked, this, [this] { OnScanModeChange(0); });
  connect(long_, &QRadioButton::clicked, this, [this] { OnScanModeChange(1); });

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
  reg(scanButton_, kScanButton);
  reg(saveButton_, kSaveButton);
  connect(scanButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kScan); });
  connect(saveButton_, &QToolButton::clicked, this, [this] { OnCommand(cmd::kSave); });

  saveTo_ = new QComboBox(this);
  saveTo_->setEditable(true);
  useFolderNamesBox_ = new CMyCheckboxCtrl(this);
  useFolderNamesBox_->setText(ToQ(Msg(86)));
  browse_ = new CGlassBtnCtrl(this);
  browse_->SetIcons(dvres::Icon(dvres::Image::Browse), QIcon(), QIcon(), 16, 16);
  for (auto* r : {quick_, long_}) r->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
  useFolderNamesBox_->SetFontInfo(80, Rgb{255, 255, 255}, QStringLiteral("Tahoma"), true);
  reg(saveTo_, kSaveTo);
  reg(useFolderNamesBox_, kUseFolderNames);
  reg(browse_, kBrowse);
  connect(browse_, &QPushButton::clicked, this, [this] { OnBrowse(); });
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
  // The indicator's mark is drawn in the Text colour: it stays dark on the
  // white indicator, only the caption is white.
  for (QWidget* w : std::initializer_list<QWidget*>{quick_, long_, useFolderNamesBox_}) {
    QPalette p = w->palette();
    p.setColor(QPalette::Text, Qt::black);
    w->setPalette(p);
  }
  modeGroup_->setFont(Tahoma(8, false));
  {
    QPalette p = modeGroup_->palette();
    p.setColor(QPalette::WindowText, QColor(0xFF, 0xAE, 0x29));  // 0x29AEFF as a COLORREF
    modeGroup_->setPalette(p);
  }

  list_ = new CMyListCtrl(this);
  list_->SetNodeSource(&nodes_);
  list_->SetVolumeLabels([](uint16_t volumeIndex) {
    // A volume index from a node is checked against the drive's table.
    if (!g_currentDrive || volumeIndex >= VolumeCount(*g_currentDrive)) return WString();
    CVol* v = VolumeAt(*g_currentDrive, volumeIndex);
    return v ? v->label : WString();
  });
  reg(list_, kList);
  // The folder tree is shown with the folder display.
  tree_ = new CMyTreeCtrl(list_, this);
  tree_->hide();
  reg(tree_, kTree);
  splitterBar_ = new CDlgSplitterCtrl(false, QRect(), this, kSplitter);
  connect(splitterBar_, &CDlgSplitterCtrl::splitterMoved, this, [this](int x) { OnSplitterMove(x); });
  splitterBar_->hide();
  reg(splitterBar_, kSplitter);
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
  const QString fits[kListColumnCount] = {{}, {}, {}, QStringLiteral("999.99 MB"), {},
                                          QStringLiteral("2022/06/14 10:20:30"), {}};
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

void CDelvoraView::InitDriveList() {
  std::vector<LookInRow> rows = MachineLookInRows();
  SetLookInRows(rows);
}

void CDelvoraView::SetLookInRows(const std::vector<LookInRow>& rows) {
  lookInRows_ = rows;
  const QSignalBlocker block(lookIn_);
  lookIn_->RemoveDriveRows();
  for (int i = lookIn_->count() - 1; i >= 0; i--)
    if (lookIn_->ItemData(i) == 5) lookIn_->RemoveItem(i);
  // Images registered before (sessions, the drive layer) keep their rows.
  for (const WString& path : theImageFiles().Paths())
    if (lookIn_->FindRow(path) < 0) lookIn_->AddItem(ToQ(path), 1, path);
  for (const LookInRow& r : rows) {
    if (r.group == 4 || r.source.empty()) continue;
    lookIn_->AddItem(ToQ(r.text), r.group, r.source);
  }
  lookIn_->AddItem(ToQ(Msg(99)), 4);
  const int cur = currentSource_.empty() ? -1 : lookIn_->FindRow(currentSource_);
  lookIn_->setCurrentIndex(cur);
  RefreshCommands();
}

void CDelvoraView::SelectLookInRow(int index) {
  if (index < 0 || size_t(index) >= lookInRows_.size()) return;
  const LookInRow& r = lookInRows_[size_t(index)];
  const int row = r.source.empty() ? lookIn_->count() - 1 : lookIn_->FindRow(r.source);
  if (row < 0) return;
  lookIn_->setCurrentIndex(row);
  OnLookInSelChange();
}

void CDelvoraView::RevertLookIn() {
  const QSignalBlocker block(lookIn_);
  lookIn_->setCurrentIndex(currentSource_.empty() ? -1 : lookIn_->FindRow(currentSource_));
  if (sessionLoadState_ == 1) sessionLoadState_ = 2;
  RefreshCommands();
}

void CDelvoraView::CloseSource() {
  delete g_engine;
  g_engine = nullptr;
  DeleteDrive(&g_currentDrive);
  currentSource_.clear();
}

void CDelvoraView::OnLookInSelChange() {
  const int row = lookIn_->currentIndex();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (row >= 0 && lookIn_->ItemData(row) == 5) {
    // Refresh: the machine's sources again, the current one kept chosen.
    theDiskList().Refresh();
    InitDriveList();
    if (!currentSource_.empty() && lookIn_->FindRow(currentSource_) < 0) {
      if (ListRows() > 0) ClearResults();
      CloseSource();
    }
    RevertLookIn();
  } else if (row >= 0 && !lookIn_->IsHeading(row)) {
    const WString name = lookIn_->Source(row);
    // "Clear current scan results?" answered Yes means: scan the new source,
    // as the same question does before a scan.
    bool scanNow = false;
    if (ListRows() > 0) {
      QApplication::restoreOverrideCursor();
      const int answer = ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335));
      QApplication::setOverrideCursor(Qt::WaitCursor);
      if (answer != kIdYes) {
        RevertLookIn();
        QApplication::restoreOverrideCursor();
        return;
      }
      ClearResults();
      scanNow = sessionLoadState_ == 0;
    }
    if (!theDrvAttr().FindDrvInfo(name)) theDrvAttr().AddDrvInfo(std::make_unique<DrvInfo>(name));
    if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(Msg(172) + u" "));
    // The previous source goes before the new one is opened; a failed open
    // leaves no source at all and the Scan button disabled.
    CloseSource();
    Drive* drive = nullptr;
    WString error;
    try {
      drive = CreateDrive(name);
      drive->InitDrive(name);
    } catch (const DvCodeError&) {
      error = LastErrorText();
    } catch (const DvTextError& e) {
      error = e.text;
    }
    if (!error.empty() || !drive) {
      DeleteDrive(&drive);
      sourceFailed_ = true;
      RevertLookIn();
      ApplyStepState();
      QApplication::restoreOverrideCursor();
      ShowError(u"%s", error.empty() ? WString(u"?") : error);
      return;
    }
    g_currentDrive = drive;
    currentSource_ = name;
    sourceFailed_ = false;
    QApplication::restoreOverrideCursor();
    try {
      AfterSourceOpened(drive, name);
    } catch (const DvCodeError&) {
      ShowLastError();
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    drive->CloseDevice();
    ApplyStepState();
    if (scanNow) {
      QApplication::restoreOverrideCursor();
      StartScan();
      return;
    }
  }
  QApplication::restoreOverrideCursor();
  RefreshCommands();
}

int CDelvoraView::AddDiskImage(const WString& path) {
  if (path.empty() || theImageFiles().Find(path) >= 0) return 0;
  if (path[0] != u'/') {
    ShowError(Msg(117), path);
    return 0;
  }
  if (theImageFiles().Add(path) != 0) {
    ShowError(u"%s", LastErrorText());
    return 0;
  }
  const QSignalBlocker block(lookIn_);
  const int keep = lookIn_->currentIndex();
  const WString keepSource = keep >= 0 ? lookIn_->Source(keep) : WString();
  lookIn_->AddItem(ToQ(path), 1, path);
  lookIn_->setCurrentIndex(keepSource.empty() ? -1 : lookIn_->FindRow(keepSource));
  return 1;
}

void CDelvoraView::LoadDiskImages(const std::vector<WString>& paths) {
  int added = 0;
  WString first;
  for (const WString& p : paths) {
    if (p.empty()) continue;
    if (AddDiskImage(p) == 1) {
      if (!added) first = p;
      added++;
    }
  }
  if (added > 0) ShowMessage(kMbIconInformation, Msg(98), added, Msg(added == 1 ? 80 : 70));
  // A freshly loaded image becomes the source, unless that would throw away
  // results on the screen.
  if (added > 0 && ListRows() == 0 && g_activityCode.load() == kActivityIdle) {
    const int row = lookIn_->FindRow(first);
    if (row >= 0) {
      {
        const QSignalBlocker block(lookIn_);
        lookIn_->setCurrentIndex(row);
      }
      OnLookInSelChange();
    }
  }
  RefreshCommands();
}

void CDelvoraView::OnDiskImageLoad() {
  // "Disk Image File (*.dsk;*.img)|*.dsk;*.img|All Files (*.*)|*.*||" as Qt filters.
  const QStringList parts = ToQ(Msg(432)).split(QLatin1Char('|'), Qt::SkipEmptyParts);
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) filters << parts[i].section(QLatin1Char('('), 0, 0).trimmed() +
                                                            QStringLiteral(" (") + QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) + QStringLiteral(")");
  const QStringList files = QFileDialog::getOpenFileNames(this, QString(), QString(), filters.join(QStringLiteral(";;")));
  std::vector<WString> paths;
  for (const QString& f : files) paths.push_back(FromQ(f));
  LoadDiskImages(paths);
}

void CDelvoraView::SetSaveTo(const QString& text) { saveTo_->setEditText(text); }

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
  bool scanNow = false;
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
      scanNow = sessionLoadState_ == 0;
    }
  }
  g_scanMode = scanModeRadio_;
  if (g_currentDrive) DeleteVolumes(*g_currentDrive);
  delete g_engine;
  g_engine = nullptr;
  // Yes to "Clear current scan results?" scans in the new mode, as the same
  // question does before a scan.
  if (scanNow && g_currentDrive && g_activityCode.load() == kActivityIdle) StartScan();
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
  s.selectedRows = list_->SelectedCount();
  s.filterEntries = list_->FilterEntries();
  const int row = lookIn_->currentIndex();
  s.lookInIndex = row >= 0 && !lookIn_->IsHeading(row) && lookIn_->ItemData(row) != 5 ? row : -1;
  s.lookInEnabled = lookIn_->isEnabled();
  s.sourceDriveExists = g_currentDrive != nullptr;
  if (s.lookInIndex >= 0) {
    if (DrvInfo* info = theDrvAttr().FindDrvInfo(lookIn_->Source(row))) {
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
    case cmd::kSave:
      OnSave();
      break;
    case cmd::kDiskImageLoad:
      if (activity == -1) OnDiskImageLoad();
      break;
    case cmd::kSelectAll:
    case cmd::kDeselectAll:
      if (activity == 1) break;
      if (treeHasFocus_ && folderDisplay_) list_->CheckAllFolders(id == cmd::kSelectAll);
      else list_->CheckAll(id == cmd::kSelectAll);
      break;
    case cmd::kInvert:
      if (activity != 1) list_->InvertChecks(treeHasFocus_);
      break;
    case cmd::kSelect:
    case cmd::kDeselect:
      if (activity == 1) break;
      if (folderDisplay_ && treeHasFocus_) list_->SetFolderCheckState(tree_->CurrentFolder(), id == cmd::kSelect ? 2 : 1);
      else list_->CheckCurItems(id == cmd::kSelect);
      break;
    case cmd::kFind:
      if (!list_->isEnabled() || !findDlg_) break;
      findColumn_ = findDlg_->SearchDown() ? -1 : 7;
      findDlg_->show();
      findDlg_->raise();
      findDlg_->activateWindow();
      break;
    case cmd::kProperties:
      OnProperties();
      break;
    case cmd::kFolderView:
      if (activity == -1 && ListRows() > 0) OnFolderView();
      break;
    case kCmdOpenFolder:
      list_->OpenSelectedFolder();
      break;
    case kCmdParentFolder:
      list_->GoToParentFolder();
      break;
    case cmd::kFilterEdit:
      if (activity == -1 && pendingFilterColumn_ >= 0) EditFilter(pendingFilterColumn_);
      pendingFilterColumn_ = -1;
      break;
    case cmd::kFilterClear:
      if (activity == -1 && pendingFilterColumn_ >= 0) ClearFilter(pendingFilterColumn_);
      pendingFilterColumn_ = -1;
      break;
    case cmd::kUseFolderNames:
      if (activity != 1) useFolderNamesBox_->setChecked(!useFolderNames_);
      break;
    case cmd::kSkipDeleted:
      if (activity != 0 && g_appState) g_appState->skipDeleted = g_appState->skipDeleted.load() ? 0 : 1;
      break;
    default:
      if (const int column = cmd::ArrangeColumn(id); column >= 0) {
        if (activity == -1 && ListRows() > 0) ArrangeFiles(column);
      } else if (id >= cmd::kFilterEditFirst && id < cmd::kFilterEditFirst + 7) {
        if (activity == -1 && ListRows() > 0) EditFilter(id - cmd::kFilterEditFirst);
      } else if (id >= cmd::kFilterClearFirst && id < cmd::kFilterClearFirst + 7) {
        if (activity == -1 && list_->Criterion(id - cmd::kFilterClearFirst)) ClearFilter(id - cmd::kFilterClearFirst);
      } else if (!OnOptionCommand(id)) {
        // A command without a handler yet says so rather than doing nothing.
        SayNotAvailable(id);
      }
      break;
  }
  RefreshCommands();
}

void CDelvoraView::SayNotAvailable(int id) {
  QString name;
  if (frame_ && frame_->Commands())
    if (QAction* a = frame_->Commands()->Action(id)) name = a->text().section(QLatin1Char('\t'), 0, 0);
  name.remove(QLatin1Char('&'));
  name = name.trimmed();
  if (name.endsWith(QStringLiteral("..."))) name.chop(3);
  if (name.isEmpty()) name = QStringLiteral("This command");
  else name = QLatin1Char('"') + name + QLatin1Char('"');
  ShowMessage(kMbIconInformation, u"%s is not available in this version.", FromQ(name));
}

void CDelvoraView::PauseAndAsk(int activity) {
  // The worker's loops wait while the question is open.
  g_appState->pauseRequested = 1;
  const auto t0 = std::chrono::steady_clock::now();
  const int answer = ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(activity == 0 ? 331 : 332));
  if (answer == kIdYes && g_activityCode.load() == activity) {
    if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(Msg(242)));
    g_appState->stopRequested = 1;
    stopAsked_ = true;
    QToolButton* b = activity == 0 ? scanButton_ : saveButton_;
    b->setText(ToQ(Msg(activity == 0 ? 91 : 84)));
    b->setIcon(dvres::Icon(activity == 0 ? dvres::Image::Scan : dvres::Image::Save));
    b->setEnabled(false);
    (activity == 0 ? scanEnabled_ : saveEnabled_) = false;
    if (g_engine) g_engine->abort = 1;
  }
  const double paused = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  pausedSeconds_ += paused;
  theProgressAndStats().pausedSeconds = theProgressAndStats().pausedSeconds.load() + paused;
  g_appState->pauseRequested = 0;
  if (g_eventPause) g_eventPause->Set();
  RefreshCommands();
}

void CDelvoraView::OnScan() {
  const int activity = g_activityCode.load();
  if (activity == 0) return PauseAndAsk(0);
  if (activity != -1) return;
  StartScan();
}

void CDelvoraView::StartWorker(std::function<int(ViewSink*)> run) {
  g_appState->view = this;
  stopAsked_ = false;
  if (worker_.joinable()) worker_.join();
  workerRunning_ = true;
  worker_ = std::thread([this, run = std::move(run)] {
    run(this);
    workerRunning_ = false;
  });
}

void CDelvoraView::StartScan() {
  if (g_engine) g_engine->abort = 0;
  // Everything that can refuse comes first: the volumes of the drive are
  // deleted only once the scan really starts.
  WString lookFor = lookFor_->Text();
  if (lookFor.empty()) {
    ShowError(u"%s", Msg(221));
    lookFor_->setFocus();
    return;
  }
  const int row = lookIn_->currentIndex();
  if (row < 0 || lookIn_->IsHeading(row) || lookIn_->ItemData(row) == 5 || !g_currentDrive) {
    ShowError(u"%s", Msg(215));
    lookIn_->setFocus();
    return;
  }
  if (ListRows() > 0 && ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335)) != kIdYes) return;
  g_currentDrive->HookExclusiveRanges(theDrvAttr());
  // The volume choice leaves the drive a fresh volume table with the
  // user's choice in it; every other scan starts from an empty one.
  bool volumesChosen = false;
  if (!ChooseVolumesBeforeScan(theDrvAttr().FindDrvInfo(currentSource_), &volumesChosen)) return;
  // Deleted files: a Quick Scan of a logical volume keeps the option,
  // every other scan asks.
  const bool logicalVolume = lookIn_->ItemData(row) == 3;  // group 2: the drive-letter rows
  int skip = -1;
  if (!logicalVolume || scanModeRadio_ == 1) {
    CSkip dlg(this);
    skip = RunDialog(dlg) == QDialog::Accepted ? 0 : 1;
  }
  if (!volumesChosen) DeleteVolumes(*g_currentDrive);
  delete g_engine;
  g_engine = nullptr;
  affiliation_ = AffiliationChoice{};
  scanButton_->setText(ToQ(Msg(97)));
  scanButton_->setIcon(dvres::Icon(dvres::Image::Pause));
  GlobalTextRef(kLookForText) = lookFor;
  GlobalTextRef(kLookForPattern) = lookFor_->FolderPatterns();
  // The names looked for: found files whose names fail it are not listed.
  g_currentDrive->SetFilter(lookFor_->NamePatterns(), nullptr);
  if (g_appState && !g_appState->saveToCopy) GlobalTextRef(kDestinationFolder) = FromQ(saveTo_->currentText());
  ClearResults();
  g_activityCode = kActivityScan;
  scanEnabled_ = true;
  ApplyStepState();
  frame_->SetFolderViewButton(false);
  frame_->SetScanSaveItem(false, true);
  theProgressAndStats().phase = 1;
  if (statusDlg_) {
    statusDlg_->ShowProgress(true);
    statusDlg_->ClearLog();
  }
  if (skip >= 0 && g_appState) g_appState->skipDeleted = uint8_t(skip);

  ScanRequest request;
  request.drive = g_currentDrive;
  request.selection.scanMode = uint8_t(scanModeRadio_);
  if (statusDlg_) statusDlg_->show();
  StartWorker([request](ViewSink* view) { return RunScan(request, view); });
}

// ---- Save ----

void CDelvoraView::OnBrowse() {
  const QString start = saveTo_->currentText();
  const QString dir = QFileDialog::getExistingDirectory(this, ToQ(Msg(236)).section(QLatin1Char('\n'), 0, 0), start);
  if (!dir.isEmpty()) saveTo_->setEditText(dir);
}

void CDelvoraView::OnSave() {
  const int activity = g_activityCode.load();
  if (activity == 1) return PauseAndAsk(1);
  if (activity != -1) return;
  StartSave();
}

bool CDelvoraView::RecordOf(int32_t i, RecListRecord& r) const {
  if (i < 0 || i >= list_->GetItemCount()) return false;
  r.checked = list_->IsItemChecked(i);
  if (!r.checked) return true;
  r.folderPath = list_->GetItemPath(i);
  r.nodeIndex = list_->GetItemNodeIndex(i);
  ListNodeInfo info;
  if (r.nodeIndex < 0 || !nodes_.GetNode(r.nodeIndex, info)) return false;
  r.name = WString(info.name);
  r.volumeIndex = info.volumeIndex == 0xFFFF ? -1 : int32_t(info.volumeIndex);
  return true;
}

void CDelvoraView::StartSave() {
  if (g_engine) g_engine->abort = 0;
  // Nothing to save is said before anything is asked about the folder.
  if (!list_->HasCheckedItems()) {
    ShowError(u"%s", Msg(219));
    return;
  }
  WString dest = NormaliseDestination(FromQ(saveTo_->currentText()));
  if (dest.empty()) {
    OnBrowse();
    dest = NormaliseDestination(FromQ(saveTo_->currentText()));
    if (dest.empty()) return;
  }
  const std::string destU8 = ToUtf8(dest);
  GlobalTextRef(kDestinationFolder) = dest;
  // Never onto the source: the destination's device against the source's
  // extents, whatever the folder is called.
  if (g_currentDrive && !g_currentDrive->IsSafeVolume(dest)) {
    CSameDrv dlg(this);
    if (RunDialog(dlg) != QDialog::Accepted) return;
  }
  if (IsSystemFolder(destU8)) {
    ShowError(u"%s", u"Data cannot be saved to a system folder.");
    return;
  }
  // A read-only destination (a CD or DVD among them) is only warned about.
  if (DestinationIsReadOnly(destU8)) ShowMessage(kMbIconWarning, u"%s", Msg(421));
  if (g_currentDrive && WantsAffiliationBeforeSave(scanModeRadio_, VolumeCount(*g_currentDrive)) &&
      !RunVolumeAffiliation())
    return;
  auto record = [this](int32_t i, RecListRecord& r) { return RecordOf(i, r); };
  if (!overwriteAlways_) {
    const DestinationState st = ProbeDestination(destU8);
    if (st == DestinationState::Error) {
      ShowError(u"%s", Msg(244));
      return;
    }
    bool ask = st == DestinationState::NotEmpty;
    CDuplicate dlg(this);
    if (!ask && HasNameClash(dest, useFolderNames_, list_->GetItemCount(), record)) {
      ask = true;
      dlg.SetHideNotEmpty();
    }
    if (ask) {
      dlg.mode = g_overwriteMode.load();
      dlg.always = overwriteAlways_ ? 1 : 0;
      if (RunDialog(dlg) != QDialog::Accepted) return;
      g_overwriteMode = uint8_t(dlg.mode);
      overwriteAlways_ = dlg.always != 0;
    }
  }
  // The folder is made here (not by changing the working directory) so the
  // log can be opened in it before the worker writes its first line.
  MakeDestinationFolders(destU8);
  theProgressAndStats().phase = 3;
  if (statusDlg_) {
    if (!statusDlg_->isVisible()) statusDlg_->show();
    statusDlg_->ShowProgress(true);
    statusDlg_->ClearLog();
  }
  g_activityCode = kActivityRecovery;
  saveEnabled_ = true;
  ApplyStepState();
  frame_->SetScanSaveItem(true, true);
  saveButton_->setText(ToQ(Msg(97)));
  saveButton_->setIcon(dvres::Icon(dvres::Image::Pause));
  tab1_->setEnabled(false);
  propertiesState_ = 0;
  list_->SetRecoveryRunning(true);
  recNext_ = 0;
  recTotal_ = list_->GetItemCount();
  recoveryDestination_ = dest;
  ApplyAffiliation();
  if (!OpenRecoveryLog(dest) && statusDlg_) statusDlg_->AddLogLine(Msg(244));
  if (g_currentDrive) g_currentDrive->HookExclusiveRanges(theDrvAttr());
  RecoveryRequest request;
  request.destination = dest;
  request.overwriteMode = g_overwriteMode.load();
  StartWorker([request](ViewSink* view) { return RunRecovery(request, view); });
  bool present = false;
  for (int i = 0; i < saveTo_->count(); i++)
    if (saveTo_->itemText(i).compare(ToQ(dest), Qt::CaseInsensitive) == 0) present = true;
  if (!present) saveTo_->addItem(ToQ(dest));
}

// ---- worker reports ----

void CDelvoraView::OperationStarted() {
  QMetaObject::invokeMethod(this, [this] { OnWorkerStarted(); }, Qt::QueuedConnection);
}

void CDelvoraView::OnWorkerStarted() {
  g_busyCounter++;
  pausedSeconds_ = 0;
  // The worker clears the stop flag as it starts: a stop asked for before
  // then is set again now.
  if (stopAsked_ && g_appState) g_appState->stopRequested = 1;
  // The run's clock, and the rate and time left shown for scans and saves.
  CProgressAndStats& stats = theProgressAndStats();
  stats.startTicks = SteadyNowNs();
  scanBytesBase_ = g_currentDrive ? g_currentDrive->BytesRead() : 0;
  stats.pausedSeconds = 0;
  stats.rateShown = true;
  if (statusDlg_) {
    statusDlg_->ResetForRun();
    statusDlg_->ShowProgress(true);
    statusDlg_->show();
    frame_->RepositionStatusDialog();
  }
  list_->setEnabled(true);
  frame_->SetProgressShown(true, 0);
  RefreshCommands();
}

void CDelvoraView::FoundItems(std::vector<FoundItem>& items, int percent) {
  // Files whose names the Look-for patterns do not name are not listed;
  // folders always are.
  if (const PatternList* filter = g_currentDrive ? g_currentDrive->Filter() : nullptr) {
    std::erase_if(items, [filter](const FoundItem& i) { return !(i.flags2 & 0x0002) && !filter->Match(i.name); });
  }
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
  list_->AppendFoundItems(items, &nodes_, uint8_t(Language()), typeIndex_.Lookup());
  lastPercent_ = percent;
  frame_->SetProgressShown(true, percent);
  if (!step2Enabled_ && ListRows() > 0) {
    step2Enabled_ = true;
    tab2_->setEnabled(true);
  }
  PublishCounters(false);
  RefreshCommands();
}

void CDelvoraView::PublishCounters(bool scanEnded) {
  CProgressAndStats& stats = theProgressAndStats();
  const uint32_t rows = uint32_t(ListRows());
  stats.displayedItems = rows;
  if (scanEnded) stats.inProgressItems = 0;
  stats.totalItems = rows + stats.inProgressItems.load();
  if (g_activityCode.load() == kActivityScan && scanModeRadio_ == 0 && g_currentDrive) {
    // A Quick Scan reads metadata, not a known number of bytes: its rate is
    // the source's bytes read, its total what that makes at the percentage
    // reached, so the time left follows the percentage.
    const int64_t done = int64_t(g_currentDrive->BytesRead() - scanBytesBase_);
    const int p = stats.percent.load();
    stats.bytesScanned = done;
    stats.bytesToScan = p > 0 ? done * 100 / p : 0;
  }
  if (g_activityCode.load() == kActivityRecovery || stats.phase.load() == 3) {
    // The worker starts a run from zero: what is checked is the list's.
    stats.selectedItems = uint32_t(list_->Store().CheckedFiles());
    stats.checkedBytes = list_->Store().CheckedBytes();
    stats.savedItems = g_recoveryTotals.saved.load();
    stats.failedItems = g_recoveryTotals.failed.load() + g_recoveryTotals.corrupt.load();
    stats.skippedItems = g_recoveryTotals.skipped.load();
  }
  if (statusDlg_) {
    statusDlg_->UpdateProgress();
    statusDlg_->UpdateCounters();
  }
}

void CDelvoraView::StatusItems(std::vector<StatusItem>& items, int) {
  auto batch = std::make_shared<std::vector<StatusItem>>(std::move(items));
  items.clear();
  QMetaObject::invokeMethod(
      this,
      [this, batch] {
        TakeStatusItems(*batch);
        if (g_eventHandover) g_eventHandover->Set();
      },
      Qt::QueuedConnection);
}

void CDelvoraView::TakeStatusItems(std::vector<StatusItem>& items) {
  CProgressAndStats& stats = theProgressAndStats();
  for (const StatusItem& it : items) {
    list_->SetItemStatus(it.recordIndex, StatusBitsFor(it.status), true);
    // Bytes handled drive the save's percentage, rate and time left.
    if (it.recordIndex >= 0 && it.recordIndex < list_->GetItemCount()) {
      ListNodeInfo info;
      if (nodes_.GetNode(list_->GetItemNodeIndex(it.recordIndex), info) && !info.folder)
        stats.savedBytes += int64_t(info.size);
    }
  }
  items.clear();
  PublishCounters(false);
}

void CDelvoraView::ProgressText(int, WStringView) {}

void CDelvoraView::FillRecoveryList(std::vector<RecoveryListEntry>& list) {
  // The worker waits for the list: the call blocks it until the list is
  // made on the user-interface thread (direct when already there).
  if (QThread::currentThread() == thread()) {
    FillRecListOnGui(list);
  } else {
    QMetaObject::invokeMethod(this, [this, &list] { FillRecListOnGui(list); }, Qt::BlockingQueuedConnection);
  }
  if (g_eventRecovery) g_eventRecovery->Set();
}

void CDelvoraView::FillRecListOnGui(std::vector<RecoveryListEntry>& list) {
  auto record = [this](int32_t i, RecListRecord& r) { return RecordOf(i, r); };
  // An item whose destination path cannot be made (it would escape the
  // folder or is too long) is skipped and reported, never written.
  auto refused = [this](int32_t i, const WString& why) {
    list_->SetItemStatus(i, StatusBitsFor(200), true);
    const WString line = Msg(200) + u" " + ReadableListPath(list_->GetItemPath(i)) + u"\\" + list_->GetItemNodeName(i);
    // The status window's log is the recovery log's one writer.
    for (const WString* text : {&line, &why})
      if (!text->empty() && statusDlg_) statusDlg_->AddLogLine(*text);
    g_recoveryTotals.skipped++;
  };
  if (recTotal_ > list_->GetItemCount()) recTotal_ = list_->GetItemCount();
  ::FillRecList(recoveryDestination_, useFolderNames_, &recNext_, recTotal_, record, list, refused);
  TracePrintfA("Posting %ld files\n", int32_t(list.size()));
}

void CDelvoraView::LogLine(WStringView line) {
  const WString copy(line);
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
  const int activity = g_activityCode.load();
  // The stop flag is cleared below: a run the user stopped reads it here.
  const bool stopped = stopAsked_ || (g_appState && g_appState->stopRequested.load() != 0);
  stopAsked_ = false;
  WString closing;
  unsigned closingStyle = kMbIconInformation;
  list_->setEnabled(true);
  if (statusDlg_) statusDlg_->ShowProgress(false);
  if (activity == 1) {
    saveButton_->setText(ToQ(Msg(84)));
    saveButton_->setIcon(dvres::Icon(dvres::Image::Save));
    tab1_->setEnabled(true);
    list_->SetRecoveryRunning(false);
    // The volume a user-specified affiliation appended goes with the run.
    if (g_engine) g_engine->DropUserVolume();
    saveEnabled_ = true;
    const uint32_t saved = g_recoveryTotals.saved.load(), failed = g_recoveryTotals.failed.load(),
                   skipped = g_recoveryTotals.skipped.load(), corrupt = g_recoveryTotals.corrupt.load();
    const uint64_t checked = list_->Store().CheckedFiles();
    const uint64_t handled = uint64_t(saved) + failed + skipped + corrupt;
    if (stopped) {
      closing = RecoveryStoppedText(uint32_t(checked > handled ? checked - handled : 0), saved, failed, skipped,
                                    corrupt);
      closingStyle = kMbIconWarning;
      if (statusDlg_) statusDlg_->AddLogLine(closing.substr(0, closing.find(u'\n')));
    } else {
      closing = RecoveryClosingText(saved, failed, skipped, corrupt,
                                    g_appState ? WStringView(g_appState->summaryText) : WStringView());
      if (saved == 0 || failed + corrupt > 0) closingStyle = kMbIconWarning;
    }
    CloseRecoveryLog();
  } else {
    list_->FinishInserting();
    scanButton_->setText(ToQ(Msg(91)));
    scanButton_->setIcon(dvres::Icon(dvres::Image::Scan));
    scanEnabled_ = true;
    theProgressAndStats().phase = 2;
    const int64_t n = ListRows();
    // An ending that is not a complete scan says so; the Long Scan hint
    // belongs only to a complete scan that found nothing.
    const WString& readErrors = ScanEndingText();
    if (!readErrors.empty()) {
      closing = readErrors;
      closingStyle = kMbIconWarning;
    } else if (stopped) {
      closing = ScanStoppedText(n);
    }
    if (n > 0) {
      step2Enabled_ = true;
    } else {
      ClearResults();
    }
    // The status window's log keeps the ending (the worker's own line went
    // with the results cleared above).
    if (statusDlg_ && !closing.empty() && (n == 0 || readErrors.empty())) statusDlg_->AddLogLine(closing);
    if (n == 0 && closing.empty() && scanModeRadio_ == 0 && sessionLoadState_ == 0) closing = Msg(204);
    sessionLoadState_ = 0;
    // The tips come while the activity code still reads 0; a minimised
    // frame gets them when the view next has the focus. A scan that did not
    // end as a whole has its own message instead.
    if (g_engine && n > 0 && closing.empty()) {
      if (frame_->isMinimized())
        viewingTipsPending_ = true;
      else
        ShowViewingTips();
    }
    if (n > 0) list_->setFocus();
  }
  frame_->SetScanSaveItem(activity == 1, false);
  frame_->SetProgressShown(false, lastPercent_);
  if (g_currentDrive) {
    g_currentDrive->CloseDevice();
    g_currentDrive->ReleaseBuffers();
  }
  if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(Msg(172) + u" "));
  if (g_busyCounter > 0) g_busyCounter--;
  g_activityCode = kActivityIdle;
  if (activity == 1 && sortColumnFlat_ == kSortStatus) {
    // The statuses changed: the Status order no longer holds.
    sortAscendingFlat_ = true;
    sortColumnFlat_ = -1;
    if (!folderDisplay_) list_->Header()->ClearSortArrow();
  }
  if (g_engine) g_engine->abort = 0;
  if (g_appState) g_appState->stopRequested = 0;
  ApplyStepState();
  PublishCounters(activity != 1);
  RefreshCommands();
  if (!closing.empty()) Prompt().MessageBox(closing, u"Delvora  ", closingStyle);
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
  if (ke->key() == Qt::Key_F1 && ke->modifiers() == Qt::NoModifier) {
    RequestHelpTopicOrSay(u"html\\afxc0ynh.htm");
    return true;
  }
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
  in.resultsHaveFocus = list_->hasFocus() || tree_->hasFocus();
  in.listShowsFolders = folderDisplay_;
  in.listEnabled = list_->isEnabled();
  in.listRows = ListRows();
  in.activity = g_activityCode.load();
  in.step = step_;
  if (in.ctrl) treeHasFocus_ = tree_->hasFocus();
  const ShortcutResult r = MapShortcut(in);
  if (r.command != 0) OnCommand(r.command);
  if (r.handled) return true;
  return QWidget::eventFilter(watched, event);
}

void CDelvoraView::contextMenuEvent(QContextMenuEvent* event) { event->ignore(); }

void CDelvoraView::ShowContextMenu(QPoint global, bool fromKeyboard) {
  QWidget* focused = treeHasFocus_ ? static_cast<QWidget*>(tree_) : static_cast<QWidget*>(list_);
  if (fromKeyboard) {
    if (!treeHasFocus_) {
      const int64_t cur = list_->CurrentRow();
      if (cur < 0) return;
      const int y = std::max(list_->RowRect(cur).top() + 10, 0);
      global = list_->viewport()->mapToGlobal(QPoint(30, y));
    } else {
      const QRect r = tree_->visualRect(tree_->currentIndex());
      global = tree_->viewport()->mapToGlobal(r.isValid() ? r.topLeft() + QPoint(10, 10) : QPoint(10, 10));
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
      const int state = list_->GetCheckState(int(list_->FirstSelected()));
      c->Action(cmd::kSelect)->setEnabled(state != 1);
      c->Action(cmd::kDeselect)->setEnabled(state != 0);
    }
  } else {
    const uint32_t folder = tree_->CurrentFolder();
    const FolderIndex* f = list_->Folders();
    const bool item = f && folder < f->Count();
    c->Action(cmd::kProperties)->setEnabled(item);
    if (item) {
      c->Action(cmd::kSelect)->setEnabled(f->At(folder).State() != 2);
      c->Action(cmd::kDeselect)->setEnabled(f->At(folder).State() != 1);
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

// ---- arrange, filter, find, properties, folder view ----

bool CDelvoraView::SortAscending() const { return folderDisplay_ ? sortAscendingFolder_ : sortAscendingFlat_; }

void CDelvoraView::ShowPaneText(int message) {
  if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(StripAccelerator(Msg(message))));
}

int CDelvoraView::ArrangeFiles(int code) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  struct EndWait {
    ~EndWait() { QApplication::restoreOverrideCursor(); }
  } endWait;
  if (code != -1 && list_->IsEmpty()) return -1;
  CMBLstHdrCtrl* header = list_->Header();
  auto showArrow = [header](int column, bool ascending) {
    if (column >= 0 && column < kListColumnCount) header->SetSortArrow(column, ascending);
    else header->ClearSortArrow();
  };
  if (folderDisplay_) {
    // The folder and volume of the open folder's rows are all the same.
    if (code == kSortFolder || code == kSortVolume) return -1;
    if (code != -1) {
      ShowPaneText(266);
      if (code == sortColumnFolder_) {
        sortAscendingFolder_ = !sortAscendingFolder_;
        list_->ReverseOrder();
      } else {
        sortColumnFolder_ = code;
        sortAscendingFolder_ = true;
        list_->SortFolderRows(code);
      }
    }
    showArrow(sortColumnFolder_, sortAscendingFolder_);
  } else {
    if (code != -1) {
      ShowPaneText(266);
      if (code != sortColumnFlat_) {
        sortAscendingFlat_ = true;
        sortColumnFlat_ = code;
        list_->StartSort(code);
        ApplyStepState();
        return code;
      }
      sortAscendingFlat_ = !sortAscendingFlat_;
      list_->ReverseOrder();
    }
    showArrow(sortColumnFlat_, sortAscendingFlat_);
  }
  const int column = folderDisplay_ ? sortColumnFolder_ : sortColumnFlat_;
  if (frame_->statusBar() && column >= 0 && column < kListColumnCount)
    frame_->statusBar()->showMessage(ToQ(FormatW(Msg(270).c_str(), FromQ(list_->HeaderText(column)))));
  RefreshCommands();
  return -1;
}

void CDelvoraView::OnSortFinished(int code) {
  g_activityCode = kActivityIdle;
  list_->setEnabled(true);
  sortColumnFlat_ = code;
  ApplyStepState();
  if (code == kSortFolderOrder) OnFolderView();
  else ArrangeFiles(-1);
  RefreshCommands();
}

void CDelvoraView::OnFolderView() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  struct EndWait {
    ~EndWait() { QApplication::restoreOverrideCursor(); }
  } endWait;
  if (list_->IsEmpty()) return;
  CMBLstHdrCtrl* header = list_->Header();
  if (folderDisplay_) {
    list_->ToggleDisplay();
    folderDisplay_ = false;
    tree_->hide();
    splitterBar_->hide();
    frame_->SetFolderViewButton(false);
    if (sortColumnFlat_ >= 0 && sortColumnFlat_ < kListColumnCount) header->SetSortArrow(sortColumnFlat_, sortAscendingFlat_);
    else header->ClearSortArrow();
    DoLayout();
    list_->setFocus();
    ShowPaneText(260);
    RefreshCommands();
    return;
  }
  if (!list_->InFolderOrder()) {
    // The folder display needs the records in folder order: sort first;
    // the sort's end runs this command again.
    ShowPaneText(263);
    sortColumnFlat_ = -1;
    list_->StartSort(kSortFolderOrder);
    lookFor_->setFocus();
    ApplyStepState();
    RefreshCommands();
    return;
  }
  if (sortColumnFolder_ == -1) {
    sortColumnFolder_ = kSortName;
    sortAscendingFolder_ = true;
  }
  const int r = list_->ToggleDisplay();
  if (r < 0) {
    // The folder rows are built on a worker; folderRowsReady ends it.
    ShowPaneText(263);
    ApplyStepState();
    RefreshCommands();
    return;
  }
  OnFolderRowsReady(true);
}

void CDelvoraView::OnFolderRowsReady(bool any) {
  g_activityCode = kActivityIdle;
  list_->setEnabled(true);
  folderDisplay_ = list_->IsFolderDisplay();
  frame_->SetFolderViewButton(folderDisplay_);
  tree_->setVisible(folderDisplay_);
  splitterBar_->setVisible(folderDisplay_);
  DoLayout();
  CMBLstHdrCtrl* header = list_->Header();
  if (sortColumnFolder_ >= 0 && sortColumnFolder_ < kListColumnCount) header->SetSortArrow(sortColumnFolder_, sortAscendingFolder_);
  else header->ClearSortArrow();
  if (any) {
    tree_->SelectFolder(list_->CurrentFolder());
    OnFolderChosen(list_->CurrentFolder());
    tree_->setFocus();
  }
  ShowPaneText(261);
  ApplyStepState();
  RefreshCommands();
  if (!any) ShowMessage(kMbIconInformation, u"%s", u"No files found!");
}

void CDelvoraView::OnFolderChosen(uint32_t folderRow) {
  if (!list_->IsFolderDisplay()) return;
  list_->OpenFolder(folderRow);
  if (sortColumnFolder_ >= 0 && sortColumnFolder_ < kListColumnCount && sortColumnFolder_ != kSortFolder &&
      sortColumnFolder_ != kSortVolume) {
    list_->SortFolderRows(sortColumnFolder_);
    if (!sortAscendingFolder_) list_->ReverseOrder();
  }
  if (list_->hasFocus()) propertiesState_ = 0;
  RefreshCommands();
}

void CDelvoraView::OnColumnClick(int column) {
  if (g_activityCode.load() != kActivityIdle || column < 0 || column >= kListColumnCount) return;
  CMBLstHdrCtrl* header = list_->Header();
  if (header->OverFilterIcon() && header->ColumnUnderPointer() == column) {
    if (!list_->Criterion(column)) {
      EditFilter(column);
      return;
    }
    pendingFilterColumn_ = column;
    QMenu menu(this);
    QAction* edit = menu.addAction(QStringLiteral("Edit filter..."));
    QAction* clear = menu.addAction(QStringLiteral("Clear filter"));
    QAction* chosen = RunMenu(menu, QCursor::pos());
    if (chosen == edit) OnCommand(cmd::kFilterEdit);
    else if (chosen == clear) OnCommand(cmd::kFilterClear);
    pendingFilterColumn_ = -1;
    return;
  }
  ArrangeFiles(column);
}

void CDelvoraView::EditFilter(int column) {
  if (column < 0 || column >= kListColumnCount) return;
  CCustomFilterDlg dlg(column, list_->HeaderText(column), this);
  if (const FilterCriterion* k = list_->Criterion(column)) dlg.LoadCriterion(*k);
  if (RunDialog(dlg) == QDialog::Accepted) {
    if (std::unique_ptr<FilterCriterion> k = dlg.BuildCriterion()) {
      list_->SetFilter(column, std::move(k));
      ApplyStepState();
    }
  }
  RefreshCommands();
}

void CDelvoraView::ClearFilter(int column) {
  list_->ClearFilter(column);
  ApplyStepState();
  RefreshCommands();
}

void CDelvoraView::OnFilterFinished() {
  ApplyStepState();
  RefreshCommands();
}

void CDelvoraView::OnFindNext() {
  if (!findDlg_) return;
  const FindOptions options = findDlg_->Options();
  if (options.text.empty()) return;
  const int64_t rows = list_->RowCount();
  FindPlan plan = PlanFind(rows, list_->FirstSelected(), findColumn_, options.down);
  list_->ClearSelection();
  while (true) {
    const auto [row, column] = plan.empty ? std::pair<int64_t, int>(-1, -1) : list_->FindNext(plan, options);
    if (row >= 0) {
      findColumn_ = column;
      setFocus();
      list_->setFocus();
      list_->SelectRow(row);
      list_->EnsureVisible(row);
      RefreshCommands();
      return;
    }
    if (plan.wholeList) {
      ShowMessage(kMbIconInformation, u"%s", Msg(169));
      break;
    }
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s. %s", Msg(169), Msg(170)) != kIdYes) break;
    // Once more over the whole list: from row 0 downwards (the last row
    // upwards).
    plan = PlanFind(rows, -1, findColumn_, options.down);
  }
  RefreshCommands();
}

int CDelvoraView::GetPropertyRecord(int row, bool folderRow, PropertyRecord& record) {
  record = PropertyRecord{};
  ListItemInfo info;
  const int kind = folderRow ? list_->GetFolderItemInfo(uint32_t(row), info) : list_->GetItemInfo(row, info);
  if (kind < 0) return 1;
  const bool idle = g_activityCode.load() == kActivityIdle;
  if (kind == 2) {
    // A volume row: the engine's volume by the node's index or the path's
    // number, each checked against the table.
    record.flags |= PropertyRecord::kVolume;
    record.displayMode = 2;
    record.volume.letterCode = info.folder.empty() ? 0 : int(info.folder[0]);
    record.volume.label = info.name;
    if (CVol* v = idle ? VolumeOfRow(g_engine, info.nodeIndex, info.folder) : nullptr) {
      record.volume.label = v->label;
      record.volume.firstSector = int64_t(v->startSector);
      record.volume.sectorCount = int64_t(v->sizeSectors);
      record.volume.typeCode = v->type;
      record.volume.sectorSize = v->sectorSize;
    }
    return 1;
  }
  record.flags |= PropertyRecord::kDetails;
  record.displayMode = kind;
  record.name = info.name;
  record.folder = info.folder;
  record.sizeText = info.sizeText;
  record.dateText = info.dateText;
  record.recordNumber = kind == 0 ? info.nodeIndex : -1;
  // The engine's node table is read only while no worker adds to it.
  if (kind != 0 || info.nodeIndex < 0 || !idle || !g_engine || !g_engine->nodes) return 1;
  cnode* node = g_engine->nodes->GetAt(info.nodeIndex);
  if (!node) return 1;
  record.flags |= PropertyRecord::kNumber;
  CVol* volume = NodeVolume(g_engine, *node);
  record.numberKind = volume ? volume->type : 0;
  record.location = int64_t(NodeLocation(*node));
  // The run list for the Runs row (an extension chain has none to show).
  if (const uint8_t* runs = node->RunBuffer()) {
    const uint32_t length = std::min<uint32_t>(RunListBytes(runs), uint32_t(kRunsDisplayLimit));
    record.nodeData.assign(runs, runs + kRunListHeaderBytes + length);
  }
  propertiesState_ = list_->CanPreview(row) ? 1 : 0;
  if (propertiesState_ == 1 && node->size != 0 && !IsLinkWithoutData(*node)) {
    if (g_appState) g_appState->stopRequested = 0;
    g_engine->SelectPartition(0, 0, 0, 0);
    if (ReadPreviewBytes(g_engine, g_currentDrive, info.nodeIndex, record.picture))
      record.flags |= PropertyRecord::kPicture;
  }
  return 1;
}

void CDelvoraView::OnProperties() {
  const bool tree = treeHasFocus_ && folderDisplay_;
  if (!tree && list_->SelectedCount() != 1) return;
  int last = 0;
  const int first = list_->GetSelectionRange(tree, last);
  if (first < 0) return;
  ShowPropertiesDialog([this](int position, bool fromTree, PropertyRecord& record) {
    return GetPropertyRecord(position, fromTree, record) == 1 && record.flags != 0;
  }, first, last, tree, this);
  RefreshCommands();
}

void CDelvoraView::BuildLookForList() {
  // One stand-in picture (2) for every type until types have their icons.
  LoadSystemFileTypes(typeIndex_, 2);
  for (const auto& [text, ext] : typeIndex_.LookForRows()) lookFor_->AddLine(ToQ(text), ext);
}
