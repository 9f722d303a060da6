#include "engine/Worker.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/CarvedFiles.h"
#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RaidScan.h"
#include "engine/RecoverDriver.h"
#include "engine/SectorPass.h"
#include "engine/SendObj.h"
#include "engine/Session.h"
#include "engine/VolumeRecovery.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "foundation/Utilities.h"
#include "platform/Errors.h"
#include "platform/Events.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "storage/RDrive.h"
#include "storage/SourceKind.h"
#include "storage/VolumeDefinition.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

WString g_elapsed;
WString g_scanEnding;
std::atomic<RunResult> g_lastResult{RunResult::kComplete};
WString g_runFailure;

// A scan that met read errors says so: the source, how far it got, how
// many reads failed and what it found. Empty when every read succeeded.
WString ReadErrorSummary(const Drive* drive, uint32_t errorsBefore, uint64_t found) {
  if (!drive || drive->TotalErrors() <= errorsBefore) return {};
  const uint32_t errors = drive->TotalErrors() - errorsBefore;
  WString where;
  if (drive->FirstErrorSector() >= 0) where = FormatW(u", the first in a read from sector %I64d", drive->FirstErrorSector());
  return FormatW(u"Reading %s failed %u times%s. The scan reached %d%% and found %I64d items; files in the "
                 u"unreadable areas may be missing or incomplete.",
                 drive->DisplayName(), errors, where, int(std::clamp(g_percentDone.load(), 0, 100)),
                 int64_t(found));
}

SendObj* CurrentSendObj() { return g_appState ? static_cast<SendObj*>(g_appState->sendObj) : nullptr; }

// The boot-sector search of a scan covers 2 MiB from its start.
constexpr uint32_t kSetupSearchBytes = 2097152;

// A source shorter than a volume on it (a partial image of a failing disk)
// is read as far as it goes; the rest reads as unreadable sectors.
void WarnOfShortSource(const NTFSObj& engine, ViewSink* view) {
  const Drive* d = engine.drive;
  if (!d || !view) return;
  for (size_t k = 0; k < engine.volumes.size(); k++) {
    const CVol* v = engine.volumes[k];
    if (!v || !engine.IsSelected(k) || !v->sizeSectors) continue;
    uint64_t sectors = 0;
    if (!ToDriveSectors(v->sizeSectors, v->sectorSize, d->SectorSize(), &sectors)) continue;
    const uint64_t have = d->SectorCount() > v->startSector ? d->SectorCount() - v->startSector : 0;
    if (sectors <= have) continue;
    view->LogLine(FormatW(u"The source is shorter than volume %d: its last %I64d of %I64d sectors are missing and "
                          u"read as unreadable.",
                          int32_t(k), int64_t(sectors - have), int64_t(sectors)));
  }
}

// A volume the drive knows but its family does not read says so.
void NoteVolumesNotRead(const NTFSObj& engine, ViewSink* view) {
  if (!view) return;
  for (size_t k = 0; k < engine.volumes.size(); k++) {
    const CVol* v = engine.volumes[k];
    const FamilyVolumeOps* ops = v && engine.IsSelected(k) ? FindVolumeOps(v->type) : nullptr;
    if (!ops || !ops->notReadReason) continue;
    const WString why = ops->notReadReason(*v);
    if (!why.empty()) view->LogLine(why);
  }
}

// The ordinary scan of the selected volumes, and in a Long Scan the sector
// pass and the families' mapping after it.
void ScanVolumes(NTFSObj& engine, uint8_t scanMode);

// Whether a family's options end the Long Scan before its sector pass.
bool EndsBeforeSectorPass(NTFSObj& engine) {
  for (const VolumeFamily* f : VolumeFamilies())
    if (f->scans && f->scans->endsBeforeSectorPass && f->scans->endsBeforeSectorPass(engine)) return true;
  return false;
}

// What the places where no volume was found hold that this version does
// not read (another disk-image format, an XFS or classic HFS volume, ...): each
// partition entry whose search found nothing, or the search's start on a
// source without a table.
std::vector<WString> ForeignContentNotes(Drive& drive, uint64_t start, bool* image) {
  std::vector<WString> notes;
  // Another disk-image format is the whole source: whatever the search
  // made of its clusters is not a disk.
  *image = false;
  if (const ForeignContent head = DescribeForeignContentAt(drive, 0); head.image) {
    *image = true;
    notes.push_back(
        FormatW(u"%s is %s, which this version does not read: convert it to a raw image (such as "
                u"with qemu-img convert -O raw) and scan that.",
                drive.DisplayName(), head.what));
    return notes;
  }
  const PartitionTable* table = drive.partitionTable.get();
  if (table && table->Count() > 0) {
    for (uint32_t i = 0; i < table->Count(); i++) {
      const PartitionEntry& e = table->Entry(i);
      if (e.searchResult) continue;
      const ForeignContent seen = DescribeForeignContentAt(drive, e.Start());
      if (!seen.what.empty())
        notes.push_back(FormatW(u"Partition %u of %s (at sector %I64d) holds %s, which this version does not read.",
                                i + 1, drive.DisplayName(), int64_t(e.Start()), seen.what));
    }
    return notes;
  }
  // A volume found where the probe looked is one a family reads.
  for (uint32_t i = 0; i < VolumeCount(drive); i++)
    if (const CVol* v = VolumeAt(drive, i);
        v && v->startSector == start && !(v->type == kVolNtfs && static_cast<const NTFSVol*>(v)->defaultVolume))
      return notes;
  const ForeignContent seen = DescribeForeignContentAt(drive, start);
  if (!seen.what.empty() && !seen.image)
    notes.push_back(FormatW(u"%s holds %s, which this version does not read.", drive.DisplayName(), seen.what));
  return notes;
}

// A RAID 5 set's parity holds whatever the order of its members and the
// rotation are, so its sample cannot tell a shuffled set: files in use
// whose clusters the volume's own metadata calls damaged can.
constexpr uint32_t kFewPoorFiles = 3;
// Nor can parity tell data chunks exchanged within their rows, and a
// volume whose boot sector survives may yield almost no file: the NTFS
// structure read through the set can. A damaged volume has a few records
// or units out of place; a wrong layout most of those in the chunks it
// misplaces.
constexpr uint32_t kFewMisplacedRecords = 4, kFewMisplacedUnits = 1, kFewMisplacedPages = 2;
void WarnOfRaidLayout(const NTFSObj& engine, ViewSink* view) {
  const auto* set = dynamic_cast<const RDrive*>(engine.drive);
  if (!set || !view || engine.StopRequested()) return;
  NtfsStructureSample seen;
  for (size_t k = 0; k < engine.volumes.size(); k++) {
    const CVol* v = engine.volumes[k];
    if (!v || v->type != kVolNtfs || !engine.IsSelected(k)) continue;
    const auto* ntfs = static_cast<const NTFSVol*>(v);
    if (ntfs->defaultVolume) continue;
    seen.records += ntfs->structure.records;
    seen.misplacedRecords += ntfs->structure.misplacedRecords;
    seen.units += ntfs->structure.units;
    seen.misplacedUnits += ntfs->structure.misplacedUnits;
    seen.pages += ntfs->structure.pages;
    seen.misplacedPages += ntfs->structure.misplacedPages;
  }
  const bool records =
      seen.misplacedRecords > kFewMisplacedRecords && uint64_t(seen.misplacedRecords) * 8 >= seen.records;
  const bool units = seen.misplacedUnits > kFewMisplacedUnits && uint64_t(seen.misplacedUnits) * 8 >= seen.units;
  const bool pages = seen.misplacedPages > kFewMisplacedPages && uint64_t(seen.misplacedPages) * 8 >= seen.pages;
  TracePrintfA("NTFS structure sample: %u of %u records, %u of %u compressed units, %u of %u log pages out of place\n",
               seen.misplacedRecords, seen.records, seen.misplacedUnits, seen.units, seen.misplacedPages, seen.pages);
  if (records || units || pages)
    view->LogLine(
        FormatW(u"Read through the set, %d of %d MFT records, %d of %d compressed units and %d of %d log "
                u"pages are not what the volume wrote there: the members, their order, the stripe size or "
                u"the rotation may be wrong.",
                int32_t(seen.misplacedRecords), int32_t(seen.records), int32_t(seen.misplacedUnits),
                int32_t(seen.units), int32_t(seen.misplacedPages), int32_t(seen.pages)));
  if (set->RaidType() != kRaid5) return;
  const uint32_t poor = engine.livePoorFiles, live = engine.liveFiles;
  if (poor <= kFewPoorFiles || uint64_t(poor) * 10 < live) return;
  view->LogLine(
      FormatW(u"%d of %d files in use are graded Poor: the members, their order, the stripe size or the "
              u"rotation may be wrong.",
              int32_t(poor), int32_t(live)));
}

// A search that found no boot sector on a RAID set says why it may not have.
WString WithRaidHint(const Drive* drive, const WString& failure) {
  if (!dynamic_cast<const RDrive*>(drive) || failure.find(Msg(424)) == WString::npos) return failure;
  return failure + u" On a RAID set the members, their order or the settings (stripe size, rotation) may be wrong.";
}

// Only the default volume stands in the table: the search found none.
bool OnlyTheDefaultVolume(const NTFSObj& engine) {
  if (engine.volumes.size() != 1 || !engine.volumes[0] || engine.volumes[0]->type != kVolNtfs) return false;
  return static_cast<const NTFSVol*>(engine.volumes[0])->defaultVolume;
}

// Says what the source holds that no reader here reads. A Quick Scan that
// found no volume, or whose source is another disk-image format, ends
// there (nothing it could read, and a Long Scan would find only the files
// it recognises by their contents); otherwise each note goes to the log.
void ReportForeignContent(NTFSObj& engine, const ScanRequest& request, ViewSink* view) {
  if (!engine.drive) return;
  const ScanSelection& s = request.selection;
  const int64_t start = s.overrideStart != -1 ? s.overrideStart : s.startSector;
  bool image = false;
  const std::vector<WString> notes = ForeignContentNotes(*engine.drive, uint64_t(std::max<int64_t>(start, 0)), &image);
  if (notes.empty()) return;
  if (s.scanMode == 0 && (image || OnlyTheDefaultVolume(engine))) {
    WString text;
    for (const WString& n : notes) text += (text.empty() ? u"" : u"\n") + n;
    ErrorMsg(text);
    throw DvCodeError{kNothingReadable};
  }
  if (!view) return;
  for (const WString& n : notes)
    view->LogLine(s.scanMode == 0 ? n : n + u" The Long Scan lists only the files it recognises by their contents.");
}

}  // namespace

const WString& ElapsedText() { return g_elapsed; }
RunResult LastRunResult() { return g_lastResult.load(); }
const WString& RunFailureText() { return g_runFailure; }
const WString& ScanEndingText() { return g_scanEnding; }

uint8_t GetScanFlags(uint8_t scanMode, uint8_t driveFlag, WStringView driveName) {
  if (scanMode == 0 && Drive::IsDriveLetter(driveName) && driveFlag == 0) return 1;
  return (g_appState && g_appState->skipDeleted) ? 2 : 3;
}

int SetupNTFS(NTFSObj& engine, const ScanRequest& request) {
  TRACE_FN("SetupNTFS");
  Drive* drive = engine.drive;
  if (!drive) return 0;
  if (request.session) {
    // A loaded session brings its own tables: nothing is searched.
    engine.TakeSession(*request.session);
    return 0;
  }
  const ScanSelection& selection = request.selection;
  const int64_t start = selection.overrideStart != -1 ? selection.overrideStart : selection.startSector;
  // The view has the drive find its volumes before a Quick Scan of a disk
  // (and lets the user choose among them); a scan that finds the table empty
  // has them found here, so the table is the same either way. A volume
  // device has no partition table: the search below finds its volume.
  if (!drive->IsVolumeDevice() && VolumeCount(*drive) == 0) ScanPartitions(*drive);
  if (!(traceMft && traceSequentialSearch) && start >= 0)
    SearchBootSectors(*drive, uint64_t(start), int32_t(kSetupSearchBytes / drive->SectorSize()), false, nullptr);
  if (VolumeCount(*drive) == 0 && !selection.forbidDefaultVolume) {
    CVol* v = engine.CreateDefaultVolume();
    if (engine.AddVolume(v) < 0) DeleteVol(&v);
  }
  return 0;
}

int SearchFS(const ScanRequest& request, NTFSObj& engine, ViewSink* view) {
  TRACE_FN("SearchFS");
  const ScanSelection& selection = request.selection;
  SendObj* send = CurrentSendObj();
  const WString name =
      !selection.name.empty() || !request.drive ? selection.name : WString(request.drive->DisplayName());
  if (view) view->ProgressText(0, FormatW(Msg(557), name));
  engine.sendObj = send;
  engine.scanMode = selection.scanMode;
  engine.saveDestination = request.destination;
  engine.diskFullAnswer = request.diskFullAnswer;

  const uint8_t flags =
      GetScanFlags(selection.scanMode, 0, request.drive ? WStringView(request.drive->Name()) : WStringView());
  if (g_appState) {
    if (g_appState->skipDeleted && flags == 1 && view)
      view->LogLine(u"The Quick Scan on an active drive always displays deleted files only. The 'Skip Deleted "
                    u"Files and Folders' option is ignored.");
    // The run's display flags, which the families read in its options.
    g_appState->scanFlag = flags;
  }
  // What opening the source found (a virtual disk cut short) goes with
  // every scan of it.
  if (request.drive && view)
    for (const WString& note : request.drive->notes) view->LogLine(note);
  TracePrintfA("Call SetupNTFS\n");
  SetupNTFS(engine, request);
  if (request.session) {
    // The session road: the file's list instead of a scan.
    if (view && !request.session->note.empty()) view->LogLine(request.session->note);
    for (CVol* v : engine.volumes) v->engine = &engine;
    if (send) send->SendMsg2(0, kCodeFoundItems, true);
    engine.ReadDVS(*request.session);
    if (send) {
      send->SendMsg2(6000, kCodeFoundItems, true);
      send->SetPercentComplete(100, kCodeFoundItems, 0);
      send->SendMsg2(6000, kCodeFoundItems, false);
    }
    if (request.drive) request.drive->ReleaseBuffers();
    return 0;
  }
  if (traceRaid) {
    if (RDrive* set = dynamic_cast<RDrive*>(request.drive)) {
      // The RAID diagnostics: the members into the recording, no files.
      if (send) send->SendMsg2(0, kCodeFoundItems, true);
      if (ScanRAID(engine, *set) < 0) throw DvCodeError{0};
      if (send) {
        send->SetPercentComplete(100, kCodeFoundItems, 0);
        send->SendMsg2(6000, kCodeFoundItems, false);
      }
      set->ReleaseBuffers();
      return 0;
    }
  }
  engine.SelectPartition(selection.selectionKind, selection.selectedVolume, selection.userStart, selection.userCount);
  if (engine.endVolume > int32_t(engine.volumes.size())) engine.endVolume = int32_t(engine.volumes.size());
  if (engine.firstVolume < 0 || engine.firstVolume >= engine.endVolume) {
    ErrorMsg(FormatW(u"Volume %d is not in the volume table (%d volumes).", int(selection.selectedVolume),
                     int(engine.volumes.size())));
    throw DvCodeError{0};
  }
  if (send) send->SendMsg2(0, kCodeFoundItems, true);
  WarnOfShortSource(engine, view);
  ReportForeignContent(engine, request, view);

  NoteVolumesNotRead(engine, view);

  engine.ComputePercentForVolumes();
  // The volumes belong to the drive and may have served an earlier engine.
  for (CVol* v : engine.volumes) v->engine = &engine;
  ScanVolumes(engine, selection.scanMode);
  WarnOfRaidLayout(engine, view);
  // Final flush: the last batch, then 100 %, and wait until the view has it.
  if (send) {
    send->SendMsg2(6000, kCodeFoundItems, true);
    send->SetPercentComplete(100, kCodeFoundItems, 0);
    send->SendMsg2(6000, kCodeFoundItems, false);
  }
  if (request.drive) request.drive->ReleaseBuffers();
  if (engine.drive) FreeVolumeBuffers(*engine.drive);
  else
    for (CVol* v : engine.volumes) v->FreeBuf();
  return 0;
}

namespace {

void ScanVolumes(NTFSObj& engine, uint8_t scanMode) {
  TracePrintfA("SearchFS scanning drives\n");
  // Volumes each family has read so far (a family may report a scan that
  // read none of its volumes).
  std::unordered_map<const FamilyScanOps*, int> read;
  int step = 0;
  const uint8_t walkBit = scanMode == 0 ? kWalkInQuickScan : kWalkInLongScan;
  // A family's own volume pass (its option set) takes the place of the
  // ordinary scan.
  bool ownPass = false;
  for (size_t k = 0; k < engine.volumes.size() && !engine.StopRequested(); k++) {
    if (!engine.IsSelected(k)) continue;
    const FamilyScanOps* f = FindScanOps(engine.volumes[k]->type);
    if (f && f->ownVolumePass && f->ownVolumePass(*engine.volumes[k], engine)) ownPass = true;
  }
  for (size_t k = 0; k < engine.volumes.size() && !engine.StopRequested() && !ownPass; k++) {
    if (!engine.IsSelected(k)) continue;
    TracePrintfA("Volume %d\n", int(k));
    CVol* v = engine.volumes[k];
    const uint32_t share = v->progressSteps;
    if (const FamilyScanOps* f = FindScanOps(v->type)) {
      if (f->quickScan) {
        QuickScanStep at;
        at.progressStart = step;
        at.lastVolume = int32_t(k) + 1 == engine.endVolume;
        at.familyVolumesRead = read[f];
        read[f] += f->quickScan(*v, engine, at);
      } else if (f->walkFolders & walkBit) {
        // The folder walk (a family whose volume has no root yet walks
        // nothing), and in a Long Scan the family's pass after it.
        ParseFSCm(v);
        if (scanMode != 0 && f->afterLongScanWalk && !engine.StopRequested()) f->afterLongScanWalk(*v, engine);
      }
    }
    step += int(share);
  }
  if (scanMode != 0 && !engine.StopRequested() && !ownPass) {
    // The Long Scan: every remaining sector, then each family ties what it
    // found to folders and shows what is left.
    if (engine.drive && !EndsBeforeSectorPass(engine)) ScanRemainingSectors(engine);
    // Carved files the metadata lists are tied to them; the rest are shown.
    if (!engine.StopRequested()) MapFilesToHdr(engine);
    if (!engine.StopRequested()) ProcUnknown(engine);
    for (const VolumeFamily* f : VolumeFamilies()) {
      if (engine.StopRequested()) break;
      if (f->scans && f->scans->finishLongScan) f->scans->finishLongScan(engine, engine.drive);
    }
  }
}

}  // namespace

namespace {
// The hand-over of the last run stays until the next run (the view may still
// be taking its last batch); it is freed then, or at exit.
std::unique_ptr<SendObj> g_lastSendObj;
}  // namespace

void ReleaseSendObj() {
  if (g_appState && g_appState->sendObj == g_lastSendObj.get()) g_appState->sendObj = nullptr;
  g_lastSendObj.reset();
}

namespace {

// The result of a run from how it ended. A stop the user asked for wins;
// a full destination also stops the recovery, but leaves it incomplete.
// `saved` and `unsaved` count the files a scan saved as it went (Scan and
// Save), which it does not list.
RunResult EndOf(bool scan, int failureCode, bool failed, bool readErrors, uint64_t listed, uint32_t saved,
                uint32_t unsaved) {
  const bool stopped = g_appState && g_appState->stopRequested.load() != 0;
  if (scan) {
    const uint64_t found = listed + saved + unsaved;
    if (stopped) return RunResult::kStopped;
    if (unsaved) return RunResult::kIncomplete;
    if (failed)
      return failureCode == kNothingReadable && found == 0 ? RunResult::kNothingFound : RunResult::kIncomplete;
    if (readErrors) return found == 0 ? RunResult::kSourceUnreadable : RunResult::kIncomplete;
    return found == 0 ? RunResult::kNothingFound : RunResult::kComplete;
  }
  if (g_recoveryTotals.destinationFull) return RunResult::kIncomplete;
  if (stopped) return RunResult::kStopped;
  if (failed || g_recoveryTotals.failed + g_recoveryTotals.corrupt > 0) return RunResult::kIncomplete;
  return RunResult::kComplete;
}

// The frame of every run: the run-control bytes cleared, a fresh hand-over,
// the view told of the start and the end, the failure and the read errors
// of the source reported, the elapsed time kept. `body` is the scan or the
// recovery.
template <class Body>
int RunWorker(ViewSink* view, const Drive* drive, bool scan, Body body) {
  const int64_t t0 = SteadyNowNs();
  if (g_appState) {
    g_appState->stopRequested = 0;
    g_appState->pauseRequested = 0;
    g_appState->busyFlag = 0;
  }
  ReleaseSendObj();
  theProgressAndStats().Reset();
  g_lastSendObj = std::make_unique<SendObj>();
  SendObj* send = g_lastSendObj.get();
  if (g_appState) g_appState->sendObj = send;
  if (view) view->OperationStarted();
  send->SetView(view);
  const uint32_t errorsBefore = drive ? drive->TotalErrors() : 0;
  const uint32_t savedBefore = g_recoveryTotals.saved + g_recoveryTotals.skipped;
  const uint32_t unsavedBefore = g_recoveryTotals.failed + g_recoveryTotals.corrupt;
  g_scanEnding.clear();
  g_percentDone = 0;
  WString failure;
  int failureCode = -1;
  try {
    body();
  } catch (const DvCodeError& e) {
    send->Abandon();
    failure = WithRaidHint(drive, LastErrorText());
    failureCode = e.code;
  } catch (const DvTextError& e) {
    send->Abandon();
    failure = e.text;
  }
  const WString readErrors = scan ? ReadErrorSummary(drive, errorsBefore, send->ItemCount()) : WString();
  g_lastResult = EndOf(scan, failure.empty() ? -1 : failureCode, !failure.empty(), !readErrors.empty(),
                       send->ItemCount(), g_recoveryTotals.saved + g_recoveryTotals.skipped - savedBefore,
                       g_recoveryTotals.failed + g_recoveryTotals.corrupt - unsavedBefore);
  g_runFailure = failure;
  if (!readErrors.empty()) {
    // The status window's log and a tool's error output keep it; the view
    // shows it when the scan has ended.
    g_scanEnding = failure.empty() ? readErrors : failure + u"\n\n" + readErrors;
    if (view) view->LogLine(g_scanEnding);
  } else if (!failure.empty()) {
    ShowError(u"%s", failure);
  }
  const int64_t seconds = std::max<int64_t>(1, (SteadyNowNs() - t0) / kSteadyTicksPerSecond);
  g_elapsed = FormatW(Msg(60), FormatDuration(seconds));
  if (g_appState) g_appState->busyFlag = -1;
  if (view) view->OperationEnded(scan ? int64_t(send->ItemCount()) : 0);
  return 0;
}

}  // namespace

int RunScan(const ScanRequest& request, ViewSink* view) {
  // The last scan's results go now, not at the end of their scan: recovery
  // and preview work on its node table until this scan replaces it.
  delete g_engine;
  g_engine = nullptr;
  // The run's engine, published at once: the view's stop and its end read
  // it while the run goes on.
  NTFSObj* const engine = new NTFSObj(request.drive);
  g_engine = engine;
  return RunWorker(view, request.drive, true, [&] { SearchFS(request, *engine, view); });
}

int RunRecovery(const RecoveryRequest& request, ViewSink* view) {
  return RunWorker(view, request.engine ? request.engine->drive : nullptr, false, [&] { RecoverFS(request, view); });
}
