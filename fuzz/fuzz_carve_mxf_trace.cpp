// The MXF trace over a run of reads: keys cut by a read's end, values
// collected across reads, reads that do not follow each other, and the
// index segment decoder on the input itself. Byte 0 picks the read size
// (in sectors), byte 1 which reads skip a sector, the rest is the disk.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "carving/Mxf.h"

// Every key met is a traced line, so a run costs what its keys do: only
// the first 16 KiB of an input are the disk (a whole MXF seed holds
// thousands of keys). That holds every road: keys cut by reads of up to 8
// sectors, and index segments whose deltas reach the 4,096-line limit.
constexpr size_t kMaxDiskBytes = 16384;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size = std::min(size, kMaxDiskBytes + 2);
  const size_t perRead = 1 + data[0] % 8;
  const uint8_t gaps = data[1];
  std::vector<uint8_t> disk(data + 2, data + size);
  disk.resize((disk.size() + 511) / 512 * 512, 0);
  MXFHdrScan scan;
  int64_t sector = 0;
  for (size_t at = 0, k = 0; at < disk.size(); at += perRead * 512, ++k) {
    const size_t n = std::min(perRead * 512, disk.size() - at);
    scan.Scan(disk.data() + at, n, sector, 512);
    sector += int64_t(n / 512) + ((gaps >> (k % 8)) & 1);
  }
  scan.Flush();
  ObjectPrint(data + 2, size - 2, 4096);
  return 0;
}
