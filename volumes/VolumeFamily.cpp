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
  std::array<const FamilyType*, 256> typeEntry{};
  std::array<const NodeOps*, 16> byNibble{};
  std::array<const VolumeFamily*, 16> familyByNibble{};
  std::array<const SectorKindEntry*, kSectKindLimit> kinds{};
  std::vector<const SectorKindEntry*> kindOrder;
  std::vector<const VolumeFamily*> order;
  uint64_t generation = 0;
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

const FamilyType* TypeIn(const VolumeFamily* family, uint8_t type) {
  if (!family) return nullptr;
  for (const FamilyType& t : family->types)
    if (t.code == type) return &t;
  return nullptr;
}

void SetType(Registry& r, uint8_t type, const VolumeFamily* family) {
  const VolumeFamily* before = r.byType[type];
  r.byType[type] = family;
  r.typeEntry[type] = TypeIn(family, type);
  if (before != family) Forget(r, before);
}

}  // namespace

void RegisterVolumeFamily(const VolumeFamily& family) {
  Registry& r = TheRegistry();
  for (const FamilyType& t : family.types) SetType(r, t.code, &family);
  if (family.nodeFamily != 0xFF && family.nodeOps) r.byNibble[family.nodeFamily >> 4] = family.nodeOps;
  if (family.nodeFamily != 0xFF) r.familyByNibble[family.nodeFamily >> 4] = &family;
  if (family.scans) {
    for (const SectorKindEntry& e : family.scans->sectorKinds) {
      if (e.kind < 0 || e.kind >= kSectKindLimit) continue;
      const SectorKindEntry*& slot = r.kinds[size_t(e.kind)];
      if (slot) std::replace(r.kindOrder.begin(), r.kindOrder.end(), slot, &e);
      else r.kindOrder.push_back(&e);
      slot = &e;
    }
  }
  Remember(r, &family);
  r.generation++;
}

const VolumeFamily* RegisterVolumeFamily(uint8_t type, const VolumeFamily* family) {
  Registry& r = TheRegistry();
  const VolumeFamily* before = r.byType[type];
  SetType(r, type, family);
  if (family) Remember(r, family);
  r.generation++;
  return before;
}

void ClearVolumeFamilies() {
  const uint64_t generation = TheRegistry().generation;
  TheRegistry() = Registry{};
  TheRegistry().generation = generation + 1;
}

const VolumeFamily* FindVolumeFamily(uint8_t type) { return TheRegistry().byType[type]; }

namespace {

template <class Group>
const Group* GroupOf(uint8_t type, const Group* VolumeFamily::*group) {
  const VolumeFamily* f = FindVolumeFamily(type);
  return f ? f->*group : nullptr;
}

}  // namespace

const FamilyVolumeOps* FindVolumeOps(uint8_t type) { return GroupOf(type, &VolumeFamily::volume); }
const FamilySearchOps* FindSearchOps(uint8_t type) { return GroupOf(type, &VolumeFamily::search); }
const FamilyDataOps* FindDataOps(uint8_t type) { return GroupOf(type, &VolumeFamily::data); }
const FamilyScanOps* FindScanOps(uint8_t type) { return GroupOf(type, &VolumeFamily::scans); }
const FamilySessionOps* FindSessionOps(uint8_t type) { return GroupOf(type, &VolumeFamily::sessions); }

const FamilyType* FindFamilyType(uint8_t type) { return TheRegistry().typeEntry[type]; }

WString FileSystemTypeName(uint8_t type) {
  const FamilyType* t = FindFamilyType(type);
  return t && t->name ? WString(t->name) : WString();
}

WString VolumeFileSystemName(const CVol& volume) {
  if (const FamilyVolumeOps* ops = FindVolumeOps(volume.type); ops && ops->fileSystemName) {
    WString name = ops->fileSystemName(volume);
    if (!name.empty()) return name;
  }
  return FileSystemTypeName(volume.type);
}

const NodeOps* FindNodeOps(uint8_t kind) { return TheRegistry().byNibble[kind >> 4]; }

const VolumeFamily* FindNodeFamily(uint8_t kind) { return TheRegistry().familyByNibble[kind >> 4]; }

bool NodeHasTrait(uint8_t kind, uint32_t trait) {
  const NodeOps* ops = FindNodeOps(kind);
  return ops && (ops->traits & trait) == trait;
}

const SectorKindEntry* FindSectorKind(int kind) {
  return kind >= 0 && kind < kSectKindLimit ? TheRegistry().kinds[size_t(kind)] : nullptr;
}

const std::vector<const SectorKindEntry*>& RegisteredSectorKinds() { return TheRegistry().kindOrder; }

uint64_t RegistryGeneration() { return TheRegistry().generation; }

const std::vector<const VolumeFamily*>& VolumeFamilies() { return TheRegistry().order; }

CarvedKindSizer FindCarvedKindSizer(uint8_t carvingType) {
  for (const VolumeFamily* f : VolumeFamilies())
    if (f->scans && f->scans->sizeCarvedKind && f->scans->carvedKind == carvingType) return f->scans->sizeCarvedKind;
  return nullptr;
}

int ProbeVolumeKind(const uint8_t* sector) {
  if (!sector) return kVolUnknown;
  for (const VolumeFamily* f : VolumeFamilies()) {
    if (!f->search || !f->search->probe) continue;
    if (const int type = f->search->probe(sector)) return type;
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

bool PrepareNodeExtents(CVol& volume, const cnode& node) {
  const uint32_t bytes = node.GetClusterBytes(volume.sectorSize);
  CExtents* e = volume.CreateExtents();
  if (!e->SetClusterSize(bytes)) return false;
  e->Reset();
  return true;
}

bool MapRunList(CVol& volume, const cnode& node, const void*, uint32_t*) {
  if (!PrepareNodeExtents(volume, node)) return false;
  // The map holds what the runs hold: a size past them is no part of it
  // (the recovery ends the file where its runs end).
  return volume.extents->BuildVCNMappingTable(node.RunBuffer()) >= 0;
}
