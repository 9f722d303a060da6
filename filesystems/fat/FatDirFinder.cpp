#include "filesystems/fat/FatDirFinder.h"

#include <algorithm>
#include <cstring>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatDir.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatVolume.h"
#include "foundation/Md5.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

using namespace fat;

namespace {

// Cluster-number buckets of the FAT32 digest slots: 256 x (k + 1)(k + 2) / 2.
constexpr int64_t BucketLimit(int k) { return 256LL * (k + 1) * (k + 2) / 2; }

// Entry sectors of no known volume kept for one found later.
constexpr size_t kMaxEntrySectors = 1u << 20;

// Earlier records looked at for a related folder (the list is short once
// volumes are found; this bounds it when they are not).
constexpr size_t kRelatedLookBack = 4096;

int ListOf(int type) { return type == kVolFat32 ? 0 : 1; }

}  // namespace

FATDirFinder::Region::Region() {
  for (int i = 0; i < kSlots; ++i) slotIndex[i] = -1;
  std::memset(digest, 0, sizeof digest);
}

FATDirFinder::FATDirFinder(Drive* drive, ScanSink* engine) : drive_(drive), engine_(engine) {
  sectorSize_ = drive && drive->SectorSize() ? drive->SectorSize() : 512;
  driveSectors_ = drive ? drive->SectorCount() : 0;
  boot_.resize(std::max<uint32_t>(sectorSize_, 512));
}

FATDirFinder::FATDirFinder(uint32_t sectorSize, uint64_t driveSectors)
    : drive_(nullptr), engine_(nullptr), sectorSize_(sectorSize < 512 ? 512 : sectorSize), driveSectors_(driveSectors) {
  boot_.resize(sectorSize_);
}

void FATDirFinder::FreeLists() {
  regions_[0].clear();
  regions_[1].clear();
  records_.clear();
  records_.shrink_to_fit();
  entrySectors_.clear();
  entrySectors_.shrink_to_fit();
  triedVolume_ = nullptr;
  triedCluster_ = -1;
  current_ = nullptr;
  lastSector_ = -1;
}

// ---- tables ----

void FATDirFinder::FillSlot(Region& r, int64_t index, const uint8_t* data) {
  int slot;
  if (r.type == kVolFat32) {
    int b = r.bucket;
    while (b > 0 && index < BucketLimit(b - 1)) --b;
    while (b < kBuckets && index >= BucketLimit(b)) ++b;
    r.bucket = std::min(b, kBuckets - 1);
    slot = b;
  } else {
    slot = int(std::min<int64_t>(index / 8, kSlots - 1));
  }
  if (slot >= kSlots || r.slotIndex[slot] != -1) return;
  r.slotIndex[slot] = index;
  Md5Of(data, sectorSize_, r.digest[slot]);
}

// 1 the same table, -1 different ones, 0 cannot tell.
int FATDirFinder::CompareRegions(const Region& a, const Region& b) {
  int sum = 0;
  for (int i = 0; i < kSlots && sum <= 1 && sum >= -1; ++i) {
    if (a.slotIndex[i] == -1 || a.slotIndex[i] != b.slotIndex[i]) continue;
    sum += std::memcmp(a.digest[i], b.digest[i], 16) == 0 ? 1 : -1;
  }
  return sum >= 2 ? 1 : sum < -1 ? -1 : 0;
}

// 1 when `other` is the second copy of `asking`, -1 when `asking` is the
// second copy of `other`, -2 when the distance fits but the digests cannot
// tell yet, 0 otherwise.
int FATDirFinder::SecondCopy(const Region& asking, const Region& other) const {
  if (asking.type != other.type || asking.start == other.start) return 0;
  const Region& earlier = asking.start < other.start ? asking : other;
  const Region& later = asking.start < other.start ? other : asking;
  const int64_t distance = later.start - earlier.start;
  if (asking.type == kVolFat32) {
    if (distance <= 256 || distance - earlier.length > kFat32Reach) return 0;
  } else if (distance < 16 || distance > kFat16Reach) {
    return 0;
  }
  const int same = CompareRegions(asking, other);
  if (same == 1) return &asking == &earlier ? 1 : -1;
  return same == 0 ? -2 : 0;
}

FATDirFinder::Region* FATDirFinder::FindMatch(int list, const Region& c, const Region* self) {
  for (Region& f : regions_[list]) {
    if (&f == self) continue;
    if (f.start == c.start) return &f;
    if (f.fatSize && f.start + f.fatSize == c.start) return &f;
    if (SecondCopy(f, c) == 1) {
      f.fatSize = c.start - f.start;
      return &f;
    }
  }
  return nullptr;
}

void FATDirFinder::Absorb(Region& into, const Region& from) {
  into.count += from.count;
  into.length = std::max(into.length, from.length);
  into.lowest = std::min(into.lowest, from.lowest);
  for (int i = 0; i < kSlots; ++i) {
    if (into.slotIndex[i] != -1 || from.slotIndex[i] == -1) continue;
    into.slotIndex[i] = from.slotIndex[i];
    std::memcpy(into.digest[i], from.digest[i], 16);
  }
}

void FATDirFinder::Erase(int list, const Region* r) {
  for (auto it = regions_[list].begin(); it != regions_[list].end(); ++it) {
    if (&*it != r) continue;
    if (current_ == r) current_ = nullptr;
    regions_[list].erase(it);
    return;
  }
}

// The current table (in the list, no size yet) joined to the copy it pairs
// with.
void FATDirFinder::Merge(int list) {
  Region* c = current_;
  Region* f = FindMatch(list, *c, c);
  if (!f) return;
  Absorb(*f, *c);
  Erase(list, c);
  current_ = f;
}

void FATDirFinder::Prune(int list, int64_t sector) {
  auto& l = regions_[list];
  if (sector - prunedAt_[list] < kFat32Reach + 1 || l.size() <= prunedCount_[list]) return;
  const int64_t reach = list == 0 ? kFat32Reach : kFat16Reach;
  for (auto it = l.begin(); it != l.end();) {
    const bool weak = it->count <= 7 && it->lowest != 0 && it->fatSize == 0;
    if (weak && sector - (it->start + it->length) > reach) {
      if (current_ == &*it) current_ = nullptr;
      it = l.erase(it);
    } else {
      ++it;
    }
  }
  prunedAt_[list] = sector;
  prunedCount_[list] = l.size();
}

void FATDirFinder::NoteFATSector(int type, const uint8_t* data, int64_t sector, int64_t index, bool sure) {
  if (type != kVolFat16 && type != kVolFat32) return;
  const int list = ListOf(type);
  Region* c = current_;
  const bool follows = c && c->type == type && sector == lastSector_ + 1;
  if (!sure) {
    // Entries that name no cluster: only the table being followed grows.
    if (!follows) return;
    int64_t at = sector - c->start;
    if (c->fatSize && at >= c->fatSize) at -= c->fatSize;
    c->length = std::max(c->length, at + 1);
    c->count++;
    lastSector_ = sector;
    return;
  }
  if (index < 0 || index > sector) return;
  Prune(list, sector);
  c = current_;
  if (c && c->type == type) {
    int64_t at = sector - c->start;
    if (c->fatSize && at >= c->fatSize) at -= c->fatSize;
    if (at == index) {
      c->length = std::max(c->length, index + 1);
      c->count++;
      lastSector_ = sector;
      if (c->fatSize) return;
      FillSlot(*c, index, data);
      Merge(list);
      return;
    }
  }
  // A table starting elsewhere.
  spare_ = Region();
  spare_.start = sector - index;
  spare_.length = index + 1;
  spare_.lowest = index;
  spare_.type = type;
  spare_.count = 1;
  FillSlot(spare_, index, data);
  lastSector_ = sector;
  if (Region* f = FindMatch(list, spare_, nullptr)) {
    Absorb(*f, spare_);
    current_ = f;
    return;
  }
  regions_[list].push_front(spare_);
  current_ = &regions_[list].front();
}

// ---- geometry ----

bool LostFatVolumeGeometry(int type, int64_t tableStart, int64_t fatSize, uint32_t spc, uint32_t ss,
                           uint64_t driveSectors, LostFatGeometry* out) {
  if (fatSize <= 0 || fatSize > 0xFFFFFFFFLL || spc == 0 || ss < 512) return false;
  LostFatGeometry g;
  const bool fat32 = type == kVolFat32;
  g.reserved = fat32 ? 32 : 1;
  g.rootEntries = fat32 ? 0 : 512;
  const uint64_t rootSectors = fat32 ? 0 : uint64_t(512) * kDirEntryBytes / ss;
  g.start = tableStart - int64_t(g.reserved);
  if (g.start < 0 || uint64_t(g.start) >= driveSectors) return false;
  g.dataStart = tableStart + int64_t(rootSectors) + 2 * fatSize;
  // 64-bit throughout: entries per sector x table size x cluster size
  // passes 32 bits on large disks and 4096-byte sectors.
  const uint64_t entries = uint64_t(ss) / (fat32 ? 4 : 2) * uint64_t(fatSize);
  const uint64_t clusters = entries > 2 ? entries - 2 : 0;
  unsigned __int128 total = (unsigned __int128)spc * clusters + 2 * uint64_t(fatSize) + rootSectors + g.reserved;
  const uint64_t left = driveSectors - uint64_t(g.start);
  if (total > left) total = left;
  if (total > 0xFFFFFFFFu) total = 0xFFFFFFFFu;
  g.fatSize = uint32_t(fatSize);
  g.totalSectors = uint32_t(total);
  *out = g;
  return true;
}

int32_t FindFatVolume(const Drive& drive, uint32_t cluster, int64_t sector, uint32_t clusterBytes, int type) {
  const uint32_t n = VolumeCount(drive);
  for (uint32_t i = 0; i < n; ++i) {
    const auto* v = dynamic_cast<const FATVol*>(VolumeAt(drive, i));
    if (v && v->cache && v->IsClusterAt(cluster, sector, clusterBytes, type)) return int32_t(i);
  }
  return -1;
}

// ---- folders ----

// Sectors per cluster from related earlier folders: the distance in
// sectors over the distance in clusters, seen twice before it is believed.
void FATDirFinder::Relate(DirRecord& rec) {
  size_t looked = 0;
  for (auto it = records_.rbegin(); it != records_.rend() && looked < kRelatedLookBack; ++it, ++looked) {
    DirRecord& r = *it;
    const bool related = r.cluster == rec.parent || r.parent == rec.parent || r.parent == rec.cluster;
    if (!related || r.sector >= rec.sector || r.cluster >= rec.cluster) continue;
    const int64_t sectors = rec.sector - r.sector;
    const int64_t clusters = int64_t(rec.cluster) - int64_t(r.cluster);
    if (sectors % clusters) continue;
    const int64_t m = sectors / clusters;
    const uint64_t bytes = uint64_t(m) * sectorSize_;
    if (m > 128 || bytes < 512 || bytes > 65536 || (bytes & (bytes - 1))) continue;
    if (!MulFits32(rec.cluster, uint32_t(m))) continue;
    if (r.type && rec.type && r.type != rec.type) continue;
    if (r.sectorsPerCluster && r.sectorsPerCluster != uint32_t(m)) continue;
    if (!r.sectorsPerCluster && r.candidate != uint32_t(m) && rec.candidate != uint32_t(m)) {
      // Seen once: noted on both, believed the second time.
      r.candidate = rec.candidate = uint32_t(m);
      continue;
    }
    r.sectorsPerCluster = rec.sectorsPerCluster = uint32_t(m);
    const int type = r.type ? r.type : rec.type;
    r.type = rec.type = type;
    return;
  }
}

bool FATDirFinder::BuildBoot(const DirRecord& rec, int64_t* volumeStart) {
  const uint32_t m = rec.sectorsPerCluster;
  const uint64_t driveSectors = driveSectors_;
  const int64_t dataStart = rec.sector - int64_t(m) * (int64_t(rec.cluster) - 2);
  for (int type : {kVolFat32, kVolFat16}) {
    if (rec.type && rec.type != type) continue;
    for (const Region& c : regions_[ListOf(type)]) {
      if (!c.fatSize) continue;
      LostFatGeometry g;
      if (!LostFatVolumeGeometry(type, c.start, c.fatSize, m, sectorSize_, driveSectors, &g)) continue;
      if (g.dataStart != dataStart) continue;
      if (!BuildFATBootSector(boot_.data(), type, m, g.reserved, g.rootEntries, g.fatSize, g.totalSectors,
                              sectorSize_))
        continue;
      *volumeStart = g.start;
      return true;
    }
  }
  if (rec.type == kVolFat16) return false;
  // No table known: a FAT32 volume whose data area starts where cluster 0
  // would lie, its reserved area the two clusters before cluster 2.
  const int64_t start = rec.sector - int64_t(m) * int64_t(rec.cluster);
  if (start < 0 || uint64_t(start) >= driveSectors) return false;
  const uint64_t total = std::min<uint64_t>(driveSectors - uint64_t(start), 0xFFFFFFFFu);
  if (!BuildFATBootSector(boot_.data(), kVolFat32, m, 2 * m, 0, 0, uint32_t(total), sectorSize_)) return false;
  *volumeStart = start;
  return true;
}

int FATDirFinder::AddDir(const uint8_t* data, int64_t sector, int64_t* volumeStart, uint64_t sectorsLeft,
                         const uint8_t** boot) {
  *boot = nullptr;
  if (engine_ && engine_->IsCovered(uint64_t(sector) * sectorSize_, uint64_t(sector + 1) * sectorSize_)) return 0;
  DirRecord rec;
  rec.sector = sector;
  rec.cluster = FATDirEntry::FirstCluster(data);
  rec.parent = FATDirEntry::FirstCluster(data + kDirEntryBytes);
  if (rec.cluster == rec.parent || rec.cluster < 2) return 0;
  if (traceContent.load(std::memory_order_relaxed))
    TracePrintfA("FAT dir %ld parent %ld at %I64d\n", int32_t(rec.cluster), int32_t(rec.parent), sector);
  if (sectorSize_ >= 512 && FATDirHasFAT32Clusters(data)) rec.type = kVolFat32;

  // A known volume holds it: parsed there.
  if (drive_) {
    const int32_t index = FindFatVolume(*drive_, rec.cluster, sector, 0, rec.type);
    if (index >= 0) {
      auto* v = dynamic_cast<FATVol*>(VolumeAt(*drive_, uint32_t(index)));
      if (v->parsedFolders.count(rec.cluster) || !engine_) return 0;
      // Without tables a folder is its first cluster: this read's bytes.
      if (v->noTable && sectorsLeft < v->sectorsPerCluster) return int(v->sectorsPerCluster);
      ParseFATDirAtCluster(v, *engine_, rec.cluster, v->noTable ? data : nullptr);
      return 0;
    }
  }

  Relate(rec);
  if (rec.sectorsPerCluster && BuildBoot(rec, volumeStart)) *boot = boot_.data();
  records_.push_back(rec);
  return 0;
}

FATVol* FATDirFinder::VolumeHolding(int64_t sector) const {
  if (!drive_) return nullptr;
  FATVol* best = nullptr;
  const uint32_t n = VolumeCount(*drive_);
  for (uint32_t i = 0; i < n; ++i) {
    auto* v = dynamic_cast<FATVol*>(VolumeAt(*drive_, i));
    if (!v || !v->cache || uint64_t(sector) < v->startSector) continue;
    if (uint64_t(sector) - v->startSector >= VolumeLengthOnDrive(*v, *drive_)) continue;
    // A volume inside another's reach (one rebuilt without its tables
    // reaches to the drive's end) holds its own sectors.
    if (!best || v->startSector > best->startSector) best = v;
  }
  return best;
}

void FATDirFinder::ParseEntrySector(FATVol* v, int64_t sector) {
  const int64_t cluster = v->ClusterOfSector(sector);
  if (cluster < 0 || (v == triedVolume_ && cluster == triedCluster_)) return;
  triedVolume_ = v;
  triedCluster_ = cluster;
  ParseFATOrphans(v, *engine_, uint32_t(cluster));
}

void FATDirFinder::NoteEntrySector(int64_t sector) {
  if (!drive_ || !engine_ || sector < 0) return;
  // A volume rebuilt without tables may reach over volumes not found yet:
  // its entries wait for the end of the pass.
  FATVol* v = VolumeHolding(sector);
  if (v && !v->noTable) ParseEntrySector(v, sector);
  else if (entrySectors_.size() < kMaxEntrySectors) entrySectors_.push_back(sector);
}

void FATDirFinder::ParseKeptEntrySectors(const FATVol* only) {
  size_t kept = 0;
  for (int64_t sector : entrySectors_) {
    FATVol* v = VolumeHolding(sector);
    if (!v || (only && (v != only || v->noTable))) entrySectors_[kept++] = sector;
    else ParseEntrySector(v, sector);
  }
  entrySectors_.resize(kept);
}

void FATDirFinder::AssignToVolume(FATVol* v) {
  if (!v || !v->cache || !engine_) return;
  const uint32_t ss = drive_ && drive_->SectorSize() ? drive_->SectorSize() : sectorSize_;
  size_t kept = 0;
  for (size_t i = 0; i < records_.size(); ++i) {
    const DirRecord& r = records_[i];
    bool done = engine_->IsCovered(uint64_t(r.sector) * ss, uint64_t(r.sector + 1) * ss);
    const uint32_t bytes = r.sectorsPerCluster ? r.sectorsPerCluster * ss : 0;
    if (!done && v->IsClusterAt(r.cluster, r.sector, bytes, r.type))
      done = v->parsedFolders.count(r.cluster) || ParseFATDirAtCluster(v, *engine_, r.cluster, nullptr) == 1;
    if (!done) records_[kept++] = r;
  }
  records_.resize(kept);
  // Then the entries of folders past their first cluster, which may
  // belong to a folder just parsed.
  ParseKeptEntrySectors(v);
}
