// Volumes are made and destroyed by their type code (Volume.h lists them).
#pragma once
#include <cstdint>

class CVol;

// A new volume of the type's class; null above the last type code. A family
// whose class is not built yet gets a CUnknownVol carrying its type code
// (the NTFS, FAT, ext, UFS, HFS+, XFS, exFAT, VMFS, ReFS and ZFS classes
// replace these as they arrive).
CVol* CreateVol(uint8_t type);
// Destroys the volume and clears the holder; null is fine.
void DeleteVol(CVol** holder);
