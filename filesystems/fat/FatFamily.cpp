#include "filesystems/fat/FatFamily.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatDir.h"
#include "filesystems/fat/FatDirFinder.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/FatRuns.h"
#include "filesystems/fat/FatSession.h"
#include "filesystems/fat/FatVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/ClusterWindow.h"
#include "volumes/RunList.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace fat;

namespace {

// A file's place is its first cluster.
uint64_t FatNodeLocation(const cnode& node) {
  int64_t first = 0;
  const uint8_t* runs = node.RunBuffer();
  if (!runs || GetClusterCount(runs, &first) < 0) return 0;
  return uint64_t(first);
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.location = FatNodeLocation;
  ops.create = CreateFATNode;
  ops.destroy = DestroyFATNode;
  ops.copyFields = CopyFATNodeFields;
  ops.fileTime = GetFATNodeFileTime;
  ops.timeText = GetFATNodeTimeText;
  ops.traits = kNodeTraitCreationTime | kNodeTraitFatRecycleBin;
  return ops;
}();

// ---- volumes ----

CVol* CreateFatVolume(uint8_t type) { return new (std::nothrow) FATVol(type); }

bool InitFatVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive*) {
  return InitFATVol(&volume, boot, sector) != 0;
}

void ReadFatLabel(CVol& volume) {
  if (auto* v = dynamic_cast<FATVol*>(&volume); v && !v->labelRead) v->ReadVolumeLabel();
}

// FAT12 and FAT16 share a type code: the cluster count tells them apart.
WString FatFileSystemName(const CVol& volume) {
  if (volume.type == kVolFat32) return u"FAT32";
  const auto* v = dynamic_cast<const FATVol*>(&volume);
  return v && v->clusterCount && v->clusterCount < kFat12MaxClusters ? u"FAT12" : u"FAT16";
}

int QuickScanFat(CVol& volume, ScanSink& engine, const QuickScanStep&) {
  auto* v = dynamic_cast<FATVol*>(&volume);
  if (!v || !v->cache) return 0;
  ParseFAT(v, engine);
  if (traceIo)
    TracePrintfA("FAT page cache: %llu hits, %llu misses\n", (unsigned long long)v->cache->PageHits(),
                 (unsigned long long)v->cache->PageMisses());
  return 1;
}

// A file's bytes through its runs; the clusters of many small files come
// through one window of the volume.
int64_t ReadFatData(CVol& volume, const cnode&, uint64_t offset, uint8_t* buffer, size_t capacity) {
  auto* v = dynamic_cast<FATVol*>(&volume);
  if (!v || !v->extents) return -1;
  if (!v->window) v->window = std::make_unique<ClusterWindow>();
  return ReadExtentsThroughWindow(*v, *v->extents, v->window.get(), v->MaxCluster(), offset, buffer, capacity);
}

bool IsFatRoot(const CVol& volume, uint32_t id) { return id == (volume.type == kVolFat16 ? 1u : 2u); }

// The same volume when its data area starts at the same place; the size
// may differ by what a FAT sector of entries maps.
bool SameFatVolume(const CVol& known, const CVol& found) {
  if (known.startSector + known.dataAreaSector != found.startSector + found.dataAreaSector) return false;
  const uint64_t entriesPerSector = found.sectorSize / (found.type == kVolFat32 ? 4 : 2);
  return SameVolumeSize(known, found, entriesPerSector * found.sectorsPerCluster);
}

// The clusters the map holds are the file's as far as the table or the
// deleted-file rule could tell: the rest of its size (a chain that broke
// off, free clusters too few), and a chain that ended where it cannot, are
// clusters known to be wrong, and a live file with them is a bad extent to
// the recovery ("Skip Files on Bad Extents", armed at 1 before each item).
bool MapFatNode(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut) {
  if (!MapRunList(volume, node, aux, corruptOut)) return false;
  if (node.IsDirectory() || !volume.clusterSize) return true;
  const uint64_t needed = (node.size + volume.clusterSize - 1) / volume.clusterSize;
  const int64_t held = GetClusterCountAll(&node);
  uint64_t wrong = held >= 0 && uint64_t(held) < needed ? needed - uint64_t(held) : 0;
  if (!wrong && needed && (node.flags & kNodeGradeMask) == GradeBits(kGradeCorrupt)) wrong = 1;
  wrong += ClustersPastDriveEnd(volume, node.RunBuffer());
  if (corruptOut) *corruptOut = uint32_t(std::min<uint64_t>(wrong, UINT32_MAX));
  if (wrong && volume.Options().skipFilesOnBadExtents && !(node.flags & kNodeDeleted)) volume.ReportBadExtent();
  return true;
}

// A table's first sector: the media byte, then the rest of the two
// reserved entries' end marks.
bool IsTableStart(const FATVol& v, uint64_t volumeSector) {
  std::vector<uint8_t> s(v.sectorSize);
  if (!ReadVolumeSectors(v, v.sectorSize, volumeSector, 1, s.data())) return false;
  return (v.media ? s[0] == v.media : s[0] >= 0xF0) && s[1] == 0xFF && s[2] == 0xFF;
}

// A volume that runs past the end of a cut image is kept when its boot
// sector, tables and root folder are on the drive and a table starts where
// the boot sector says (a boot sector alone, or one placed wrong, makes no
// volume): what lies past the end reads as unreadable sectors.
bool KeepsFatPastDriveEnd(CVol& volume, Drive& drive) {
  const auto* v = dynamic_cast<const FATVol*>(&volume);
  if (!v || !v->cache || !v->sectorSize) return false;
  if (v->fatSize && !IsTableStart(*v, v->reserved) &&
      !(v->fatCount > 1 && IsTableStart(*v, uint64_t(v->reserved) + v->fatSize)))
    return false;
  uint64_t end = uint64_t(v->reserved) + uint64_t(v->fatCount) * v->fatSize;
  if (v->type == kVolFat32) {
    if (v->rootCluster < 2 || v->rootCluster >= v->MaxCluster()) return false;
    end = std::max<uint64_t>(end, v->ClusterToVolumeSector(v->rootCluster) + v->sectorsPerCluster);
  } else {
    end = std::max<uint64_t>(end, v->rootStart + v->rootSectors);
  }
  const uint32_t dss = drive.SectorSize() ? drive.SectorSize() : 512;
  return (unsigned __int128)v->startSector * dss + (unsigned __int128)end * v->sectorSize <=
         (unsigned __int128)drive.SectorCount() * dss;
}

// ---- the volume search and the drive ----

bool IsFatBoot(const uint8_t* s) {
  return s[kBootSignature] == 0x55 && s[kBootSignature + 1] == 0xAA && (s[0] == 0xEB || s[0] == 0xE9) &&
         s[kBootBytesPerSector] == 0 && IsFATBootSector(s, nullptr, nullptr, nullptr) != 0;
}

int ProbeFat(const uint8_t* sector) { return IsFatBoot(sector) ? IsFATBootSector(sector, nullptr, nullptr, nullptr) : 0; }

// A volume device's drive reaches as far as its boot sector (or the FAT32
// backup) says, up to the device's end.
bool FatDriveOpen(Drive& drive, const uint8_t* first, uint32_t bytes, DriveOpenFacts* facts) {
  const uint32_t ss = drive.SectorSize();
  uint64_t total = 0;
  const uint64_t backup = uint64_t(kFat32BackupBootSector) * ss;
  if (IsFatBootSectorWithTotal(first, &total) ||
      (backup + 512 <= bytes && IsFatBootSectorWithTotal(first + backup, &total))) {
    facts->totalSectors = total;
    return true;
  }
  return false;
}

// ---- sector kinds ----

// First FAT32 table sector: media entry and end mark, or a run of chained
// entries 1, 2, 3, 4.
bool LooksFat32Start(const uint8_t* s) {
  if ((Le32(s) & kFat32EntryMask) == 0x0FFFFFF8 && (Le32(s + 4) & kFat32EntryMask) == kFat32EntryMask) return true;
  return (s[0] & 0x7F) == 1 && (s[4] & 0x7F) == 2 && (s[8] & 0x7F) == 3 && (s[12] & 0x7F) == 4;
}

bool LooksFat16Start(const uint8_t* s) {
  if ((Le32(s) & 0x3FFFFFFF) == 0x3FFFFFF8) return true;
  return s[0] == 1 && s[2] == 2 && s[4] == 3 && s[6] == 4;
}

// The two sectors after a table's first sector count as table too.
bool Within2After(const ClassifyContext* c, int64_t last) {
  return c && last != INT64_MIN && c->sector > last && c->sector - last <= kRememberedReach;
}

bool IsFatBootKind(const uint8_t* s, const ClassifyContext*) { return IsFatBoot(s); }
bool IsFatFolder(const uint8_t* s, const ClassifyContext*) {
  return memcmp(s, "\x2E\x20\x20\x20", 4) == 0 && IsFATDotDirSector(s) != 0;
}
// Entries of a folder past its first sector (the first 512 bytes judged).
bool IsFatEntries(const uint8_t* s, const ClassifyContext*) {
  return s[0] != 0 && s[0] != '.' && FATEntriesLookLikeFolder(s, 512);
}
bool IsFat32Table(const uint8_t* s, const ClassifyContext* c) {
  return (LooksFat32Start(s) || Within2After(c, c ? c->lastSector[kSectFat32Table] : INT64_MIN)) &&
         CheckFATSector(s, kVolFat32, nullptr, nullptr, 0) != -1;
}
bool IsFat16Table(const uint8_t* s, const ClassifyContext* c) {
  return (LooksFat16Start(s) || Within2After(c, c ? c->lastSector[kSectFat16Table] : INT64_MIN)) &&
         CheckFATSector(s, kVolFat16, nullptr, nullptr, 0) != -1;
}

// ---- the lost-volume search (one finder per search, in the family's slot) ----

FATDirFinder* Finder(ScanSink& engine, Drive* drive) {
  std::shared_ptr<void>& slot = engine.FamilyState(kNodeFat);
  if (!slot) slot = std::make_shared<FATDirFinder>(drive, &engine);
  return static_cast<FATDirFinder*>(slot.get());
}

int NoteTableSector(SectorVisit& visit) {
  if (!visit.engine || !visit.drive) return 0;
  const uint32_t ss = visit.drive->SectorSize();
  if (ss < 512 || visit.bytesLeft < ss) return 0;
  const int type = visit.kind == kSectFat32Table ? kVolFat32 : kVolFat16;
  const int64_t index = CheckFATSector(visit.sector, type, nullptr, nullptr, 0, ss);
  if (index == -1) return 0;
  Finder(*visit.engine, visit.drive)->NoteFATSector(type, visit.sector, visit.position, index, index >= 0);
  // Still offered to the carving probe, as before.
  return 0;
}

int VisitFolderSector(SectorVisit& visit) {
  if (!visit.engine || !visit.drive) return 0;
  const uint32_t ss = visit.drive->SectorSize();
  if (ss < 512 || visit.bytesLeft < ss) return 0;
  int64_t start = -1;
  const uint8_t* boot = nullptr;
  const int more =
      Finder(*visit.engine, visit.drive)->AddDir(visit.sector, visit.position, &start, visit.bytesLeft / ss, &boot);
  if (boot) {
    const int type = Le16(boot + kBootFatSize16) ? kVolFat16 : kVolFat32;
    TracePrintfA("Lost FAT volume at %I64d: %d sectors a cluster, table of %u sectors\n", start,
                 int(boot[kBootSectorsPerCluster]),
                 type == kVolFat16 ? uint32_t(Le16(boot + kBootFatSize16)) : uint32_t(Le32(boot + kBootFatSize32)));
    visit.volumeFound = ProcBootCm(start, boot, uint8_t(type), nullptr, visit.drive);
  } else if (more > 0) {
    visit.needBytes = uint32_t(more) * ss;
  }
  return 1;
}

// Entries that may be a lost folder's: parsed in their volume when no
// walked folder holds them. Still offered to carving.
int VisitEntrySector(SectorVisit& visit) {
  if (!visit.engine || !visit.drive) return 0;
  Finder(*visit.engine, visit.drive)->NoteEntrySector(visit.position);
  return 0;
}

// A volume the Long Scan found (its boot sector, or one the finder built):
// walked from its root, then given the lost folders it holds.
void ParseFoundFatVolume(CVol& volume, ScanSink& engine) {
  auto* v = dynamic_cast<FATVol*>(&volume);
  if (!v || !v->cache) return;
  ParseFAT(v, engine);
  Finder(engine, v->drive)->AssignToVolume(v);
}

// A FAT32 boot sector the Long Scan meets may be the main one or its
// backup 6 sectors on: the locator decides where the volume starts, so the
// backup of a known volume adds nothing and the backup of a volume whose
// main one is gone places it where it lies.
int TakeFatBoot(SectorVisit& visit) {
  Drive* d = visit.drive;
  const int type = d ? ProbeFat(visit.sector) : 0;
  if (!type) return 1;
  BootLocate w;
  w.drive = d;
  w.type = uint8_t(type);
  w.position = visit.position;
  w.sector = visit.sector;
  w.sectorBytes = d->SectorSize() ? d->SectorSize() : 512;
  LocateFatVolume(w);
  const int64_t start = w.start >= 0 ? w.start : visit.position;
  visit.volumeFound = ProcBootCm(start, visit.sector, uint8_t(type), nullptr, d);
  return 1;
}

void FinishFatLongScan(ScanSink& engine, Drive*) {
  std::shared_ptr<void>& slot = engine.FamilyState(kNodeFat);
  if (slot) {
    auto* finder = static_cast<FATDirFinder*>(slot.get());
    if (!engine.StopRequested()) finder->ParseKeptEntrySectors();
    finder->FreeLists();
  }
  slot.reset();
}

const SectorKindEntry kSectorKinds[] = {
    {kSectFatBoot, IsFatBootKind, TakeFatBoot, 30, kKindEndsCarving | kKindBootSector},
    {kSectFatDir, IsFatFolder, VisitFolderSector, 110, kKindEndsCarving},
    {kSectFatEntries, IsFatEntries, VisitEntrySector, 235},
    // Tables last: their test accepts many sectors of other kinds.
    {kSectFat32Table, IsFat32Table, NoteTableSector, 240, kKindRemembered},
    {kSectFat16Table, IsFat16Table, NoteTableSector, 250, kKindRemembered},
};

// Save's check of the typed rows: the first FAT before the second, both
// 32-bit; FAT16 root entries fill whole sectors.
int CheckFatSettingRows(const CVol& volume, const int64_t* rows, int* row) {
  const uint64_t fat0 = uint64_t(rows[0]), fat1 = uint64_t(rows[1]);
  if (fat0 == 0 || fat0 + 1 >= fat1 || fat0 > UINT32_MAX || fat1 > UINT32_MAX) {
    *row = 0;
    return 575;
  }
  if (volume.type == kVolFat16 && rows[2] % 16 != 0) {
    *row = 2;
    return 576;
  }
  return 0;
}

// The properties rows: the first and second FAT's sectors, the root entry
// count (FAT12/16 only; 512 when the boot sector gave none).
bool ReadFatSettingRow(const CVol& volume, int row, int64_t* value) {
  const auto* v = dynamic_cast<const FATVol*>(&volume);
  if (!v || !v->fatSize) return false;
  switch (row) {
    case 0:
      *value = v->reserved;
      return true;
    case 1:
      *value = int64_t(v->reserved) + v->fatSize;
      return true;
    case 2:
      if (volume.type != kVolFat16) return false;
      *value = v->rootEntries ? v->rootEntries : 512;
      return true;
    default:
      return false;
  }
}

// The properties rows (first FAT, second FAT, root entries) as the boot
// sector of that geometry: two FATs, root cluster 2 on FAT32.
size_t FatBootFromSettingRows(const CVol& v, const int64_t* rows, uint8_t* buffer, size_t capacity) {
  if (capacity < v.sectorSize || rows[0] < 0 || rows[1] < rows[0] || rows[1] > int64_t(UINT32_MAX) ||
      rows[2] < 0 || rows[2] > int64_t(UINT32_MAX))
    return 0;
  const uint32_t rootEntries = v.type == kVolFat16 ? uint32_t(rows[2]) : 0;
  if (!BuildFATBootSector(buffer, v.type, v.sectorsPerCluster, uint32_t(rows[0]), rootEntries,
                          uint32_t(rows[1] - rows[0]), uint32_t(v.sizeSectors & 0xFFFFFFFFu), v.sectorSize))
    return 0;
  return v.sectorSize;
}

const FamilyType kTypes[] = {
    {.code = kVolFat16, .name = u"FAT", .dialog = {.rowMessages = {429, 566, 592, 0}, .rowsTyped = true}},
    {.code = kVolFat32, .name = u"FAT32", .dialog = {.rowMessages = {429, 566, 0, 0}, .rowsTyped = true}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateFatVolume,
    .init = InitFatVolume,
    .isRootId = IsFatRoot,
    .same = SameFatVolume,
    .readLabel = ReadFatLabel,
    .fileSystemName = FatFileSystemName,
    .readSettingRow = ReadFatSettingRow,
    .checkSettingRows = CheckFatSettingRows,
    .bootFromSettingRows = FatBootFromSettingRows,
};

const FamilySearchOps kSearch = {
    .probe = ProbeFat,
    .locate = LocateFatVolume,
    .keepsPastDriveEnd = KeepsFatPastDriveEnd,
    .driveOpen = FatDriveOpen,
};

const FamilyDataOps kData = {.map = MapFatNode, .read = ReadFatData};

const FamilyScanOps kScans = {
    .quickScan = QuickScanFat,
    .sectorKinds = kSectorKinds,
    .parseFoundVolume = ParseFoundFatVolume,
    .finishLongScan = FinishFatLongScan,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = FatWriteVolumeTail,
    .readVolumeTail = FatReadVolumeTail,
    .writeNodeTail = FatWriteNodeTail,
    .readNodeTail = FatReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "fat",
    .types = kTypes,
    .nodeFamily = kNodeFat,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterFatFamily() { RegisterVolumeFamily(kFamily); }
