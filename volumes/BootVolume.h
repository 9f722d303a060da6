// From a sector that starts a file system to a volume in the drive's table:
// which type it names, the volume made and initialised from it, and the
// drive's check on it. Also the small clock cache of fixed-size slots that
// the FAT sector cache uses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

class CVol;
class Drive;
class NTFSVol;

// The volume type code (Volume.h) a sector names; 0 for none.
int ProbeVolumeKind(const uint8_t* sector);

// Makes the volume of `type` from its boot or super block `buffer` found at
// drive sector `sector64` on `drive` (null: the current drive), and adds it
// to the drive's table. With `volume` given it is initialised in place and
// kept by the caller: the result is then the drive's disk number on success.
// Otherwise the result is the new volume's index in the drive's table, or -1
// (not recognised, already known, outside the drive, or the table is full;
// the volume is deleted).
int ProcBootCm(int64_t sector64, const uint8_t* buffer, uint8_t type, CVol* volume = nullptr,
               Drive* drive = nullptr);

// The geometry of a FAT volume from its boot sector at drive sector
// `sector`: type, sector and cluster size, start, size and the first data
// sector. Non-zero on success. The FAT family's reader adds its table cache
// and root folder to this.
int InitFATVol(CVol* volume, const uint8_t* bootSector, int64_t sector);

namespace NTFS {
// An NTFS volume from the boot sector at drive sector `sector`, added to the
// drive's table (null: the current drive): its index, or -1 when it was not
// added (not usable, outside the drive, known already, table full).
int ProcBoot(int64_t sector, const uint8_t* bootSector, Drive* drive = nullptr);

// The recent-format check of a volume device: the $MFT's own record, read
// where the boot sector in `firstSectors` puts it, was made less than 14
// days ago (and not in the future).
bool RecentlyFormatted(Drive& drive, const uint8_t* firstSectors, uint32_t bytes);
// Installs RecentlyFormatted as the drive's check (SetRecentFormatCheck).
void InstallRecentFormatCheck();
}  // namespace NTFS

// A clock-style cache of `count` slots of `slotSize` bytes, keyed by a
// 64-bit value.
class SlotCache {
 public:
  SlotCache(uint32_t count, uint32_t slotSize);
  ~SlotCache();
  SlotCache(const SlotCache&) = delete;
  SlotCache& operator=(const SlotCache&) = delete;

  // From the clock hand, visits every slot once: a slot in use with the key
  // is a hit (the hand stays there); on the way slots age. On a miss the
  // hand goes to the slot of lowest age. *slotOut = the hand's slot.
  bool Lookup(int64_t key, uint32_t* slotOut);
  // The slot now holds `key`, freshly used; the hand moves there.
  void SetKey(int64_t key, uint32_t slot);
  void Free();
  uint8_t* Slot(uint32_t slot) { return memory_ ? memory_.get() + size_t(slot) * slotSize_ : nullptr; }
  uint32_t Count() const { return count_; }
  uint32_t hits = 0;
  uint32_t misses = 0;

 private:
  std::unique_ptr<uint8_t[]> memory_;
  uint32_t slotSize_ = 0;
  std::unique_ptr<uint8_t[]> ages_;
  std::unique_ptr<int64_t[]> keys_;
  uint32_t hand_ = 0;
  uint32_t count_ = 0;
};
