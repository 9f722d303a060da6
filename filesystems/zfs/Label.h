// A vdev label: its name-value list (the pool's allocatable size and sector
// shift) and the active uberblock of its array.
#pragma once
#include <cstdint>
#include <vector>

#include "filesystems/zfs/Definitions.h"

class Drive;

struct ZfsLabel {
  bool listFound = false;
  int64_t labelSector = -1;  // drive sector of the label's start
  uint64_t asize = 0;        // bytes
  uint32_t ashift = 0;       // 0: the list does not say
  bool haveUberblock = false;
  int slot = -1;  // in 1 KiB steps
  uint64_t txg = 0;
  uint64_t timestamp = 0;
  uint8_t uberblock[zfs::kUberblockSlotBytes] = {};
};

// The slot of the active uberblock among `slots` of 1 KiB: the highest
// txg (the lower slot on a tie), or with backVersion n > 0 the slot whose
// txg is the highest minus n when there is one. -1 when no slot has the
// magic.
int ChooseZfsUberblock(const uint8_t* slots, uint32_t count, int backVersion);

// The slots holding an uberblock, highest txg first (the lower slot first
// on a tie).
std::vector<int> ZfsUberblocksByTxg(const uint8_t* slots, uint32_t count);
// The uberblock array of the label starting at drive sector `labelSector`
// (a RAID-Z set's through its first member); false when it cannot be read.
bool ReadZfsUberblockArray(Drive& drive, int64_t labelSector, uint8_t* out);

// Finds the label whose list lies in the 256 KiB that end at drive sector
// `sector` (from sector 0 when that is nearer; a RAID-Z set is read
// through its first member): walks back from 112 KiB before their end to
// the first sector holding a list of at least one pair, then reads the
// uberblock array 128 KiB into the label and chooses its active uberblock.
// Returns the label's start sector, or `sector` when no list was found
// (nothing else filled).
int64_t ZFSReadLabel(Drive& drive, int64_t sector, int backVersion, ZfsLabel* out);
