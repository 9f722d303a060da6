#include "ui/core/OptionRules.h"

#include "foundation/Messages.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "storage/SourceKind.h"
#include "storage/VolumeDefinition.h"

bool WantsVolumeChoice(int scanMode, bool volumeDevice, bool hasSectorRange, bool raidTraceOfRaidSet) {
  return scanMode == 0 && !volumeDevice && !hasSectorRange && !raidTraceOfRaidSet;
}

bool WantsUsageTip(int scanMode, bool volumeDevice, bool hasSectorRange, uint32_t usageTipFlag, size_t diskExtents) {
  return scanMode == 1 && volumeDevice && !hasSectorRange && usageTipFlag != 0 && diskExtents == 1;
}

WString UsageTipText(WStringView lookInLabel, WStringView diskName, WStringView volumeName) {
  // The volume is named by its device: the letter's "%c:" takes the path.
  WString format = Msg(628);
  const size_t at = format.find(u"%c:");
  if (at != WString::npos) format.replace(at, 3, u"%s");
  return FormatW(format, StripAccelerator(lookInLabel), diskName, volumeName);
}

bool WantsFourKQuestion(bool image, uint32_t hostSectorSize) { return image && hostSectorSize == 4096; }

bool ExclusionApplies(WStringView name) {
  if (name.empty()) return false;
  if (Drive::IsRaid(name) || GetSpanType(name) != 0) return false;
  // Virtual disks read through their files, which take no exclusions.
  return VirtualDiskKindOf(name) == 0;
}

bool WantsExclusionReview(WStringView name, bool hasRanges, bool sessionLoading) {
  return hasRanges && !sessionLoading && ExclusionApplies(name);
}

bool WantsAffiliationBeforeSave(int scanMode, uint32_t driveVolumes) { return scanMode == 1 && driveVolumes > 1; }

RaidSettings SettingsFromPages(int blockBytes, int delay, int rotation, int coefficientMode, int order,
                               WStringView schemaPath) {
  RaidSettings s;
  if (blockBytes > 0) s.stripeBytes = blockBytes;
  s.parityGroup = delay > 0 ? delay : 1;
  if (rotation >= 0) s.rotation = rotation;
  s.coefficientMode = coefficientMode;
  s.order = order;
  s.schemaPath = WString(schemaPath);
  return s;
}
