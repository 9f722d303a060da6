#include "filesystems/fat/FatVolume.h"

#include <memory>
#include <new>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatHelpers.h"
#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"
#include "volumes/Volume.h"

using namespace fat;

namespace {

uint64_t TotalSectors(const uint8_t* s) {
  return Le16(s + kBootTotal16) ? Le16(s + kBootTotal16) : Le32(s + kBootTotal32);
}

// The start of the volume a FAT boot sector found at `pos` belongs to.
int64_t FatStart(Drive& d, int64_t pos, const uint8_t* s, int kind) {
  if (kind != kVolFat32) return pos;
  const uint32_t reserved = Le16(s + kBootReservedSectors);
  const uint32_t fatSize = Le32(s + kBootFatSize32);
  const uint8_t media = s[kBootMedia];
  for (int64_t base : {pos, pos - kFat32BackupBootSector}) {
    if (base < 0) continue;
    // The first FAT, then the second one.
    if (IsFat32TableStart(d, base + reserved, media)) return base;
    if (s[kBootFatCount] >= 2 && IsFat32TableStart(d, base + int64_t(reserved) + int64_t(fatSize), media))
      return base;
  }
  if (d.IsVolumeDevice()) return pos == kFat32BackupBootSector ? 0 : pos;
  if (pos == 6) return 0;
  if (pos == 69) return 63;
  if (pos == 2054) return 2048;
  return pos;
}

}  // namespace

int InitFATVol(CVol* v, const uint8_t* s, int64_t sector) {
  if (!v || !s || sector < 0) return 0;
  const int type = IsFATBootSector(s, nullptr, nullptr, nullptr);
  if (type == 0) return 0;
  const uint32_t ss = Le16(s + kBootBytesPerSector);
  const uint32_t spc = s[kBootSectorsPerCluster];
  if (!v->SetSectorSize(ss) || !v->SetClusterSize(ss * spc)) return 0;
  const uint64_t reserved = Le16(s + kBootReservedSectors);
  const uint64_t fats = s[kBootFatCount];
  const uint64_t rootSectors = (uint64_t(Le16(s + kBootRootEntries)) * kDirEntryBytes + ss - 1) / ss;
  const uint64_t fatSize = Le16(s + kBootFatSize16) ? Le16(s + kBootFatSize16) : Le32(s + kBootFatSize32);
  const uint64_t total = TotalSectors(s);
  const uint64_t dataArea = reserved + fats * fatSize + rootSectors;
  // The areas before the data must leave room for at least one cluster.
  if (dataArea + spc > total) return 0;
  v->type = uint8_t(type);
  v->startSector = uint64_t(sector);
  v->sizeSectors = total;
  v->dataAreaSector = dataArea;
  return type;
}

bool IsFatBootSectorWithTotal(const uint8_t* s, uint64_t* totalSectors) {
  if (!IsFATBootSector(s, nullptr, nullptr, nullptr)) return false;
  if (totalSectors) *totalSectors = TotalSectors(s);
  return true;
}

bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media) {
  const uint32_t ss = drive.SectorSize();
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[ss]);
  if (!buf || !ReadSectorsWaited(drive, at, ss, buf.get())) return false;
  const uint8_t* s = buf.get();
  return s[0] == media && s[1] == 0xFF && s[2] == 0xFF && (s[3] & 0x0F) == 0x0F &&
         (Le32(s + 4) & kFat32EntryMask) == kFat32EntryMask;
}

void LocateFatVolume(BootLocate& w) {
  w.start = FatStart(*w.drive, w.position, w.sector, w.type);
  if (!ToDriveSectors(TotalSectors(w.sector), Le16(w.sector + kBootBytesPerSector), w.sectorBytes, &w.size))
    w.start = -1;
}
