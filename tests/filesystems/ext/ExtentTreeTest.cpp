// The ext4 extent-tree reader over hand-made nodes: leaf lengths, the
// header checks, child depths, loops and the index-root repair (the volume
// tests compare real trees with debugfs).
#include "filesystems/ext/ExtentTree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "foundation/ByteOrder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Builds extent nodes: header then entries.
struct Node {
  Bytes b;
  Node(uint16_t entries, uint16_t depth, uint16_t max = 4, size_t size = 60) : b(size, 0) {
    PutLittleEndian(b.data(), ext::kExtentMagic, 2);
    PutLittleEndian(b.data() + 2, entries, 2);
    PutLittleEndian(b.data() + 4, max, 2);
    PutLittleEndian(b.data() + 6, depth, 2);
  }
  Node& Leaf(int i, uint32_t first, uint16_t length, uint64_t start) {
    uint8_t* e = b.data() + 12 + 12 * i;
    PutLittleEndian(e, first, 4);
    PutLittleEndian(e + 4, length, 2);
    PutLittleEndian(e + 6, uint32_t(start >> 32), 2);
    PutLittleEndian(e + 8, uint32_t(start), 4);
    return *this;
  }
  Node& Index(int i, uint32_t first, uint64_t child) {
    uint8_t* e = b.data() + 12 + 12 * i;
    PutLittleEndian(e, first, 4);
    PutLittleEndian(e + 4, uint32_t(child), 4);
    PutLittleEndian(e + 8, uint32_t(child >> 32), 2);
    return *this;
  }
};

struct BlockMap {
  std::map<uint64_t, Bytes> blocks;
  int reads = 0;
  ExtExtentReader Reader() {
    return ExtExtentReader(1024, [this](uint64_t block, uint8_t* buffer) {
      ++reads;
      auto it = blocks.find(block);
      if (it == blocks.end()) return false;
      std::memcpy(buffer, it->second.data(), 1024);
      return true;
    });
  }
};

TEST(ExtentTree, LeafLengthsAndHeaderSize) {
  Node leaf(3, 0);
  leaf.Leaf(0, 0, 32769, 0x123400000000ull + 7).Leaf(1, 1, 32768, 50000).Leaf(2, 40000, 5, 9);
  ExtExtentNode parsed;
  ASSERT_TRUE(ExtParseExtentNode(leaf.b.data(), leaf.b.size(), &parsed));
  EXPECT_EQ(parsed.lengths, (std::vector<uint32_t>{1, 32768, 5}));
  EXPECT_EQ(parsed.blocks[0], 0x123400000000ull + 7);
  EXPECT_EQ(parsed.totalLength, 32774u);
  EXPECT_EQ(ExtExtentHeaderSize(leaf.b.data()), 48u);
  Node five(5, 0, 5, 72);
  EXPECT_EQ(ExtExtentHeaderSize(five.b.data()), 0u);  // does not fit the inode
  EXPECT_FALSE(ExtExtentHeaderValid(five.b.data(), 60));
  EXPECT_TRUE(ExtExtentHeaderValid(five.b.data(), 72));

  BlockMap none;
  ExtExtentReader reader = none.Reader();
  ASSERT_TRUE(ExtLoadExtents(&reader, leaf.b.data(), leaf.b.size()));
  ASSERT_EQ(reader.RunCount(), 3u);
  EXPECT_EQ(reader.Runs()[0].Length(), 1u);
  EXPECT_EQ(reader.Runs()[1].Length(), 32768u);
  EXPECT_EQ(reader.TotalClusters(), 40005u);
  EXPECT_EQ(reader.FirstDataBlock(leaf.b.data(), leaf.b.size()), int64_t(0x123400000000ull + 7));

  // Refused: bad magic, keys not ascending, depth above 16, a leaf going
  // backwards against the table.
  Node bad = leaf;
  bad.b[0] = 0;
  EXPECT_FALSE(ExtParseExtentNode(bad.b.data(), 60, &parsed));
  Node down(2, 0);
  down.Leaf(0, 10, 1, 5).Leaf(1, 10, 1, 6);
  EXPECT_FALSE(ExtParseExtentNode(down.b.data(), 60, &parsed));
  Node deep(1, 17);
  deep.Index(0, 0, 5);
  EXPECT_FALSE(ExtParseExtentNode(deep.b.data(), 60, &parsed));
  ExtExtentReader again = none.Reader();
  ASSERT_TRUE(again.AppendRun(0, 1, 100));
  Node behind(1, 0);
  behind.Leaf(0, 50, 1, 5);
  EXPECT_FALSE(ExtLoadExtents(&again, behind.b.data(), 60));
}

TEST(ExtentTree, ChildDepthIsChecked) {
  BlockMap map;
  // Root of depth 2 -> block 10 (depth 1) -> block 11 (depth 0, good), and
  // -> block 12 that claims depth 1 again: a child must be its parent's
  // depth - 1, so 12 is skipped. Block 13 points back to itself.
  map.blocks[10] = Node(3, 1, 84, 1024).Index(0, 0, 11).Index(1, 10, 12).Index(2, 20, 13).b;
  map.blocks[11] = Node(1, 0, 84, 1024).Leaf(0, 0, 4, 500).b;
  map.blocks[12] = Node(1, 1, 84, 1024).Index(0, 10, 12).b;
  map.blocks[13] = Node(1, 0, 84, 1024).Leaf(0, 20, 2, 700).b;
  Node root(1, 2);
  root.Index(0, 0, 10);
  ExtExtentReader reader = map.Reader();
  ASSERT_TRUE(ExtLoadExtents(&reader, root.b.data(), 60));
  ASSERT_EQ(reader.RunCount(), 2u);
  EXPECT_EQ(reader.Runs()[0].lcn, 500u);
  EXPECT_EQ(reader.Runs()[1].vcn, 20u);
  EXPECT_EQ(reader.Runs()[1].lcn, 700u);
  EXPECT_LE(map.reads, 4);

  // A tree whose index blocks point at themselves ends.
  BlockMap loop;
  loop.blocks[7] = Node(1, 15, 84, 1024).Index(0, 0, 7).b;
  Node top(1, 16);
  top.Index(0, 0, 7);
  ExtExtentReader r2 = loop.Reader();
  EXPECT_TRUE(ExtLoadExtents(&r2, top.b.data(), 60));
  EXPECT_EQ(r2.RunCount(), 0u);
  EXPECT_EQ(r2.FirstDataBlock(top.b.data(), 60), -1);
  EXPECT_EQ(ExtLastLogicalBlock(&r2, top.b.data(), 60, 16), 0u);

  // The index-root repair: two good children of depth 0 and a third that
  // is no node.
  BlockMap repair;
  repair.blocks[20] = Node(1, 0, 84, 1024).Leaf(0, 0, 8, 100).b;
  repair.blocks[21] = Node(2, 0, 84, 1024).Leaf(0, 8, 8, 200).Leaf(1, 30, 2, 300).b;
  repair.blocks[22] = Bytes(1024, 0);
  Node broken(4, 5);
  broken.Index(0, 0, 20).Index(1, 8, 21).Index(2, 40, 22).Index(3, 50, 23);
  ExtExtentReader r3 = repair.Reader();
  uint64_t end = 0;
  EXPECT_EQ(ExtCheckIndexChain(broken.b.data(), &r3, &end), 36u);
  EXPECT_EQ(end, 32u * 1024);
  EXPECT_EQ(GetLittleEndian(broken.b.data() + 6, 2), 1u);  // depth
  EXPECT_EQ(GetLittleEndian(broken.b.data() + 2, 2), 2u);  // entries
}

}  // namespace
