#include "filesystems/exfat/ExFatBitmap.h"

#include <algorithm>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatData.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "filesystems/fat/FatCache.h"
#include "volumes/RunList.h"

bool ExFatBitmap::Open(CExFATVol& v) {
  const CExFATVol::Area& area = v.bitmaps[0];
  opened_ = area;
  usable_ = false;
  for (Held& h : held_) h.page = -1;
  const uint64_t needed = (uint64_t(v.clusterCount) + 7) / 8;
  if (!v.fat || !v.clusterSize || area.firstCluster < exfat::kFirstCluster ||
      uint64_t(area.firstCluster) >= uint64_t(v.clusterCount) + exfat::kFirstCluster || area.length == 0 ||
      area.length > (uint64_t(1) << 32))
    return false;
  bytes_ = std::min<uint64_t>(area.length, needed);
  // Its chain in the table; a bitmap whose chain is gone is taken as the
  // one run it is written as.
  cnode node(kNodeExFat);
  node.id = area.firstCluster;
  node.size = area.length;
  const int status = v.fat->SetNodeRuns(&node, v.clusterSize, false);
  const uint64_t clusters = (area.length + v.clusterSize - 1) / v.clusterSize;
  if ((status != kChainComplete && status != kChainFragmented) ||
      GetClusterCount(node.RunBuffer()) != int64_t(clusters)) {
    FreeRunList(&node.runs);
    node.runs = MakeRuns(int64_t(area.firstCluster), clusters);
  }
  usable_ = node.runs && MapExFatRuns(v, node.RunBuffer(), area.length, map_);
  return usable_;
}

const uint8_t* ExFatBitmap::Page(CExFATVol& v, uint64_t page) {
  for (const Held& h : held_)
    if (h.page == int64_t(page)) return h.data.data();
  Held& h = held_[next_];
  next_ = (next_ + 1) % kPages;
  const uint64_t at = page * kPageBytes;
  const size_t n = size_t(std::min<uint64_t>(kPageBytes, bytes_ - at));
  h.data.assign(n, 0);
  h.page = -1;
  if (ReadExFatBytes(v, map_, at, h.data.data(), n) != int64_t(n)) return nullptr;
  h.page = int64_t(page);
  return h.data.data();
}

int ExFatBitmap::InUse(CExFATVol& v, uint64_t cluster) {
  // The bitmap's entry comes first in the root, but is looked for again
  // when it came later.
  if (v.bitmaps[0].firstCluster != opened_.firstCluster || v.bitmaps[0].length != opened_.length || !asked_) {
    asked_ = true;
    Open(v);
  }
  if (!usable_ || cluster < exfat::kFirstCluster) return -1;
  const uint64_t bit = cluster - exfat::kFirstCluster;
  if (bit / 8 >= bytes_) return -1;
  const uint8_t* p = Page(v, bit / 8 / kPageBytes);
  if (!p) return -1;
  return (p[(bit / 8) % kPageBytes] >> (bit % 8)) & 1;
}
