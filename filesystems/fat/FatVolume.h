// A FAT volume from its boot sector: where the volume lies on the drive, its
// geometry, and the checks the volume search and the drive make on it.
#pragma once
#include <cstdint>

class CVol;
class Drive;
struct BootLocate;

// The geometry of a FAT volume from its boot sector at drive sector
// `sector`: type, sector and cluster size, start, size and the first data
// sector. Non-zero on success. The FAT family's reader adds its table cache
// and root folder to this.
int InitFATVol(CVol* volume, const uint8_t* bootSector, int64_t sector);

// Whether a sector (at least 512 bytes) is a FAT12/16/32 boot sector; its
// total sector count when it is.
bool IsFatBootSectorWithTotal(const uint8_t* sector, uint64_t* totalSectors);

// Whether a FAT32 table starts at drive sector `at`: the media byte, then
// the end marks of the two reserved entries.
bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media);

// The volume search's placing of a FAT boot sector: a FAT32 backup boot
// sector lies 6 sectors after the primary one; image files count as disks
// for the backups at 6, 69 and 2054.
void LocateFatVolume(BootLocate& where);
