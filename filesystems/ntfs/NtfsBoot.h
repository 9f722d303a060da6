// NTFS boot sectors: where the volume of a boot sector found away from its
// usual places starts, the volume made from one, and the recent-format
// check of a volume device.
#pragma once
#include <cstdint>

class Drive;

namespace NTFS {
// Whether the sector is an NTFS boot sector (the jump, "NTFS    ", and a
// zero high byte of the sector size).
bool IsBootSector(const uint8_t* sector);

// An NTFS volume from the boot sector at drive sector `sector`, added to the
// drive's table (null: the current drive): its index, or -1 when it was not
// added (not usable, outside the drive, known already, table full).
int ProcBoot(int64_t sector, const uint8_t* bootSector, Drive* drive = nullptr);

// The recent-format check of a volume device: the $MFT's own record, read
// where the boot sector in `firstSectors` puts it, was made less than 14
// days ago (and not in the future).
bool RecentlyFormatted(Drive& drive, const uint8_t* firstSectors, uint32_t bytes);
}  // namespace NTFS

// The drive sector where the volume of the NTFS boot sector found at
// `sector` starts: the sector itself when the boot sector is a primary copy,
// `sector` minus the volume's size when it is the backup copy at the end.
// Both readings are weighed by what the drive holds at the other copy's
// place and at the $MFT; a reading whose volume would not lie inside the
// drive is never taken. -1 when neither does (or the sector is no usable
// NTFS boot sector).
int64_t ResolveNtfsBootCopy(int64_t sector, const uint8_t* boot, Drive* drive);
