// On-disk layout of HFS+ and HFSX (and the classic HFS master directory
// block, which is only recognised): the volume header and its forks, B-tree
// nodes, catalog and extents-overflow records. Offsets are bytes from the
// structure's start; every number is big-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hfs {

// ---- volume header (1024 bytes into the volume; the alternate one 1024
// bytes before its end) ----
inline constexpr uint32_t kHeaderOffset = 1024;
inline constexpr uint32_t kAlternateFromEnd = 1024;
inline constexpr uint32_t kHeaderBytes = 512;
inline constexpr size_t kHdrSignature = 0;  // "H+" or "HX"
inline constexpr size_t kHdrVersion = 2;    // u16: 4 (H+) or 5 (HX)
inline constexpr size_t kHdrAttributes = 4;
inline constexpr size_t kHdrLastMountedVersion = 8;
inline constexpr size_t kHdrJournalInfoBlock = 12;
inline constexpr size_t kHdrCreateDate = 16;
inline constexpr size_t kHdrModifyDate = 20;
inline constexpr size_t kHdrBackupDate = 24;
inline constexpr size_t kHdrCheckedDate = 28;
inline constexpr size_t kHdrFileCount = 32;
inline constexpr size_t kHdrFolderCount = 36;
inline constexpr size_t kHdrBlockSize = 40;
inline constexpr size_t kHdrTotalBlocks = 44;
inline constexpr size_t kHdrFreeBlocks = 48;
inline constexpr size_t kHdrNextAllocation = 52;
inline constexpr size_t kHdrResourceClump = 56;
inline constexpr size_t kHdrDataClump = 60;
inline constexpr size_t kHdrNextCatalogId = 64;
inline constexpr size_t kHdrAllocationFork = 112;
inline constexpr size_t kHdrExtentsFork = 192;
inline constexpr size_t kHdrCatalogFork = 272;
inline constexpr size_t kHdrAttributesFork = 352;
inline constexpr size_t kHdrStartupFork = 432;
inline constexpr uint16_t kVersionPlus = 4;
inline constexpr uint16_t kVersionX = 5;
inline constexpr uint32_t kMinBlockSize = 512;
inline constexpr uint32_t kMaxBlockSize = 65536;

// ---- fork data (80 bytes) ----
inline constexpr size_t kForkBytes = 80;
inline constexpr size_t kForkLogicalSize = 0;  // u64
inline constexpr size_t kForkClumpSize = 8;
inline constexpr size_t kForkTotalBlocks = 12;
inline constexpr size_t kForkExtentList = 16;  // 8 x (start block, block count)
inline constexpr size_t kExtentBytes = 8;
inline constexpr size_t kExtentsPerRecord = 8;

// ---- classic HFS master directory block (at 1024, 512 bytes) ----
inline constexpr size_t kMdbSignature = 0;  // "BD"
inline constexpr size_t kMdbCreateDate = 2;
inline constexpr size_t kMdbModifyDate = 6;
inline constexpr size_t kMdbAttributes = 10;   // u16
inline constexpr size_t kMdbFileCount = 12;    // u16
inline constexpr size_t kMdbBitmapStart = 14;  // u16
inline constexpr size_t kMdbNextAllocation = 16;
inline constexpr size_t kMdbBlockCount = 18;  // u16
inline constexpr size_t kMdbBlockSize = 20;   // u32
inline constexpr size_t kMdbClumpSize = 24;
inline constexpr size_t kMdbFirstBlock = 28;  // u16
inline constexpr size_t kMdbNextCatalogId = 30;
inline constexpr size_t kMdbFreeBlocks = 34;  // u16
inline constexpr size_t kMdbVolumeName = 36;  // length byte, up to 27 characters
inline constexpr uint16_t kMdbBitmapSector = 3;

// ---- B-tree node descriptor (14 bytes) and header record ----
inline constexpr size_t kNodeForward = 0;
inline constexpr size_t kNodeBackward = 4;
inline constexpr size_t kNodeKind = 8;      // s8
inline constexpr size_t kNodeHeight = 9;    // u8
inline constexpr size_t kNodeRecords = 10;  // u16
inline constexpr size_t kNodeDescriptorBytes = 14;
inline constexpr int8_t kKindLeaf = -1;
inline constexpr int8_t kKindIndex = 0;
inline constexpr int8_t kKindHeader = 1;
inline constexpr int8_t kKindMap = 2;
inline constexpr uint16_t kHeaderNodeRecords = 3;
// The header record, from kNodeDescriptorBytes.
inline constexpr size_t kBtDepth = 0;  // u16
inline constexpr size_t kBtRoot = 2;
inline constexpr size_t kBtLeafRecords = 6;
inline constexpr size_t kBtFirstLeaf = 10;
inline constexpr size_t kBtLastLeaf = 14;
inline constexpr size_t kBtNodeSize = 18;      // u16
inline constexpr size_t kBtMaxKeyLength = 20;  // u16
inline constexpr size_t kBtTotalNodes = 22;
inline constexpr size_t kBtFreeNodes = 26;
inline constexpr size_t kBtClumpSize = 32;
inline constexpr size_t kBtCompareType = 37;  // u8, HFSX catalogs: 0xCF case-folding, 0xBC binary
inline constexpr size_t kBtHeaderRecordBytes = 106;
inline constexpr uint32_t kMinNodeSize = 512;
inline constexpr uint32_t kMaxNodeSize = 32768;

// ---- catalog ----
inline constexpr uint32_t kRootParentId = 1;
inline constexpr uint32_t kRootFolderId = 2;
inline constexpr uint32_t kExtentsFileId = 3;
inline constexpr uint32_t kCatalogFileId = 4;
// Key: key length, parent id, name (u16 length, UTF-16BE characters).
inline constexpr size_t kCatKeyLength = 0;
inline constexpr size_t kCatKeyParent = 2;
inline constexpr size_t kCatKeyNameLength = 6;
inline constexpr size_t kCatKeyName = 8;
inline constexpr uint32_t kCatKeyFixedBytes = 6;  // key length = 2 x name length + 6
inline constexpr uint32_t kMaxNameLength = 255;
// Records after the key (the key length word not counted in it).
inline constexpr uint16_t kRecFolder = 1;
inline constexpr uint16_t kRecFile = 2;
inline constexpr uint16_t kRecFolderThread = 3;
inline constexpr uint16_t kRecFileThread = 4;
inline constexpr uint32_t kFolderRecordBytes = 88;
inline constexpr uint32_t kFileRecordBytes = 248;
inline constexpr uint32_t kThreadFixedBytes = 10;
inline constexpr size_t kRecType = 0;  // u16
inline constexpr size_t kRecFlags = 2;
inline constexpr size_t kRecValence = 4;
inline constexpr size_t kRecId = 8;
inline constexpr size_t kRecCreateDate = 12;
inline constexpr size_t kRecContentModDate = 16;
inline constexpr size_t kRecAttributeModDate = 20;
inline constexpr size_t kRecAccessDate = 24;
inline constexpr size_t kRecBackupDate = 28;
inline constexpr size_t kRecPermissions = 32;  // owner, group, admin and owner flags, mode (u16 at 10)
inline constexpr size_t kRecFileMode = 42;
inline constexpr size_t kRecFinderInfo = 48;
inline constexpr size_t kRecFolderEncoding = 64;
inline constexpr size_t kRecFileEncoding = 80;
inline constexpr size_t kRecDataFork = 88;
inline constexpr size_t kRecResourceFork = 168;
inline constexpr size_t kThreadParent = 4;
inline constexpr size_t kThreadName = 8;

// ---- extents overflow (76-byte records) ----
inline constexpr size_t kExtKeyLength = 0;    // u16, 10
inline constexpr size_t kExtKeyForkType = 2;  // u8: 0 data, 0xFF resource
inline constexpr size_t kExtKeyFileId = 4;
inline constexpr size_t kExtKeyStartBlock = 8;
inline constexpr size_t kExtRecordExtents = 12;
inline constexpr uint16_t kExtKeyLengthValue = 10;
inline constexpr uint32_t kExtRecordBytes = 76;
inline constexpr uint8_t kForkData = 0x00;

// Mac times count seconds from 1904-01-01; FILETIME = (s + this) x 10^7.
inline constexpr uint64_t kMacToFileTimeSeconds = 9561628800ull;

}  // namespace hfs
