#include "carving/CarveScan.h"

#include <algorithm>

#include "carving/Bkf.h"
#include "carving/Mxf.h"
#include "carving/SectorProbe.h"
#include "carving/Zip.h"
#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "storage/IoTrace.h"

CarveScan::CarveScan(HdrReader* reader, CarveSink* sink) : driver_(reader), reader_(reader), sink_(sink) {
  if (reader && reader->SectorSize() >= kProbeBytes) sectorSize_ = reader->SectorSize();
  detect_ = DetectionWanted();
}

CarveScan::~CarveScan() = default;

bool CarveScan::DetectionWanted() {
  if (!g_appState) return true;
  return !g_appState->skipHeaders.load() && !g_appState->fileFilter;
}

void CarveScan::BeginRead(const uint8_t* buffer, size_t bytes, int64_t firstSector) {
  if (!buffer || bytes == 0) return;
  TraceZipRecords(buffer, bytes, firstSector);
  if (traceMxf == 2) {
    if (!mxfTrace_) mxfTrace_ = std::make_unique<MXFHdrScan>();
    mxfTrace_->Scan(buffer, bytes, firstSector, sectorSize_);
  }
  FeedRead(buffer, bytes, firstSector + int64_t((bytes + sectorSize_ - 1) / sectorSize_));
}

void CarveScan::FeedRead(const uint8_t* buffer, size_t bytes, int64_t endSector) {
  if (!buffer || bytes == 0) return;
  // One call per finished file; a parser sees the read once however often
  // the driver is asked.
  for (int round = 0; round < kFileTypeCount && driver_.ActiveCount() > 0; ++round) {
    const int done = driver_.ParseMore(buffer, bytes, endSector);
    if (done >= kFileTypeCount) break;
    SaveHdrNode(done, false);
  }
}

uint8_t CarveScan::HeaderSector(const uint8_t* sector, size_t bytesLeft, int64_t n) {
  if (!detect_ || !sector || bytesLeft < kProbeBytes) return kNoFileType;
  const uint8_t type = ProbeSectorSignature(sector, &driver_, n);
  if (traceBkf && (type == kTypeBkf || type == kNoFileType)) ParseBKFDescriptor(sector, bytesLeft, n);
  if (type == kNoFileType) return type;
  if (sink_ && sink_->TakeHeader(sector, bytesLeft, type, n)) return type;
  StartParser(type, sector, bytesLeft, n);
  return type;
}

void CarveScan::StartParser(int type, const uint8_t* sector, size_t bytesLeft, int64_t n) {
  HdrNode* p = driver_.Slot(type);
  if (!p || !sector || bytesLeft == 0) return;
  if (type == kTypeMts) {
    // A transport stream is not cut by packets that look like a start.
    if (!p->IsAtOrAfterStart(n)) return;
  } else {
    // A header of the same kind inside a running file: the older file is
    // dropped (it stays recorded without a size).
    if (p->state != kHdrIdle) driver_.ResetSlot(type);
    if (!p->enabled || (type != kTypeIdx && n < p->startLimit)) return;
  }
  p->headerSector = n;
  p->sectorSize = sectorSize_;
  const int r = driver_.Parse(type, sector, bytesLeft);
  if (r >= 0) SaveHdrNode(type, r == kFileTypePending);
}

void CarveScan::AbandonOpen() {
  for (int round = 0; round < kFileTypeCount; ++round) {
    const int t = driver_.Flush();
    if (t >= kFileTypeCount) break;
    driver_.ResetSlot(t);
  }
}

void CarveScan::EndPass() {
  AbandonOpen();
  if (mxfTrace_) mxfTrace_->Flush();
}

void CarveScan::ScanRead(const uint8_t* buffer, size_t bytes, int64_t firstSector) {
  BeginRead(buffer, bytes, firstSector);
  for (size_t off = 0; off + kProbeBytes <= bytes; off += sectorSize_)
    HeaderSector(buffer + off, bytes - off, firstSector + int64_t(off / sectorSize_));
}

void CarveScan::SaveHdrNode(int type, bool pending) {
  HdrNode* p = driver_.Slot(type);
  if (!p || p->headerSector < 0) return;
  HdrHit hit;
  hit.start = p->headerSector;
  hit.type = uint8_t(type);
  hit.flags = p->classByte | (p->sizeUnsure ? kHdrClassHeaderSized : 0);
  hit.value = uint16_t(p->counter);
  if (!pending) {
    if ((type == kTypeDoc || type == kTypeTif || type == kTypeZip) && p->refinedType) hit.type = p->refinedType;
    uint64_t size = std::min<uint64_t>(p->size, uint64_t(INT64_MAX));
    if (reader_) {
      // A file never runs past the drive's end.
      const int64_t sectors = reader_->SectorCount();
      const uint64_t room = hit.start < sectors ? uint64_t(sectors - hit.start) * sectorSize_ : 0;
      size = std::min(size, room);
    }
    hit.size = int64_t(size);
  }
  auto it = std::lower_bound(hits_.begin(), hits_.end(), hit.start,
                             [](const HdrHit& h, int64_t start) { return h.start < start; });
  if (it != hits_.end() && it->start == hit.start) {
    *it = hit;
  } else {
    it = hits_.insert(it, hit);
  }
  if (!pending) driver_.ResetSlot(type);
  if (traceMft) {
    TracePrintfA("%s @ %I64d %I64d %ld\n", FileTypeName(hit.type), hit.start, hit.size, int32_t(hit.value));
    theIoTrace().LogOp12(hit.type, hit.start, uint64_t(hit.size), hit.value);
  }
  if (sink_) sink_->HitSaved(hit, pending);
}

void CarveScan::TraceZipRecords(const uint8_t* buffer, size_t bytes, int64_t firstSector) {
  if (traceZip.load(std::memory_order_relaxed) != 2 || !buffer || firstSector < 0) return;
  if (!zipTrace_) {
    zipTrace_ = std::make_unique<HdrZIP>();
    zipTrace_->SetScanMode(1, 4);
    zipTrace_->SetScanSectorSize(sectorSize_);
  }
  // Reads that skip sectors (claimed or excluded ranges) start the search
  // afresh.
  zipTrace_->SetScanPosition(uint64_t(firstSector) * sectorSize_);
  zipTrace_->ZIPHdrScan(buffer, bytes);
}
