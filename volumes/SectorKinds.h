// The kinds of sector the sector classifier tells apart (boot sectors and
// superblocks, NTFS FILE records, FAT tables and folders, structures of
// other formats), the context a run of classifications shares, and the
// test a family registers for each kind it knows (VolumeFamily.h).
#pragma once
#include <array>
#include <cstdint>

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
inline constexpr int kSectFatEntries = 21;  // FAT folder entries, not a folder's first sector
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
// Kinds are below this.
inline constexpr int kSectKindLimit = 64;

// What a run of ClassifySector calls over consecutive sectors shares: the
// sector being classified and the last sector of each kind that asks to be
// remembered (the two sectors after a FAT table's start count as table too).
// A test looks back at most kRememberedReach sectors: the Long Scan relies
// on it to pass over, without testing them again, the sectors that no test
// took on their own.
inline constexpr int64_t kRememberedReach = 2;
struct ClassifyContext {
  ClassifyContext() { lastSector.fill(INT64_MIN); }
  int64_t sector = 0;
  std::array<int64_t, kSectKindLimit> lastSector;
  // HFS master directory blocks are only looked for while the HFS
  // diagnostics option is on.
  bool hfsDiagnostics = false;
};

// Whether a sector (at least 512 bytes) is of the kind; the context may be
// null (the sector stands alone).
using SectorTest = bool (*)(const uint8_t* sector, const ClassifyContext* context);
