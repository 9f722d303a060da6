// Fuzz inputs for the virtual-disk formats: a file of a given size that
// reads as zeros except for the pieces the input places in it, so that a
// small input can put headers and tables at the offsets (up to megabytes
// apart) the formats use.
//
//   u64 file size, then pieces: u32 offset, u16 length, `length` bytes
//
// and the checks every lookup must pass.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/Globals.h"
#include "storage/VirtualDisk.h"

class SparseInputFile : public ImageFile {
 public:
  // A file of at most `most` bytes (a power of two).
  SparseInputFile(const uint8_t* data, size_t size, uint64_t most = uint64_t(1) << 32) {
    if (size < 8) return;
    memcpy(&size_, data, 8);
    size_ %= most;
    size_t at = 8;
    while (at + 6 <= size) {
      uint32_t offset;
      uint16_t length;
      memcpy(&offset, data + at, 4);
      memcpy(&length, data + at + 4, 2);
      at += 6;
      length = uint16_t(std::min<size_t>(length, size - at));
      pieces_.push_back(Piece{offset, data + at, length});
      at += length;
    }
  }
  uint64_t Size() const override { return size_; }
  ReadResult Read(uint64_t offset, uint32_t bytes, uint8_t* out) override {
    if (bytes > 0x100000) abort();  // the maps read at most 1 MiB at once
    memset(out, 0, bytes);
    for (const Piece& p : pieces_) {
      const uint64_t a = std::max<uint64_t>(offset, p.offset), b = std::min<uint64_t>(offset + bytes, p.offset + p.length);
      if (a < b && a < size_) memcpy(out + (a - offset), p.data + (a - p.offset), size_t(std::min(b, size_) - a));
    }
    return kReadOk;
  }

 private:
  struct Piece {
    uint64_t offset;
    const uint8_t* data;
    size_t length;
  };
  uint64_t size_ = 0;
  std::vector<Piece> pieces_;
};

// Looks up a few ranges of a disk: the start, the end and places taken from
// the input, and checks that the runs cover each range exactly. A lookup
// costs a step per unit of the map (a grain or block of `unitSectors`;
// 0: not known) and spans at most 64 of them: a map of one-sector grains
// is looked up as widely as one of large grains, not 2,048 steps at a time.
inline void CheckLookups(ImageMap& map, uint64_t sectors, uint32_t sectorSize, const uint8_t* data, size_t size,
                         uint64_t unitSectors = 0) {
  if (sectors == 0) return;
  std::vector<ImageRun> runs;
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < size; i += 97) seed = (seed ^ data[i]) * 0x100000001B3ull;
  uint32_t most = 0x100000 / sectorSize;
  if (unitSectors && unitSectors < most / 64) most = uint32_t(unitSectors * 64);
  for (int k = 0; k < 24; ++k) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t n = uint32_t(1 + (seed >> 40) % most);
    uint64_t first = k == 0 ? 0 : k == 1 ? (sectors > n ? sectors - n : 0) : (seed >> 8) % sectors;
    if (n > sectors - first) n = uint32_t(sectors - first);
    runs.clear();
    if (!map.Lookup(first, n, runs)) continue;
    uint64_t total = 0;
    for (const ImageRun& r : runs) {
      if (r.bytes == 0 || r.kind > ImageRun::kBad) abort();
      if (r.kind == ImageRun::kFile && r.fileByte + r.bytes < r.fileByte) abort();
      total += r.bytes;
    }
    if (total != uint64_t(n) * sectorSize) abort();
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}
