// Feeds files and images through the carving driver the way the Long Scan's
// sector pass does, for the carving tests, the fuzz targets and the
// benchmarks.
//
// FeedFile: one file (followed by whatever tail) through one driver: the
// probe on its first sector, Parse with the bytes to the end of the first
// read, then one BeginRead per later read; reads end wherever the caller
// says (sector sizes, 1 MiB, structure boundaries, odd bytes).
// CarveImage: a whole image read in chunks, every sector offered to the
// probe, as the pass does where no file system claims a sector.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/HdrNode.h"

namespace carve_test {

// An image in memory as the drive: whole-sector reads, failing outside it
// or from a chosen sector on.
class MemoryDrive : public HdrReader {
 public:
  MemoryDrive(const uint8_t* data, size_t bytes, uint32_t sectorSize = 512)
      : data_(data), bytes_(bytes), sectorSize_(sectorSize) {}
  bool ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) override;
  int64_t SectorCount() const override { return int64_t((bytes_ + sectorSize_ - 1) / sectorSize_); }
  uint32_t SectorSize() const override { return sectorSize_; }

  // Reads touching this sector or later fail (-1: none).
  int64_t failFrom = -1;
  uint64_t reads = 0;
  uint64_t sectorsRead = 0;

 private:
  const uint8_t* data_;
  size_t bytes_;
  uint32_t sectorSize_;
};

struct FeedResult {
  uint8_t probed = 255;   // what the probe named at the header
  bool recorded = false;  // a completed hit was recorded
  uint8_t type = 255;     // its type (refined)
  int64_t size = 0;       // its size
  size_t reads = 0;       // reads handed over
  std::string Describe() const;
};

// Read ends (offsets from the header, ascending, the last one the image's
// end) of reads of `step` bytes.
std::vector<size_t> EvenReads(size_t total, size_t step);
// Read ends from split points: [0, s1), [s1, s2), ... [sk, total).
std::vector<size_t> ReadsAt(size_t total, std::vector<size_t> splits);

// One file at sector 0 of `image` (the file and its tail), read as
// `readEnds` says. With a null drive the image itself is the drive.
FeedResult FeedFile(const uint8_t* image, size_t bytes, const std::vector<size_t>& readEnds,
                    uint32_t sectorSize = 512, HdrReader* drive = nullptr);
// The same with the parser of `type` started whatever the probe says.
FeedResult FeedFileAs(int type, const uint8_t* image, size_t bytes, const std::vector<size_t>& readEnds,
                      uint32_t sectorSize = 512, HdrReader* drive = nullptr);

// What follows a file on the disk.
enum class Tail { Zero, Random, Text };
const char* TailName(Tail tail);
// The file followed by `tailBytes` of the tail (random: seeded).
std::vector<uint8_t> WithTail(const std::vector<uint8_t>& file, Tail tail, size_t tailBytes, uint32_t seed = 1);

// The whole image through a CarveScan in reads of `readBytes` (a multiple
// of the sector size), ended like the pass; the recorded hits.
std::vector<HdrHit> CarveImage(const uint8_t* image, size_t bytes, size_t readBytes, uint32_t sectorSize = 512,
                               HdrReader* drive = nullptr);

// A file followed by a tail that rounds it up to whole sectors and 8 KiB
// more.
std::vector<uint8_t> WithSectorTail(const std::vector<uint8_t>& file, Tail tail);
// Named read splits of an image: even reads of 512 B, 4 KiB, 1 MiB and an
// odd 1000 B.
using NamedSplits = std::vector<std::pair<std::string, std::vector<size_t>>>;
NamedSplits EvenSplits(size_t total);

// Read splits at the given offsets of a file of `size` bytes and a byte
// either side of each (those inside the file after its first byte).
std::vector<size_t> AroundEach(const std::set<size_t>& offsets, size_t size);

// Reads a whole file (a ".xz" one decompressed); empty when missing.
std::vector<uint8_t> LoadFile(const std::string& path);
// The committed carving samples' folder.
std::string SampleFolder();
// A sample by file name (with or without its ".xz").
std::vector<uint8_t> LoadSample(const std::string& name);

}  // namespace carve_test
