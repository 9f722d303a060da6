#include "storage/VolumeSearch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engine/SectorClassify.h"
#include "filesystems/Recognisers.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "storage/RDrive.h"
#include "volumes/BootVolume.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/ntfs/NtfsVolume.h"

namespace {

constexpr uint32_t kMiB = 0x100000;

uint32_t MiBSectors(const Drive& d) { return kMiB / d.SectorSize(); }

// [start, start + size) lies inside the drive (size 0: start does).
bool InsideDrive(const Drive& d, int64_t start, uint64_t size) {
  if (start < 0 || uint64_t(start) >= d.SectorCount()) return false;
  uint64_t end;
  return !__builtin_add_overflow(uint64_t(start), size, &end) && end <= d.SectorCount();
}

// volume sectors x volume sector size in drive sectors (rounded up); false
// on overflow.
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

bool ReadWaited(Drive& d, int64_t at, uint32_t bytes, uint8_t* out) {
  if (at < 0 || uint64_t(at) >= d.SectorCount()) return false;
  try {
    const uint8_t* r = d.ReadSectors(at, bytes, Drive::kRetryPiece, out, true);
    return r != nullptr && r != Drive::kReadStarted;
  } catch (const DvCodeError&) {
    return false;
  }
}

// The start of the volume a FAT boot sector found at `pos` belongs to: a
// FAT32 backup boot sector lies 6 sectors after the primary one.
int64_t FatStart(Drive& d, int64_t pos, const uint8_t* s, int kind) {
  if (kind != kVolFat32) return pos;
  const uint32_t reserved = Le16(s + 14);
  const uint32_t fatSize = Le32(s + 36);
  const uint8_t media = s[21];
  for (int64_t base : {pos, pos - 6}) {
    if (base < 0) continue;
    // The first FAT, then the second one.
    if (IsFat32TableStart(d, base + reserved, media)) return base;
    if (s[16] >= 2 && IsFat32TableStart(d, base + int64_t(reserved) + int64_t(fatSize), media)) return base;
  }
  if (d.IsVolumeDevice()) return pos == 6 ? 0 : pos;
  if (pos == 6) return 0;
  if (pos == 69) return 63;
  if (pos == 2054) return 2048;
  return pos;
}

}  // namespace

VolumeList::~VolumeList() { Clear(); }

void VolumeList::Clear() {
  for (CVol*& v : items) DeleteVol(&v);
  items.clear();
}

bool IsFat32TableStart(Drive& drive, int64_t at, uint8_t media) {
  const uint32_t ss = drive.SectorSize();
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[ss]);
  if (!buf || !ReadWaited(drive, at, ss, buf.get())) return false;
  const uint8_t* s = buf.get();
  return s[0] == media && s[1] == 0xFF && s[2] == 0xFF && (s[3] & 0x0F) == 0x0F &&
         (Le32(s + 4) & 0x0FFFFFFF) == 0x0FFFFFFF;
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
    const uint32_t n = uint32_t(std::min<uint64_t>(chunkSectors, last - at));
    if (!ReadWaited(drive, int64_t(at), n * ss, buf.get())) return count;
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* s = buf.get() + size_t(i) * ss;
      const int kind = ProbeVolumeKind(s);
      if (kind == kVolUnknown) continue;
      const int64_t pos = int64_t(at + i);
      int64_t start = -1;
      uint64_t size = 0;
      std::vector<uint8_t> boot(s, s + ss);
      switch (kind) {
        case kVolNtfs: {
          NTFSVol v;
          if (!NTFS::BootParse(&v, s) || !ToDriveSectors(v.totalSectors, v.sectorSize, ss, &size)) break;
          // At the classic partition starts a boot sector is the primary copy.
          start = (pos == 63 || pos == 2048) ? pos : ResolveNtfsBootCopy(pos, s, &drive);
          break;
        }
        case kVolFat16:
        case kVolFat32: {
          start = FatStart(drive, pos, s, kind);
          const uint64_t total = Le16(s + 19) ? Le16(s + 19) : Le32(s + 32);
          if (!ToDriveSectors(total, Le16(s + 11), ss, &size)) start = -1;
          break;
        }
        case kVolExt: {
          if (ss > 1024) break;
          start = pos - int64_t(1024 / ss);
          const uint32_t logBlock = Le32(s + 24);
          if (logBlock > 20) {
            start = -1;
            break;
          }
          const uint64_t blockBytes = uint64_t(1024) << logBlock;
          if (blockBytes < ss || __builtin_mul_overflow(blockBytes / ss, uint64_t(Le32(s + 4)), &size)) start = -1;
          break;
        }
        case kVolUfs1:
        case kVolUfs2: {
          const int64_t back = (kind == kVolUfs1 ? 8192 : 65536) / int64_t(ss);
          start = pos - back;
          if (kind == kVolUfs2 && boot.size() < 2048) {
            boot.resize(2048);
            std::unique_ptr<uint8_t[]> more(new (std::nothrow) uint8_t[(2048 + ss - 1) / ss * ss]);
            if (!more || !ReadWaited(drive, pos, uint32_t((2048 + ss - 1) / ss * ss), more.get())) {
              start = -1;
              break;
            }
            memcpy(boot.data(), more.get(), 2048);
          }
          const uint32_t fsize = Le32(boot.data() + 52);
          const uint64_t units = kind == kVolUfs1 ? Le32(boot.data() + 36) : Le64(boot.data() + 1080);
          if (fsize < ss || __builtin_mul_overflow(uint64_t(fsize / ss), units, &size)) start = -1;
          break;
        }
        case kVolHfs:
          start = LocateHFSPlusVolume(pos, s, int(ss));
          break;
        case kVolXfs:
          start = XFSVolumeStart(pos, s, int64_t(last - uint64_t(pos)), &drive);
          if (start == -1) start = pos;
          break;
        case kVolExFat:
          start = LocateExFATVolume(int64_t(at), buf.get(), int64_t(n), int(i));
          break;
        case kVolZfs:
          // One pool label per drive; the ZFS reader locates it.
          if (drive.zfsLabelSeen) break;
          drive.zfsLabelSeen = 1;
          start = -1;
          break;
        case kVolVmfs:
          start = pos - int64_t((Le32(s) == 0x2FABF15E ? 0x1300000u : 0x100000u) / ss);
          break;
        case kVolRefs:
          start = pos;
          break;
        default:
          break;
      }
      // Whatever the disk says, a volume must lie inside the drive.
      if (!InsideDrive(drive, start, size)) continue;
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

uint32_t Drive::VolumeCount() const { return volumeList ? uint32_t(volumeList->items.size()) : 0; }

CVol* Drive::Volume(uint32_t index) const {
  return volumeList && index < volumeList->items.size() ? volumeList->items[index] : nullptr;
}

void Drive::DeleteVolumes() {
  if (volumeList) volumeList->Clear();
}

void Drive::FreeVolumeBuffers() {
  if (!volumeList) return;
  for (CVol* v : volumeList->items)
    if (v) v->FreeBuf();
}

int32_t Drive::FindVolume(const CVol* v) const {
  if (!v || !volumeList) return -1;
  const bool fat = IsFATType(v->type);
  for (size_t i = 0; i < volumeList->items.size(); ++i) {
    const CVol* k = volumeList->items[i];
    if (!k || k->type != v->type) continue;
    if (fat) {
      if (k->startSector + k->dataAreaSector != v->startSector + v->dataAreaSector) continue;
    } else {
      if (k->startSector != v->startSector) continue;
      if (v->type == kVolNtfs) {
        auto* kn = static_cast<const NTFSVol*>(k);
        auto* vn = static_cast<const NTFSVol*>(v);
        if (kn->mftSector && vn->mftSector && kn->mftSector != vn->mftSector) continue;
        if (kn->mirrorSector && vn->mirrorSector && kn->mirrorSector != vn->mirrorSector) continue;
      } else if (v->type == kVolXfs) {
        if (k->sizeSectors2 && v->sizeSectors2 && k->sizeSectors2 != v->sizeSectors2) continue;
      }
    }
    if (k->clusterSize != v->clusterSize) continue;
    if (k->sizeSectors && v->sizeSectors) {
      uint64_t below = 100;
      if (fat) below += uint64_t(v->sectorSize / (v->type == kVolFat32 ? 4 : 2)) * v->sectorsPerCluster;
      const uint64_t lo = v->sizeSectors > below ? v->sizeSectors - below : 0;
      if (k->sizeSectors < lo || k->sizeSectors > v->sizeSectors + 100) continue;
    }
    return int32_t(i);
  }
  return -1;
}

bool Drive::AddVolume(CVol* v, int /*mode*/, int32_t* index) {
  if (index) *index = -1;
  if (!v) return false;
  if (!volumeList) volumeList = std::make_shared<VolumeList>();
  const int32_t known = FindVolume(v);
  if (known >= 0) {
    CVol* k = volumeList->items[size_t(known)];
    if (!k->sizeSectors) k->sizeSectors = v->sizeSectors;
    if (k->type == kVolNtfs) {
      auto* kn = static_cast<NTFSVol*>(k);
      auto* vn = static_cast<NTFSVol*>(v);
      if (!kn->mftSector) kn->mftSector = vn->mftSector;
      if (!kn->mirrorSector) kn->mirrorSector = vn->mirrorSector;
    }
    if (k->label.empty()) k->label = v->label;
    if (index) *index = known;
    return false;
  }
  const size_t n = volumeList->items.size();
  if (n >= kMaxDriveVolumes) return false;
  try {
    volumeList->items.reserve((n / 32 + 1) * 32);
  } catch (const std::bad_alloc&) {
    return false;
  }
  v->volumeNumber = uint16_t(n);
  if (v->type == kVolNtfs) static_cast<NTFSVol*>(v)->index = int32_t(n);
  v->drive = this;
  // Letters are display codes here: a volume is named by its number.
  if (!v->HasDriveLetter()) {
    v->driveLetter[0] = char16_t(kNoLetterBase + n);
    v->driveLetter[1] = u':';
  }
  if (traceMft)
    TracePrintfA("PPP %d %I64d %I64d %d\n", int(n), int64_t(v->startSector), int64_t(v->sizeSectors), int(v->type));
  volumeList->items.push_back(v);
  if (index) *index = int32_t(n);
  return true;
}

int Drive::SearchBootSectors(uint64_t sector, int32_t count, bool backward, bool* foundAtFirst) {
  if (foundAtFirst) *foundAtFirst = false;
  if (traceRaid) return 0;
  if (traceMft) TracePrintfA("Searching for boot sector at %I64d for %ld sectors\n", int64_t(sector), count);
  if (count <= 0 || sector >= SectorCount()) return 0;
  BootHit hit;
  const int32_t passed = LookForBootSector(*this, sector, count, &hit);
  const bool found = passed < count;
  if (foundAtFirst) *foundAtFirst = found && passed == 0;

  int32_t index = -1;
  bool made = false;
  const uint32_t before = VolumeCount();
  if (!found) {
    // A volume device whose boot sector is gone: its backup at the end.
    if (!IsVolumeDevice() || VolumeCount() != 0 || sector != 0) return 0;
    const uint32_t ss = SectorSize();
    std::unique_ptr<uint8_t[]> b(new (std::nothrow) uint8_t[ss]);
    if (!b || !ReadWaited(*this, int64_t(SectorCount() - 1), ss, b.get()) || memcmp(b.get() + 3, "NTFS    ", 8) != 0)
      return 0;
    index = NTFS::ProcBoot(0, b.get(), this);
    return 1;
  }
  // NTFS volumes are made by the NTFS code; the others by their families.
  if (hit.kind == kVolNtfs)
    index = NTFS::ProcBoot(hit.start, hit.boot.data(), this);
  else
    index = ProcBootCm(hit.start, hit.boot.data(), uint8_t(hit.kind), nullptr, this);
  made = index >= 0 && VolumeCount() > before;
  // A full table takes nothing more: searching on would only read.
  if (IsVolumeDevice() || VolumeCount() >= kMaxDriveVolumes) return 1;

  int result = 1;
  const uint64_t total = SectorCount();
  const uint64_t eight = 8 * uint64_t(MiBSectors(*this));
  const uint64_t regionEnd = sector + uint64_t(count);
  const uint64_t next = uint64_t(hit.foundAt) + 1;
  if ((regionEnd <= eight || sector + eight >= total) && next < regionEnd)
    result += SearchBootSectors(next, int32_t(regionEnd - next), backward, nullptr);

  if (made) {
    const CVol* v = Volume(uint32_t(index));
    const int32_t mib = int32_t(MiBSectors(*this));
    uint64_t vsize = 0;
    ToDriveSectors(v->sizeSectors, v->sectorSize, SectorSize(), &vsize);
    int64_t from = -1;
    int64_t step = mib;
    if (backward) {
      if (v->startSector >= eight) from = int64_t(v->startSector) - 2 * mib;
      step = -mib;
    } else {
      uint64_t end;
      if (!__builtin_add_overflow(v->startSector, vsize + (v->type == kVolNtfs ? 1 : 0), &end) && end < total &&
          total - end >= eight)
        from = int64_t(end);
    }
    if (from >= 0) {
      int n = SearchBootSectors(uint64_t(from), mib, backward, nullptr);
      if (n == 0 && from + step >= 0) n = SearchBootSectors(uint64_t(from + step), mib, backward, nullptr);
      result += n;
    }
  }
  return result;
}

int Drive::ScanPartitions() {
  TRACE_FN("Drive::ScanPartitions");
  if (!partitionTable) partitionTable = std::make_shared<PartitionTable>(this, SectorSize());
  if (!volumeList) volumeList = std::make_shared<VolumeList>();
  PartitionTable& table = *partitionTable;
  if (!(g_appState && g_appState->zfsRaidz)) {
    table.Clear();
    table.ReadPartitionTable(-1, SectorCount());
  }
  const int32_t mib = int32_t(MiBSectors(*this));
  for (uint32_t i = 0; i < table.Count(); ++i) {
    PartitionEntry& e = table.Entry(i);
    const uint64_t start = e.Start(), length = e.Length();
    const uint32_t before = VolumeCount();
    bool atFirst = false;
    int n = SearchBootSectors(start, e.type == kPartitionVmfs ? 2 * mib : mib, false, &atFirst);
    if (e.type == 0 || e.type == 7 || e.type == 0xAF) {
      bool same = false;
      if (atFirst && VolumeCount() > before) {
        const CVol* v = Volume(before);
        // An NTFS volume leaves its last sector to the backup boot sector.
        same = v && (v->type == kVolNtfs || v->type == kVolHfs) && v->startSector == start &&
               (v->sizeSectors == length || v->sizeSectors + 1 == length);
      }
      if (!same && length >= 2) n += SearchBootSectors(start + length - 2, 2, false, nullptr);
    }
    e.searchResult = uint16_t(std::min(n, 0xFFFF));
  }
  auto known = [&](uint64_t s) {
    for (uint32_t i = 0; i < VolumeCount(); ++i)
      if (Volume(i) && Volume(i)->startSector == s) return true;
    return false;
  };
  const uint64_t total = SectorCount();
  for (uint64_t s : {uint64_t(0), uint64_t(mib)})
    if (!known(s)) SearchBootSectors(s, mib, false, nullptr);
  if (!known(409640)) SearchBootSectors(409640, 3, false, nullptr);
  for (uint64_t k = 1; k <= 8; ++k) {
    const uint64_t back = k * uint64_t(mib);
    const uint64_t s = total > back ? total - back : 0;
    if (!known(s)) SearchBootSectors(s, mib, true, nullptr);
  }
  return int(table.Count());
}
