// The file-system settings rows of the volume properties dialog: the values
// a family keeps beside the volume base (NTFS: where the MFT and its mirror
// start; FAT: where the two FATs start and the root entry count; ext, UFS,
// XFS: groups and inodes; exFAT: FAT, root and cluster heap). A family whose
// volume class does not exist yet shows empty rows.
#pragma once
#include <cstdint>
#include <cstddef>
#include <optional>

class CVol;
class Drive;
class VolumeMaker;

// Row 0..3 of the volume's type, in the units shown (clusters for the NTFS
// rows); nothing when the volume does not keep the value or a divisor is 0.
std::optional<int64_t> ReadVolumeRow(const CVol& volume, int row);
// The typed rows (four) taken back by the volume's family: as plain fields,
// or as the boot block they describe, read through the maker's Init for a
// volume starting at `start`. False when the rows do not make a volume.
bool WriteVolumeRows(CVol& volume, const int64_t* rows, int64_t start, Drive* drive, VolumeMaker& maker,
                     size_t bootBytes);
