// On-disk layout of ReFS 1.x as this reader takes it: the boot sector, the
// 16 KiB metadata pages (superblock, checkpoints, tree pages), their index
// headers and entries, file entries and extent indexes. Offsets are bytes
// from the structure's start; every value is little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace refs {

// ---- boot sector ----
inline constexpr size_t kBootName = 3;  // "ReFS" and four NUL bytes
inline constexpr size_t kBootNameBytes = 8;
inline constexpr size_t kBootSignature = 0x10;          // "FSRS"
inline constexpr size_t kBootTotalSectors = 0x18;       // u64
inline constexpr size_t kBootSectorBytes = 0x20;        // u32: 512 or 4096
inline constexpr size_t kBootSectorsPerCluster = 0x24;  // u32
inline constexpr size_t kBootMajor = 0x28;              // byte
inline constexpr size_t kBootMinor = 0x29;              // byte
inline constexpr uint8_t kReadMajor = 1;
inline constexpr uint32_t kBootBytes = 512;

// ---- pages ----
inline constexpr uint32_t kPageBytes = 16384;
inline constexpr uint32_t kPageShift = 14;
inline constexpr size_t kPageNumber = 0;          // u64
inline constexpr size_t kPageSequence = 8;        // u64
inline constexpr size_t kPageTable = 0x18;        // u64: the directory a page belongs to
inline constexpr size_t kPageIndexOffset = 0x30;  // u32, from byte 0x30
inline constexpr size_t kPageKind = 0x3C;         // u32
inline constexpr uint32_t kKindObjectTable = 0xE030;
inline constexpr uint32_t kKindDirectory = 0x130;
// The cluster sizes taken: from one page to 1 MiB, powers of two.
inline constexpr uint32_t kMinClusterBytes = kPageBytes;
inline constexpr uint32_t kMaxClusterBytes = 0x100000;

// Page references: a page number, then two markers.
inline constexpr uint32_t kPageRefBytes = 16;
inline constexpr uint32_t kPageRefMarker1 = 0x08020000;
inline constexpr uint32_t kPageRefMarker2 = 8;

// The superblock's place, else (page count - 3) and (page count - 2).
inline constexpr uint64_t kSuperBlockPage = 30;
inline constexpr size_t kSuperCheckpoints = 0x50;    // u32 offset of two u64 page numbers
inline constexpr size_t kSuperSelfRef = 0x58;        // u32 offset
inline constexpr size_t kSuperSelfRefLength = 0x5C;  // u32 = 24
inline constexpr uint32_t kSuperCheckpointsMax = 16344;
inline constexpr uint32_t kSuperSelfRefMax = 16360;
inline constexpr uint32_t kSuperSelfRefBytes = 24;
// A checkpoint: its self-reference, and 0x18 bytes on the object table's
// root.
inline constexpr size_t kCheckpointSelfRef = 0x38;  // u32 offset
inline constexpr size_t kCheckpointRootAfterSelf = 0x18;

// ---- index header and entries ----
inline constexpr size_t kIndexFirstEntry = 0;  // u32, from the header
inline constexpr size_t kIndexCount = 20;      // u32: entries not deleted
inline constexpr uint32_t kIndexHeaderBytes = 24;
inline constexpr size_t kEntryLength = 0;        // u32
inline constexpr size_t kEntryFlags = 4;         // byte: 0x10 valid
inline constexpr size_t kEntryKeyLength = 6;     // u16
inline constexpr size_t kEntryFlags2 = 8;        // byte: 0x04 deleted
inline constexpr size_t kEntryValueOffset = 10;  // u16, from the entry
inline constexpr size_t kEntryValueLength = 12;  // u16
inline constexpr size_t kEntryKey = 16;          // the key: its type (u32), then a name
inline constexpr size_t kEntryName = 20;         // UTF-16, key length - 4 bytes
inline constexpr uint32_t kEntryMinBytes = 20;
inline constexpr uint8_t kEntryValid = 0x10;
inline constexpr uint8_t kEntryDeleted = 0x04;

// Key types.
inline constexpr uint32_t kKeyLabel = 0x510;
inline constexpr uint32_t kKeyFile = 0x10030;
inline constexpr uint32_t kKeyDirectory = 0x20030;
// A value of this length is a page reference to a child page.
inline constexpr uint32_t kChildValueBytes = 24;

// ---- file entries (offsets from the value's start) ----
inline constexpr size_t kFileHeaderLength = 0;  // u32 = 168
inline constexpr uint32_t kFileHeaderBytes = 168;
inline constexpr size_t kFileTime1 = 40;     // u64 FILETIME
inline constexpr size_t kFileTime2 = 48;     // u64 FILETIME
inline constexpr size_t kFileSize = 104;     // u64
inline constexpr size_t kFileMark168 = 168;  // u32 = 32
inline constexpr uint32_t kFileMark168Value = 32;
inline constexpr size_t kFileFlags = 204;  // byte, bit 0x10
inline constexpr uint8_t kFileFlagsBit = 0x10;
inline constexpr size_t kFileB = 210;          // u16
inline constexpr size_t kFileC = 212;          // u16
inline constexpr size_t kFileBase = 200;       // b counts from here
inline constexpr uint32_t kFileMarkAtB = 136;  // u32 at base + b, and the distance to the root
inline constexpr uint32_t kFileRootMark = 32;  // u32 at the root
inline constexpr uint32_t kFileValueMin = 216;

// ---- extent indexes ----
inline constexpr uint32_t kExtentValueBytes = 32;
inline constexpr size_t kExtentLogical = 0;       // u64, ReFS clusters
inline constexpr size_t kExtentCount = 8;         // u64
inline constexpr size_t kExtentPhysical = 16;     // u64
inline constexpr uint32_t kExtentChildRoot = 56;  // the root of an extent index's child page

inline constexpr uint32_t kRootTable = 0x600;

}  // namespace refs
