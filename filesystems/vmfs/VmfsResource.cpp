#include "filesystems/vmfs/VmfsResource.h"

#include <algorithm>
#include <cstring>

#include "filesystems/vmfs/Definitions.h"
#include "foundation/ByteOrder.h"
#include "platform/Memory.h"
#include "volumes/Volume.h"

using namespace vmfs;

bool VmfsResourceHeader::ClusterOffset(uint32_t k, uint64_t* at) const {
  if (!clustersPerGroup || uint64_t(k) >= uint64_t(groups) * clustersPerGroup) return false;
  const unsigned __int128 o = (unsigned __int128)(k / clustersPerGroup) * groupSize +
                              (unsigned __int128)(k % clustersPerGroup) * ClusterBytes() +
                              uint64_t(clustersPerGroup) * kResClusterHeaderBytes + headerSize;
  if (o > UINT64_MAX / 2) return false;
  *at = uint64_t(o);
  return true;
}

bool ReadVmfsResourceHeader(const uint8_t* s, VmfsResourceHeader* out) {
  VmfsResourceHeader h;
  h.perCluster = Le32(s + kResPerCluster);
  h.clustersPerGroup = Le32(s + kResClustersPerGroup);
  h.headerSize = Le32(s + kResHeaderSize);
  h.resourceSize = Le32(s + kResSize);
  h.groupSize = Le32(s + kResGroupSize);
  h.total = Le32(s + kResTotal);
  h.groups = Le32(s + kResGroups);
  if (!h.perCluster || !h.clustersPerGroup || !h.resourceSize || h.resourceSize % kResSizeUnit) return false;
  if (!h.total || !h.groups) return false;
  const unsigned __int128 g = (unsigned __int128)h.perCluster * h.clustersPerGroup * h.resourceSize +
                              uint64_t(h.clustersPerGroup) * kResClusterHeaderBytes;
  if (g != h.groupSize) return false;
  if ((unsigned __int128)h.groups * h.clustersPerGroup * h.perCluster < h.total) return false;
  if (out) *out = h;
  return true;
}

bool IsVMFSFileDescriptor(const uint8_t* header) { return ReadVmfsResourceHeader(header, nullptr); }

VmfsResourceReader::~VmfsResourceReader() { AlignedFree(cache_); }

bool VmfsResourceReader::Hold(size_t bytes) {
  if (bytes <= cacheBytes_) return true;
  AlignedFree(cache_);
  cacheBytes_ = 0;
  cache_ = static_cast<uint8_t*>(AlignedAlloc(bytes));
  if (!cache_) return false;
  cacheBytes_ = bytes;
  return true;
}

bool VmfsResourceReader::Prime(const uint8_t* bytes, size_t count) {
  cached_ = -1;
  if (!count || !Hold((count + 4095) / 4096 * 4096)) return false;
  memcpy(cache_, bytes, count);
  first_ = 0;
  held_ = count;
  cached_ = 0;
  return true;
}

bool VmfsResourceReader::Load(CVol& v, uint32_t cluster) {
  // While only the bootstrap's cluster is held, that one stays.
  if (!runs) return false;
  cached_ = -1;
  uint64_t at = 0;
  if (!header.ClusterOffset(cluster, &at) || at >= fileSize) return false;
  const uint64_t want = std::min<uint64_t>(header.ClusterBytes(), fileSize - at);
  if (want > kMaxResClusterBytes) return false;
  // Whole 4 KiB clusters from the one holding the cluster's first byte.
  const uint64_t aligned = at & ~uint64_t(kClusterBytes - 1);
  const size_t room = size_t(((want + kClusterBytes - 1) / kClusterBytes + 1) * kClusterBytes);
  if (!Hold(room)) return false;
  // In pieces a drive request can take.
  const uint64_t total = (at - aligned) + want;
  uint64_t done = 0;
  while (done < total) {
    const uint64_t piece = std::min<uint64_t>(total - done, kClusterBufferBytes);
    uint64_t got = 0;
    const size_t room =
        size_t(std::min<uint64_t>(cacheBytes_ - done, (piece + kClusterBytes - 1) / kClusterBytes * kClusterBytes));
    if (!v.ReadInodeDataCm(aligned + done, piece, &got, runs.get(), cache_ + done, room)) return false;
    if (!got) break;
    done += std::min(got, piece);
    if (got < piece) break;
  }
  first_ = size_t(at - aligned);
  held_ = done > first_ ? size_t(std::min<uint64_t>(done - first_, want)) : 0;
  cached_ = cluster;
  return true;
}

const uint8_t* VmfsResourceReader::Item(CVol& v, uint32_t cluster, uint32_t item) {
  if (item >= header.perCluster) return nullptr;
  if (cached_ != int64_t(cluster) && !Load(v, cluster)) return nullptr;
  const uint64_t end = (uint64_t(item) + 1) * header.resourceSize;
  if (end > held_) return nullptr;
  return cache_ + first_ + size_t(item) * header.resourceSize;
}
