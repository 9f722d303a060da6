#include "volumes/ClusterWindow.h"

#include <algorithm>
#include <cstring>

#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/Extents.h"
#include "volumes/Volume.h"

namespace {

constexpr uint32_t kMinBytes = 64u << 10;
constexpr uint32_t kStartBytes = 256u << 10;
constexpr uint32_t kMaxBytes = 1u << 20;

}  // namespace

ClusterWindow::~ClusterWindow() { AlignedFree(data_); }

bool ClusterWindow::Read(CVol& v, uint64_t lcn, uint64_t within, uint32_t bytes, uint64_t clusterLimit,
                         uint8_t* out) {
  const uint32_t unit = v.clusterSize;
  Drive* d = v.drive;  // the drive the volume reads from
  auto direct = [&] { return v.ReadClusterBytes(out, int64_t(lcn), within, bytes) != nullptr; };
  if (!unit || !d || bytes == 0 || within >= kMaxBytes || lcn > uint64_t(INT64_MAX) || d->TotalErrors() != 0)
    return direct();
  if (loadBytes_ == 0) loadBytes_ = kStartBytes;
  const uint64_t end = within + bytes;
  if (end * 2 > loadBytes_) return direct();
  const uint64_t clusters = (end + unit - 1) / unit;
  if (count_ && d == drive_ && lcn >= first_ && lcn - first_ + clusters <= count_) {
    ++hits_;
    std::memcpy(out, data_ + (lcn - first_) * unit + within, bytes);
    return true;
  }
  if (!data_ && !(data_ = static_cast<uint8_t*>(AlignedAlloc(kMaxBytes)))) return direct();
  if (count_) loadBytes_ = hits_ ? std::min(loadBytes_ * 2, kMaxBytes) : std::max(loadBytes_ / 2, kMinBytes);
  count_ = 0;
  hits_ = 0;
  uint32_t room = kMaxBytes;
  if (d->TransferSize() && d->TransferSize() < room) room = d->TransferSize();
  uint64_t load = std::max<uint64_t>(clusters, std::min(loadBytes_, room) / unit);
  if (clusterLimit <= lcn) return direct();
  load = std::min(load, clusterLimit - lcn);
  if (load < clusters || load * unit > room) return direct();
  uint32_t got = 0;
  if (!v.ReadClusters(data_, int64_t(lcn), uint32_t(load), unit, room, &got) || got != load ||
      d->TotalErrors() != 0)
    return direct();
  first_ = lcn;
  count_ = load;
  drive_ = d;
  std::memcpy(out, data_ + within, bytes);
  return true;
}

int64_t ReadExtentsThroughWindow(CVol& v, CExtents& map, ClusterWindow* window, uint64_t clusterLimit,
                                 uint64_t offset, uint8_t* buffer, size_t capacity) {
  if (!buffer) return -1;
  const uint32_t shift = map.clusterShift;
  if (shift != v.clusterShift) return -1;
  const uint64_t mask = (uint64_t(1) << shift) - 1;
  // One request's byte count is 32-bit.
  capacity = std::min<size_t>(capacity, 0x40000000);
  size_t done = 0;
  while (done < capacity) {
    const uint64_t at = offset + done;
    if (at < offset) break;
    const uint64_t within = at & mask;
    uint64_t left = 0, next = 0;
    const uint64_t lcn = map.VcnToLcn(at >> shift, &left, &next);
    const uint64_t clusters = left ? left : next;
    if (clusters == 0) break;  // past the mapping
    const uint64_t span = clusters > (UINT64_MAX >> shift) ? UINT64_MAX : (clusters << shift) - within;
    const size_t n = size_t(std::min<uint64_t>(span, capacity - done));
    if (!left) std::memset(buffer + done, 0, n);
    else if (lcn > uint64_t(INT64_MAX) ||
             !(window ? window->Read(v, lcn, within, uint32_t(n), clusterLimit, buffer + done)
                      : v.ReadClusterBytes(buffer + done, int64_t(lcn), within, uint32_t(n)) != nullptr))
      return done ? int64_t(done) : -1;
    done += n;
  }
  return done ? int64_t(done) : -1;
}
