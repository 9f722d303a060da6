// The main view's option and source commands: Partial Scan, Sector
// Exclusion, Volume Affiliation, Overwrite Mode, the chained-image and set
// wizards, Disk Image Create, and the questions a scan, a source pick and a
// save ask around them (volume choice, usage tip, 4K sectors, exclusion
// review, affiliation). Each runs its dialog through RunDialog and stores the
// answer; the rules live in the dialogs' controllers.
#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <thread>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Events.h"
#include "platform/Format.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "storage/RaidSettings.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/OptionDialogs.h"
#include "ui/OwnButtons.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/SourceDialogs.h"
#include "ui/StatusDlg.h"
#include "ui/SupportDialog.h"
#include "ui/TraceDialog.h"
#include "ui/VolumeDialogs.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/OptionRules.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

std::function<void(QWidget*)>& DiskImageDialog() {
  static std::function<void(QWidget*)> open;
  return open;
}

}  // namespace

void SetDiskImageDialog(std::function<void(QWidget*)> open) { DiskImageDialog() = std::move(open); }

bool CDelvoraView::OnOptionCommand(int id) {
  const int activity = g_activityCode.load();
  switch (id) {
    case cmd::kPartialScan:
      OnPartialScan();
      return true;
    case cmd::kSectorExclusion:
      if (activity == kActivityIdle) OnSectorExclusion();
      return true;
    case cmd::kVolumeAffiliation:
      if (activity == kActivityIdle) RunVolumeAffiliation();
      return true;
    case cmd::kOverwriteMode:
      if (activity != kActivityRecovery) OnOverwriteMode();
      return true;
    case cmd::kLoadVmdk:
    case cmd::kLoadVhd:
      if (activity == kActivityIdle) OnLoadChain(id == cmd::kLoadVhd);
      return true;
    case cmd::kAdvancedVolumes:
      if (activity == kActivityIdle) OnAdvancedVolumes();
      return true;
    case cmd::kDiskImageCreate:
      if (activity != kActivityIdle || !g_currentDrive) return true;
      if (g_appState && g_appState->supportOption) OnSupportCommand();
      else if (DiskImageDialog()) DiskImageDialog()(this);
      return true;
    case cmd::kTrace: OnTrace(); return true;
    default:
      return false;
  }
}

void CDelvoraView::OnPartialScan() {
  CRange dlg(this);
  dlg.SetRange(g_appState ? g_appState->searchFirst : 0,
               g_appState ? int32_t(std::min<uint32_t>(g_appState->searchLimit, 2147483647u)) : 2147483647);
  if (RunDialog(dlg) != QDialog::Accepted || !g_appState) return;
  g_appState->searchFirst = dlg.Skip();
  g_appState->searchLimit = uint32_t(dlg.Maximum());
}

bool CDelvoraView::RunExclusionDialog(const WString& name) {
  DrvInfo* info = theDrvAttr().FindDrvInfo(name);
  if (!info || !g_currentDrive) return false;
  CExclusiveRangeDlg dlg(this);
  dlg.SetRanges(info->exclusions.get());
  dlg.SetBounds(0, g_currentDrive->SectorCount() * uint64_t(g_currentDrive->SectorSize()),
                g_currentDrive->SectorSize());
  dlg.SetDriveName(name);
  if (RunDialog(dlg) != QDialog::Accepted) return false;
  info->exclusions = dlg.TakeResult();
  return true;
}

void CDelvoraView::OnSectorExclusion() {
  if (currentSource_.empty()) return;
  if (!ExclusionApplies(currentSource_)) {
    ShowError(u"%s", Msg(168));
    return;
  }
  RunExclusionDialog(currentSource_);
}

bool CDelvoraView::RunVolumeAffiliation() {
  Drive* d = g_currentDrive;
  if (!d) return false;
  std::vector<AffiliationVolume> volumes;
  for (uint32_t i = 0; i < VolumeCount(*d); i++) {
    const CVol* v = VolumeAt(*d, i);
    AffiliationVolume a;
    if (v) {
      a.startSector = int64_t(v->startSector);
      a.sectorCount = int64_t(v->sizeSectors);
      a.sizeOverride = int64_t(v->sizeOverride);
    }
    volumes.push_back(a);
  }
  const bool physical = Drive::PhysicalDriveNumber(d->Name()) >= 0;
  affiliation_ = DefaultAffiliation(affiliation_, physical, d->DefaultBootSector(), int64_t(d->SectorCount()));
  CSelectVP dlg(this);
  dlg.SetVolumes(std::move(volumes), d->SectorSize(), int64_t(d->SectorCount()));
  dlg.SetAnswer(affiliation_);
  if (RunDialog(dlg) != QDialog::Accepted) return false;
  affiliation_ = dlg.Answer();
  const std::vector<int64_t>& overrides = dlg.Overrides();
  for (uint32_t i = 0; i < VolumeCount(*d) && i < overrides.size(); i++)
    if (CVol* v = VolumeAt(*d, i)) v->sizeOverride = uint64_t(overrides[i]);
  return true;
}

void CDelvoraView::OnOverwriteMode() {
  CDuplicate dlg(this);
  dlg.SetHideNotEmpty();
  dlg.mode = overwriteMode_;
  dlg.always = OverwriteAlways() ? 1 : 0;
  if (RunDialog(dlg) != QDialog::Accepted) return;
  overwriteMode_ = uint8_t(dlg.mode);
  SetOverwriteAlways(dlg.always != 0);
}

void CDelvoraView::OnLoadChain(bool vhd, const WString& child, const WString& parent) {
  CChainDskImgsDlg dlg(this);
  dlg.SetVhd(vhd);
  if (!child.empty()) dlg.Rules().AddLink(child);
  if (!parent.empty()) dlg.SetBasePath(ToQ(parent));
  if (RunDialog(dlg) != QDialog::Accepted || dlg.Definition().empty()) return;
  const WString definition = dlg.Definition();
  if (lookIn_->FindRow(definition) < 0) {
    const QSignalBlocker block(lookIn_);
    lookIn_->AddItem(ToQ(definition), 1, definition);
  }
  lookIn_->setCurrentIndex(lookIn_->FindRow(definition));
  OnLookInSelChange();
}

void CDelvoraView::OnAdvancedVolumes() {
  std::unique_ptr<MemberSourceInfo> info = MakeMachineMemberInfo();
  const int available = MachineDiskCount();
  WString typeText;
  int rotation = -1;
  WString schemaPath;
  WString definition;
  RaidSettings settings;
  try {
    for (;;) {
      CAdvancedVolume kind(this);
      kind.SetTypeText(typeText);
      kind.SetRotation(rotation);
      kind.SetAvailableDisks(available);
      if (RunDialog(kind) != QDialog::Accepted) return;
      AdvancedVolumeRules& k = kind.Rules();
      typeText = kind.TypeText();
      rotation = k.rotation;
      const int type = k.TypeCode();
      if (type == 2) {
        CSpanned span(this);
        span.SetSources(MachineMemberSources({3, 4, 8, 9}), info.get());
        if (RunDialog(span) != QDialog::Accepted) return;
        definition = span.Rules().definition;
        if (definition.empty()) continue;  // Back
        break;
      }
      int members = k.disks;
      if (type == 8) {
        COpenSchemaFile schema(this);
        schema.SetPath(schemaPath);
        schema.SetAvailableDisks(available);
        if (RunDialog(schema) != QDialog::Accepted) return;
        if (schema.back) continue;
        schemaPath = schema.Rules().path;
        members = schema.Rules().disks;
      }
      CRAID raid(this);
      raid.SetParams(type, members, MachineMemberSources(type == 3 || type == 8 ? std::vector<int>{3, 4, 8, 9}
                                                                                : std::vector<int>{}),
                     info.get(), k.rotation, k.delay);
      if (RunDialog(raid) != QDialog::Accepted) return;
      if (raid.back) continue;
      definition = raid.Rules().definition;
      int coefficients = 0, order = 0;
      if (type == 9 && raid.Rules().WantsGeneratorPage()) {
        CRAID6Settings gen(this);
        gen.SetRotation(k.rotation);
        if (RunDialog(gen) != QDialog::Accepted) return;
        if (gen.back) continue;
        coefficients = gen.Rules().CoefficientMode();
        order = gen.Rules().Order();
      }
      settings = SettingsFromPages(k.blockBytes, k.delay, k.rotation, coefficients, order,
                                   type == 8 ? WStringView(schemaPath) : WStringView());
      break;
    }
  } catch (const DvCodeError&) {
    ShowLastError();
    return;
  }
  if (definition.empty()) return;
  // A spanned set keeps no settings.
  if (Drive::IsRaid(definition)) SetRaidSettings(definition, settings);
  {
    const QSignalBlocker block(lookIn_);
    lookIn_->AddItem(ToQ(definition), 0, definition);
    theDrvAttr().AddDrvInfo(std::make_unique<DrvInfo>(definition));
    lookIn_->setCurrentIndex(lookIn_->FindRow(definition));
  }
  OnLookInSelChange();
  if (currentSource_ != definition) {
    // The source could not be opened: the row and its record go again.
    const int row = lookIn_->FindRow(definition);
    if (row >= 0) lookIn_->RemoveItem(row);
    theDrvAttr().DeleteDrvInfo(definition);
    RevertLookIn();
  }
}

bool CDelvoraView::ChooseVolumesBeforeScan(DrvInfo* info, bool* chosen) {
  Drive* d = g_currentDrive;
  *chosen = false;
  const bool hasRange = info && info->values64[0] != -1;
  if (WantsVolumeChoice(scanModeRadio_, d->IsVolumeDevice(), hasRange, false)) {
    // The last scan's engine keeps its own table (its results stay until
    // the scan really starts); the choice is made on a fresh one.
    std::shared_ptr<void> kept = d->volumeList;
    d->volumeList = std::make_shared<VolumeList>();
    WString error;
    bool stopped = false;
    bool ok = SearchVolumesLive(*d, &error, &stopped);
    if (ok) {
      CBootSect dlg(*d, this);
      ok = RunDialog(dlg) == QDialog::Accepted;
    } else if (!stopped) {
      ShowError(u"%s", error);
    }
    if (!ok) {
      d->volumeList = kept;
      return false;
    }
    *chosen = true;
    return true;
  }
  if (d->usageTip) {
    const std::vector<DiskExtent> extents = theDrvList().GetVolumeExtents(d->DevicePath());
    if (WantsUsageTip(scanModeRadio_, d->IsVolumeDevice(), hasRange, d->usageTip, extents.size())) {
      const CPhysDisk* disk = extents.empty() ? nullptr : theDiskList().Disk(size_t(extents[0].diskNumber));
      const WString text = UsageTipText(FromQ(MessageOr(123, u"&Look in:")), disk ? disk->GetDisplayName() : WString(),
                                        d->Name());
      if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", text) != kIdYes) return false;
      d->usageTip = 0;
    }
  }
  return true;
}

// The search reads the source, which on a failing disk takes minutes: it
// runs on a thread while the window stays live, its reads shown in the
// status panel and the Scan button (as Pause) its abort.
bool CDelvoraView::SearchVolumesLive(Drive& d, WString* error, bool* stopped) {
  *stopped = false;
  g_activityCode = kActivityScan;
  g_busyCounter++;
  if (g_appState) g_appState->stopRequested = 0;
  stopAsked_ = false;
  scanButton_->setText(ToQ(Msg(97)));
  scanButton_->setIcon(dvres::Icon(dvres::Image::Pause));
  ApplyStepState();
  CProgressAndStats& stats = theProgressAndStats();
  stats.phase = 1;
  stats.percent = 0;
  stats.startTicks = SteadyNowNs();
  stats.pausedSeconds = 0;
  stats.rateShown = true;
  stats.SetProgressText(FormatW(u"Looking for volumes on %s", d.DisplayName()));
  scanBytesBase_ = d.BytesRead();
  if (statusDlg_) {
    statusDlg_->ResetForRun();
    statusDlg_->ShowProgress(true);
    statusDlg_->show();
    frame_->RepositionStatusDialog();
  }
  frame_->SetProgressShown(true, 0);
  progressTimer_->start();

  QEventLoop loop;
  std::atomic<bool> done{false};
  bool ok = true;
  std::thread search([&] {
    try {
      ScanPartitions(d);
    } catch (const DvCodeError&) {
      ok = false;
      *error = LastErrorText();
    } catch (const DvTextError& e) {
      ok = false;
      *error = e.text;
    } catch (const std::bad_alloc&) {
      ok = false;
      *error = u"Not enough memory to look for volumes.";
    }
    done = true;
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  if (!done) loop.exec();
  search.join();

  progressTimer_->stop();
  *stopped = stopAsked_ || (g_appState && g_appState->stopRequested.load() != 0);
  stopAsked_ = false;
  if (g_appState) g_appState->stopRequested = 0;
  if (statusDlg_) statusDlg_->ShowProgress(false);
  frame_->SetProgressShown(false, 0);
  stats.rateShown = false;
  stats.phase = 0;
  stats.SetProgressText(WString());
  if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(Msg(172) + u" "));
  if (g_busyCounter > 0) g_busyCounter--;
  g_activityCode = kActivityIdle;
  scanButton_->setText(ToQ(Msg(91)));
  scanButton_->setIcon(dvres::Icon(dvres::Image::Scan));
  scanEnabled_ = true;
  ApplyStepState();
  return ok && !*stopped;
}

void CDelvoraView::AfterSourceOpened(Drive* drive, const WString& name) {
  if (WantsFourKQuestion(drive->IsImage() && !drive->Forced512(), drive->HostSectorSize())) {
    const int answer = ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(663));
    drive->ForceSectorSize(answer == kIdYes ? 4096 : 512);
  }
  DrvInfo* info = theDrvAttr().FindDrvInfo(name);
  if (info && drive->SectorCount() > 0) info->values64[1] = int64_t(drive->SectorCount()) - 1;
  if (WantsExclusionReview(name, info && info->exclusions && info->exclusions->Count() > 0,
                           sessionLoadState_ != 0))
    RunExclusionDialog(name);
}

void CDelvoraView::ApplyAffiliation() {
  if (!g_engine) return;
  g_engine->SelectPartition(affiliation_.mode, affiliation_.volumeIndex, affiliation_.firstSector,
                            affiliation_.sectorCount);
}

void CDelvoraView::OnTrace() {
  CTraceDialog dialog(this);
  if (RunDialog(dialog) != QDialog::Accepted) return;
  // The RAID trace scans every sector: a Long Scan.
  if (scanModeRadio_ == 0 && traceRaid && traceIo) OnScanModeChange(1);
}

void CDelvoraView::OnSupportCommand() {
  CMacroDialog dialog(this);
  RunDialog(dialog);
}
