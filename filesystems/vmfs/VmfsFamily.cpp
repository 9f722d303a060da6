// VMFS until its reader arrives: the type code, the root, its volume header
// tests and where the volume search puts a volume. Its volumes are found
// and counted at their partitions but not made yet (no initialiser).
#include "filesystems/vmfs/VmfsFamily.h"

#include "foundation/ByteOrder.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr uint32_t kDescriptorMagic = 0x2FABF15E;
constexpr uint32_t kHeaderMagic = 0xC001D00D;

int ProbeVmfs(const uint8_t* s) { return Le32(s) == kDescriptorMagic || Le32(s) == kHeaderMagic ? kVolVmfs : 0; }

// The volume starts 19 MiB before its descriptor, 1 MiB before its header.
void LocateVmfs(BootLocate& w) {
  w.start = w.position - int64_t((Le32(w.sector) == kDescriptorMagic ? 0x1300000u : 0x100000u) / w.sectorBytes);
}

bool IsVmfsRoot(const CVol&, uint32_t id) { return id == 4; }

bool IsVmfsHeader(const uint8_t* s, const ClassifyContext*) { return Le32(s) == kHeaderMagic; }
bool IsVmfsDescriptor(const uint8_t* s, const ClassifyContext*) { return Le32(s) == kDescriptorMagic; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitCreationTime | kNodeTraitNoSymlinks;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectVmfsHeader, IsVmfsHeader, nullptr, 180},
    {kSectVmfsDescriptor, IsVmfsDescriptor, nullptr, 170},
};

const FamilyType kTypes[] = {
    {.code = kVolVmfs,
     .name = u"VMFS",
     .dialog = {.bootBlockOffset = 2048, .clusterLow = 1048576, .clusterHigh = 8388608}},
};

const FamilyVolumeOps kVolume = {.isRootId = IsVmfsRoot};

const FamilySearchOps kSearch = {.probe = ProbeVmfs, .locate = LocateVmfs};

const FamilyScanOps kScans = {.walkFolders = kWalkInQuickScan | kWalkInLongScan, .sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "vmfs",
    .types = kTypes,
    .nodeFamily = kNodeVmfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .scans = &kScans,
};

}  // namespace

void RegisterVmfsFamily() { RegisterVolumeFamily(kFamily); }
