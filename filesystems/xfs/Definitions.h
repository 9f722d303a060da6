// XFS on disk: every offset, size, magic and flag the reader uses. All
// fields are big-endian. V4 volumes (inode versions 1 and 2) and V5 volumes
// (inode version 3, the CRC-carrying headers) are both read; checksums are
// never verified.
#pragma once
#include <cstddef>
#include <cstdint>

namespace xfs {

// ---- superblock (sector 0 of the volume and of every allocation group) ----
inline constexpr uint32_t kSbMagic = 0x58465342;  // "XFSB"
inline constexpr size_t kSbMagicAt = 0;
inline constexpr size_t kSbBlockSize = 4;
inline constexpr size_t kSbDataBlocks = 8;
inline constexpr size_t kSbRootInode = 56;
inline constexpr size_t kSbAgBlocks = 84;
inline constexpr size_t kSbAgCount = 88;
inline constexpr size_t kSbVersion = 100;
inline constexpr size_t kSbSectorSize = 102;
inline constexpr size_t kSbInodeSize = 104;
inline constexpr size_t kSbInodesPerBlock = 106;
inline constexpr size_t kSbName = 108;
inline constexpr size_t kSbNameBytes = 12;
inline constexpr size_t kSbLogInodesPerBlock = 123;
inline constexpr size_t kSbLogAgBlocks = 124;
inline constexpr size_t kSbInodeCount = 128;
inline constexpr size_t kSbFreeInodes = 136;
inline constexpr size_t kSbDirBlockLog = 192;
inline constexpr size_t kSbFeatures2 = 200;
inline constexpr size_t kSbFeaturesCompat = 208;
inline constexpr size_t kSbFeaturesRoCompat = 212;
inline constexpr size_t kSbFeaturesIncompat = 216;
inline constexpr size_t kSbFeaturesLogIncompat = 220;
// The bytes the superblock tests and the initialisation read.
inline constexpr size_t kSbBytes = 224;

// Low four bits of the version word: 4 (or below) V4, 5 V5.
inline constexpr uint16_t kSbVersionNumberMask = 0x000F;
inline constexpr uint16_t kSbVersion5 = 5;
inline constexpr uint16_t kSbVersionMoreBits = 0x8000;  // features2 is in use
// features2 (V4): the file type byte in folder entries.
inline constexpr uint32_t kSbFeatures2Ftype = 0x200;
// Incompatible features (V5) the reader understands.
inline constexpr uint32_t kIncompatFtype = 0x1;
inline constexpr uint32_t kIncompatSparseInodes = 0x2;
inline constexpr uint32_t kIncompatMetaUuid = 0x4;
inline constexpr uint32_t kIncompatBigTime = 0x8;
inline constexpr uint32_t kIncompatNeedsRepair = 0x10;
inline constexpr uint32_t kIncompatNrext64 = 0x20;
inline constexpr uint32_t kIncompatKnown =
    kIncompatFtype | kIncompatSparseInodes | kIncompatMetaUuid | kIncompatBigTime | kIncompatNeedsRepair;

inline constexpr uint64_t kNullInode = ~uint64_t(0);
inline constexpr uint64_t kDefaultRootInode = 128;

// ---- allocation group headers (the sectors after the superblock) ----
inline constexpr uint32_t kAgfMagic = 0x58414746;  // "XAGF"
inline constexpr size_t kAgfVersion = 4;
inline constexpr size_t kAgfSequence = 8;
inline constexpr uint32_t kAgfVersion1 = 1;

// ---- inode core ----
inline constexpr uint16_t kInodeMagic = 0x494E;  // "IN"
inline constexpr size_t kDiMagic = 0;
inline constexpr size_t kDiMode = 2;
inline constexpr size_t kDiVersion = 4;
inline constexpr size_t kDiFormat = 5;
inline constexpr size_t kDiAtime = 32;
inline constexpr size_t kDiMtime = 40;  // seconds (32) and nanoseconds (32), or one 64-bit bigtime count
inline constexpr size_t kDiSize = 56;
inline constexpr size_t kDiNextents = 76;
inline constexpr size_t kDiForkOffset = 82;
inline constexpr size_t kDiFlags2 = 120;       // version 3: 64-bit
inline constexpr size_t kDiInodeNumber = 152;  // version 3: the inode's own number
// Where the data fork begins: after the version 1/2 core, after the
// version 3 core.
inline constexpr size_t kDiCoreV2Bytes = 100;
inline constexpr size_t kDiCoreV3Bytes = 176;
inline constexpr uint64_t kDiFlags2BigTime = 0x8;
// Bigtime: nanoseconds since 1970 less 2^31 seconds.
inline constexpr int64_t kBigTimeEpochOffset = int64_t(1) << 31;
inline constexpr uint64_t kNanosecondsPerSecond = 1000000000;

inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeRegular = 0x8000;
inline constexpr uint16_t kModeSymlink = 0xA000;

// Data-fork formats.
inline constexpr uint8_t kFormatLocal = 1;
inline constexpr uint8_t kFormatExtents = 2;
inline constexpr uint8_t kFormatBtree = 3;

// ---- extent records (16 bytes, two 64-bit words) ----
inline constexpr size_t kExtentBytes = 16;
inline constexpr int kExtentOffsetShift = 9;  // logical start: bits 9..62 of w0
inline constexpr uint64_t kExtentOffsetMask = (uint64_t(1) << 54) - 1;
inline constexpr uint64_t kExtentUnwritten = uint64_t(1) << 63;
inline constexpr uint64_t kExtentBlockHighMask = 0x1FF;  // low 9 bits of w0: start block bits 43..51
inline constexpr int kExtentBlockHighShift = 43;
inline constexpr int kExtentBlockLowShift = 21;  // w1 >> 21: start block bits 0..42
inline constexpr uint64_t kExtentCountMask = (uint64_t(1) << 21) - 1;

// ---- block-map B+tree ----
inline constexpr uint32_t kBmapMagic = 0x424D4150;   // "BMAP"
inline constexpr uint32_t kBmap3Magic = 0x424D4133;  // "BMA3"
inline constexpr size_t kBmapLevel = 4;
inline constexpr size_t kBmapCount = 6;
inline constexpr size_t kBmapLeftSibling = 8;
inline constexpr size_t kBmapRightSibling = 16;
inline constexpr size_t kBmapHeaderBytes = 24;
inline constexpr size_t kBmap3HeaderBytes = 72;
inline constexpr size_t kBmapKeyBytes = 8;
inline constexpr size_t kBmapPointerBytes = 8;
// The root inside the inode: level, count, then keys and pointers.
inline constexpr size_t kBmapRootLevel = 0;
inline constexpr size_t kBmapRootCount = 2;
inline constexpr size_t kBmapRootHeaderBytes = 4;
inline constexpr uint16_t kBmapMaxLevel = 16;
inline constexpr uint64_t kNullSibling = ~uint64_t(0);

// ---- folders ----
// Data blocks: single-block folders ("XD2B", V5 "XDB3") and data blocks of
// larger ones ("XD2D", V5 "XDD3").
inline constexpr uint32_t kDirBlockMagic = 0x58443242;   // "XD2B"
inline constexpr uint32_t kDirDataMagic = 0x58443244;    // "XD2D"
inline constexpr uint32_t kDirBlock3Magic = 0x58444233;  // "XDB3"
inline constexpr uint32_t kDirData3Magic = 0x58444433;   // "XDD3"
inline constexpr size_t kDirHeaderBytes = 16;
inline constexpr size_t kDir3HeaderBytes = 64;
// Entries: inode number, name length, name, [file type], padding, tag.
inline constexpr size_t kDeInode = 0;
inline constexpr size_t kDeNameLength = 8;
inline constexpr size_t kDeName = 9;
inline constexpr size_t kDeTagBytes = 2;
inline constexpr size_t kDeAlign = 8;
inline constexpr uint16_t kDeUnusedTag = 0xFFFF;
inline constexpr size_t kDeUnusedLength = 2;
// A single-block folder's tail: leaf count and stale count, 8 bytes.
inline constexpr size_t kBlockTailBytes = 8;
inline constexpr size_t kLeafEntryBytes = 8;
// The "." and ".." entries a first block opens with.
inline constexpr size_t kDotDotOffsetV4 = 32;
inline constexpr size_t kDotDotOffsetV5 = 80;

// Shortform (local) folders in the data fork: counts, parent, entries.
inline constexpr size_t kSfCount = 0;
inline constexpr size_t kSfCount8 = 1;
inline constexpr size_t kSfParent = 2;
inline constexpr size_t kSfEntryTagBytes = 2;
// "Special Shortform Directories": another layout.
inline constexpr size_t kSfSpecialParent = 4;
inline constexpr size_t kSfSpecialEntries = 8;
inline constexpr size_t kSfSpecialName = 8;
inline constexpr size_t kSfSpecialEntryExtra = 15;

}  // namespace xfs
