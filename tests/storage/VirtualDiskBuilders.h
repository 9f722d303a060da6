// Hand-made VHD, VHDX and VMDK files in memory, for the map tests: only the
// fields the readers look at are filled.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "storage/VirtualDisk.h"
#include "tests/support/ByteWriter.h"

namespace vdisk_test {

using Bytes = std::vector<uint8_t>;

using testbytes::PutBe32;
using testbytes::PutBe64;
using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;

// A dynamic VHD: footer copy, dynamic header at 512, table at 1536, the
// rest of the file zeros.
inline Bytes DynamicVhd(uint64_t diskBytes, uint32_t blockSize, const std::vector<uint32_t>& table, size_t fileBytes,
                        uint32_t type = 3) {
  Bytes b(fileBytes, 0);
  memcpy(b.data(), "conectix", 8);
  PutBe32(b, 8, 2);
  PutBe64(b, 16, 512);
  PutBe64(b, 40, diskBytes);
  PutBe64(b, 48, diskBytes);
  PutBe32(b, 60, type);
  memcpy(b.data() + 512, "cxsparse", 8);
  PutBe64(b, 512 + 8, ~0ull);
  PutBe64(b, 512 + 16, 1536);
  PutBe32(b, 512 + 28, uint32_t(table.size()));
  PutBe32(b, 512 + 32, blockSize);
  for (size_t i = 0; i < table.size(); ++i) PutBe32(b, 1536 + 4 * i, table[i]);
  return b;
}

inline const uint8_t kBatGuid[16] = {0x66, 0x77, 0xc2, 0x2d, 0x23, 0xf6, 0x00, 0x42,
                                     0x9d, 0x64, 0x11, 0x5e, 0x9b, 0xfd, 0x4a, 0x08};
inline const uint8_t kMetadataGuid[16] = {0x06, 0xa2, 0x7c, 0x8b, 0x90, 0x47, 0x9a, 0x4b,
                                          0xb8, 0xfe, 0x57, 0x5f, 0x05, 0x0f, 0x88, 0x6e};
inline const uint8_t kFileParametersGuid[16] = {0x37, 0x67, 0xa1, 0xca, 0x36, 0xfa, 0x43, 0x4d,
                                                0xb3, 0xb6, 0x33, 0xf0, 0xaa, 0x44, 0xe7, 0x6b};
inline const uint8_t kDiskSizeGuid[16] = {0x24, 0x42, 0xa5, 0x2f, 0x1b, 0xcd, 0x76, 0x48,
                                          0xb2, 0x11, 0x5d, 0xbe, 0xd8, 0x3b, 0xf4, 0xb8};
inline const uint8_t kLogicalSectorGuid[16] = {0x1d, 0xbf, 0x41, 0x81, 0x6f, 0xa9, 0x09, 0x47,
                                               0xba, 0x47, 0xf2, 0x33, 0xa8, 0xfa, 0xab, 0x5f};

inline constexpr uint64_t kMiB = 0x100000;

// A VHDX: region table at 192 KiB, metadata region at 1 MiB (items at
// 64 KiB of it), BAT at 2 MiB (1 MiB long); the caller sets the entries.
struct VhdxFile {
  Bytes b;
  static constexpr size_t kMetadata = kMiB, kBat = 2 * kMiB;
  static constexpr size_t kParams = kMetadata + 0x10000, kSize = kParams + 8, kLogical = kParams + 16;
  VhdxFile(uint64_t virtualSize, uint32_t blockSize, uint32_t logicalSector, size_t fileBytes) : b(fileBytes, 0) {
    memcpy(b.data(), "vhdxfile", 8);
    const size_t rt = 0x30000;
    memcpy(b.data() + rt, "regi", 4);
    Put32(b, rt + 8, 2);
    memcpy(b.data() + rt + 16, kBatGuid, 16);
    Put64(b, rt + 32, kBat);
    Put32(b, rt + 40, uint32_t(kMiB));
    memcpy(b.data() + rt + 48, kMetadataGuid, 16);
    Put64(b, rt + 64, kMetadata);
    Put32(b, rt + 72, uint32_t(kMiB));
    memcpy(b.data() + kMetadata, "metadata", 8);
    Put16(b, kMetadata + 10, 3);
    const uint8_t* guids[3] = {kFileParametersGuid, kDiskSizeGuid, kLogicalSectorGuid};
    const uint32_t offsets[3] = {0x10000, 0x10008, 0x10010}, lengths[3] = {8, 8, 4};
    for (size_t i = 0; i < 3; ++i) {
      memcpy(b.data() + kMetadata + 32 + 32 * i, guids[i], 16);
      Put32(b, kMetadata + 48 + 32 * i, offsets[i]);
      Put32(b, kMetadata + 52 + 32 * i, lengths[i]);
    }
    Put32(b, kParams, blockSize);
    Put64(b, kSize, virtualSize);
    Put32(b, kLogical, logicalSector);
  }
  void SetEntry(uint64_t index, uint32_t state, uint64_t offsetMiB) {
    Put64(b, kBat + 8 * index, (offsetMiB << 20) | state);
  }
};

// A hosted sparse VMDK header ("KDMV").
inline Bytes SparseVmdk(uint64_t capacity, uint64_t grain, uint32_t perTable, uint64_t directorySector,
                        size_t fileBytes) {
  Bytes b(fileBytes, 0);
  memcpy(b.data(), "KDMV", 4);
  Put32(b, 4, 1);
  Put32(b, 8, 3);
  Put64(b, 12, capacity);
  Put64(b, 20, grain);
  Put32(b, 44, perTable);
  Put64(b, 56, directorySector);
  return b;
}

// An ESX copy-on-write header ("COWD"): grain tables of 4096 entries.
inline Bytes CowdVmdk(uint32_t sectors, uint32_t grain, uint32_t directorySector, uint32_t directoryEntries,
                      size_t fileBytes) {
  Bytes b(fileBytes, 0);
  memcpy(b.data(), "COWD", 4);
  Put32(b, 4, 1);
  Put32(b, 8, 3);
  Put32(b, 12, sectors);
  Put32(b, 16, grain);
  Put32(b, 20, directorySector);
  Put32(b, 24, directoryEntries);
  return b;
}

// Runs as plain values, for comparisons.
struct MapRun {
  int kind;
  uint64_t fileByte;
  uint32_t bytes;
  bool operator==(const MapRun&) const = default;
};
inline std::vector<MapRun> RunsOf(const std::vector<ImageRun>& runs) {
  std::vector<MapRun> out;
  for (const ImageRun& r : runs) out.push_back(MapRun{int(r.kind), r.fileByte, r.bytes});
  return out;
}
inline std::string RunsText(const std::vector<MapRun>& runs) {
  std::string s;
  for (const MapRun& r : runs)
    s += "[" + std::to_string(r.kind) + " " + std::to_string(r.fileByte) + " " + std::to_string(r.bytes) + "]";
  return s;
}

}  // namespace vdisk_test
