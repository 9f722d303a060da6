// The main view's commands: their state, their dispatch, pausing to ask,
// the keys and the context menu.

#include "ui/DelvoraView.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QToolButton>
#include <chrono>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoveryLog.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Wildcard.h"
#include "platform/Events.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "ui/Commands.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnButtons.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/WindowHelp.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListSort.h"
#include "ui/core/ListText.h"
#include "ui/core/MenuModel.h"
#include "volumes/NodeTable.h"

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
  s.progressPhase =
      theProgressAndStats().block[kStatItemsFound] > 0 || g_activityCode.load() >= 0 || ListRows() > 0 ? 1 : 0;
  s.statusDialogVisible = statusDlg_ && statusDlg_->isVisible();
  // Visible to the frame rather than visible: before the frame is first shown (and while
  // it is minimised) nothing is visible, yet the bars are shown with it.
  s.toolbarVisible = frame_->ToolBar() && frame_->ToolBar()->isVisibleTo(frame_);
  s.statusBarVisible = frame_->statusBar() && frame_->statusBar()->isVisibleTo(frame_);
  s.propertiesState = propertiesState_;
  return s;
}

void CDelvoraView::RefreshCommands() {
  if (frame_ && frame_->Commands()) frame_->Commands()->Apply(State());
}

void CDelvoraView::OnCommand(int id) {
  const int activity = g_activityCode.load();
  switch (id) {
    case cmd::kScan: OnScan(); break;
    case cmd::kSave: OnSave(); break;
    case cmd::kDiskImageLoad:
      if (activity == -1) OnDiskImageLoad();
      break;
    case cmd::kSessionLoad:
      if (activity == -1) OnSessionLoad();
      break;
    case cmd::kSessionSave:
      if (activity == -1) OnSessionSave();
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
      if (folderDisplay_ && treeHasFocus_)
        list_->SetFolderCheckState(tree_->CurrentFolder(), id == cmd::kSelect ? 2 : 1);
      else list_->CheckCurItems(id == cmd::kSelect);
      break;
    case cmd::kFind:
      if (!list_->isEnabled() || !findDlg_) break;
      findColumn_ = findDlg_->SearchDown() ? -1 : 7;
      findDlg_->show();
      findDlg_->raise();
      findDlg_->activateWindow();
      break;
    case cmd::kProperties: OnProperties(); break;
    case cmd::kFolderView:
      if (activity == -1 && ListRows() > 0) OnFolderView();
      break;
    case kCmdOpenFolder: list_->OpenSelectedFolder(); break;
    case kCmdParentFolder: list_->GoToParentFolder(); break;
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
    default: in.key = (ke->key() >= Qt::Key_A && ke->key() <= Qt::Key_Z) ? int('A' + (ke->key() - Qt::Key_A)) : 0;
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
