// A FAT volume from its boot sector: where the volume lies on the drive, its
// geometry, its allocation-table cache and root folder, and the checks the
// volume search and the drive make on it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "filesystems/fat/LongName.h"
#include "volumes/Volume.h"

class ClusterWindow;
class Drive;
class FATCache;
struct BootLocate;

class FATVol : public CVol {
 public:
  explicit FATVol(uint8_t type);
  ~FATVol() override;

  // The geometry from a boot sector: the type code (3 when the 16-bit FAT
  // size is 0) or -1; makes the table cache (not read for FAT32 until used).
  int BootParse(const uint8_t* boot);
  // Absolute drive sector of a cluster.
  int64_t ClusterToSector(uint32_t cluster) const;
  // The cluster holding drive sector `sector`; -1 when it lies outside the
  // data area.
  int64_t ClusterOfSector(int64_t sector) const;
  // Volume sector (in the volume's own sectors) of a cluster.
  uint64_t ClusterToVolumeSector(uint32_t cluster) const;
  // The cluster lies at that drive sector; a non-zero type and cluster size
  // must be the volume's.
  bool IsClusterAt(uint32_t cluster, int64_t sector, uint32_t clusterBytes, int type) const;
  // The label entry of the root folder into `label`.
  void ReadVolumeLabel();
  // FAT32 with root cluster 0: the first of clusters 2..9 that looks like
  // the root folder, 0 when none does.
  uint32_t FindRootCluster();
  // Reads volume sectors (relative to the volume's start); false on failure.
  bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* buffer);
  // Highest cluster number + 1 (the table cache's bound).
  uint32_t MaxCluster() const;

  uint32_t reserved = 0;
  uint32_t fatCount = 0;
  uint32_t rootEntries = 0;
  uint32_t fatSize = 0;      // sectors of one table
  uint32_t rootSectors = 0;  // fixed root folder (FAT12/16)
  uint8_t media = 0;
  uint64_t rootStart = 0;    // volume sector of the fixed root folder
  uint64_t dataSectors = 0;
  uint64_t clusterCount = 0;
  uint32_t rootCluster = 0;  // FAT32
  std::unique_ptr<FATCache> cache;
  std::unique_ptr<ClusterWindow> window;  // recovery reads
  LongNameBuffer longName;
  bool largeFat32Dir = false;
  bool labelRead = false;
  // Rebuilt without its tables (FAT32, table size 0): files are single runs.
  bool noTable = false;
  // First clusters of the folders walked so far (a folder found again by
  // the Long Scan is not listed twice).
  std::unordered_set<uint32_t> parsedFolders;
  // The clusters of every folder walked (first -> last of each stretch),
  // and in a Long Scan each folder's path by its first cluster: the sweep
  // for orphaned entries leaves walked clusters alone and places what it
  // finds under the folder it belongs to.
  std::map<uint32_t, uint32_t> walkedClusters;
  std::unordered_map<uint32_t, WString> folderPaths;
  void AddWalked(uint32_t first, uint32_t count);
  bool IsWalked(uint32_t cluster) const;
  // FAT32: directory entries with first clusters above 0xFFFF were seen
  // (deletion may then have cut a first cluster's high word).
  bool highClusters = false;
};

// Full initialisation from the boot sector at drive sector `sector`: type,
// geometry, start, size, data area, table cache and root folder (a plain
// CVol gets the geometry only). The type code on success, 0 when the boot
// sector is not usable.
int InitFATVol(CVol* volume, const uint8_t* bootSector, int64_t sector);

// A FAT32 boot sector with no table size (the lost-volume search builds
// one for a volume whose tables are gone); never taken from the disk.
bool IsTablelessFat32Boot(const uint8_t* sector);

// Whether a sector (at least 512 bytes) is a FAT12/16/32 boot sector; its
// total sector count when it is.
bool IsFatBootSectorWithTotal(const uint8_t* sector, uint64_t* totalSectors);

// Whether a FAT32 table starts at drive sector `at`: the media byte, then
// the end marks of the two reserved entries.
bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media);

// The volume search's placing of a FAT boot sector: a FAT32 backup boot
// sector lies 6 sectors after the primary one; image files count as disks
// for the backups at 6, 69 and 2054.
void LocateFatVolume(BootLocate& where);
