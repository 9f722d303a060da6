// From a sector that starts a file system to a volume in the drive's table:
// the volume made by its family and initialised from the sector, and the
// drive's check on it. Which type a sector names is the families' probe
// (ProbeVolumeKind, VolumeFamily.h).
#pragma once
#include <cstdint>

class CVol;
class Drive;

// Makes the volume of `type` from its boot or super block `buffer` found at
// drive sector `sector64` on `drive` (null: the given volume's; without
// either nothing is recognised), and adds it
// to the drive's table. With `volume` given it is initialised in place and
// kept by the caller: the result is then the drive's disk number on success.
// Otherwise the result is the new volume's index in the drive's table, or -1
// (not recognised, already known, outside the drive, or the table is full;
// the volume is deleted). A volume found again completes the one the drive
// knows.
int ProcBootCm(int64_t sector64, const uint8_t* buffer, uint8_t type, CVol* volume = nullptr,
               Drive* drive = nullptr);
