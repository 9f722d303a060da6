#include "storage/Drive.h"
#include "ui/core/VolPropRules.h"
#include "volumes/BootVolume.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"

namespace {

// The volume lies on the drive: its sectors, counted in the drive's, end
// before the drive does.
bool InsideDrive(const CVol& v, const Drive* d) {
  if (!d) return true;
  const uint64_t total = d->SectorCount();
  if (v.startSector >= total) return false;
  const unsigned __int128 bytes = (unsigned __int128)v.sizeSectors * (v.sectorSize ? v.sectorSize : 512);
  const unsigned __int128 sectors = (bytes + d->SectorSize() - 1) / d->SectorSize();
  return sectors <= total - v.startSector;
}

class FamilyVolumeMaker : public VolumeMaker {
 public:
  CVol* Create(uint8_t type) override { return CreateVol(type); }
  void Delete(CVol* volume) override { DeleteVol(&volume); }
  int Probe(const uint8_t* sector) override { return ProbeVolumeKind(sector); }
  bool Init(CVol& v, const uint8_t* boot, size_t bytes, int64_t start, Drive* drive) override {
    if (!boot || bytes < 512 || start < 0) return false;
    v.drive = drive;
    // The family of the volume's type reads its boot sector.
    const FamilyVolumeOps* ops = FindVolumeOps(v.type);
    const bool ok = ops && ops->init && ops->init(v, boot, start, drive);
    return ok && InsideDrive(v, drive);
  }
};

}  // namespace

VolumeMaker& TheVolumeMaker() {
  static FamilyVolumeMaker maker;
  return maker;
}
