#include "filesystems/zfs/Label.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "filesystems/zfs/NvList.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "volumes/VolumeSearch.h"

using namespace zfs;

int ChooseZfsUberblock(const uint8_t* slots, uint32_t count, int backVersion) {
  int best = -1;
  uint64_t highest = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* s = slots + size_t(i) * kUberblockSlotBytes;
    if (Le64(s + kUbMagic) != kUberblockMagic) continue;
    const uint64_t txg = Le64(s + kUbTxg);
    if (best < 0 || txg > highest) best = int(i), highest = txg;
  }
  if (best < 0 || backVersion <= 0 || uint64_t(backVersion) > highest) return best;
  const uint64_t want = highest - uint64_t(backVersion);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* s = slots + size_t(i) * kUberblockSlotBytes;
    if (Le64(s + kUbMagic) == kUberblockMagic && Le64(s + kUbTxg) == want) return int(i);
  }
  return best;
}

std::vector<int> ZfsUberblocksByTxg(const uint8_t* slots, uint32_t count) {
  std::vector<int> out;
  for (uint32_t i = 0; i < count; ++i)
    if (Le64(slots + size_t(i) * kUberblockSlotBytes + kUbMagic) == kUberblockMagic) out.push_back(int(i));
  std::stable_sort(out.begin(), out.end(), [&](int a, int b) {
    return Le64(slots + size_t(a) * kUberblockSlotBytes + kUbTxg) >
           Le64(slots + size_t(b) * kUberblockSlotBytes + kUbTxg);
  });
  return out;
}

bool ReadZfsUberblockArray(Drive& drive, int64_t labelSector, uint8_t* out) {
  if (auto* set = dynamic_cast<RDrive*>(&drive); set && set->IsRaidz() && set->FirstMember())
    return ReadZfsUberblockArray(*set->FirstMember(), labelSector, out);
  const uint32_t ss = drive.SectorSize() ? drive.SectorSize() : 512;
  if (labelSector < 0 || ss > kUberblockArrayOffset) return false;
  const int64_t array = labelSector + int64_t(kUberblockArrayOffset / ss);
  return uint64_t(array) < drive.SectorCount() &&
         (drive.SectorCount() - uint64_t(array)) * ss >= kUberblockArrayBytes &&
         ReadSectorsWaited(drive, array, kUberblockArrayBytes, out);
}

int64_t ZFSReadLabel(Drive& drive, int64_t sector, int backVersion, ZfsLabel* out) {
  if (auto* set = dynamic_cast<RDrive*>(&drive); set && set->IsRaidz() && set->FirstMember())
    return ZFSReadLabel(*set->FirstMember(), sector, backVersion, out);
  const uint32_t ss = drive.SectorSize() ? drive.SectorSize() : 512;
  if (sector < 0 || ss > kNvListOffset) return sector;
  const int64_t span = int64_t(kLabelBytes / ss);
  const int64_t first = sector > span ? sector - span : 0;
  if (uint64_t(first) >= drive.SectorCount()) return sector;
  const uint64_t bytes = std::min<uint64_t>(kLabelBytes, (drive.SectorCount() - uint64_t(first)) * ss);
  if (bytes < kNvListBytes) return sector;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kLabelBytes]);
  if (!buf || !ReadSectorsWaited(drive, first, uint32_t(bytes), buf.get())) return sector;
  ZfsLabelList list;
  int64_t listSector = -1;
  for (int64_t at = int64_t(bytes - kNvListBytes) / ss; at >= 0; --at) {
    const uint8_t* s = buf.get() + size_t(at) * ss;
    if (std::memcmp(s, kNvHeader, sizeof kNvHeader) != 0) continue;
    list = ReadZfsLabelList(s, size_t(std::min<uint64_t>(kNvListBytes, bytes - uint64_t(at) * ss)));
    if (list.pairs > 0) {
      listSector = first + at;
      break;
    }
  }
  if (listSector < 0 || listSector < int64_t(kNvListOffset / ss)) return sector;
  ZfsLabel label;
  label.listFound = true;
  label.labelSector = listSector - int64_t(kNvListOffset / ss);
  label.asize = list.asize;
  label.ashift = list.ashift;
  if (traceZfs)
    TracePrintfA("\n--- NVPs at sector %I64d ---\nasize=%I64d ashift=%d\n", listSector, int64_t(list.asize),
                 int(list.ashift));
  if (ReadZfsUberblockArray(drive, label.labelSector, buf.get())) {
    const int slot = ChooseZfsUberblock(buf.get(), kUberblockSlots, backVersion);
    if (slot >= 0) {
      const uint8_t* u = buf.get() + size_t(slot) * kUberblockSlotBytes;
      std::memcpy(label.uberblock, u, kUberblockSlotBytes);
      label.haveUberblock = true;
      label.slot = slot;
      label.txg = Le64(u + kUbTxg);
      label.timestamp = Le64(u + kUbTimestamp);
      if (traceZfs)
        TracePrintfA("\n--- Active uberblock at Idx %d ---\nUberblock - idx: %u, txg: %I64d\n", slot, uint32_t(slot),
                     int64_t(label.txg));
    }
  }
  if (out) *out = label;
  return label.labelSector;
}
