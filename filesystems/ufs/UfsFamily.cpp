// UFS1 and UFS2 until their reader arrives: the type codes, the root inode,
// block-mapped nodes, the walk of their folders, and where the volume
// search puts a superblock. The superblock test recognises nothing yet.
#include "filesystems/ufs/UfsFamily.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/ext/ExtentTree.h"
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

CExtents* CreateBlockReader(CVol& volume) { return new ExtExtentReader(&volume); }

// Nodes read through their block map: nothing to build.
bool NoExtents(CVol&, const cnode*, const void*, uint32_t*) { return true; }

int64_t NoFirstSector(const cnode*, uint32_t) { return 0; }
bool AlwaysBlockMapped(const cnode*) { return true; }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.firstSector = NoFirstSector;
  ops.blockMapped = AlwaysBlockMapped;
  ops.traits = kNodeTraitNoSymlinks;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectUfsSuper, nullptr, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "ufs";
  f.types[0] = kVolUfs1;
  f.types[1] = kVolUfs2;
  f.typeCount = 2;
  f.nodeFamily = kNodeUfs;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsUfsRoot;
  f.probe = ProbeUfs;
  f.locate = LocateUfs;
  f.createExtents = CreateBlockReader;
  f.buildNodeExtents = NoExtents;
  f.walkFolders = kWalkInQuickScan | kWalkInLongScan;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterUfsFamily() { RegisterVolumeFamily(kFamily); }
