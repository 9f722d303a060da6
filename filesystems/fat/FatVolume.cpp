#include "filesystems/fat/FatVolume.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "filesystems/fat/Definitions.h"
#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatNode.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "volumes/ClusterWindow.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

using namespace fat;

namespace {

uint64_t TotalSectors(const uint8_t* s) {
  return Le16(s + kBootTotal16) ? Le16(s + kBootTotal16) : Le32(s + kBootTotal32);
}

// The start of the volume a FAT boot sector found at `pos` belongs to.
int64_t FatStart(Drive& d, int64_t pos, const uint8_t* s, int kind) {
  if (kind != kVolFat32) return pos;
  const uint32_t reserved = Le16(s + kBootReservedSectors);
  const uint32_t fatSize = Le32(s + kBootFatSize32);
  const uint8_t media = s[kBootMedia];
  for (int64_t base : {pos, pos - kFat32BackupBootSector}) {
    if (base < 0) continue;
    // The first FAT, then the second one.
    if (IsFat32TableStart(d, base + reserved, media)) return base;
    if (s[kBootFatCount] >= 2 && IsFat32TableStart(d, base + int64_t(reserved) + int64_t(fatSize), media))
      return base;
  }
  if (d.IsVolumeDevice()) return pos == kFat32BackupBootSector ? 0 : pos;
  if (pos == 6) return 0;
  if (pos == 69) return 63;
  if (pos == 2054) return 2048;
  return pos;
}

}  // namespace

FATVol::FATVol(uint8_t typeCode) {
  type = typeCode;
  auto* root = new FATInode();
  root->flags2 |= kNode2Directory;
  rootNode = root;
}

FATVol::~FATVol() = default;

int FATVol::BootParse(const uint8_t* s) {
  // 1-2. Sector and cluster sizes.
  const uint32_t ss = Le16(s + kBootBytesPerSector);
  if (ss != 512 && ss != 1024 && ss != 2048 && ss != 4096) return -1;
  const uint32_t spc = s[kBootSectorsPerCluster];
  const uint64_t clusterBytes = uint64_t(ss) * spc;
  if (spc == 0 || (spc & (spc - 1)) != 0 || clusterBytes < 512 || clusterBytes > 65536) return -1;
  if (!SetSectorSize(ss) || !SetClusterSize(uint32_t(clusterBytes))) return -1;
  reserved = Le16(s + kBootReservedSectors);
  // 3. One or two tables.
  fatCount = s[kBootFatCount];
  if (fatCount != 1 && fatCount != 2) return -1;
  // 4-5.
  rootEntries = Le16(s + kBootRootEntries);
  rootSectors = uint32_t((uint64_t(rootEntries) * kDirEntryBytes + ss - 1) / ss);
  const uint8_t m = s[kBootMedia];
  media = (m == 0xF0 || m >= 0xF8) ? m : 0;
  // 6. FAT32 when the 16-bit table size is 0.
  int result = kVolFat16;
  fatSize = Le16(s + kBootFatSize16);
  if (fatSize == 0) {
    result = kVolFat32;
    fatSize = Le32(s + kBootFatSize32);
    rootSectors = 0;
  }
  rootStart = uint64_t(fatSize) * fatCount + reserved;
  // 7-8. What the areas before the data leave must hold a cluster.
  const uint64_t total = TotalSectors(s);
  // FAT32 without a table size: a lost volume rebuilt from its folders.
  noTable = result == kVolFat32 && fatSize == 0 && total != 0;
  if ((fatSize == 0 && !noTable) || fatSize >= total) return -1;
  const uint64_t areas = uint64_t(fatSize) * fatCount + rootSectors + reserved;
  if (areas + spc > total) return -1;
  dataSectors = total - areas;
  clusterCount = dataSectors / spc + 1;
  sizeSectors = total;
  dataAreaSector = uint64_t(int64_t(areas) - 2 * int64_t(spc));
  // 9. The table cache.
  cache = std::make_unique<FATCache>(this);
  cache->SetCopies(fatCount);
  cache->SetMedia(media);
  cache->SetSectorCheck(CheckFATSector);
  return result;
}

bool FATVol::ReadSectors(uint64_t sector, uint32_t count, uint8_t* buffer) {
  return ReadVolumeSectors(*this, sectorSize, sector, count, buffer);
}

int64_t FATVol::ClusterToSector(uint32_t cluster) const {
  const Drive* d = drive;
  const uint32_t dss = d && d->SectorSize() ? d->SectorSize() : sectorSize;
  const __int128 byte = __int128(startSector) * dss + __int128(int64_t(dataAreaSector)) * sectorSize +
                        __int128(cluster) * clusterSize;
  return int64_t(byte / dss);
}

int64_t FATVol::ClusterOfSector(int64_t sector) const {
  const Drive* d = drive;
  const uint32_t dss = d && d->SectorSize() ? d->SectorSize() : sectorSize;
  if (sector < 0 || !clusterSize) return -1;
  const __int128 byte =
      __int128(sector) * dss - __int128(startSector) * dss - __int128(int64_t(dataAreaSector)) * sectorSize;
  if (byte < 2 * __int128(clusterSize)) return -1;
  const __int128 cluster = byte / clusterSize;
  return cluster < MaxCluster() ? int64_t(cluster) : -1;
}

uint64_t FATVol::ClusterToVolumeSector(uint32_t cluster) const {
  return uint64_t(int64_t(dataAreaSector) + int64_t(cluster) * sectorsPerCluster);
}

bool FATVol::IsClusterAt(uint32_t cluster, int64_t sector, uint32_t clusterBytes, int t) const {
  if (t != 0 && t != type) return false;
  if (clusterBytes != 0 && clusterBytes != clusterSize) return false;
  if (cluster < 2 || cluster >= MaxCluster()) return false;
  return ClusterToSector(cluster) == sector;
}

void FATVol::AddWalked(uint32_t first, uint32_t count) {
  if (!count) return;
  uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(first) + count - 1, 0xFFFFFFFFu));
  auto it = walkedClusters.upper_bound(first);
  if (it != walkedClusters.begin()) {
    auto before = std::prev(it);
    if (uint64_t(before->second) + 1 >= first) {
      first = before->first;
      last = std::max(last, before->second);
      it = walkedClusters.erase(before);
    }
  }
  while (it != walkedClusters.end() && uint64_t(it->first) <= uint64_t(last) + 1) {
    last = std::max(last, it->second);
    it = walkedClusters.erase(it);
  }
  walkedClusters.emplace(first, last);
}

bool FATVol::IsWalked(uint32_t cluster) const {
  auto it = walkedClusters.upper_bound(cluster);
  return it != walkedClusters.begin() && cluster <= std::prev(it)->second;
}

uint32_t FATVol::MaxCluster() const {
  if (cache && cache->MaxCluster()) return cache->MaxCluster();
  return clusterCount + 1 > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(clusterCount + 1);
}

void FATVol::ReadVolumeLabel() {
  labelRead = true;
  const uint32_t bytes = clusterSize < 4096 ? clusterSize : 4096;
  const uint32_t sectors = (bytes + sectorSize - 1) / sectorSize;
  std::vector<uint8_t> buf(size_t(sectors) * sectorSize);
  const uint64_t at = type == kVolFat32 ? ClusterToVolumeSector(rootCluster) : rootStart;
  if (type == kVolFat32 && (rootCluster < 2 || rootCluster >= MaxCluster())) return;
  if (!ReadSectors(at, sectors, buf.data())) return;
  for (size_t off = 0; off + kDirEntryBytes <= bytes; off += kDirEntryBytes) {
    const uint8_t* e = buf.data() + off;
    if (e[0] == 0) return;
    if (e[kDirAttributes] == kAttrLongName || (e[kDirAttributes] & 0x18) != kAttrLabel) continue;
    FATInode node;
    WString text;
    const int r = ParseFATEntry(&node, e, nullptr, &text);
    if (r == kFATEntryLabel) {
      label = text;
      return;
    }
    if (r == kFATEntryEnd) return;
  }
}

uint32_t FATVol::FindRootCluster() {
  std::vector<uint8_t> buf(clusterSize);
  const uint32_t sectors = clusterSize / sectorSize;
  for (uint32_t c = 2; c <= 9 && c < MaxCluster(); ++c) {
    if (!ReadSectors(ClusterToVolumeSector(c), sectors, buf.data())) continue;
    LongNameBuffer names;
    bool label = false, root = false, ruledOut = false;
    for (size_t off = 0; off + kDirEntryBytes <= buf.size() && !root && !ruledOut; off += kDirEntryBytes) {
      const uint8_t* e = buf.data() + off;
      if (e[0] == 0) {
        root = label;
        break;
      }
      if (e[kDirAttributes] == kAttrLongName) {
        if (names.CheckLFN(e) && (e[0] & kLfnNumberMask) == 1 && names.Text() == u"System Volume Information")
          root = true;
        continue;
      }
      FATInode node;
      const int r = ParseFATEntry(&node, e, nullptr, nullptr);
      names.Reset();
      if (r == kFATEntryRejected || r == kFATEntryEnd) {
        root = label;
        break;
      }
      if (r == kFATEntryDot || r == kFATEntryDotDot) ruledOut = true;
      else if (r == kFATEntryLabel) label = true;
      else if (std::memcmp(e, "$RECYCLEBIN", 11) == 0) root = true;
    }
    if (root && !ruledOut) return c;
  }
  return 0;
}

int InitFATVol(CVol* v, const uint8_t* s, int64_t sector) {
  if (!v || !s || sector < 0) return 0;
  if (IsFATBootSector(s, nullptr, nullptr, nullptr) == 0 && !IsTablelessFat32Boot(s)) return 0;
  FATVol scratch(kVolFat16);
  FATVol* fv = dynamic_cast<FATVol*>(v);
  FATVol* target = fv ? fv : &scratch;
  target->startSector = uint64_t(sector);
  const int type = target->BootParse(s);
  if (type < 0) return 0;
  target->type = uint8_t(type);
  if (!fv) {
    // A plain volume: the geometry only.
    v->SetSectorSize(target->sectorSize);
    v->SetClusterSize(target->clusterSize);
    v->type = uint8_t(type);
    v->startSector = uint64_t(sector);
    v->sizeSectors = target->sizeSectors;
    v->dataAreaSector = target->dataAreaSector;
    return type;
  }
  // The table cache needs the geometry above.
  if (!fv->cache->Init(type, uint64_t(fv->fatSize) * fv->sectorSize, fv->reserved)) return 0;
  cnode* root = fv->rootNode;
  fv->SetNodeClusterCode(root);
  if (type == kVolFat32) {
    uint32_t rc = Le32(s + kBootRootCluster);
    if (rc == 0 || rc >= fv->MaxCluster()) rc = fv->FindRootCluster();
    if (rc == 0) rc = 2;
    fv->rootCluster = rc;
    root->id = rc;
    root->size = 0;
    fv->cache->SetNodeRuns(root, fv->clusterSize);
  } else {
    root->id = 1;
    root->size = uint64_t(fv->sectorSize) * fv->rootSectors;
  }
  if (traceContent.load(std::memory_order_relaxed))
    TracePrintfW(u"FAT vol @ %I64d - Reserved %ld, FAT size %ld, root inode %ld, vol size %ld, clus size %ld\n",
                 int64_t(sector), int32_t(fv->reserved), int32_t(fv->fatSize), int32_t(root->id),
                 int32_t(fv->sizeSectors), int32_t(fv->clusterSize));
  return type;
}

bool IsTablelessFat32Boot(const uint8_t* s) {
  if (s[kBootSignature] != 0x55 || s[kBootSignature + 1] != 0xAA || !(s[0] == 0xEB || s[0] == 0xE9)) return false;
  const uint32_t ss = Le16(s + kBootBytesPerSector), spc = s[kBootSectorsPerCluster];
  if (ss != 512 && ss != 1024 && ss != 2048 && ss != 4096) return false;
  if (spc == 0 || (spc & (spc - 1)) != 0 || uint64_t(spc) * ss > 65536) return false;
  return Le16(s + kBootReservedSectors) != 0 && (s[kBootFatCount] == 1 || s[kBootFatCount] == 2) &&
         Le16(s + kBootRootEntries) == 0 && Le16(s + kBootTotal16) == 0 && Le16(s + kBootFatSize16) == 0 &&
         Le32(s + kBootFatSize32) == 0 && Le32(s + kBootTotal32) != 0;
}

bool IsFatBootSectorWithTotal(const uint8_t* s, uint64_t* totalSectors) {
  if (!IsFATBootSector(s, nullptr, nullptr, nullptr)) return false;
  if (totalSectors) *totalSectors = TotalSectors(s);
  return true;
}

bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media) {
  const uint32_t ss = drive.SectorSize();
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[ss]);
  if (!buf || !ReadSectorsWaited(drive, at, ss, buf.get())) return false;
  const uint8_t* s = buf.get();
  return s[0] == media && s[1] == 0xFF && s[2] == 0xFF && (s[3] & 0x0F) == 0x0F &&
         (Le32(s + 4) & kFat32EntryMask) == kFat32EntryMask;
}

void LocateFatVolume(BootLocate& w) {
  w.start = FatStart(*w.drive, w.position, w.sector, w.type);
  if (!ToDriveSectors(TotalSectors(w.sector), Le16(w.sector + kBootBytesPerSector), w.sectorBytes, &w.size))
    w.start = -1;
}
