// The ext structures in memory: superblock, inode, node and directory
// record tests, edge cases as tables.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/DirEntries.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/InlineData.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/SuperBlock.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"

using namespace ext;

namespace {

void Put16(uint8_t* p, uint16_t v) { PutLittleEndian(p, v, 2); }
void Put32(uint8_t* p, uint32_t v) { PutLittleEndian(p, v, 4); }

// A plausible superblock: 8192 blocks of 1 KiB in one group of 2048 inodes.
std::vector<uint8_t> SuperBlock() {
  std::vector<uint8_t> s(1024, 0);
  Put32(&s[kSbInodeCount], 2048);
  Put32(&s[kSbBlockCount], 8192);
  Put32(&s[kSbReservedBlocks], 409);
  Put32(&s[kSbFreeBlocks], 5000);
  Put32(&s[kSbFreeInodes], 2000);
  Put32(&s[kSbFirstDataBlock], 1);
  Put32(&s[kSbLogBlockSize], 0);
  Put32(&s[kSbBlocksPerGroup], 8192);
  Put32(&s[kSbFragsPerGroup], 8192);
  Put32(&s[kSbInodesPerGroup], 2048);
  Put16(&s[kSbMagic], kMagic);
  Put16(&s[kSbInodeSize], 256);
  return s;
}

}  // namespace

TEST(ExtSuperBlock, TestRefusesImplausibleValues) {
  struct Case {
    const char* what;
    uint32_t offset;
    uint32_t value;
    int bytes;
    int expected;
  };
  const Case cases[] = {
      {"as made (one group)", kSbMagic, kMagic, 2, 0},
      {"inode size 512", kSbInodeSize, 512, 2, -1},
      {"inode size 128", kSbInodeSize, 128, 2, 0},
      {"no inodes per group", kSbInodesPerGroup, 0, 4, -1},
      {"no blocks per group", kSbBlocksPerGroup, 0, 4, -1},
      {"fragments differ", kSbFragsPerGroup, 4096, 4, -1},
      {"groups do not give the inode count", kSbBlocksPerGroup, 4096, 4, -1},
      {"block size 128 KiB", kSbLogBlockSize, 7, 4, -1},
      {"free blocks past the count", kSbFreeBlocks, 9000, 4, -1},
      {"free inodes at the count", kSbFreeInodes, 2048, 4, -1},
      {"backup of group 3", kSbBlockGroup, 3, 2, 3},
      {"bad magic", kSbMagic, 0xEF54, 2, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock();
    PutLittleEndian(&s[c.offset], c.value, c.bytes);
    if (c.offset == kSbBlocksPerGroup && c.value == 4096) Put32(&s[kSbFragsPerGroup], 4096);
    EXPECT_EQ(IsExt3SuperBlock(s.data()), c.expected);
  }
}

TEST(ExtSuperBlock, VolumeStartFromAnySuperBlock) {
  std::vector<uint8_t> s = SuperBlock();
  EXPECT_EQ(Ext3SuperBlockStart(102, s.data(), 512), 100);
  EXPECT_EQ(Ext3SuperBlockStart(101, s.data(), 4096), 100);
  EXPECT_EQ(Ext3SuperBlockStart(1, s.data(), 512), -1);
  // Group 1 of 1 KiB blocks, 8192 blocks a group: the copy is in block
  // 8193 (groups count from block 1), 16386 sectors on.
  Put32(&s[kSbBlockCount], 16384);
  Put32(&s[kSbInodeCount], 4096);
  Put16(&s[kSbBlockGroup], 1);
  EXPECT_EQ(Ext3SuperBlockStart(16386 + 100, s.data(), 512), 100);
  EXPECT_EQ(Ext3SuperBlockStart(8193 * 2 - 1, s.data(), 512), -1);
  // Group 1 of 4 KiB blocks, 32768 blocks a group: block 32768 itself.
  s[kSbLogBlockSize] = 2;
  Put32(&s[kSbFirstDataBlock], 0);
  Put32(&s[kSbBlocksPerGroup], 32768);
  Put32(&s[kSbFragsPerGroup], 32768);
  Put32(&s[kSbBlockCount], 65536);
  EXPECT_EQ(Ext3SuperBlockStart(32768 * 8 + 100, s.data(), 512), 100);
}

TEST(ExtVolume, DescriptorPlaceAndSize) {
  struct Case {
    const char* what;
    uint32_t logBlock;
    uint16_t group;
    uint32_t incompat;
    uint64_t table;
    uint32_t shift;
  };
  const Case cases[] = {
      {"1 KiB blocks: table at block 2", 0, 0, 0, 2, 5},
      {"4 KiB blocks: table at block 1", 2, 0, 0, 1, 5},
      {"backup of group 1, 1 KiB", 0, 1, 0, 2 + 8192, 5},
      {"64bit: 64-byte descriptors", 2, 0, kIncompat64Bit, 1, 6},
      {"extents and flex_bg without 64bit: 32 bytes", 2, 0, kIncompatExtents | 0x200, 1, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock();
    Put32(&s[kSbLogBlockSize], c.logBlock);
    Put16(&s[kSbBlockGroup], c.group);
    Put32(&s[kSbIncompat], c.incompat);
    CExt3Vol v;
    ASSERT_TRUE(InitExt3Vol(&v, ParseExtSuperBlock(s.data())));
    EXPECT_EQ(v.descTableBlock, c.table);
    EXPECT_EQ(v.descShift, c.shift);
  }
}

// meta_bg: a descriptor block lies in the first group of the groups it
// describes, after that group's superblock (dumpe2fs's "Group descriptor
// at"); before the first meta group, in the table after the superblock.
TEST(ExtVolume, MetaBgDescriptorPlaces) {
  struct Case {
    const char* what;
    uint32_t logBlock;
    uint32_t incompat;
    uint32_t firstMetaBg;
    uint64_t index;
    uint64_t block;
  };
  const uint32_t meta = kIncompatMetaBg | kIncompat64Bit;
  const Case cases[] = {
      {"1 KiB, 16 a block: group 0 after boot block and superblock", 0, meta, 0, 0, 2},
      {"group 16 holds no superblock", 0, meta, 0, 1, 1 + 16 * 8192},
      {"group 32", 0, meta, 0, 2, 1 + 32 * 8192},
      {"32-byte descriptors: group 32 (no superblock)", 0, kIncompatMetaBg, 0, 1, 1 + 32 * 8192},
      {"before the first meta group: the table", 0, meta, 2, 1, 3},
      {"without meta_bg: the table", 0, kIncompat64Bit, 0, 1, 3},
      {"4 KiB blocks, 32 bytes: group 128", 2, kIncompatMetaBg, 0, 1, 128 * 8192},
      {"4 KiB blocks: group 0", 2, kIncompatMetaBg, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock();
    Put32(&s[kSbLogBlockSize], c.logBlock);
    Put32(&s[kSbFirstDataBlock], c.logBlock ? 0 : 1);
    Put32(&s[kSbIncompat], c.incompat);
    Put32(&s[kSbFirstMetaBg], c.firstMetaBg);
    Put32(&s[kSbRoCompat], kRoCompatSparseSuper);
    Put16(&s[kSbDescSize], 64);
    CExt3Vol v;
    ASSERT_TRUE(InitExt3Vol(&v, ParseExtSuperBlock(s.data())));
    v.InitBlockMapLevels(4);
    ASSERT_TRUE(v.InitInodeGeometry());
    EXPECT_EQ(v.DescriptorBlock(c.index), c.block);
  }
  for (uint64_t g : {0, 1, 3, 5, 7, 9, 25, 27, 49, 81, 125, 243, 343}) EXPECT_TRUE(ExtGroupHasSuperBlock(g, true)) << g;
  for (uint64_t g : {2, 4, 6, 8, 10, 15, 16, 32, 126}) EXPECT_FALSE(ExtGroupHasSuperBlock(g, true)) << g;
  EXPECT_TRUE(ExtGroupHasSuperBlock(2, false));
}

// Inline data: the block area, then the "system.data" attribute's value
// kept inside the inode; anything out of place gives the block area only.
TEST(ExtInode, InlineDataTable) {
  struct Case {
    const char* what;
    uint64_t size;
    uint32_t inodeBytes;
    size_t expected;
    void (*damage)(uint8_t* inode);
  };
  const Case cases[] = {
      {"block area and attribute", 80, 256, 80, nullptr},
      {"part of the attribute", 70, 256, 70, nullptr},
      {"within the block area", 40, 256, 40, nullptr},
      {"more than both hold", 200, 256, 80, nullptr},
      {"128-byte inode", 80, 128, 60, nullptr},
      {"no attribute magic", 80, 256, 60, [](uint8_t* p) { p[163] = 0; }},
      {"extra size not a multiple of 4", 80, 256, 60, [](uint8_t* p) { Put16(p + kInodeExtraSize, 30); }},
      {"extra size past the inode", 80, 256, 60, [](uint8_t* p) { Put16(p + kInodeExtraSize, 200); }},
      {"value in another inode", 80, 256, 60, [](uint8_t* p) { Put32(p + 164 + kXattrValueInode, 12); }},
      {"value past the inode", 80, 256, 60, [](uint8_t* p) { Put16(p + 164 + kXattrValueOffset, 80); }},
      {"another name", 80, 256, 60, [](uint8_t* p) { p[180] = 'D'; }},
      {"name past the inode", 80, 256, 60, [](uint8_t* p) { p[164] = 255; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t inode[256] = {};
    for (int i = 0; i < 60; ++i) inode[kInodeBlockArea + i] = uint8_t(i + 1);
    Put16(inode + kInodeExtraSize, 32);
    Put32(inode + 160, kXattrMagic);
    uint8_t* e = inode + 164;  // the first entry; values count from here
    e[kXattrNameLength] = 4;
    e[kXattrNameIndex] = kXattrIndexSystem;
    Put16(e + kXattrValueOffset, 72);
    Put32(e + kXattrValueSize, 20);
    memcpy(e + kXattrEntryBytes, "data", 4);
    for (int i = 0; i < 20; ++i) e[72 + i] = uint8_t(100 + i);
    if (c.damage) c.damage(inode);
    uint8_t out[255] = {};
    ASSERT_EQ(ExtInlineData(inode, c.inodeBytes, c.size, out, sizeof out), c.expected);
    for (size_t i = 0; i < c.expected; ++i) EXPECT_EQ(out[i], i < 60 ? i + 1 : 100 + (i - 60)) << i;
  }
}

TEST(ExtInode, PlausibilityTable) {
  struct Case {
    const char* what;
    uint32_t offset;
    uint32_t value;
    int bytes;
    bool checksums;
    bool expected;
  };
  const Case cases[] = {
      {"regular file", 0, 0, 0, true, true},
      {"checksum in 124-125 with metadata_csum", kInodeChecksumLow, 0xBEEF, 2, true, true},
      {"checksum in 124-125 without metadata_csum", kInodeChecksumLow, 0xBEEF, 2, false, false},
      {"bytes 126-127 set", kInodeReserved, 1, 2, true, false},
      {"fragment address set", kInodeFragAddr, 5, 4, true, false},
      {"byte 117 set", 117, 1, 1, true, false},
      {"size high above 511 without extents", kInodeSizeHigh, 512, 4, true, false},
      {"secure-delete flag", kInodeFlags, 1, 4, true, false},
      {"direct pointer past the last block", kInodeBlockArea + 4 * 3, 77, 4, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t inode[256] = {};
    Put16(inode + kInodeMode, 0x81A4);
    Put32(inode + kInodeSizeLow, 2048);  // two 1 KiB blocks
    Put32(inode + kInodeBlockArea, 100);
    Put32(inode + kInodeBlockArea + 4, 101);
    if (c.bytes) PutLittleEndian(inode + c.offset, c.value, c.bytes);
    ExtInodeContext ctx;
    ctx.haveVolume = true;
    ctx.blockSize = 1024;
    ctx.singleLimit = 12 + 256;
    ctx.doubleLimit = 12 + 256 + 65536;
    ctx.checksums = c.checksums;
    EXPECT_EQ(IsExtInode(inode, ctx, true), c.expected);
  }
}

TEST(ExtInode, ExtentSizeWithinThirtyTwoBitBlocks) {
  ExtInodeContext ctx;
  ctx.haveVolume = true;
  ctx.blockSize = 1024;
  uint8_t inode[256] = {};
  Put16(inode + kInodeMode, 0x81A4);
  Put32(inode + kInodeFlags, 0x80000);
  Put32(inode + kInodeSizeHigh, 1024);  // 2^32 blocks of 1 KiB: the last one whole
  EXPECT_TRUE(IsExtInode(inode, ctx, true));
  Put32(inode + kInodeSizeLow, 1);  // a byte in a block no extent can name
  EXPECT_FALSE(IsExtInode(inode, ctx, true));
  ctx.blockSize = 4096;
  EXPECT_TRUE(IsExtInode(inode, ctx, true));
  Put32(inode + kInodeSizeHigh, 0x9CD4D3D6);  // a damaged inode's size high
  EXPECT_FALSE(IsExtInode(inode, ctx, true));
}

TEST(ExtInode, DirectoriesAndLinks) {
  ExtInodeContext ctx;
  ctx.haveVolume = true;
  ctx.blockSize = 1024;
  uint8_t inode[128] = {};
  Put16(inode + kInodeMode, 0x41ED);
  Put32(inode + kInodeSizeLow, 1000);  // not whole blocks, nor 512
  EXPECT_FALSE(IsExtInode(inode, ctx, true));
  Put32(inode + kInodeSizeLow, 1024);
  EXPECT_TRUE(IsExtInode(inode, ctx, true));
  // A fast link: its target in the block area.
  memset(inode, 0, sizeof inode);
  Put16(inode + kInodeMode, 0xA1FF);
  memcpy(inode + kInodeBlockArea, "a//b", 4);
  Put32(inode + kInodeSizeLow, 4);
  EXPECT_FALSE(IsExtInode(inode, ctx, true));
  memcpy(inode + kInodeBlockArea, "a/b/", 4);
  EXPECT_FALSE(IsExtInode(inode, ctx, true));
  memcpy(inode + kInodeBlockArea, "a/bc", 4);
  EXPECT_TRUE(IsExtInode(inode, ctx, true));
  // Unused inodes pass unless strict.
  uint8_t zero[512] = {};
  EXPECT_TRUE(IsUnixInodeBlock(zero, sizeof zero, 256, ctx, false));
  EXPECT_FALSE(IsUnixInodeBlock(zero, sizeof zero, 256, ctx, true));
}

TEST(ExtNode, PointerBytesKeptBySize) {
  std::vector<uint8_t> s = SuperBlock();
  CExt3Vol v;
  ASSERT_EQ(InitUnixVol(&v, s.data(), 0, 512), 1);
  struct Case {
    uint64_t size;
    uint8_t bytes;
  };
  const Case cases[] = {{0, 0}, {1, 4}, {12 * 1024, 48}, {13 * 1024, 52}, {268 * 1024, 52},
                        {269 * 1024, 56}, {(12 + 256 + 65536) * 1024ull + 1, 60}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    uint8_t inode[128] = {};
    Put16(inode + kInodeMode, 0x81A4);
    Put32(inode + kInodeSizeLow, uint32_t(c.size));
    Put32(inode + kInodeSizeHigh, uint32_t(c.size >> 32));
    Put32(inode + kInodeModifyTime, 1643861106);
    UnixNode node(kNodeExt);
    ASSERT_TRUE(FromExtInode(&node, ParseExtInode(inode), &v));
    EXPECT_EQ(node.listLength, c.bytes);
    EXPECT_EQ(node.size, c.size);
    EXPECT_EQ(node.GetTime(), (1643861106ull + 11644473600ull) * 10000000ull);
  }
  uint8_t zero[128] = {};
  UnixNode node(kNodeExt);
  EXPECT_FALSE(FromExtInode(&node, ParseExtInode(zero), &v));
}

TEST(ExtDirectory, RecordLengthChecks) {
  uint8_t block[64] = {};
  Put32(block, 12);
  Put16(block + 4, 20);
  block[6] = 5;
  block[7] = 1;
  memcpy(block + 8, "hello", 5);
  ExtDirEntry e;
  EXPECT_TRUE(ReadExtDirEntry(block, sizeof block, 0, &e));
  EXPECT_EQ(e.inode, 12u);
  Put16(block + 4, 12);  // below name length + 8
  EXPECT_FALSE(ReadExtDirEntry(block, sizeof block, 0, &e));
  Put16(block + 4, 80);  // past the block
  EXPECT_FALSE(ReadExtDirEntry(block, sizeof block, 0, &e));
  EXPECT_FALSE(ReadExtDirEntry(block, sizeof block, 60, &e));
}

// A pointer past the volume is an error whatever its level (found by
// fuzz_unix_blockmap: direct pointers were returned unchecked).
TEST(ExtBlockMap, PointersPastTheVolume) {
  std::vector<uint8_t> s = SuperBlock();
  CExt3Vol v;
  ASSERT_EQ(InitUnixVol(&v, s.data(), 0, 512), 1);
  uint8_t list[60] = {};
  Put32(list, 100);
  Put32(list + 4, 8192);  // the block count: one past the last block
  Put32(list + 4 * 12, 9000);
  EXPECT_EQ(v.MapBlock(0, list, 60, nullptr), 100);
  EXPECT_EQ(v.MapBlock(1, list, 60, nullptr), -1);
  EXPECT_EQ(v.MapBlock(2, list, 60, nullptr), 0);   // a hole
  EXPECT_EQ(v.MapBlock(12, list, 60, nullptr), -1);  // the single indirect block
  EXPECT_EQ(v.MapBlock(1, list, 4, nullptr), 0);    // past the list kept: a hole
  uint8_t out[2048];
  EXPECT_EQ(v.ReadFileData(1024, 1024, out, sizeof out, list, 60, nullptr), -1);
}
