// The allocation-table cache of a FAT12/16/32 or exFAT volume: serves table
// entries and turns cluster chains into run lists. FAT12/16 tables live in
// memory whole (read once, the two copies compared sector by sector); FAT32
// and exFAT tables are paged through a SlotCache of 32 pages of 8 sectors.
//
// Cluster numbers are the file system's own (2 is the first data cluster):
// the volume's `dataAreaSector` is the sector of cluster 0, so run lists
// hold them unchanged.
//
// The FAT family's; exFAT, whose table is a FAT32 table without the mask,
// builds on it (the family edge exfat -> fat).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "volumes/RunList.h"

class CVol;
class SlotCache;
struct cnode;

// Statuses of GetRuns.
inline constexpr int kChainComplete = 0;
inline constexpr int kChainShort = 1;       // chain shorter than the file
inline constexpr int kChainFragmented = 3;  // complete, more than one run
inline constexpr int kChainBroken = 4;      // free, reserved or bad entry met

// Why the last GetRuns stopped (FATCache::LastEnd).
inline constexpr int kChainEndMark = 0;     // an end mark
inline constexpr int kChainEndWanted = 1;   // the clusters wanted were gathered
inline constexpr int kChainEndFree = 2;     // a free (0) entry: the table lost the rest
inline constexpr int kChainEndInvalid = 3;  // a reserved, bad or out-of-range entry
inline constexpr int kChainEndLoop = 4;     // a cluster met again
inline constexpr int kChainEndOutside = 5;  // the first cluster names no entry

// Type codes Init takes (the volume type codes).
inline constexpr int kFatCacheFat16 = 2;  // FAT12 or FAT16, by the cluster count
inline constexpr int kFatCacheFat32 = 3;
inline constexpr int kFatCacheExFat = 9;

class FATCache {
 public:
  // Judges one FAT32 table sector (the FAT family's CheckFATSector): the
  // sector's index within the table, -1 not a table sector, -2 cannot tell;
  // *score gets the plausible entries.
  using SectorCheck = int64_t (*)(const uint8_t* sector, int type, uint32_t* bad, uint32_t* score,
                                  uint32_t maxCluster, uint32_t bytes);

  explicit FATCache(CVol* volume);
  ~FATCache();
  FATCache(const FATCache&) = delete;
  FATCache& operator=(const FATCache&) = delete;

  // Prepares the cache for a table of fatBytes at volume sector firstSector
  // (the second copy follows it). type 2: 12-bit entries when the volume's
  // geometry (size, dataAreaSector, cluster size) leaves fewer than 4085
  // clusters, else 16-bit; 3 and 9: 32-bit (9 unmasked, one copy judged
  // by nothing). The FAT12/16 table is read now; false when the geometry
  // makes no sense or it cannot be read. FAT32 with fatBytes 0: a volume
  // whose tables are lost (every entry reads free, every chain as one run
  // of the clusters wanted). Out of memory ends in
  // ShowErrorAndThrow.
  bool Init(int type, uint64_t fatBytes, uint64_t firstSector);

  // Settings the FAT family gives before Init: the copies the boot sector
  // names (1 or 2), its media byte (0 unknown) and the FAT32 sector judge
  // (null: FAT32 pages come from the first copy alone).
  void SetCopies(uint32_t copies) { copies_ = copies == 1 ? 1 : 2; }
  void SetMedia(uint8_t media) { media_ = media; }
  void SetSectorCheck(SectorCheck check) { check_ = check; }

  // The clusters of the chain from `first` as runs into *out (a new list,
  // or null with none), the status into *status. wanted 0: follow the chain
  // to its end, a loop (a cluster met again) or maxCluster steps; else stop
  // at `wanted` clusters and pad a chain that ends short (end mark) up to
  // it with the clusters that follow on disk; a broken chain is not padded. A first cluster outside 2 .. maxCluster - 1 gives
  // no runs and status 4. Returns the clusters the chain gave.
  uint32_t GetRuns(uint32_t first, RunList* out, int* status, uint32_t wanted);
  // How the last GetRuns stopped (kChainEnd*) and the last cluster it
  // gathered (0 when none).
  int LastEnd() const { return lastEnd_; }
  uint32_t LastCluster() const { return lastCluster_; }

  // Gives a FAT or exFAT node (first cluster in `id`) its run list from its
  // chain; `contiguous` (exFAT's no-chain flag) makes one run without any
  // table read. A folder (its size is its chain's length) of size 0 gets
  // at least one cluster; a folder's size becomes what its chain holds.
  // Returns the chain status (0 for a contiguous node).
  int SetNodeRuns(cnode* node, uint32_t clusterBytes, bool contiguous = false);

  // One table entry (FAT32 and exFAT through the page cache; 12 and 16 bit
  // from the table); the filler's bad mark for clusters past maxCluster.
  uint32_t GetEntry(uint32_t cluster);

  uint32_t Width() const { return width_; }
  uint32_t MaxCluster() const { return maxCluster_; }
  bool Tableless() const { return tableless_; }
  uint64_t FirstSector(int copy) const { return copy == 0 ? fat1_ : fat2_; }
  // Page-cache hits and misses (FAT32, exFAT).
  uint64_t PageHits() const;
  uint64_t PageMisses() const;

 private:
  bool ReadFAT();
  bool ReadVolumeSectors(uint64_t sector, uint32_t count, uint8_t* out);
  uint8_t* LoadPage(uint32_t page, uint32_t slot);
  uint32_t ScoreSector(const uint8_t* table, uint32_t index) const;
  void FillSector12(uint8_t* table, uint32_t index);
  void FillBytes(uint8_t* at, uint32_t bytes) const;
  uint32_t Entry12(uint32_t cluster) const;

  CVol* volume_;
  int type_ = 0;
  uint32_t width_ = 0;
  uint32_t sectorSize_ = 512;
  uint64_t fat1_ = 0, fat2_ = 0;
  uint64_t fatBytes_ = 0;
  uint32_t maxCluster_ = 0;
  uint32_t copies_ = 2;
  uint8_t media_ = 0;
  SectorCheck check_ = nullptr;
  bool tableless_ = false;
  int lastEnd_ = kChainEndMark;
  uint32_t lastCluster_ = 0;

  // FAT12/16: the table.
  std::unique_ptr<uint8_t[]> table_;
  uint32_t tableBytes_ = 0;

  // FAT32/exFAT: pages of 8 sectors.
  uint32_t pageBytes_ = 0;
  uint32_t entriesPerPage_ = 0, pageShift_ = 0, pageMask_ = 0;
  uint32_t pageCount_ = 0;
  std::unique_ptr<SlotCache> slots_;
  std::unique_ptr<int64_t[]> slotPage_;  // page held by each slot, -1 none
  int64_t currentPage_ = -1;
  uint8_t* current_ = nullptr;
  std::unique_ptr<uint8_t[]> spare_;
  // One byte per page, one bit per sector of the page: which copy to take.
  std::unique_ptr<uint8_t[]> marks_[2];
};
