// The view's decisions around the option and source commands, without a
// window: which questions a scan, a save and a source pick ask, the texts
// they ask with, and the RAID settings the set wizard's pages give.
#pragma once
#include <cstdint>

#include "platform/Text.h"
#include "storage/RaidSettings.h"

// Before a Quick Scan of a source that is no volume device (and has no
// sector range of its own) the user chooses the volumes to scan.
bool WantsVolumeChoice(int scanMode, bool volumeDevice, bool hasSectorRange, bool raidTraceOfRaidSet);
// Before a Long Scan of a volume device that lies on one disk extent, once
// per drive: the usage tip.
bool WantsUsageTip(int scanMode, bool volumeDevice, bool hasSectorRange, uint32_t usageTipFlag, size_t diskExtents);
// Message 628 for the Look-in label, the disk's display name and the
// volume (its device path here, where the text names a drive letter).
WString UsageTipText(WStringView lookInLabel, WStringView diskName, WStringView volumeName);
// An image file on a disk of 4096-byte sectors, opened with 512-byte ones.
bool WantsFourKQuestion(bool image, uint32_t hostSectorSize);
// Sector Exclusion applies to a disk, a volume device or an image; a RAID,
// spanned or chained source gives message 168.
bool ExclusionApplies(WStringView sourceName);
// Picking a source with ranges already set opens the exclusion dialog to
// review them (only where exclusions apply, never while a session loads).
bool WantsExclusionReview(WStringView sourceName, bool hasRanges, bool sessionLoading);
// Before saving the results of a Long Scan of a drive with more than one
// volume, the volume affiliation.
bool WantsAffiliationBeforeSave(int scanMode, uint32_t driveVolumes);

// The settings of a set the wizard defined: block size, parity delay and
// rotation of the type page, the RAID 6 generator choice (coefficient mode
// 0 sequential or 1 exponential; order 0 rotating, 1 static, 2 static
// skipping the parity blocks) and a custom set's schema file.
RaidSettings SettingsFromPages(int blockBytes, int delay, int rotation, int coefficientMode, int order,
                               WStringView schemaPath);
