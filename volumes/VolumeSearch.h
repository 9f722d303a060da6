// The drive's volume table and its volume search: boot sectors and
// superblocks looked for at each partition start, at the classic places
// near the start and the end of the drive and right after each volume
// found; each find becomes a volume in the drive's table. The drive holds
// the table (Drive::volumeList) without knowing what is in it: these are
// the functions that work on it. Every volume taken lies inside the drive:
// starts and sizes read from disk are checked before they are used. What a
// sector is and where its volume lies is each family's (VolumeFamily.h).
#pragma once
#include <cstdint>
#include <memory>
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

// ---- the drive's table ----
// The table, made when the drive has none yet.
std::shared_ptr<VolumeList> VolumeTableOf(Drive& drive);
// The table; null while the drive has none.
VolumeList* DriveVolumes(const Drive& drive);
// Reads the partition table and searches for volumes at each partition and
// at the fixed places; the partition count.
int ScanPartitions(Drive& drive);
// Searches `count` sectors from `sector` for volumes; the number found.
int SearchBootSectors(Drive& drive, uint64_t sector, int32_t count, bool backward, bool* foundAtFirst = nullptr);
// Adds a volume to the table (true), or completes the known one it matches
// (false, *index = its index); false with -1 when the table is full.
bool AddVolume(Drive& drive, CVol* volume, int mode, int32_t* index);
// The index of a volume in the table that is the same volume, else -1.
int32_t FindVolume(const Drive& drive, const CVol* volume);
// Deletes the drive's volumes; its next search takes a ZFS label again.
void DeleteVolumes(Drive& drive);
void FreeVolumeBuffers(Drive& drive);
uint32_t VolumeCount(const Drive& drive);
CVol* VolumeAt(const Drive& drive, uint32_t index);

// ---- helpers of the families' locators ----
// volume sectors x volume sector size in drive sectors (rounded up); false
// on overflow.
bool ToDriveSectors(uint64_t sectors, uint32_t volumeSectorSize, uint32_t driveSectorSize, uint64_t* out);
// How far a volume reaches, in drive sectors from its start: the size the
// user gave it (its size override), else its own size, else the rest of
// the drive.
uint64_t VolumeLengthOnDrive(const CVol& volume, const Drive& drive);
// A waited read of `bytes` at drive sector `at` into `out`; false when
// outside the drive or unreadable.
bool ReadSectorsWaited(Drive& drive, int64_t at, uint32_t bytes, uint8_t* out);
// `count` sectors of `sectorSize` bytes from volume sector `sector` of `v`
// (on its drive, else the current one), whatever the drive's sector size;
// false on a failed read or a span past 2 GiB.
bool ReadVolumeSectors(const CVol& v, uint32_t sectorSize, uint64_t sector, uint32_t count, uint8_t* out);
// What the first sectors of an opened volume device tell, from the first
// family that knows them (Drive's open probe; the start-up root installs
// it).
struct DriveOpenFacts;
bool ProbeOpenedDrive(Drive& drive, const uint8_t* firstSectors, uint32_t bytes, DriveOpenFacts* facts);
