#include "filesystems/ufs/Inode.h"

#include "filesystems/ext/Inode.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ext/UnixVolume.h"
#include "filesystems/ufs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace ufs;

uint16_t UfsInode::Type() const { return mode & kModeTypeMask; }
bool UfsInode::IsDirectory() const { return Type() == kModeDirectory; }
bool UfsInode::IsRegular() const { return Type() == kModeRegular; }
bool UfsInode::IsSymlink() const { return Type() == kModeSymlink; }

uint64_t UfsInode::Pointer(uint32_t i) const {
  return pointerBytes == 8 ? Le64(blockArea + 8 * i) : Le32(blockArea + 4 * i);
}

UfsInode ParseUfsInode(const uint8_t* p, bool ufs2) {
  UfsInode n;
  n.mode = Le16(p + kInodeMode);
  n.links = Le16(p + kInodeLinks);
  if (ufs2) {
    n.size = Le64(p + kInode2Size);
    n.modifyTime = Le32(p + kInode2ModifyTime);
    n.blockArea = p + kInode2Blocks;
    n.pointerBytes = 8;
  } else {
    n.size = Le64(p + kInode1Size);
    n.modifyTime = Le32(p + kInode1ModifyTime);
    n.blockArea = p + kInode1Blocks;
    n.pointerBytes = 4;
  }
  return n;
}

UfsInodeContext UfsContextOf(const CUnixVol& v, bool ufs2) {
  UfsInodeContext c;
  c.haveVolume = true;
  c.ufs2 = ufs2;
  c.blockSize = v.clusterSize;
  c.fragsPerBlock = v.fragsPerBlock ? v.fragsPerBlock : 1;
  c.singleLimit = v.singleLimit;
  c.doubleLimit = v.doubleLimit;
  return c;
}

namespace {

// A short symbolic link keeps its target in the block area.
uint64_t ShortLinkBytes(bool ufs2) { return ufs2 ? kInode2BlockBytes : kInode1BlockBytes; }

}  // namespace

bool IsUFSInode(const uint8_t* p, const UfsInodeContext& c, bool strict) {
  const UfsInode n = ParseUfsInode(p, c.ufs2);
  if (strict && !UnixModePlausible(n.mode)) return false;
  if (!c.haveVolume || !c.blockSize) return true;
  if (n.IsSymlink() && n.size < ShortLinkBytes(c.ufs2)) return true;
  const uint64_t blocks = n.size / c.blockSize + (n.size % c.blockSize ? 1 : 0);
  if (n.Pointer(kDirectBlocks + 2) && blocks <= c.doubleLimit) return false;
  if (n.Pointer(kDirectBlocks + 1) && blocks <= c.singleLimit) return false;
  if (blocks <= kDirectBlocks)
    for (uint64_t i = blocks; i < kDirectBlocks + 3; ++i)
      if (n.Pointer(uint32_t(i))) return false;
  // Whole blocks start on a block; only the last one may be fragments.
  const uint64_t whole = std::min<uint64_t>(n.size / c.blockSize, kDirectBlocks);
  for (uint64_t i = 0; i < whole; ++i)
    if (n.Pointer(uint32_t(i)) % c.fragsPerBlock) return false;
  if (n.IsDirectory() && n.size % kDirChunk) return false;
  return true;
}

bool FromUFSInode(UnixNode* node, const UfsInode& n, const CUnixVol* v) {
  if (!n.mode) return false;
  if (n.IsDirectory()) node->flags2 |= kNode2Directory;
  if (n.IsSymlink()) node->flags |= kNodeSymlink;
  node->modifyTime = n.modifyTime;
  node->size = n.size;
  if (n.IsSymlink()) return node->SetList(nullptr, 0);
  const uint32_t bs = v && v->clusterSize ? v->clusterSize : 8192;
  const uint64_t blocks = n.size / bs + (n.size % bs ? 1 : 0);
  const uint32_t w = n.pointerBytes;
  uint32_t bytes;
  if (blocks <= kDirectBlocks) bytes = uint32_t(w * blocks);
  else if (!v || blocks <= v->singleLimit) bytes = w * (kDirectBlocks + 1);
  else if (blocks <= v->doubleLimit) bytes = w * (kDirectBlocks + 2);
  else bytes = w * (kDirectBlocks + 3);
  return node->SetList(n.blockArea, uint8_t(bytes));
}
