#include "volumes/BootVolume.h"

#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// The volume's extent in drive sectors lies inside the drive; or it starts
// there and its family keeps it past the end (a partial image of a failing
// disk, read as far as it goes, the rest as unreadable sectors).
bool VolumeOnDrive(CVol* v, Drive* d, const FamilySearchOps* search) {
  if (!d) return false;
  const uint64_t driveSectors = d->SectorCount();
  if (v->startSector >= driveSectors) return false;
  unsigned __int128 bytes = (unsigned __int128)v->sizeSectors * (v->sectorSize ? v->sectorSize : d->SectorSize());
  const unsigned __int128 sectors = (bytes + d->SectorSize() - 1) / d->SectorSize();
  if (sectors <= driveSectors - v->startSector) return true;
  return search && search->keepsPastDriveEnd && search->keepsPastDriveEnd(*v, *d);
}

}  // namespace

int ProcBootCm(int64_t sector64, const uint8_t* buffer, uint8_t type, CVol* volume, Drive* drive) {
  TRACE_FN("ProcBootCm");
  if (!drive && volume) drive = volume->drive;
  if (!buffer || sector64 < 0) return -1;
  const FamilyVolumeOps* ops = FindVolumeOps(type);
  CVol* v = volume;
  if (!v) {
    v = CreateVol(type);
    if (!v) return -1;
  }
  v->drive = drive;
  // A family without an initialiser yet does not recognise its volumes.
  bool ok = ops && ops->init && ops->init(*v, buffer, sector64, drive);
  // Whatever the boot block says, the volume must lie on the drive.
  if (ok && drive && !VolumeOnDrive(v, drive, FindSearchOps(type))) ok = false;
  if (volume) return ok && drive ? drive->DiskNumber() : -1;
  if (ok && drive && ops->confirm && !ops->confirm(*v, buffer, *drive)) ok = false;
  int32_t index = -1;
  if (!ok || !drive || !AddVolume(*drive, v, 0, &index)) {
    DeleteVol(&v);
    return -1;
  }
  return index;
}
