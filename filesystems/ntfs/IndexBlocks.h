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
class NTFSVol;

// The folder's index stream: its run list (volume clusters) and cluster
// count, and its record number (-1 when unknown). `position` is the drive
// sector of its FILE record (-1: not read again).
struct FolderIndexStream {
  const uint8_t* runs = nullptr;
  int64_t clusterCount = 0;
  int64_t record = -1;
  int64_t position = -1;
};

// 2 when the found index buffers belong to the folder: with a known record
// one of the first three blocks is an unused hit whose VCN and owner fit;
// with an unknown record two blocks in a row with one owner that do not lie
// back to back on the disk. Else 0. `hits` in start order.
int GetMatchingINDXCount(Drive& drive, const CVol& vol, const FolderIndexStream& folder,
                         const std::vector<HdrHit>& hits);

// With `takeRoot`, the folder's FILE record is read again at its position
// (the volume's record size) and, when it still is the folder's, its
// $INDEX_ROOT (from the attribute's header to the end of the bytes in use)
// handed over. Then every block of the folder's index stream (clusters 1
// to 10,000,000) that is an unused index-buffer hit of the folder's VCN
// and record is marked used and its 4096 bytes handed to `takeEntries`.
// The count of blocks handed over.
int VolFilesToParent(Drive& drive, NTFSVol& vol, const FolderIndexStream& folder, std::vector<HdrHit>& hits,
                     const std::function<void(uint8_t* block, size_t size)>& takeEntries,
                     const std::function<void(const uint8_t* root, size_t size)>& takeRoot = nullptr);

// The index root of the folder's record read again at `folder.position`:
// empty when it cannot be read, does not parse, is another record's or has
// no $INDEX_ROOT.
std::vector<uint8_t> ReadFolderIndexRoot(Drive& drive, NTFSVol& vol, const FolderIndexStream& folder);
