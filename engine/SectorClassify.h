// What a single sector holds, as the sector pass, the volume search, the
// RAID scan and the segment profile see it: boot sectors and superblocks,
// NTFS FILE records, FAT tables and directories, and a few structures of
// other formats. Also where an NTFS boot sector found away from its usual
// places puts its volume.
#pragma once
#include <cstdint>

class Drive;

// Sector kinds.
inline constexpr int kSectNone = 255;
inline constexpr int kSectExFatBoot = 3;
inline constexpr int kSectNtfsRecord = 4;
inline constexpr int kSectNtfsBoot = 6;
inline constexpr int kSectFatBoot = 7;
inline constexpr int kSectExtSuper = 8;
inline constexpr int kSectUfsSuper = 9;
inline constexpr int kSectXfsSuper = 11;
inline constexpr int kSectXfsInode = 12;
inline constexpr int kSectXfsAgHeader = 13;
inline constexpr int kSectHfsMdb = 16;
inline constexpr int kSectFat32Table = 17;
inline constexpr int kSectFatDir = 19;
inline constexpr int kSectFat16Table = 20;
inline constexpr int kSectHfsPlus = 22;
inline constexpr int kSectVblk = 24;
inline constexpr int kSectRcrd = 28;
inline constexpr int kSectUnixDir = 31;
inline constexpr int kSectVmfsHeader = 32;
inline constexpr int kSectVmfsDescriptor = 33;
inline constexpr int kSectRefs = 34;
inline constexpr int kSectVhdxFile = 35;
inline constexpr int kSectVhdxHeader = 36;
inline constexpr int kSectZfsUberblock = 37;
// Two kinds known only by their first 32-bit value, for the RAID scan.
inline constexpr int kSectMark40 = 40;
inline constexpr int kSectMark42 = 42;

// What a run of ClassifySector calls over consecutive sectors shares: the
// sector being classified and the last FAT table starts, so that the two
// sectors after a FAT start count as table too.
struct ClassifyContext {
  int64_t sector = 0;
  int64_t lastFat32Table = INT64_MIN;
  int64_t lastFat16Table = INT64_MIN;
  // HFS master directory blocks are only looked for while the HFS
  // diagnostics option is on.
  bool hfsDiagnostics = false;
};

// The kind of a 512-byte (or larger) sector; kSectNone when it is none of
// them. `detail` (may be null) receives nothing yet: no caller needs more
// than the kind. Without a context the sector stands alone.
int ClassifySector(const uint8_t* sector, uint8_t* detail = nullptr, ClassifyContext* context = nullptr);

// The drive sector where the volume of the NTFS boot sector found at
// `sector` starts: the sector itself when the boot sector is a primary copy,
// `sector` minus the volume's size when it is the backup copy at the end.
// Both readings are weighed by what the drive holds at the other copy's
// place and at the $MFT; a reading whose volume would not lie inside the
// drive is never taken. -1 when neither does (or the sector is no usable
// NTFS boot sector).
int64_t ResolveNtfsBootCopy(int64_t sector, const uint8_t* boot, Drive* drive);
