#include "filesystems/fat/FatRuns.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatVolume.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"

namespace {

// Allocated clusters stepped over in the search for free ones: past this
// the clusters found would be a guess that says nothing.
constexpr uint64_t kMaxSteppedOver = 1u << 20;

// Runs being gathered, neighbours joined.
struct Runs {
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // first cluster, count
  uint64_t total = 0;
  void Add(uint64_t first, uint64_t count) {
    if (!count) return;
    if (!runs.empty() && runs.back().first + runs.back().second == first) runs.back().second += count;
    else runs.emplace_back(first, count);
    total += count;
  }
};

bool Decode(const uint8_t* list, Runs* out) {
  if (!list) return true;
  uint32_t at = 0;
  int64_t start = 0, delta = 0;
  uint32_t length = 0;
  int r;
  while ((r = ReadNextRun(&delta, &length, list, &at)) == 1) {
    // FAT lists hold no holes but a short chain's padding: stop there.
    if (delta == 0 && !out->runs.empty()) return false;
    start += delta;
    if (start < 0) return false;
    out->Add(uint64_t(start), length);
  }
  return r == 0;
}

RunList Encode(const Runs& r) {
  RunListEncoder enc;
  for (auto [first, count] : r.runs) {
    for (uint64_t left = count; left;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(left, std::numeric_limits<uint32_t>::max()));
      if (first > uint64_t(INT64_MAX) || enc.AddRun(int64_t(first), n) < 0) return enc.Export();
      first += n;
      left -= n;
    }
  }
  return enc.Export();
}

bool IsFree(FATVol* v, uint64_t cluster) { return v->cache->GetEntry(uint32_t(cluster)) == 0; }

// The free clusters from `from` on, up to `wanted` of them, into `runs`;
// *skipped when allocated ones were stepped over. The count taken.
uint64_t TakeFree(FATVol* v, uint64_t from, uint64_t wanted, Runs* runs, bool* skipped) {
  const uint64_t maxCluster = v->MaxCluster();
  uint64_t got = 0, stepped = 0;
  for (uint64_t c = from; c < maxCluster && got < wanted; ++c) {
    if (!IsFree(v, c)) {
      *skipped = true;
      if (++stepped > kMaxSteppedOver) break;
      continue;
    }
    // The clusters up to the next allocated one in one step.
    uint64_t end = c + 1;
    while (end < maxCluster && got + (end - c) < wanted && IsFree(v, end)) ++end;
    runs->Add(c, end - c);
    got += end - c;
    c = end - 1;
  }
  return got;
}

uint64_t ClustersOf(const FATVol* v, uint64_t size) {
  const uint64_t n = (size + v->clusterSize - 1) / v->clusterSize;
  return std::min<uint64_t>(n, 0xFFFFFFFFu);
}

void SetGrade(cnode* node, uint16_t grade) {
  if (!grade) return;
  // A grade the entry already earned (a first cluster whose high word may
  // be lost) is not made better.
  const uint16_t had = (node->flags & kNodeGradeMask) >> kNodeGradeShift;
  if (had == kGradePoor && grade == kGradeGood) grade = kGradePoor;
  node->flags = uint16_t((node->flags & ~kNodeGradeMask) | GradeBits(grade));
}

// A live file's chain that the table lost after `got` clusters (the last
// one `last`): the rest as a deleted file's.
uint16_t ContinueLostChain(FATVol* v, Runs* runs, uint32_t last, uint64_t remaining) {
  FATCache& cache = *v->cache;
  const uint64_t next = uint64_t(last) + 1;
  if (next < v->MaxCluster() && !IsFree(v, next)) {
    // Only the chain's first entry lost: the rest is still chained and
    // ends where the size does.
    RunList tail = nullptr;
    int status = 0;
    const uint32_t got = cache.GetRuns(uint32_t(next), &tail, &status, 0);
    Runs own;
    const bool fits = cache.LastEnd() == kChainEndMark && got == remaining && Decode(tail, &own);
    FreeRunList(&tail);
    if (fits) {
      for (auto [first, count] : own.runs) runs->Add(first, count);
      return kGradePoor;
    }
  }
  bool skipped = false;
  const uint64_t got = TakeFree(v, next, remaining, runs, &skipped);
  if (got < remaining) return kGradeCorrupt;
  return skipped ? kGradePoor : kGradeGood;
}

}  // namespace

uint32_t FATDeletedRuns(FATVol* v, uint32_t first, uint32_t wanted, uint8_t** out, int* status, bool* skipped) {
  *out = nullptr;
  bool steppedOver = false;
  if (skipped) *skipped = false;
  if (first < 2 || !v->cache || first >= v->MaxCluster()) {
    *status = kChainBroken;
    return 0;
  }
  if (wanted == 0) {
    *status = kChainComplete;
    return 0;
  }
  // The first cluster is the file's own whatever the table says now.
  Runs runs;
  runs.Add(first, 1);
  const uint64_t got = 1 + TakeFree(v, uint64_t(first) + 1, wanted - 1, &runs, &steppedOver);
  *out = Encode(runs);
  if (skipped) *skipped = steppedOver;
  *status = got < wanted ? kChainShort : runs.runs.size() > 1 ? kChainFragmented : kChainComplete;
  return uint32_t(got);
}

FatEntryRuns GiveFatFileRuns(FATVol* v, cnode* n, bool deleted) {
  FatEntryRuns r;
  FreeRunList(&n->runs);
  if (!v->cache || !v->clusterSize || n->size == 0) return r;
  FATCache& cache = *v->cache;
  const uint64_t wanted = ClustersOf(v, n->size);
  if (deleted) {
    bool skipped = false;
    const uint32_t got = FATDeletedRuns(v, n->id, uint32_t(wanted), &n->runs, &r.status, &skipped);
    if (got < wanted) r.grade = kGradeCorrupt;
    else if (skipped || !IsFree(v, n->id)) r.grade = kGradePoor;
    else r.grade = kGradeGood;
    SetGrade(n, r.grade);
    return r;
  }
  const uint32_t got = cache.GetRuns(n->id, &n->runs, &r.status, uint32_t(wanted));
  if (cache.Tableless()) {
    // No table: every file is taken as one run of the clusters after its
    // first, as a deleted file's would be.
    r.grade = got < wanted ? kGradeCorrupt : kGradeGood;
  } else if (r.status == kChainComplete || r.status == kChainFragmented) {
    // The size was met before the table's end mark: when the last cluster's
    // entry is free, the table no longer holds the file (a reformatted
    // volume's one-cluster files) and its cluster is as a deleted file's.
    if (got == 0 || cache.GetEntry(cache.LastCluster()) != 0) return r;
    r.grade = kGradeGood;
  } else if (cache.LastEnd() == kChainEndFree && got > 0 && got < wanted) {
    Runs runs;
    if (Decode(n->runs, &runs) && runs.total == got) {
      r.grade = ContinueLostChain(v, &runs, cache.LastCluster(), wanted - got);
      FreeRunList(&n->runs);
      n->runs = Encode(runs);
    } else {
      r.grade = kGradeCorrupt;
    }
  } else {
    r.grade = kGradeCorrupt;
  }
  SetGrade(n, r.grade);
  return r;
}

FatEntryRuns GiveFatFolderRuns(FATVol* v, cnode* n, bool deleted) {
  FatEntryRuns r;
  FreeRunList(&n->runs);
  if (!v->cache || !v->clusterSize) return r;
  if (!deleted) {
    r.status = v->cache->SetNodeRuns(n, v->clusterSize);
    return r;
  }
  const uint32_t got = FATDeletedRuns(v, n->id, 1, &n->runs, &r.status);
  n->size = uint64_t(got) * v->clusterSize;
  r.grade = got == 0 ? kGradeCorrupt : IsFree(v, n->id) ? kGradeGood : kGradePoor;
  SetGrade(n, r.grade);
  return r;
}

uint64_t ClustersPastDriveEnd(const CVol& v, const uint8_t* list) {
  const Drive* d = v.drive;
  if (!d || !list || !v.clusterSize || !v.sectorSize) return 0;
  const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  const __int128 room = __int128(d->SectorCount()) * dss - __int128(v.startSector) * dss -
                        __int128(int64_t(v.dataAreaSector)) * v.sectorSize;
  // Clusters below `inside` lie wholly on the drive.
  const __int128 inside = room <= 0 ? 0 : room / v.clusterSize;
  uint64_t past = 0;
  uint32_t at = 0, length = 0;
  int64_t start = 0, delta = 0;
  bool firstRun = true;
  while (ReadNextRun(&delta, &length, list, &at) == 1) {
    // A hole (a short chain's padding) reads as zeros anyway.
    const bool hole = !firstRun && delta == 0;
    firstRun = false;
    start += delta;
    if (hole) continue;
    const __int128 first = start, end = first + length;
    if (end > inside) past += uint64_t(end - std::max(first, inside));
  }
  return past;
}
