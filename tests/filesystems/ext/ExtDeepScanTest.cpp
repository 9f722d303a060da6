// The Long Scan's ext structures in memory: directory blocks met anywhere
// and the names they give, the folder paths made of them, and the
// indirect blocks of raw recovery with the list of known ones. Edge cases
// as tables.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/DirBlocks.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/IndirectBlocks.h"
#include "filesystems/ext/NameTrees.h"
#include "tests/support/ByteWriter.h"

using namespace ext;
using testbytes::Put16;
using testbytes::Put32;

namespace {

// A block of ext records: (inode, name, type) each, the last one's record
// running to the block's end.
struct Rec {
  uint32_t inode;
  std::string name;
  uint8_t type;
};
std::vector<uint8_t> Block(const std::vector<Rec>& records, size_t bytes = 1024) {
  std::vector<uint8_t> b(bytes, 0);
  size_t at = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const Rec& r = records[i];
    const uint16_t used = uint16_t((8 + r.name.size() + 3) & ~size_t(3));
    const uint16_t length = i + 1 == records.size() ? uint16_t(bytes - at) : used;
    Put32(b, at, r.inode);
    Put16(b, at + 4, length);
    b[at + 6] = uint8_t(r.name.size());
    b[at + 7] = r.type;
    for (size_t k = 0; k < r.name.size(); ++k) b[at + 8 + k] = uint8_t(r.name[k]);
    at += length;
  }
  return b;
}

// A volume of 1 KiB blocks and 2048 inodes in one group, no drive.
struct Volume {
  CExt3Vol v;
  Volume() {
    v.SetClusterSize(1024);
    v.inodeCount = 2048;
    v.inodesPerGroup = 2048;
    v.blocksPerGroup = 8192;
    v.totalBlocks = 8192;
  }
  UnixNameTrees& t() { return v.Trees(); }
  std::string FileName(uint32_t inode) {
    const UnixNameTrees::Name* n = t().File(inode);
    return n ? ToUtf8(t().NameText(*n)) : std::string("-");
  }
};

}  // namespace

TEST(ExtDirBlock, FirstBlockOfAFolder) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    int kind;
  };
  const Case cases[] = {
      {"ext's . and ..", [](auto&) {}, 4},
      {"UFS's . and .. (type at 6, length at 7)", [](auto& b) { b[6] = 4, b[7] = 1, b[18] = 4, b[19] = 2; }, 5},
      {". of another length", [](auto& b) { Put16(b, 4, 16); }, 0},
      {"no ..", [](auto& b) { b[21] = 'x'; }, 0},
      {".. not a folder", [](auto& b) { b[19] = 1; }, 0},
      {"a type-less ext2 .", [](auto& b) { b[7] = 0; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> b = Block({{12, ".", 2}, {2, "..", 2}, {13, "file", 1}});
    c.change(b);
    uint32_t dot = 0, dotDot = 0;
    EXPECT_EQ(IsUnixDirBlock(b.data(), &dot, &dotDot), c.kind);
    if (c.kind) {
      EXPECT_EQ(dot * 1000 + dotDot, 12002u);
    }
    EXPECT_EQ(IsUnixDirSector(b.data(), nullptr), c.kind != 0);
  }
}

TEST(ExtDirBlock, RunOfEntries) {
  struct Case {
    const char* what;
    std::vector<Rec> records;
    std::function<void(std::vector<uint8_t>&)> change;
    bool run;
  };
  const auto none = [](auto&) {};
  const Case cases[] = {
      {"files and a folder to the block's end", {{20, "a", 1}, {21, "b", 2}, {22, "link", 7}}, none, true},
      {"a zeroed block", {}, none, false},
      {"no inode at all", {{0, "", 0}}, none, false},
      {"an inode past the volume's", {{20, "a", 1}, {5000, "b", 1}}, none, false},
      {"a type no entry has", {{20, "a", 3}}, none, false},
      {"a record shorter than its name", {{20, "a", 1}, {21, "b", 1}}, [](auto& b) { b[6] = 40; }, false},
      {"records that stop short of the end", {{20, "a", 1}}, [](auto& b) { Put16(b, 4, 512); }, false},
      {"a deleted first record (inode 0) before live ones", {{0, "gone", 1}, {21, "b", 1}}, none, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> b = Block(c.records);
    c.change(b);
    EXPECT_EQ(IsUnixDirEntryRun(b.data(), b.size(), 2048), c.run);
  }
}

// Names from a folder's blocks: "." gives the folder, ".." its parent, and
// every other record a name; records in a live one's slack count, but the
// walk's and a live record's names are stronger.
TEST(ExtDirBlock, NamesIntoTheTrees) {
  Volume vol;
  std::vector<uint8_t> b = Block({{30, ".", 2}, {14, "..", 2}, {31, "one.txt", 1}, {33, "two", 1}, {32, "sub", 2}});
  // A deleted record hidden in the slack of "sub", the last record.
  const std::vector<uint8_t> hidden = Block({{34, "gone.bin", 1}}, 16);
  std::copy(hidden.begin(), hidden.end(), b.begin() + 12 + 12 + 16 + 12 + 12);
  uint32_t parent = 0;
  EXPECT_EQ(NameUnixEntries(vol.v, b.data(), b.size(), &parent), 4);
  EXPECT_EQ(parent, 30u);
  ASSERT_NE(vol.t().Folder(30), nullptr);
  EXPECT_EQ(vol.t().Folder(30)->parent, 14u);
  EXPECT_EQ(vol.t().Folder(32)->parent, 30u);
  EXPECT_EQ(vol.FileName(31), "one.txt");
  EXPECT_EQ(vol.FileName(34), "gone.bin");
  EXPECT_EQ(vol.t().File(34)->strength, kNameHidden);
  // A block with no "." names its entries under a folder of its own past
  // the inodes.
  const std::vector<uint8_t> loose = Block({{40, "loose", 1}, {41, "more", 1}});
  uint32_t unknown = 0;
  NameUnixEntries(vol.v, loose.data(), loose.size(), &unknown);
  EXPECT_GT(unknown, 2048u);
  EXPECT_EQ(vol.t().File(40)->strength, kNameUnplaced);
  // A live name in a known folder replaces a hidden or unplaced one; a
  // second live one is a hard link.
  const std::vector<uint8_t> later =
      Block({{50, ".", 2}, {30, "..", 2}, {34, "again.bin", 1}, {40, "found", 1}, {31, "link.txt", 1}});
  parent = 0;
  NameUnixEntries(vol.v, later.data(), later.size(), &parent);
  EXPECT_EQ(vol.FileName(34), "again.bin");
  EXPECT_EQ(vol.FileName(40), "found");
  const UnixNameTrees::Name* one = vol.t().File(31);
  ASSERT_NE(one, nullptr);
  const UnixNameTrees::Name* link = vol.t().NextName(*one);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(ToUtf8(vol.t().NameText(*link)), "link.txt");
  EXPECT_EQ(vol.t().NextName(*link), nullptr);
  // The same block again adds nothing.
  NameUnixEntries(vol.v, later.data(), later.size(), &parent);
  EXPECT_EQ(vol.t().NextName(*vol.t().NextName(*vol.t().File(31))), nullptr);
  // What the walk listed is known already.
  vol.t().MarkListed(60);
  const std::vector<uint8_t> walked = Block({{70, ".", 2}, {2, "..", 2}, {60, "listed", 1}});
  parent = 0;
  EXPECT_EQ(NameUnixEntries(vol.v, walked.data(), walked.size(), &parent), 0);
  EXPECT_EQ(vol.t().File(60), nullptr);
}

// A folder's path up to the root, or the part below the folder where the
// chain breaks.
TEST(ExtNameTrees, FolderPaths) {
  UnixNameTrees t(100);
  auto folder = [&](uint32_t inode, uint32_t parent, const std::string& name) {
    t.AddFolder(inode, parent, reinterpret_cast<const uint8_t*>(name.data()), uint16_t(name.size()), kNameLive);
  };
  folder(10, 2, "a");
  folder(11, 10, "b");
  folder(20, 21, "lost");  // 21 has no name
  folder(30, 31, "x");
  folder(31, 30, "y");  // a loop
  struct Case {
    uint32_t inode;
    const char* path;
    uint32_t broken;
  };
  const Case cases[] = {{11, "\\a\\b\\", 0}, {10, "\\a\\", 0}, {20, "lost\\", 21}, {21, "", 21}, {99, "", 99}};
  for (const Case& c : cases) {
    uint32_t broken = 7;
    EXPECT_EQ(ToUtf8(t.FolderPath(c.inode, 2, &broken)), c.path) << c.inode;
    EXPECT_EQ(broken, c.broken) << c.inode;
  }
  uint32_t broken = 0;
  t.FolderPath(30, 2, &broken);
  EXPECT_TRUE(broken == 30 || broken == 31);
}

TEST(ExtIndirect, BlockOfPointers) {
  struct Case {
    const char* what;
    std::vector<uint32_t> pointers;  // then zeros
    uint32_t stride;
    bool is;
    uint32_t used;
  };
  std::vector<uint32_t> full(256);
  for (uint32_t i = 0; i < 256; ++i) full[i] = 1000 + i;
  const Case cases[] = {
      {"consecutive pointers", {1000, 1001, 1002, 1003}, 1, true, 4},
      {"one pointer only (no pair)", {1000}, 1, false, 0},
      {"a block full of them", full, 1, true, 256},
      {"the first one 0", {0, 1000, 1001}, 1, false, 0},
      {"a pointer of 1", {1000, 1, 1002}, 1, false, 0},
      {"a pointer past the volume", {1000, 9000}, 1, false, 0},
      {"scattered pointers past 8", {10, 50, 90, 130, 170, 210, 250, 290, 330, 370}, 1, false, 0},
      {"a stride of the fragments", {100, 104, 108, 112, 116, 120, 124, 128, 132, 136}, 4, true, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> block(1024, 0);
    for (size_t i = 0; i < c.pointers.size(); ++i) Put32(block, 4 * i, c.pointers[i]);
    uint32_t used = 0;
    EXPECT_EQ(IsIndirectBlock(block.data(), block.size(), 8192, c.stride, &used), c.is);
    if (c.is) {
      EXPECT_EQ(used, c.used);
    }
  }
  // Bytes after the pointers must be zeros.
  std::vector<uint8_t> block(1024, 0);
  Put32(block, 0, 1000), Put32(block, 4, 1001), block[500] = 1;
  uint32_t used = 0;
  EXPECT_FALSE(IsIndirectBlock(block.data(), block.size(), 8192, 1, &used));
}

// The list file: positive leading numbers count; out of order ones are
// reported and the list is sorted, each number once.
TEST(ExtIndirect, ListFile) {
  IndirectBlockList list(512, 0, 65536, 1024, 1, 0);
  EXPECT_EQ(list.stride, 257u);
  const std::string text = "100\n0\ntext\n300 trailing words\n200\n-5\n  400\n300\n\n500";
  list.LoadFromText(text.data(), text.size());
  EXPECT_EQ(list.Numbers(), (std::vector<uint32_t>{100, 200, 300, 400, 500}));
  EXPECT_EQ(list.OutOfOrder(), 2u);  // 200 after 300, 300 after 400
}

TEST(ExtIndirect, CheckAgainstTheList) {
  IndirectBlockList list(512, 0, 65536, 1024, 1, 0);
  std::string text;
  for (uint32_t n = 1000; n < 1030; ++n) text += std::to_string(n) + "\n";
  list.LoadFromText(text.data(), text.size());
  auto block = [](const std::vector<uint32_t>& pointers) {
    std::vector<uint8_t> b(1024, 0);
    for (size_t i = 0; i < pointers.size(); ++i) Put32(b, 4 * i, pointers[i]);
    return b;
  };
  struct Case {
    const char* what;
    std::vector<uint32_t> pointers;
    bool is;
  };
  const Case cases[] = {
      {"10 listed and a step", {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1009 + 257}, true},
      {"listed but no step", {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009}, false},
      {"a listed one twice", {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1000, 1000 + 257}, false},
      {"more unlisted than listed",
       {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 5000,
        5100, 5200, 5300, 5400, 5500, 5600, 5700, 5800, 5900, 6000, 6100},
       false},
      {"a pointer of 1", {1000, 1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> b = block(c.pointers);
    EXPECT_EQ(list.CheckIndirectBlock(b.data(), b.size()), c.is);
  }
  // The marks of one call are cleared for the next, also when the
  // generation wraps after 255 calls.
  const std::vector<uint8_t> good = block({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1266});
  for (int call = 0; call < 600; ++call) ASSERT_TRUE(list.CheckIndirectBlock(good.data(), good.size())) << call;
  // A triple-indirect block: at least the minimum listed, at most one step.
  IndirectBlockList triple(512, 0, 65536, 1024, 1, 3);
  triple.LoadFromText(text.data(), text.size());
  const std::vector<uint8_t> three = block({1000, 1010, 1020});
  EXPECT_TRUE(triple.CheckIndirectBlock(three.data(), three.size()));
  const std::vector<uint8_t> two = block({1000, 1010});
  EXPECT_FALSE(triple.CheckIndirectBlock(two.data(), two.size()));
}
