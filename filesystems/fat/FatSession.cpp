#include "filesystems/fat/FatSession.h"

#include <algorithm>
#include <memory>
#include <new>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/FatVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace fat;

namespace {

// The four stored values: a FAT volume keeps them; any other volume of the
// type has them read again from its boot sector. False when that sector
// cannot be read or is not the volume's. The data area is where cluster 0
// would lie (dataAreaSector), two clusters before the first data sector.
bool GeometryFromBoot(const CVol& v, FatSessionGeometry* g) {
  if (const auto* fv = dynamic_cast<const FATVol*>(&v); fv && fv->fatCount && fv->fatSize) {
    g->sectorsPerFat = fv->fatSize;
    g->fatCount = uint8_t(fv->fatCount);
    g->reservedSectors = fv->reserved;
    g->rootSectors = fv->rootSectors;
    return true;
  }
  Drive* d = v.drive;
  if (!d || !d->SectorSize()) return false;
  const uint32_t bytes = std::max<uint32_t>(d->SectorSize(), 512);
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[bytes]);
  if (!buf || !ReadSectorsWaited(*d, int64_t(v.startSector), bytes, buf.get())) return false;
  const uint8_t* s = buf.get();
  if (Le16(s + kBootBytesPerSector) != v.sectorSize) return false;
  const uint32_t fatSize = Le16(s + kBootFatSize16) ? Le16(s + kBootFatSize16) : Le32(s + kBootFatSize32);
  g->sectorsPerFat = fatSize;
  g->fatCount = s[kBootFatCount];
  g->reservedSectors = Le16(s + kBootReservedSectors);
  g->rootSectors = uint32_t((uint64_t(Le16(s + kBootRootEntries)) * kDirEntryBytes + v.sectorSize - 1) / v.sectorSize);
  const uint64_t firstData = uint64_t(g->fatCount) * g->sectorsPerFat + g->reservedSectors + g->rootSectors;
  return firstData == v.dataAreaSector + 2 * uint64_t(v.sectorsPerCluster);
}

}  // namespace

bool DeriveFatGeometry(uint32_t clusterSize, uint32_t sectorSize, uint64_t sizeSectors, FatSessionGeometry* g) {
  if (!sectorSize || clusterSize < sectorSize || clusterSize % sectorSize || g->fatCount == 0) return false;
  g->sectorsPerCluster = clusterSize / sectorSize;
  g->firstDataSector = uint64_t(g->fatCount) * g->sectorsPerFat + g->reservedSectors + g->rootSectors;
  if (g->firstDataSector > sizeSectors) return false;
  g->clusterZeroSector = int64_t(g->firstDataSector) - 2 * int64_t(g->sectorsPerCluster);
  g->dataSectors = sizeSectors - g->firstDataSector;
  g->clusterBound = g->dataSectors / g->sectorsPerCluster + 1;
  return true;
}

void FatWriteVolumeTail(const CVol& v, SessionTail& tail) {
  FatSessionGeometry g;
  if (!GeometryFromBoot(v, &g)) {
    // Without the boot sector the data area's place is all that is known:
    // it stands as one reserved area behind a single empty table.
    g = FatSessionGeometry();
    g.fatCount = 1;
    g.reservedSectors =
        uint32_t(std::min<uint64_t>(v.dataAreaSector + 2 * uint64_t(v.sectorsPerCluster), UINT32_MAX));
  }
  tail.numbers = {g.sectorsPerFat, g.fatCount, g.reservedSectors, g.rootSectors};
}

bool FatReadVolumeTail(CVol& v, const SessionTail& tail) {
  if (tail.numbers.size() != 4) return false;
  for (int64_t n : tail.numbers)
    if (n < 0 || n > int64_t(UINT32_MAX)) return false;
  if (tail.numbers[1] > 255) return false;
  FatSessionGeometry g;
  g.sectorsPerFat = uint32_t(tail.numbers[0]);
  g.fatCount = uint8_t(tail.numbers[1]);
  g.reservedSectors = uint32_t(tail.numbers[2]);
  g.rootSectors = uint32_t(tail.numbers[3]);
  if (!DeriveFatGeometry(v.clusterSize, v.sectorSize, v.sizeSectors, &g)) return false;
  // As the boot sector's parse keeps it: it may lie before the volume.
  v.dataAreaSector = uint64_t(g.clusterZeroSector);
  if (auto* fv = dynamic_cast<FATVol*>(&v)) {
    // The volume as its boot sector would have made it, table cache
    // included; the FAT12/16 table is read when the source is there.
    fv->fatSize = g.sectorsPerFat;
    fv->fatCount = g.fatCount;
    fv->reserved = g.reservedSectors;
    fv->rootSectors = g.rootSectors;
    fv->rootStart = uint64_t(g.sectorsPerFat) * g.fatCount + g.reservedSectors;
    fv->dataSectors = g.dataSectors;
    fv->clusterCount = g.clusterBound;
    fv->cache = std::make_unique<FATCache>(fv);
    fv->cache->SetCopies(g.fatCount);
    fv->cache->SetSectorCheck(CheckFATSector);
    if (g.sectorsPerFat && fv->drive)
      fv->cache->Init(fv->type, uint64_t(g.sectorsPerFat) * fv->sectorSize, g.reservedSectors);
  }
  return true;
}

void FatWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const FATInode&>(node);
  out.Number(0);
  out.Number(n.creationTenMs);
  out.Number(n.creationTime);
  out.Number(n.creationDate);
  out.Number(n.accessDate);
  out.Number(n.writeTime);
  out.Number(n.writeDate);
  out.Number(0);
  out.EndLine();
  const uint8_t* runs = n.runs;
  out.Runs(runs ? runs + kRunListHeaderBytes : nullptr, RunListBytes(runs));
}

void FatReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<FATInode&>(node);
  in.Number();
  int64_t v[6];
  for (int64_t& x : v) x = in.Number();
  if (v[0] < 0 || v[0] > 255) in.Fail();
  for (int i = 1; i < 6; i++)
    if (v[i] < 0 || v[i] > 0xFFFF) in.Fail();
  n.creationTenMs = uint8_t(v[0]);
  n.creationTime = uint16_t(v[1]);
  n.creationDate = uint16_t(v[2]);
  n.accessDate = uint16_t(v[3]);
  n.writeTime = uint16_t(v[4]);
  n.writeDate = uint16_t(v[5]);
  in.SkipLine();
  const std::vector<uint8_t> pairs = in.Runs();
  if (!pairs.empty()) {
    n.runs = NewRunList(pairs.data(), pairs.size());
    if (!n.runs) ShowErrorAndThrow();
  }
}
