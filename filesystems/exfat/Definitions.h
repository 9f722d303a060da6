// On-disk layout of exFAT: the boot sector and the 32-byte directory
// entries. Offsets are bytes from the structure's start; every value is
// little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace exfat {

// ---- boot sector ----
inline constexpr uint8_t kBootJump[3] = {0xEB, 0x76, 0x90};
inline constexpr size_t kBootName = 3;             // "EXFAT   "
inline constexpr size_t kBootNameBytes = 8;
inline constexpr size_t kBootPartitionOffset = 64;  // u64, sectors
inline constexpr size_t kBootVolumeLength = 72;     // u64, sectors
inline constexpr size_t kBootFatOffset = 80;        // u32, sectors
inline constexpr size_t kBootFatLength = 84;        // u32, sectors
inline constexpr size_t kBootHeapOffset = 88;       // u32, sectors
inline constexpr size_t kBootClusterCount = 92;     // u32
inline constexpr size_t kBootRootCluster = 96;      // u32
inline constexpr size_t kBootSectorShift = 108;
inline constexpr size_t kBootClusterShift = 109;    // sectors per cluster, log2
inline constexpr size_t kBootFatCount = 110;
// The bytes two copies of a boot sector must share (the fields above and
// what precedes them).
inline constexpr size_t kBootComparedBytes = 112;
// The backup boot region starts this many sectors after the main one.
inline constexpr int64_t kBackupBootSector = 12;
inline constexpr uint32_t kMaxShiftSum = 25;  // sector + cluster shift: 32 MiB clusters
inline constexpr uint32_t kMinSectorShift = 9;
inline constexpr uint32_t kMaxSectorShift = 12;
inline constexpr uint32_t kFirstCluster = 2;

// ---- allocation table ----
// The first table sector: media F8, then FF FF FF (entry 0), then the end
// mark of entry 1.
inline constexpr uint8_t kFatMedia = 0xF8;
inline constexpr uint32_t kFatEndOfChain = 0xFFFFFFFF;
inline constexpr uint32_t kFatBad = 0xFFFFFFF7;

// ---- directory entries ----
inline constexpr size_t kEntryBytes = 32;
inline constexpr uint8_t kEntryInUse = 0x80;  // the type byte's in-use bit
inline constexpr uint8_t kTypeFile = 0x85;
inline constexpr uint8_t kTypeStream = 0xC0;
inline constexpr uint8_t kTypeName = 0xC1;
inline constexpr uint8_t kTypeBitmap = 0x81;
inline constexpr uint8_t kTypeUpcase = 0x82;
inline constexpr uint8_t kTypeLabel = 0x83;
inline constexpr uint8_t kTypeFileDeleted = 0x05;
inline constexpr uint8_t kTypeStreamDeleted = 0x40;
inline constexpr uint8_t kTypeNameDeleted = 0x41;

// File entry (0x85).
inline constexpr size_t kFileSecondaryCount = 1;
inline constexpr size_t kFileAttributes = 4;   // u16
inline constexpr size_t kFileCreateTime = 8;   // u32: time low word, date high word
inline constexpr size_t kFileModifyTime = 12;  // u32
inline constexpr size_t kFileAccessTime = 16;  // u32
inline constexpr size_t kFileCreateTenMs = 20;
inline constexpr size_t kFileModifyTenMs = 21;
inline constexpr size_t kFileCreateUtc = 22;
inline constexpr size_t kFileModifyUtc = 23;
inline constexpr size_t kFileAccessUtc = 24;
inline constexpr uint16_t kAttrDirectory = 0x10;
inline constexpr uint8_t kMinSecondaries = 2;
inline constexpr uint8_t kMaxSecondaries = 18;
inline constexpr uint8_t kTenMsLimit = 200;

// Stream extension (0xC0).
inline constexpr size_t kStreamFlags = 1;       // general secondary flags
inline constexpr size_t kStreamNameLength = 3;  // characters
inline constexpr size_t kStreamFirstCluster = 20;  // u32
inline constexpr size_t kStreamDataLength = 24;    // u64
inline constexpr uint8_t kFlagNoFatChain = 0x02;

// File name (0xC1): 15 UTF-16 characters.
inline constexpr size_t kNameChars = 2;
inline constexpr size_t kNameCharsPerEntry = 15;
inline constexpr size_t kMaxNameLength = 255;

// Allocation bitmap (0x81), up-case table (0x82).
inline constexpr size_t kBitmapFlags = 1;  // bit 0: the bitmap's index
inline constexpr size_t kUpcaseChecksum = 4;  // u32
inline constexpr size_t kBitmapFirstCluster = 20;  // u32, both
inline constexpr size_t kBitmapLength = 24;        // u64, both

// Volume label (0x83).
inline constexpr size_t kLabelLength = 1;  // characters
inline constexpr size_t kLabelChars = 2;
inline constexpr size_t kMaxLabelLength = 11;

}  // namespace exfat
