// On-disk layout of FAT12/16/32: the boot sector, the allocation tables and
// the 32-byte directory entry. Offsets are bytes from the structure's start;
// every value is little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fat {

// ---- boot sector ----
inline constexpr size_t kBootJump = 0;             // EB xx 90 or E9 xx xx
inline constexpr size_t kBootBytesPerSector = 11;  // u16
inline constexpr size_t kBootSectorsPerCluster = 13;
inline constexpr size_t kBootReservedSectors = 14;  // u16
inline constexpr size_t kBootFatCount = 16;
inline constexpr size_t kBootRootEntries = 17;  // u16, 0 on FAT32
inline constexpr size_t kBootTotal16 = 19;      // u16, 0 when the 32-bit total holds it
inline constexpr size_t kBootMedia = 21;
inline constexpr size_t kBootFatSize16 = 22;  // u16, 0 on FAT32
inline constexpr size_t kBootTotal32 = 32;    // u32
inline constexpr size_t kBootFatSize32 = 36;  // u32, FAT32 only
inline constexpr size_t kBootRootCluster = 44;  // u32, FAT32 only
inline constexpr size_t kBootTypeText = 54;     // "FAT16   ", "FAT32   " (FAT12/16 at 54, FAT32 at 82)
inline constexpr size_t kBootSignature = 510;   // 55 AA
// A FAT32 volume keeps a backup of its boot sector this many sectors after
// the first one.
inline constexpr int64_t kFat32BackupBootSector = 6;

// ---- allocation tables ----
inline constexpr uint32_t kFat32EntryMask = 0x0FFFFFFF;
// First value of each entry width that is no cluster number (the bad mark;
// reserved and end marks above it). exFAT's 32-bit entries are unmasked
// and end a chain only at kExFatEndMark.
inline constexpr uint32_t kFat12Marks = 0xFF7;
inline constexpr uint32_t kFat16Marks = 0xFFF7;
inline constexpr uint32_t kFat32Marks = 0x0FFFFFF7;
inline constexpr uint32_t kExFatMarks = 0xFFFFFFF7;
inline constexpr uint32_t kExFatEndMark = 0xFFFFFFFF;
// Below this many clusters a FAT12/16 volume has 12-bit entries.
inline constexpr uint64_t kFat12MaxClusters = 4085;

// ---- directory entry ----
inline constexpr size_t kDirEntryBytes = 32;
inline constexpr size_t kDirAttributes = 11;
inline constexpr size_t kDirFirstClusterHigh = 20;  // u16
inline constexpr size_t kDirFirstClusterLow = 26;   // u16
inline constexpr uint8_t kAttrLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrLongName = 0x0F;
inline constexpr size_t kDirSize = 28;  // u32
inline constexpr uint8_t kDirDeletedMark = 0xE5;

// ---- long-name piece (attribute 0x0F) ----
inline constexpr size_t kLfnOrder = 0;       // bits 0-5 piece number, bit 6 last piece; 0xE5 deleted
inline constexpr uint8_t kLfnLastPiece = 0x40;
inline constexpr uint8_t kLfnNumberMask = 0x3F;
inline constexpr int kLfnMaxPieces = 20;
inline constexpr size_t kLfnType = 12;       // 0
inline constexpr size_t kLfnChecksum = 13;
inline constexpr size_t kLfnZeroCluster = 26;  // u16, 0
// The 13 UTF-16 characters of a piece: 5 at 1, 6 at 14, 2 at 28.
inline constexpr size_t kLfnCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
inline constexpr size_t kLongNameMax = 255;

}  // namespace fat
