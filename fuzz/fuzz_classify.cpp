// Fuzz target: arbitrary bytes as one 512-byte sector (shorter input is
// zero-padded), classified alone and as the sector after a FAT table start,
// then turned into a volume type; a FAT boot sector also gets its geometry
// read. Nothing may read past the sector or give a FAT volume whose data
// area lies beyond its end.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/SectorClassify.h"
#include "filesystems/fat/FatVolume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/Volume.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that ASan sees any read past the sector.
  uint8_t* sector = new uint8_t[512];
  std::memset(sector, 0, 512);
  std::memcpy(sector, data, size < 512 ? size : 512);
  const int alone = ClassifySector(sector, nullptr, nullptr);
  ClassifyContext ctx;
  ctx.sector = 11;
  ctx.lastSector[kSectFat32Table] = 10;
  ctx.lastSector[kSectFat16Table] = 9;
  ctx.hfsDiagnostics = true;
  const int after = ClassifySector(sector, nullptr, &ctx);
  if (alone < 0 || alone > 255 || after < 0 || after > 255) __builtin_trap();
  const int type = ProbeVolumeKind(sector);
  if (type < 0 || type > kVolLastType) __builtin_trap();
  if (type == kVolFat16 || type == kVolFat32) {
    // Geometry only, then the full volume (its table cache reads nothing:
    // no drive is open).
    CUnknownVol v{uint8_t(type)};
    if (InitFATVol(&v, sector, 2048) &&
        (int64_t(v.dataAreaSector) + 2 * int64_t(v.sectorsPerCluster) >= int64_t(v.sizeSectors) ||
         v.startSector != 2048))
      __builtin_trap();
    FATVol full{uint8_t(type)};
    const int t = InitFATVol(&full, sector, 2048);
    if (t != 0 && (t != full.type || full.clusterCount == 0 || full.dataSectors + full.rootSectors > full.sizeSectors ||
                   full.clusterSize > 65536 || full.sizeSectors == 0))
      __builtin_trap();
  }
  delete[] sector;
  return 0;
}
