// The lost-volume search over arbitrary sector runs: each 512-byte sector of
// the input is offered as a table sector (FAT16 or FAT32, its index as the
// sector's entries imply) or as a folder sector, at positions the input
// picks (rising, as the sector pass goes). A boot sector the finder builds must describe a volume on the
// drive whose cluster 2 lies where the folder said.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "filesystems/fat/FatDirFinder.h"
#include "filesystems/fat/FatHelpers.h"
#include "foundation/ByteOrder.h"

namespace {

constexpr size_t kSector = 512;
constexpr uint64_t kDriveSectors = uint64_t(1) << 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > (1u << 20)) return 0;
  FATDirFinder finder(kSector, kDriveSectors);
  // The first position, then records: a control byte (bits 0-1 the kind:
  // 0 FAT16 table, 1 FAT32 table, else folder; bit 6 the read ends after
  // the sector; bit 7 the step counts KiB), a step to the sector's
  // position, the sector.
  int64_t position = int64_t(Le32(data) & 0x3FFFFFFF);
  for (size_t at = 4; at + 2 + kSector <= size; at += 2 + kSector) {
    const uint8_t control = data[at];
    const uint8_t* s = data + at + 2;
    position += (control & 0x80) ? int64_t(data[at + 1]) << 10 : int64_t(data[at + 1]);
    switch (control & 3) {
      case 0:
      case 1: {
        const int type = (control & 1) ? 3 : 2;
        const int64_t index = CheckFATSector(s, type, nullptr, nullptr, 0, kSector);
        if (index == -1) break;
        finder.NoteFATSector(type, s, position, index, index >= 0);
        break;
      }
      default: {
        int64_t start = -1;
        const uint8_t* boot = nullptr;
        finder.AddDir(s, position, &start, control & 0x40 ? 1 : 128, &boot);
        if (!boot) break;
        if (start < 0 || uint64_t(start) >= kDriveSectors) __builtin_trap();
        const uint32_t spc = boot[13];
        const uint32_t reserved = Le16(boot + 14);
        const uint32_t total = Le16(boot + 19) ? Le16(boot + 19) : Le32(boot + 32);
        if (spc == 0 || spc > 128 || total == 0 || uint64_t(start) + total > kDriveSectors) __builtin_trap();
        // Cluster 2 where the folder implied it.
        const uint32_t fat = Le16(boot + 22) ? Le16(boot + 22) : Le32(boot + 36);
        const uint32_t root = Le16(boot + 17) * 32 / kSector;
        const int64_t data2 = start + reserved + 2 * int64_t(fat) + root;
        const uint32_t cluster = FATDirEntry::FirstCluster(s);
        if (data2 + int64_t(spc) * (int64_t(cluster) - 2) != position) __builtin_trap();
        break;
      }
    }
  }
  return 0;
}
