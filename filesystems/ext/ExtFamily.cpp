// ext2/3/4 until its reader arrives: the type code, the root inode, the
// extent-tree reader of the volume model, the walk of its folders in a
// Quick Scan, and where the volume search puts a superblock. Its superblock
// test recognises nothing yet, so no ext volume is made.
#include "filesystems/ext/ExtFamily.h"

#include "foundation/ByteOrder.h"
#include "volumes/Extents.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

ExtentTreeTest g_extentTreeTest = nullptr;

// The superblock test the ext reader brings; none yet.
bool IsExtSuperBlock(const uint8_t*) { return false; }

bool IsExtSuper(const uint8_t* s) {
  const uint16_t inodeSize = Le16(s + 88);
  return s[56] == 0x53 && s[57] == 0xEF && (inodeSize == 128 || inodeSize == 256) && IsExtSuperBlock(s);
}

// Only the superblock of block group 0 starts a volume.
int ProbeExt(const uint8_t* s) { return IsExtSuper(s) && Le16(s + 0x5A) == 0 ? kVolExt : 0; }

// The superblock lies 1024 bytes into the volume.
void LocateExt(BootLocate& w) {
  const uint32_t ss = w.sectorBytes;
  if (ss > 1024) return;
  const uint32_t logBlock = Le32(w.sector + 24);
  if (logBlock > 20) return;
  const uint64_t blockBytes = uint64_t(1024) << logBlock;
  if (blockBytes < ss || __builtin_mul_overflow(blockBytes / ss, uint64_t(Le32(w.sector + 4)), &w.size)) return;
  w.start = w.position - int64_t(1024 / ss);
}

bool IsExtRoot(const CVol&, uint32_t id) { return id == 2; }

CExtents* CreateExtReader(CVol& volume) { return new ExtExtentReader(&volume); }

// `aux` is the inode's 60-byte block area; without it the node is
// block-mapped and needs no mapping.
bool BuildExtExtents(CVol& volume, const cnode* node, const void* aux, uint32_t*) {
  if (!aux) return true;
  if (!PrepareNodeExtents(volume, node)) return false;
  auto* reader = static_cast<ExtExtentReader*>(volume.extents.get());
  if (!ExtLoadExtents(reader, static_cast<const uint8_t*>(aux), kExtInodeAreaBytes)) return false;
  const uint32_t bytes = reader->clusterSize;
  reader->SetTotalClusters(node->size / bytes + (node->size % bytes ? 1 : 0));
  return true;
}

// The Unix node reads its block map.
int64_t NoFirstSector(const cnode*, uint32_t) { return 0; }
bool ExtBlockMapped(const cnode* node) { return g_extentTreeTest && !g_extentTreeTest(node); }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.firstSector = NoFirstSector;
  ops.blockMapped = ExtBlockMapped;
  ops.traits = kNodeTraitNoSymlinks;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectExtSuper, nullptr, nullptr},
    {kSectUnixDir, nullptr, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "ext";
  f.types[0] = kVolExt;
  f.typeCount = 1;
  f.nodeFamily = kNodeExt;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsExtRoot;
  f.probe = ProbeExt;
  f.locate = LocateExt;
  f.createExtents = CreateExtReader;
  f.buildNodeExtents = BuildExtExtents;
  f.readNodeClusters = ReadClustersThroughExtents;
  f.walkFolders = kWalkInQuickScan;
  f.folderSizeInClusters = true;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void SetExtentTreeTest(ExtentTreeTest test) { g_extentTreeTest = test; }

void RegisterExtFamily() { RegisterVolumeFamily(kFamily); }
