// UFS1 and UFS2 (the Berkeley fast file system) on-disk layout: every
// offset and constant the UFS reader uses. Fields are little-endian; a
// volume written big-endian is recognised and named, not read.
#pragma once
#include <cstdint>

namespace ufs {

// ---- superblock ----
// Where a UFS2 superblock may lie (its own location field says which); a
// UFS1 superblock lies 8 KiB in.
inline constexpr uint32_t kSuperBlockUfs1 = 8192;
inline constexpr uint32_t kSuperBlockUfs2 = 65536;
inline constexpr uint32_t kSuperBlockPiggy = 262144;
// The fields read lie in the first 1376 bytes; UFS2's reach past 1024.
inline constexpr uint32_t kSuperBlockBytes = 2048;
inline constexpr uint32_t kSbFirstField = 0;
inline constexpr uint32_t kSbInodeBlocks = 16;  // inode table's offset in a group, fragments
inline constexpr uint32_t kSbCgOffset = 24;     // UFS1 stagger
inline constexpr uint32_t kSbCgMask = 28;
inline constexpr uint32_t kSbOldSize = 36;  // UFS1 total fragments
inline constexpr uint32_t kSbGroups = 44;
inline constexpr uint32_t kSbBlockSize = 48;
inline constexpr uint32_t kSbFragmentSize = 52;
inline constexpr uint32_t kSbFragsPerBlock = 56;
inline constexpr uint32_t kSbBlockMask = 72;
inline constexpr uint32_t kSbFragmentMask = 76;
inline constexpr uint32_t kSbBlockShift = 80;
inline constexpr uint32_t kSbFragmentShift = 84;
inline constexpr uint32_t kSbInodesPerBlock = 120;
inline constexpr uint32_t kSbInodesPerGroup = 184;
inline constexpr uint32_t kSbFragsPerGroup = 188;
inline constexpr uint32_t kSbOldFreeInodes = 200;
inline constexpr uint32_t kSbVolumeName = 680;
inline constexpr uint32_t kSbVolumeNameBytes = 32;
inline constexpr uint32_t kSbLocation = 1000;    // 64-bit: the superblock's own byte offset (UFS2)
inline constexpr uint32_t kSbFreeInodes = 1024;  // 64-bit (UFS2)
inline constexpr uint32_t kSbSize = 1080;        // 64-bit total fragments (UFS2)
inline constexpr uint32_t kSbMagic = 1372;
inline constexpr uint32_t kMagicUfs1 = 0x00011954;
inline constexpr uint32_t kMagicUfs2 = 0x19540119;

inline constexpr uint32_t kMinBlock = 512;
inline constexpr uint32_t kMaxBlock = 1048576;
inline constexpr uint32_t kMaxShift = 24;

// ---- inodes ----
inline constexpr uint32_t kInode1Bytes = 128;
inline constexpr uint32_t kInode2Bytes = 256;
inline constexpr uint32_t kInodeMode = 0;   // 16-bit
inline constexpr uint32_t kInodeLinks = 2;  // 16-bit
inline constexpr uint32_t kInode1Size = 8;  // 64-bit
inline constexpr uint32_t kInode1ModifyTime = 24;
inline constexpr uint32_t kInode1Blocks = 40;  // 12 direct, single, double, triple: 32-bit
inline constexpr uint32_t kInode1BlockBytes = 60;
inline constexpr uint32_t kInode2Size = 16;
inline constexpr uint32_t kInode2ModifyTime = 40;  // 64-bit seconds
inline constexpr uint32_t kInode2Blocks = 112;     // 64-bit pointers
inline constexpr uint32_t kInode2BlockBytes = 120;
inline constexpr uint32_t kDirectBlocks = 12;

inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeRegular = 0x8000;
inline constexpr uint16_t kModeSymlink = 0xA000;

inline constexpr uint32_t kRootInode = 2;

// ---- directory entries (in chunks of 512 bytes) ----
inline constexpr uint32_t kDirChunk = 512;
inline constexpr uint32_t kDeInode = 0;
inline constexpr uint32_t kDeRecLen = 4;  // 16-bit
inline constexpr uint32_t kDeType = 6;
inline constexpr uint32_t kDeNameLen = 7;
inline constexpr uint32_t kDeName = 8;
inline constexpr uint32_t kDeHeaderBytes = 8;
inline constexpr uint8_t kDtRegular = 8;
inline constexpr uint8_t kDtDirectory = 4;
inline constexpr uint8_t kDtSymlink = 10;

}  // namespace ufs
