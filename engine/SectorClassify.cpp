#include "engine/SectorClassify.h"

#include <cstring>
#include <memory>
#include <new>

#include "filesystems/Recognisers.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/RunList.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

bool IsNtfsBoot(const uint8_t* s) { return s[0] == 0xEB && memcmp(s + 3, "NTFS    ", 8) == 0 && s[11] == 0; }

bool IsFatBoot(const uint8_t* s) {
  return s[510] == 0x55 && s[511] == 0xAA && (s[0] == 0xEB || s[0] == 0xE9) && s[11] == 0 &&
         IsFATBootSector(s, nullptr, nullptr, nullptr) != 0;
}

bool IsExFatBoot(const uint8_t* s) { return s[0] == 0xEB && s[1] == 0x76 && s[2] == 0x90 && memcmp(s + 3, "EXFAT", 5) == 0; }

bool IsExtSuper(const uint8_t* s) {
  const uint16_t inodeSize = Le16(s + 88);
  return s[56] == 0x53 && s[57] == 0xEF && (inodeSize == 128 || inodeSize == 256) && IsExtSuperBlock(s);
}

bool IsVhdxHeader(const uint8_t* s) {
  // Log version 0 and version 1 follow the three GUIDs.
  return memcmp(s, "head", 4) == 0 && Le16(s + 64) == 0 && Le16(s + 66) == 1;
}

bool IsUberblock(const uint8_t* s) {
  const uint64_t v = Le64(s);
  return v == 0x00BAB10Cull || v == 0x0CB1BA0000000000ull;
}

// First FAT32 table sector: media entry and end mark, or a run of chained
// entries 1, 2, 3, 4.
bool LooksFat32Start(const uint8_t* s) {
  if ((Le32(s) & 0x0FFFFFFF) == 0x0FFFFFF8 && (Le32(s + 4) & 0x0FFFFFFF) == 0x0FFFFFFF) return true;
  return (s[0] & 0x7F) == 1 && (s[4] & 0x7F) == 2 && (s[8] & 0x7F) == 3 && (s[12] & 0x7F) == 4;
}

bool LooksFat16Start(const uint8_t* s) {
  if ((Le32(s) & 0x3FFFFFFF) == 0x3FFFFFF8) return true;
  return s[0] == 1 && s[2] == 2 && s[4] == 3 && s[6] == 4;
}

bool Within2After(const ClassifyContext* c, int64_t last) {
  return c && last != INT64_MIN && c->sector > last && c->sector - last <= 2;
}

int ClassifyFirst(const uint8_t* s, ClassifyContext* c) {
  if (memcmp(s, "FILE", 4) == 0 && CheckFILERecord(s)) return kSectNtfsRecord;
  if (IsNtfsBoot(s)) return kSectNtfsBoot;
  if (IsFatBoot(s)) return kSectFatBoot;
  if (IsExFatBoot(s)) return kSectExFatBoot;
  if (memcmp(s, "VBLK", 4) == 0 && memcmp(s + 128, "VBLK", 4) == 0) return kSectVblk;
  if (IsExtSuper(s)) return kSectExtSuper;
  if (memcmp(s, "XFSB", 4) == 0 && IsXfsSuperBlock(s)) return kSectXfsSuper;
  if (memcmp(s, "XAGF", 4) == 0 && IsXfsAgHeader(s)) return kSectXfsAgHeader;
  if (c && c->hfsDiagnostics && s[0] == 'B' && s[1] == 'D' && s[14] == 0 && s[15] == 3 &&
      IsHfsMasterDirectoryBlock(s))
    return kSectHfsMdb;
  if ((memcmp(s, "H+\0\4", 4) == 0 || memcmp(s, "HX\0\5", 4) == 0) && IsHfsPlusHeader(s)) return kSectHfsPlus;
  if (memcmp(s, "\x2E\x20\x20\x20", 4) == 0 && IsFATDotDirSector(s) != 0) return kSectFatDir;
  if (IsUfsSuperBlock(s)) return kSectUfsSuper;
  if (memcmp(s, "RCRD", 4) == 0) return kSectRcrd;
  if (s[0] == 'I' && s[1] == 'N' && s[256] == 'I' && s[257] == 'N' && IsXfsInode(s)) return kSectXfsInode;
  const uint32_t first = Le32(s);
  if (first == 0x10C00001) return kSectMark40;
  if (first >= 0x10C00002 && first <= 0x10C00005) return kSectMark42;
  if (first == 0x2FABF15E) return kSectVmfsDescriptor;
  if (first == 0xC001D00D) return kSectVmfsHeader;
  if (IsRefsSector(s)) return kSectRefs;
  if (Le16(s + 8) == 0x2E && Le16(s + 20) == 0x2E2E && IsUnixDirBlock(s)) return kSectUnixDir;
  if (memcmp(s, "vhdxfile", 8) == 0) return kSectVhdxFile;
  if (IsVhdxHeader(s)) return kSectVhdxHeader;
  if (IsUberblock(s)) return kSectZfsUberblock;
  if ((LooksFat32Start(s) || Within2After(c, c ? c->lastFat32Table : INT64_MIN)) &&
      CheckFATSector(s, 3, nullptr, nullptr, 0) != -1)
    return kSectFat32Table;
  if ((LooksFat16Start(s) || Within2After(c, c ? c->lastFat16Table : INT64_MIN)) &&
      CheckFATSector(s, 2, nullptr, nullptr, 0) != -1)
    return kSectFat16Table;
  return kSectNone;
}

}  // namespace

int ClassifySector(const uint8_t* sector, uint8_t* /*detail*/, ClassifyContext* context) {
  if (!sector) return kSectNone;
  int kind = ClassifyFirst(sector, context);
  // A directory block wins over whatever its first bytes looked like.
  if (kind != kSectUnixDir && Le16(sector + 8) == 0x2E && Le16(sector + 20) == 0x2E2E && IsUnixDirBlock(sector))
    kind = kSectUnixDir;
  if (context) {
    if (kind == kSectFat32Table) context->lastFat32Table = context->sector;
    if (kind == kSectFat16Table) context->lastFat16Table = context->sector;
  }
  return kind;
}

namespace {

// Reads `bytes` at drive sector `at` into `out`; false when outside the
// drive or unreadable.
bool ReadAt(Drive* drive, int64_t at, uint32_t bytes, uint8_t* out) {
  if (at < 0 || uint64_t(at) >= drive->SectorCount()) return false;
  try {
    return drive->ReadSectors(at, bytes, 512, out, true) != nullptr;
  } catch (const DvCodeError&) {
    return false;
  }
}

// Whether the FILE record at drive sector `at` has a $DATA whose first
// cluster is `cluster`.
bool RecordStartsAt(Drive* drive, NTFSVol* vol, int64_t at, uint64_t cluster) {
  const uint32_t ss = drive->SectorSize();
  const uint32_t bytes = (vol->recordSize + ss - 1) / ss * ss;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[bytes]);
  if (!buf || !ReadAt(drive, at, bytes, buf.get()) || !CheckFILERecord(buf.get())) return false;
  inode node(buf.get(), vol);
  if (node.parseEntry() != 0) return false;
  const uint8_t* runs = node.RunBuffer();
  if (!runs) return false;
  int64_t firstDelta = 0;
  if (GetClusterCount(runs, &firstDelta) <= 0) return false;
  return firstDelta >= 0 && uint64_t(firstDelta) == cluster;
}

}  // namespace

int64_t ResolveNtfsBootCopy(int64_t sector, const uint8_t* boot, Drive* drive) {
  TRACE_FN("ResolveNtfsBootCopy");
  if (!boot || !drive || sector < 0) return -1;
  NTFSVol vol;
  if (!NTFS::BootParse(&vol, boot)) return -1;
  const uint32_t ds = drive->SectorSize();
  const uint64_t driveSectors = drive->SectorCount();
  // The volume's own sectors in drive sectors (checked).
  auto toDrive = [&](uint64_t volSectors, uint64_t* out) {
    if (vol.sectorSize == ds) {
      *out = volSectors;
      return true;
    }
    uint64_t bytes;
    if (__builtin_mul_overflow(volSectors, uint64_t(vol.sectorSize), &bytes)) return false;
    *out = bytes / ds;
    return true;
  };
  uint64_t size = 0, mftAt = 0, mirrorAt = 0;
  if (!toDrive(vol.totalSectors, &size) || !toDrive(uint64_t(vol.mftSector), &mftAt) ||
      !toDrive(uint64_t(vol.mirrorSector), &mirrorAt))
    return -1;
  // A reading is possible when its whole volume lies inside the drive.
  auto inside = [&](int64_t start) {
    uint64_t end;
    return start >= 0 && !__builtin_add_overflow(uint64_t(start), size, &end) && end <= driveSectors;
  };
  const int64_t primary = sector;
  const int64_t backup = uint64_t(sector) >= size ? int64_t(uint64_t(sector) - size) : -1;
  const bool primaryOk = size <= uint64_t(INT64_MAX) && inside(primary);
  const bool backupOk = backup >= 0 && inside(backup);

  std::unique_ptr<uint8_t[]> other(new (std::nothrow) uint8_t[ds]);
  if (!other) return primaryOk ? primary : backupOk ? backup : -1;
  auto score = [&](int64_t start, int64_t otherCopy) {
    int points = 0;
    if (ReadAt(drive, otherCopy, ds, other.get()) && memcmp(other.get(), boot, 72) == 0) ++points;
    if (RecordStartsAt(drive, &vol, start + int64_t(mftAt), vol.mftCluster) ||
        RecordStartsAt(drive, &vol, start + int64_t(mirrorAt), vol.mftCluster))
      ++points;
    return points;
  };
  if (primaryOk && score(primary, primary + int64_t(size)) == 2) return primary;
  if (backupOk && score(backup, backup) == 2) return backup;
  if (backupOk) return backup;
  return primaryOk ? primary : -1;
}
