// Fuzz target: the sector pass's support traces over arbitrary reads: the
// probe of sectors nothing recognised, and the dump of a read as ext4
// extent-tree nodes of a fuzz-chosen size.
#include <cstddef>
#include <cstdint>

#include "engine/SectorDiagnostics.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t nodeBytes = uint32_t(data[0]) * 16 + data[1];
  data += 2;
  size -= 2;
  for (size_t at = 0; at < size; at += 512) ProbeUnknownSector(data + at, size - at, int64_t(at / 512));
  DumpExtExtentNodes(data, size, 0, 512, nodeBytes);
  return 0;
}
