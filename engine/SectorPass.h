// The sector-by-sector pass of a Long Scan: every sector of the chosen range
// that no exclusion hides is read in large aligned chunks and classified;
// the family that knows a sector's kind acts on it (FILE records become
// nodes, boot sectors start volumes, which are parsed at once).
//
// Reading overlaps classification: while one chunk is walked the next
// ones are read into a ring of buffers and their sectors tested on their
// own on other threads (AppState::longScanOverlap and workThreads; the
// listing is the same either way). A structure cut by the end of a chunk
// (a FILE record in the last sectors) is carried over and joined with the
// head of the next chunk.
#pragma once
#include <cstdint>

class NTFSObj;
class Drive;

// One chunk of the pass: `sectors` sectors from drive sector `first`.
struct ScanChunk {
  int64_t first = 0;
  uint32_t sectors = 0;
};

// The next chunk at or after `position` and not after `last` (inclusive):
// at most the drive's transfer size, ending on a multiple of it, and
// stopping before the next excluded range (`exclusions` in absolute bytes,
// a pass's own copy; null for none). sectors == 0 when nothing is left.
ScanChunk NextScanChunk(Drive& drive, class CSectRanges* exclusions, int64_t position, int64_t last);

// Reads a chunk into `buffer` (aligned, the drive's transfer size). With
// `wait` false the read is only started: FinishScanChunk completes it.
// Media errors come back as zeros (the drive counts them); a refused
// request or a failed wait throws DvCodeError{0}.
void ReadScanChunk(Drive& drive, const ScanChunk& chunk, uint8_t* buffer, bool wait);
void FinishScanChunk(Drive& drive);

// The pass over the settings' Long Scan range (first and last sector,
// inclusive, cut to the drive). Progress runs from 0 to 90 over the range.
// Returns 0.
int ScanRemainingSectors(NTFSObj& engine);
