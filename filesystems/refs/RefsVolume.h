// The ReFS volume: metadata read as 16 KiB pages (the volume's clusters),
// the newer of two checkpoints, the page tree walked breadth-first from the
// object table into nodes, and a file's runs from its extent index. The
// ReFS cluster size (the unit of extents) is kept apart from the page.
#pragma once
#include <cstddef>
#include <cstdint>

#include "volumes/Volume.h"

struct QuickScanStep;

class CReFSVol : public CVol {
 public:
  CReFSVol();

  // From the boot sector of a volume at drive sector `start`: 1 on
  // success, 0 when not usable (a ReFS other than 1.x is logged).
  int Init(const uint8_t* boot, int64_t start);
  // The ReFS cluster size: a power of two from 16 KiB to 1 MiB (false
  // otherwise, nothing changes). The volume's own cluster stays one page.
  bool SetClusterSize(uint32_t bytes);
  // Walks the page tree and hands the nodes to the engine: 1 when done.
  int Search(ScanSink& engine);
  // The node's runs into the volume's extents object, in pages, in logical
  // order. *corruptOut gets the pages of extents that lie past the volume
  // (never read). False when a page of its index cannot be read.
  bool ReadObjectTable(const cnode& node, uint32_t* corruptOut);
  // One page; false when it lies past the volume or cannot be read.
  bool ReadPage(uint64_t page, uint8_t* out);

  uint64_t rootPage = 0;   // the object table's root
  uint64_t pageCount = 0;  // whole 16 KiB pages of the volume
  uint32_t refsClusterSize = 0, refsClusterShift = 0;
  uint64_t refsClusterMask = 0;
  uint32_t pagesPerCluster = 0, pagesPerClusterShift = 0;

 private:
  bool CheckpointRoot(uint64_t page, uint64_t* sequence, uint64_t* root);
};
