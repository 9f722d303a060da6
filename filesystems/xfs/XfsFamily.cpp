// XFS's registration with the volume model: its volume class, the
// superblock test and where the volume lies, its node records, the entry
// parser of the folder walk, a file's data through its data fork, the
// sector kinds of the Long Scan, its own Long Scan ("XFS Long Scan") and
// its session tails.
#include "filesystems/xfs/XfsFamily.h"

#include <new>
#include <vector>

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Inode.h"
#include "filesystems/xfs/LongScan.h"
#include "filesystems/xfs/SuperBlock.h"
#include "filesystems/xfs/Walk.h"
#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsSession.h"
#include "filesystems/xfs/XfsVolume.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace xfs;

namespace {

// ---- volumes ----

CVol* CreateXfsVolume(uint8_t) { return new (std::nothrow) CXFSVol(); }

bool InitXfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  return v && v->Init(boot, sector, drive) != 0;
}

bool IsXfsRoot(const CVol& volume, uint32_t id) { return volume.rootNode && id == volume.rootNode->id; }

// Blocks per group, inodes per group, inodes in use, inode size.
bool ReadXfsSettingRow(const CVol& volume, int row, int64_t* value) {
  const auto* v = dynamic_cast<const CXFSVol*>(&volume);
  if (!v || !v->agBlocks) return false;
  switch (row) {
    case 0: *value = v->agBlocks; return true;
    case 1: *value = int64_t(v->inodesPerGroup); return true;
    case 2: *value = int64_t(v->usedInodes); return true;
    case 3: *value = v->inodeSize; return true;
    default: return false;
  }
}

// ---- the volume search ----

int ProbeXfs(const uint8_t* s) { return IsXFSSuperBlock(s) ? kVolXfs : 0; }

void LocateXfs(BootLocate& w) {
  const uint32_t left = w.chunk ? w.chunkSectors - w.indexInChunk : 1;
  const int64_t start = XFSVolumeStart(w.position, w.sector, left, w.drive);
  // Without its group header the superblock keeps its own place.
  w.start = start >= 0 ? start : w.position;
  const XfsSuperBlock sb = ParseXfsSuperBlock(w.sector);
  if (w.sectorBytes && sb.blockSize >= w.sectorBytes &&
      !__builtin_mul_overflow(sb.dataBlocks, uint64_t(sb.blockSize / w.sectorBytes), &w.size)) {
  } else {
    w.size = 0;
  }
}

// A volume cut short (a partial image) keeps what lies on the drive: its
// metadata starts at its first sector.
bool XfsKeepsPastDriveEnd(CVol&, Drive&) { return true; }

// ---- reading ----

bool MapXfsNode(CVol& volume, const cnode& node, const void*, uint32_t*) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  const XfsNode* n = AsXfsNode(&node);
  return v && n && v->MapNode(*n);
}

int64_t ReadXfsData(CVol& volume, const cnode&, uint64_t offset, uint8_t* buffer, size_t capacity) {
  auto* v = dynamic_cast<CXFSVol*>(&volume);
  return v ? v->ReadMapped(offset, buffer, capacity) : -1;
}

// ---- the Long Scan's sectors ----

bool IsXfsSuperKind(const uint8_t* s, const ClassifyContext*) { return IsXFSSuperBlock(s); }
bool IsXfsAgfKind(const uint8_t* s, const ClassifyContext*) { return IsXFSAGF(s); }
bool IsXfsInodeKind(const uint8_t* s, const ClassifyContext*) { return CountXFSInodes(s, 512, 256) != 0; }

// The known XFS volume that starts at `start`.
bool KnownXfsVolume(Drive& d, int64_t start) {
  for (uint32_t i = 0; i < VolumeCount(d); ++i) {
    const CVol* v = VolumeAt(d, i);
    if (v && v->type == kVolXfs && int64_t(v->startSector) == start) return true;
  }
  return false;
}

// A superblock at drive sector `position`: the volume it belongs to joins
// the table (one whose first superblock is gone is placed from another
// group's).
int TakeSuperBlock(SectorVisit& visit, const uint8_t* sector, int64_t position, uint32_t sectorsThere) {
  Drive* d = visit.drive;
  if (!d) return 0;
  int64_t start = XFSVolumeStart(position, sector, sectorsThere, d);
  if (start < 0) start = position;
  if (KnownXfsVolume(*d, start)) return 1;
  visit.volumeFound = ProcBootCm(start, sector, kVolXfs, nullptr, d);
  return 1;
}

int TakeXfsSuper(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d || visit.bytesLeft < kSbBytes) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  return TakeSuperBlock(visit, visit.sector, visit.position,
                        uint32_t(std::min<uint64_t>(visit.bytesLeft / ss, 1u << 16)));
}

// A group header: its superblock lies one XFS sector before it.
int TakeXfsAgf(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  std::vector<uint8_t> sb(ss);
  for (uint32_t xfsSector = 512; xfsSector <= 4096; xfsSector *= 2) {
    if (xfsSector < ss) continue;
    const int64_t at = visit.position - int64_t(xfsSector / ss);
    if (at < 0 || !ReadSectorsWaited(*d, at, ss, sb.data()) || !IsXFSSuperBlock(sb.data())) continue;
    if (ParseXfsSuperBlock(sb.data()).sectorSize != xfsSector) continue;
    return TakeSuperBlock(visit, sb.data(), at, 1);
  }
  return 0;
}

const SectorKindEntry kSectorKinds[] = {
    {kSectXfsSuper, IsXfsSuperKind, TakeXfsSuper, 70, kKindEndsCarving},
    {kSectXfsAgHeader, IsXfsAgfKind, TakeXfsAgf, 80, kKindEndsCarving},
    // Inode chunks are found by the XFS Long Scan; the ordinary pass
    // offers them to carving.
    {kSectXfsInode, IsXfsInodeKind, nullptr, 140},
};

const FamilyType kTypes[] = {
    {.code = kVolXfs,
     .name = u"XFS",
     .dialog = {.rowMessages = {585, 586, 587, 588}, .rowsReadOnly = true, .blockLabelled = true}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateXfsVolume,
    .init = InitXfsVolume,
    .isRootId = IsXfsRoot,
    .readSettingRow = ReadXfsSettingRow,
};

const FamilySearchOps kSearch = {.probe = ProbeXfs, .locate = LocateXfs, .keepsPastDriveEnd = XfsKeepsPastDriveEnd};

const FamilyDataOps kData = {.map = MapXfsNode, .read = ReadXfsData, .mapIsPrivate = true};

const FamilyScanOps kScans = {
    .ownVolumePass = XfsOwnVolumePass,
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseXfsEntries,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = XfsWriteVolumeTail,
    .readVolumeTail = XfsReadVolumeTail,
    .writeNodeTail = XfsWriteNodeTail,
    .readNodeTail = XfsReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "xfs",
    .types = kTypes,
    .nodeFamily = kNodeXfs,
    .nodeOps = &XfsNodeOps(),
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterXfsFamily() { RegisterVolumeFamily(kFamily); }
