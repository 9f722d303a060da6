// A trace aid of the sector-by-sector pass: it looks for sectors that are
// the sector bitmaps of a VHD block, that is sectors of 0x00 and 0xFF bytes
// only whose 0x00 bytes describe sectors (eight a byte, in order after the
// bitmap) that are all zeros, and writes runs of them to the trace as
// "VHD bm @ sector count".
//
// The Long Scan's sector pass feeds it (MakeVhdBitmapFinder, then AddRange
// with every piece it reads) when the options file sets it up.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

class AppState;

class VhdBitmapFinder {
 public:
  // Sector classes.
  enum : uint8_t { kZero = 0, kFull = 1, kCandidate = 2, kData = 3 };

  VhdBitmapFinder() = default;
  ~VhdBitmapFinder();  // flushes with four empty chunks
  VhdBitmapFinder(const VhdBitmapFinder&) = delete;
  VhdBitmapFinder& operator=(const VhdBitmapFinder&) = delete;

  // window W sectors (the step the window moves by), look-ahead A sectors
  // (grown by A / (8 x S)), sector size S, the length of a run that is
  // reported, and the padding: sectors between a bitmap and the first
  // sector it describes. False for sizes it cannot work with.
  bool Init(uint32_t window, uint32_t lookAhead, uint32_t sectorSize, int64_t threshold, int64_t padding);
  // Feeds the sectors of `bytes` from `firstSector` (zeros when data is
  // null). A piece that does not follow the last one ends the runs so far.
  void AddRange(int64_t firstSector, const uint8_t* data, uint64_t bytes);
  // Inspects what is left as if zeros followed, and reports the open run.
  void Flush();

  // Runs reported so far.
  uint64_t RunsReported() const { return reported_; }
  static uint8_t Classify(const uint8_t* sector, uint32_t bytes);

 private:
  void Append(const uint8_t* data, uint32_t sectors);
  void Inspect(int64_t sector);
  bool Confirmed(int64_t sector) const;
  void EndRun();
  size_t Slot(int64_t sector) const { return size_t(uint64_t(sector - origin_) % slots_); }

  uint32_t window_ = 0, lookAhead_ = 0, sectorSize_ = 0;
  int64_t threshold_ = 1, padding_ = 0;
  size_t slots_ = 0;
  std::vector<uint8_t> classes_;
  std::vector<uint8_t> bytes_;  // kept for candidates only
  int64_t origin_ = 0;          // the stream's first sector
  int64_t end_ = 0;             // the sector after the last one added
  int64_t next_ = 0;            // the next sector to inspect
  bool started_ = false;
  int64_t runFirst_ = -1;
  int64_t runCount_ = 0;
  uint64_t reported_ = 0;
};

// The finder the options ask for (window 2048, look-ahead 4096, 512-byte
// sectors, their chain length and padding), or null.
std::unique_ptr<VhdBitmapFinder> MakeVhdBitmapFinder(const AppState& state);
