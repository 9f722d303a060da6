// The volume search of a drive: boot sectors and superblocks looked for at
// each partition start, at the classic places near the start and the end
// of the drive and right after each volume found; each find becomes a
// volume in the drive's table (Drive::ScanPartitions and the other volume
// members of Drive are defined with it). Every volume taken lies inside the
// drive: starts and sizes read from disk are checked before they are used.
#pragma once
#include <cstdint>
#include <vector>

class CVol;
class Drive;

// At most this many volumes per drive.
inline constexpr uint32_t kMaxDriveVolumes = 163;

// The drive's volumes, owned: deleted with the list.
class VolumeList {
 public:
  VolumeList() = default;
  ~VolumeList();
  VolumeList(const VolumeList&) = delete;
  VolumeList& operator=(const VolumeList&) = delete;
  void Clear();
  std::vector<CVol*> items;
};

// What LookForBootSector found.
struct BootHit {
  int kind = 0;           // volume type code
  int64_t start = 0;      // drive sector where the volume starts
  uint64_t size = 0;      // drive sectors; 0 when the sector does not tell
  int64_t foundAt = 0;    // drive sector of the boot sector or superblock
  std::vector<uint8_t> boot;  // a copy of it (one sector; 2048 bytes for UFS2)
};

// Reads `count` sectors from `sector` in chunks of up to 1 MiB and stops at
// the first sector that names a volume lying inside the drive: the number
// of sectors passed before it (`count` when none, or when a read failed).
int32_t LookForBootSector(Drive& drive, uint64_t sector, int32_t count, BootHit* hit);

// Whether a FAT32 table starts at drive sector `at`: the media byte, then
// the end marks of the two reserved entries.
bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media);
