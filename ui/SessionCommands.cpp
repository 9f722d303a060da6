// The main view's Session commands: Save writes the scan (and the list as
// CSV) through the session service; Load reopens the source a session names
// and has the worker build the list from the file instead of scanning.

#include <QApplication>
#include <QFileDialog>
#include <QStatusBar>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/Session.h"
#include "engine/SessionService.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "ui/ChkCbBox.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnButtons.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/SourceDialogs.h"
#include "ui/SaveSessionDialog.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/SessionRules.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

bool CDelvoraView::WriteSessionFile(const WString& path) {
  if (!CheckSessionTarget(path)) return false;
  SessionSaveRequest request;
  request.path = path;
  request.parms.scanMode = scanModeRadio_;
  request.parms.sourceName = currentSource_;
  request.parms.lookFor = lookFor_->Text();
  request.drive = g_currentDrive;
  request.engine = g_engine;
  ShowPaneText(299);
  // The list section keeps the rows in the list's order.
  const std::vector<CVol*> none;
  const std::vector<CVol*>& volumes = g_engine ? g_engine->volumes : none;
  const int rows = list_->GetItemCount();
  request.list.reserve(size_t(rows));
  FoundItem item;
  for (int i = 0; i < rows; i++) {
    item.nodeIndex = list_->GetItemNodeIndex(i);
    item.folderPath = list_->GetItemPath(i);
    ListNodeInfo info;
    item.volumeIndex = nodes_.GetNode(item.nodeIndex, info) ? info.volumeIndex : 0xFFFF;
    request.list.push_back(SessionItemOf(item, volumes));
  }
  ShowPaneText(409);
  if (!SaveSession(request)) return false;
  ShowPaneText(342);
  TracePrintfA("SaveMRU\n");
  if (g_appState) g_appState->RememberFolder(path, 0);
  return true;
}

void CDelvoraView::OnSessionSave() {
  if (g_activityCode.load() != kActivityIdle) return;
  if (IsNestedRaidSource(currentSource_)) {
    ShowError(u"%s", Msg(434));
    return;
  }
  CSaveSessionDlg dlg(this, folderDisplay_, g_currentDrive);
  if (RunDialog(dlg) != QDialog::Accepted) return;
  bool failed = false;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (dlg.saveSession && !WriteSessionFile(dlg.sessionName)) {
    failed = true;
    QApplication::restoreOverrideCursor();
    ShowError(u"%s", LastErrorText());
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  if (dlg.createCsv) {
    bool written = CheckSessionTarget(dlg.csvName);
    if (written && !list_->ExportList(ToQ(dlg.csvName))) {
      ErrorMsg(nullptr, dlg.csvName.c_str());
      written = false;
    }
    if (!written) {
      failed = true;
      QApplication::restoreOverrideCursor();
      ShowError(u"%s", LastErrorText());
      QApplication::setOverrideCursor(Qt::WaitCursor);
    }
  }
  QApplication::restoreOverrideCursor();
  if (!failed) ShowMessage(kMbIconInformation, u"%s", Msg(342));
}

void CDelvoraView::OnSessionLoad() {
  WString start;
  if (g_appState) start = GetInitialBrowseFolder(g_appState->lastFolders[0], g_appState->defaultFolder, true);
  const QString file = QFileDialog::getOpenFileName(this, QString(), ToQ(start), QtFilter(Msg(430)));
  if (file.isEmpty()) return;
  LoadSession(FromQ(file));
}

bool CDelvoraView::LoadSession(const WString& path) {
  if (g_activityCode.load() != kActivityIdle) return false;
  sessionLoadState_ = 1;
  const int rememberedMode = scanModeRadio_;
  std::unique_ptr<SLSession> session;
  SessionParms parms;
  bool addedInfo = false;
  WString name;
  try {
    int twoBytes[2] = {0, 0};
    session = BeginSessionLoad(path, &parms, twoBytes);
    name = NormalizeSessionSource(parms.sourceName);
    // The source must be there and be what the session was made of; the
    // check opens it once, the Look-in change below opens it for the scan.
    {
      Drive* probe = OpenSessionSource(parms);
      DeleteDrive(&probe);
    }
    if (!theDrvAttr().FindDrvInfo(name)) {
      theDrvAttr().AddDrvInfo(std::make_unique<DrvInfo>(name));
      addedInfo = true;
    }
    if (parms.scanMode != rememberedMode) OnScanModeChange(parms.scanMode);
    if (sessionLoadState_ == 2) throw DvCodeError{0};
    int row = lookIn_->FindRow(name);
    if (row < 0) {
      // An image (or set) the box does not list yet gets its row.
      const int kind = ClassifySessionSource(name);
      if (kind == 4 && theImageFiles().Find(name) < 0 && theImageFiles().Add(name) != 0)
        throw DvCodeError{0};
      if (kind == 5) {
        ErrorMsg(FormatW(Msg(146), name));
        throw DvCodeError{0};
      }
      const QSignalBlocker block(lookIn_);
      lookIn_->AddItem(ToQ(name), kind <= 2 ? 0 : 1, name);
      row = lookIn_->FindRow(name);
    }
    {
      const QSignalBlocker block(lookIn_);
      lookIn_->setCurrentIndex(row);
    }
    OnLookInSelChange();
    if (sessionLoadState_ == 2) {
      ErrorMsg(u"");
      throw DvCodeError{0};
    }
    if (!g_currentDrive || currentSource_ != name) {
      ErrorMsg(u"");
      throw DvCodeError{0};
    }
    lookFor_->SetText(parms.lookFor);
    GlobalTextRef(kLookForText) = parms.lookFor;
    GlobalTextRef(kLookForPattern) = lookFor_->FolderPatterns();
    g_currentDrive->SetFilter(lookFor_->NamePatterns(), nullptr);
    ReadSessionSections(*session, *g_currentDrive);
  } catch (const DvCodeError&) {
    // Everything as it was before the load.
    if (scanModeRadio_ != rememberedMode) {
      scanModeRadio_ = rememberedMode;
      quick_->setChecked(rememberedMode == 0);
      long_->setChecked(rememberedMode == 1);
      g_scanMode = rememberedMode;
    }
    if (addedInfo && name != currentSource_) theDrvAttr().DeleteDrvInfo(name);
    {
      const QSignalBlocker block(lookIn_);
      lookIn_->setCurrentIndex(currentSource_.empty() ? -1 : lookIn_->FindRow(currentSource_));
    }
    sessionLoadState_ = 0;
    const WString error = LastErrorText();
    if (!error.empty()) ShowError(u"%s", error);
    ApplyStepState();
    RefreshCommands();
    return false;
  }
  if (g_appState) g_appState->RememberFolder(path, 0);
  DeleteVolumes(*g_currentDrive);
  delete g_engine;
  g_engine = nullptr;
  ClearResults();
  if (frame_->statusBar()) frame_->statusBar()->clearMessage();
  g_activityCode = kActivityScan;
  EnterScanningState();
  if (statusDlg_) statusDlg_->show();
  ScanRequest request;
  request.drive = g_currentDrive;
  request.session = std::move(session);
  request.selection.scanMode = uint8_t(scanModeRadio_);
  StartWorker([request](ViewSink* view) { return RunScan(request, view); });
  return true;
}
