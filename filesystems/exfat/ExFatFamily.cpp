// The exFAT family: its volume class, boot sector, locator, nodes and the
// folder walk's entry parser.
#include "filesystems/exfat/ExFatFamily.h"

#include <algorithm>
#include <vector>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/exfat/ExFatData.h"
#include "filesystems/exfat/ExFatEntry.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatScan.h"
#include "filesystems/exfat/ExFatSession.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

int ProbeExFat(const uint8_t* s) { return IsExFatBootSignature(s) ? kVolExFat : 0; }

bool IsExFatRoot(const CVol& volume, uint32_t id) { return volume.rootNode && id == volume.rootNode->id; }

bool IsExFatBootKind(const uint8_t* s, const ClassifyContext*) { return IsExFatBootSignature(s); }

CVol* CreateExFatVolume(uint8_t) { return new CExFATVol(); }

bool InitExFatVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive*) {
  if (volume.type != kVolExFat) return false;
  return InitExFATVol(static_cast<CExFATVol*>(&volume), boot, sector) == 1;
}

void LocateExFat(BootLocate& w) {
  w.start = LocateExFATVolume(w.drive, w.position, w.chunk, w.chunkStart, w.chunkSectors, w.sectorBytes);
  const ExFatBoot boot = ReadExFatBoot(w.sector);
  if (w.start < 0 || !CheckExFatBoot(boot) ||
      !ToDriveSectors(boot.volumeLength, boot.SectorBytes(), w.sectorBytes, &w.size))
    w.start = -1;
}

// A volume that runs past the end of a cut image is kept when its boot
// region, table, root folder and allocation bitmap are on the drive: what
// lies past the end reads as unreadable sectors.
bool KeepsExFatPastDriveEnd(CVol& volume, Drive& drive) {
  if (volume.type != kVolExFat) return false;
  auto* v = static_cast<CExFATVol*>(&volume);
  const uint32_t ss = v->sectorSize, dss = drive.SectorSize() ? drive.SectorSize() : 512;
  if (!ss || !v->clusterSize) return false;
  const uint64_t spc = v->clusterSize / ss;
  auto onDrive = [&](uint64_t volumeSectorEnd) {
    return (unsigned __int128)v->startSector * dss + (unsigned __int128)volumeSectorEnd * ss <=
           (unsigned __int128)drive.SectorCount() * dss;
  };
  auto clusterEnd = [&](uint64_t cluster) {
    return uint64_t(int64_t(v->dataAreaSector) + int64_t((cluster + 1) * spc));
  };
  if (!onDrive(exfat::kBackupBootSector) ||
      !onDrive(uint64_t(v->fatOffset) + uint64_t(v->fatLength) * std::max<uint8_t>(v->fatCount, 1)) ||
      !onDrive(clusterEnd(v->rootCluster)))
    return false;
  // The table starts where the boot sector says.
  std::vector<uint8_t> table(ss);
  if (!ReadVolumeSectors(*v, ss, v->fatOffset, 1, table.data()) ||
      !IsExFatTableStart(table.data(), ss, v->clusterCount + exfat::kFirstCluster))
    return false;
  // The bitmap's entry in the root's first cluster.
  std::vector<uint8_t> root(v->clusterSize);
  const uint64_t rootSector = uint64_t(int64_t(v->dataAreaSector) + int64_t(v->rootCluster * spc));
  if (!ReadVolumeSectors(*v, ss, rootSector, uint32_t(spc), root.data())) return false;
  for (size_t at = 0; at + exfat::kEntryBytes <= root.size(); at += exfat::kEntryBytes) {
    if (root[at] != exfat::kTypeBitmap) continue;
    const ExFatVolumeEntry b = ReadBitmapEntry(root.data() + at);
    const uint64_t clusters = (b.length + v->clusterSize - 1) / v->clusterSize;
    return b.firstCluster >= exfat::kFirstCluster && clusters && onDrive(clusterEnd(b.firstCluster + clusters - 1));
  }
  return false;
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateExFatNode;
  ops.destroy = DestroyExFatNode;
  ops.copyFields = CopyExFatNodeFields;
  ops.fileTime = GetExFatNodeFileTime;
  ops.timeText = GetExFatNodeTimeText;
  ops.traits = kNodeTraitCreationTime | kNodeTraitFatRecycleBin;
  return ops;
}();

// A boot sector the Long Scan meets may be the main one or its backup 12
// sectors on: the locator decides where the volume starts. One it cannot
// place is taken as a main boot sector.
int TakeExFatBoot(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  const uint32_t held = uint32_t(std::min<uint64_t>(visit.bytesLeft / ss, UINT32_MAX));
  int64_t start = held ? LocateExFATVolume(d, visit.position, visit.sector, visit.position, held, ss) : -1;
  if (start < 0) start = visit.position;
  visit.volumeFound = ProcBootCm(start, visit.sector, kVolExFat, nullptr, d);
  return 1;
}

const SectorKindEntry kSectorKinds[] = {
    {kSectExFatBoot, IsExFatBootKind, TakeExFatBoot, 40, kKindBootSector},
};

const FamilyType kTypes[] = {
    {.code = kVolExFat,
     .name = u"exFAT",
     .dialog = {.rowMessages = {429, 631, 632, 633}, .rowsReadOnly = true, .clusterHigh = 33554432}},
};

const FamilyVolumeOps kVolume = {.create = CreateExFatVolume, .init = InitExFatVolume, .isRootId = IsExFatRoot};

const FamilySearchOps kSearch = {
    .probe = ProbeExFat, .locate = LocateExFat, .keepsPastDriveEnd = KeepsExFatPastDriveEnd};

const FamilyDataOps kData = {.map = MapExFatNode, .read = ReadExFatNodeData};

const FamilyScanOps kScans = {
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseExFatFolderPiece,
    .folderSizeInClusters = true,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = ExFatWriteVolumeTail,
    .readVolumeTail = ExFatReadVolumeTail,
    .writeNodeTail = ExFatWriteNodeTail,
    .readNodeTail = ExFatReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "exfat",
    .types = kTypes,
    .nodeFamily = kNodeExFat,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterExFatFamily() { RegisterVolumeFamily(kFamily); }
