// UFS1 and UFS2's registration with the volume model: the volume class on
// ext's Unix volume, the superblock test (both byte orders) and where the
// volume lies, its nodes, the entry parser of the folder walk, the reading
// of a file through its block list of fragment addresses, and its sessions.
#include "filesystems/ufs/UfsFamily.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/ext/ExtSession.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/DirEntries.h"
#include "filesystems/ufs/SuperBlock.h"
#include "filesystems/ufs/UfsNode.h"
#include "filesystems/ufs/UfsSession.h"
#include "filesystems/ufs/UfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace ufs;

namespace {

// ---- volumes ----

CVol* CreateUfsVolume(uint8_t type) { return new (std::nothrow) CUFS1Vol(type); }

bool InitUfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  auto* v = dynamic_cast<CUFS1Vol*>(&volume);
  if (!v) return false;
  Drive* d = drive ? drive : volume.drive;
  const uint32_t ss = d && d->SectorSize() ? d->SectorSize() : 512;
  if (!InitUFSVol(v, boot, sector, ss)) return false;
  if (!v->bigEndian && !InitUfsRootNode(v) && traceUnixFsA) TracePrintfA("UFS root inode not valid\n");
  return true;
}

// A superblock the search found places its volume when the root folder is
// where it says (a copy in a group places nothing).
bool ConfirmUfsVolume(CVol& volume, const uint8_t*, Drive&) {
  auto* v = dynamic_cast<CUFS1Vol*>(&volume);
  return v && (v->bigEndian || UfsRootLooksRight(v));
}

bool IsUfsRoot(const CVol&, uint32_t id) { return id == kRootInode; }

WString UfsNotRead(const CVol& volume) {
  const auto* v = dynamic_cast<const CUFS1Vol*>(&volume);
  if (!v || !v->bigEndian) return WString();
  return FormatW(u"A big-endian UFS volume at sector %I64d is not read.", int64_t(v->startSector));
}

int64_t UfsBootBlockOffset(const CVol& volume) {
  const auto* v = dynamic_cast<const CUFS1Vol*>(&volume);
  const uint32_t ss = volume.sectorSize ? volume.sectorSize : 512;
  return v && v->superBlockAt ? int64_t(v->superBlockAt / ss) : -1;
}

// ---- the volume search ----

// Either byte order: a big-endian superblock is named, not read.
int ProbeUfs(const uint8_t* s) {
  if (const int t = GetUFSSuperBlockType(s, 0)) return t == 5 ? kVolUfs1 : kVolUfs2;
  if (const int t = GetUFSSuperBlockType(s, 1)) return t == 5 ? kVolUfs1 : kVolUfs2;
  return 0;
}

// The whole superblock is read (its magic, UFS2's size and location lie
// past the first sector); the volume starts where the superblock's
// location says (UFS2 at 8, 64 or 256 KiB; UFS1 at 8 KiB).
void LocateUfs(BootLocate& w) {
  const uint32_t ss = w.sectorBytes;
  if (!ss || kSuperBlockBytes % ss || !w.drive) return;
  std::vector<uint8_t>& boot = *w.boot;
  if (boot.size() < kSuperBlockBytes) {
    std::unique_ptr<uint8_t[]> more(new (std::nothrow) uint8_t[kSuperBlockBytes]);
    if (!more || !ReadSectorsWaited(*w.drive, w.position, kSuperBlockBytes, more.get())) return;
    boot.assign(more.get(), more.get() + kSuperBlockBytes);
  }
  const bool swapped = !GetUFSSuperBlockType(boot.data(), 0);
  const UfsSuperBlock sb = ParseUfsSuperBlock(boot.data(), boot.size(), swapped);
  const int type = sb.MagicType();
  if (!type || !UfsGeometryAgrees(sb, type) || sb.fragmentSize < ss) return;
  const int64_t back = int64_t(UfsSuperBlockOffset(sb, type) / ss);
  if (w.position < back) return;
  if (__builtin_mul_overflow(uint64_t(sb.fragmentSize / ss), sb.TotalFragments(type), &w.size)) return;
  w.start = w.position - back;
}

// A volume past the drive's end is kept when its root folder is on the
// drive and reads right.
bool KeepsUfsPastDriveEnd(CVol& volume, Drive& drive) {
  auto* v = dynamic_cast<CUFS1Vol*>(&volume);
  if (!v || v->bigEndian) return false;
  const uint32_t ds = drive.SectorSize() ? drive.SectorSize() : 512;
  if ((unsigned __int128)v->sizeSectors * (v->sectorSize ? v->sectorSize : ds) > (unsigned __int128)INT64_MAX)
    return false;
  if (!v->drive) v->drive = &drive;
  return UfsRootLooksRight(v);
}

bool IsUfsSuperKind(const uint8_t* s, const ClassifyContext*) { return ProbeUfs(s) != 0; }

// Every group keeps a copy of the superblock: one met in the sector pass
// cannot place its volume, and is only traced.
int TraceUfsSuper(SectorVisit& visit) {
  if (traceUnixFsA)
    TracePrintfA("UFS superblock @ %I64d%s\n", visit.position,
                 GetUFSSuperBlockType(visit.sector, 0) ? "" : " (big-endian)");
  return 1;
}

// ---- reading ----

const UnixNode* AsUfsNode(const cnode* node) {
  return node && node->Family() == kNodeUfs ? static_cast<const UnixNode*>(node) : nullptr;
}

// Nodes read through their block list: nothing to build.
bool MapUfsNode(CVol&, const cnode&, const void*, uint32_t*) { return true; }

int64_t ReadUfsData(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) {
  const UnixNode* u = AsUfsNode(&node);
  auto* v = dynamic_cast<CUnixVol*>(&volume);
  if (!u || !v) return -1;
  uint32_t corrupt = 0;
  return v->ReadFileData(offset, capacity, buffer, capacity, u->List(), u->listLength, &corrupt);
}

bool AlwaysBlockMapped(const cnode*) { return true; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateUfsNode;
  ops.destroy = DestroyUnixNode;
  ops.copyFields = CopyUnixNodeFields;
  ops.fileTime = GetUnixNodeFileTime;
  ops.firstSector = GetUnixNodeFirstSector;
  ops.blockMapped = AlwaysBlockMapped;
  ops.traits = kNodeTraitNoSymlinks | kNodeTraitSparseFiles;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectUfsSuper, IsUfsSuperKind, TraceUfsSuper, 120},
};

// The rows of ext's properties; the superblock (read whole) 8 KiB (UFS1) or
// 64 KiB (UFS2: unless the volume's own says 8 or 256) into the volume.
constexpr VolumeDialogFacts kUfsDialog = {.rowMessages = {585, 586, 587, 588},
                                          .rowsReadOnly = true,
                                          .blockLabelled = true,
                                          .checksInodeSize = true,
                                          .bootBlockBytes = kSuperBlockBytes};

const FamilyType kTypes[] = {
    {.code = kVolUfs1, .name = u"UFS1", .dialog = [] {
       VolumeDialogFacts d = kUfsDialog;
       d.bootBlockOffset = kSuperBlockUfs1 / 512;
       return d;
     }()},
    {.code = kVolUfs2, .name = u"UFS2", .dialog = [] {
       VolumeDialogFacts d = kUfsDialog;
       d.bootBlockOffset = kSuperBlockUfs2 / 512;
       return d;
     }()},
};

const FamilyVolumeOps kVolume = {
    .create = CreateUfsVolume,
    .init = InitUfsVolume,
    .confirm = ConfirmUfsVolume,
    .isRootId = IsUfsRoot,
    .notReadReason = UfsNotRead,
    .readSettingRow = ReadUnixSettingRow,
    .bootBlockOffset = UfsBootBlockOffset,
};

const FamilySearchOps kSearch = {.probe = ProbeUfs, .locate = LocateUfs, .keepsPastDriveEnd = KeepsUfsPastDriveEnd};

const FamilyDataOps kData = {.map = MapUfsNode, .read = ReadUfsData};

const FamilyScanOps kScans = {
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseUfsEntries,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = ExtWriteVolumeTail,
    .readVolumeTail = UfsReadVolumeTail,
    .writeNodeTail = ExtWriteNodeTail,
    .readNodeTail = ExtReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "ufs",
    .types = kTypes,
    .nodeFamily = kNodeUfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterUfsFamily() { RegisterVolumeFamily(kFamily); }
