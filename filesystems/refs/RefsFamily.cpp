// The ReFS family: its volume class, the boot sector's recogniser, its
// nodes, the page walk of the Quick Scan and of a volume the Long Scan
// finds, and a file's runs from its extent index.
#include "filesystems/refs/RefsFamily.h"

#include <new>

#include "filesystems/refs/Definitions.h"
#include "filesystems/refs/RefsBoot.h"
#include "filesystems/refs/RefsNode.h"
#include "filesystems/refs/RefsSession.h"
#include "filesystems/refs/RefsVolume.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace refs;

namespace {

CReFSVol* AsRefs(CVol& v) { return v.type == kVolRefs ? dynamic_cast<CReFSVol*>(&v) : nullptr; }

bool IsRefsRoot(const CVol&, uint32_t id) { return id == kRootTable; }

// "ReFS" and four NUL bytes at 3, "FSRS" at 0x10: every version's boot
// sector (the initialiser reads only 1.x).
bool IsRefsBoot(const uint8_t* s, const ClassifyContext*) { return ReadRefsBoot(s).signature; }
int ProbeRefs(const uint8_t* s) { return IsRefsBoot(s, nullptr) ? kVolRefs : 0; }

// A ReFS volume starts at its boot sector.
void LocateRefs(BootLocate& w) {
  w.start = w.position;
  const RefsBoot b = ReadRefsBoot(w.sector);
  if (b.GeometryUsable() && w.sectorBytes) {
    const unsigned __int128 bytes = (unsigned __int128)b.totalSectors * b.sectorBytes;
    w.size = uint64_t(std::min<unsigned __int128>(bytes / w.sectorBytes, UINT64_MAX));
  }
}

CVol* CreateRefsVolume(uint8_t) { return new (std::nothrow) CReFSVol(); }

bool InitRefsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  CReFSVol* v = AsRefs(volume);
  if (!v) return false;
  if (drive) v->drive = drive;
  return v->Init(boot, sector) == 1;
}

// Its checkpoints were read: the tree is there, whatever a cut image lost.
bool KeepsRefsPastDriveEnd(CVol& volume, Drive&) {
  const CReFSVol* v = AsRefs(volume);
  return v && v->rootPage;
}

int64_t RefsClusterValue(const CVol& volume) {
  const auto* v = dynamic_cast<const CReFSVol*>(&volume);
  return v ? int64_t(v->refsClusterSize) : 0;
}

bool SetRefsClusterValue(CVol& volume, uint32_t bytes) {
  CReFSVol* v = AsRefs(volume);
  return v && v->CVol::SetClusterSize(kPageBytes) && v->SetClusterSize(bytes);
}

bool MapRefsNode(CVol& volume, const cnode& node, const void*, uint32_t* corruptOut) {
  CReFSVol* v = AsRefs(volume);
  return v && v->ReadObjectTable(node, corruptOut);
}

int SearchRefsVolume(CVol& volume, ScanSink& engine, const QuickScanStep&) {
  CReFSVol* v = AsRefs(volume);
  return v ? v->Search(engine) : 0;
}

// A boot sector the Long Scan meets makes its volume, which the pass then
// walks (once: a volume the drive knows is not made again).
int TakeRefsBoot(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d) return 0;
  for (uint32_t i = 0; i < VolumeCount(*d); ++i) {
    const CVol* v = VolumeAt(*d, i);
    if (v && v->type == kVolRefs && int64_t(v->startSector) == visit.position) return 1;
  }
  visit.volumeFound = ProcBootCm(visit.position, visit.sector, kVolRefs, nullptr, d);
  return visit.volumeFound >= 0 ? 1 : 0;
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateRefsNode;
  ops.destroy = DestroyRefsNode;
  ops.copyFields = CopyRefsNodeFields;
  ops.fileTime = GetRefsNodeFileTime;
  ops.traits = kNodeTraitCreationTime | kNodeTraitSparseFiles;  // extents may leave holes
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectRefs, IsRefsBoot, TakeRefsBoot, 190},
};

const FamilyType kTypes[] = {
    {.code = kVolRefs, .name = u"ReFS", .dialog = {.clusterLow = 65536, .clusterHigh = 65536}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateRefsVolume,
    .init = InitRefsVolume,
    .isRootId = IsRefsRoot,
    .clusterValue = RefsClusterValue,
    .setClusterValue = SetRefsClusterValue,
};

const FamilySearchOps kSearch = {.probe = ProbeRefs, .locate = LocateRefs, .keepsPastDriveEnd = KeepsRefsPastDriveEnd};

// Files read through the volume's extents object (in pages).
const FamilyDataOps kData = {.map = MapRefsNode};

const FamilyScanOps kScans = {.quickScan = SearchRefsVolume, .sectorKinds = kSectorKinds};

const FamilySessionOps kSessions = {
    .writeVolumeTail = RefsWriteVolumeTail,
    .readVolumeTail = RefsReadVolumeTail,
    .writeNodeTail = RefsWriteNodeTail,
    .readNodeTail = RefsReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "refs",
    .types = kTypes,
    .nodeFamily = kNodeRefs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterRefsFamily() { RegisterVolumeFamily(kFamily); }
