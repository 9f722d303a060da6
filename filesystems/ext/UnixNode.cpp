#include "filesystems/ext/UnixNode.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtentTree.h"
#include "filesystems/ext/InlineData.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/UnixVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

UnixNode::~UnixNode() {
  if (listLength > kInlineListBytes) delete[] heap_;
}

bool UnixNode::SetList(const uint8_t* bytes, uint8_t length) {
  if (listLength > kInlineListBytes) delete[] heap_;
  heap_ = nullptr;
  listLength = 0;
  if (!length) return true;
  if (length <= kInlineListBytes) {
    memcpy(inline_, bytes, length);
  } else {
    heap_ = new (std::nothrow) uint8_t[length];
    if (!heap_) return false;
    memcpy(heap_, bytes, length);
  }
  listLength = length;
  return true;
}

void UnixNode::BlockArea(uint8_t out[60]) const {
  memset(out, 0, kInodeBlockAreaBytes);
  if (const uint8_t* list = List())
    memcpy(out, list, listLength < kInodeBlockAreaBytes ? listLength : kInodeBlockAreaBytes);
}

uint64_t UnixNode::GetTime() const { return (uint64_t(modifyTime) + kUnixEpochSeconds) * 10000000ull; }

WString UnixNode::GetTimeText() const { return FormatDateTime(GetTime()); }

int64_t UnixNode::GetFirstSector(const CUnixVol& v, uint32_t sectorSize) const {
  const uint8_t* list = List();
  if (!list || !sectorSize || inlineData) return -1;
  uint64_t block = 0;
  if (extents) {
    uint8_t area[kInodeBlockAreaBytes];
    BlockArea(area);
    ExtExtentReader reader(const_cast<CUnixVol*>(&v));
    const int64_t first = reader.FirstDataBlock(area, kInodeBlockAreaBytes);
    if (first < 0) return -1;
    block = uint64_t(first);
  } else {
    // The first pointer, in the list's units (a UFS fragment address lies
    // anywhere in a block).
    if (listLength < v.pointerBytes) return -1;
    const uint64_t address = v.pointerBytes == 8 ? Le64(list) : Le32(list);
    const unsigned __int128 byte = (unsigned __int128)address * v.UnitBytes();
    return int64_t(std::min<unsigned __int128>(byte / sectorSize, INT64_MAX));
  }
  if (v.clusterSize >= sectorSize) return int64_t(block * (v.clusterSize / sectorSize));
  return int64_t(block * v.clusterSize / sectorSize);
}

bool Unix::CopyNode(UnixNode* to, const UnixNode* from) {
  to->modifyTime = from->modifyTime;
  to->extents = from->extents;
  to->inlineData = from->inlineData;
  to->sizeRebuilt = from->sizeRebuilt;
  return to->SetList(from->List(), from->listLength);
}

namespace {

// Bytes of block pointers a block-mapped file of `size` bytes needs.
uint8_t PointerBytes(uint64_t size, const CUnixVol* v) {
  const uint32_t bs = v && v->clusterSize ? v->clusterSize : 1024;
  const uint64_t blocks = size / bs + (size % bs ? 1 : 0);
  if (blocks <= kDirectPointers) return uint8_t(4 * blocks);
  if (!v || blocks <= v->singleLimit) return 52;
  if (blocks <= v->doubleLimit) return 56;
  return 60;
}

}  // namespace

bool FromExtInode(UnixNode* node, const ExtInode& n, CUnixVol* v) {
  if (!n.mode) return false;
  if (n.IsDirectory()) node->flags2 |= kNode2Directory;
  if (n.IsSymlink()) node->flags |= kNodeSymlink;
  if (n.IsDeleted()) node->flags |= kNodeDeleted;
  node->modifyTime = n.modifyTime;
  node->size = n.size;
  if (n.HasInlineData()) {
    node->inlineData = 1;
    // The list keeps up to 255 bytes: more is not read (see ReadExtData).
    uint8_t data[255];
    const uint32_t inodeBytes = v ? v->inodeSize : kInodeBaseBytes;
    const size_t got = n.raw ? ExtInlineData(n.raw, inodeBytes, n.size, data, sizeof data) : 0;
    return node->SetList(data, uint8_t(got));
  }
  if (n.UsesExtents()) {
    node->extents = 1;
    uint8_t length = uint8_t(ExtExtentHeaderSize(n.blockArea));
    if (!node->SetList(n.blockArea, length)) return false;
    // A tree emptied by truncation whose first entry survives: its end
    // gives the size back.
    if (n.size == 0 && length == 12 && v && !v->Options().skipDeleted && ExtExtentHeaderValid(n.blockArea, 60)) {
      bool any = false;
      for (int i = 16; i < 24; ++i) any = any || n.blockArea[i];
      if (any) {
        uint8_t area[kInodeBlockAreaBytes];
        memcpy(area, n.blockArea, kInodeBlockAreaBytes);
        area[2] = 1;
        area[3] = 0;
        ExtExtentReader reader(v);
        const uint64_t end = ExtLastLogicalBlock(&reader, area, kInodeBlockAreaBytes, Le16(area + 6));
        if (end) {
          node->size = end * v->clusterSize;
          node->sizeRebuilt = 1;
          return node->SetList(area, 24);
        }
      }
    }
    return true;
  }
  if (n.IsSymlink()) return node->SetList(nullptr, 0);
  return node->SetList(n.blockArea, PointerBytes(n.size, v));
}

cnode* CreateExtNode() { return new (std::nothrow) UnixNode(kNodeExt); }

void DestroyUnixNode(cnode* node) { delete static_cast<UnixNode*>(node); }

bool CopyUnixNodeFields(cnode* to, const cnode* from) {
  if (!to || !from || to->Family() != from->Family()) return false;
  return Unix::CopyNode(static_cast<UnixNode*>(to), static_cast<const UnixNode*>(from));
}

bool GetUnixNodeFileTime(const cnode* node, uint64_t* out, int which) {
  if (!node || which != 0) return false;
  *out = static_cast<const UnixNode*>(node)->GetTime();
  return true;
}

bool IsUnixBlockMapped(const cnode* node) { return node && !static_cast<const UnixNode*>(node)->extents; }

int64_t GetUnixNodeFirstSector(const cnode* node, uint32_t sectorSize) {
  // A Unix node's blocks count from its volume, which the node alone does
  // not name: unknown here (UnixNode::GetFirstSector, given the volume).
  (void)node;
  (void)sectorSize;
  return -1;
}
