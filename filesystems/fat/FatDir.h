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

// The Long Scan met folder entries at `cluster` (not a folder's first
// cluster) that no folder walked so far holds: they, and those in the free
// clusters after it that look like them, are parsed as the folder they
// belong to (known by its subfolders' ".." entries) or a lost folder of
// that cluster. 1 when parsed.
int ParseFATOrphans(FATVol* volume, ScanSink& engine, uint32_t cluster);
