#include "volumes/VolumeSearch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "storage/RDrive.h"
#include "volumes/BootVolume.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"

namespace {

constexpr uint32_t kMiB = 0x100000;

uint32_t MiBSectors(const Drive& d) { return kMiB / d.SectorSize(); }

// [start, start + size) lies inside the drive (size 0: start does).
bool InsideDrive(const Drive& d, int64_t start, uint64_t size) {
  if (start < 0 || uint64_t(start) >= d.SectorCount()) return false;
  uint64_t end;
  return !__builtin_add_overflow(uint64_t(start), size, &end) && end <= d.SectorCount();
}

const FamilyVolumeOps* VolumeOpsOf(const CVol* v) { return v ? FindVolumeOps(v->type) : nullptr; }
const FamilySearchOps* SearchOpsOf(const CVol* v) { return v ? FindSearchOps(v->type) : nullptr; }

}  // namespace

VolumeList::~VolumeList() { Clear(); }

void VolumeList::Clear() {
  for (CVol*& v : items) DeleteVol(&v);
  items.clear();
}

bool ToDriveSectors(uint64_t sectors, uint32_t volumeSectorSize, uint32_t driveSectorSize, uint64_t* out) {
  if (volumeSectorSize == driveSectorSize || volumeSectorSize == 0) {
    *out = sectors;
    return true;
  }
  unsigned __int128 bytes = (unsigned __int128)sectors * volumeSectorSize;
  unsigned __int128 n = (bytes + driveSectorSize - 1) / driveSectorSize;
  if (n > UINT64_MAX) return false;
  *out = uint64_t(n);
  return true;
}

uint64_t VolumeLengthOnDrive(const CVol& v, const Drive& d) {
  if (v.sizeOverride) return v.sizeOverride;
  uint64_t sectors = 0;
  if (v.sizeSectors && ToDriveSectors(v.sizeSectors, v.sectorSize ? v.sectorSize : d.SectorSize(), d.SectorSize(),
                                      &sectors))
    return sectors;
  return d.SectorCount() > v.startSector ? d.SectorCount() - v.startSector : 0;
}

bool ReadSectorsWaited(Drive& d, int64_t at, uint32_t bytes, uint8_t* out) {
  if (at < 0 || uint64_t(at) >= d.SectorCount()) return false;
  try {
    const uint8_t* r = d.ReadSectors(at, bytes, Drive::kRetryPiece, out, true);
    return r != nullptr && r != Drive::kReadStarted;
  } catch (const DvCodeError&) {
    return false;
  }
}

bool ReadVolumeSectors(const CVol& v, uint32_t sectorSize, uint64_t sector, uint32_t count, uint8_t* out) {
  Drive* d = v.drive;
  if (!d || count == 0) return false;
  const uint32_t dss = d->SectorSize() ? d->SectorSize() : 512;
  const __int128 byte = __int128(v.startSector) * dss + __int128(sector) * sectorSize;
  const uint64_t bytes = uint64_t(count) * sectorSize;
  if (byte < 0 || byte + bytes > __int128(INT64_MAX) || bytes > 0x80000000u) return false;
  const uint64_t at = uint64_t(byte);
  if (at % dss == 0 && bytes % dss == 0) return ReadSectorsWaited(*d, int64_t(at / dss), uint32_t(bytes), out);
  // Volume sectors that are not whole drive sectors.
  const uint64_t first = at / dss;
  const uint64_t end = (at + bytes + dss - 1) / dss;
  std::vector<uint8_t> span;
  try {
    span.resize(size_t((end - first) * dss));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (span.size() > 0x80000000u || !ReadSectorsWaited(*d, int64_t(first), uint32_t(span.size()), span.data()))
    return false;
  std::memcpy(out, span.data() + (at - first * dss), size_t(bytes));
  return true;
}

bool ProbeOpenedDrive(Drive& drive, const uint8_t* first, uint32_t bytes, DriveOpenFacts* facts) {
  for (const VolumeFamily* f : VolumeFamilies())
    if (f->search && f->search->driveOpen && f->search->driveOpen(drive, first, bytes, facts)) return true;
  return false;
}

int32_t LookForBootSector(Drive& drive, uint64_t sector, int32_t count, BootHit* hit) {
  if (count <= 0) return count < 0 ? 0 : count;
  // A RAID-Z set's sectors are blocks laid over its members: its labels and
  // boot block are read through its first member.
  if (auto* set = dynamic_cast<RDrive*>(&drive); set && set->IsRaidz() && set->FirstMember())
    return LookForBootSector(*set->FirstMember(), sector, count, hit);
  const uint32_t ss = drive.SectorSize();
  const uint64_t driveSectors = drive.SectorCount();
  if (sector >= driveSectors) return count;
  const uint32_t chunkSectors = std::max<uint32_t>(1, kMiB / ss);
  const uint64_t last = std::min<uint64_t>(driveSectors, sector + uint64_t(count));
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size_t(chunkSectors) * ss]);
  if (!buf) return count;
  for (uint64_t at = sector; at < last;) {
    // A failing disk may take seconds a read: a stop is heeded before each.
    if (ProgramOptions().stopRequested.load()) return count;
    const uint32_t n = uint32_t(std::min<uint64_t>(chunkSectors, last - at));
    if (!ReadSectorsWaited(drive, int64_t(at), n * ss, buf.get())) return count;
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* s = buf.get() + size_t(i) * ss;
      const int kind = ProbeVolumeKind(s);
      if (kind == kVolUnknown) continue;
      std::vector<uint8_t> boot(s, s + ss);
      BootLocate where;
      where.drive = &drive;
      where.type = uint8_t(kind);
      where.position = int64_t(at + i);
      where.sector = s;
      where.sectorBytes = ss;
      where.chunk = buf.get();
      where.chunkStart = int64_t(at);
      where.chunkSectors = n;
      where.indexInChunk = i;
      where.sectorsLeft = int64_t(last - (at + i));
      where.boot = &boot;
      const FamilySearchOps* search = FindSearchOps(uint8_t(kind));
      if (search && search->locate) search->locate(where);
      const int64_t pos = where.position, start = where.start;
      const uint64_t size = where.size;
      // Whatever the disk says, a volume must lie inside the drive; one of
      // a family that keeps partial volumes need only start there
      // (ProcBootCm asks the family).
      const bool partialOk = search && search->keepsPastDriveEnd;
      if (!InsideDrive(drive, start, partialOk ? 0 : size)) continue;
      if (hit) {
        hit->kind = kind;
        hit->start = start;
        hit->size = size;
        hit->foundAt = pos;
        hit->boot = std::move(boot);
      }
      return int32_t(uint64_t(pos) - sector);
    }
    at += n;
  }
  return count;
}

VolumeList* DriveVolumes(const Drive& d) { return static_cast<VolumeList*>(d.volumeList.get()); }

uint32_t VolumeCount(const Drive& d) {
  const VolumeList* table = DriveVolumes(d);
  return table ? uint32_t(table->items.size()) : 0;
}

CVol* VolumeAt(const Drive& d, uint32_t index) {
  const VolumeList* table = DriveVolumes(d);
  return table && index < table->items.size() ? table->items[index] : nullptr;
}

std::shared_ptr<VolumeList> VolumeTableOf(Drive& d) {
  if (!d.volumeList) d.volumeList = std::make_shared<VolumeList>();
  return std::static_pointer_cast<VolumeList>(d.volumeList);
}

void DeleteVolumes(Drive& d) {
  if (VolumeList* table = DriveVolumes(d)) table->Clear();
  // The next search takes a ZFS label again (a RAID-Z set's is read, and
  // marked, on its first member).
  d.zfsLabelSeen = 0;
  if (auto* set = dynamic_cast<RDrive*>(&d); set && set->FirstMember()) set->FirstMember()->zfsLabelSeen = 0;
}

void FreeVolumeBuffers(Drive& d) {
  VolumeList* table = DriveVolumes(d);
  if (!table) return;
  for (CVol* v : table->items)
    if (v) v->FreeBuf();
}

int32_t FindVolume(const Drive& d, const CVol* v) {
  const VolumeList* table = DriveVolumes(d);
  if (!v || !table) return -1;
  const FamilyVolumeOps* f = VolumeOpsOf(v);
  for (size_t i = 0; i < table->items.size(); ++i) {
    const CVol* k = table->items[i];
    if (!k || k->type != v->type) continue;
    if (f && f->same ? f->same(*k, *v) : SameVolumeDefault(*k, *v)) return int32_t(i);
  }
  return -1;
}

bool AddVolume(Drive& d, CVol* v, int /*mode*/, int32_t* index) {
  if (index) *index = -1;
  if (!v) return false;
  VolumeList& table = *VolumeTableOf(d);
  const int32_t known = FindVolume(d, v);
  if (known >= 0) {
    CVol* k = table.items[size_t(known)];
    if (!k->sizeSectors) k->sizeSectors = v->sizeSectors;
    if (const FamilyVolumeOps* f = VolumeOpsOf(k); f && f->completeKnown) f->completeKnown(*k, *v);
    if (k->label.empty()) k->label = v->label;
    if (index) *index = known;
    return false;
  }
  const size_t n = table.items.size();
  if (n >= kMaxDriveVolumes) return false;
  try {
    table.items.reserve((n / 32 + 1) * 32);
  } catch (const std::bad_alloc&) {
    return false;
  }
  v->SetVolumeNumber(uint16_t(n));
  v->drive = &d;
  // Letters are display codes here: a volume is named by its number.
  if (!v->HasDriveLetter()) {
    v->driveLetter[0] = char16_t(kNoLetterBase + n);
    v->driveLetter[1] = u':';
  }
  if (traceMft)
    TracePrintfA("PPP %d %I64d %I64d %d\n", int(n), int64_t(v->startSector), int64_t(v->sizeSectors), int(v->type));
  table.items.push_back(v);
  if (index) *index = int32_t(n);
  return true;
}

int SearchBootSectors(Drive& d, uint64_t sector, int32_t count, bool backward, bool* foundAtFirst) {
  if (foundAtFirst) *foundAtFirst = false;
  if (traceRaid) return 0;
  if (traceMft) TracePrintfA("Searching for boot sector at %I64d for %ld sectors\n", int64_t(sector), count);
  if (count <= 0 || sector >= d.SectorCount()) return 0;
  BootHit hit;
  const int32_t passed = LookForBootSector(d, sector, count, &hit);
  const bool found = passed < count;
  if (foundAtFirst) *foundAtFirst = found && passed == 0;

  int32_t index = -1;
  bool made = false;
  const uint32_t before = VolumeCount(d);
  if (!found) {
    // A volume device whose boot sector is gone: a family's backup copy in
    // its last sector.
    if (!d.IsVolumeDevice() || VolumeCount(d) != 0 || sector != 0) return 0;
    const uint32_t ss = d.SectorSize();
    std::unique_ptr<uint8_t[]> b(new (std::nothrow) uint8_t[ss]);
    if (!b || !ReadSectorsWaited(d, int64_t(d.SectorCount() - 1), ss, b.get())) return 0;
    for (const VolumeFamily* f : VolumeFamilies()) {
      const int type = f->search && f->search->lastSectorProbe ? f->search->lastSectorProbe(b.get()) : 0;
      if (type == 0) continue;
      ProcBootCm(0, b.get(), uint8_t(type), nullptr, &d);
      return 1;
    }
    return 0;
  }
  index = ProcBootCm(hit.start, hit.boot.data(), uint8_t(hit.kind), nullptr, &d);
  made = index >= 0 && VolumeCount(d) > before;
  // A full table takes nothing more: searching on would only read.
  if (d.IsVolumeDevice() || VolumeCount(d) >= kMaxDriveVolumes) return 1;

  int result = 1;
  const uint64_t total = d.SectorCount();
  const uint64_t eight = 8 * uint64_t(MiBSectors(d));
  const uint64_t regionEnd = sector + uint64_t(count);
  const uint64_t next = uint64_t(hit.foundAt) + 1;
  if ((regionEnd <= eight || sector + eight >= total) && next < regionEnd)
    result += SearchBootSectors(d, next, int32_t(regionEnd - next), backward, nullptr);

  if (made) {
    const CVol* v = VolumeAt(d, uint32_t(index));
    const FamilySearchOps* f = SearchOpsOf(v);
    const int32_t mib = int32_t(MiBSectors(d));
    uint64_t vsize = 0;
    ToDriveSectors(v->sizeSectors, v->sectorSize, d.SectorSize(), &vsize);
    int64_t from = -1;
    int64_t step = mib;
    if (backward) {
      if (v->startSector >= eight) from = int64_t(v->startSector) - 2 * mib;
      step = -mib;
    } else {
      uint64_t end;
      if (!__builtin_add_overflow(v->startSector, vsize, &end) &&
          !__builtin_add_overflow(end, uint64_t(f ? f->trailingSectors : 0), &end) && end < total &&
          total - end >= eight)
        from = int64_t(end);
    }
    if (from >= 0) {
      int n = SearchBootSectors(d, uint64_t(from), mib, backward, nullptr);
      if (n == 0 && from + step >= 0) n = SearchBootSectors(d, uint64_t(from + step), mib, backward, nullptr);
      result += n;
    }
  }
  return result;
}

int ScanPartitions(Drive& d) {
  TRACE_FN("Drive::ScanPartitions");
  if (!d.partitionTable) d.partitionTable = std::make_shared<PartitionTable>(&d, d.SectorSize());
  VolumeTableOf(d);
  PartitionTable& table = *d.partitionTable;
  if (!ProgramOptions().zfsRaidz) {
    table.Clear();
    table.ReadPartitionTable(-1, d.SectorCount());
  }
  const int32_t mib = int32_t(MiBSectors(d));
  for (uint32_t i = 0; i < table.Count(); ++i) {
    PartitionEntry& e = table.Entry(i);
    const uint64_t start = e.Start(), length = e.Length();
    const uint32_t before = VolumeCount(d);
    bool atFirst = false;
    int n = SearchBootSectors(d, start, e.type == kPartitionVmfs ? 2 * mib : mib, false, &atFirst);
    if (e.type == 0 || e.type == 7 || e.type == 0xAF) {
      bool same = false;
      if (atFirst && VolumeCount(d) > before) {
        const CVol* v = VolumeAt(d, before);
        const FamilySearchOps* f = SearchOpsOf(v);
        // A volume that fills its partition leaves only its trailing
        // sectors (the NTFS backup boot sector) after it.
        same = v && f && f->fillsPartition && v->startSector == start &&
               (v->sizeSectors == length || v->sizeSectors + 1 == length);
      }
      if (!same && length >= 2) n += SearchBootSectors(d, start + length - 2, 2, false, nullptr);
    }
    e.searchResult = uint16_t(std::min(n, 0xFFFF));
  }
  auto known = [&](uint64_t s) {
    for (uint32_t i = 0; i < VolumeCount(d); ++i)
      if (VolumeAt(d, i) && VolumeAt(d, i)->startSector == s) return true;
    return false;
  };
  const uint64_t total = d.SectorCount();
  for (uint64_t s : {uint64_t(0), uint64_t(mib)})
    if (!known(s)) SearchBootSectors(d, s, mib, false, nullptr);
  if (!known(409640)) SearchBootSectors(d, 409640, 3, false, nullptr);
  for (uint64_t k = 1; k <= 8; ++k) {
    const uint64_t back = k * uint64_t(mib);
    const uint64_t s = total > back ? total - back : 0;
    if (!known(s)) SearchBootSectors(d, s, mib, true, nullptr);
  }
  return int(table.Count());
}
