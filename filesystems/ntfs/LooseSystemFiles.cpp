#include "filesystems/ntfs/LooseSystemFiles.h"

#include <memory>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "filesystems/ntfs/SysFile.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"
#include "volumes/ScanSink.h"

namespace {

// The collector and the copies of the records it holds (a slot borrows
// them); one a search, kept in the search's NTFS state slot.
struct Collector {
  Collector(ScanSink* engine, Drive* drive) : sys(engine, drive) {}
  SysFile sys;
  std::unique_ptr<inode> held[SysFile::slotCount];
  // Drive sector past which no record of the collected $MFT is expected.
  int64_t expectedEnd = 0;

  void Clear() {
    sys.Reset();
    for (auto& h : held) h.reset();
    expectedEnd = 0;
  }
  void UpdateEnd() {
    const uint32_t ss = sys.sectorSize ? sys.sectorSize : 512;
    // Without the $MFT record its length is unknown: the stretch of the
    // reserved records (0-15) and one read.
    int64_t span = int64_t(16) * sys.recordSpan;
    if (const inode* mft = sys.slots[ntfs::kRecordMft]; mft && mft->size)
      span = int64_t(std::min<uint64_t>(mft->size / ss, uint64_t(INT64_MAX / 4)));
    expectedEnd = sys.base + span + int64_t(sys.hint);
  }
};

// The family's state for one search.
struct LongScanState {
  std::unique_ptr<Collector> collector;
  HTree* pieces = nullptr;  // extension records met by the pass
  ~LongScanState() { FreePieceTable(pieces); }
};

LongScanState* StateOf(ScanSink& engine, bool make) {
  std::shared_ptr<void>& slot = engine.FamilyState(kNodeNtfs);
  if (!slot && make) slot = std::make_shared<LongScanState>();
  return static_cast<LongScanState*>(slot.get());
}

Collector* CollectorOf(ScanSink& engine, Drive* drive, bool make) {
  LongScanState* state = StateOf(engine, make);
  if (!state) return nullptr;
  if (!state->collector && make) state->collector = std::make_unique<Collector>(&engine, drive);
  return state->collector.get();
}

}  // namespace

void NTFS::CollectSystemRecord(ScanSink& engine, Drive* drive, const inode& record) {
  if (record.id >= SysFile::slotCount || record.IsDirectory() != (record.id == ntfs::kRecordRoot)) return;
  Collector* c = CollectorOf(engine, drive, true);
  if (!c) return;
  auto copy = std::make_unique<inode>();
  if (!copy->CopyInode(&record)) return;
  copy->recordBytes = record.recordBytes;
  if (record.volumeName) copy->volumeName = std::make_unique<WString>(*record.volumeName);
  if (!c->sys.ProcSysFile(record.id, copy.get())) return;
  c->held[record.id] = std::move(copy);
  c->UpdateEnd();
}

int32_t NTFS::FlushSystemRecords(ScanSink& engine, Drive* drive, int64_t position, bool atEnd) {
  Collector* c = CollectorOf(engine, drive, false);
  if (!c || !c->sys.started || (!atEnd && position <= c->expectedEnd)) return -1;
  int32_t index = -1;
  NTFSVol* vol = c->sys.FlushSysFile(drive ? &index : nullptr);
  if (vol && !drive) delete vol;
  if (index >= 0)
    TracePrintfA("Volume %d rebuilt from its system records at %I64d\n", int(index), int64_t(c->sys.base));
  c->Clear();
  return index;
}

void NTFS::CollectExtensionRecord(ScanSink& engine, const inode& record) {
  if (record.id == kNoNodeId || !record.runs || record.HasPieces()) return;
  LongScanState* state = StateOf(engine, true);
  if (!state) return;
  if (!state->pieces && !(state->pieces = NewPieceTable())) return;
  auto* piece = new (std::nothrow) XEntry;
  if (!piece) return;
  piece->recordNumber = record.id;
  piece->baseRecord = uint64_t(record.baseRefLow) | (uint64_t(record.baseRefHigh & 0xFFFF) << 32);
  piece->firstVcn = record.firstVcn;
  piece->lastVcn = record.lastVcn;
  piece->realSize = record.size;
  piece->initializedSize = record.validSize;
  piece->allocatedSize = record.allocatedSize;
  piece->position = record.position;
  piece->runs = CopyRunList(record.runs);
  piece->volumeIndex = record.volumeIndex == kNoVolume ? -1 : int32_t(record.volumeIndex);
  piece->clusterCount = record.clusterCount;
  if (!piece->runs) {
    delete piece;
    return;
  }
  AddExt(piece, *state->pieces, record.creationTime);
}

void NTFS::AttachExtensionRecords(ScanSink& engine, Drive* drive) {
  LongScanState* state = StateOf(engine, false);
  if (!state || !state->pieces) return;
  const uint32_t ss = drive && drive->SectorSize() ? drive->SectorSize() : 512;
  CNdArray& nodes = engine.Nodes();
  for (int64_t i = 0, n = nodes.Count(); i < n && !engine.StopRequested(); i++) {
    cnode* c = nodes.GetAt(i);
    if (!c || !c->HasPieces() || (c->flags & kNodeHandedOver)) continue;
    bool missing = false;
    for (const XEntry* e = c->Pieces(); e && !missing; e = e->next) missing = !e->runs;
    if (missing) FindExt(static_cast<snode*>(c), state->pieces, ss);
  }
}
