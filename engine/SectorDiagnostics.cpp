#include "engine/SectorDiagnostics.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

std::atomic<int32_t> traceFileRecords{0};
std::atomic<int32_t> traceExtExtentBytes{0};

namespace {
// An ext4 extent-tree node's header, as the trace dump reads it: looser than
// the ext family's reader (filesystems/ext/ExtentTree.h: any depth, no key
// order), so half-written nodes show too. The engine names no family but
// NTFS, so it keeps this copy of the magic.
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr uint32_t kExtentHeader = 12, kExtentEntry = 12;
}  // namespace

const char* ProbeUnknownSector(const uint8_t* sector, size_t bytes, int64_t position) {
  if (!sector || bytes < 64) return nullptr;
  const char* what = nullptr;
  static const uint8_t kOle[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (std::memcmp(sector, "RIFF", 4) == 0) {
    what = "RIFF";
  } else if (std::memcmp(sector, kOle, 8) == 0) {
    what = "MSI";
  } else if (sector[0] == 'M' && sector[1] == 'Z') {
    const uint32_t pe = Le32(sector + 60);
    what = (uint64_t(pe) + 4 <= bytes && std::memcmp(sector + pe, "PE\0\0", 4) == 0) ? "EXE" : nullptr;
  } else {
    // Counting patterns: 32-bit words rising by one (test fills, tables).
    const uint32_t w0 = Le32(sector);
    if (w0 + 1 == Le32(sector + 4) && w0 + 2 == Le32(sector + 8) && w0 + 3 == Le32(sector + 12)) what = "COUNT";
  }
  if (what) TracePrintfA("Probe %s @ %I64d\n", what, position);
  return what;
}

int DumpExtExtentNodes(const uint8_t* data, size_t bytes, int64_t first, uint32_t sectorSize, uint32_t nodeBytes) {
  if (!data || !sectorSize || nodeBytes < kExtentHeader + kExtentEntry) return 0;
  int lines = 0;
  for (size_t off = 0; off + nodeBytes <= bytes; off += nodeBytes) {
    const uint8_t* node = data + off;
    if (Le16(node) != kExtentMagic) continue;
    const uint16_t entries = Le16(node + 2), max = Le16(node + 4), depth = Le16(node + 6);
    if (entries > max || kExtentHeader + uint64_t(max) * kExtentEntry > nodeBytes) continue;
    const int64_t sector = first + int64_t(off / sectorSize);
    for (uint32_t e = 0; e < entries; e++) {
      const uint32_t vcn = Le32(node + kExtentHeader + e * kExtentEntry);
      TracePrintfA("Ext4_ET @ %I64d Depth %d VCN %ld\n", sector, int(depth), int32_t(vcn));
      lines++;
    }
  }
  return lines;
}
