// The main view's scan: starting it and the worker's reports until the
// scan or save ends.

#include "ui/DelvoraView.h"

#include <QComboBox>
#include <QThread>
#include <QTimer>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoveryLog.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/Wildcard.h"
#include "platform/Events.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "ui/ChkCbBox.h"
#include "ui/FolderTree.h"
#include "ui/ListHeader.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnButtons.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/Viewing.h"
#include "ui/core/Activity.h"
#include "ui/core/CheckComboRules.h"
#include "ui/core/ListSort.h"
#include "ui/core/SaveRules.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

int Language() { return g_appState ? g_appState->language : 0; }

}  // namespace

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
  GlobalTextRef(kLookForText) = lookFor;
  GlobalTextRef(kLookForPattern) = lookFor_->FolderPatterns();
  // The names looked for: found files whose names fail it are not listed.
  g_currentDrive->SetFilter(lookFor_->NamePatterns(), nullptr);
  if (g_appState && !g_appState->saveToCopy) GlobalTextRef(kDestinationFolder) = FromQ(saveTo_->currentText());
  ClearResults();
  g_activityCode = kActivityScan;
  scanEnabled_ = true;
  // After ClearResults, which puts the idle caption back.
  scanButton_->setText(ToQ(Msg(97)));
  scanButton_->setIcon(dvres::Icon(dvres::Image::Pause));
  EnterScanningState();
  if (skip >= 0 && g_appState) g_appState->skipDeleted = uint8_t(skip);

  ScanRequest request;
  request.drive = g_currentDrive;
  request.selection.scanMode = uint8_t(scanModeRadio_);
  request.destination = GlobalTextRef(kDestinationFolder);  // Scan and Save's
  if (statusDlg_) statusDlg_->show();
  StartWorker([request](ViewSink* view) { return RunScan(request, view); });
}

// ---- worker reports ----

// The window as a scan (or a session load) starts: controls, progress, an
// empty log.
void CDelvoraView::EnterScanningState() {
  ApplyStepState();
  frame_->SetFolderViewButton(false);
  frame_->SetScanSaveItem(false, true);
  theProgressAndStats().phase = 1;
  if (statusDlg_) {
    statusDlg_->ShowProgress(true);
    statusDlg_->ClearLog();
  }
}

void CDelvoraView::OperationStarted() {
  QMetaObject::invokeMethod(
      this, [this] { OnWorkerStarted(); }, Qt::QueuedConnection);
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
  progressTimer_->start();
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
  if (g_activityCode.load() == kActivityScan && g_currentDrive) {
    // A scan's passes read metadata and sectors, not one known number of
    // bytes: its rate is the source's bytes read, its total what that makes
    // at the percentage reached, so the time left follows the percentage.
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
    QMetaObject::invokeMethod(
        this, [this, &list] { FillRecListOnGui(list); }, Qt::BlockingQueuedConnection);
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
  QMetaObject::invokeMethod(
      this, [this, itemsFound] { OnWorkerEnded(itemsFound); }, Qt::QueuedConnection);
}

void CDelvoraView::OnWorkerEnded(int64_t) {
  if (worker_.joinable()) worker_.join();
  progressTimer_->stop();
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
      closing =
          RecoveryStoppedText(uint32_t(checked > handled ? checked - handled : 0), saved, failed, skipped, corrupt);
      closingStyle = kMbIconWarning;
      if (statusDlg_) statusDlg_->AddLogLine(closing.substr(0, closing.find(u'\n')));
    } else {
      const RunResult result = LastRunResult();
      closing = RecoveryClosingText(result, saved, failed, skipped, corrupt,
                                    g_appState ? WStringView(g_appState->summaryText) : WStringView());
      if (result != RunResult::kComplete || failed + corrupt > 0) closingStyle = kMbIconWarning;
    }
    CloseRecoveryLog();
    // A log that could not be written is said, as dvscan says it.
    if (const WString logError = RecoveryLogError(); !logError.empty()) {
      closing += FormatW(u"\n\nThe recovery log could not be written: %s", logError);
      closingStyle = kMbIconWarning;
    }
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
    // The Long Scan hint is no help where the scan already said what the
    // source holds that it cannot read.
    if (n == 0 && closing.empty() && scanModeRadio_ == 0 && sessionLoadState_ == 0 && RunFailureText().empty())
      closing = Msg(204);
    if (g_engine && !stopped && sessionLoadState_ == 0) {
      std::vector<WString> fileSystems;
      for (const CVol* v : g_engine->volumes)
        if (v && (v->scanFlags & kVolScanSelected)) fileSystems.push_back(VolumeFileSystemName(*v));
      const WString note =
          DeletedFilesUnlistedNote(scanModeRadio_ == 0, g_appState && g_appState->skipDeleted.load() != 0, fileSystems);
      if (!note.empty()) {
        if (statusDlg_) statusDlg_->AddLogLine(note);
        closing = closing.empty() ? note : closing + u"\n\n" + note;
      }
    }
    sessionLoadState_ = 0;
    // The tips come while the activity code still reads 0; a minimised
    // frame gets them when the view next has the focus. A scan that did not
    // end as a whole has its own message instead.
    if (g_engine && n > 0 && closing.empty()) {
      if (frame_->isMinimized()) viewingTipsPending_ = true;
      else ShowViewingTips();
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
