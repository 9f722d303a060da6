// On-disk layout of VMFS 3 and 5: the volume manager's device header, the
// file-system descriptor (the superblock), the resource files' headers,
// file descriptors, block addresses and directory entries. Offsets are
// bytes from the structure's start; every value is little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vmfs {

// ---- the volume and its areas (bytes from the volume's start) ----
inline constexpr uint64_t kHeaderAt = 0x100000;  // the device header
inline constexpr uint64_t kAreaAt = 0x1100000;   // the file system
inline constexpr uint64_t kSuperBlockInArea = 0x200000;
inline constexpr uint64_t kSuperBlockAt = kAreaAt + kSuperBlockInArea;  // 19 MiB
inline constexpr uint32_t kSuperBlockBytes = 4096;
// The descriptor cluster's first block: the first block at or after 4 MiB
// into the area.
inline constexpr uint64_t kFdcAfter = 0x400000;

// ---- device header ----
inline constexpr uint32_t kHeaderMagic = 0xC001D00D;
inline constexpr size_t kHeaderVersion = 4;    // byte
inline constexpr size_t kHeaderSizeLow = 95;   // u32: bits 8-39 of the byte size
inline constexpr size_t kHeaderSizeHigh = 99;  // u16: bits 40-55
inline constexpr uint8_t kVersionSix = 6;      // VMFS 6's volume manager

// ---- file-system descriptor ----
inline constexpr uint32_t kSuperMagic = 0x2FABF15E;
inline constexpr size_t kSuperMajorVersion = 4;  // u32
inline constexpr size_t kSuperLabel = 29;
inline constexpr size_t kSuperLabelBytes = 128;
inline constexpr size_t kSuperBlockSize = 161;  // u32, unaligned
// VMFS 6 writes its descriptor with a major version from this value on.
inline constexpr uint32_t kSixMajorVersion = 24;
inline constexpr uint32_t kMinBlockSize = 0x100000;
inline constexpr uint32_t kMaxBlockSize = 0x800000;
inline constexpr uint32_t kClusterBytes = 4096;  // the unit of a file's runs

// ---- resource files (.fdc.sf, .pbc.sf, .sbc.sf) ----
inline constexpr size_t kResPerCluster = 0;        // u32 R
inline constexpr size_t kResClustersPerGroup = 4;  // u32 C
inline constexpr size_t kResHeaderSize = 8;        // u32 H
inline constexpr size_t kResSize = 12;             // u32 S
inline constexpr size_t kResGroupSize = 16;        // u32 G
inline constexpr size_t kResTotal = 20;            // u32 T
inline constexpr size_t kResGroups = 24;           // u32 N
inline constexpr size_t kResHeaderBytes = 28;
inline constexpr uint32_t kResClusterHeaderBytes = 1024;  // per cluster, at each group's start
inline constexpr uint32_t kResSizeUnit = 512;
// A cluster of resources is read whole: never more than this.
inline constexpr uint64_t kMaxResClusterBytes = 64u << 20;
// A sub-block file with more resources per cluster than this is VMFS 5's
// (two more item bits in a sub-block address).
inline constexpr uint32_t kVmfs5SubBlocksPerCluster = 15;

// ---- file descriptors ----
inline constexpr uint32_t kFdMagic = 0x10C00001;
inline constexpr uint32_t kFdBytes = 2048;
inline constexpr size_t kFdType = 524;        // u32
inline constexpr size_t kFdSize = 532;        // u64
inline constexpr size_t kFdModifyTime = 556;  // u32, Unix seconds
inline constexpr size_t kFdChangeTime = 560;  // u32
inline constexpr size_t kFdMode = 580;        // u32, addressing mode
inline constexpr size_t kFdWord584 = 584;     // u32, kept
inline constexpr size_t kFdAddresses = 1024;  // 256 x u32, or the data itself
inline constexpr uint32_t kFdAddressCount = 256;
inline constexpr uint32_t kFdInlineBytes = 1024;

// Descriptor (and directory entry) types.
inline constexpr uint32_t kTypeDirectory = 2;
inline constexpr uint32_t kTypeFile = 3;
inline constexpr uint32_t kTypeSymlink = 4;
inline constexpr uint32_t kTypeSystem = 5;
inline constexpr uint32_t kTypeRdm = 6;  // a raw device mapping: no data here

// Addressing modes.
inline constexpr uint32_t kModeFileBlocks = 1;
inline constexpr uint32_t kModeSubBlocks = 2;
inline constexpr uint32_t kModePointerBlocks = 3;
inline constexpr uint32_t kModeDoublePointers = 4304;
inline constexpr uint32_t kModeInline = 4305;

// ---- addresses (u32; the low 3 bits give the kind) ----
inline constexpr uint32_t kAddrKindMask = 7;
inline constexpr uint32_t kAddrFileBlock = 1;
inline constexpr uint32_t kAddrSubBlock = 2;
inline constexpr uint32_t kAddrPointerBlock = 3;
inline constexpr uint32_t kAddrDescriptor = 4;
inline constexpr uint32_t kAddrToBeZeroed = 0x20;  // a file block that reads as zeros
inline constexpr uint32_t kPointerBlockAddresses = 1024;
inline constexpr uint32_t kRootAddress = 4;

// ---- directory entries ----
inline constexpr uint32_t kDirEntryBytes = 140;
inline constexpr size_t kDirType = 0;     // u32, 2..6
inline constexpr size_t kDirAddress = 4;  // u32, a descriptor address
inline constexpr size_t kDirName = 12;    // NUL-terminated inside the entry
inline constexpr uint32_t kDirFirstType = 2;
inline constexpr uint32_t kDirLastType = 6;
inline constexpr uint32_t kDirSkippedType = 6;

// Unix seconds to FILETIME.
inline constexpr uint64_t kUnixEpochSeconds = 11644473600ull;

// Runs that start at this cluster are not extended.
inline constexpr uint64_t kRunExtendLimit = 0x4000000;

}  // namespace vmfs
