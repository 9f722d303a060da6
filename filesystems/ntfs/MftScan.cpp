// The NTFS metadata pass of a Quick Scan: the volume's $MFT is read in large
// pieces, every FILE record becomes a node, folders are mapped by record
// number; the shown nodes whose folders are known go out after each chunk,
// the rest (a parent later in the $MFT, a recycle bin's items) once every
// record is known.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "filesystems/ntfs/MftScan.h"

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/DevBitmap.h"
#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsFileData.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "filesystems/ntfs/RecycleBin.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr uint32_t kChunkBytes = 0x100000;
// Below this a source holds no volume of any family (a boot sector and
// the least of its metadata).
constexpr uint64_t kSmallestVolumeBytes = 4096;

// The compressed files whose units the pass samples, and the units at most.
constexpr size_t kSampledCompressedFiles = 16;
constexpr uint32_t kSampledUnits = 64;
constexpr uint32_t kSampledLogPages = 64;
// A file's units looked at, those of holes included.
constexpr uint32_t kUnitsLookedAt = 1024;

struct AlignedBuffer {
  explicit AlignedBuffer(size_t n) : p(static_cast<uint8_t*>(AlignedAlloc(n))) {}
  ~AlignedBuffer() { AlignedFree(p); }
  uint8_t* p;
};

}  // namespace

int NtfsReadMft(NTFSVol* volume, int report) {
  TRACE_FN("NTFSObj::ReadMFT");
  if (!volume) return -1;
  if (volume->LoadMftNode() != 0 || !volume->mftMap || volume->RecordCount() == 0) {
    if (report) {
      // A source too small for any volume is named as such: a Long Scan
      // would find nothing either.
      const Drive* d = volume->drive;
      if (d && uint64_t(d->SectorCount()) * d->SectorSize() < kSmallestVolumeBytes)
        VErrorMsg(u"%s is empty or too small to hold a volume.", d->DisplayName());
      else ErrorMsg(Msg(424));
      throw DvCodeError{424};
    }
    return -1;
  }
  volume->mftNode->volumeIndex = uint16_t(volume->index);
  volume->mftNode->flags |= kInodeAtHome | kInodeNumberKnown;
  volume->mftNode->id = 0;
  return 0;
}

namespace {

// One pass over a volume's $MFT: the records read in chunks and turned into
// nodes, then the folder paths built and the shown nodes handed over.
class MftPass {
 public:
  MftPass(NTFSVol* vol, ScanSink& engine, int firstStep)
      : vol_(vol),
        engine_(engine),
        nodes_(&engine.Nodes()),
        scanMode_(engine.ScanMode()),
        recSize_(vol->recordSize),
        show_(engine.Options().scanFlag.load()),
        firstStep_(firstStep),
        paths_(engine.Nodes()) {}

  int Run(uint64_t firstRecord);

 private:
  void FillChunk(uint8_t* buf, uint64_t first, uint32_t inChunk);
  void ParseRecord(uint8_t* rec, uint64_t r, uint64_t volByte, uint64_t records);
  void HandOver();
  // The $LogFile's pages and the first chunk header of the stored
  // compressed units of the files kept in compressed_, into the volume's
  // structure sample.
  void SampleCompressedUnits();
  // During the pass: the nodes added since the last call whose folders are
  // all known already, so that rows appear while the $MFT is read.
  void HandOverKnown();
  // One node to the view, as the hand-over rules say; early leaves a node
  // of a recycle bin (its INFO2 names it) or of a broken chain for the end.
  void HandOverNode(uint32_t idx, const WString& prefix, bool early);
  // A file not graded yet by the volume's bitmap (while the pass holds it).
  void GradeByBitmap(cnode* n, bool deleted) {
    if (vol_->bitmap && (n->flags & kNodeGradeMask) == 0) vol_->bitmap->DetermineFileStatus(n, deleted ? 1 : 0);
  }

  NTFSVol* const vol_;
  ScanSink& engine_;
  CNdArray* const nodes_;
  const uint8_t scanMode_;
  const uint32_t recSize_;
  const uint8_t show_;
  const int firstStep_;
  inode work_;
  // The folders by record, and the nodes this pass added, in order.
  NtfsFolderPaths paths_;
  std::vector<uint32_t> added_;
  std::vector<uint32_t> compressed_;  // compressed files in use, to sample
  int64_t logFile_ = -1;              // the $LogFile's node, to sample
  size_t knownUpTo_ = 0;              // added_ looked at by HandOverKnown
  int lastPercent_ = -1;
  // The chunk's pieces: (chunk offset, volume byte; 0 when unmapped).
  std::vector<std::pair<uint32_t, uint64_t>> pieces_;
};

int MftPass::Run(uint64_t firstRecord) {
  if (!vol_->mftMap || recSize_ < 512 || kChunkBytes % recSize_) return 0;
  if (scanMode_ == kScanLong && vol_->mirrorCluster) {
    // The mirror's copies of the first records are no loose records either.
    const uint32_t cs = vol_->clusterSize;
    const NodeRun run{int64_t(vol_->mirrorCluster), (4ull * recSize_ + cs - 1) / cs};
    engine_.AddNodeRanges(*vol_, &run, 1, cs, 0, 4ull * recSize_);
  }
  // The loop bound comes from disk: never past what the runs map.
  const uint64_t mapped = vol_->mftMap->TotalClusters() * uint64_t(vol_->clusterSize);
  const uint64_t records = std::min(vol_->RecordCount(), mapped / recSize_);
  const uint32_t perChunk = kChunkBytes / recSize_;
  // Past the initialised part the $MFT may hold anything: only records
  // before it are held to their place.
  const snode* mft = vol_->mftNode.get();
  const uint64_t written = mft ? std::min(mft->size, mft->validSize) / recSize_ : 0;
  vol_->structure = NtfsStructureSample{};
  AlignedBuffer buf(kChunkBytes);
  if (!buf.p) {
    ErrorMsg(u"Out of memory.");
    throw DvCodeError{0};
  }
  work_.names = nodes_;
  added_.reserve(size_t(std::min<uint64_t>(records, 1u << 20)));
  for (uint64_t first = firstRecord - firstRecord % perChunk; first < records && !engine_.StopRequested();
       first += perChunk) {
    const uint32_t inChunk = uint32_t(std::min<uint64_t>(perChunk, records - first));
    FillChunk(buf.p, first, inChunk);
    size_t piece = 0;
    for (uint32_t k = 0; k < inChunk; k++) {
      const uint64_t r = first + k;
      if (r < firstRecord) continue;
      if (engine_.StopRequested()) break;
      engine_.WaitWhilePaused();
      engine_.CountStat(kStatRecordsRead);
      uint8_t* rec = buf.p + size_t(k) * recSize_;
      const uint32_t off = k * recSize_;
      while (piece + 1 < pieces_.size() && pieces_[piece + 1].first <= off) piece++;
      const uint64_t base = pieces_[piece].second;
      if (base && r < written) {
        ++vol_->structure.records;
        if (!NTFS::RecordInPlace(rec, recSize_, r)) ++vol_->structure.misplacedRecords;
      }
      if (!base || !CheckFILERecord(rec) || rec[ntfs::kRecUsaOffset + 1] != 0) continue;
      ParseRecord(rec, r, base + (off - pieces_[piece].first), records);
    }
    HandOverKnown();
  }
  // Only a RAID set can misplace a unit's chunks; elsewhere the reads are
  // spared.
  if (!engine_.StopRequested() && dynamic_cast<const RDrive*>(vol_->drive)) SampleCompressedUnits();
  HandOver();
  vol_->bitmap.reset();
  engine_.CountStat(kStatVolumesScanned);
  return 0;
}

// Fills the chunk from the runs; an unmapped or unreadable piece reads as
// zeros (its records are then skipped) and its volume position as 0.
void MftPass::FillChunk(uint8_t* buf, uint64_t first, uint32_t inChunk) {
  const uint64_t streamFirst = first * recSize_;
  const uint32_t want = inChunk * recSize_;
  pieces_.clear();
  uint32_t filled = 0;
  while (filled < want) {
    uint64_t contiguous = 0;
    const uint64_t at = vol_->mftMap->MapByte(streamFirst + filled, &contiguous);
    const uint32_t cs = vol_->clusterSize;
    if (!at || !contiguous) {
      const uint32_t n = std::min<uint32_t>(want - filled, cs);
      std::memset(buf + filled, 0, n);
      pieces_.emplace_back(filled, 0);
      filled += n;
      continue;
    }
    const uint32_t n = uint32_t(std::min<uint64_t>(contiguous, want - filled));
    const uint32_t clusters = (n + cs - 1) / cs;
    uint32_t got = 0;
    const uint8_t* p = vol_->ReadClusters(buf + filled, int64_t(at / cs), clusters, 0, kChunkBytes - filled, &got);
    const uint32_t gotBytes = p ? std::min<uint32_t>(n, got * cs) : 0;
    if (gotBytes < n) std::memset(buf + filled + gotBytes, 0, n - gotBytes);
    if (at % cs) {  // runs are cluster-aligned; a misaligned map is not trusted
      std::memset(buf + filled, 0, n);
      pieces_.emplace_back(filled, 0);
    } else {
      pieces_.emplace_back(filled, at);
      // The Long Scan takes no FILE record of the stretches read here again.
      if (scanMode_ == kScanLong) {
        const NodeRun run{int64_t(at / cs), clusters};
        engine_.AddNodeRanges(*vol_, &run, 1, cs, 0, n);
      }
    }
    filled += n;
  }
}

// A non-resident size past the allocated size (or the volume) is damage:
// the size is cut to the initialised size when that fits, else to the
// allocated size. True when it was cut.
bool BoundDamagedSize(snode* n, uint64_t volumeBytes) {
  if (!n->runs || n->IsDirectory()) return false;
  uint64_t limit = n->allocatedSize ? n->allocatedSize : volumeBytes;
  if (volumeBytes && limit > volumeBytes) limit = volumeBytes;
  if (limit == 0 || n->size <= limit) return false;
  n->size = (n->validSize && n->validSize <= limit) ? n->validSize : limit;
  if (n->validSize > n->size) n->validSize = n->size;
  return true;
}

// One base FILE record of the chunk (record number r at volume byte
// volByte) into a node of the table.
void MftPass::ParseRecord(uint8_t* rec, uint64_t r, uint64_t volByte, uint64_t records) {
  inode& work = work_;
  NTFSVol* vol = vol_;
  work.Init(rec, vol);
  work.position = vol->startSector + volByte / vol->sectorSize;
  if (work.parseEntry() != 0) {
    engine_.CountStat(kStatRecordsSkipped);
    return;
  }
  engine_.CountStat(kStatRecordsParsed);
  // Extension records carry attributes of their base record only.
  if (work.baseRefLow || (work.baseRefHigh & 0xFFFF)) return;
  if (work.HasPieces()) vol->LoadPieces(&work);
  if (work.id == kNoNodeId || work.id != uint32_t(r)) {
    const int sys = NTFS::SystemFileRecordNumber(work.fileName);
    work.id = sys >= 0 ? uint32_t(sys) : uint32_t(r);
  }
  work.flags |= kInodeNumberKnown | kInodeAtHome;
  work.volumeIndex = uint16_t(vol->index);
  vol->SetNodeClusterCode(&work);
  const bool deleted = (work.flags2 & ntfs::kRecInUse) == 0;
  if (deleted) work.flags |= kNodeDeleted;
  if (work.residentData && work.size != 0 && work.size <= recSize_ && !work.runs)
    work.flags = uint16_t((work.flags & ~kNodeGradeMask) | GradeBits(kGradeGood));
  if (BoundDamagedSize(&work, uint64_t(vol->sizeSectors) * vol->sectorSize))
    work.flags = uint16_t((work.flags & ~kNodeGradeMask) | GradeBits(kGradePoor));
  if (work.id == ntfs::kRecordVolume) {
    vol->versionMajor = work.versionMajor;
    vol->versionMinor = work.versionMinor;
    if (vol->label.empty() && work.volumeName) vol->label = *work.volumeName;
  } else if (work.id == ntfs::kRecordBitmap && !deleted) {
    vol->ProcBitmap(&work);
    if (vol->sizeSectors == 0 && vol->bitmap) vol->sizeSectors = uint64_t(vol->bitmap->count) * vol->sectorsPerCluster;
  }
  // A $I record of the newer bin names a recycled item: the bin keeps it.
  if (NTFS::TakeRecycleRecord(vol, work)) return;
  int64_t idx = -1;
  cnode* stored = engine_.AddNewNode(&work, true, &idx);
  if (!stored) return;
  added_.push_back(uint32_t(idx));
  if (!deleted && (stored->flags2 & kNode2Compressed) && stored->runs && !stored->IsDirectory() &&
      compressed_.size() < kSampledCompressedFiles)
    compressed_.push_back(uint32_t(idx));
  if (!deleted && r == ntfs::kRecordLogFile && stored->runs) logFile_ = idx;
  if (stored->IsDirectory()) paths_.AddFolder(0, stored->id, uint32_t(idx));
  engine_.AddFoundCount(1);
  if (const uint32_t share = vol->progressSteps; share && scanMode_ == 0) {
    const int pc = firstStep_ + int(uint64_t(share) * (r + 1) / records);
    if (pc != lastPercent_) {
      lastPercent_ = pc;
      engine_.SetPercentComplete(std::min(pc, 100), 1);
    }
  }
}

void MftPass::SampleCompressedUnits() {
  if (logFile_ >= 0)
    if (const auto* n = static_cast<const snode*>(nodes_->GetAt(uint32_t(logFile_))))
      NTFS::SampleLogFilePages(vol_, n, kSampledLogPages, &vol_->structure);
  for (uint32_t idx : compressed_) {
    if (vol_->structure.units >= kSampledUnits || engine_.StopRequested()) break;
    if (const auto* n = static_cast<const snode*>(nodes_->GetAt(idx)))
      NTFS::SampleCompressedUnits(vol_, n, kSampledUnits, &vol_->structure);
  }
}

// The shown nodes not handed over yet, in record order. A missing or
// unreadable parent puts the file under "\Extra files\Folder<record>\".
void MftPass::HandOver() {
  // Paths start with the volume's two-character part: its letter or its
  // number code, and a colon.
  const WString prefix(vol_->driveLetter);
  // The older bins' INFO2 files first: they name the items beside them.
  for (uint32_t idx : added_) {
    cnode* n = nodes_->GetAt(idx);
    if (!n || n->IsDirectory() || (n->flags & kNodeHandedOver)) continue;
    const NtfsFolderPaths::Folder& folder = paths_.Path(0, n->parentId);
    if (folder.inRecycle && NTFS::ReadInfo2(vol_, n, folder.path)) n->flags |= kNodeHandedOver;
  }
  for (uint32_t idx : added_) {
    if (engine_.StopRequested()) break;
    HandOverNode(idx, prefix, false);
  }
}

void MftPass::HandOverKnown() {
  // The bitmap (record 6, in the first chunk) grades what goes out.
  if (!vol_->bitmap) return;
  const WString prefix(vol_->driveLetter);
  for (; knownUpTo_ < added_.size() && !engine_.StopRequested(); ++knownUpTo_)
    HandOverNode(added_[knownUpTo_], prefix, true);
}

void MftPass::HandOverNode(uint32_t idx, const WString& prefix, bool early) {
  cnode* n = nodes_->GetAt(idx);
  if (!n || (n->flags & kNodeHandedOver)) return;
  const bool deleted = (n->flags & kNodeDeleted) != 0;
  if (n->id == ntfs::kRecordRoot) return;
  if (deleted ? !(show_ & 1) : !(show_ & 2)) return;
  WString name = n->GetNameW();
  if (scanMode_ == 0 && n->id < 16 && !name.empty() && name[0] == u'$') return;
  if (name.empty()) return;
  if (early && !paths_.KnownNow(0, n->parentId)) return;
  const NtfsFolderPaths::Folder& found = paths_.Path(0, n->parentId);
  if (early && found.inRecycle) return;
  // In a Long Scan a node whose folder chain breaks waits for the passes
  // after the sector pass (its folder may be named from an index buffer).
  if (scanMode_ != kScanQuick && !found.complete) {
    if (!n->IsDirectory()) GradeByBitmap(n, deleted);  // the bitmap goes with this pass
    return;
  }
  // An item of a bin goes under the path it had before it was deleted.
  const WString folder = found.inRecycle ? NTFS::RecycledFolder(vol_, n, found.path, engine_) : found.path;
  if (found.inRecycle) name = n->GetNameW();
  if (const FileFilter* filter = engine_.Options().fileFilter.get(); filter && !filter->ContainsW(name)) return;
  if (engine_.PathFilterMatch((folder + name).c_str()) != 0) return;
  if (n->IsDirectory()) {
    if (deleted) n->flags = uint16_t((n->flags & ~kNodeGradeMask) | GradeBits(kGradePoor));
  } else {
    GradeByBitmap(n, deleted);
  }
  n->flags |= kNodeHandedOver;
  engine_.CountStat(kStatItemsFound);
  if (deleted) engine_.CountStat(kStatDeletedFound);
  if (n->IsDirectory()) engine_.CountStat(kStatFoldersFound);
  engine_.AddFoundCount(-1);
  engine_.StoreFileItem(prefix, folder, idx);
}

}  // namespace

int NtfsParseMft(NTFSVol* vol, ScanSink& engine, uint64_t firstRecord, int firstStep) {
  TRACE_FN("NTFSObj::ParseNTFS");
  return MftPass(vol, engine, firstStep).Run(firstRecord);
}

bool NTFS::RecordInPlace(const uint8_t* rec, uint32_t recSize, uint64_t r) {
  if (!CheckFILERecord(rec)) return false;
  const uint32_t usa = Le16(rec + ntfs::kRecUsaOffset), count = Le16(rec + ntfs::kRecUsaCount);
  if (count < 2 || usa + 2 * count > 510) return false;
  const uint16_t usn = Le16(rec + usa);
  const uint32_t strides = std::min(count - 1, recSize / 512);
  for (uint32_t i = 0; i < strides; i++)
    if (Le16(rec + i * 512 + 510) != usn) return false;
  if ((Le16(rec + ntfs::kRecFlags) & ntfs::kRecInUse) && usa == ntfs::kRecNewUsaOffset &&
      Le32(rec + ntfs::kRecNumber) != uint32_t(r))
    return false;
  return true;
}

void NTFS::SampleCompressedUnits(NTFSVol* vol, const snode* n, uint32_t maxUnits, NtfsStructureSample* sample) {
  const uint32_t cs = vol->clusterSize;
  // Compression is for clusters of up to 4 KiB.
  if (!cs || cs > 4096 || !n || !n->runs || sample->units >= maxUnits) return;
  inode w;
  if (!MakeDataReader(vol, n, nullptr, &w) || w.BuildMappingTablesAll() <= 0) return;
  CExtents& map = w.Map();
  std::vector<uint8_t> first(cs);
  // The size comes from disk: never past the runs' last data, and only so
  // many units of holes looked at.
  const uint64_t clusters = std::min((std::min(n->size, n->validSize) + cs - 1) / cs, DataEndVcn(map, UINT64_MAX));
  uint32_t looked = 0;
  for (uint64_t u = 0; u < clusters && sample->units < maxUnits && looked < kUnitsLookedAt;
       u += ntfs::kUnitClusters, ++looked) {
    const uint64_t end = u + ntfs::kUnitClusters;
    // A unit stored compressed: its clusters first, then holes.
    uint64_t stored = 0, startLcn = 0;
    bool hole = false, broken = false;
    for (uint64_t vcn = u; vcn < end;) {
      uint64_t left = 0, next = 0;
      const uint64_t lcn = map.VcnToLcn(vcn, &left, &next);
      if (left == 0) {
        hole = true;
        vcn += next ? std::min<uint64_t>(next, end - vcn) : end - vcn;
        continue;
      }
      if (hole) broken = true;
      if (vcn == u) startLcn = lcn;
      const uint64_t k = std::min<uint64_t>(left, end - vcn);
      stored += k;
      vcn += k;
    }
    // A unit stored whole is not compressed; clusters after a hole are the
    // record's damage, not the layout's.
    if (stored == 0 || stored == ntfs::kUnitClusters || broken) continue;
    uint32_t unreadable = 0;
    if (!ReadVolumeClusters(vol, first.data(), startLcn, 1, cs, &unreadable) || unreadable)
      continue;  // a read error says nothing of the layout
    ++sample->units;
    // A chunk header: signature 3 in bits 12-14 and a length that fits the
    // stored clusters.
    const uint16_t header = Le16(first.data());
    if (header == 0 || (header & 0x7000) != 0x3000 || (header & 0xFFFu) + 3 > stored * cs) ++sample->misplacedUnits;
  }
  w.FreeWorkBuffer();
}

void NTFS::SampleLogFilePages(NTFSVol* vol, const snode* n, uint32_t maxPages, NtfsStructureSample* sample) {
  constexpr uint32_t kPage = 4096;
  const uint32_t cs = vol->clusterSize;
  if (!cs || !n || !n->runs || maxPages == 0) return;
  const uint64_t pages = std::min(n->size, n->validSize) / kPage;
  if (pages == 0) return;
  inode w;
  if (!MakeDataReader(vol, n, nullptr, &w) || w.BuildMappingTablesAll() <= 0) return;
  CExtents& map = w.Map();
  // The clusters that hold one page: one cluster, or a page's worth.
  const uint32_t span = cs >= kPage ? 1 : kPage / cs;
  std::vector<uint8_t> buf(size_t(span) * cs);
  const uint32_t want = uint32_t(std::min<uint64_t>(pages, maxPages));
  for (uint32_t k = 0; k < want; k++) {
    const uint64_t byte = (want == 1 ? 0 : (pages - 1) * k / (want - 1)) * kPage;
    uint64_t left = 0;
    const uint64_t lcn = map.VcnToLcn(byte / cs, &left);
    if (left < span) continue;  // a hole, or a page across runs
    uint32_t unreadable = 0;
    if (!ReadVolumeClusters(vol, buf.data(), lcn, span, cs, &unreadable) || unreadable) continue;
    const uint8_t* page = buf.data() + (cs > kPage ? byte % cs : 0);
    const auto all = [page](uint8_t b) { return std::all_of(page, page + kPage, [b](uint8_t x) { return x == b; }); };
    if (all(0)) continue;  // says nothing: a wiped log and free space read alike
    ++sample->pages;
    bool log = false;
    for (const char* sig : {"RSTR", "RCRD", "CHKD", "BAAD"}) log = log || std::memcmp(page, sig, 4) == 0;
    if (!log && !all(0xFF)) ++sample->misplacedPages;
  }
  w.FreeWorkBuffer();
}

int NTFS::SystemFileRecordNumber(WStringView name) {
  if (name == u".") return 5;
  if (name.empty() || name[0] != u'$') return -1;
  static const struct {
    const char16_t* name;
    int record;
  } kFixed[] = {{u"$MFT", 0},     {u"$MFTMirr", 1}, {u"$LogFile", 2}, {u"$Volume", 3},
                {u"$AttrDef", 4}, {u"$Bitmap", 6},  {u"$Boot", 7},    {u"$BadClus", 8}};
  for (const auto& f : kFixed)
    if (name == f.name) return f.record;
  return -1;
}

int NTFS::QuickScan(CVol& volume, ScanSink& engine, const QuickScanStep& step) {
  auto* v = static_cast<NTFSVol*>(&volume);
  // A scan that finds no readable $MFT at all says so at its last volume.
  const int report = (step.lastVolume && step.familyVolumesRead == 0 && engine.ScanMode() == kScanQuick) ? 1 : 0;
  if (NtfsReadMft(v, report) != 0 || !v->mftNode) return 0;
  NtfsParseMft(v, engine, 0, step.progressStart);
  return 1;
}
