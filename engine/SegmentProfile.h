// The segment profile of the sector pass, a diagnostic output: the range
// from a first sector on is cut into segments, each segment into blocks,
// and each block gets one 8-byte entry saying what its first bytes look
// like (type, flags, a 16-bit and a 32-bit value). The entries of each
// segment are appended to "SegProf.bin" in a given folder.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct SegmentProfileOptions;

class SegmentProfile {
 public:
  // Entry types besides the carving type codes.
  static constexpr uint8_t kUnknown = 255;
  static constexpr uint8_t kSig243 = 243, kSig244 = 244, kSig245 = 245, kSig250 = 250;

  SegmentProfile() = default;
  ~SegmentProfile();
  SegmentProfile(const SegmentProfile&) = delete;
  SegmentProfile& operator=(const SegmentProfile&) = delete;

  // Opens "<folder>/SegProf.bin" (created anew; an existing one only after
  // "Overwrite %s?" is answered Yes). Sizes come from the options and the
  // drive's sector size. False (nothing kept) on invalid sizes or a file
  // that cannot be made.
  bool Open(const SegmentProfileOptions& options, uint32_t sectorBytes, const std::string& folder);
  bool IsOpen() const { return file_ != nullptr; }
  // Data of the pass from drive sector `first` on; `data` null: sectors
  // skipped (excluded or left out), profiled as zeros.
  void Add(const uint8_t* data, uint64_t bytes, int64_t first);
  void Close();

  // One block's entry (8 bytes) from its first bytes.
  static void ProfileBlock(const uint8_t* block, size_t bytes, uint8_t entry[8]);

 private:
  void ProfileSegment();
  FILE* file_ = nullptr;
  int64_t first_ = 0;
  uint64_t segmentSectors_ = 0, blockSectors_ = 0, blocksPerSegment_ = 0;
  uint32_t shift_ = 9;
  std::vector<uint8_t> segment_;
  std::vector<uint8_t> table_;
  int64_t segmentIndex_ = -1;  // the segment being filled
  bool dirty_ = false;
};
