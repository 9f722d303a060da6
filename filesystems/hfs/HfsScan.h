// The scan of an HFS+ volume: the catalog B-tree's leaf nodes become file
// and folder nodes, the extents-overflow tree completes files of more than
// eight extents (and, first, a catalog of more than eight), and with the
// "HFS+ Long Scan" option catalog leaf nodes are looked for at every sector
// of the volume instead of walking the catalog.
#pragma once
#include <cstddef>
#include <cstdint>

class CHFSPlusVol;
class ScanSink;
struct HfsCatalogKey;
struct HfsNodeDescriptor;

// The walk of one volume; -1 as its result (nothing a caller uses).
int ParseHFSPlus(CHFSPlusVol& volume, ScanSink& engine, int progressStart);

// One catalog leaf node parsed as the walk parses it (its files and folders
// handed over), then, when given, an extents leaf node in file mode (the
// overflow extents of the files just met), outside any walk: for fuzzing
// and tests.
void ParseCatalogLeafNode(CHFSPlusVol& volume, ScanSink& engine, const uint8_t* node, uint32_t nodeSize,
                          const uint8_t* extentsNode = nullptr, uint32_t extentsNodeSize = 0);

// The node's descriptor as trace lines (its kind named; kinds 3 to 254
// also as "Invalid node desc type").
void TraceHFSNodeDescriptor(const uint8_t* node, int64_t number);

// The records of a catalog leaf node of `nodeSize` bytes as the trace
// recorder's walk takes them: folders (88 bytes), files (248) and threads
// (10 + 2 x name length); the record count, and in *status 1000001 for a
// name too long or a record type not known, 1000002 for a record running
// past the node (0 when all hold).
int TraceHFSLeafRecords(const uint8_t* node, uint32_t nodeSize, int* status);
