// MD5 of every block of the scanned range, for each block size the settings
// list with an output file: the 16-byte digests of consecutive blocks are
// gathered and written to the file (created anew) in large pieces. A file
// that cannot be made sends its digests to the trace instead ("MD5_%d
// %I64d %I64u %I64u": block size, sector, the digest's two halves).
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include "foundation/Md5.h"

struct Md5Output;

class Md5Segments {
 public:
  // One output per entry with a block size (in sectors) above 0.
  Md5Segments(const std::vector<Md5Output>& outputs, uint32_t sectorBytes);
  ~Md5Segments();
  Md5Segments(const Md5Segments&) = delete;
  Md5Segments& operator=(const Md5Segments&) = delete;

  bool Active() const { return !outputs_.empty(); }
  // The next bytes of the range, from drive sector `first` on.
  void Add(const uint8_t* data, size_t bytes, int64_t first);
  // Writes the digests still gathered and closes the files.
  void Close();

 private:
  struct Output {
    uint32_t blockSectors = 0;
    uint64_t blockBytes = 0;
    FILE* file = nullptr;
    Md5 md5;
    uint64_t inBlock = 0;
    int64_t blockFirst = -1;  // drive sector of the block being hashed
    std::vector<uint8_t> gathered;
    size_t capacity = 0;
  };
  void Flush(Output& o);
  void Finish(Output& o);
  std::vector<Output> outputs_;
  uint32_t ss_;
};
