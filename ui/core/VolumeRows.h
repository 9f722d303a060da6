// The file-system settings rows of the volume properties dialog: the values
// a family keeps beside the volume base (NTFS: where the MFT and its mirror
// start; FAT: where the two FATs start and the root entry count; ext, UFS,
// XFS: groups and inodes; exFAT: FAT, root and cluster heap). A family whose
// volume class does not exist yet shows empty rows.
#pragma once
#include <cstdint>
#include <optional>

class CVol;

// Row 0..3 of the volume's type, in the units shown (clusters for the NTFS
// rows); nothing when the volume does not keep the value or a divisor is 0.
std::optional<int64_t> ReadVolumeRow(const CVol& volume, int row);
// The NTFS rows taken back: the MFT and mirror start sectors.
void WriteNtfsRows(CVol& volume, int64_t mftSector, int64_t mirrorSector);
// A FAT boot sector of the typed geometry (two FATs, root cluster 2 on
// FAT32) into a buffer of at least sectorSize bytes; false for values its
// fields cannot hold.
bool BuildFatBootSector(uint8_t* buffer, uint8_t type, uint32_t sectorsPerCluster, uint32_t reserved,
                        uint32_t rootEntries, uint32_t fatSize, uint32_t totalSectors, uint32_t sectorSize);
