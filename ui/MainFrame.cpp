#include "ui/MainFrame.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "resources/Icons.h"
#include "setup/HelpFile.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/MenuEx.h"
#include "ui/MyStatusBar.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/WindowHelp.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/MenuModel.h"

namespace {

// The message-trace lines go to the trace file while one is set.
bool TraceMessagesOn() { return g_trace && !theTrace().TraceFilePath().empty(); }

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }

// Toolbar images by index: 0 Properties, 1 Preview, 2 Tree View, 3 List
// View, 4 Advanced Volumes, 6 Help.
dvres::Image ToolbarImage(int index) {
  switch (index) {
    case 0: return dvres::Image::Properties;
    case 1: return dvres::Image::Preview;
    case 2: return dvres::Image::TreeView;
    case 3: return dvres::Image::ListView;
    case 4: return dvres::Image::AdvancedVolumes;
    default: return dvres::Image::Help;
  }
}

}  // namespace

CMainFrame::CMainFrame() {
  setObjectName(QStringLiteral("CMainFrame"));
  setWindowIcon(dvres::Icon(dvres::Image::AppIcon));
}

CMainFrame::~CMainFrame() { ShutDown(); }

bool CMainFrame::Create() {
  commands_ = new CommandActions(this);
  connect(commands_, &CommandActions::Triggered, this, [this](int id) { OnCommand(id); });
  // Menu.
  menu_ = new CMenuEx(commands_, this);
  menu_->Load(menuBar());
  // A command's hover text goes when its menu closes.
  for (QMenu* m : menuBar()->findChildren<QMenu*>())
    connect(m, &QMenu::aboutToHide, this, [this] { ShowPrompt(57345); });
  commands_->SetAfterApply([this](const ViewState& state) { menu_->Update(state); });
  for (auto& [id, action] : commands_->All()) {
    const int cid = id;
    connect(action, &QAction::hovered, this, [this, cid] { ShowPrompt(cid); });
    action->setToolTip(ToQ(CommandTip(cid, Msg(261))));
    action->setStatusTip(QString());
  }
  BuildToolBar();
  // Status bar with its one pane.
  statusBar_ = new CMyStatusBar(this);
  setStatusBar(statusBar_);
  statusBar_->SetFrameHooks([this] { return isMinimized() && progressShown_; }, [this] { UpdateTitle(1); });
  prompt_ = statusBar_->Pane();
  statusBar_->setSizeGripEnabled(true);
  ShowPrompt(57345);
  // The view.
  // The view above the status panel: the panel docks below the list inside
  // the window, so it moves, resizes and maximises with it and never lies
  // over the rows.
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  view_ = new CDelvoraView(this);
  column->addWidget(view_, 1);
  setCentralWidget(central);
  // Status dialog, hidden until a run starts.
  statusDlg_ = new CStatusDlg(this);
  statusDlg_->setWindowFlags(Qt::Widget);
  column->addWidget(statusDlg_, 0);
  statusDlg_->hide();
  statusDlg_->SetActivityReader([] { return int(g_activityCode.load()); });
  statusDlg_->SetRoomAbove([this] { return view_ ? view_->UsableMinimumHeight() : 0; });
  view_->OnInitialUpdate();
  const int h = int(480 * Scale());
  resize(MainWindowWidth(g_appState ? g_appState->language : 0, Scale()), std::max(h, 520));
  int mw = 0, mh = 0;
  FrameMinimumSize(Scale(), &mw, &mh);
  setMinimumSize(mw, mh);
  return true;
}

void CMainFrame::BuildToolBar() {
  toolBar_ = new QToolBar(this);
  toolBar_->setObjectName(QStringLiteral("toolbar"));
  toolBar_->setMovable(false);
  toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolBar_->setIconSize(QSize(int(32 * Scale()), int(32 * Scale())));
  addToolBar(Qt::TopToolBarArea, toolBar_);
  struct Button {
    int command, image, message;
    bool strip;
  };
  const Button buttons[] = {{cmd::kAdvancedVolumes, 4, 33, true},
                            {cmd::kProperties, 0, 271, true},
                            {cmd::kFolderView, 2, 261, true},
                            {cmd::kHelpTopics, 6, 426, false}};
  bool first = true;
  for (const Button& b : buttons) {
    if (!first) toolBar_->addSeparator();
    first = false;
    QAction* a = commands_->Action(b.command);
    a->setIcon(dvres::Icon(ToolbarImage(b.image)));
    a->setIconText(ToQ(b.strip ? StripAccelerator(Msg(b.message)) : Msg(b.message)));
    toolBar_->addAction(a);
  }
  // The toolbar's own show/hide command.
  // The checks are worked out again once the bar is shown or hidden (the
  // command's own handler may run before this one).
  connect(commands_->Action(cmd::kToolbar), &QAction::triggered, this, [this](bool on) {
    toolBar_->setVisible(on);
    if (view_) view_->RefreshCommands();
  });
  connect(commands_->Action(cmd::kStatusBar), &QAction::triggered, this, [this](bool on) {
    statusBar()->setVisible(on);
    if (view_) view_->RefreshCommands();
  });
}

void CMainFrame::SetButtonAndMenuItem(int command, int buttonIndex, int image, int buttonMessage, int menuMessage,
                                      bool menuOnly) {
  (void)buttonIndex;
  QAction* a = commands_->Action(command);
  if (!a) return;
  if (!menuOnly) {
    a->setIcon(dvres::Icon(ToolbarImage(image)));
    a->setIconText(ToQ(StripAccelerator(Msg(buttonMessage))));
  }
  if (!Msg(menuMessage).empty()) a->setText(ActionText(Msg(menuMessage)));
  if (menu_ && view_) menu_->Update(view_->State());
}

void CMainFrame::SetFolderViewButton(bool folderView) {
  SetButtonAndMenuItem(cmd::kFolderView, 4, folderView ? 3 : 2, folderView ? 260 : 261, folderView ? 260 : 261, false);
}

void CMainFrame::SetScanSaveItem(bool recover, bool running) {
  const int id = recover ? cmd::kSave : cmd::kScan;
  if (menu_) menu_->SetRunning(recover, running);
  SetButtonAndMenuItem(id, 0, 0, 0, running ? 304 : (recover ? 303 : 302), true);
}

int CMainFrame::SizeType() const {
  if (isMinimized()) return 1;
  if (isMaximized()) return 2;
  return 0;
}

void CMainFrame::SetProgressShown(bool shown, int percent) {
  progressShown_ = shown;
  percent_ = percent;
  if (isMinimized()) UpdateTitle(1);
}

void CMainFrame::UpdateTitle(int sizeType) {
  const WString t =
      FrameTitle(sizeType, progressShown_, percent_, g_activityCode.load(), g_appState ? g_appState->language : 0);
  if (!t.empty()) setWindowTitle(ToQ(t));
}

void CMainFrame::CenterWindow() {
  QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!s) return;
  const QRect area = s->availableGeometry();
  // Inside the screen whatever the scale: the title bar stays reachable.
  int w = width(), h = height(), mw = minimumWidth(), mh = minimumHeight();
  const int decoration = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this) + 8;
  FitFrameToArea(area.width(), area.height(), decoration, &w, &h, &mw, &mh);
  setMinimumSize(mw, mh);
  resize(w, h);
  QRect r = frameGeometry();
  r.moveCenter(area.center());
  move(r.topLeft());
}

void CMainFrame::RepositionStatusDialog() {
  if (!statusDlg_ || isMaximized() || isMinimized() || !statusDlg_->isVisible() || !statusDlg_->IsDocked()) return;
  statusDlg_->FollowFrame();
}

void CMainFrame::ShowPrompt(int commandId) {
  const bool preview = view_ && view_->PropertiesState() == 1;
  const WString p = CommandPrompt(commandId, preview, Msg(261));
  statusBar_->SetPaneText(0, ToQ(p));
}

void CMainFrame::OnStatusPanel() {
  if (!statusDlg_) return;
  statusDlg_->setVisible(!statusDlg_->isVisible());
  if (view_) view_->RefreshCommands();
}

void CMainFrame::OnHelpFinder() { RequestHelpTopicOrSay(u"html\\afxc6ir8.htm"); }

void CMainFrame::OnAbout() {
  CAboutDlg dlg(this);
  dlg.exec();
}

void CMainFrame::OnCommand(int id) {
  switch (id) {
    case cmd::kExit: close(); return;
    case cmd::kAbout: OnAbout(); return;
    case cmd::kHelpTopics: OnHelpFinder(); return;
    case cmd::kStatusPanel: OnStatusPanel(); return;
    case cmd::kToolbar:
    case cmd::kStatusBar:
      if (view_) view_->RefreshCommands();
      return;
    default:
      if (view_) view_->OnCommand(id);
  }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (TraceMessagesOn()) TracePrintfA("OnClose\n");
  const int decision = CloseDecision(g_busyCounter.load(), view_ ? view_->ListRows() : 0);
  if (decision == 1) {
    ShowError(u"%s", Msg(254));
    event->ignore();
    return;
  }
  if (decision == 2 && ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(330)) != kIdYes) {
    event->ignore();
    return;
  }
  if (statusDlg_) {
    statusDlg_->hide();
    delete statusDlg_;
    statusDlg_ = nullptr;
  }
  if (view_) view_->ForgetStatusDialog();
  event->accept();
}

void CMainFrame::ShutDown() {
  if (view_) view_->OnDestroy();
}

void CMainFrame::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) {
    UpdateTitle(SizeType());
    RepositionStatusDialog();
  }
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  UpdateTitle(SizeType());
  RepositionStatusDialog();
}

void CMainFrame::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  RepositionStatusDialog();
}
