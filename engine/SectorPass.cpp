#include "engine/SectorPass.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/DriveReader.h"
#include "carving/SectorProbe.h"
#include "engine/Engine.h"
#include "engine/Md5Segments.h"
#include "engine/RecordChecker.h"
#include "engine/SectorClassify.h"
#include "engine/SectorDiagnostics.h"
#include "engine/SegmentProfile.h"
#include "engine/SkipMap.h"
#include "engine/VolumeRecovery.h"
#include "foundation/AppState.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/JobQueue.h"
#include "platform/Memory.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "storage/IoThread.h"
#include "volumes/BootVolume.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// A structure cut by a chunk's end is joined with at most this much of the
// next chunk.
constexpr uint32_t kCarryLimit = 0x10000;
// Progress runs to 90 over the range; the passes after it go on from 89.
constexpr int kPassPercent = 90;
// What the tests of a sector on their own found (SectorPass::hints_).
constexpr uint8_t kHintKind = 1;    // a kind test took it without the context's history
constexpr uint8_t kHintHeader = 2;  // the header probe took it without the parsers' state

// A read still in flight into a pass buffer is completed before the
// buffers go, also when an action throws.
// While it lives, started reads go straight into the pass buffers.
struct PendingReadGuard {
  Drive& drive;
  explicit PendingReadGuard(Drive& d) : drive(d) { drive.SetStartedReadsDirect(true); }
  ~PendingReadGuard() {
    try {
      FinishScanChunk(drive);
    } catch (const DvCodeError&) {
    }
    drive.SetStartedReadsDirect(false);
  }
};

struct AlignedBuffer {
  explicit AlignedBuffer(size_t n) : p(static_cast<uint8_t*>(AlignedAlloc(n))) {}
  ~AlignedBuffer() { AlignedFree(p); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* p;
};

// Each header the probe recognises is offered to the families first (the
// raw recovery of Unix files from their block maps); one that takes it
// keeps it from being carved.
class FamilyHeaderSink : public CarveSink {
 public:
  FamilyHeaderSink(NTFSObj& engine, Drive& drive) : engine_(engine), drive_(drive) {}
  bool TakeHeader(const uint8_t* sector, size_t bytesLeft, int type, int64_t sectorNumber) override {
    for (const VolumeFamily* f : VolumeFamilies())
      if (f->scans && f->scans->takeCarvedHit &&
          f->scans->takeCarvedHit(engine_, &drive_, sector, bytesLeft, uint8_t(type), sectorNumber))
        return true;
    return false;
  }

 private:
  NTFSObj& engine_;
  Drive& drive_;
};

class SectorPass {
 public:
  explicit SectorPass(NTFSObj& engine) : engine_(engine), drive_(*engine.drive) {}
  int Run();

 private:
  // A chunk of the ring: its buffer, and what the tests of its sectors on
  // their own found (kHint bits, one byte a sector).
  struct Slot {
    std::unique_ptr<AlignedBuffer> buffer;
    ScanChunk chunk;
    bool skipped = false;
    bool hinting = false;              // its tests are posted and not yet waited for
    std::atomic<bool> dropped{false};  // the walk went on without them
    uint64_t job = 0;
    std::vector<uint8_t> hints;
  };
  void ClassifyChunk(const uint8_t* data, size_t bytes, const ScanChunk& chunk, const uint8_t* hints);
  // Classifies the sectors of `data` (its first sector at drive sector
  // `first`) from byte `from` while below byte `until`; returns the byte
  // offset where the next sector to classify lies (may be past `until`
  // when an action consumed more). Stops early when a structure is carried
  // over.
  size_t Classify(const uint8_t* data, size_t bytes, int64_t first, size_t from, size_t until,
                  const uint8_t* hints = nullptr);
  // The slot's hints, on a job thread: reads only the slot and the pass's
  // sector size.
  void Hint(Slot& slot, bool hfsDiagnostics) const;
  // Whether an action took the sector.
  bool Act(int kind, const uint8_t* sector, uint64_t bytesLeft, int64_t position, SectorVisit* visit);
  void VolumeFound(int32_t index);
  bool IsCovered(int64_t position, uint32_t bytes);
  void Progress(int64_t position, bool again);
  void OpenSideOutputs();
  bool Skippable(const ScanChunk& chunk);
  // A sector for the header probe; true when a header was recognised.
  bool Carve(const uint8_t* sector, uint64_t bytesLeft, int64_t position);
  void RecordCheck(const uint8_t* sector, uint64_t bytesLeft, int64_t position);

  NTFSObj& engine_;
  Drive& drive_;
  uint32_t ss_ = 512;
  ClassifyContext context_;
  // The last sector the context remembered.
  int64_t lastRemembered_ = INT64_MIN;
  // The tests of every sector on their own run on the job threads first
  // (a sector no test took alone is passed over in the ordered walk); the
  // families' actions and the carving parsers stay on the pass's thread.
  bool useHints_ = false;
  int64_t rangeFirst_ = 0, rangeLast_ = -1;
  int lastPercent_ = -1;
  // The carried structure: its bytes and its first drive sector.
  std::vector<uint8_t> carry_;
  int64_t carryFirst_ = -1;
  bool carried_ = false;  // set by Classify when it carried one over
  bool joining_ = false;  // classifying a joined structure: nothing carries again
  // A snapshot of the covered drive bytes, refreshed when the set changes.
  std::vector<CSectRanges::Range> covered_;
  uint32_t coveredCount_ = UINT32_MAX;
  uint64_t coveredGeneration_ = UINT64_MAX;
  // Side outputs: the skip map (binary: create or verify), the MD5 lists,
  // the segment profile and the record checker.
  std::unique_ptr<SkipMap> skipMap_;
  std::unique_ptr<Md5Segments> md5_;
  std::unique_ptr<SegmentProfile> profile_;
  std::unique_ptr<FgmQBW> checker_;
  // The carving driver: sectors of no acted-on kind go to its header probe.
  std::unique_ptr<DriveHdrReader> carveReader_;
  std::unique_ptr<FamilyHeaderSink> headerSink_;
  std::unique_ptr<CarveScan> carve_;
  int64_t checkerBase_ = 0;
  uint32_t checkerCluster_ = 0;

 public:
  uint64_t chunksRead = 0, chunksSkipped = 0;
};

int SectorPass::Run() {
  TRACE_FN("ScanRemainingSectors");
  ss_ = drive_.SectorSize();
  const int64_t driveSectors = int64_t(drive_.SectorCount());
  rangeFirst_ = g_appState ? std::max<int64_t>(0, g_appState->longScanFirstSector) : 0;
  rangeLast_ = driveSectors - 1;
  if (g_appState) rangeLast_ = std::min(rangeLast_, g_appState->longScanLastSector);
  if (rangeFirst_ > rangeLast_) return 0;
  const uint32_t transfer = std::max(drive_.TransferSize(), ss_);
  const bool overlap = !g_appState || g_appState->longScanOverlap;
  const unsigned wanted = g_appState ? g_appState->workThreads : 0;
  const unsigned threads = wanted ? std::min(wanted, 64u) : JobQueue::DefaultThreads(8);
  // One thread tests every sector in the walk itself, as the traces that
  // look at every sector of no kind need: none is passed over.
  useHints_ = threads > 1 && !traceBkf && !traceFileRecords;
  // Reads run ahead of the ordered walk by as many chunks as there are
  // threads to test them; without the overlap one chunk is read, then
  // classified.
  const size_t ring = overlap ? std::min<size_t>(size_t(threads) + 2, 10) : 1;
  std::vector<Slot> slots(ring);
  for (Slot& slot : slots) {
    slot.buffer = std::make_unique<AlignedBuffer>(transfer);
    if (!slot.buffer->p) {
      ErrorMsg(u"Out of memory.");
      throw DvCodeError{0};
    }
  }
  PendingReadGuard guard(drive_);
  // Its threads end before the buffers they test go.
  JobQueue jobs(threads > 1 ? threads - 1 : 0);
  // The pass's waits for its reads sleep: a spin would take a processor
  // from the tests.
  std::unique_ptr<IoWaitsSleep> sleepingWaits;
  if (threads > 1) sleepingWaits = std::make_unique<IoWaitsSleep>();
  std::unique_ptr<CSectRanges> exclusions;
  if (drive_.Exclusions()) exclusions = std::make_unique<CSectRanges>(*drive_.Exclusions());
  context_.hfsDiagnostics = false;
  OpenSideOutputs();
  carveReader_ = std::make_unique<DriveHdrReader>(&drive_);
  headerSink_ = std::make_unique<FamilyHeaderSink>(engine_, drive_);
  carve_ = std::make_unique<CarveScan>(carveReader_.get(), headerSink_.get());
  const bool classifying = !md5_ && !(traceUnixFsA && traceExtExtentBytes > 0);
  // A chunk that is read: its sectors are tested on the job threads.
  auto ready = [&](Slot& slot) {
    if (!classifying || !useHints_) return;
    Slot* p = &slot;
    slot.dropped = false;
    const bool hfs = context_.hfsDiagnostics;
    slot.job = jobs.Post([this, p, hfs] { Hint(*p, hfs); });
    slot.hinting = true;
  };

  std::deque<Slot*> order;  // the chunks read or being read, in drive order
  Slot* pending = nullptr;  // the read in flight
  ScanChunk next = NextScanChunk(drive_, exclusions.get(), rangeFirst_, rangeLast_);
  uint64_t reads = 0;
  int64_t expected = rangeFirst_;
  size_t free = 0;  // the next slot to fill (the ring is used in order)
  while (!engine_.StopRequested()) {
    engine_.WaitWhilePaused();
    if (engine_.StopRequested()) break;
    // Fill the ring; one read is left in flight while a chunk is walked.
    for (;;) {
      const bool room = next.sectors && order.size() < ring;
      if (pending && (room || pending == order.front())) {
        FinishScanChunk(drive_);
        ready(*pending);
        pending = nullptr;
      }
      if (!room) break;
      Slot& slot = slots[free];
      free = (free + 1) % ring;
      if (slot.hinting) {
        // Tests the walk did without: told to stop, they end soon.
        jobs.Wait(slot.job);
        slot.hinting = false;
      }
      slot.chunk = next;
      slot.skipped = Skippable(next);
      next = NextScanChunk(drive_, exclusions.get(), next.first + next.sectors, rangeLast_);
      order.push_back(&slot);
      if (slot.skipped) continue;
      if (overlap) {
        ReadScanChunk(drive_, slot.chunk, slot.buffer->p, false);
        pending = &slot;
      } else {
        ReadScanChunk(drive_, slot.chunk, slot.buffer->p, true);
        ready(slot);
      }
    }
    if (order.empty()) break;
    Slot& slot = *order.front();
    const uint8_t* hints = nullptr;
    if (slot.hinting) {
      if (jobs.Running(slot.job)) {
        // A test thread is still on it (a busy machine): the walk tests
        // the sectors itself rather than wait.
        slot.dropped = true;
      } else {
        // Done, or run here when no thread has taken it.
        jobs.Wait(slot.job);
        slot.hinting = false;
        hints = slot.hints.data();
      }
    }
    const ScanChunk& current = slot.chunk;
    const uint8_t* data = slot.buffer->p;
    const size_t bytes = size_t(current.sectors) * ss_;
    // Excluded sectors before this chunk are seen by the profile as skipped.
    if (profile_ && current.first > expected)
      profile_->Add(nullptr, uint64_t(current.first - expected) * ss_, expected);
    expected = current.first + current.sectors;
    if (slot.skipped) {
      // Nothing of interest here in the earlier run: not read, not classified.
      chunksSkipped++;
      carried_ = false;
      carry_.clear();
      if (profile_) profile_->Add(nullptr, bytes, current.first);
    } else if (md5_) {
      chunksRead++;
      // Hashing the blocks is all the pass does then.
      md5_->Add(data, bytes, current.first);
    } else if (!classifying) {
      chunksRead++;
      DumpExtExtentNodes(data, bytes, current.first, ss_, uint32_t(traceExtExtentBytes.load()));
    } else {
      chunksRead++;
      if (profile_) profile_->Add(data, bytes, current.first);
      ClassifyChunk(data, bytes, current, hints);
    }
    Progress(current.first + current.sectors - 1, (++reads & 15) == 0);
    order.pop_front();
  }
  // Tests still queued or running (a stop, a walk that went on without
  // them) end before the buffers go.
  for (Slot& slot : slots)
    if (slot.hinting) {
      slot.dropped = true;
      jobs.Wait(slot.job);
      slot.hinting = false;
    }
  // The last granule is settled once the pass has gone past it.
  if (skipMap_ && !engine_.StopRequested()) skipMap_->Mark(rangeLast_ + 1, false);
  if (!engine_.StopRequested()) engine_.SetPercentComplete(kPassPercent, 2);
  // The files still open end here (the trace scans give out what they
  // hold); the hits go to the engine in start order.
  carve_->EndPass();
  engine_.carvedHits = std::move(carve_->Hits());
  if (md5_) md5_->Close();
  if (profile_) profile_->Close();
  if (skipMap_) skipMap_->Close();
  return 0;
}

void SectorPass::ClassifyChunk(const uint8_t* data, size_t bytes, const ScanChunk& current, const uint8_t* hints) {
  // One feed of the read to the running carving parsers.
  carve_->BeginRead(data, bytes, current.first);
  size_t from = 0;
  // A structure carried over from the chunk before is joined with this
  // chunk's head and its sectors classified first.
  if (carried_) {
    carried_ = false;
    const size_t held = carry_.size();
    if (carryFirst_ + int64_t(held / ss_) == current.first) {
      const size_t head = std::min<size_t>(bytes, kCarryLimit);
      carry_.insert(carry_.end(), data, data + head);
      joining_ = true;
      const size_t at = Classify(carry_.data(), carry_.size(), carryFirst_, 0, held);
      joining_ = false;
      from = at > held ? at - held : 0;
    }
    carry_.clear();
  }
  Classify(data, bytes, current.first, from, bytes, hints);
}

void SectorPass::Hint(Slot& slot, bool hfsDiagnostics) const {
  const uint8_t* data = slot.buffer->p;
  const size_t bytes = size_t(slot.chunk.sectors) * ss_;
  const size_t sectors = slot.chunk.sectors;
  const int64_t first = slot.chunk.first;
  slot.hints.resize(sectors);
  // Sectors with room left for the header probe.
  const size_t probed = bytes >= kProbeBytes ? (bytes - kProbeBytes) / ss_ + 1 : 0;
  // No history: a kind a test gives only after an earlier sector of the
  // pass is looked for again in the ordered walk (kRememberedReach).
  ClassifyContext alone;
  alone.hfsDiagnostics = hfsDiagnostics;
  for (size_t i = 0; i < sectors; i++) {
    if ((i & 63) == 0 && slot.dropped.load(std::memory_order_relaxed)) return;
    const uint8_t* sector = data + i * ss_;
    alone.sector = first + int64_t(i);
    uint8_t h = 0;
    const int kind = ClassifySector(sector, nullptr, &alone);
    if (kind != kSectNone) {
      h |= kHintKind;
      alone.lastSector[size_t(kind)] = INT64_MIN;
    }
    if (i < probed && ProbeSectorSignature(sector, nullptr, alone.sector) != kNoFileType) h |= kHintHeader;
    slot.hints[i] = h;
  }
}

size_t SectorPass::Classify(const uint8_t* data, size_t bytes, int64_t first, size_t from, size_t until,
                            const uint8_t* hints) {
  size_t off = from;
  while (off < until && off + ss_ <= bytes) {
    if (engine_.StopRequested()) return until;
    const int64_t position = first + int64_t(off / ss_);
    const uint8_t* sector = data + off;
    context_.sector = position;
    engine_.curPos = position;
    if (checker_) RecordCheck(sector, bytes - off, position);
    if (hints && hints[off / ss_] == 0 &&
        (lastRemembered_ == INT64_MIN || position - lastRemembered_ > kRememberedReach)) {
      // No kind and no header, as the tests on their own found (the
      // parsers' state only ever turns a header down).
      if (skipMap_) skipMap_->Mark(position, false);
      off += ss_;
      continue;
    }
    const int kind = ClassifySector(sector, nullptr, &context_);
    if (kind != kSectNone && context_.lastSector[size_t(kind)] == position) lastRemembered_ = position;
    if (kind == kSectNone) {
      const bool hit = Carve(sector, bytes - off, position);
      if (!hit && traceFileRecords) ProbeUnknownSector(sector, bytes - off, position);
      if (skipMap_) skipMap_->Mark(position, hit);
      off += ss_;
      continue;
    }
    // Volume structures end every file the carving parsers have open.
    const SectorKindEntry* entry = FindSectorKind(kind);
    const bool ends = entry && (entry->flags & kKindEndsCarving);
    if (ends) carve_->AbandonOpen();
    SectorVisit visit;
    bool acted = Act(kind, sector, bytes - off, position, &visit);
    if (!acted && !ends) acted = Carve(sector, bytes - off, position);
    // Interesting for the skip map: a sector some action took, or a header.
    if (skipMap_) skipMap_->Mark(position, acted);
    if (visit.needBytes > bytes - off) {
      // Cut by the chunk's end: held until the next chunk comes.
      if (visit.needBytes <= kCarryLimit && !joining_) {
        carry_.assign(sector, data + bytes);
        carryFirst_ = position;
        carried_ = true;
        return bytes;
      }
      off += ss_;
      continue;
    }
    off += size_t(std::max<uint32_t>(1, visit.consumedSectors)) * ss_;
  }
  return off;
}

bool SectorPass::Act(int kind, const uint8_t* sector, uint64_t bytesLeft, int64_t position, SectorVisit* visit) {
  visit->engine = &engine_;
  visit->drive = &drive_;
  visit->kind = kind;
  visit->sector = sector;
  visit->bytesLeft = bytesLeft;
  visit->position = position;
  if (kind == kSectNtfsRecord) {
    // Records of a $MFT already read are never taken again.
    if (IsCovered(position, ss_)) return false;
  }
  bool taken = false;
  const SectorKindEntry* entry = FindSectorKind(kind);
  if (entry && entry->visit) {
    taken = entry->visit(*visit) != 0;
  } else if (entry && (entry->flags & kKindBootSector)) {
    // A boot sector of a family without its own action: the volume it
    // describes joins the table.
    const int type = ProbeVolumeKind(sector);
    if (type) visit->volumeFound = ProcBootCm(position, sector, uint8_t(type), nullptr, &drive_);
    taken = true;
  } else {
    return false;
  }
  if (visit->volumeFound >= 0) VolumeFound(visit->volumeFound);
  return taken;
}

void SectorPass::OpenSideOutputs() {
  if (!g_appState) return;
  if (!g_appState->md5Outputs.empty()) {
    md5_ = std::make_unique<Md5Segments>(g_appState->md5Outputs, ss_);
    if (!md5_->Active()) md5_.reset();
  }
  if (g_appState->skipMapsBinary && !g_appState->skipMaps.empty() && !g_appState->skipMaps[0].file.empty()) {
    skipMap_ = std::make_unique<SkipMap>(ss_);
    const std::string path = ToUtf8(g_appState->skipMaps[0].file);
    const bool ok = g_appState->skipMapsCreate ? skipMap_->CreateBinary(path) : skipMap_->OpenBinary(path, true);
    if (!ok) skipMap_.reset();
  }
  if (g_appState->segmentProfile) {
    profile_ = std::make_unique<SegmentProfile>();
    if (!profile_->Open(*g_appState->segmentProfile, ss_, theTrace().TraceFolder())) profile_.reset();
  }
  if (traceRecordChecker) {
    // Sectors at the first volume's cluster boundaries, clusters of 4 KiB
    // or more; the limit of the records' numbers is the content level.
    const CVol* first = VolumeCount(drive_) ? VolumeAt(drive_, 0) : nullptr;
    if (first && first->clusterSize >= 4096) {
      checker_ = std::make_unique<FgmQBW>(4, uint32_t(std::max<int32_t>(0, traceContent.load())));
      checkerBase_ = int64_t(first->startSector);
      checkerCluster_ = first->clusterSize / ss_;
    }
  }
}

bool SectorPass::Carve(const uint8_t* sector, uint64_t bytesLeft, int64_t position) {
  return carve_->HeaderSector(sector, size_t(bytesLeft), position) != kNoFileType;
}

// A chunk is skipped only when every 1 MiB granule it covers is.
bool SectorPass::Skippable(const ScanChunk& chunk) {
  if (!skipMap_ || skipMap_->Mode() != SkipMap::kVerify) return false;
  const int64_t last = chunk.first + int64_t(chunk.sectors) - 1;
  const int64_t granule = int64_t(skipMap_->GranuleSectors());
  for (int64_t s = chunk.first; s <= last; s = (s / granule + 1) * granule)
    if (!skipMap_->Test(s)) return false;
  return skipMap_->Test(last);
}

// The record checker reads 4 x 1024 bytes: only where the read still holds
// them (a sector nearer the end is not checked).
void SectorPass::RecordCheck(const uint8_t* sector, uint64_t bytesLeft, int64_t position) {
  if (position < checkerBase_ || !checkerCluster_ || (position - checkerBase_) % checkerCluster_) return;
  if (bytesLeft < checker_->BytesNeeded()) return;
  checker_->Check(sector, position);
}

// A volume the pass found is parsed at once by its family.
void SectorPass::VolumeFound(int32_t index) {
  CVol* v = VolumeAt(drive_, uint32_t(index));
  if (!v) return;
  v->engine = &engine_;
  TracePrintfA("Long Scan: volume %d of type %d at %I64d\n", int(index), int(v->type), int64_t(v->startSector));
  const FamilyScanOps* f = FindScanOps(v->type);
  if (!f) return;
  if (f->ownVolumePass && f->ownVolumePass(*v, engine_)) {
    // The family's own pass read it.
  } else if (f->parseFoundVolume) {
    f->parseFoundVolume(*v, engine_);
  } else if (f->quickScan) {
    QuickScanStep step;
    f->quickScan(*v, engine_, step);
  } else if (f->walkFolders & kWalkInLongScan) {
    ParseFSCm(v);
    if (f->afterLongScanWalk && !engine_.StopRequested()) f->afterLongScanWalk(*v, engine_);
  }
}

bool SectorPass::IsCovered(int64_t position, uint32_t bytes) {
  const CSectRanges* covered = drive_.Covered();
  if (!covered) return false;
  if (covered->Count() != coveredCount_ || engine_.CoveredGeneration() != coveredGeneration_) {
    covered_ = covered->List();
    coveredCount_ = covered->Count();
    coveredGeneration_ = engine_.CoveredGeneration();
  }
  const uint64_t first = uint64_t(position) * ss_, end = first + bytes;
  auto it = std::upper_bound(covered_.begin(), covered_.end(), first,
                             [](uint64_t v, const CSectRanges::Range& r) { return v < r.end; });
  return it != covered_.end() && it->first <= first && end <= it->end;
}

// Ninetieths of the range; every sixteenth read sends the step again.
void SectorPass::Progress(int64_t position, bool again) {
  const uint64_t span = uint64_t(rangeLast_ - rangeFirst_) + 1;
  const uint64_t done = uint64_t(position - rangeFirst_) + 1;
  const int p = int(std::min<unsigned __int128>((unsigned __int128)done * kPassPercent / span, 99));
  if (p != lastPercent_ || again) {
    lastPercent_ = p;
    engine_.SetPercentComplete(p, 2);
  }
}

}  // namespace

ScanChunk NextScanChunk(Drive& drive, CSectRanges* exclusions, int64_t position, int64_t last) {
  ScanChunk c;
  const uint32_t ss = drive.SectorSize();
  const uint64_t per = std::max<uint32_t>(1, std::max(drive.TransferSize(), ss) / ss);
  const uint64_t base = drive.ExtentFirstSector();
  while (position <= last) {
    int64_t end = last + 1;
    if (exclusions) {
      uint64_t xf = 0, xe = 0;
      exclusions->GetNextReadRange(&xf, &xe, base + uint64_t(position), ss);
      if (xf != CSectRanges::kNoRange) {
        const int64_t f = int64_t(xf - base), e = int64_t(xe - base);
        if (f <= position) {
          // Inside an excluded range: go on after it.
          position = std::max(position + 1, e);
          continue;
        }
        end = std::min(end, f);
      }
    }
    const int64_t aligned = int64_t((uint64_t(position) / per + 1) * per);
    end = std::min(end, aligned);
    c.first = position;
    c.sectors = uint32_t(end - position);
    return c;
  }
  return c;
}

void ReadScanChunk(Drive& drive, const ScanChunk& chunk, uint8_t* buffer, bool wait) {
  const uint32_t bytes = chunk.sectors * drive.SectorSize();
  if (!drive.ReadSectors(chunk.first, bytes, drive.RetryPiece(), buffer, wait)) throw DvCodeError{0};
}

void FinishScanChunk(Drive& drive) {
  if (drive.IoThread() && drive.IoThread()->Pending()) drive.FinishRead();
}

int ScanRemainingSectors(NTFSObj& engine) {
  if (!engine.drive) return 0;
  return SectorPass(engine).Run();
}
