// Support traces of the sector pass: what a sector that no test and no
// header probe recognised looks like, and a read dumped as ext4 extent-tree
// nodes. Both write trace lines only.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Diagnostics switches of the sector pass (zero: off): the probes of
// sectors nothing recognised; the size of the ext4 extent-tree nodes each
// read is dumped as (with traceUnixFsA on), in place of classifying it.
extern std::atomic<int32_t> traceFileRecords;
extern std::atomic<int32_t> traceExtExtentBytes;

// A sector of no kind and no header: RIFF chunks of no carved type,
// installer databases, executables and counting patterns are traced with
// their drive sector. The pattern's name, or null when it is none of them.
const char* ProbeUnknownSector(const uint8_t* sector, size_t bytes, int64_t position);
// Every `nodeBytes` bytes of the read (its first sector at drive sector
// `first`) that hold an ext4 extent-tree node: one line an entry ("Ext4_ET
// @ %I64d Depth %d VCN %ld"). The count of lines.
int DumpExtExtentNodes(const uint8_t* data, size_t bytes, int64_t first, uint32_t sectorSize, uint32_t nodeBytes);
