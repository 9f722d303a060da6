// What a single sector holds, as the sector pass, the RAID scan and the
// segment profile see it: boot sectors and superblocks, NTFS FILE records,
// FAT tables and folders, and a few structures of other formats. The kinds
// and the context are in volumes/SectorKinds.h; the test of each file
// system's kinds is its family's (VolumeFamily.h), asked in the order of
// the ranks the families give them.
#pragma once
#include <cstdint>

#include "volumes/SectorKinds.h"

// The kind of a 512-byte (or larger) sector; kSectNone when it is none of
// them. `detail` (may be null) receives nothing yet: no caller needs more
// than the kind. Without a context the sector stands alone.
int ClassifySector(const uint8_t* sector, uint8_t* detail = nullptr, ClassifyContext* context = nullptr);
