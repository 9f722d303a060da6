// The reader of a found file's data through its runs: the mapping table
// built from the node's run list or its extension-record pieces (a piece
// without runs reads as a hole), cluster reads through the volume with
// holes as zeros, compression units expanded by the family's codec, and a
// sequential reader. The NTFS file record keeps one; FAT and HFS+ read
// their files through it too.
#pragma once
#include <cstddef>
#include <cstdint>

#include "volumes/Extents.h"

class CVol;
struct cnode;

class RunReader {
 public:
  // Expands the data of one compression unit (unitCount clusters of
  // unitSize bytes) into output; the bytes produced, -1 when corrupt.
  using UnitExpander = int64_t (*)(uint8_t* input, int unitCount, int unitSize, int* unitsConsumed, uint8_t* output);

  // What is read: the node (its runs or pieces and its size), the volume
  // the clusters are on, the sizes, and how compressed data is stored.
  struct Source {
    const cnode* node = nullptr;
    CVol* volume = nullptr;
    uint32_t clusterBytes = 4096;
    uint32_t sectorBytes = 512;
    uint64_t allocatedSize = 0;  // the stream's allocated bytes (0: from the size)
    bool compressed = false;     // read through the expander by units
    uint32_t unitClusters = 16;
    UnitExpander expand = nullptr;
  };

  RunReader() = default;
  ~RunReader();
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;

  // The source of the next reads (the owner binds it before each, since
  // the node's runs or sizes may have changed).
  void Bind(const Source& source);
  // Frees the buffers and forgets the mapping table.
  void Reset();
  // Forgets the mapping table only.
  void ForgetMap();

  // Builds the mapping table: the pieces of the node's chain in order (a
  // piece without runs as a hole), else its run list. The entry count, -1
  // when a list does not map.
  int64_t BuildMappingTablesAll();
  // The volume sector holding the byte offset; 0 when not mapped.
  int64_t Offset2LSN(int64_t offset);
  // Reads count clusters from vcn into the work buffer (which it returns);
  // *read = clusters delivered. Null when nothing maps or nothing is read.
  uint8_t* ReadClusters(int64_t vcn, uint32_t count, uint32_t* read);
  uint8_t* ReadCompressedClusters(int64_t vcn, uint32_t count, uint32_t* read, uint8_t* buffer);
  // One compression unit, expanded; null on failure.
  uint8_t* ReadCompressionGroup(int64_t unitVcn);
  // The next bytes of the stream from the sequential position; null when
  // nothing maps. Unreadable parts read as zeros.
  uint8_t* SequentialRead(uint32_t bytes);
  void ResetSequential() { seqPos = 0; }
  void FreeWorkBuffer();
  CExtents& Map() { return map; }

 private:
  uint8_t* ReadMapped(int64_t vcn, uint32_t count, uint8_t* out, uint32_t* read);
  bool GrowWork(uint32_t clusters);

  Source src_;
  CExtents map;
  bool mapBuilt = false;
  uint8_t* work = nullptr;  // AlignedAlloc
  uint32_t workClusters = 0;
  int64_t workFirst = -1;  // first cluster the work buffer holds
  uint32_t workHeld = 0;
  uint8_t* copy = nullptr;
  uint32_t copySize = 0;
  uint64_t seqPos = 0;
  uint8_t* unitIn = nullptr;   // one compression unit as read
  uint8_t* unitOut = nullptr;  // the unit expanded
  int64_t nextUnitCluster = -1;
};
