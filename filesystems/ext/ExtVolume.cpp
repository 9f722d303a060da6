#include "filesystems/ext/ExtVolume.h"

#include <algorithm>

#include "filesystems/ext/BlockBitmap.h"
#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/SuperBlock.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"

using namespace ext;

CExt3Vol::CExt3Vol() {
  type = kVolExt;
  inodeSize = 128;
  descTableBlock = 1;
}

CExt3Vol::~CExt3Vol() = default;

bool ExtGroupHasSuperBlock(uint64_t group, bool sparseSuper) {
  if (group <= 1 || !sparseSuper) return true;
  for (uint64_t base : {3, 5, 7}) {
    uint64_t p = base;
    while (p < group) p *= base;
    if (p == group) return true;
  }
  return false;
}

uint64_t CExt3Vol::DescriptorBlock(uint64_t index) const {
  if (index < firstMetaBg || !descPerBlockShift) return descTableBlock + index;
  const uint64_t group = index << descPerBlockShift;
  uint64_t block = firstDataBlock + group * blocksPerGroup;
  if (ExtGroupHasSuperBlock(group, sparseSuper)) ++block;
  // 1 KiB blocks with the superblock in block 0's place: group 0's table
  // follows the boot block as well.
  if (index == 0 && clusterSize == 1024 && firstDataBlock == 0) ++block;
  return block;
}

bool InitExt3Vol(CUnixVol* v, const ExtSuperBlock& sb) {
  if (sb.logBlockSize > kMaxLogBlockSize || !v->SetClusterSize(sb.BlockSize())) return false;
  if (!sb.blocksPerGroup || !sb.inodesPerGroup) return false;
  v->inodeCount = sb.inodeCount;
  v->totalBlocks = sb.blockCount;
  v->freeBlocks = sb.freeBlocks;
  v->freeInodes = sb.freeInodes;
  v->blocksPerGroup = sb.blocksPerGroup;
  v->inodesPerGroup = sb.inodesPerGroup;
  v->groupCount = sb.GroupCount();
  v->inodeSize = sb.inodeSize;
  v->label = ExtVolumeLabel(sb);
  v->checksums = (sb.roCompat & kRoCompatMetadataCsum) != 0;
  const uint64_t firstDesc = sb.BlockSize() > 1024 ? 1 : 2;
  v->descTableBlock = firstDesc + uint64_t(sb.blockGroup) * sb.blocksPerGroup;
  // 64-byte descriptors only with the 64-bit feature, whatever the others.
  v->descShift = (sb.incompat & kIncompat64Bit) ? kGdLargeShift : kGdSmallShift;
  if (auto* e = dynamic_cast<CExt3Vol*>(v)) {
    e->firstMetaBg = (sb.incompat & kIncompatMetaBg) ? sb.firstMetaBg : UINT64_MAX;
    e->firstDataBlock = sb.firstDataBlock;
    e->sparseSuper = (sb.roCompat & kRoCompatSparseSuper) != 0;
    e->flavour = sb.Flavour();
  }
  return true;
}

int InitUnixVol(CUnixVol* v, const uint8_t* s, int64_t start, uint32_t sectorSize) {
  if (!v || !s || start < 0 || !v->SetSectorSize(sectorSize ? sectorSize : 512)) return 0;
  if (IsExt3SuperBlock(s) < 0) return 0;
  v->descShift = kGdSmallShift;
  if (!InitExt3Vol(v, ParseExtSuperBlock(s))) return 0;
  v->fragmentSize = v->clusterSize;
  v->InitBlockMapLevels(4);
  if (!v->InitInodeGeometry()) return 0;
  if (v->clusterShift < v->sectorShift) return 0;
  v->sizeSectors = v->totalBlocks << (v->clusterShift - v->sectorShift);
  v->startSector = uint64_t(start);
  if (!v->AllocBuffers()) return 0;
  if (!v->rootNode) {
    auto* root = static_cast<UnixNode*>(CreateExtNode());
    if (!root) return 0;
    root->id = kRootInode;
    root->parentId = kRootInode;
    root->flags2 |= kNode2Directory;
    v->rootNode = root;
  }
  return 1;
}

bool InitRootNode(CUnixVol* v) {
  if (!v || !v->rootNode) return false;
  UnixInodeCache cache(v->clusterSize);
  const uint8_t* p = v->GetInode(kRootInode, nullptr, cache);
  if (!p) return false;
  const ExtInode n = ParseExtInode(p);
  if (!n.accessTime || !n.changeTime || !n.size || !n.mode || n.sizeHigh || !n.IsDirectory()) return false;
  if (!IsExtInode(p, v->InodeContext(), true)) return false;
  auto* root = static_cast<UnixNode*>(v->rootNode);
  if (!FromExtInode(root, n, v)) return false;
  root->flags &= uint16_t(~kNodeDeleted);
  root->id = kRootInode;
  root->parentId = kRootInode;
  v->SetNodeClusterCode(root);
  return true;
}
