#include "filesystems/fat/FatCache.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "filesystems/fat/Definitions.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/SlotCache.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

constexpr uint32_t kPageSectors = 8;
constexpr uint32_t kSlots = 32;
// A FAT12/16 sector of the first copy below this score gives way.
constexpr int64_t kGoodCopyScore = 128;
using fat::kExFatMarks;
using fat::kFat12Marks;
using fat::kFat16Marks;
using fat::kFat32Marks;

uint32_t Log2(uint32_t v) {
  uint32_t s = 0;
  while ((1u << (s + 1)) <= v) ++s;
  return s;
}

}  // namespace

FATCache::FATCache(CVol* volume) : volume_(volume) {}

FATCache::~FATCache() = default;

bool FATCache::Init(int type, uint64_t fatBytes, uint64_t firstSector) {
  table_.reset();
  slots_.reset();
  slotPage_.reset();
  spare_.reset();
  marks_[0].reset();
  marks_[1].reset();
  currentPage_ = -1;
  current_ = nullptr;
  maxCluster_ = 0;
  width_ = 0;
  tableless_ = false;
  if (!volume_ || volume_->sectorSize < 512 || (volume_->sectorSize & (volume_->sectorSize - 1)) != 0) return false;
  if (type != kFatCacheFat16 && type != kFatCacheFat32 && type != kFatCacheExFat) return false;
  type_ = type;
  sectorSize_ = volume_->sectorSize;

  // Clusters the volume's data area holds, when its geometry is known.
  uint64_t clusters = 0;
  const uint64_t spc = volume_->sectorsPerCluster ? volume_->sectorsPerCluster : 1;
  const __int128 firstData = __int128(int64_t(volume_->dataAreaSector)) + 2 * __int128(spc);
  if (firstData >= 0 && __int128(volume_->sizeSectors) > firstData)
    clusters = uint64_t((__int128(volume_->sizeSectors) - firstData) / spc);

  width_ = type == kFatCacheFat16 ? 16 : 32;
  if (type == kFatCacheFat16 && clusters != 0 && clusters < fat::kFat12MaxClusters) width_ = 12;

  fat1_ = firstSector;
  fat2_ = firstSector + fatBytes / sectorSize_;
  fatBytes_ = fatBytes;
  if (type == kFatCacheFat32 && fatBytes == 0) {
    // A volume rebuilt without its tables: every cluster of the data area
    // reads as free and every file as one run.
    const uint64_t limit = clusters + 2 < kFat32Marks ? clusters + 2 : kFat32Marks;
    if (clusters == 0 || limit <= 2) return false;
    maxCluster_ = uint32_t(limit);
    tableless_ = true;
    return true;
  }
  uint64_t maxCluster = fatBytes * 8 / width_;
  const uint64_t marks = width_ == 12 ? kFat12Marks : width_ == 16 ? kFat16Marks
                         : type == kFatCacheExFat ? kExFatMarks : kFat32Marks;
  if (maxCluster > marks) maxCluster = marks;
  // Entries past the data area name no cluster: end chains there.
  if (clusters != 0 && clusters + 2 < maxCluster) maxCluster = clusters + 2;
  if (maxCluster <= 2) return false;
  maxCluster_ = uint32_t(maxCluster);

  if (width_ == 32) {
    pageBytes_ = kPageSectors * sectorSize_;
    entriesPerPage_ = pageBytes_ / 4;
    pageShift_ = Log2(entriesPerPage_);
    pageMask_ = entriesPerPage_ - 1;
    pageCount_ = uint32_t((uint64_t(maxCluster_) + entriesPerPage_ - 1) / entriesPerPage_);
    const uint32_t slots = pageCount_ < kSlots ? pageCount_ : kSlots;
    slots_ = std::make_unique<SlotCache>(slots, pageBytes_);
    slotPage_.reset(new (std::nothrow) int64_t[slots]);
    if (!slotPage_) ShowErrorAndThrow();
    for (uint32_t i = 0; i < slots; ++i) slotPage_[i] = -1;
    if (type == kFatCacheFat32 && check_ && copies_ == 2) {
      // One mark byte per page the clusters need, not per table sector the
      // boot sector claims.
      spare_.reset(new (std::nothrow) uint8_t[pageBytes_]);
      marks_[0].reset(new (std::nothrow) uint8_t[pageCount_]());
      marks_[1].reset(new (std::nothrow) uint8_t[pageCount_]());
      if (!spare_ || !marks_[0] || !marks_[1]) ShowErrorAndThrow();
    }
    return true;
  }

  // FAT12/16: only the sectors maxCluster entries need.
  const uint64_t needed = (uint64_t(maxCluster_) * width_ + 7) / 8;
  const uint64_t sectors = (needed + sectorSize_ - 1) / sectorSize_;
  tableBytes_ = uint32_t(sectors * sectorSize_);
  table_.reset(new (std::nothrow) uint8_t[tableBytes_ + 2]());
  if (!table_) ShowErrorAndThrow();
  return ReadFAT();
}

bool FATCache::ReadVolumeSectors(uint64_t sector, uint32_t count, uint8_t* out) {
  return ::ReadVolumeSectors(*volume_, sectorSize_, sector, count, out);
}

void FATCache::FillBytes(uint8_t* at, uint32_t bytes) const {
  if (width_ == 16) {
    for (uint32_t i = 0; i + 1 < bytes; i += 2) PutLittleEndian(at + i, kFat16Marks, 2);
  } else if (width_ == 32) {
    for (uint32_t i = 0; i + 3 < bytes; i += 4) PutLittleEndian(at + i, kExFatMarks, 4);
  } else {
    static const uint8_t kCycle[3] = {0xF7, 0x7F, 0xFF};
    for (uint32_t i = 0; i < bytes; ++i) at[i] = kCycle[i % 3];
  }
}

uint32_t FATCache::Entry12(uint32_t cluster) const {
  const size_t at = size_t(cluster) * 3 / 2;
  const uint32_t v = uint32_t(table_[at]) | uint32_t(table_[at + 1]) << 8;
  return (cluster & 1) ? v >> 4 : v & 0xFFF;
}

// Every 12-bit entry with a nibble in sector `index` becomes a bad mark, so
// no entry mixes kept and replaced data.
void FATCache::FillSector12(uint8_t* table, uint32_t index) {
  const uint64_t firstNibble = uint64_t(index) * sectorSize_ * 2;
  const uint64_t endNibble = firstNibble + uint64_t(sectorSize_) * 2;
  for (uint64_t e = firstNibble / 3; e * 3 < endNibble; ++e) {
    const size_t at = size_t(e * 3 / 2);
    if (at + 1 >= size_t(tableBytes_) + 2) break;
    if (e & 1) {
      table[at] = uint8_t((table[at] & 0x0F) | ((kFat12Marks & 0x0F) << 4));
      table[at + 1] = uint8_t(kFat12Marks >> 4);
    } else {
      table[at] = uint8_t(kFat12Marks & 0xFF);
      table[at + 1] = uint8_t((table[at + 1] & 0xF0) | (kFat12Marks >> 8));
    }
  }
}

// How much a sector of a FAT12/16 copy looks like a table: chains that run
// on score high, out-of-range values sink it. Stops at the sector size.
uint32_t FATCache::ScoreSector(const uint8_t* table, uint32_t index) const {
  const uint8_t* s = table + size_t(index) * sectorSize_;
  const int64_t stop = sectorSize_;
  uint64_t first, end;
  const uint32_t chainScore = width_ == 12 ? 100 : 150;
  const uint32_t endMark = width_ == 12 ? kFat12Marks : kFat16Marks;
  if (width_ == 16) {
    first = uint64_t(index) * sectorSize_ / 2;
    end = first + sectorSize_ / 2;
  } else {
    first = (uint64_t(index) * sectorSize_ * 2 + 2) / 3;
    end = (uint64_t(index + 1) * sectorSize_ * 2) / 3;
  }
  if (index == 0) {
    const bool mediaOk = media_ ? s[0] == media_ : (s[0] == 0xF0 || s[0] >= 0xF8);
    if (!mediaOk || s[1] != 0xFF) return 0;
    if (width_ == 16 && (s[2] < 0xF8 || (s[3] & 0x3F) != 0x3F)) return 0;
    if (width_ == 12 && s[2] != 0xFF) return 0;
    first = 2;
  }
  int64_t score = 0;
  uint32_t expected = 0;
  for (uint64_t e = first; e < end && score < stop; ++e) {
    const uint32_t c = width_ == 16 ? Le16(table + e * 2) : [&] {
      const size_t at = size_t(e * 3 / 2);
      const uint32_t v = uint32_t(table[at]) | uint32_t(table[at + 1]) << 8;
      return (e & 1) ? v >> 4 : v & 0xFFF;
    }();
    if (c == 0 || c >= endMark) {
      score += 1;
      expected = 0;
    } else if (c == expected) {
      score += chainScore;
      expected = c + 1;
    } else if (c >= maxCluster_ || c == 1) {
      score -= 100000;
      expected = 0;
    } else {
      expected = c + 1;
    }
  }
  return score > 0 ? uint32_t(score) : 0;
}

bool FATCache::ReadFAT() {
  const uint32_t sectors = tableBytes_ / sectorSize_;
  const bool ok1 = ReadVolumeSectors(fat1_, sectors, table_.get());
  if (copies_ < 2) return ok1;
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[tableBytes_ + 2]());
  if (!work) ShowErrorAndThrow();
  const bool ok2 = ReadVolumeSectors(fat2_, sectors, work.get());
  if (!ok1 && !ok2) return false;
  if (!ok1) {
    std::memcpy(table_.get(), work.get(), tableBytes_);
    return true;
  }
  if (!ok2) return true;
  std::vector<uint32_t> filler;
  for (uint32_t i = 0; i < sectors; ++i) {
    uint8_t* a = table_.get() + size_t(i) * sectorSize_;
    const uint8_t* b = work.get() + size_t(i) * sectorSize_;
    if (std::memcmp(a, b, sectorSize_) == 0) continue;
    const uint32_t s1 = ScoreSector(table_.get(), i);
    const uint32_t s2 = s1 < sectorSize_ ? ScoreSector(work.get(), i) : 0;
    if (s1 < s2 && s2 >= kGoodCopyScore) {
      std::memcpy(a, b, sectorSize_);
    } else if (s1 < kGoodCopyScore) {
      filler.push_back(i);
    }
  }
  for (uint32_t i : filler) {
    if (width_ == 12) FillSector12(table_.get(), i);
    else FillBytes(table_.get() + size_t(i) * sectorSize_, sectorSize_);
  }
  return true;
}

uint8_t* FATCache::LoadPage(uint32_t page, uint32_t slot) {
  uint8_t* dst = slots_->Slot(slot);
  const uint64_t at = uint64_t(page) * kPageSectors;
  if (!marks_[0]) {
    if (!ReadVolumeSectors(fat1_ + at, kPageSectors, dst)) FillBytes(dst, pageBytes_);
    return dst;
  }
  uint8_t& m1 = marks_[0][page];
  uint8_t& m2 = marks_[1][page];
  uint8_t* spare = spare_.get();
  if (m1 == 0 && m2 == 0) {
    const bool ok1 = ReadVolumeSectors(fat1_ + at, kPageSectors, dst);
    const bool ok2 = ReadVolumeSectors(fat2_ + at, kPageSectors, spare);
    if (!ok1) FillBytes(dst, pageBytes_);
    if (!ok2) FillBytes(spare, pageBytes_);
    // Half a sector's entries plausible: good enough to stand alone.
    const uint32_t good = sectorSize_ / 8;
    auto score = [&](const uint8_t* s, uint64_t index) -> uint32_t {
      uint32_t points = 0;
      const int64_t r = check_(s, kFatCacheFat32, nullptr, &points, maxCluster_, sectorSize_);
      if (r == -1 || (index == 0 && r != 0) || (r >= 0 && uint64_t(r) != index)) return 0;
      return points;
    };
    for (uint32_t k = 0; k < kPageSectors; ++k) {
      const uint8_t bit = uint8_t(1u << k);
      const uint8_t* a = dst + size_t(k) * sectorSize_;
      const uint8_t* b = spare + size_t(k) * sectorSize_;
      // Copies that agree are taken as they stand.
      if (ok1 && ok2 && std::memcmp(a, b, sectorSize_) == 0) {
        m1 |= bit;
        continue;
      }
      const uint32_t s1 = ok1 ? score(a, at + k) : 0;
      const uint32_t s2 = ok2 ? score(b, at + k) : 0;
      if (s1 >= s2) {
        m1 |= bit;
        if (s1 < good) m2 |= bit;
      } else {
        m2 |= bit;
        if (s2 < good) m1 |= bit;
      }
    }
  } else if (m1 == 0xFF && m2 == 0) {
    if (!ReadVolumeSectors(fat1_ + at, kPageSectors, dst)) FillBytes(dst, pageBytes_);
    return dst;
  } else if (m1 == 0 && m2 == 0xFF) {
    if (!ReadVolumeSectors(fat2_ + at, kPageSectors, dst)) FillBytes(dst, pageBytes_);
    return dst;
  } else if (m1 == 0xFF && m2 == 0xFF) {
    FillBytes(dst, pageBytes_);
    return dst;
  } else {
    if (!ReadVolumeSectors(fat1_ + at, kPageSectors, dst)) FillBytes(dst, pageBytes_);
    if (!ReadVolumeSectors(fat2_ + at, kPageSectors, spare)) FillBytes(spare, pageBytes_);
  }
  for (uint32_t k = 0; k < kPageSectors; ++k) {
    const uint8_t bit = uint8_t(1u << k);
    if (!(m2 & bit)) continue;
    uint8_t* a = dst + size_t(k) * sectorSize_;
    if (m1 & bit) FillBytes(a, sectorSize_);
    else std::memcpy(a, spare + size_t(k) * sectorSize_, sectorSize_);
  }
  return dst;
}

uint32_t FATCache::GetEntry(uint32_t cluster) {
  if (cluster >= maxCluster_) {
    return width_ == 12 ? kFat12Marks : width_ == 16 ? kFat16Marks
           : type_ == kFatCacheExFat ? kExFatMarks : kFat32Marks;
  }
  if (tableless_) return 0;
  if (width_ == 16) return Le16(table_.get() + size_t(cluster) * 2);
  if (width_ == 12) return Entry12(cluster);
  const uint32_t page = cluster >> pageShift_;
  if (int64_t(page) != currentPage_ || !current_) {
    uint32_t slot = 0;
    if (!slots_->Lookup(page, &slot) || slotPage_[slot] != int64_t(page)) {
      LoadPage(page, slot);
      slots_->SetKey(page, slot);
      slotPage_[slot] = page;
    }
    current_ = slots_->Slot(slot);
    currentPage_ = page;
  }
  const uint32_t v = Le32(current_ + size_t(cluster & pageMask_) * 4);
  return type_ == kFatCacheExFat ? v : (v & fat::kFat32EntryMask);
}

uint32_t FATCache::GetRuns(uint32_t first, RunList* out, int* status, uint32_t wanted) {
  if (out) *out = nullptr;
  int st = kChainComplete;
  lastEnd_ = kChainEndOutside;
  lastCluster_ = 0;
  if (first < 2 || first >= maxCluster_) {
    if (status) *status = kChainBroken;
    return 0;
  }
  if (tableless_) {
    const uint64_t n = std::min<uint64_t>(wanted ? wanted : 1, maxCluster_ - first);
    if (out) *out = MakeRuns(int64_t(first), n);
    if (status) *status = n < wanted ? kChainShort : kChainComplete;
    // Without a table every entry reads free.
    lastEnd_ = n < wanted || !wanted ? kChainEndFree : kChainEndWanted;
    lastCluster_ = uint32_t(first + n - 1);
    return uint32_t(n);
  }
  lastEnd_ = kChainEndWanted;
  RunListEncoder enc;
  uint64_t gathered = 0;
  uint32_t b = first, a = first;
  // Runs closed so far (first -> last cluster): a jump into one of them, or
  // back into the current run, is a loop and ends the chain.
  std::map<uint32_t, uint32_t> closed;
  auto seen = [&](uint32_t c) {
    if (c >= b && c <= a) return true;
    auto it = closed.upper_bound(c);
    return it != closed.begin() && c <= (--it)->second;
  };
  bool failed = false;
  while (wanted == 0 || gathered + (a - b + 1) < wanted) {
    const uint32_t d = GetEntry(a);
    if (d == a + 1 && d < maxCluster_) {
      a = d;
      continue;
    }
    if (d >= 2 && d < maxCluster_) {
      if (seen(d)) {
        st = kChainBroken;
        lastEnd_ = kChainEndLoop;
        break;
      }
      if (enc.AddRun(b, a - b + 1) < 0) {
        failed = true;
        break;
      }
      closed.emplace(b, a);
      gathered += a - b + 1;
      a = b = d;
      continue;
    }
    if (d <= 1) {
      st = kChainBroken;
      lastEnd_ = d == 0 ? kChainEndFree : kChainEndInvalid;
    } else {
      bool end;
      if (width_ == 12) end = d > kFat12Marks;
      else if (width_ == 16) end = d > kFat16Marks;
      else if (type_ == kFatCacheExFat) end = d == fat::kExFatEndMark;
      else end = d > kFat32Marks;
      if (!end) st = kChainBroken;
      lastEnd_ = end ? kChainEndMark : kChainEndInvalid;
    }
    break;
  }
  if (failed) lastEnd_ = kChainEndInvalid;
  lastCluster_ = a;
  if (!failed && enc.AddRun(b, a - b + 1) >= 0) gathered += a - b + 1;
  if (st == kChainComplete && enc.RunCount() > 1) st = kChainFragmented;
  // A chain that ended properly but short is padded with the clusters that
  // follow; a broken one ends where it broke (what lies after it is not
  // known to be the file's).
  if (wanted != 0 && gathered < wanted && st != kChainBroken) {
    if (st == kChainComplete) st = kChainShort;
    enc.AddGap(wanted, maxCluster_);
  }
  if (out) *out = enc.Export();
  if (status) *status = st;
  return uint32_t(gathered);
}

int FATCache::SetNodeRuns(cnode* node, uint32_t clusterBytes, bool contiguous) {
  if (!node || clusterBytes == 0) return kChainBroken;
  const bool folder = node->IsDirectory();
  uint64_t clusters = (node->size + clusterBytes - 1) / clusterBytes;
  if (clusters > 0xFFFFFFFFu) clusters = 0xFFFFFFFFu;
  FreeRunList(&node->runs);
  if (contiguous || tableless_) {
    if (clusters == 0 && folder) {
      node->size = clusterBytes;
      clusters = 1;
    }
    if (clusters != 0 && node->id >= 2) node->runs = MakeRuns(int64_t(node->id), clusters);
    return kChainComplete;
  }
  int status = kChainComplete;
  const uint32_t got = GetRuns(node->id, &node->runs, &status, uint32_t(clusters));
  if (folder && got != clusters) node->size = uint64_t(got) * clusterBytes;
  return status;
}

uint64_t FATCache::PageHits() const { return slots_ ? slots_->hits : 0; }
uint64_t FATCache::PageMisses() const { return slots_ ? slots_->misses : 0; }
