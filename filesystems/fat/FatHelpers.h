// FAT helpers shared by the volume model, the volume search, the deep scan
// and the FAT volume code: directory entries, DOS dates, boot sectors and
// allocation-table sectors.
#pragma once
#include <cstddef>
#include <cstdint>

#include "filesystems/fat/Definitions.h"
#include "platform/Text.h"

class CVol;
class FATVol;
struct cnode;
struct FATInode;

inline constexpr size_t kFATDirEntryBytes = fat::kDirEntryBytes;
inline constexpr uint8_t kFATAttrLabel = fat::kAttrLabel;
inline constexpr uint8_t kFATAttrDirectory = fat::kAttrDirectory;
inline constexpr uint8_t kFATAttrLongName = fat::kAttrLongName;

// Results of ParseFATEntry.
inline constexpr int kFATEntryEnd = -2;
inline constexpr int kFATEntryLabel = -1;
inline constexpr int kFATEntryRejected = 0;
inline constexpr int kFATEntryFolder = 1;
inline constexpr int kFATEntryDot = 2;
inline constexpr int kFATEntryDotDot = 3;
inline constexpr int kFATEntryFile = 4;

// The 32-byte directory entry, read in place.
struct FATDirEntry {
  static uint32_t FirstCluster(const uint8_t* entry);
};

// 2 for ".", 3 for "..", 0 otherwise (one or two dots, then blanks).
// *cluster gets the entry's first cluster when asked.
int FATDotEntry(const uint8_t* entry, uint32_t* cluster = nullptr);

// A broken-down DOS time.
struct FATSystemTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};
// Decodes a DOS date and time (and 10-ms count); true when it is a valid
// time: month 1-12, a day the month can have (February up to 29), hour
// below 24, minute below 60, second at most 60.
bool FATDateTimeToSystemTime(FATSystemTime* out, uint16_t date, uint16_t time, uint8_t tenMs);

// The highest cluster number of a FAT volume from its geometry (data area,
// size, cluster size); 0 when the geometry is not known.
uint32_t FATHighestCluster(const CVol& volume);

// One directory entry into the node (whose parent the caller sets). With a
// volume, first clusters are checked against it, a label entry gives the
// volume its label, and a FAT32 volume learns when first clusters above
// 0xFFFF occur. Returns kFATEntryEnd, kFATEntryLabel, kFATEntryRejected,
// kFATEntryFolder, kFATEntryDot, kFATEntryDotDot or kFATEntryFile; the 8.3
// name (or the label) goes to *nameOut when asked, raw: it is sanitised only
// when it becomes a destination path.
int ParseFATEntry(FATInode* node, const uint8_t* entry, FATVol* volume, WString* nameOut);

// Long-name checksum of the 11 name bytes.
uint8_t FATShortNameChecksum(const uint8_t* name11);

// A FAT12/16 (2) or FAT32 (3) boot sector, else 0. areasOut (2 values): the
// first sectors of the two FATs (reserved, reserved + FAT size); mediaOut:
// the media byte when it is 0xF0 or at least 0xF8, else 0; clustersOut:
// total sectors / sectors per cluster. Each out may be null.
int IsFATBootSector(const uint8_t* sector, uint64_t* areasOut, uint8_t* mediaOut, uint64_t* clustersOut);

// Writes a FAT16 (fatType 2) or FAT32 (3) boot sector for a lost volume into
// buffer (sectorSize bytes; 0 takes 512):
// two FATs, the given geometry, root cluster 2 on FAT32. False, nothing
// written, for values the fields cannot hold.
bool BuildFATBootSector(uint8_t* buffer, int fatType, uint32_t sectorsPerCluster, uint32_t reserved,
                        uint32_t rootEntries, uint32_t fatSize, uint32_t totalSectors, uint32_t sectorSize = 0);

// One entry is a long-name piece as folders hold them (its fixed fields
// and order byte; the characters are not judged).
bool FATLongNamePieceLooksRight(const uint8_t* entry);
// `bytes` (whole entries) hold folder entries, but not a folder's first
// cluster: the first entry is a name piece or a file or folder entry
// (neither "." nor free), every other one is such an entry, a label or free
// (first byte 0), and one file or folder entry at least is there.
bool FATEntriesLookLikeFolder(const uint8_t* data, size_t bytes);

// The sector begins with a "." entry and a ".." entry (blank-padded, the
// first a directory): the second's directory bit, else 0.
int IsFATDotDirSector(const uint8_t* sector);
// One of the first 16 entries (up to an empty one; long-name pieces skipped)
// has a first cluster above 0xFFF5. `entries` holds at least 512 bytes.
bool FATDirHasFAT32Clusters(const uint8_t* entries);

// The product of two 32-bit values fits in 32 bits.
inline bool MulFits32(uint32_t a, uint32_t b) { return uint64_t(a) * b <= 0xFFFFFFFFull; }

// A few (key, count) slots; keys are -1 when free.
class FATClusterVotes {
 public:
  static constexpr int kSlots = 16;
  FATClusterVotes();
  // Adds n to the key's slot, or takes the first free slot; false when full.
  bool Add(int64_t key, uint32_t n);
  // The key with the largest count (-1 with none); *total gets the sum.
  int64_t Best(uint32_t* total = nullptr, uint32_t* bestCount = nullptr) const;

 private:
  int64_t keys_[kSlots];
  uint32_t counts_[kSlots];
};

// Whether a sector holds FAT entries of a FAT12/16 (type 2) or FAT32 (3)
// table whose highest cluster is maxCluster (0: unknown; on type 2 a known
// value below 4087 means FAT12). Returns the sector's index within the FAT
// as its chained entries imply it (0 for the first sector, which starts
// with the media and end marks), -1 when the sector is not a FAT sector, -2
// when it cannot tell (only free, end-of-chain and bad entries: the index
// is unknown). *badOut: bad-cluster entries; *scoreOut: plausible entries.
int64_t CheckFATSector(const uint8_t* sector, int type, uint32_t* badOut, uint32_t* scoreOut, uint32_t maxCluster,
                       uint32_t bytes = 512);
