// LZNT1 decompression of arbitrary data. The first byte picks the unit size
// and whether the output goes to a buffer of its own or back over the
// input; the rest is the compressed data, in a buffer of exactly its units.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filesystems/ntfs/Lznt1.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int kUnitSizes[] = {4096, 512, 1024, 2048, 16, 100, 8192, 1};
  const int unitSize = kUnitSizes[data[0] & 7];
  const bool inPlace = (data[0] & 8) != 0;
  ++data;
  --size;
  const size_t unitCount = (size + unitSize - 1) / unitSize;
  if (unitCount > 64) return 0;
  std::vector<uint8_t> input(unitCount * unitSize, 0);
  if (size) std::memcpy(input.data(), data, size);
  std::vector<uint8_t> output(size_t(kLznt1MaxUnits) * unitSize);
  int consumed = -1;
  int64_t n = Lznt1Decompress(input.data(), int(unitCount), unitSize, &consumed,
                              inPlace ? nullptr : output.data());
  if (n >= 0) {
    const int64_t capacity = inPlace ? int64_t(input.size()) : int64_t(output.size());
    if (n > capacity || consumed < 0 || size_t(consumed) > unitCount) std::abort();
  }
  return 0;
}
