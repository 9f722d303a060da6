// The folder walk of a FAT volume: every folder reachable from the root,
// deleted ones after the live ones, long names rebuilt, the recycle bins'
// records read, and every file handed to the engine.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
class FATVol;
class ScanSink;
struct cnode;

// Walks the whole volume (the Quick Scan's pass); returns -1.
int ParseFAT(FATVol* volume, ScanSink& engine);

// Parses one lost folder found by the Long Scan at `cluster` (its first
// cluster's data when given); 1 when it was a folder and parsed. Its files
// go under "\" + the folder's own name path as far as it is known.
int ParseFATDirAtCluster(FATVol* volume, ScanSink& engine, uint32_t cluster, const uint8_t* data);

// The data of a deleted file: from its first cluster on, the free clusters
// (allocated ones are skipped, as they belong to other files now), up to
// `wanted`; *status 1 when fewer were found, 4 when the first cluster is
// outside the volume. The clusters found.
uint32_t FATDeletedRuns(FATVol* volume, uint32_t first, uint32_t wanted, uint8_t** runs, int* status);
