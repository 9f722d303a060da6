// Which volumes of a drive's table can hold a found node: the test the
// Long Scan's mapping passes and the recovery of a node share.
#pragma once
#include <cstdint>
#include <vector>

class CVol;
class Drive;
struct cnode;

// A candidate byte that lets a volume with neither length nor size end at
// the drive's end.
inline constexpr uint8_t kGuessUpToDriveEnd = 2;
inline constexpr uint32_t kGuessAllVolumes = 0xFFFF;

// `candidates` holds one byte a volume of `volumes` (non-zero: a
// candidate); each candidate that cannot hold the node is cleared. Only
// volume `only` is tested unless it is kGuessAllVolumes. Returns the count
// of candidates kept (among those tested).
int GuessVolume(const std::vector<CVol*>& volumes, const Drive* drive, const cnode* node,
                std::vector<uint8_t>& candidates, uint32_t only = kGuessAllVolumes);
