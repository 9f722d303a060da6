// Fuzz target: arbitrary bytes as a disk, read as a partition table. The
// input is sector 0 onward; the disk is given a much larger size than the
// input (its other sectors read as zeros), so extended chains and GPT arrays
// that point far away are followed, never past the drive.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "storage/PartitionTable.h"
#include "fuzz/FuzzStartup.h"

namespace {

class BytesDisk : public SectorReader {
 public:
  BytesDisk(const uint8_t* data, size_t size, uint32_t sectorSize, uint64_t sectors)
      : data_(data), size_(size), ss_(sectorSize), sectors_(sectors) {}
  bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override {
    if (sector >= sectors_ || count > sectors_ - sector) __builtin_trap();  // never outside the drive
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = (sector + i) * ss_;
      uint8_t* o = out + size_t(i) * ss_;
      std::memset(o, 0, ss_);
      if (at < size_) std::memcpy(o, data_ + at, size_t(std::min<uint64_t>(ss_, size_ - at)));
    }
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  uint32_t ss_;
  uint64_t sectors_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the sector size and the drive size.
  const uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const uint64_t sectors = (data[0] & 2) ? (uint64_t(1) << 32) : 1 + size / sectorSize + (data[0] >> 2) * 4096;
  BytesDisk disk(data + 1, size - 1, sectorSize, sectors);
  PartitionTable table(nullptr, sectorSize);
  table.ReadPartitionTable(disk, sectors);
  for (const PartitionEntry& e : table) {
    if (e.Length() == 0 || e.Start() >= sectors || e.Length() > sectors - e.Start()) __builtin_trap();
  }
  return 0;
}
