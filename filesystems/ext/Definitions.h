// ext2/3/4 on-disk layout: every offset and constant the ext reader uses.
// All fields are little-endian.
#pragma once
#include <cstdint>

namespace ext {

// ---- superblock (1024 bytes, 1024 bytes into the volume) ----
inline constexpr uint32_t kSuperBlockOffset = 1024;
inline constexpr uint32_t kSuperBlockBytes = 1024;
// Every field read lies in the first 512 bytes.
inline constexpr uint32_t kSuperBlockHeadBytes = 512;
inline constexpr uint32_t kSbInodeCount = 0;
inline constexpr uint32_t kSbBlockCount = 4;
inline constexpr uint32_t kSbReservedBlocks = 8;
inline constexpr uint32_t kSbFreeBlocks = 12;
inline constexpr uint32_t kSbFreeInodes = 16;
inline constexpr uint32_t kSbFirstDataBlock = 20;
inline constexpr uint32_t kSbLogBlockSize = 24;
inline constexpr uint32_t kSbBlocksPerGroup = 32;
inline constexpr uint32_t kSbFragsPerGroup = 36;
inline constexpr uint32_t kSbInodesPerGroup = 40;
inline constexpr uint32_t kSbMagic = 56;
inline constexpr uint32_t kSbInodeSize = 88;
inline constexpr uint32_t kSbBlockGroup = 90;
inline constexpr uint32_t kSbCompat = 92;
inline constexpr uint32_t kSbIncompat = 96;
inline constexpr uint32_t kSbRoCompat = 100;
inline constexpr uint32_t kSbVolumeName = 120;
inline constexpr uint32_t kSbVolumeNameBytes = 16;
inline constexpr uint32_t kSbDescSize = 254;        // 16-bit, with the 64-bit feature
inline constexpr uint32_t kSbFirstMetaBg = 260;     // with the meta_bg feature
inline constexpr uint32_t kSbBlockCountHigh = 336;  // with the 64-bit feature

inline constexpr uint16_t kMagic = 0xEF53;
inline constexpr uint32_t kMaxLogBlockSize = 6;

// Feature bits.
inline constexpr uint32_t kIncompatExtents = 0x40;
inline constexpr uint32_t kIncompat64Bit = 0x80;
inline constexpr uint32_t kIncompatMetaBg = 0x10;
inline constexpr uint32_t kIncompatInlineData = 0x8000;
inline constexpr uint32_t kRoCompatSparseSuper = 0x1;
inline constexpr uint32_t kRoCompatMetadataCsum = 0x400;
inline constexpr uint32_t kCompatHasJournal = 0x4;
// What ext3 reads (filetype, recover, meta_bg; sparse_super, large_file,
// btree_dir): a volume with any other feature is ext4.
inline constexpr uint32_t kIncompatExt3 = 0x16;
inline constexpr uint32_t kRoCompatExt3 = 0x7;

// The groups that hold backup superblocks (sparse_super), in the order
// they are tried.
inline constexpr uint32_t kBackupGroups[] = {1, 3, 5, 7, 9, 25, 27, 49, 81, 125, 243, 343, 625, 2401, 3125, 16807};

// ---- group descriptor (32 bytes, or 64 with the 64-bit feature) ----
inline constexpr uint32_t kGdBlockBitmap = 0;       // u32
inline constexpr uint32_t kGdFlags = 18;            // u16
inline constexpr uint16_t kGdBlockUninit = 0x0002;  // the group's block bitmap was never written: all free
inline constexpr uint32_t kGdBlockBitmapHigh = 32;  // u32, 64-byte descriptors
inline constexpr uint32_t kGdInodeTable = 8;
inline constexpr uint32_t kGdInodeTableHigh = 40;
inline constexpr uint32_t kGdSmallShift = 5;
inline constexpr uint32_t kGdLargeShift = 6;

// ---- inode ----
inline constexpr uint32_t kInodeMode = 0;
inline constexpr uint32_t kInodeSizeLow = 4;
inline constexpr uint32_t kInodeAccessTime = 8;
inline constexpr uint32_t kInodeChangeTime = 12;
inline constexpr uint32_t kInodeModifyTime = 16;
inline constexpr uint32_t kInodeDeleteTime = 20;
inline constexpr uint32_t kInodeLinks = 26;
inline constexpr uint32_t kInodeFlags = 32;
inline constexpr uint32_t kInodeBlockArea = 40;
inline constexpr uint32_t kInodeBlockAreaBytes = 60;
inline constexpr uint32_t kInodeSizeHigh = 108;
inline constexpr uint32_t kInodeFragAddr = 112;
inline constexpr uint32_t kInodeChecksumLow = 124;  // metadata_csum: 16-bit
inline constexpr uint32_t kInodeReserved = 126;
inline constexpr uint32_t kInodeBaseBytes = 128;
inline constexpr uint32_t kInodeExtraSize = 128;  // 16-bit: bytes of extra fields past 128

// ---- extent tree (ext4: the inode's block area is the root node) ----
// A node is a 12-byte header and 12-byte entries; the root holds 4.
inline constexpr uint16_t kExtentMagic = 0xF30A;
inline constexpr uint32_t kEhMagic = 0;       // 16-bit
inline constexpr uint32_t kEhEntries = 2;     // 16-bit
inline constexpr uint32_t kEhMaxEntries = 4;  // 16-bit
inline constexpr uint32_t kEhDepth = 6;       // 16-bit, 0 for a leaf
inline constexpr uint32_t kExtentHeaderBytes = 12;
inline constexpr uint32_t kExtentEntryBytes = 12;
inline constexpr int kExtentMaxDepth = 16;
// Every entry opens with its first logical block (32-bit).
inline constexpr uint32_t kEeFirstBlock = 0;
// Leaf entry: length (16-bit; above kExtentUninitialised an unwritten
// extent of length - kExtentUninitialised), start block high 16 and low 32
// bits.
inline constexpr uint32_t kEeLength = 4;
inline constexpr uint32_t kEeStartHigh = 6;
inline constexpr uint32_t kEeStartLow = 8;
inline constexpr uint32_t kExtentUninitialised = 32768;
// Index entry: child block low 32 and high 16 bits.
inline constexpr uint32_t kEiChildLow = 4;
inline constexpr uint32_t kEiChildHigh = 8;

// ---- extended attributes inside the inode (past its extra fields) ----
inline constexpr uint32_t kXattrMagic = 0xEA020000;
inline constexpr uint32_t kXattrHeaderBytes = 4;  // the magic; entries follow
inline constexpr uint32_t kXattrNameLength = 0;
inline constexpr uint32_t kXattrNameIndex = 1;
inline constexpr uint32_t kXattrValueOffset = 2;  // 16-bit, from the first entry
inline constexpr uint32_t kXattrValueInode = 4;
inline constexpr uint32_t kXattrValueSize = 8;
inline constexpr uint32_t kXattrEntryBytes = 16;  // the name follows
inline constexpr uint8_t kXattrIndexSystem = 7;   // "system.": inline data is "system.data"

inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeRegular = 0x8000;
inline constexpr uint16_t kModeSymlink = 0xA000;

inline constexpr uint32_t kFlagIndex = 0x1000;  // hashed directory
inline constexpr uint32_t kFlagExtents = 0x80000;
inline constexpr uint32_t kFlagInlineData = 0x10000000;

inline constexpr uint32_t kRootInode = 2;
inline constexpr uint32_t kDirectPointers = 12;
inline constexpr uint32_t kSingleIndirect = 12;
inline constexpr uint32_t kDoubleIndirect = 13;
inline constexpr uint32_t kTripleIndirect = 14;

// ---- directory entry ----
inline constexpr uint32_t kDeInode = 0;
inline constexpr uint32_t kDeRecLen = 4;
inline constexpr uint32_t kDeNameLen = 6;
inline constexpr uint32_t kDeFileType = 7;
inline constexpr uint32_t kDeName = 8;
inline constexpr uint32_t kDeHeaderBytes = 8;
inline constexpr uint8_t kDeTypeDirectory = 2;
inline constexpr uint8_t kDeTypeSymlink = 7;
// An inline folder's data opens with its parent's inode number.
inline constexpr uint32_t kInlineParentBytes = 4;

// Seconds from 1601 to 1970, for FILETIME.
inline constexpr uint64_t kUnixEpochSeconds = 11644473600ull;

}  // namespace ext
