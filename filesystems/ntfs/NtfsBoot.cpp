#include "filesystems/ntfs/NtfsBoot.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/BootVolume.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

bool NTFS::IsBootSector(const uint8_t* s) { return s[0] == 0xEB && memcmp(s + 3, "NTFS    ", 8) == 0 && s[11] == 0; }

int NTFS::ProcBoot(int64_t sector, const uint8_t* boot, Drive* drive) {
  TRACE_FN("NTFS::ProcBoot");
  return ProcBootCm(sector, boot, kVolNtfs, nullptr, drive);
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

namespace {

// Reads `bytes` at drive sector `at` into `out`; false when outside the
// drive or unreadable.
bool ReadAt(Drive* drive, int64_t at, uint32_t bytes, uint8_t* out) {
  if (at < 0 || uint64_t(at) >= drive->SectorCount()) return false;
  try {
    return drive->ReadSectors(at, bytes, 512, out, true) != nullptr;
  } catch (const DvCodeError&) {
    return false;
  }
}

// Whether the FILE record at drive sector `at` has a $DATA whose first
// cluster is `cluster`.
bool RecordStartsAt(Drive* drive, NTFSVol* vol, int64_t at, uint64_t cluster) {
  const uint32_t ss = drive->SectorSize();
  const uint32_t bytes = (vol->recordSize + ss - 1) / ss * ss;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[bytes]);
  if (!buf || !ReadAt(drive, at, bytes, buf.get()) || !CheckFILERecord(buf.get())) return false;
  inode node(buf.get(), vol);
  if (node.parseEntry() != 0) return false;
  const uint8_t* runs = node.RunBuffer();
  if (!runs) return false;
  int64_t firstDelta = 0;
  if (GetClusterCount(runs, &firstDelta) <= 0) return false;
  return firstDelta >= 0 && uint64_t(firstDelta) == cluster;
}

}  // namespace

int64_t ResolveNtfsBootCopy(int64_t sector, const uint8_t* boot, Drive* drive) {
  TRACE_FN("ResolveNtfsBootCopy");
  if (!boot || !drive || sector < 0) return -1;
  NTFSVol vol;
  if (!NTFS::BootParse(&vol, boot)) return -1;
  const uint32_t ds = drive->SectorSize();
  const uint64_t driveSectors = drive->SectorCount();
  // The volume's own sectors in drive sectors (checked).
  auto toDrive = [&](uint64_t volSectors, uint64_t* out) {
    if (vol.sectorSize == ds) {
      *out = volSectors;
      return true;
    }
    uint64_t bytes;
    if (__builtin_mul_overflow(volSectors, uint64_t(vol.sectorSize), &bytes)) return false;
    *out = bytes / ds;
    return true;
  };
  uint64_t size = 0, mftAt = 0, mirrorAt = 0;
  if (!toDrive(vol.totalSectors, &size) || !toDrive(uint64_t(vol.mftSector), &mftAt) ||
      !toDrive(uint64_t(vol.mirrorSector), &mirrorAt))
    return -1;
  // A reading is possible when its whole volume lies inside the drive.
  auto inside = [&](int64_t start) {
    uint64_t end;
    return start >= 0 && !__builtin_add_overflow(uint64_t(start), size, &end) && end <= driveSectors;
  };
  const int64_t primary = sector;
  const int64_t backup = uint64_t(sector) >= size ? int64_t(uint64_t(sector) - size) : -1;
  const bool primaryOk = size <= uint64_t(INT64_MAX) && inside(primary);
  const bool backupOk = backup >= 0 && inside(backup);

  std::unique_ptr<uint8_t[]> other(new (std::nothrow) uint8_t[ds]);
  if (!other) return primaryOk ? primary : backupOk ? backup : -1;
  auto score = [&](int64_t start, int64_t otherCopy) {
    int points = 0;
    if (ReadAt(drive, otherCopy, ds, other.get()) && memcmp(other.get(), boot, 72) == 0) ++points;
    if (RecordStartsAt(drive, &vol, start + int64_t(mftAt), vol.mftCluster) ||
        RecordStartsAt(drive, &vol, start + int64_t(mirrorAt), vol.mftCluster))
      ++points;
    return points;
  };
  if (primaryOk && score(primary, primary + int64_t(size)) == 2) return primary;
  if (backupOk && score(backup, backup) == 2) return backup;
  // Without evidence a reading is taken only where no known volume lies: a
  // boot sector inside another volume's data (an image cut inside a
  // volume, a copy in a file) must not lay a volume over it.
  auto free = [&](int64_t start) {
    const uint32_t n = VolumeCount(*drive);
    for (uint32_t i = 0; i < n; i++) {
      const CVol* v = VolumeAt(*drive, i);
      // The volume of the same start is this one, found again.
      if (!v || !v->sizeSectors || v->startSector == uint64_t(start)) continue;
      if (uint64_t(start) < v->startSector + v->sizeSectors && v->startSector < uint64_t(start) + size) return false;
    }
    return true;
  };
  if (backupOk && free(backup)) return backup;
  if (primaryOk && free(primary)) return primary;
  // A drive shorter than the volume (a partial image of a failing disk):
  // the primary reading, when its $MFT record is where it says.
  if (!primaryOk && uint64_t(primary) < driveSectors && free(primary) &&
      (RecordStartsAt(drive, &vol, primary + int64_t(mftAt), vol.mftCluster) ||
       RecordStartsAt(drive, &vol, primary + int64_t(mirrorAt), vol.mftCluster)))
    return primary;
  return -1;
}
