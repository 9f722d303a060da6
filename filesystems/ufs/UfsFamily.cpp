// UFS1 and UFS2 until their reader arrives: the type codes, the root inode,
// block-mapped nodes, the walk of their folders, and where the volume
// search puts a superblock. The superblock test recognises nothing yet.
#include "filesystems/ufs/UfsFamily.h"

#include <cstring>
#include <memory>
#include <new>

#include "foundation/ByteOrder.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// The superblock tests the UFS reader brings; none yet.
bool IsUfsSuperBlock(const uint8_t*) { return false; }
int GetUFSSuperBlockType(const uint8_t*, int) { return 0; }

int ProbeUfs(const uint8_t* s) { return IsUfsSuperBlock(s) ? GetUFSSuperBlockType(s, 0) : 0; }

// The superblock lies 8 KiB (UFS1) or 64 KiB (UFS2) into the volume; a
// UFS2 superblock is read whole (2048 bytes) for its size.
void LocateUfs(BootLocate& w) {
  const uint32_t ss = w.sectorBytes;
  const bool ufs1 = w.type == kVolUfs1;
  std::vector<uint8_t>& boot = *w.boot;
  if (!ufs1 && boot.size() < 2048) {
    boot.resize(2048);
    const uint32_t bytes = (2048 + ss - 1) / ss * ss;
    std::unique_ptr<uint8_t[]> more(new (std::nothrow) uint8_t[bytes]);
    if (!more || !ReadSectorsWaited(*w.drive, w.position, bytes, more.get())) return;
    memcpy(boot.data(), more.get(), 2048);
  }
  const uint32_t fsize = Le32(boot.data() + 52);
  const uint64_t units = ufs1 ? Le32(boot.data() + 36) : Le64(boot.data() + 1080);
  if (fsize < ss || __builtin_mul_overflow(uint64_t(fsize / ss), units, &w.size)) return;
  w.start = w.position - (ufs1 ? 8192 : 65536) / int64_t(ss);
}

bool IsUfsRoot(const CVol&, uint32_t id) { return id == 2; }

// Nodes read through their block map: nothing to build.
bool NoExtents(CVol&, const cnode&, const void*, uint32_t*) { return true; }

int64_t NoFirstSector(const cnode*, uint32_t) { return 0; }
bool AlwaysBlockMapped(const cnode*) { return true; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.firstSector = NoFirstSector;
  ops.blockMapped = AlwaysBlockMapped;
  ops.traits = kNodeTraitNoSymlinks | kNodeTraitSparseFiles;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectUfsSuper, nullptr, nullptr, 120},
};

// The rows of ext's properties; the superblock 8 KiB (UFS1) or 64 KiB
// (UFS2, read whole: 2048 bytes) into the volume.
constexpr VolumeDialogFacts kUfsDialog = {.rowMessages = {585, 586, 587, 588},
                                          .rowsReadOnly = true,
                                          .blockLabelled = true,
                                          .checksInodeSize = true};

const FamilyType kTypes[] = {
    {.code = kVolUfs1, .name = u"UFS1", .dialog = [] {
       VolumeDialogFacts d = kUfsDialog;
       d.bootBlockOffset = 16;
       return d;
     }()},
    {.code = kVolUfs2, .name = u"UFS2", .dialog = [] {
       VolumeDialogFacts d = kUfsDialog;
       d.bootBlockOffset = 128;
       d.bootBlockBytes = 2048;
       return d;
     }()},
};

const FamilyVolumeOps kVolume = {.isRootId = IsUfsRoot};

const FamilySearchOps kSearch = {.probe = ProbeUfs, .locate = LocateUfs};

const FamilyDataOps kData = {.map = NoExtents};

const FamilyScanOps kScans = {.walkFolders = kWalkInQuickScan | kWalkInLongScan, .sectorKinds = kSectorKinds};

const VolumeFamily kFamily = {
    .name = "ufs",
    .types = kTypes,
    .nodeFamily = kNodeUfs,
    .nodeOps = &kNodeOps,
    .volume = &kVolume,
    .search = &kSearch,
    .data = &kData,
    .scans = &kScans,
};

}  // namespace

void RegisterUfsFamily() { RegisterVolumeFamily(kFamily); }
