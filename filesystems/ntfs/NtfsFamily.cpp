#include "filesystems/ntfs/NtfsFamily.h"

#include <cstring>
#include <new>

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/LongScan.h"
#include "filesystems/ntfs/MftScan.h"
#include "filesystems/ntfs/NtfsBoot.h"
#include "filesystems/ntfs/NtfsIndex.h"
#include "filesystems/ntfs/NtfsSession.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// ---- nodes: the volume model's snode ----

cnode* CreateSnode() { return new (std::nothrow) snode(); }
void DestroySnode(cnode* node) { delete static_cast<snode*>(node); }
bool CopySnode(cnode* to, const cnode* from) {
  return static_cast<snode*>(to)->CopySnodeFields(static_cast<const snode*>(from));
}
bool SnodeTime(const cnode* node, uint64_t* out, int which) {
  const snode* s = static_cast<const snode*>(node);
  *out = which == 0 ? s->writeTime : s->creationTime;
  return true;
}
int64_t SnodeFirstSector(const cnode* node, uint32_t sectorSize) {
  return static_cast<const snode*>(node)->GetFirstSector(sectorSize);
}

uint64_t SnodeLocation(const cnode& node) { return static_cast<const snode&>(node).position; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.location = SnodeLocation;
  ops.create = CreateSnode;
  ops.destroy = DestroySnode;
  ops.copyFields = CopySnode;
  ops.fileTime = SnodeTime;
  ops.firstSector = SnodeFirstSector;
  ops.traits = kNodeTraitEngineRecovery;
  return ops;
}();

// ---- volumes ----

CVol* CreateNtfsVolume(uint8_t) { return new (std::nothrow) NTFSVol(); }

bool InitNtfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive*) {
  auto& v = static_cast<NTFSVol&>(volume);
  if (!NTFS::BootParse(&v, boot)) return false;
  v.type = kVolNtfs;
  v.startSector = uint64_t(sector);
  return true;
}

bool IsNtfsRoot(const CVol&, uint32_t id) { return id == 5; }

// Two readings of one volume (the primary boot sector and its backup
// disagreeing on where $MFT or $MFTMirr lie) are one volume: same start,
// same size. CompleteNtfsVolume keeps the places whose record 0 checks out.
bool SameNtfsVolume(const CVol& known, const CVol& found) {
  if (known.startSector != found.startSector) return false;
  return SameVolumeSize(known, found, 0);
}

// A volume past the drive's end is kept when its $MFT (or $MFTMirr) record
// 0 is on the drive and checks out.
bool KeepsNtfsPastDriveEnd(CVol& volume, Drive& drive) {
  auto& v = static_cast<NTFSVol&>(volume);
  const uint32_t ds = drive.SectorSize() ? drive.SectorSize() : 512;
  // No disk holds more than 2^63 bytes: a larger total is a damaged field.
  if ((unsigned __int128)v.sizeSectors * (v.sectorSize ? v.sectorSize : ds) > (unsigned __int128)INT64_MAX) return false;
  auto onDrive = [&](int64_t sector) {
    const unsigned __int128 at = (unsigned __int128)v.startSector * ds + (unsigned __int128)uint64_t(sector) * v.sectorSize;
    return sector > 0 && at + v.recordSize <= (unsigned __int128)drive.SectorCount() * ds;
  };
  return (onDrive(v.mftSector) && v.MftRecordAt(v.mftSector)) ||
         (onDrive(v.mirrorSector) && v.MftRecordAt(v.mirrorSector));
}

void CompleteNtfsVolume(CVol& known, const CVol& found) {
  auto& k = static_cast<NTFSVol&>(known);
  auto& f = const_cast<NTFSVol&>(static_cast<const NTFSVol&>(found));
  if (f.mftSector && k.mftSector != f.mftSector && !k.MftRecordAt(k.mftSector) && f.MftRecordAt(f.mftSector)) {
    k.mftSector = f.mftSector;
    k.mftCluster = f.mftCluster;
  }
  if (f.mirrorSector && k.mirrorSector != f.mirrorSector && !k.MftRecordAt(k.mirrorSector) &&
      f.MftRecordAt(f.mirrorSector)) {
    k.mirrorSector = f.mirrorSector;
    k.mirrorCluster = f.mirrorCluster;
  }
  k.CompleteFrom(f);
}

// ---- the volume search ----

int ProbeNtfs(const uint8_t* sector) { return NTFS::IsBootSector(sector) ? kVolNtfs : 0; }

void LocateNtfs(BootLocate& w) {
  NTFSVol v;
  if (!NTFS::BootParse(&v, w.sector) || !ToDriveSectors(v.totalSectors, v.sectorSize, w.sectorBytes, &w.size)) return;
  // At the classic partition starts a boot sector is the primary copy.
  w.start = (w.position == 63 || w.position == 2048) ? w.position : ResolveNtfsBootCopy(w.position, w.sector, w.drive);
}

int ProbeNtfsBackup(const uint8_t* sector) { return memcmp(sector + 3, "NTFS    ", 8) == 0 ? kVolNtfs : 0; }

bool NtfsDriveOpen(Drive& drive, const uint8_t* first, uint32_t bytes, DriveOpenFacts* facts) {
  if (memcmp(first + 3, "NTFS    ", 8) != 0 || first[11] != 0) return false;
  facts->recentlyFormatted = NTFS::RecentlyFormatted(drive, first, bytes);
  return true;
}

// ---- sector kinds ----

bool IsFileRecord(const uint8_t* s, const ClassifyContext*) { return memcmp(s, "FILE", 4) == 0 && CheckFILERecord(s); }
bool IsNtfsBootKind(const uint8_t* s, const ClassifyContext*) { return NTFS::IsBootSector(s); }
bool IsLogRecordPage(const uint8_t* s, const ClassifyContext*) { return memcmp(s, "RCRD", 4) == 0; }

const SectorKindEntry kSectorKinds[] = {
    {kSectNtfsRecord, IsFileRecord, NTFS::VisitFileRecord, 10, kKindEndsCarving},
    {kSectNtfsBoot, IsNtfsBootKind, NTFS::VisitBootSector, 20, kKindEndsCarving | kKindBootSector},
    {kSectRcrd, IsLogRecordPage, nullptr, 130},
};

// A folder index record found by the carving pass: its allocated size when
// its header and update sequence check out.
uint64_t SizeIndexRecord(const uint8_t* b, size_t length, uint32_t* vcn) {
  if (length < kIndxStride || std::memcmp(b, "INDX", 4) != 0) return 0;
  uint32_t v = 0;
  if (!CheckINDXSector(b, kIndxStride, nullptr, &v)) return 0;
  *vcn = v;
  return uint64_t(Le32(b + kIndxAllocated)) + kIndxHeaderBase;
}

// The properties rows: where the MFT and its mirror start, in clusters.
bool ReadNtfsSettingRow(const CVol& volume, int row, int64_t* value) {
  const auto* n = dynamic_cast<const NTFSVol*>(&volume);
  if (!n || row > 1 || volume.sectorsPerCluster == 0 || volume.clusterSize < volume.sectorSize) return false;
  *value = (row == 0 ? n->mftSector : n->mirrorSector) / int64_t(volume.sectorsPerCluster);
  return true;
}

void WriteNtfsSettingRows(CVol& volume, const int64_t* rows) {
  auto* n = dynamic_cast<NTFSVol*>(&volume);
  if (!n) return;
  const int64_t spc = volume.sectorsPerCluster;
  n->mftSector = rows[0] * spc;
  n->mirrorSector = rows[1] * spc;
  if (spc) {
    n->mftCluster = uint64_t(n->mftSector) / uint64_t(spc);
    n->mirrorCluster = uint64_t(n->mirrorSector) / uint64_t(spc);
  }
}

// The label lives in record 3: read on first use (the volume choice names
// it), once.
void ReadNtfsLabel(CVol& volume) {
  auto* v = dynamic_cast<NTFSVol*>(&volume);
  if (!v || v->labelRead) return;
  v->labelRead = true;
  try {
    v->label = v->ReadVolumeLabel();
  } catch (...) {
    // An unreadable record leaves the volume unnamed.
  }
}

const FamilyType kTypes[] = {
    {.code = kVolNtfs, .name = u"NTFS", .dialog = {.rowMessages = {413, 414, 0, 0}, .rowsTyped = true}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateNtfsVolume,
    .init = InitNtfsVolume,
    .isRootId = IsNtfsRoot,
    .same = SameNtfsVolume,
    .completeKnown = CompleteNtfsVolume,
    .readLabel = ReadNtfsLabel,
    .readSettingRow = ReadNtfsSettingRow,
    .writeSettingRows = WriteNtfsSettingRows,
};

const FamilySearchOps kSearch = {
    .probe = ProbeNtfs,
    .locate = LocateNtfs,
    .lastSectorProbe = ProbeNtfsBackup,
    .trailingSectors = 1,  // the backup boot sector
    .fillsPartition = true,
    .keepsPastDriveEnd = KeepsNtfsPastDriveEnd,
    .driveOpen = NtfsDriveOpen,
};

// NTFS files are read by the engine's record road, not through the data
// group.
const FamilyScanOps kScans = {
    .quickScan = NTFS::QuickScan,
    .sectorKinds = kSectorKinds,
    .parseFoundVolume = NTFS::ParseFoundVolume,
    .finishLongScan = NTFS::FinishLongScan,
    .carvedKind = kTypeIdx,
    .sizeCarvedKind = SizeIndexRecord,
};

const FamilySessionOps kSessions = {.writeNodeTail = NtfsWriteNodeTail, .readNodeTail = NtfsReadNodeTail};

const VolumeFamily kFamily = {
    .name = "ntfs",
    .types = kTypes,
    .nodeFamily = kNodeNtfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterNtfsFamily() { RegisterVolumeFamily(kFamily); }
