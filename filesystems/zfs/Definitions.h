// Every on-disk offset, size, magic and code of the ZFS structures this
// reader uses. All are little-endian but the label's name-value lists
// (XDR, big-endian 32-bit words).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zfs {

// ---- vdev label (four per device, two at its front) ----
inline constexpr uint32_t kLabelBytes = 0x40000;
inline constexpr uint32_t kNvListOffset = 0x4000;  // in the label
inline constexpr uint32_t kNvListBytes = 0x1C000;
inline constexpr uint32_t kUberblockArrayOffset = 0x20000;  // in the label
inline constexpr uint32_t kUberblockArrayBytes = 0x20000;
// Slots are 2^ashift bytes, at least 1 KiB: 1 KiB steps find them all.
inline constexpr uint32_t kUberblockSlotBytes = 0x400;
inline constexpr uint32_t kUberblockSlots = kUberblockArrayBytes / kUberblockSlotBytes;
// The front labels and the boot area: a DVA's offset counts from here.
inline constexpr uint64_t kVdevDataOffset = 0x400000;

// ---- name-value lists (XDR) ----
// The stream header: encoding 1 (XDR), host 1 (little-endian), two
// reserved bytes; then the list's version and flags.
inline constexpr uint8_t kNvHeader[4] = {1, 1, 0, 0};
inline constexpr uint32_t kNvFirstPairOffset = 12;     // from the header
inline constexpr uint32_t kNvEmbeddedHeaderBytes = 8;  // a nested list's version and flags
inline constexpr uint32_t kNvMinPairBytes = 16;
inline constexpr uint32_t kNvMaxNameBytes = 1023;
inline constexpr uint32_t kNvMaxStringBytes = 1023;
inline constexpr int kNvMaxDepth = 16;
inline constexpr uint32_t kNvTypeInt64 = 7;
inline constexpr uint32_t kNvTypeUint64 = 8;
inline constexpr uint32_t kNvTypeString = 9;
inline constexpr uint32_t kNvTypeNvList = 19;
inline constexpr uint32_t kNvTypeNvListArray = 20;

// ---- uberblock ----
inline constexpr uint64_t kUberblockMagic = 0x00BAB10Cull;
inline constexpr uint64_t kUberblockMagicSwapped = 0x0CB1BA0000000000ull;
inline constexpr size_t kUbMagic = 0;
inline constexpr size_t kUbTxg = 16;
inline constexpr size_t kUbTimestamp = 32;
inline constexpr size_t kUbRootBp = 40;

// ---- block pointer (128 bytes) ----
inline constexpr size_t kBlkPtrBytes = 128;
inline constexpr size_t kBpDvaBytes = 16;
inline constexpr int kBpDvas = 3;
inline constexpr uint32_t kDvaAsizeMask = 0x7FFFFF;  // low 23 bits of word 0, 512-byte units
inline constexpr int kDvaVdevShift = 32;
inline constexpr uint64_t kDvaOffsetMask = 0x7FFFFFFFFFFFFFFFull;  // word 1, 512-byte units
inline constexpr uint64_t kDvaGangBit = 0x8000000000000000ull;
inline constexpr size_t kBpLsize = 48;  // 16-bit, 512-byte units minus 1
inline constexpr size_t kBpPsize = 50;
inline constexpr size_t kBpCompression = 52;
inline constexpr size_t kBpChecksum = 53;
inline constexpr size_t kBpType = 54;
inline constexpr size_t kBpLevel = 55;  // low 7 bits; bit 7 the byte order (1 little-endian)
inline constexpr uint8_t kBpLevelMask = 0x7F;
inline constexpr uint8_t kBpLittleEndian = 0x80;
inline constexpr size_t kBpPhysBirth = 72;
inline constexpr size_t kBpBirth = 80;
inline constexpr size_t kBpFill = 88;
inline constexpr size_t kBpCksum = 96;  // four 64-bit words
inline constexpr uint32_t kSectorUnit = 512;
inline constexpr int kSectorUnitShift = 9;
// The largest block this reader takes (pool version 23 writes no larger).
inline constexpr uint32_t kMaxBlockBytes = 0x20000;
inline constexpr uint8_t kMaxCheckedLevel = 6;  // low 3 bits of the level byte

// Checksum types.
inline constexpr uint8_t kCksumOn = 1;  // taken as fletcher-2, the first default
inline constexpr uint8_t kCksumOff = 2;
inline constexpr uint8_t kCksumLabel = 3;
inline constexpr uint8_t kCksumGangHeader = 4;
inline constexpr uint8_t kCksumFletcher2 = 6;
inline constexpr uint8_t kCksumFletcher4 = 7;
inline constexpr uint8_t kCksumSha256 = 8;
inline constexpr uint8_t kCksumLast = 8;  // the highest a block pointer may name

// Compression types.
inline constexpr uint8_t kCompressOn = 1;  // lzjb
inline constexpr uint8_t kCompressOff = 2;
inline constexpr uint8_t kCompressLzjb = 3;
inline constexpr uint8_t kCompressGzip1 = 5;
inline constexpr uint8_t kCompressGzip9 = 13;
inline constexpr uint8_t kCompressZle = 14;
inline constexpr uint8_t kCompressLz4 = 15;
inline constexpr uint8_t kCompressLast = 15;
inline constexpr int kZleLevel = 64;          // runs of up to 64 literals, or zeros beyond
inline constexpr size_t kLz4LengthBytes = 4;  // a big-endian length before the LZ4 block

// ---- LZJB ----
inline constexpr int kLzjbMatchBits = 6;
inline constexpr int kLzjbMatchMin = 3;
inline constexpr uint32_t kLzjbOffsetMask = (1u << (16 - kLzjbMatchBits)) - 1;

// ---- dnode (512 bytes) ----
inline constexpr size_t kDnodeBytes = 512;
inline constexpr int kDnodeShift = 9;
inline constexpr size_t kDnType = 0;
inline constexpr size_t kDnIndBlkShift = 1;
inline constexpr size_t kDnLevels = 2;
inline constexpr size_t kDnBlkPtrCount = 3;
inline constexpr size_t kDnBonusType = 4;
inline constexpr size_t kDnChecksum = 5;
inline constexpr size_t kDnCompress = 6;
inline constexpr size_t kDnFlags = 7;
inline constexpr size_t kDnDataBlkSectors = 8;  // 16-bit
inline constexpr size_t kDnBonusLength = 10;    // 16-bit
inline constexpr size_t kDnMaxBlkId = 16;
inline constexpr size_t kDnUsed = 24;
inline constexpr size_t kDnBlkPtrs = 64;
inline constexpr uint8_t kDnMaxLevels = 7;
inline constexpr uint8_t kDnMaxBlkPtrs = 3;
inline constexpr uint8_t kDnMinIndBlkShift = 9;
inline constexpr uint8_t kDnMaxIndBlkShift = 17;
inline constexpr uint16_t kDnMaxBonusLength = 320;
inline constexpr uint8_t kDnChecksumLimit = 10;
inline constexpr uint8_t kDnCompressLimit = 16;
inline constexpr int kBlkPtrShift = 7;  // log2 of a block pointer's size

// DMU object types.
inline constexpr uint8_t kOtObjectDirectory = 1;
inline constexpr uint8_t kOtPlainFile = 19;
inline constexpr uint8_t kOtDirectory = 20;
inline constexpr uint8_t kOtMasterNode = 21;
inline constexpr uint8_t kOtZvol = 23;
inline constexpr uint8_t kOtZnode = 17;  // bonus type of a ZPL version 1-4 file
inline constexpr uint8_t kOtSa = 44;     // bonus type of system attributes
inline constexpr uint8_t kOtTypes = 54;  // DMU_OT_NONE .. DMU_OT_BPOBJ_SUBOBJ

// ---- file attributes in the bonus buffer, from the bonus's start ----
// The znode (ZPL version 4 and before).
inline constexpr size_t kZnMtime = 16;
inline constexpr size_t kZnCtime = 32;
inline constexpr size_t kZnMode = 72;
inline constexpr size_t kZnSize = 80;
inline constexpr size_t kZnParent = 88;
inline constexpr size_t kZnBytes = 264;
// System attributes in the standard ZPL layout (a header of 8 bytes, then
// mode, size, gen, uid, gid, parent, flags, atime, mtime, ctime).
inline constexpr size_t kSaSize = 16;
inline constexpr size_t kSaParent = 48;
inline constexpr size_t kSaMtime = 80;
inline constexpr size_t kSaCtime = 96;
inline constexpr uint64_t kZplVersionZnode = 4;  // the last version with znodes

// ---- object sets ----
inline constexpr size_t kObjsetMetaDnode = 0;  // the first 512 bytes
inline constexpr uint64_t kMasterNodeObject = 1;
inline constexpr uint64_t kObjectDirectoryObject = 1;
inline constexpr uint64_t kFatObjectDirRootDataset = 2;  // a fat-ZAP object directory's root dataset
inline constexpr uint32_t kMaxObjsetLsizeField = 256;

// DSL directory bonus.
inline constexpr size_t kDdHeadDataset = 8;
inline constexpr size_t kDdChildDirZap = 32;
// DSL dataset bonus.
inline constexpr size_t kDsBlkPtr = 128;

// ---- ZAP ----
inline constexpr uint64_t kZbtLeaf = 0x8000000000000000ull;
inline constexpr uint64_t kZbtHeader = 0x8000000000000001ull;
inline constexpr uint64_t kZbtMicro = 0x8000000000000003ull;
// Micro ZAP: a 64-byte header, then 64-byte entries.
inline constexpr size_t kMzHeaderBytes = 64;
inline constexpr size_t kMzEntryBytes = 64;
inline constexpr size_t kMzValue = 0;
inline constexpr size_t kMzCd = 8;
inline constexpr size_t kMzName = 14;
inline constexpr size_t kMzNameBytes = 50;
// Fat ZAP leaf.
inline constexpr size_t kLeafHeaderBytes = 48;
inline constexpr size_t kLeafHashShiftLess = 5;  // hash entries: 2^(log2 block - 5)
inline constexpr size_t kLeafChunkBytes = 24;
inline constexpr size_t kLeafHeaderChunks = 2;  // the header's room counted in chunks
inline constexpr uint16_t kChainEnd = 0xFFFF;
inline constexpr uint8_t kChunkEntry = 252;
inline constexpr uint8_t kChunkArray = 251;
inline constexpr size_t kLeValueIntLen = 1;
inline constexpr size_t kLeNext = 2;
inline constexpr size_t kLeNameChunk = 4;
inline constexpr size_t kLeNameLength = 6;  // with the NUL
inline constexpr size_t kLeValueChunk = 8;
inline constexpr size_t kLaData = 1;
inline constexpr size_t kLaDataBytes = 21;
inline constexpr size_t kLaNext = 22;
inline constexpr size_t kMaxZapNameBytes = 256;

// Directory entry values: the object number in the low 48 bits, the entry
// type (as in a Unix mode's format bits) in the top four.
inline constexpr uint64_t kDirentObjectMask = 0x0000FFFFFFFFFFFFull;
inline constexpr int kDirentTypeShift = 60;
inline constexpr uint8_t kDirentFifo = 1;
inline constexpr uint8_t kDirentDirectory = 4;
inline constexpr uint8_t kDirentLink = 10;

// Names a pool's DSL directory keeps beside its datasets.
inline constexpr const char* kHiddenDatasets[] = {"$MOS", "$FREE", "$ORIGIN", ".system"};

}  // namespace zfs
