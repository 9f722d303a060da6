// Fuzz target: arbitrary bytes as loose FILE records met by the Long Scan
// (each 1024-byte piece at its own sector, the last one cut short), then
// the orphans tied to their folders and shown. Nothing may crash, and every
// node the table holds must be shown at most once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "filesystems/ntfs/LongScan.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/SectorKinds.h"
#include "volumes/VolumeFamily.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  NTFSObj engine(nullptr);
  engine.scanMode = kScanLong;
  std::vector<uint8_t> sector(4096);
  for (size_t at = 0; at < size; at += 1024) {
    const size_t n = std::min<size_t>(1024, size - at);
    std::memset(sector.data(), 0, sector.size());
    std::memcpy(sector.data(), data + at, n);
    // Records need their signature to reach the parser at all.
    std::memcpy(sector.data(), "FILE", 4);
    SectorVisit v;
    v.engine = &engine;
    v.kind = kSectNtfsRecord;
    v.sector = sector.data();
    v.bytesLeft = n < 1024 ? n : sector.size();
    v.position = int64_t(at / 512) + 64;
    NTFS::VisitFileRecord(v);
  }
  NTFS::FinishLongScan(engine, nullptr);
  const uint32_t shown = engine.storedCount;
  NTFS::FinishLongScan(engine, nullptr);  // a second round shows nothing again
  if (engine.storedCount != shown) __builtin_trap();
  return 0;
}
