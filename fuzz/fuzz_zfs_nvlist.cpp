// A label's name-value list and uberblock array of arbitrary bytes: the
// walk stays inside the region, nested lists at most 16 deep, and the
// chosen slot is one of the region's.
#include <cstdint>
#include <cstdlib>

#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/NvList.h"

namespace {

struct Seen {
  const uint8_t* begin;
  const uint8_t* end;
};

void Visit(const ZfsNvPair& p, void* c) {
  const auto* s = static_cast<const Seen*>(c);
  auto inside = [&](std::string_view t) {
    const auto* b = reinterpret_cast<const uint8_t*>(t.data());
    return t.empty() || (b >= s->begin && b + t.size() <= s->end);
  };
  if (!inside(p.name) || !inside(p.text) || p.depth < 0 || p.depth > 16) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Seen seen{data, data + size};
  WalkZfsNvList(data, size, Visit, &seen);
  ReadZfsLabelList(data, size);
  const uint32_t slots = uint32_t(size / zfs::kUberblockSlotBytes);
  for (int back : {0, 1, int(size % 7)}) {
    const int slot = ChooseZfsUberblock(data, slots, back);
    if (slot < -1 || slot >= int(slots)) std::abort();
  }
  return 0;
}
