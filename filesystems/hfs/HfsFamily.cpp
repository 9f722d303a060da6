// The HFS+ and HFSX family: the volume header as the boot block of the
// volume search and of the Long Scan's sector pass, the volume class, the
// catalog walk as the family's pass over a volume, its nodes and their
// session tails. Classic HFS master directory blocks are recognised, not
// read.
#include "filesystems/hfs/HfsFamily.h"

#include <algorithm>
#include <new>

#include "filesystems/hfs/HfsHeader.h"
#include "filesystems/hfs/HfsNode.h"
#include "filesystems/hfs/HfsScan.h"
#include "filesystems/hfs/HfsSession.h"
#include "filesystems/hfs/HfsVolume.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsHfsRoot(const CVol&, uint32_t id) { return id == hfs::kRootFolderId; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateHfsNode;
  ops.destroy = DestroyHfsNode;
  ops.copyFields = CopyHfsNodeFields;
  ops.fileTime = GetHfsNodeFileTime;
  ops.traits = kNodeTraitCreationTime;
  return ops;
}();

int ProbeHfs(const uint8_t* sector) { return IsHFSPlusVolumeHeader(sector) ? kVolHfs : 0; }

void LocateHfs(BootLocate& w) {
  uint64_t size = 0;
  w.start = LocateHFSPlusVolume(w.drive, w.position, w.sector, w.sectorBytes, &size);
  w.size = w.start >= 0 ? size : 0;
}

CVol* CreateHfsVolume(uint8_t) { return new (std::nothrow) CHFSPlusVol(); }

bool InitHfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  auto* v = dynamic_cast<CHFSPlusVol*>(&volume);
  if (!v) return false;
  if (drive) v->drive = drive;
  return InitHFSPlusVol(*v, boot, sector);
}

// One volume whatever its size: an alternate header left inside a grown
// volume (its old end) names the same start and block size. The header
// written last describes it.
bool SameHfsVolume(const CVol& known, const CVol& found) {
  return known.type == found.type && known.startSector == found.startSector && known.clusterSize == found.clusterSize;
}

void CompleteHfsVolume(CVol& known, const CVol& found) {
  auto* k = dynamic_cast<CHFSPlusVol*>(&known);
  const auto* f = dynamic_cast<const CHFSPlusVol*>(&found);
  if (!k || !f) return;
  const bool later = f->header.modifyDate > k->header.modifyDate ||
                     (f->header.modifyDate == k->header.modifyDate && f->totalBlocks > k->totalBlocks);
  if (!later) return;
  k->header = f->header;
  k->totalBlocks = f->totalBlocks;
  k->extentsFork = f->extentsFork;
  k->catalogFork = f->catalogFork;
  k->sizeSectors = f->sizeSectors;
}

WString HfsFileSystemName(const CVol& volume) {
  const auto* v = dynamic_cast<const CHFSPlusVol*>(&volume);
  return v && v->header.Hfsx() ? u"HFSX" : u"HFS+";
}

// A cut image is kept while its header and its catalog are on it.
bool KeepsHfsPastDriveEnd(CVol& volume, Drive& drive) {
  auto* v = dynamic_cast<CHFSPlusVol*>(&volume);
  if (!v || !v->catalogFork.valid || drive.SectorSize() == 0) return false;
  const unsigned __int128 sectorsPerBlock = v->clusterSize / drive.SectorSize();
  const unsigned __int128 driveSectors = drive.SectorCount();
  if (v->startSector + (hfs::kHeaderOffset + hfs::kHeaderBytes) / drive.SectorSize() > driveSectors) return false;
  for (const HfsFork::Piece& p : v->catalogFork.pieces)
    if (v->startSector + (unsigned __int128)(uint64_t(p.startBlock) + p.blockCount) * sectorsPerBlock > driveSectors)
      return false;
  return true;
}

int QuickScanHfs(CVol& volume, ScanSink& engine, const QuickScanStep& step) {
  auto* v = dynamic_cast<CHFSPlusVol*>(&volume);
  if (!v) return 0;
  ParseHFSPlus(*v, engine, step.progressStart);
  return 1;
}

bool IsHfsMdbKind(const uint8_t* s, const ClassifyContext* c) {
  return c && c->hfsDiagnostics && IsHFSMasterDirBlock(s);
}
bool IsHfsPlusKind(const uint8_t* s, const ClassifyContext*) { return IsHFSPlusVolumeHeader(s); }

// A header the Long Scan meets, main or alternate: placed by the locator
// (the header of a known volume adds nothing) and parsed as a found one.
int TakeHfsHeader(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  const int64_t start = LocateHFSPlusVolume(d, visit.position, visit.sector, ss);
  if (start < 0) return 0;
  visit.volumeFound = ProcBootCm(start, visit.sector, kVolHfs, nullptr, d);
  return 1;
}

// The master directory block (looked for only with the HFS diagnostics on)
// and the HFS+ volume header.
const SectorKindEntry kSectorKinds[] = {
    {kSectHfsMdb, IsHfsMdbKind, nullptr, 90},
    {kSectHfsPlus, IsHfsPlusKind, TakeHfsHeader, 100},
};

const FamilyType kTypes[] = {
    {.code = kVolHfs, .name = u"HFS+", .dialog = {.bootBlockOffset = 2}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateHfsVolume,
    .init = InitHfsVolume,
    .isRootId = IsHfsRoot,
    .same = SameHfsVolume,
    .completeKnown = CompleteHfsVolume,
    .fileSystemName = HfsFileSystemName,
};

const FamilySearchOps kSearch = {
    .probe = ProbeHfs,
    .locate = LocateHfs,
    .fillsPartition = true,
    .keepsPastDriveEnd = KeepsHfsPastDriveEnd,
};

// The node's run list; blocks of it past the end of a cut image are
// counted as missing (they read as zeros the file never held).
bool MapHfsNode(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut) {
  if (!MapRunList(volume, node, aux, corruptOut)) return false;
  Drive* d = volume.drive;
  const uint32_t bs = volume.clusterSize;
  if (!corruptOut || !d || !d->SectorSize() || !bs) return true;
  const unsigned __int128 driveEnd = (unsigned __int128)d->SectorCount() * d->SectorSize();
  const unsigned __int128 base = (unsigned __int128)volume.startSector * d->SectorSize();
  const uint8_t* runs = node.RunBuffer();
  uint64_t left = (node.size + bs - 1) / bs;
  int64_t start = 0, delta = 0;
  uint32_t length = 0, at = 0;
  while (left && runs && ReadNextRun(&delta, &length, runs, &at) == 1) {
    start += delta;
    const uint64_t n = std::min<uint64_t>(length, left);
    left -= n;
    const unsigned __int128 first = base + (unsigned __int128)uint64_t(start) * bs,
                            end = first + n * (unsigned __int128)bs;
    if (end <= driveEnd) continue;
    const unsigned __int128 from = first > driveEnd ? first : driveEnd;
    *corruptOut += uint32_t(std::min<unsigned __int128>((end - from + bs - 1) / bs, UINT32_MAX));
  }
  return true;
}

const FamilyDataOps kData = {.map = MapHfsNode};

const FamilyScanOps kScans = {.quickScan = QuickScanHfs, .sectorKinds = kSectorKinds};

const FamilySessionOps kSessions = {.writeNodeTail = HfsWriteNodeTail, .readNodeTail = HfsReadNodeTail};

const VolumeFamily kFamily = {
    .name = "hfs",
    .types = kTypes,
    .nodeFamily = kNodeHfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterHfsFamily() { RegisterVolumeFamily(kFamily); }
