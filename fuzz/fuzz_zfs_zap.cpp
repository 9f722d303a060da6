// A ZAP block of arbitrary bytes (the input's first byte gives its size,
// 2^(9 + byte % 9)): its micro entries and its fat-leaf chains. Names stay
// inside the block (micro) or at most 256 bytes (leaf), and every chain
// ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/Zap.h"

namespace {

struct Seen {
  const uint8_t* begin;
  const uint8_t* end;
  int entries = 0;
};

bool Visit(const ZapEntry& e, void* c) {
  auto* s = static_cast<Seen*>(c);
  if (e.nameBytes == 0 || e.nameBytes > zfs::kMaxZapNameBytes) std::abort();
  ++s->entries;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t bytes = size_t(1) << (9 + data[0] % 9);
  std::vector<uint8_t> block(bytes, 0);
  std::memcpy(block.data(), data + 1, std::min(bytes, size - 1));
  Seen seen{block.data(), block.data() + bytes};
  const int micro = ForEachMicroZapEntry(block.data(), bytes, zfs::kMzHeaderBytes, Visit, &seen);
  if (micro > int((bytes - zfs::kMzHeaderBytes) / zfs::kMzEntryBytes)) std::abort();
  uint64_t value = 0;
  LookupMicroZap(block.data(), bytes, "ROOT", &value);
  const int fat = ForEachFatZapLeafEntry(block.data(), bytes, Visit, &seen);
  if (fat > int(bytes / zfs::kLeafChunkBytes)) std::abort();
  return 0;
}
