// The UFS superblock and inode tests on hand-made bytes: the edge cases of
// their rules, one table each.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "filesystems/ext/UnixNode.h"
#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/Inode.h"
#include "filesystems/ufs/SuperBlock.h"
#include "filesystems/ufs/UfsVolume.h"
#include "tests/support/ByteWriter.h"
#include "volumes/VolumeFamily.h"

using namespace ufs;
using testbytes::Put16;
using testbytes::Put32;
using testbytes::Put64;
using testbytes::PutBe32;
using testbytes::PutBe64;

namespace {

// The superblock of a 64 MiB UFS1 as makefs writes it (8 KiB blocks, 1 KiB
// fragments, two groups), or its UFS2 form, in either byte order.
std::vector<uint8_t> SuperBlock(bool ufs2, bool bigEndian = false) {
  std::vector<uint8_t> s(kSuperBlockBytes, 0);
  auto put = [&](uint32_t at, uint32_t v) { bigEndian ? PutBe32(s, at, v) : Put32(s, at, v); };
  auto put64 = [&](uint32_t at, uint64_t v) { bigEndian ? PutBe64(s, at, v) : Put64(s, at, v); };
  put(kSbInodeBlocks, 32);
  put(kSbCgOffset, 0);
  put(kSbCgMask, ufs2 ? 0 : 0xFFFFFFFFu);
  put(kSbOldSize, ufs2 ? 0 : 65536);
  put(kSbGroups, 2);
  put(kSbBlockSize, 8192);
  put(kSbFragmentSize, 1024);
  put(kSbFragsPerBlock, 8);
  put(kSbBlockMask, uint32_t(-8192));
  put(kSbFragmentMask, uint32_t(-1024));
  put(kSbBlockShift, 13);
  put(kSbFragmentShift, 10);
  put(kSbInodesPerBlock, ufs2 ? 32 : 64);
  put(kSbInodesPerGroup, 64);
  put(kSbFragsPerGroup, 56640);
  put64(kSbLocation, 8192);
  put64(kSbSize, ufs2 ? 65536 : 0);
  put(kSbMagic, ufs2 ? kMagicUfs2 : kMagicUfs1);
  return s;
}

}  // namespace

TEST(UfsSuperBlock, TypeTestEdgeCases) {
  struct Case {
    const char* what;
    bool ufs2;
    std::function<void(std::vector<uint8_t>&)> change;
    int type;         // little-endian reading
    int swapped = 0;  // big-endian reading
  };
  const Case cases[] = {
      {"UFS1 as makefs writes it", false, [](auto&) {}, 5},
      {"UFS2 as makefs writes it", true, [](auto&) {}, 6},
      {"the first word not 0", false, [](auto& s) { Put32(s, kSbFirstField, 1); }, 0},
      {"UFS1 without offset and mask is taken as UFS2", false, [](auto& s) { Put32(s, kSbCgMask, 0); }, 6},
      {"64 KiB blocks of 8 KiB fragments", true,
       [](auto& s) {
         Put32(s, kSbBlockSize, 65536), Put32(s, kSbFragmentSize, 8192), Put32(s, kSbBlockMask, uint32_t(-65536));
         Put32(s, kSbFragmentMask, uint32_t(-8192)), Put32(s, kSbBlockShift, 16), Put32(s, kSbFragmentShift, 13);
       },
       6},
      {"7 fragments a block", false, [](auto& s) { Put32(s, kSbFragsPerBlock, 7); }, 0},
      {"a block shift that is not the block's", false, [](auto& s) { Put32(s, kSbBlockShift, 12); }, 0},
      {"a fragment mask that is not the fragment's", false, [](auto& s) { Put32(s, kSbFragmentMask, 0); }, 0},
      {"a block of 2 MiB", false,
       [](auto& s) {
         Put32(s, kSbBlockSize, 2097152), Put32(s, kSbFragsPerBlock, 2048), Put32(s, kSbBlockShift, 21);
         Put32(s, kSbBlockMask, uint32_t(-2097152));
       },
       0},
      {"a fragment that is not a power of two", false, [](auto& s) { Put32(s, kSbFragmentSize, 1000); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock(c.ufs2);
    c.change(s);
    EXPECT_EQ(GetUFSSuperBlockType(s.data(), 0), c.type);
    EXPECT_EQ(GetUFSSuperBlockType(s.data(), 1), c.swapped);
  }
  // Big-endian: only the swapped reading finds it.
  const std::vector<uint8_t> be = SuperBlock(false, true);
  EXPECT_EQ(GetUFSSuperBlockType(be.data(), 0), 0);
  EXPECT_EQ(GetUFSSuperBlockType(be.data(), 1), 5);
  EXPECT_EQ(ParseUfsSuperBlock(be.data(), be.size(), true).MagicType(), 5);
}

// The geometry a volume is built from holds together before anything
// divides by it.
TEST(UfsSuperBlock, GeometryMustAgree) {
  struct Case {
    const char* what;
    bool ufs2;
    std::function<void(std::vector<uint8_t>&)> change;
    bool agrees;
  };
  const Case cases[] = {
      {"UFS1", false, [](auto&) {}, true},
      {"UFS2", true, [](auto&) {}, true},
      {"no inodes a block", false, [](auto& s) { Put32(s, kSbInodesPerBlock, 0); }, false},
      {"inodes a block that do not fill it", false, [](auto& s) { Put32(s, kSbInodesPerBlock, 32); }, false},
      {"UFS2 with UFS1's inodes a block", true, [](auto& s) { Put32(s, kSbInodesPerBlock, 64); }, false},
      {"no inodes a group", false, [](auto& s) { Put32(s, kSbInodesPerGroup, 0); }, false},
      {"no fragments a group", false, [](auto& s) { Put32(s, kSbFragsPerGroup, 0); }, false},
      {"no groups", false, [](auto& s) { Put32(s, kSbGroups, 0); }, false},
      {"groups that do not hold the fragments", false, [](auto& s) { Put32(s, kSbOldSize, 2 * 56640 + 1); }, false},
      {"a group of part of a block", false, [](auto& s) { Put32(s, kSbFragsPerGroup, 56641); }, false},
      {"an inode table past its group", false, [](auto& s) { Put32(s, kSbInodeBlocks, 56640); }, false},
      {"no fragments at all", true, [](auto& s) { Put64(s, kSbSize, 0); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock(c.ufs2);
    c.change(s);
    const UfsSuperBlock sb = ParseUfsSuperBlock(s.data(), s.size(), false);
    EXPECT_EQ(UfsGeometryAgrees(sb, c.ufs2 ? 6 : 5), c.agrees);
    CUFS1Vol v(c.ufs2 ? kVolUfs2 : kVolUfs1);
    EXPECT_EQ(InitUFSVol(&v, s.data(), 0, 512), c.agrees);
  }
}

// Where the superblock lies: UFS2's own field when it names a place
// superblocks are put.
TEST(UfsSuperBlock, LocationFromItsField) {
  struct Case {
    bool ufs2;
    int64_t field;
    uint32_t offset;
  };
  const Case cases[] = {{true, 8192, 8192},  {true, 65536, 65536}, {true, 262144, 262144},
                        {true, 4096, 65536}, {true, 0, 65536},     {false, 65536, 8192}};
  for (const Case& c : cases) {
    std::vector<uint8_t> s = SuperBlock(c.ufs2);
    Put64(s, kSbLocation, uint64_t(c.field));
    EXPECT_EQ(UfsSuperBlockOffset(ParseUfsSuperBlock(s.data(), s.size(), false), c.ufs2 ? 6 : 5), c.offset) << c.field;
  }
}

// The volume built from the superblock: UFS1 at 8192-byte blocks of 1 KiB
// fragments, its inodes from 0.
TEST(UfsVolume, GeometryFromTheSuperBlock) {
  const std::vector<uint8_t> s = SuperBlock(false);
  CUFS1Vol v(kVolUfs1);
  ASSERT_TRUE(InitUFSVol(&v, s.data(), 2048, 512));
  EXPECT_EQ(v.type, kVolUfs1);
  EXPECT_EQ(v.clusterSize, 8192u);
  EXPECT_EQ(v.fragmentSize, 1024u);
  EXPECT_EQ(v.fragsPerBlock, 8u);
  EXPECT_EQ(v.totalFragments, 65536u);
  EXPECT_EQ(v.totalBlocks, 8192u);
  EXPECT_EQ(v.sizeSectors, 131072u);
  EXPECT_EQ(v.startSector, 2048u);
  EXPECT_EQ(v.inodeCount, 128u);
  EXPECT_EQ(v.inodeSize, 128u);
  EXPECT_EQ(v.blocksPerGroup, 7080u);
  EXPECT_EQ(v.inodeTableOffset, 4u);
  EXPECT_EQ(v.pointerBytes, 4u);
  EXPECT_EQ(v.inodeBase, 0u);
  ASSERT_NE(v.rootNode, nullptr);
  EXPECT_EQ(v.rootNode->Family(), kNodeUfs);
  // The properties' rows, and where the read-boot dialog looks for the
  // superblock of this volume.
  const FamilyVolumeOps* ops = FindVolumeOps(kVolUfs1);
  ASSERT_TRUE(ops && ops->readSettingRow && ops->bootBlockOffset);
  int64_t rows[4] = {};
  for (int row = 0; row < 4; ++row) ASSERT_TRUE(ops->readSettingRow(v, row, &rows[row])) << row;
  EXPECT_EQ(std::vector<int64_t>(rows, rows + 4), (std::vector<int64_t>{7080, 64, 128, 128}));
  EXPECT_EQ(ops->bootBlockOffset(v), 16);
  // A UFS2 magic makes UFS2 whatever the type test said.
  std::vector<uint8_t> s2 = SuperBlock(true);
  CUFS1Vol v2(kVolUfs1);
  ASSERT_TRUE(InitUFSVol(&v2, s2.data(), 0, 512));
  EXPECT_EQ(v2.type, kVolUfs2);
  EXPECT_EQ(v2.pointerBytes, 8u);
  EXPECT_EQ(v2.inodeSize, 256u);
  // makefs puts UFS2's superblock 8 KiB in, not at the 64 KiB the type's
  // dialog fact says.
  EXPECT_EQ(FindVolumeOps(kVolUfs2)->bootBlockOffset(v2), 16);
  EXPECT_EQ(FindFamilyType(kVolUfs2)->dialog.bootBlockOffset, 128);
  // A superblock whose magic is no UFS magic is none.
  Put32(s2, kSbMagic, 0x12345678);
  CUFS1Vol none(kVolUfs2);
  EXPECT_FALSE(InitUFSVol(&none, s2.data(), 0, 512));
  // Big-endian: named, with no root to walk.
  const std::vector<uint8_t> be = SuperBlock(false, true);
  CUFS1Vol named(kVolUfs1);
  ASSERT_TRUE(InitUFSVol(&named, be.data(), 0, 512));
  EXPECT_TRUE(named.bigEndian);
  EXPECT_EQ(named.rootNode, nullptr);
  EXPECT_EQ(named.sizeSectors, 131072u);
}

TEST(UfsInode, PlausibilityEdgeCases) {
  const std::vector<uint8_t> s = SuperBlock(false);
  CUFS1Vol v(kVolUfs1);
  ASSERT_TRUE(InitUFSVol(&v, s.data(), 0, 512));
  const UfsInodeContext c = UfsContextOf(v, false);
  struct Case {
    const char* what;
    uint16_t mode;
    uint64_t size;
    std::vector<uint32_t> pointers;  // from the first direct one
    bool plausible;
  };
  const Case cases[] = {
      {"a file of 5 blocks", 0x81A4, 5 * 8192, {8, 16, 24, 32, 40}, true},
      {"its second pointer with fragment bits", 0x81A4, 5 * 8192, {8, 17, 24, 32, 40}, false},
      {"a tail of fragments anywhere", 0x81A4, 8192 + 1500, {8, 17}, true},
      {"a pointer past the file's blocks", 0x81A4, 8192, {8, 16}, false},
      {"an indirect pointer on a small file", 0x81A4, 8192, {8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 64}, false},
      {"a folder of 512 bytes", 0x41ED, 512, {8}, true},
      {"a folder of 500 bytes", 0x41ED, 500, {8}, false},
      {"a short symbolic link (its target in the pointers)", 0xA1FF, 20, {0x6c2f6e69, 0x6b}, true},
      {"an unused inode", 0, 0, {}, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<uint8_t> inode(kInode1Bytes, 0);
    Put16(inode, kInodeMode, k.mode);
    Put64(inode, kInode1Size, k.size);
    for (size_t i = 0; i < k.pointers.size(); ++i) Put32(inode, kInode1Blocks + 4 * i, k.pointers[i]);
    EXPECT_EQ(IsUFSInode(inode.data(), c, false), k.plausible);
  }
  // Strict adds the mode's permissions.
  std::vector<uint8_t> odd(kInode1Bytes, 0);
  Put16(odd, kInodeMode, 0x8012);
  EXPECT_TRUE(IsUFSInode(odd.data(), c, false));
  EXPECT_FALSE(IsUFSInode(odd.data(), c, true));
}

// The node keeps the pointer bytes its size needs; its first sector is
// its first fragment's, wherever in a block that lies.
TEST(UfsInode, NodeFromTheInode) {
  const std::vector<uint8_t> s = SuperBlock(true);
  CUFS1Vol v(kVolUfs2);
  ASSERT_TRUE(InitUFSVol(&v, s.data(), 0, 512));
  struct Case {
    uint64_t size;
    uint8_t listBytes;
  };
  const uint64_t p = v.pointersPerBlock;
  const Case cases[] = {{0, 0},
                        {1, 8},
                        {12 * 8192, 96},
                        {13 * 8192, 104},
                        {(12 + p) * 8192, 104},
                        {(12 + p + 1) * 8192, 112},
                        {(12 + p + p * p + 1) * 8192, 120}};
  for (const Case& c : cases) {
    std::vector<uint8_t> inode(kInode2Bytes, 0);
    Put16(inode, kInodeMode, 0x81A4);
    Put64(inode, kInode2Size, c.size);
    Put64(inode, kInode2Blocks, 13);  // a fragment address 5 fragments into block 1
    UnixNode node(kNodeUfs);
    ASSERT_TRUE(FromUFSInode(&node, ParseUfsInode(inode.data(), true), &v));
    EXPECT_EQ(node.listLength, c.listBytes) << c.size;
    if (c.listBytes) {
      EXPECT_EQ(node.GetFirstSector(v, 512), 13 * 2) << c.size;
    }
  }
}
