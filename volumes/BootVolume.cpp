#include "volumes/BootVolume.h"

#include <cstring>
#include <new>

#include "engine/SectorClassify.h"
#include "filesystems/Recognisers.h"
#include "foundation/ByteOrder.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

// The volume's extent in drive sectors lies inside the drive.
bool VolumeInsideDrive(const CVol* v, const Drive* d) {
  if (!d) return false;
  const uint64_t driveSectors = d->SectorCount();
  if (v->startSector >= driveSectors) return false;
  unsigned __int128 bytes = (unsigned __int128)v->sizeSectors * (v->sectorSize ? v->sectorSize : d->SectorSize());
  const unsigned __int128 sectors = (bytes + d->SectorSize() - 1) / d->SectorSize();
  return sectors <= driveSectors - v->startSector;
}

}  // namespace

int ProbeVolumeKind(const uint8_t* sector) {
  switch (ClassifySector(sector, nullptr, nullptr)) {
    case kSectNtfsBoot:
      return kVolNtfs;
    case kSectFatBoot:
      return IsFATBootSector(sector, nullptr, nullptr, nullptr);
    case kSectExtSuper:
      // Only the superblock of block group 0 starts a volume.
      return Le16(sector + 0x5A) == 0 ? kVolExt : kVolUnknown;
    case kSectUfsSuper:
      return GetUFSSuperBlockType(sector, 0);
    case kSectHfsPlus:
      return kVolHfs;
    case kSectXfsSuper:
      return kVolXfs;
    case kSectExFatBoot:
      return kVolExFat;
    case kSectVmfsHeader:
    case kSectVmfsDescriptor:
      return kVolVmfs;
    case kSectRefs:
      return kVolRefs;
    case kSectZfsUberblock:
      return kVolZfs;
    default:
      return kVolUnknown;
  }
}

int InitFATVol(CVol* v, const uint8_t* s, int64_t sector) {
  if (!v || !s || sector < 0) return 0;
  const int type = IsFATBootSector(s, nullptr, nullptr, nullptr);
  if (type == 0) return 0;
  const uint32_t ss = Le16(s + 11);
  const uint32_t spc = s[13];
  if (!v->SetSectorSize(ss) || !v->SetClusterSize(ss * spc)) return 0;
  const uint64_t reserved = Le16(s + 14);
  const uint64_t fats = s[16];
  const uint64_t rootSectors = (uint64_t(Le16(s + 17)) * 32 + ss - 1) / ss;
  const uint64_t fatSize = Le16(s + 22) ? Le16(s + 22) : Le32(s + 36);
  const uint64_t total = Le16(s + 19) ? Le16(s + 19) : Le32(s + 32);
  const uint64_t dataArea = reserved + fats * fatSize + rootSectors;
  // The areas before the data must leave room for at least one cluster.
  if (dataArea + spc > total) return 0;
  v->type = uint8_t(type);
  v->startSector = uint64_t(sector);
  v->sizeSectors = total;
  v->dataAreaSector = dataArea;
  return type;
}

int ProcBootCm(int64_t sector64, const uint8_t* buffer, uint8_t type, CVol* volume, Drive* drive) {
  TRACE_FN("ProcBootCm");
  if (!drive) drive = g_currentDrive;
  if (!buffer || sector64 < 0) return -1;
  CVol* v = volume;
  if (!v) {
    v = CreateVol(type);
    if (!v) return -1;
    if (type == kVolXfs) v->startSector = uint64_t(sector64);
  }
  v->drive = drive;
  bool ok = false;
  switch (type) {
    case kVolFat16:
    case kVolFat32:
      ok = InitFATVol(v, buffer, sector64) != 0;
      break;
    // The other families' initialisers come with their readers; until then
    // their volumes are not recognised.
    default:
      ok = false;
      break;
  }
  // Whatever the boot block says, the volume must lie on the drive.
  if (ok && drive && !VolumeInsideDrive(v, drive)) ok = false;
  if (volume) return ok && drive ? drive->DiskNumber() : -1;
  if (!ok || !drive || drive->FindVolume(v) >= 0) {
    DeleteVol(&v);
    return -1;
  }
  int32_t index = -1;
  if (!drive->AddVolume(v, 0, &index)) {
    DeleteVol(&v);
    return -1;
  }
  return index;
}

int NTFS::ProcBoot(int64_t sector, const uint8_t* boot, Drive* drive) {
  TRACE_FN("NTFS::ProcBoot");
  if (!drive) drive = g_currentDrive;
  if (!drive || !boot || sector < 0) return -1;
  CVol* base = CreateVol(kVolNtfs);
  if (!base) return -1;
  auto* v = static_cast<NTFSVol*>(base);
  v->drive = drive;
  if (!NTFS::BootParse(v, boot)) {
    DeleteVol(&base);
    return -1;
  }
  v->type = kVolNtfs;
  v->startSector = uint64_t(sector);
  int32_t index = -1;
  if (!VolumeInsideDrive(v, drive) || !drive->AddVolume(v, 0, &index)) {
    DeleteVol(&base);
    return -1;
  }
  return index;
}

bool NTFS::RecentlyFormatted(Drive& drive, const uint8_t* first, uint32_t bytes) {
  if (!first || bytes < 512) return false;
  NTFSVol v;
  if (!NTFS::BootParse(&v, first)) return false;
  v.drive = &drive;
  v.startSector = 0;
  v.sizeSectors = v.totalSectors;
  const uint32_t ds = drive.SectorSize();
  const unsigned __int128 at = (unsigned __int128)uint64_t(v.mftSector) * v.sectorSize / ds;
  if (at >= drive.SectorCount()) return false;
  const uint32_t readBytes = (v.recordSize + ds - 1) / ds * ds;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[readBytes]);
  if (!buf) return false;
  try {
    if (!drive.ReadSectors(int64_t(at), readBytes, Drive::kRetryPiece, buf.get(), true)) return false;
  } catch (const DvCodeError&) {
    return false;
  }
  if (!CheckFILERecord(buf.get())) return false;
  inode node(buf.get(), &v);
  if (node.parseEntry() != 0) return false;
  const uint64_t made = node.creationTime;
  const uint64_t now = CurrentFileTime();
  constexpr uint64_t kFortnight = 14ull * 24 * 3600 * 10000000;
  return made != 0 && made < now && now - made < kFortnight;
}

void NTFS::InstallRecentFormatCheck() { SetRecentFormatCheck(&NTFS::RecentlyFormatted); }

namespace {
// Every program that turns boot sectors into volumes has the NTFS check in
// place before its first drive opens.
[[maybe_unused]] const bool g_recentFormatCheckInstalled = (NTFS::InstallRecentFormatCheck(), true);
}  // namespace

SlotCache::SlotCache(uint32_t count, uint32_t slotSize) : slotSize_(slotSize), count_(count) {
  if (count == 0) return;
  memory_.reset(new (std::nothrow) uint8_t[size_t(count) * slotSize]);
  ages_.reset(new (std::nothrow) uint8_t[count]());
  keys_.reset(new (std::nothrow) int64_t[count]());
  if (!memory_ || !ages_ || !keys_) {
    Free();
    ShowErrorAndThrow();
  }
}

SlotCache::~SlotCache() = default;

void SlotCache::Free() {
  memory_.reset();
  ages_.reset();
  keys_.reset();
  count_ = 0;
  hand_ = 0;
}

bool SlotCache::Lookup(int64_t key, uint32_t* slotOut) {
  if (count_ == 0) {
    if (slotOut) *slotOut = 0;
    return false;
  }
  uint32_t lowest = hand_;
  uint8_t lowestAge = ages_[hand_];
  for (uint32_t visited = 0; visited < count_; ++visited) {
    const uint32_t s = hand_;
    if (ages_[s] != 0 && keys_[s] == key) {
      ages_[s] = 255;
      ++hits;
      if (slotOut) *slotOut = s;
      return true;
    }
    if (ages_[s] < lowestAge) {
      lowestAge = ages_[s];
      lowest = s;
    }
    if (ages_[s] > 1) --ages_[s];
    hand_ = (hand_ + 1) % count_;
  }
  hand_ = lowest;
  ++misses;
  if (slotOut) *slotOut = hand_;
  return false;
}

void SlotCache::SetKey(int64_t key, uint32_t slot) {
  if (slot >= count_) return;
  keys_[slot] = key;
  ages_[slot] = 255;
  hand_ = slot;
}
