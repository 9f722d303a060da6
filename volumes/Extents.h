// A file's virtual clusters (VCN) mapped to volume clusters (LCN) through a
// sorted table of runs, built from a run list or appended by a family's own
// reader. The families' mappings (ext's extent-tree reader, the MFT run map,
// VMFS) derive from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/Text.h"
#include "volumes/RunList.h"

class CExtents {
 public:
  CExtents();
  virtual ~CExtents();
  CExtents(const CExtents&) = delete;
  CExtents& operator=(const CExtents&) = delete;

  // Frees the run table and the raw run copy.
  void FreeAll();
  // Empties the table and the total (keeps the sizes).
  void Reset();

  // Sizes that are not powers of two are refused (false).
  bool SetSectorSize(uint32_t bytes);
  bool SetClusterSize(uint32_t bytes);
  // Keeps a copy of a counted run list (false when memory runs out).
  bool SetRawRuns(const uint8_t* bytes, size_t length);
  const uint8_t* RawRuns() const { return rawRuns_.empty() ? nullptr : rawRuns_.data(); }

  // Appends the runs of a counted run list after the table's total. Start
  // clusters count from 0 within the list; a run with offset 0 is a hole
  // entry (it keeps the previous entry's LCN, or the table's last LCN for a
  // leading hole). A negative or overflowing start cluster sets message 240
  // as last error and returns -1 with the table unchanged; a pair that does
  // not decode ends the list. Returns the clusters added.
  int64_t BuildVCNMappingTable(const uint8_t* runList);
  // A run list given as hexadecimal text (two digits a byte, count included
  // or not: see the .cpp). -1 on any other character or an odd digit count.
  int64_t LoadHexRunList(std::string_view text);
  int64_t LoadHexRunList(WStringView text);

  // Appends one entry at the table's end; false when it would overlap the
  // table or overflow.
  bool AppendRun(uint64_t vcn, uint64_t lcn, uint64_t length, bool hole = false);
  // Appends run arrays (a family reader's pieces); entries must not
  // start before the table's total, else false and nothing is appended.
  bool AppendRunArray(RunArray& runs);

  // The LCN holding `vcn`: *leftOut = clusters left in the run from vcn,
  // *nextOut = clusters from vcn to the next entry's start (to the total for
  // the last entry). A vcn in a gap or in a hole entry gives 0 with
  // *leftOut = 0 and *nextOut = the clusters to the next data (both 0 past
  // the total or with an empty table). So leftOut > 0 tells data.
  uint64_t VcnToLcn(uint64_t vcn, uint64_t* leftOut = nullptr, uint64_t* nextOut = nullptr);

  const ExtentRun* Runs() const { return runs_.data(); }
  size_t RunCount() const { return runs_.size(); }
  RunArray& Table() { return runs_; }
  uint64_t TotalClusters() const { return total_; }
  // Sets the total (a file's size rounded up to clusters may pass the last
  // run: the rest then reads as a gap).
  void SetTotalClusters(uint64_t total) { total_ = total; }

  uint32_t clusterSize = 4096;
  uint32_t clusterShift = 12;
  uint32_t clusterMask = 4095;
  uint32_t sectorSize = 512;
  uint32_t sectorShift = 9;
  uint32_t sectorMask = 511;
  uint32_t sectorsPerClusterShift = 3;
  uint32_t sectorsPerClusterMask = 7;

 protected:
  void UpdateSectorsPerCluster();
  RunArray runs_;
  uint64_t total_ = 0;
  std::vector<uint8_t> rawRuns_;
  size_t cursor_ = 0;
};

// What a map holds at one VCN, for the recovery of a file: data on the
// volume, a hole (a hole entry, a gap between runs, or the part of the
// total past the last run), data whose clusters lie at or past the
// volume's end (`clusterLimit`), or nothing (past the map's total).
struct MapSpan {
  enum Kind { kEnd, kData, kHole, kOutside };
  Kind kind = kEnd;
  uint64_t clusters = 0;  // from the VCN on, of this kind (data: to the run's end or the limit)
};
MapSpan SpanAt(CExtents& map, uint64_t vcn, uint64_t clusterLimit);
// The VCN just past the map's last cluster of data below clusterLimit
// (within its total); 0 when it holds no such data.
uint64_t DataEndVcn(const CExtents& map, uint64_t clusterLimit);

// The lookup of CExtents::VcnToLcn on a caller's array and cursor.
uint64_t LookupVcnInRuns(uint64_t vcn, const ExtentRun* runs, size_t count, size_t* cursor,
                         uint64_t* leftOut = nullptr, uint64_t* nextOut = nullptr, uint64_t total = 0);
