#include "ui/core/VolumeRows.h"

#include <vector>

#include "ui/core/VolPropRules.h"

#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

std::optional<int64_t> ReadVolumeRow(const CVol& volume, int row) {
  const VolumeFamily* family = FindVolumeFamily(volume.type);
  int64_t value = 0;
  if (family && family->readSettingRow && family->readSettingRow(volume, row, &value)) return value;
  return std::nullopt;
}

bool WriteVolumeRows(CVol& volume, const int64_t* rows, int64_t start, Drive* drive, VolumeMaker& maker,
                     size_t bootBytes) {
  const VolumeFamily* family = FindVolumeFamily(volume.type);
  if (!family) return true;
  if (family->bootFromSettingRows) {
    std::vector<uint8_t> boot(bootBytes, 0);
    return family->bootFromSettingRows(volume, rows, boot.data(), boot.size()) > 0 &&
           maker.Init(volume, boot.data(), boot.size(), start, drive);
  }
  if (family->writeSettingRows) family->writeSettingRows(volume, rows);
  return true;
}
