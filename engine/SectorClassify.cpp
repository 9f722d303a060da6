#include "engine/SectorClassify.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "volumes/VolumeFamily.h"

namespace {

// The kinds that belong to no file system: dynamic-disk records, VHDX
// structures and the RAID scan's marks.
bool IsVblk(const uint8_t* s) { return memcmp(s, "VBLK", 4) == 0 && memcmp(s + 128, "VBLK", 4) == 0; }

bool IsVhdxHeader(const uint8_t* s) {
  // Log version 0 and version 1 follow the three GUIDs.
  return memcmp(s, "head", 4) == 0 && Le16(s + 64) == 0 && Le16(s + 66) == 1;
}

bool IsOwnKind(int kind, const uint8_t* s) {
  switch (kind) {
    case kSectVblk:
      return IsVblk(s);
    case kSectMark40:
      return Le32(s) == 0x10C00001;
    case kSectMark42:
      return Le32(s) >= 0x10C00002 && Le32(s) <= 0x10C00005;
    case kSectVhdxFile:
      return memcmp(s, "vhdxfile", 8) == 0;
    case kSectVhdxHeader:
      return IsVhdxHeader(s);
    default:
      return false;
  }
}

bool IsKind(int kind, const uint8_t* s, const ClassifyContext* c) {
  if (const SectorTest test = FindSectorTest(kind)) return test(s, c);
  return IsOwnKind(kind, s);
}

// The order the kinds are tried in: the first that fits is the sector's.
constexpr int kOrder[] = {kSectNtfsRecord,  kSectNtfsBoot,       kSectFatBoot,    kSectExFatBoot, kSectVblk,
                          kSectExtSuper,    kSectXfsSuper,       kSectXfsAgHeader, kSectHfsMdb,    kSectHfsPlus,
                          kSectFatDir,      kSectUfsSuper,       kSectRcrd,       kSectXfsInode,  kSectMark40,
                          kSectMark42,      kSectVmfsDescriptor, kSectVmfsHeader, kSectRefs,      kSectUnixDir,
                          kSectVhdxFile,    kSectVhdxHeader,     kSectZfsUberblock, kSectFat32Table, kSectFat16Table};

}  // namespace

int ClassifySector(const uint8_t* sector, uint8_t* /*detail*/, ClassifyContext* context) {
  if (!sector) return kSectNone;
  int kind = kSectNone;
  for (int k : kOrder) {
    if (IsKind(k, sector, context)) {
      kind = k;
      break;
    }
  }
  // A directory block wins over whatever its first bytes looked like.
  if (kind != kSectUnixDir && IsKind(kSectUnixDir, sector, context)) kind = kSectUnixDir;
  if (context) {
    if (kind == kSectFat32Table) context->lastFat32Table = context->sector;
    if (kind == kSectFat16Table) context->lastFat16Table = context->sector;
  }
  return kind;
}
