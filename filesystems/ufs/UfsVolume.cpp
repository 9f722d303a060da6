#include "filesystems/ufs/UfsVolume.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "filesystems/ext/DirBlocks.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/Inode.h"
#include "filesystems/ufs/SuperBlock.h"
#include "filesystems/ufs/UfsNode.h"
#include "foundation/AppState.h"
#include "volumes/ScanSink.h"

using namespace ufs;

CUFS1Vol::CUFS1Vol(uint8_t t) {
  type = t == kVolUfs2 ? kVolUfs2 : kVolUfs1;
  inodeBase = 0;
  fragmentAddressed = true;
  entryLayout = UnixEntryLayout{kDeNameLen, kDeType, kDtRegular, kDtDirectory, kDtSymlink};
}

bool CUFS1Vol::Ufs2() const { return type == kVolUfs2; }

bool CUFS1Vol::InodesPlausible(const uint8_t* data, size_t bytes) const {
  const UfsInodeContext c = UfsContextOf(*this, Ufs2());
  for (size_t at = 0; at + inodeSize <= bytes; at += inodeSize)
    if (!IsUFSInode(data + at, c, false)) return false;
  return true;
}

int64_t CUFS1Vol::InodeTableBlock(uint64_t group) {
  if (group >= groupCount) return -1;
  uint64_t block = group * blocksPerGroup + inodeTableOffset;
  // UFS1 staggers each group's metadata by its cylinder-group offset.
  if (!Ufs2()) block += cgOffset * (group & staggerMask);
  return block < totalBlocks ? int64_t(block) : -1;
}

bool TakeUfsGeometry(CUFS1Vol* v, const UfsSuperBlock& sb, int type) {
  if (!UfsGeometryAgrees(sb, type) || !v->SetClusterSize(sb.blockSize)) return false;
  v->type = type == 6 ? kVolUfs2 : kVolUfs1;
  v->fragmentSize = sb.fragmentSize;
  v->fragsPerBlock = sb.fragsPerBlock;
  v->fragsPerBlockShift = uint32_t(std::countr_zero(sb.fragsPerBlock));
  v->fragmentAddressed = true;
  v->groupCount = sb.groups;
  v->inodesPerGroup = sb.inodesPerGroup;
  v->totalFragments = sb.TotalFragments(type);
  v->freeInodes = type == 6 ? uint32_t(std::min<uint64_t>(sb.freeInodes, UINT32_MAX)) : sb.oldFreeInodes;
  v->inodeTableOffset = sb.inodeBlocks / sb.fragsPerBlock;
  v->blocksPerGroup = sb.fragsPerGroup / sb.fragsPerBlock;
  v->inodeSize = sb.blockSize / sb.inodesPerBlock;
  v->totalBlocks = (v->totalFragments + sb.fragsPerBlock - 1) / sb.fragsPerBlock;
  v->inodeCount = uint32_t(uint64_t(sb.groups) * sb.inodesPerGroup);
  v->inodeBase = 0;
  if (type == 6) {
    v->cgOffset = 0;
    v->staggerMask = 0;
  } else {
    v->cgOffset = sb.cgOffset / sb.fragsPerBlock;
    v->staggerMask = uint64_t(~sb.cgMask) & 0xFFFFFFFFu;
  }
  v->superBlockAt = UfsSuperBlockOffset(sb, type);
  v->label = UfsVolumeLabel(sb, type);
  // The name length and the type trade places with the option.
  const bool keep = v->Options().ufsKeepLengthAndTypeOrder != 0;
  v->entryLayout = UnixEntryLayout{uint8_t(keep ? kDeType : kDeNameLen), uint8_t(keep ? kDeNameLen : kDeType),
                                   kDtRegular, kDtDirectory, kDtSymlink};
  v->InitBlockMapLevels(type == 6 ? 8 : 4);
  return v->InitInodeGeometry();
}

bool InitUFSVol(CUFS1Vol* v, const uint8_t* s, int64_t start, uint32_t sectorSize) {
  if (!v || !s || start < 0 || !v->SetSectorSize(sectorSize ? sectorSize : 512)) return false;
  bool swapped = false;
  if (!GetUFSSuperBlockType(s, 0)) {
    if (!GetUFSSuperBlockType(s, 1)) return false;
    swapped = true;
  }
  const UfsSuperBlock sb = ParseUfsSuperBlock(s, kSuperBlockBytes, swapped);
  const int type = sb.MagicType();
  if (!type) return false;
  v->bigEndian = swapped;
  if (!TakeUfsGeometry(v, sb, type)) return false;
  if (v->clusterShift < v->sectorShift && v->fragmentSize < sectorSize) return false;
  const unsigned __int128 bytes = (unsigned __int128)v->totalFragments * v->fragmentSize;
  if (bytes / v->sectorSize > (unsigned __int128)INT64_MAX) return false;
  v->sizeSectors = uint64_t(bytes / v->sectorSize);
  v->startSector = uint64_t(start);
  if (!v->AllocBuffers()) return false;
  // A big-endian volume is named, not read: no root to walk.
  if (!swapped && !v->rootNode) {
    auto* root = static_cast<UnixNode*>(CreateUfsNode());
    if (!root) return false;
    root->id = kRootInode;
    root->parentId = kRootInode;
    root->flags2 |= kNode2Directory;
    v->rootNode = root;
  }
  return true;
}

bool InitUfsRootNode(CUFS1Vol* v) {
  if (!v || !v->rootNode || v->bigEndian) return false;
  UnixInodeCache cache(v->clusterSize);
  const uint8_t* p = v->GetInode(kRootInode, nullptr, cache);
  if (!p || !IsUFSInode(p, UfsContextOf(*v, v->Ufs2()), false)) return false;
  const UfsInode n = ParseUfsInode(p, v->Ufs2());
  if (!n.IsDirectory() || !n.size) return false;
  auto* root = static_cast<UnixNode*>(v->rootNode);
  if (!FromUFSInode(root, n, v)) return false;
  root->id = kRootInode;
  root->parentId = kRootInode;
  v->SetNodeClusterCode(root);
  return true;
}

bool UfsRootLooksRight(CUFS1Vol* v) {
  if (!v || v->bigEndian || !v->drive) return false;
  UnixInodeCache cache(v->clusterSize);
  const uint8_t* p = v->GetInode(kRootInode, nullptr, cache);
  if (!p) return false;
  const UfsInode n = ParseUfsInode(p, v->Ufs2());
  if (!n.IsDirectory() || n.size < kDirChunk || !IsUFSInode(p, UfsContextOf(*v, v->Ufs2()), false)) return false;
  UnixNode root(kNodeUfs);
  if (!FromUFSInode(&root, n, v)) return false;
  std::vector<uint8_t> first(kDirChunk);
  uint32_t corrupt = 0;
  if (v->ReadFileData(0, kDirChunk, first.data(), first.size(), root.List(), root.listLength, &corrupt) !=
      int64_t(kDirChunk))
    return false;
  uint32_t dot = 0, dotDot = 0;
  // "." and ".." open with the type at byte 6 whichever way the option
  // reads names later.
  return IsUnixDirBlock(first.data(), &dot, &dotDot) == 5 && dot == kRootInode && dotDot == kRootInode;
}
