#include "volumes/VolumeFamily.h"

#include <algorithm>
#include <array>

#include "volumes/Extents.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"

namespace {

// Registration happens at start-up, before any worker runs; lookups only
// read.
struct Registry {
  std::array<const VolumeFamily*, 256> byType{};
  std::array<const NodeOps*, 16> byNibble{};
  std::array<const VolumeFamily*, 16> familyByNibble{};
  std::array<SectorTest, kSectKindLimit> tests{};
  std::array<SectorAction, kSectKindLimit> actions{};
  std::vector<const VolumeFamily*> order;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void Remember(Registry& r, const VolumeFamily* family) {
  if (std::find(r.order.begin(), r.order.end(), family) == r.order.end()) r.order.push_back(family);
}

// A family no type code refers to any longer leaves the order.
void Forget(Registry& r, const VolumeFamily* family) {
  if (!family) return;
  for (const VolumeFamily* f : r.byType)
    if (f == family) return;
  r.order.erase(std::remove(r.order.begin(), r.order.end(), family), r.order.end());
}

}  // namespace

void RegisterVolumeFamily(const VolumeFamily& family) {
  Registry& r = TheRegistry();
  for (uint8_t i = 0; i < family.typeCount && i < sizeof family.types; i++) {
    const VolumeFamily* before = r.byType[family.types[i]];
    r.byType[family.types[i]] = &family;
    if (before != &family) Forget(r, before);
  }
  if (family.nodeFamily != 0xFF && family.nodeOps) r.byNibble[family.nodeFamily >> 4] = family.nodeOps;
  if (family.nodeFamily != 0xFF) r.familyByNibble[family.nodeFamily >> 4] = &family;
  for (size_t i = 0; i < family.sectorKindCount; i++) {
    const SectorKindEntry& e = family.sectorKinds[i];
    if (e.kind >= 0 && e.kind < kSectKindLimit && e.test) r.tests[size_t(e.kind)] = e.test;
    if (e.kind >= 0 && e.kind < kSectKindLimit && e.visit) r.actions[size_t(e.kind)] = e.visit;
  }
  Remember(r, &family);
}

const VolumeFamily* RegisterVolumeFamily(uint8_t type, const VolumeFamily* family) {
  Registry& r = TheRegistry();
  const VolumeFamily* before = r.byType[type];
  r.byType[type] = family;
  if (before != family) Forget(r, before);
  if (family) Remember(r, family);
  return before;
}

void ClearVolumeFamilies() { TheRegistry() = Registry{}; }

const VolumeFamily* FindVolumeFamily(uint8_t type) { return TheRegistry().byType[type]; }

const NodeOps* FindNodeOps(uint8_t kind) { return TheRegistry().byNibble[kind >> 4]; }

const VolumeFamily* FindNodeFamily(uint8_t kind) { return TheRegistry().familyByNibble[kind >> 4]; }

SectorTest FindSectorTest(int kind) {
  return kind >= 0 && kind < kSectKindLimit ? TheRegistry().tests[size_t(kind)] : nullptr;
}

SectorAction FindSectorAction(int kind) {
  return kind >= 0 && kind < kSectKindLimit ? TheRegistry().actions[size_t(kind)] : nullptr;
}

const std::vector<const VolumeFamily*>& VolumeFamilies() { return TheRegistry().order; }

CarvedKindSizer FindCarvedKindSizer(uint8_t carvingType) {
  for (const VolumeFamily* f : VolumeFamilies())
    if (f->sizeCarvedKind && f->carvedKind == carvingType) return f->sizeCarvedKind;
  return nullptr;
}

int ProbeVolumeKind(const uint8_t* sector) {
  if (!sector) return kVolUnknown;
  for (const VolumeFamily* f : VolumeFamilies()) {
    if (!f->probe) continue;
    if (const int type = f->probe(sector)) return type;
  }
  return kVolUnknown;
}

bool SameVolumeSize(const CVol& known, const CVol& found, uint64_t slackBelow) {
  if (known.clusterSize != found.clusterSize) return false;
  if (known.sizeSectors && found.sizeSectors) {
    const uint64_t below = 100 + slackBelow;
    const uint64_t lo = found.sizeSectors > below ? found.sizeSectors - below : 0;
    const uint64_t hi = found.sizeSectors > UINT64_MAX - 100 ? UINT64_MAX : found.sizeSectors + 100;
    if (known.sizeSectors < lo || known.sizeSectors > hi) return false;
  }
  return true;
}

bool SameVolumeDefault(const CVol& known, const CVol& found) {
  return known.type == found.type && known.startSector == found.startSector && SameVolumeSize(known, found, 0);
}

bool PrepareNodeExtents(CVol& volume, const cnode* node) {
  const uint32_t bytes = node->GetClusterBytes(volume.sectorSize);
  CExtents* e = volume.CreateExtents();
  if (!e->SetClusterSize(bytes)) return false;
  e->Reset();
  return true;
}

bool BuildRunListExtents(CVol& volume, const cnode* node, const void*, uint32_t*) {
  if (!PrepareNodeExtents(volume, node)) return false;
  if (volume.extents->BuildVCNMappingTable(node->RunBuffer()) < 0) return false;
  const uint32_t bytes = volume.extents->clusterSize;
  volume.extents->SetTotalClusters(node->size / bytes + (node->size % bytes ? 1 : 0));
  return true;
}

uint8_t* ReadClustersThroughExtents(CVol& volume, const cnode* node, int64_t cluster, uint32_t count,
                                    uint64_t* outBytes) {
  (void)node;
  if (!volume.extents) return nullptr;
  const uint32_t shift = volume.extents->clusterShift;
  if (uint64_t(cluster) > (UINT64_MAX >> shift)) return nullptr;
  return volume.ReadInodeDataCm(uint64_t(cluster) << shift, uint64_t(count) << shift, outBytes);
}
