// A folder's index buffers found loose by the Long Scan, tied back to the
// folder: the blocks its index stream maps to are looked up among the
// scan's index-buffer hits, so a folder whose own index is known by runs
// only still gets its entries read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "carving/CarveScan.h"

class CVol;
class Drive;

// The folder's index stream: its run list (volume clusters) and cluster
// count, and its record number (-1 when unknown).
struct FolderIndexStream {
  const uint8_t* runs = nullptr;
  int64_t clusterCount = 0;
  int64_t record = -1;
};

// 2 when the found index buffers belong to the folder: with a known record
// one of the first three blocks is an unused hit whose VCN and owner fit;
// with an unknown record two blocks in a row with one owner that do not lie
// back to back on the disk. Else 0. `hits` in start order.
int GetMatchingINDXCount(Drive& drive, const CVol& vol, const FolderIndexStream& folder,
                         const std::vector<HdrHit>& hits);

// Every block of the folder's index stream (clusters 1 to 10,000,000) that
// is an unused index-buffer hit of the folder's VCN and record is marked
// used and its 4096 bytes handed to `takeEntries`. The count handed over.
int VolFilesToParent(Drive& drive, const CVol& vol, const FolderIndexStream& folder, std::vector<HdrHit>& hits,
                     const std::function<void(uint8_t* block, size_t size)>& takeEntries);
