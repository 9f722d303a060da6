// Disk ranges that each hold an NTFS master file table whose layout support
// staff know, from the "[Trace]" and "[Range %d]" sections of the options
// file. A range's run map turns an MFT record number into its position.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

class IniFile;
class MFTRunMap;

class TraceRanges {
 public:
  TraceRanges();
  ~TraceRanges();
  TraceRanges(const TraceRanges&) = delete;
  TraceRanges& operator=(const TraceRanges&) = delete;

  // Replaces the ranges by those of the file; the number loaded. A missing
  // or unusable value shows "Trace value error." and loads none; a range
  // count outside 1..65,535 loads none and says nothing.
  int Load(const IniFile& file);
  void Free();
  size_t Count() const { return ranges_.size(); }
  // The volume byte position the range holding `sector` gives `record`,
  // 0 outside every range. The current range only moves forward.
  uint64_t Next(int64_t sector, uint64_t record);

 private:
  struct Range {
    int64_t start = 0, end = 0;
    std::unique_ptr<MFTRunMap> map;
  };
  std::vector<Range> ranges_;
  size_t current_ = 0;
};
