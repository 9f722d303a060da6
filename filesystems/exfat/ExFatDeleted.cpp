#include "filesystems/exfat/ExFatDeleted.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatBitmap.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "filesystems/fat/FatCache.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"

namespace {

// Clusters in use stepped over looking for free ones: past this the guess
// says nothing.
constexpr uint64_t kMaxSteppedOver = 1u << 20;

RunList Encode(const std::vector<std::pair<uint64_t, uint64_t>>& runs) {
  RunListEncoder enc;
  for (auto [first, count] : runs) {
    for (uint64_t left = count; left;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(left, std::numeric_limits<uint32_t>::max()));
      if (enc.AddRun(int64_t(first), n) < 0) return enc.Export();
      first += n;
      left -= n;
    }
  }
  return enc.Export();
}

void SetGrade(cnode* n, uint16_t grade) { n->flags = uint16_t((n->flags & ~kNodeGradeMask) | GradeBits(grade)); }

// Every cluster of the list free in the bitmap (-1: it cannot tell).
int AllFree(CExFATVol* v, ExFatBitmap& bitmap, const uint8_t* list) {
  uint32_t at = 0, length = 0;
  int64_t start = 0, delta = 0;
  while (ReadNextRun(&delta, &length, list, &at) == 1) {
    start += delta;
    for (uint64_t c = uint64_t(start); c < uint64_t(start) + length; ++c) {
      const int use = bitmap.InUse(*v, c);
      if (use != 0) return use < 0 ? -1 : 0;
    }
  }
  return 1;
}

}  // namespace

uint16_t GiveExFatDeletedRuns(CExFATVol* v, cnode* n) {
  FreeRunList(&n->runs);
  uint16_t grade = kGradeGood;
  const uint64_t heapEnd = uint64_t(v->clusterCount) + exfat::kFirstCluster;
  const uint64_t wanted = v->clusterSize ? (n->size + v->clusterSize - 1) / v->clusterSize : 0;
  if (wanted == 0) {
    SetGrade(n, grade);
    return grade;
  }
  if (!v->fat || n->id < exfat::kFirstCluster || n->id >= heapEnd) {
    SetGrade(n, kGradeCorrupt);
    return kGradeCorrupt;
  }
  if (!v->allocation) v->allocation = std::make_unique<ExFatBitmap>();
  ExFatBitmap& bitmap = *v->allocation;
  const bool noChain = n->Family() == kNodeExFat && static_cast<const ExFatNode*>(n)->NoFatChain();
  if (noChain) {
    // The run the entry names, as far as the heap goes.
    const uint64_t held = std::min<uint64_t>(wanted, heapEnd - n->id);
    n->runs = MakeRuns(int64_t(n->id), held);
    const int free = n->runs ? AllFree(v, bitmap, n->runs) : 0;
    grade = held < wanted ? kGradeCorrupt : free == 1 ? kGradeGood : kGradePoor;
    SetGrade(n, grade);
    return grade;
  }
  // The chain, when the table still holds all of it and nothing owns it.
  int status = 0;
  const uint32_t got = v->fat->GetRuns(n->id, &n->runs, &status, uint32_t(std::min<uint64_t>(wanted, UINT32_MAX)));
  if (got == wanted && (status == kChainComplete || status == kChainFragmented) && AllFree(v, bitmap, n->runs) == 1) {
    SetGrade(n, kGradeGood);
    return kGradeGood;
  }
  FreeRunList(&n->runs);
  // Gone: the free clusters from the first one on.
  if (bitmap.InUse(*v, n->id) == 1) {
    SetGrade(n, kGradeCorrupt);
    return kGradeCorrupt;
  }
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  uint64_t taken = 0, stepped = 0;
  for (uint64_t c = n->id; c < heapEnd && taken < wanted;) {
    if (bitmap.InUse(*v, c) == 1) {
      if (++stepped > kMaxSteppedOver) break;
      ++c;
      continue;
    }
    uint64_t end = c + 1;
    while (end < heapEnd && taken + (end - c) < wanted && bitmap.InUse(*v, end) != 1) ++end;
    if (!runs.empty() && runs.back().first + runs.back().second == c) runs.back().second += end - c;
    else runs.emplace_back(c, end - c);
    taken += end - c;
    c = end;
  }
  n->runs = Encode(runs);
  grade = taken < wanted ? kGradeCorrupt : kGradePoor;
  SetGrade(n, grade);
  return grade;
}
