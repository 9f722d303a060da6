// The ZFS family: a pool found through its vdev label, read as one volume
// whose datasets the folder walk takes one after the other, their folders
// ZAP objects and their files' data through block pointers.
#include "filesystems/zfs/ZfsFamily.h"

#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/ZfsEntries.h"
#include "filesystems/zfs/ZfsNode.h"
#include "filesystems/zfs/ZfsSession.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/FolderWalk.h"
#include "volumes/Node.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

using namespace zfs;

namespace {

bool IsUberblock(const uint8_t* s) {
  const uint64_t v = Le64(s);
  return v == kUberblockMagic || v == kUberblockMagicSwapped;
}

int ProbeZfs(const uint8_t* s) { return IsUberblock(s) ? kVolZfs : 0; }

// One pool label per drive: the first uberblock met places the pool (its
// label's start and allocatable size) and hands its active uberblock with
// the label's facts to the initialiser.
void LocateZfs(BootLocate& w) {
  if (!w.drive || w.drive->zfsLabelSeen) return;
  w.drive->zfsLabelSeen = 1;
  ZfsLabel label;
  const int64_t start = ZFSReadLabel(*w.drive, w.position, ProgramOptions().uberblockBackVersion, &label);
  if (!label.listFound || !label.haveUberblock || !w.sectorBytes) return;
  w.start = start;
  w.size = label.asize / w.sectorBytes;
  if (w.boot) *w.boot = MakeZfsBootBlock(label, w.position);
}

CVol* CreateZfsVolume(uint8_t) { return new (std::nothrow) CZFSVol(); }

bool InitZfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  if (!v) return false;
  if (drive) v->drive = drive;
  return InitZFSVol(*v, boot, sector);
}

// A pool whose label and MOS were read is kept when the source ends before
// its last sector (a partial image): what lies past the end is unreadable.
bool KeepsZfsPastDriveEnd(CVol& volume, Drive&) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  return v && v->mos;
}

bool IsZfsRoot(const CVol& volume, uint32_t id) {
  const auto* v = dynamic_cast<const CZFSVol*>(&volume);
  if (!v) return false;
  for (const ZfsDataset& ds : v->datasets)
    if (!ds.zvol && uint32_t(ds.rootObject) == id) return true;
  return false;
}

bool IsUberblockKind(const uint8_t* s, const ClassifyContext*) { return IsUberblock(s); }

bool MapZfsNode(CVol& volume, const cnode& node, const void*, uint32_t*) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  const ZfsNode* z = AsZfsNode(&node);
  return v && z && v->LoadNodeDnode(*z);
}

// A folder's blocks are read strictly (what cannot be read ends it); a
// file's unreadable blocks read as zeros and make the file incomplete.
int64_t ReadZfsNodeData(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  const ZfsNode* z = AsZfsNode(&node);
  if (!v || !z || !buffer) return -1;
  if ((!v->mapped || v->mappedDataset != z->datasetIndex || v->mappedObject != z->object) && !v->LoadNodeDnode(*z))
    return -1;
  const bool folder = node.IsDirectory();
  const uint64_t end = folder ? v->mapped->SpanBytes() : node.size;
  uint32_t bad = 0;
  const int64_t got =
      v->mapped->Read(offset, capacity, end, buffer, folder ? ZfsReadMode::kStrict : ZfsReadMode::kLenient, &bad);
  v->readFaults += bad;
  return got;
}

bool NextZfsRoots(CVol& volume, FolderWalk& walk, bool restart) {
  auto* v = dynamic_cast<CZFSVol*>(&volume);
  return v && ScanZfsDatasets(*v, walk, restart);
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateZfsNode;
  ops.destroy = DestroyZfsNode;
  ops.copyFields = CopyZfsNodeFields;
  ops.fileTime = GetZfsNodeFileTime;
  ops.location = ZfsNodeLocation;
  ops.traits = kNodeTraitCreationTime | kNodeTraitNoSymlinks;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectZfsUberblock, IsUberblockKind, nullptr, 230},
};

// A pool is not made from one block the volume dialog reads.
const FamilyType kTypes[] = {
    {.code = kVolZfs, .name = u"ZFS", .dialog = {.bootBlockReadable = false}},
};

const FamilyVolumeOps kVolume = {.create = CreateZfsVolume, .init = InitZfsVolume, .isRootId = IsZfsRoot};

const FamilySearchOps kSearch = {.probe = ProbeZfs, .locate = LocateZfs, .keepsPastDriveEnd = KeepsZfsPastDriveEnd};

const FamilyDataOps kData = {.map = MapZfsNode, .read = ReadZfsNodeData};

const FamilyScanOps kScans = {
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseZfsFolderPiece,
    .nextRoots = NextZfsRoots,
    .folderKey = ZfsFolderKey,
    .folderBytes = ZfsFolderBytes,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = ZfsWriteVolumeTail,
    .readVolumeTail = ZfsReadVolumeTail,
    .writeNodeTail = ZfsWriteNodeTail,
    .readNodeTail = ZfsReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "zfs",
    .types = kTypes,
    .nodeFamily = kNodeZfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterZfsFamily() { RegisterVolumeFamily(kFamily); }
