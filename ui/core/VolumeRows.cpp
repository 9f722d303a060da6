#include "ui/core/VolumeRows.h"

#include <vector>

#include "ui/core/VolPropRules.h"

#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

std::optional<int64_t> ReadVolumeRow(const CVol& volume, int row) {
  const FamilyVolumeOps* ops = FindVolumeOps(volume.type);
  int64_t value = 0;
  if (ops && ops->readSettingRow && ops->readSettingRow(volume, row, &value)) return value;
  return std::nullopt;
}

bool WriteVolumeRows(CVol& volume, const int64_t* rows, int64_t start, Drive* drive, VolumeMaker& maker,
                     size_t bootBytes) {
  const FamilyVolumeOps* ops = FindVolumeOps(volume.type);
  if (!ops) return true;
  if (ops->bootFromSettingRows) {
    std::vector<uint8_t> boot(bootBytes, 0);
    return ops->bootFromSettingRows(volume, rows, boot.data(), boot.size()) > 0 &&
           maker.Init(volume, boot.data(), boot.size(), start, drive);
  }
  if (ops->writeSettingRows) ops->writeSettingRows(volume, rows);
  return true;
}
