// The VMFS family: its volume class, the header tests and where the volume
// search and the Long Scan put a volume, its nodes, the folder walk's entry
// parser and a file's mapping and bytes.
#include "filesystems/vmfs/VmfsFamily.h"

#include <new>

#include "filesystems/vmfs/Definitions.h"
#include "filesystems/vmfs/VmfsExtents.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "filesystems/vmfs/VmfsSession.h"
#include "filesystems/vmfs/VmfsVolume.h"
#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace vmfs;

namespace {

int ProbeVmfs(const uint8_t* s) { return Le32(s) == kSuperMagic || Le32(s) == kHeaderMagic ? kVolVmfs : 0; }

// The volume starts 19 MiB before its descriptor, 1 MiB before its header.
int64_t VolumeBack(const uint8_t* s, uint32_t sectorBytes) {
  return int64_t((Le32(s) == kSuperMagic ? kSuperBlockAt : kHeaderAt) / sectorBytes);
}

void LocateVmfs(BootLocate& w) { w.start = w.position - VolumeBack(w.sector, w.sectorBytes); }

bool IsVmfsRoot(const CVol&, uint32_t id) { return id == kRootAddress; }

bool IsVmfsHeader(const uint8_t* s, const ClassifyContext*) { return Le32(s) == kHeaderMagic; }
bool IsVmfsDescriptor(const uint8_t* s, const ClassifyContext*) { return Le32(s) == kSuperMagic; }

CVMFSVol* AsVmfs(CVol& v) { return v.type == kVolVmfs ? dynamic_cast<CVMFSVol*>(&v) : nullptr; }

CVol* CreateVmfsVolume(uint8_t) { return new (std::nothrow) CVMFSVol(); }

bool InitVmfsVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive* drive) {
  CVMFSVol* v = AsVmfs(volume);
  if (!v) return false;
  if (drive) v->drive = drive;
  return v->Init(boot, sector) == 1;
}

// The descriptor and the descriptor cluster were read from the drive: the
// volume's metadata is there, whatever lies past a cut image's end.
bool KeepsVmfsPastDriveEnd(CVol& volume, Drive&) {
  const CVMFSVol* v = AsVmfs(volume);
  return v && v->blockSize && v->descriptors;
}

int64_t VmfsClusterValue(const CVol& volume) {
  const auto* v = dynamic_cast<const CVMFSVol*>(&volume);
  return v ? int64_t(v->blockSize) : 0;
}

bool SetVmfsClusterValue(CVol& volume, uint32_t bytes) {
  CVMFSVol* v = AsVmfs(volume);
  return v && v->SetClusterSize(kClusterBytes) && v->SetBlockSize(bytes);
}

bool MapVmfsNode(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut) {
  CVMFSVol* v = AsVmfs(volume);
  if (!v || node.Family() != kNodeVmfs) return false;
  return v->BuildNodeExtents(node, static_cast<const uint8_t*>(aux), corruptOut);
}

int64_t ReadVmfsNodeData(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) {
  CVMFSVol* v = AsVmfs(volume);
  return v ? v->ReadFileData(offset, buffer, capacity, nullptr, node.IsDirectory()) : -1;
}

int ParseVmfsEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  CVMFSVol* v = AsVmfs(volume);
  return v ? v->ParseEntries(folder, data, bytes) : 0;
}

// A volume header or file-system descriptor the Long Scan meets: the volume
// it belongs to joins the table (once).
int TakeVmfsSector(SectorVisit& visit) {
  Drive* d = visit.drive;
  if (!d) return 0;
  const uint32_t ss = d->SectorSize() ? d->SectorSize() : 512;
  const int64_t back = VolumeBack(visit.sector, ss);
  if (visit.position < back) return 0;
  const int64_t start = visit.position - back;
  for (uint32_t i = 0; i < VolumeCount(*d); ++i) {
    const CVol* v = VolumeAt(*d, i);
    if (v && v->type == kVolVmfs && int64_t(v->startSector) == start) return 1;
  }
  visit.volumeFound = ProcBootCm(start, visit.sector, kVolVmfs, nullptr, d);
  return visit.volumeFound >= 0 ? 1 : 0;
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateVmfsNode;
  ops.destroy = DestroyVmfsNode;
  ops.copyFields = CopyVmfsNodeFields;
  ops.fileTime = GetVmfsNodeFileTime;
  // Thin files (zero addresses, blocks to be zeroed) may pass the volume.
  ops.traits = kNodeTraitCreationTime | kNodeTraitNoSymlinks | kNodeTraitSparseFiles;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectVmfsHeader, IsVmfsHeader, TakeVmfsSector, 180},
    {kSectVmfsDescriptor, IsVmfsDescriptor, TakeVmfsSector, 170},
};

const FamilyType kTypes[] = {
    {.code = kVolVmfs,
     .name = u"VMFS",
     .dialog = {.bootBlockOffset = 2048, .clusterLow = 1048576, .clusterHigh = 8388608}},
};

const FamilyVolumeOps kVolume = {
    .create = CreateVmfsVolume,
    .init = InitVmfsVolume,
    .isRootId = IsVmfsRoot,
    .clusterValue = VmfsClusterValue,
    .setClusterValue = SetVmfsClusterValue,
};

const FamilySearchOps kSearch = {.probe = ProbeVmfs, .locate = LocateVmfs, .keepsPastDriveEnd = KeepsVmfsPastDriveEnd};

// Read after the node was mapped for its recovery.
uint64_t VmfsDataEnd(CVol& volume, const cnode&) {
  CVMFSVol* v = AsVmfs(volume);
  return v ? v->MappedDataEnd() : UINT64_MAX;
}

const FamilyDataOps kData = {
    .map = MapVmfsNode, .read = ReadVmfsNodeData, .dataEnd = VmfsDataEnd, .mapIsPrivate = true};

const FamilyScanOps kScans = {
    .walkFolders = kWalkInQuickScan | kWalkInLongScan,
    .parseEntries = ParseVmfsEntries,
    .sectorKinds = kSectorKinds,
};

const FamilySessionOps kSessions = {
    .writeVolumeTail = VmfsWriteVolumeTail,
    .readVolumeTail = VmfsReadVolumeTail,
    .writeNodeTail = VmfsWriteNodeTail,
    .readNodeTail = VmfsReadNodeTail,
};

const VolumeFamily kFamily = {
    .name = "vmfs",
    .types = kTypes,
    .nodeFamily = kNodeVmfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
    .sessions = &kSessions,
};

}  // namespace

void RegisterVmfsFamily() { RegisterVolumeFamily(kFamily); }
