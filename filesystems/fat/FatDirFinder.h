// The Long Scan's search for lost FAT volumes and folders. Table sectors
// give pairs of FAT copies (their distance is the table size); folder
// sectors that start with "." and ".." give the cluster size and where the
// data area begins. A folder inside a known volume is parsed there; one in
// no known volume makes a boot sector for the volume it must belong to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

class Drive;
class FATVol;
class ScanSink;

class FATDirFinder {
 public:
  static constexpr int kSlots = 32;
  static constexpr int kBuckets = 31;
  // FAT32 tables: a second copy lies at most this far past the first's end.
  static constexpr int64_t kFat32Reach = 130560;
  static constexpr int64_t kFat16Reach = 256;

  // One table seen on the disk: where its sector of index 0 lies, how far
  // it was seen and, once its second copy is matched, its size.
  struct Region {
    int64_t start = 0;
    int64_t length = 0;  // highest index seen + 1
    int64_t lowest = 0;
    int type = 0;        // 2 FAT16, 3 FAT32
    uint32_t count = 0;  // sectors that confirmed it
    int64_t fatSize = 0;
    int bucket = 0;
    int64_t slotIndex[kSlots];
    uint8_t digest[kSlots][16];
    Region();
  };

  // A folder sector: its "." and ".." clusters and what is known of its
  // volume's clusters.
  struct DirRecord {
    int64_t sector = 0;
    uint32_t cluster = 0;
    uint32_t parent = 0;
    uint32_t sectorsPerCluster = 0;  // 0 unknown
    uint32_t candidate = 0;          // a value seen once, awaiting a second
    int type = 0;                    // 0 unknown, 2 or 3
  };

  FATDirFinder(Drive* drive, ScanSink* engine);
  // Without a drive or an engine (tests): its geometry only; no volume is
  // known and none is parsed.
  FATDirFinder(uint32_t sectorSize, uint64_t driveSectors);

  // A table sector of a FAT16 (2) or FAT32 (3) table; `index` its place in
  // the table as its entries imply, `sure` false when they cannot tell (the
  // sector then only extends the table being followed).
  void NoteFATSector(int type, const uint8_t* data, int64_t sector, int64_t index, bool sure);

  // A folder sector starting with "." and "..": 0, or the sectors per
  // cluster of the known (table-less) volume that holds it when fewer are
  // left in the read (the caller offers them again), or 0 with *boot set to
  // a boot sector (the finder's, valid until the next call) for a lost
  // volume starting at *volumeStart.
  int AddDir(const uint8_t* data, int64_t sector, int64_t* volumeStart, uint64_t sectorsLeft, const uint8_t** boot);

  // A sector of folder entries that is no folder's first sector: parsed
  // in the known volume that holds it unless a walked folder holds it
  // already; kept for a volume found later otherwise.
  void NoteEntrySector(int64_t sector);

  // A volume just opened: the records and entry sectors it holds are parsed
  // there and dropped.
  void AssignToVolume(FATVol* volume);
  // The end of the pass: the entry sectors kept are parsed in the volumes
  // that hold them now (those of volumes rebuilt without tables too).
  void ParseKeptEntrySectors() { ParseKeptEntrySectors(nullptr); }

  void FreeLists();

  // For tests.
  const std::list<Region>& Regions(int type) const { return regions_[type == 3 ? 0 : 1]; }
  const std::vector<DirRecord>& Records() const { return records_; }

 private:
  void FillSlot(Region& r, int64_t index, const uint8_t* data);
  static int CompareRegions(const Region& a, const Region& b);
  int SecondCopy(const Region& asking, const Region& other) const;
  Region* FindMatch(int list, const Region& c, const Region* self);
  static void Absorb(Region& into, const Region& from);
  void Merge(int list);
  void Prune(int list, int64_t sector);
  void Relate(DirRecord& rec);
  bool BuildBoot(const DirRecord& rec, int64_t* volumeStart);
  void Erase(int list, const Region* r);
  // The FAT volume whose reach holds the drive sector: the one starting
  // last among those that reach it.
  FATVol* VolumeHolding(int64_t sector) const;
  void ParseEntrySector(FATVol* volume, int64_t sector);
  // The kept sectors of `only` (all volumes when null).
  void ParseKeptEntrySectors(const FATVol* only);

  Drive* drive_;
  ScanSink* engine_;
  uint32_t sectorSize_ = 512;
  uint64_t driveSectors_ = 0;
  std::list<Region> regions_[2];  // 0 FAT32, 1 FAT16; head first
  Region* current_ = nullptr;
  int64_t lastSector_ = -1;
  Region spare_;
  int64_t prunedAt_[2] = {0, 0};
  size_t prunedCount_[2] = {0, 0};
  std::vector<DirRecord> records_;  // newest last
  std::vector<int64_t> entrySectors_;  // entry sectors of no known volume
  // The cluster tried last (its sectors come one after another).
  const FATVol* triedVolume_ = nullptr;
  int64_t triedCluster_ = -1;
  std::vector<uint8_t> boot_;
};

// The index in the drive's volume table of the FAT volume holding `cluster`
// at drive sector `sector` (a non-zero cluster size and type must be the
// volume's); -1 when none.
int32_t FindFatVolume(const Drive& drive, uint32_t cluster, int64_t sector, uint32_t clusterBytes, int type);

// The geometry of a lost volume from a matched table pair: its start (the
// table's start less the reserved sectors) and the fields of its boot
// sector; the total is what the tables can map, cut to the drive's
// `driveSectors` and to 32 bits. False when it does not fit the drive.
struct LostFatGeometry {
  int64_t start = 0;
  uint32_t reserved = 0, rootEntries = 0, fatSize = 0, totalSectors = 0;
  int64_t dataStart = 0;  // drive sector of cluster 2
};
bool LostFatVolumeGeometry(int type, int64_t tableStart, int64_t fatSize, uint32_t sectorsPerCluster,
                           uint32_t sectorSize, uint64_t driveSectors, LostFatGeometry* out);
