// The main view's save road: the destination and the start of a recovery.

#include "ui/DelvoraView.h"

#include <QComboBox>
#include <QFileDialog>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoveryLog.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "ui/FolderTree.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnButtons.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/OptionRules.h"
#include "ui/core/SaveRules.h"
#include "volumes/VolumeSearch.h"

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
    // The recovery never writes onto the source, so an accepted dialog
    // ends in the refusal too: said here, before a folder or a log is made.
    CSameDrv dlg(this);
    if (RunDialog(dlg) == QDialog::Accepted) ShowError(u"%s", Msg(292));
    return;
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
      dlg.mode = overwriteMode_;
      dlg.always = overwriteAlways_ ? 1 : 0;
      if (RunDialog(dlg) != QDialog::Accepted) return;
      overwriteMode_ = uint8_t(dlg.mode);
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
  request.engine = g_engine;
  request.destination = dest;
  request.overwriteMode = overwriteMode_;
  StartWorker([request](ViewSink* view) { return RunRecovery(request, view); });
  bool present = false;
  for (int i = 0; i < saveTo_->count(); i++)
    if (saveTo_->itemText(i).compare(ToQ(dest), Qt::CaseInsensitive) == 0) present = true;
  if (!present) saveTo_->addItem(ToQ(dest));
}
