// Reading an exFAT node's data: its runs (from its chain when it was listed
// without them) mapped in clusters of the volume's size, and bytes read in
// pieces of any size, also inside clusters larger than the read buffer
// (up to 32 MiB, more than a node's cluster-size code can hold).
#pragma once
#include <cstddef>
#include <cstdint>

class CExtents;
class CVol;
struct cnode;

// Maps the node's runs into the volume's extents object (those of its
// chain when it was listed without them); false when none can be made.
bool MapExFatNode(CVol& volume, const cnode& node, const void* aux, uint32_t* corruptOut);
// Bytes offset .. offset + capacity - 1 of the node mapped last: the
// count delivered (less at the end of the mapping), -1 when nothing could
// be read.
int64_t ReadExFatNodeData(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity);

// The same over a map of the caller's (the volume's extents may be in use
// by the folder walk): MapExFatRuns fills it from a run list.
bool MapExFatRuns(const CVol& volume, const uint8_t* runs, uint64_t size, CExtents& map);
int64_t ReadExFatBytes(CVol& volume, CExtents& map, uint64_t offset, uint8_t* buffer, size_t capacity);
