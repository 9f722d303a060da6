#include "engine/SectorClassify.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/ByteOrder.h"
#include "volumes/VolumeFamily.h"

namespace {

// The kinds that belong to no file system: dynamic-disk records, VHDX
// structures and the RAID scan's marks.
bool IsVblk(const uint8_t* s, const ClassifyContext*) {
  return memcmp(s, "VBLK", 4) == 0 && memcmp(s + 128, "VBLK", 4) == 0;
}
bool IsMark40(const uint8_t* s, const ClassifyContext*) { return Le32(s) == 0x10C00001; }
bool IsMark42(const uint8_t* s, const ClassifyContext*) { return Le32(s) >= 0x10C00002 && Le32(s) <= 0x10C00005; }
bool IsVhdxFile(const uint8_t* s, const ClassifyContext*) { return memcmp(s, "vhdxfile", 8) == 0; }
bool IsVhdxHeader(const uint8_t* s, const ClassifyContext*) {
  // Log version 0 and version 1 follow the three GUIDs.
  return memcmp(s, "head", 4) == 0 && Le16(s + 64) == 0 && Le16(s + 66) == 1;
}

const SectorKindEntry kOwnKinds[] = {
    {kSectVblk, IsVblk, nullptr, 50},         {kSectMark40, IsMark40, nullptr, 150},
    {kSectMark42, IsMark42, nullptr, 160},    {kSectVhdxFile, IsVhdxFile, nullptr, 210},
    {kSectVhdxHeader, IsVhdxHeader, nullptr, 220},
};

// The kinds in the order they are tried: by rank, equal ranks in the
// families' order (the engine's own after them). Made again when a family
// is registered; each thread keeps its own copy.
struct Order {
  uint64_t generation = UINT64_MAX;
  std::vector<const SectorKindEntry*> tried;      // kinds with a test
  std::vector<const SectorKindEntry*> overrides;  // tried even after a match
};

const Order& TheOrder() {
  thread_local Order order;
  if (order.generation == RegistryGeneration()) return order;
  order = Order{};
  order.generation = RegistryGeneration();
  std::vector<const SectorKindEntry*> all = RegisteredSectorKinds();
  for (const SectorKindEntry& e : kOwnKinds)
    if (!FindSectorKind(e.kind)) all.push_back(&e);
  std::stable_sort(all.begin(), all.end(),
                   [](const SectorKindEntry* a, const SectorKindEntry* b) { return a->rank < b->rank; });
  for (const SectorKindEntry* e : all) {
    if (!e->test) continue;
    order.tried.push_back(e);
    if (e->flags & kKindOverrides) order.overrides.push_back(e);
  }
  return order;
}

}  // namespace

int ClassifySector(const uint8_t* sector, uint8_t* /*detail*/, ClassifyContext* context) {
  if (!sector) return kSectNone;
  const Order& order = TheOrder();
  const SectorKindEntry* found = nullptr;
  for (const SectorKindEntry* e : order.tried) {
    if (e->test(sector, context)) {
      found = e;
      break;
    }
  }
  for (const SectorKindEntry* e : order.overrides)
    if (e != found && e->test(sector, context)) found = e;
  if (!found) return kSectNone;
  if (context && (found->flags & kKindRemembered)) context->lastSector[size_t(found->kind)] = context->sector;
  return found->kind;
}
