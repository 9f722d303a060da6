// The header probe and the driver over a run of sectors, as the sector pass
// carves a disk: bytes 0-1 pick the read size (in sectors), the rest is the
// disk (padded to whole sectors), which is also the drive the parsers read.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CarveHarness.h"
#include "carving/SectorProbe.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace carve_test;
  if (size < 2) return 0;
  const size_t sectors = 1 + ((size_t(data[0]) | size_t(data[1]) << 8) % 256);
  std::vector<uint8_t> disk(data + 2, data + size);
  disk.resize((disk.size() + 511) / 512 * 512 + 512, 0);
  for (size_t at = 0; at < disk.size(); at += 512) ProbeSectorSignature(disk.data() + at);
  const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), sectors * 512);
  int64_t last = -1;
  for (const HdrHit& h : hits) {
    // In order, one per header, inside the disk.
    if (h.start <= last || h.size < 0 || uint64_t(h.start) * 512 + uint64_t(h.size) > disk.size()) std::abort();
    last = h.start;
  }
  return 0;
}
