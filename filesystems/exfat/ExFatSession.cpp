#include "filesystems/exfat/ExFatSession.h"

#include <bit>
#include <memory>

#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "filesystems/fat/FatCache.h"
#include "foundation/ByteOrder.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

// Node tail layout: the three stamps, the attributes, the create and modify
// 10-ms bytes (the access one is always 0), the three UTC bytes, the
// stream's flags and the first cluster (the node's id, from which a file's
// chain is followed again).
constexpr size_t kCreate = 0, kModify = 4, kAccess = 8, kAttributes = 12, kTenMs = 14, kUtc = 16, kFlags = 19,
                 kFirstCluster = 20;

}  // namespace

// FAT length, FAT count, FAT offset, cluster count, root cluster, heap
// offset: what the volume keeps of its boot sector.
void ExFatWriteVolumeTail(const CVol& volume, SessionTail& tail) {
  const auto* v = dynamic_cast<const CExFATVol*>(&volume);
  if (!v) return;  // written as zeros, refused on load
  const int64_t heap = int64_t(v->dataAreaSector) + 2 * int64_t(v->sectorsPerCluster);
  tail.numbers = {v->fatLength, v->fatCount, v->fatOffset, v->clusterCount, v->rootCluster, heap};
}

bool ExFatReadVolumeTail(CVol& volume, const SessionTail& tail) {
  auto* v = dynamic_cast<CExFATVol*>(&volume);
  if (!v || tail.numbers.size() != 6) return false;
  for (int64_t n : tail.numbers)
    if (n < 0 || n > int64_t(UINT32_MAX)) return false;
  if (tail.numbers[1] > 255 || !v->sectorSize || v->clusterSize < v->sectorSize) return false;
  // The values go through the boot sector's own tests.
  ExFatBoot b;
  b.fatLength = uint32_t(tail.numbers[0]);
  b.fatCount = uint8_t(tail.numbers[1]);
  b.fatOffset = uint32_t(tail.numbers[2]);
  b.clusterCount = uint32_t(tail.numbers[3]);
  b.rootCluster = uint32_t(tail.numbers[4]);
  b.heapOffset = uint32_t(tail.numbers[5]);
  b.volumeLength = v->sizeSectors;
  b.sectorShift = uint8_t(std::countr_zero(v->sectorSize));
  b.clusterShift = uint8_t(std::countr_zero(v->clusterSize / v->sectorSize));
  if (!CheckExFatBoot(b) || b.SectorBytes() != v->sectorSize) return false;
  v->fatCount = b.fatCount;
  v->rootCluster = b.rootCluster;
  v->volumeLength = b.volumeLength;
  v->clusterCount = b.clusterCount;
  v->fatOffset = b.fatOffset;
  v->fatLength = b.fatLength;
  v->dataAreaSector = uint64_t(int64_t(b.heapOffset) - 2 * int64_t(b.SectorsPerCluster()));
  v->fat = std::make_unique<FATCache>(v);
  v->fat->SetCopies(1);
  if (!v->fat->Init(kFatCacheExFat, uint64_t(v->fatLength) * v->sectorSize, v->fatOffset)) return false;
  if (v->rootNode) v->rootNode->id = v->rootCluster;
  return true;
}

void ExFatWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const ExFatNode&>(node);
  uint8_t b[kExFatNodeTailBytes] = {};
  PutLittleEndian(b + kCreate, n.createTime, 4);
  PutLittleEndian(b + kModify, n.modifyTime, 4);
  PutLittleEndian(b + kAccess, n.accessTime, 4);
  PutLittleEndian(b + kAttributes, n.attributes, 2);
  b[kTenMs] = n.tenMs[0];
  b[kTenMs + 1] = n.tenMs[1];
  for (int i = 0; i < 3; i++) b[kUtc + i] = n.utcOffset[i];
  b[kFlags] = n.generalFlags;
  PutLittleEndian(b + kFirstCluster, n.id, 4);
  out.Digits(b, sizeof b);
}

void ExFatReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<ExFatNode&>(node);
  const std::vector<uint8_t> b = in.Digits(kExFatNodeTailBytes);
  n.createTime = Le32(b.data() + kCreate);
  n.modifyTime = Le32(b.data() + kModify);
  n.accessTime = Le32(b.data() + kAccess);
  n.attributes = Le16(b.data() + kAttributes);
  n.tenMs[0] = b[kTenMs];
  n.tenMs[1] = b[kTenMs + 1];
  n.tenMs[2] = 0;
  for (int i = 0; i < 3; i++) n.utcOffset[i] = b[kUtc + i];
  n.generalFlags = b[kFlags];
  n.id = Le32(b.data() + kFirstCluster);
}
