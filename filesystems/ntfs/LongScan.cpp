#include "filesystems/ntfs/LongScan.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/IndexNames.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/LooseSystemFiles.h"
#include "filesystems/ntfs/MftScan.h"
#include "filesystems/ntfs/NtfsBoot.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "filesystems/ntfs/RecycleBin.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/FileFilter.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// The record size a FILE header claims; 1024 when it names none we know.
uint32_t HeaderRecordSize(const uint8_t* record) {
  const uint32_t alloc = Le32(record + ntfs::kRecAllocated);
  return (alloc == 1024 || alloc == 2048 || alloc == 4096) ? alloc : 1024;
}

// The NTFS volume of the drive's table whose record grid holds the record
// at drive sector `position`: the record lies inside the volume at a whole
// number of records from its start. Null when none does. The default
// volume's grid is no evidence (every even sector lies on it): a record
// there stays loose, so a lost volume's system records still make it.
NTFSVol* VolumeOfRecord(Drive* drive, int64_t position, uint32_t recordBytes) {
  if (!drive) return nullptr;
  const uint32_t ds = drive->SectorSize();
  const uint32_t n = VolumeCount(*drive);
  for (uint32_t i = 0; i < n; i++) {
    CVol* v = VolumeAt(*drive, i);
    if (!v || v->type != kVolNtfs || uint64_t(position) < v->startSector) continue;
    auto* nv = static_cast<NTFSVol*>(v);
    if (nv->defaultVolume || nv->recordSize != recordBytes) continue;
    const uint64_t offset = (uint64_t(position) - v->startSector) * ds;
    if (offset % recordBytes) continue;
    if (offset + recordBytes > VolumeLengthOnDrive(*v, *drive) * ds) continue;
    return nv;
  }
  return nullptr;
}

// Whether the record at volume byte `volByte` sits where its own $MFT puts
// record `id`.
bool AtHome(NTFSVol* vol, uint32_t id, uint64_t volByte) {
  const uint64_t streamByte = uint64_t(id) * vol->recordSize;
  if (vol->mftMap) {
    const uint64_t at = vol->mftMap->MapByte(streamByte);
    if (at) return at == volByte;
  }
  return uint64_t(vol->mftSector) * vol->sectorSize + streamByte == volByte;
}

void ParseRebuiltVolume(ScanSink& engine, Drive* drive, int32_t index) {
  CVol* v = index >= 0 && drive ? VolumeAt(*drive, uint32_t(index)) : nullptr;
  if (!v) return;
  v->engine = &engine;
  NTFS::ParseFoundVolume(*v, engine);
}

}  // namespace

int NTFS::VisitFileRecord(SectorVisit& visit) {
  ScanSink& engine = *visit.engine;
  const uint32_t recordBytes = HeaderRecordSize(visit.sector);
  if (visit.bytesLeft < recordBytes) {
    visit.needBytes = recordBytes;
    return 1;
  }
  const uint32_t ds = visit.drive ? visit.drive->SectorSize() : 512;
  visit.consumedSectors = std::max<uint32_t>(1, recordBytes / ds);
  // Past a lost $MFT's end: its system records make its volume, read at
  // once (before this record, which may be a copy its $MFT holds).
  ParseRebuiltVolume(engine, visit.drive, NTFS::FlushSystemRecords(engine, visit.drive, visit.position, false));
  NTFSVol* vol = VolumeOfRecord(visit.drive, visit.position, recordBytes);
  // The parser works on a copy: it applies the fix-up in place.
  uint8_t record[4096];
  std::memcpy(record, visit.sector, recordBytes);
  inode work;
  work.Init(record, vol);
  work.recordSizeHint = recordBytes;
  work.drive = visit.drive;
  work.names = &engine.Nodes();
  work.position = uint64_t(visit.position);
  engine.CountStat(kStatRecordsRead);
  if (work.parseEntry() != 0 || (work.errors & kInodeErrFixup)) {
    engine.CountStat(kStatRecordsSkipped);
    return 1;
  }
  engine.CountStat(kStatRecordsParsed);
  // Extension records carry attributes of their base record only: their
  // runs are kept for it.
  if (work.baseRefLow || (work.baseRefHigh & 0xFFFF)) {
    NTFS::CollectExtensionRecord(engine, work);
    return 1;
  }
  if (work.id == kNoNodeId) {
    const int sys = NTFS::SystemFileRecordNumber(work.fileName);
    if (sys >= 0) work.id = uint32_t(sys);
  }
  const bool folder = work.IsDirectory();
  if (!folder && !work.hasName) return 1;
  if (vol) {
    const uint64_t volByte = (uint64_t(visit.position) - vol->startSector) * ds;
    // A record whose number the volume's own $MFT holds was read with it:
    // this one is a copy (the mirror, a log page) or an older record.
    if (vol->mftMap && work.id != kNoNodeId && work.id < vol->RecordCount()) return 1;
    work.volumeIndex = uint16_t(vol->index);
    if (work.id != kNoNodeId && AtHome(vol, work.id, volByte)) work.flags |= kInodeAtHome | kInodeNumberKnown;
    vol->SetNodeClusterCode(&work);
  }
  if (NTFS::TakeRecycleRecord(vol, work)) return 1;
  if ((work.flags2 & ntfs::kRecInUse) == 0) work.flags |= kNodeDeleted;
  if (!work.runs && work.residentData && work.size != 0 && work.size < 1024)
    work.flags = uint16_t((work.flags & ~kNodeGradeMask) | GradeBits(kGradeGood));
  int64_t index = -1;
  cnode* stored = engine.AddNewNode(&work, true, &index);
  if (stored && !stored->IsDirectory() && !(stored->flags & kNodeHandedOver)) engine.AddFoundCount(1);
  if (!vol && stored && work.id < 9) NTFS::CollectSystemRecord(engine, visit.drive, work);
  return 1;
}

int NTFS::VisitBootSector(SectorVisit& visit) {
  if (!visit.drive) return 1;
  const int64_t start = ResolveNtfsBootCopy(visit.position, visit.sector, visit.drive);
  if (start < 0) return 1;
  visit.volumeFound = ProcBootCm(start, visit.sector, kVolNtfs, nullptr, visit.drive);
  return 1;
}

void NTFS::ParseFoundVolume(CVol& volume, ScanSink& engine) {
  auto* v = static_cast<NTFSVol*>(&volume);
  if (NtfsReadMft(v, 0) != 0 || !v->mftNode) return;
  NtfsParseMft(v, engine, 0, 0);
}

namespace {

// The folders a node's parent is looked up among: its volume's; for a
// record without a volume, the records of the same lost $MFT (those whose
// numbers put the $MFT's start at the same place).
class OrphanGroups {
 public:
  static constexpr uint32_t kNoGroup = 0xFFFFFFFFu;
  explicit OrphanGroups(uint32_t sectorBytes) : ss_(sectorBytes) {}
  uint32_t Group(const cnode* c) {
    if (c->volumeIndex != kNoVolume) return c->volumeIndex;
    if (c->id == kNoNodeId || !(c->flags & kInodeNumberFromHeader)) return kNoGroup;
    const uint64_t recordBytes = std::max<uint32_t>(1024, ss_);
    const uint64_t at = static_cast<const snode*>(c)->position * ss_;
    const uint64_t back = uint64_t(c->id) * recordBytes;
    if (back > at) return kNoGroup;
    return groups_.emplace(at - back, uint32_t(0x10000 + groups_.size())).first->second;
  }

 private:
  const uint32_t ss_;
  std::unordered_map<uint64_t, uint32_t> groups_;  // lost $MFT start -> group
};

}  // namespace

namespace {

// Whether a file still to be shown sits below a folder chain that breaks
// off among the folder nodes found.
bool AnyChainBroken(ScanSink& engine, OrphanGroups& groups, NtfsFolderPaths& found) {
  CNdArray& nodes = engine.Nodes();
  for (int64_t i = 0, n = nodes.Count(); i < n; i++) {
    const cnode* c = nodes.GetAt(i);
    if (!c || !c->IsSnode() || (c->flags & (kNodeHandedOver | kInodeCarved)) || c->IsDirectory()) continue;
    const uint32_t group = groups.Group(c);
    if (group != OrphanGroups::kNoGroup && !found.Path(group, c->parentId).complete) return true;
  }
  return false;
}

// System records still collected at the pass's end make their volume;
// loose records take the runs of their extension records.
void CompleteLooseRecords(ScanSink& engine, Drive* drive) {
  ParseRebuiltVolume(engine, drive, NTFS::FlushSystemRecords(engine, drive, 0, true));
  NTFS::AttachExtensionRecords(engine, drive);
}

}  // namespace

void NTFS::FinishLongScan(ScanSink& engine, Drive* drive) {
  TRACE_FN("DisplayRemainingFiles");
  CompleteLooseRecords(engine, drive);
  CNdArray& nodes = engine.Nodes();
  OrphanGroups groups(drive ? drive->SectorSize() : 512);
  NtfsFolderPaths paths(nodes);
  NtfsFolderPaths found(nodes);  // the folder nodes alone
  for (int64_t i = 0, n = nodes.Count(); i < n; i++) {
    const cnode* c = nodes.GetAt(i);
    if (!c || !c->IsSnode() || !c->IsDirectory() || c->id == kNoNodeId) continue;
    // The first one wins: the $MFT's own records come before loose ones.
    const uint32_t group = groups.Group(c);
    if (group == OrphanGroups::kNoGroup) continue;
    paths.AddFolder(group, c->id, uint32_t(i));
    found.AddFolder(group, c->id, uint32_t(i));
  }
  // Folders lost with their records are named from their parents' indexes:
  // first those of the folders found (their records read again), when a
  // file still to be shown needs it, then the buffers no folder took.
  if (AnyChainBroken(engine, groups, found))
    MapFilesToParent(engine, drive, paths, [&](const cnode* c) { return groups.Group(c); });
  MapIndexedFolders(engine, drive, paths);
  const AppState& options = engine.Options();
  const uint8_t show = options.scanFlag.load();
  const WString extra = FormatW(u"\\%s\\%s", Msg(15), Msg(39));
  const int64_t count = nodes.Count();
  for (int64_t i = 0; i < count && !engine.StopRequested(); i++) {
    cnode* n = nodes.GetAt(i);
    if (!n || !n->IsSnode() || (n->flags & kNodeHandedOver) || n->IsDirectory()) continue;
    if (n->flags & kInodeCarved) continue;
    const bool deleted = (n->flags & kNodeDeleted) != 0;
    if (deleted ? !(show & 1) : !(show & 2)) continue;
    const WString name = n->GetNameW();
    if (name.empty()) continue;
    if (options.fileFilter && !options.fileFilter->ContainsW(name)) continue;
    WString folder;
    const uint32_t group = groups.Group(n);
    if (group == OrphanGroups::kNoGroup) {
      folder = extra + FormatW(u"%u\\", n->parentId);
    } else {
      const NtfsFolderPaths::Folder& f = paths.Path(group, n->parentId);
      folder = f.path;
      if (f.inRecycle && n->volumeIndex != kNoVolume && drive) {
        CVol* v = VolumeAt(*drive, n->volumeIndex);
        if (v && v->type == kVolNtfs) folder = NTFS::RecycledFolder(static_cast<NTFSVol*>(v), n, f.path, engine);
      }
    }
    const WString shownName = n->GetNameW();
    WString full = folder + shownName;
    if (engine.PathFilterMatch(full.c_str()) != 0) continue;
    WString prefix;
    if (n->volumeIndex != kNoVolume && drive) {
      if (CVol* v = VolumeAt(*drive, n->volumeIndex)) prefix.assign(v->driveLetter);
    }
    n->flags |= kNodeHandedOver;
    engine.CountStat(kStatItemsFound);
    if (deleted) engine.CountStat(kStatDeletedFound);
    engine.AddFoundCount(-1);
    if (engine.StoreFileItem(prefix, folder, i) == 2) break;
  }
}
