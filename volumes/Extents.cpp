#include "volumes/Extents.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"

namespace {

uint64_t EndVcn(const ExtentRun& r) { return r.vcn + r.Length(); }

}  // namespace

// ---- CExtents ----

CExtents::CExtents() = default;

CExtents::~CExtents() = default;

void CExtents::FreeAll() {
  RunArray().swap(runs_);
  std::vector<uint8_t>().swap(rawRuns_);
  total_ = 0;
  cursor_ = 0;
}

void CExtents::Reset() {
  runs_.clear();
  total_ = 0;
  cursor_ = 0;
}

void CExtents::UpdateSectorsPerCluster() {
  if (clusterSize < sectorSize) return;
  sectorsPerClusterShift = clusterShift - sectorShift;
  sectorsPerClusterMask = (1u << sectorsPerClusterShift) - 1;
}

bool CExtents::SetSectorSize(uint32_t bytes) {
  if (!std::has_single_bit(bytes)) return false;
  sectorSize = bytes;
  sectorShift = std::countr_zero(bytes);
  sectorMask = bytes - 1;
  UpdateSectorsPerCluster();
  return true;
}

bool CExtents::SetClusterSize(uint32_t bytes) {
  if (!std::has_single_bit(bytes)) return false;
  clusterSize = bytes;
  clusterShift = std::countr_zero(bytes);
  clusterMask = bytes - 1;
  UpdateSectorsPerCluster();
  return true;
}

bool CExtents::SetRawRuns(const uint8_t* bytes, size_t length) {
  try {
    if (!bytes) length = 0;
    rawRuns_.assign(bytes, bytes + length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool CExtents::AppendRun(uint64_t vcn, uint64_t lcn, uint64_t length, bool hole) {
  if (length == 0 || vcn < total_) return false;
  uint64_t vcnEnd, lcnEnd;
  if (__builtin_add_overflow(vcn, length, &vcnEnd) || __builtin_add_overflow(lcn, length, &lcnEnd)) return false;
  try {
    runs_.push_back(ExtentRun{vcn, lcn, lcnEnd, hole ? ExtentRun::kHole : 0u, 0});
  } catch (const std::bad_alloc&) {
    return false;
  }
  total_ = vcnEnd;
  return true;
}

bool CExtents::AppendRunArray(RunArray& runs) {
  uint64_t end = total_;
  for (const ExtentRun& r : runs) {
    if (r.vcn < end || r.lcnEnd < r.lcn) return false;
    uint64_t e;
    if (__builtin_add_overflow(r.vcn, r.Length(), &e)) return false;
    end = e;
  }
  if (!AppendRuns(runs_, runs)) return false;
  if (end > total_) total_ = end;
  return true;
}

int64_t CExtents::BuildVCNMappingTable(const uint8_t* runList) {
  TRACE_FN("CExtents::BuildVCNMappingTable");
  RunArray added;
  uint64_t vcn = total_;
  // Every list counts its start clusters from 0 (each NTFS attribute piece
  // has its own); joining lists is MergeMappingPairs' business.
  int64_t lcn = 0;
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  while (ReadNextRun(&delta, &length, runList, &pos) == 1) {
    if (length == 0) continue;
    uint64_t vcnEnd;
    if (__builtin_add_overflow(vcn, uint64_t(length), &vcnEnd)) break;
    ExtentRun run;
    run.vcn = vcn;
    if (delta == 0) {
      // A hole keeps the LCN of the entry before it (for a leading hole, the
      // table's last one) so that every reader can also tell it that way.
      run.lcn = !added.empty() ? added.back().lcn : (!runs_.empty() ? runs_.back().lcn : 0);
      run.flags = ExtentRun::kHole;
    } else {
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) {
        const WString& text = Msg(240);
        VErrorMsg(text.empty() ? u"Starting cluster number is negative: %I64d" : text.c_str(), lcn);
        return -1;
      }
      run.lcn = uint64_t(lcn);
    }
    run.lcnEnd = run.lcn + length;
    try {
      added.push_back(run);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    vcn = vcnEnd;
  }
  const int64_t clusters = int64_t(vcn - total_);
  if (!AppendRuns(runs_, added)) return -1;
  total_ = vcn;
  return clusters;
}

int64_t CExtents::LoadHexRunList(std::string_view text) {
  if (text.size() % 2) return -1;
  std::vector<uint8_t> pairs;
  try {
    pairs.resize(text.size() / 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!HexToBytesChecked(text.data(), text.size(), pairs.data(), pairs.size())) return -1;
  std::unique_ptr<uint8_t, void (*)(uint8_t*)> list(NewRunList(pairs.data(), pairs.size()),
                                                     [](uint8_t* p) { FreeRunList(p); });
  if (!list) return -1;
  return BuildVCNMappingTable(list.get());
}

int64_t CExtents::LoadHexRunList(WStringView text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) {
    if (c > 0x7F) return -1;
    narrow.push_back(char(c));
  }
  return LoadHexRunList(std::string_view(narrow));
}

uint64_t CExtents::VcnToLcn(uint64_t vcn, uint64_t* leftOut, uint64_t* nextOut) {
  return LookupVcnInRuns(vcn, runs_.data(), runs_.size(), &cursor_, leftOut, nextOut, total_);
}

uint64_t LookupVcnInRuns(uint64_t vcn, const ExtentRun* runs, size_t count, size_t* cursor, uint64_t* leftOut,
                         uint64_t* nextOut, uint64_t total) {
  if (leftOut) *leftOut = 0;
  if (nextOut) *nextOut = 0;
  if (!runs || count == 0) return 0;
  if (total == 0) total = EndVcn(runs[count - 1]);
  if (vcn >= total) return 0;

  size_t c = cursor ? *cursor : 0;
  size_t i;
  if (c < count && runs[c].vcn <= vcn && (c + 1 == count || runs[c + 1].vcn > vcn)) {
    i = c;
  } else {
    const ExtentRun* after =
        std::upper_bound(runs, runs + count, vcn, [](uint64_t v, const ExtentRun& r) { return v < r.vcn; });
    if (after == runs) {
      if (nextOut) *nextOut = runs[0].vcn - vcn;
      return 0;
    }
    i = size_t(after - runs) - 1;
  }
  if (cursor) *cursor = i;
  const ExtentRun& run = runs[i];
  const uint64_t end = EndVcn(run);
  const uint64_t nextStart = std::min(i + 1 < count ? runs[i + 1].vcn : total, total);
  if (vcn >= end) {
    // In the gap after the run.
    if (nextOut) *nextOut = nextStart > vcn ? nextStart - vcn : 0;
    return 0;
  }
  if (run.IsHole()) {
    if (nextOut) *nextOut = std::min(end, total) - vcn;
    return 0;
  }
  if (leftOut) *leftOut = end - vcn;
  if (nextOut) *nextOut = nextStart > vcn ? nextStart - vcn : 0;
  return run.lcn + (vcn - run.vcn);
}

MapSpan SpanAt(CExtents& map, uint64_t vcn, uint64_t clusterLimit) {
  MapSpan s;
  const uint64_t total = map.TotalClusters();
  if (vcn >= total) return s;
  uint64_t left = 0, next = 0;
  const uint64_t lcn = map.VcnToLcn(vcn, &left, &next);
  if (left == 0) {
    // An empty table answers nothing: all of its total is a hole.
    s.kind = MapSpan::kHole;
    s.clusters = next ? next : total - vcn;
    return s;
  }
  if (lcn >= clusterLimit) {
    s.kind = MapSpan::kOutside;
    s.clusters = left;
  } else {
    s.kind = MapSpan::kData;
    s.clusters = std::min(left, clusterLimit - lcn);
  }
  return s;
}

uint64_t DataEndVcn(const CExtents& map, uint64_t clusterLimit) {
  const ExtentRun* runs = map.Runs();
  for (size_t i = map.RunCount(); i-- > 0;) {
    const ExtentRun& r = runs[i];
    if (r.IsHole() || r.Length() == 0 || r.lcn >= clusterLimit) continue;
    const uint64_t end = r.vcn + std::min(r.Length(), clusterLimit - r.lcn);
    const uint64_t total = map.TotalClusters();
    if (r.vcn >= total) continue;
    return std::min(end, total);
  }
  return 0;
}
