// The ZIP record scan over a disk of arbitrary bytes in fuzz-chosen reads:
// bytes 0-1 the read size (1..65536), byte 2 where a gap in the reads
// falls (a skipped range: the search starts afresh), the rest the disk.
#include <algorithm>
#include <cstdint>

#include "carving/Zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t step = 1 + (size_t(data[0]) | size_t(data[1]) << 8);
  const size_t gapAt = size_t(data[2]) * 512;
  data += 3;
  size -= 3;
  HdrZIP scan;
  scan.SetScanMode(1, 4);
  for (size_t at = 0; at < size; at += step) {
    if (gapAt && at >= gapAt && at < gapAt + step) scan.SetScanPosition(at + 7);
    scan.ZIPHdrScan(data + at, std::min(step, size - at));
  }
  return 0;
}
