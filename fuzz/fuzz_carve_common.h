// Shared body of the per-parser carving targets: a file of arbitrary bytes
// through the driver as the sector pass feeds it, at fuzz-chosen reads.
//
// Input: byte 0 the number of chosen read ends (0..7), bytes 1-2 the length
// of the reads after them (little-endian, 1..65536), byte 3 the tail (0 zero,
// 1 random, 2 text), then two bytes per chosen read end, then the file. The
// image (file and 4 KiB of tail) is also the drive parsers read from.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CarveHarness.h"

inline int FuzzCarveType(int type, const uint8_t* data, size_t size) {
  using namespace carve_test;
  if (size < 4) return 0;
  const size_t chosen = data[0] & 7;
  size_t step = 1 + (size_t(data[1]) | size_t(data[2]) << 8);
  const Tail tail = data[3] % 3 == 0 ? Tail::Zero : data[3] % 3 == 1 ? Tail::Random : Tail::Text;
  size_t at = 4;
  std::vector<size_t> splits;
  for (size_t k = 0; k < chosen && at + 2 <= size; ++k, at += 2) splits.push_back(size_t(data[at]) | size_t(data[at + 1]) << 8);
  // At most 256 KiB of file in at most 4096 reads keeps a run short.
  const std::vector<uint8_t> file(data + at, data + std::min(size, at + (size_t(256) << 10)));
  step = std::max(step, file.size() / 4096);
  const std::vector<uint8_t> image = WithTail(file, tail, 4096 + (512 - file.size() % 512) % 512, 7);
  std::vector<size_t> reads;
  for (size_t s : splits)
    if (s > 0 && s < image.size()) reads.push_back(s);
  size_t from = reads.empty() ? 0 : *std::max_element(reads.begin(), reads.end());
  for (size_t e = from + step; e < image.size(); e += step) reads.push_back(e);
  const FeedResult r = FeedFileAs(type, image.data(), image.size(), ReadsAt(image.size(), reads));
  // A recorded file is never empty and never passes the drive's end.
  if (r.recorded && (r.size <= 0 || uint64_t(r.size) > image.size())) std::abort();
  return 0;
}
