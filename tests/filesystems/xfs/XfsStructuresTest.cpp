// XFS structures made by hand, as tables of cases: the superblock's tests
// and the geometry, inode numbers, extent records and the BMAP walk,
// folder blocks and shortform folders, the session tails.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "filesystems/xfs/BlockMap.h"
#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Folder.h"
#include "filesystems/xfs/Inode.h"
#include "filesystems/xfs/LongScan.h"
#include "filesystems/xfs/SuperBlock.h"
#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsSession.h"
#include "filesystems/xfs/XfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "volumes/VolumeFamily.h"

using namespace xfs;

namespace {

void Be16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void Be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
void Be64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (56 - 8 * i));
}

// A V4 superblock: 4 KiB blocks, 256-byte inodes, agcount groups of
// agblocks blocks.
std::vector<uint8_t> SuperBlock(uint32_t agblocks = 32768, uint32_t agcount = 4) {
  std::vector<uint8_t> s(512, 0);
  Be32(&s[kSbMagicAt], kSbMagic);
  Be32(&s[kSbBlockSize], 4096);
  Be64(&s[kSbDataBlocks], uint64_t(agblocks) * agcount);
  Be64(&s[kSbRootInode], 128);
  Be32(&s[kSbAgBlocks], agblocks);
  Be32(&s[kSbAgCount], agcount);
  Be16(&s[kSbVersion], 0xB4A4);
  Be16(&s[kSbSectorSize], 512);
  Be16(&s[kSbInodeSize], 256);
  Be16(&s[kSbInodesPerBlock], 16);
  memcpy(&s[kSbName], "label", 5);
  s[kSbLogInodesPerBlock] = 4;
  uint8_t log = 0;
  while ((uint64_t(1) << log) < agblocks) log++;
  s[kSbLogAgBlocks] = log;
  return s;
}

// Reads nothing: blocks come from a table.
class TableReader : public XfsBlockReader {
 public:
  uint32_t BlockBytes() const override { return 4096; }
  bool ReadFsBlock(uint64_t b, uint8_t* out) override {
    auto it = blocks.find(b);
    if (it == blocks.end()) return false;
    memcpy(out, it->second.data(), 4096);
    return true;
  }
  uint64_t VolumeBlock(uint64_t b) override { return b < 100000 ? b : 0; }
  uint64_t TotalBlocks() const override { return 100000; }
  std::map<uint64_t, std::vector<uint8_t>> blocks;
};

std::vector<uint8_t> Extent(uint64_t logical, uint64_t block, uint64_t count, bool unwritten = false) {
  std::vector<uint8_t> r(16);
  const uint64_t w0 = (unwritten ? kExtentUnwritten : 0) | (logical << 9) | (block >> 43);
  const uint64_t w1 = (block << 21) | count;
  Be64(&r[0], w0);
  Be64(&r[8], w1);
  return r;
}

// A 256-byte version 2 inode with the fork given.
std::vector<uint8_t> Inode(uint16_t mode, uint8_t format, uint64_t size, uint32_t extents,
                           const std::vector<uint8_t>& fork) {
  std::vector<uint8_t> n(256, 0);
  Be16(&n[kDiMagic], kInodeMagic);
  Be16(&n[kDiMode], mode);
  n[kDiVersion] = 2;
  n[kDiFormat] = format;
  Be64(&n[kDiSize], size);
  Be32(&n[kDiNextents], extents);
  memcpy(&n[kDiCoreV2Bytes], fork.data(), std::min<size_t>(fork.size(), 156));
  return n;
}

std::vector<uint8_t> Bmap(uint16_t level, uint16_t count, uint64_t left, uint64_t right) {
  std::vector<uint8_t> b(4096, 0);
  Be32(&b[0], kBmapMagic);
  Be16(&b[kBmapLevel], level);
  Be16(&b[kBmapCount], count);
  Be64(&b[kBmapLeftSibling], left);
  Be64(&b[kBmapRightSibling], right);
  return b;
}

class Collect : public XfsDirVisitor {
 public:
  bool ValidInode(uint64_t n) const override { return n && n < 1000000; }
  void Entry(const XfsDirEntry& e) override {
    names.push_back(std::string(reinterpret_cast<const char*>(e.name), e.nameLength));
    inodes.push_back(e.inode);
  }
  std::vector<std::string> names;
  std::vector<uint64_t> inodes;
};

// A V4 block folder: "." ".." and the names, each with its inode.
std::vector<uint8_t> FolderBlock(const std::vector<std::string>& names, bool ftype, bool breakLastTag = false) {
  std::vector<uint8_t> b(4096, 0);
  Be32(&b[0], kDirDataMagic);
  size_t at = kDirHeaderBytes;
  std::vector<std::string> all = {".", ".."};
  all.insert(all.end(), names.begin(), names.end());
  for (size_t i = 0; i < all.size(); ++i) {
    const size_t size = XfsDirEntryBytes(all[i].size(), ftype);
    Be64(&b[at], 100 + i);
    b[at + kDeNameLength] = uint8_t(all[i].size());
    memcpy(&b[at + kDeName], all[i].data(), all[i].size());
    Be16(&b[at + size - 2], uint16_t(breakLastTag && i + 1 == all.size() ? at + 8 : at));
    at += size;
  }
  Be16(&b[at], kDeUnusedTag);
  Be16(&b[at + 2], uint16_t(4096 - at));
  return b;
}

}  // namespace

TEST(XfsSuperBlock, TestsAndInitialisation) {
  struct Case {
    const char* what;
    uint16_t sectorSize;
    uint32_t agcount;
    uint64_t root;
    bool ok;
  } cases[] = {
      {"sector size 512", 512, 4, 128, true},    {"sector size 4096", 4096, 4, 128, true},
      {"sector size 8192", 8192, 4, 128, false}, {"sector size 256", 256, 4, 128, false},
      {"agcount 0", 512, 0, 128, false},         {"root all ones", 512, 4, ~uint64_t(0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> s = SuperBlock(32768, c.agcount ? c.agcount : 4);
    Be16(&s[kSbSectorSize], c.sectorSize);
    Be32(&s[kSbAgCount], c.agcount);
    Be64(&s[kSbRootInode], c.root);
    EXPECT_TRUE(IsXFSSuperBlock(s.data()));
    CXFSVol v;
    EXPECT_EQ(v.Init(s.data(), 0, nullptr), c.ok ? 1 : 0);
    if (!c.ok) continue;
    EXPECT_EQ(v.rootInode, 128u);
    EXPECT_EQ(v.label, u"label");
    EXPECT_EQ(v.sizeSectors, 32768ull * 4 * 8);
  }
  std::vector<uint8_t> s = SuperBlock();
  Be16(&s[kSbInodeSize], 512);
  EXPECT_FALSE(IsXFSSuperBlock(s.data()));  // inode size x inodes per block != block size
}

TEST(XfsSuperBlock, VolumeStartAt63And2048AndByTheGroupHeader) {
  std::vector<uint8_t> s = SuperBlock();
  s.resize(8 * 512, 0);
  // No group header within the block: none, but at 63 and 2048.
  EXPECT_EQ(XFSVolumeStart(63, s.data(), 8, nullptr), 63);
  EXPECT_EQ(XFSVolumeStart(2048, s.data(), 8, nullptr), 2048);
  EXPECT_EQ(XFSVolumeStart(5000, s.data(), 8, nullptr), -1);
  // Group 2's superblock with its header one sector on.
  Be32(&s[512], kAgfMagic);
  Be32(&s[512 + kAgfVersion], 1);
  Be32(&s[512 + kAgfSequence], 2);
  EXPECT_EQ(XFSVolumeStart(1000 + 2 * 32768 * 8, s.data(), 8, nullptr), 1000);
  // A group index that would put the start before the drive.
  EXPECT_EQ(XFSVolumeStart(100, s.data(), 8, nullptr), -1);
}

TEST(XfsVolume, InodeNumbersAndGeometry) {
  CXFSVol v;
  ASSERT_EQ(v.Init(SuperBlock(32768, 4).data(), 0, nullptr), 1);
  EXPECT_EQ(v.aginoWidth, 19u);  // 15 bits of blocks, 4 of inodes a block
  EXPECT_TRUE(v.IsValidInode(128));
  EXPECT_TRUE(v.IsValidInode((uint64_t(3) << 19) | 5));
  EXPECT_FALSE(v.IsValidInode(uint64_t(4) << 19));  // group 4 of 4
  EXPECT_FALSE(v.IsValidInode(0));
  uint64_t block = 0;
  uint32_t byte = 0;
  ASSERT_TRUE(v.InodePlace((uint64_t(2) << 19) | (7 << 4) | 3, &block, &byte));
  EXPECT_EQ(block, 2u * 32768 + 7);
  EXPECT_EQ(byte, 3u * 256);
  EXPECT_EQ(v.SectorToInode(8 * 7 + 2), (7u << 4) + 4);
  EXPECT_EQ(v.FsBlockToVolume((uint64_t(1) << 15) | 9), 32768u + 9);
  EXPECT_EQ(v.FsBlockToVolume(uint64_t(4) << 15), 0u);
  // Session tails: blocks per group and inode size; agcount recomputed.
  SessionTail tail;
  XfsWriteVolumeTail(v, tail);
  ASSERT_EQ(tail.numbers, (std::vector<int64_t>{32768, 256}));
  struct Case {
    std::vector<int64_t> numbers;
    bool ok;
  } cases[] = {{{32768, 256}, true},  {{0, 256}, false},      {{32768, 0}, false},
               {{32768, 384}, false}, {{32768, 8192}, false}, {{1u << 30, 256}, false}};
  for (const Case& c : cases) {
    CXFSVol w;
    w.SetClusterSize(4096);
    w.sizeSectors = v.sizeSectors;
    SessionTail t;
    t.numbers = c.numbers;
    EXPECT_EQ(XfsReadVolumeTail(w, t), c.ok) << c.numbers[0] << " " << c.numbers[1];
    if (c.ok) {
      EXPECT_EQ(w.agCount, 4u);
      EXPECT_EQ(w.aginoWidth, 19u);
    }
  }
}

TEST(XfsBlockMap, ExtentListsAndTheirLimits) {
  const std::vector<uint8_t> e = Extent(5, 1234, 7, true);
  const XfsExtent d = DecodeXfsExtent(e.data());
  EXPECT_EQ(d.logical, 5u);
  EXPECT_EQ(d.block, 1234u);
  EXPECT_EQ(d.count, 7u);
  EXPECT_TRUE(d.unwritten);
  struct Case {
    const char* what;
    uint32_t count;
    bool ok;
  } cases[] = {{"one extent", 1, true}, {"zero extents", 0, false}, {"more than the fork holds", 10, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> fork = Extent(0, 50, 3, true);
    const auto raw = Inode(kModeRegular, kFormatExtents, 3 * 4096, c.count, fork);
    TableReader io;
    const XfsForkResult r = XfsInodeGetRuns(raw.data(), 256, ParseXfsInode(raw.data(), 256), io, false);
    EXPECT_EQ(r.ok, c.ok);
    if (!c.ok) continue;
    ASSERT_EQ(r.runs.size(), 1u);
    EXPECT_EQ(r.runs[0].lcn, 50u);  // the unwritten flag is dropped
    EXPECT_EQ(r.runs[0].Length(), 3u);
  }
}

TEST(XfsBlockMap, TreeWalkSiblingsLevelsAndCycles) {
  // Root in the inode: level 1, one child at block 10.
  auto rootFork = [](uint16_t level, uint64_t child) {
    std::vector<uint8_t> f(156, 0);
    Be16(&f[0], level);
    Be16(&f[2], 1);
    const size_t m = (156 - 4) / 16;
    Be64(&f[4], 0);
    Be64(&f[4 + m * 8], child);
    return f;
  };
  struct Case {
    const char* what;
    uint64_t left, right;
    uint16_t childLevel;
    bool cycle;
    bool ok;
  } cases[] = {
      {"all-ones siblings", kNullSibling, kNullSibling, 0, false, true},
      {"zero sibling", 0, kNullSibling, 0, false, false},
      {"child not one level below", kNullSibling, kNullSibling, 1, false, false},
      {"a block met twice", kNullSibling, kNullSibling, 1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableReader io;
    std::vector<uint8_t> leaf = Bmap(c.childLevel, 1, c.left, c.right);
    if (c.cycle) {
      // An interior block whose child is itself.
      Be64(&leaf[kBmapHeaderBytes], 0);
      Be64(&leaf[kBmapHeaderBytes + ((4096 - kBmapHeaderBytes) / 16) * 8], 10);
    } else {
      const auto rec = Extent(0, 77, 2);
      memcpy(&leaf[kBmapHeaderBytes], rec.data(), 16);
    }
    io.blocks[10] = leaf;
    const auto raw = Inode(kModeRegular, kFormatBtree, 2 * 4096, 1, rootFork(c.cycle ? 2 : 1, 10));
    const XfsForkResult r = XfsInodeGetRuns(raw.data(), 256, ParseXfsInode(raw.data(), 256), io, false);
    EXPECT_EQ(r.ok, c.ok);
    if (c.ok) {
      ASSERT_EQ(r.runs.size(), 1u);
      EXPECT_EQ(r.runs[0].lcn, 77u);
    }
  }
  // An interior count whose pointers would pass the block gives nothing.
  TableReader io;
  io.blocks[10] = Bmap(0, 300, kNullSibling, kNullSibling);
  const auto raw = Inode(kModeRegular, kFormatBtree, 4096, 1, rootFork(1, 10));
  const XfsForkResult r = XfsInodeGetRuns(raw.data(), 256, ParseXfsInode(raw.data(), 256), io, false);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.runs.empty());
}

TEST(XfsFolders, BlockEntriesWithAndWithoutFtype) {
  for (bool ftype : {false, true}) {
    SCOPED_TRACE(ftype);
    const auto b = FolderBlock({"five5", "thirteen13abc", "x"}, ftype);
    Collect c;
    const XfsDirBlockResult r = ParseXfsDirBlock(b.data(), 4096, ftype, c);
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(c.names, (std::vector<std::string>{".", "..", "five5", "thirteen13abc", "x"}));
    // Read with the other entry size, later entries fail their tags.
    Collect wrong;
    EXPECT_TRUE(ParseXfsDirBlock(b.data(), 4096, !ftype, wrong).failed);
  }
  // A tag that does not equal its entry's offset fails the block, keeping
  // the entries before it.
  const auto bad = FolderBlock({"a", "b"}, false, true);
  Collect c;
  const XfsDirBlockResult r = ParseXfsDirBlock(bad.data(), 4096, false, c);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(c.names, (std::vector<std::string>{".", "..", "a"}));
}

TEST(XfsFolders, ShortformHeadersAndBounds) {
  // count, count8, parent width, entries: name length, tag, name, inode.
  auto make = [](uint8_t count, uint8_t count8, bool ftype, int entries) {
    const size_t w = count8 ? 8 : 4;
    std::vector<uint8_t> f(2 + w, 0);
    f[0] = count, f[1] = count8;
    f[2 + w - 1] = 128;
    for (int i = 0; i < entries; ++i) {
      f.push_back(3);
      f.push_back(0), f.push_back(uint8_t(i));
      for (char ch : std::string("n") + char('a' + i) + "x") f.push_back(uint8_t(ch));
      if (ftype) f.push_back(1);
      for (size_t k = 0; k + 1 < w; ++k) f.push_back(0);
      f.push_back(uint8_t(200 + i));
    }
    return f;
  };
  struct Case {
    const char* what;
    uint8_t count, count8;
    bool ftype;
    int entries, cut;
    bool ok;
    int expect;
  } cases[] = {
      {"4-byte numbers", 3, 0, false, 3, 0, true, 3},
      {"8-byte numbers (count of all, count of wide)", 3, 1, false, 3, 0, true, 3},
      {"ftype byte before the number", 2, 0, true, 2, 0, true, 2},
      {"both counts 0: no entries", 0, 0, false, 0, 0, true, 0},
      {"more wide than all", 1, 2, false, 1, 0, false, 0},
      {"entries end at the fork's end", 3, 0, false, 3, 5, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> f = make(c.count, c.count8, c.ftype, c.entries);
    f.resize(f.size() - size_t(c.cut));
    Collect col;
    const XfsShortformResult r = ParseXfsShortform(f.data(), f.size(), c.ftype, false, &col);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.entries, c.expect);
    if (c.ok) {
      EXPECT_EQ(r.parent, 128u);
    }
    if (c.expect) {
      EXPECT_EQ(col.inodes[0], 200u);
    }
  }
  // "Special Shortform Directories" refuses 8-byte numbers.
  std::vector<uint8_t> f = make(1, 1, false, 1);
  EXPECT_FALSE(ParseXfsShortform(f.data(), f.size(), false, true, nullptr).ok);
}

TEST(XfsInode, TimesAndForks) {
  std::vector<uint8_t> n = Inode(kModeRegular, kFormatExtents, 1, 1, {});
  Be32(&n[kDiMtime], 1600000000);
  Be32(&n[kDiAtime], 1700000000);
  XfsInodeCore c = ParseXfsInode(n.data(), 256);
  EXPECT_EQ(c.modifySeconds, 1600000000);  // the modification time, not the access time
  EXPECT_EQ(XfsForkBytes(c, 256), 156);
  n[kDiForkOffset] = 15;
  EXPECT_EQ(XfsForkBytes(ParseXfsInode(n.data(), 256), 256), 120);
  n[kDiForkOffset] = 20;  // 160 + 100 > 256
  EXPECT_EQ(XfsForkBytes(ParseXfsInode(n.data(), 256), 256), -1);
  // Version 3 with bigtime: nanoseconds from 2^31 seconds before 1970.
  std::vector<uint8_t> v3(512, 0);
  Be16(&v3[kDiMagic], kInodeMagic);
  Be16(&v3[kDiMode], kModeRegular);
  v3[kDiVersion] = 3;
  v3[kDiFormat] = kFormatExtents;
  Be64(&v3[kDiFlags2], kDiFlags2BigTime);
  Be64(&v3[kDiMtime], (uint64_t(1) << 31) * 1000000000ull + 5000000000ull + 7);
  c = ParseXfsInode(v3.data(), 512);
  EXPECT_TRUE(c.Valid());
  EXPECT_EQ(c.modifySeconds, 5);
  EXPECT_EQ(c.ForkStart(), 176u);
  EXPECT_EQ(XfsForkBytes(c, 512), 336);
  EXPECT_EQ(CountXFSInodes(v3.data(), 512, 512), 1u);
  v3[kDiVersion] = 4;
  EXPECT_EQ(CountXFSInodes(v3.data(), 512, 512), 0u);
}

TEST(XfsLongScan, RecordsAndPaths) {
  InitMessageTable();
  XfsRecords r;
  const WString a = u"a", b = u"b", file = u"doc.pdf", odd = u"data.q1", plain = u"plain";
  r.Add(200, 128, &a, kModeDirectory);
  r.Add(300, 200, &b, kModeDirectory);
  r.Add(400, 300, &file, 0);   // typed a file by its extension
  r.Add(500, 300, &odd, 0);    // a dot and 2 characters: a file
  r.Add(600, 300, &plain, 0);  // no dot: untyped
  // A folder's name met before its own ".." (untyped) stays its name.
  const WString c = u"c";
  r.Add(900, 300, &c, 0);
  r.Add(900, 300, nullptr, kModeDirectory);
  WString p9;
  EXPECT_TRUE(r.FolderPath(900, 128, &p9));
  EXPECT_EQ(p9, u"\\a\\b\\c\\");
  EXPECT_TRUE(r.Find(400, kModeRegular));
  EXPECT_TRUE(r.Find(500, kModeRegular));
  EXPECT_TRUE(r.Find(600, 0));
  WString path;
  EXPECT_TRUE(r.FolderPath(300, 128, &path));
  EXPECT_EQ(path, u"\\a\\b\\");
  // A second parent is kept apart; the first stays.
  r.Add(300, 999, nullptr, kModeDirectory);
  EXPECT_EQ(r.Find(300, kModeDirectory)->parent, 200u);
  EXPECT_EQ(r.FindAmbiguous(300, kModeDirectory)->parent, 999u);
  // A chain that breaks, and one that loops: under "Extra files".
  EXPECT_FALSE(r.FolderPath(777, 128, &path));
  EXPECT_EQ(path, u"\\Extra files\\Folder777\\");
  r.Add(800, 801, nullptr, kModeDirectory);
  r.Add(801, 800, nullptr, kModeDirectory);
  EXPECT_FALSE(r.FolderPath(800, 128, &path));
  EXPECT_EQ(path.rfind(u"\\Extra files\\", 0), 0u);
}

TEST(XfsNode, WholeNumbersAndTimes) {
  XfsNode n;
  n.SetInode(8589934721ull);
  n.SetParent(4295098496ull);
  EXPECT_EQ(n.Inode(), 8589934721ull);
  EXPECT_EQ(n.ParentInode(), 4295098496ull);
  const NodeOps* ops = FindNodeOps(kNodeXfs);
  ASSERT_TRUE(ops && ops->fullId);
  EXPECT_EQ(ops->fullId(n), 8589934721ull);
  n.time = 0;
  uint64_t t = 0;
  ASSERT_TRUE(n.GetFileTime(&t));
  EXPECT_EQ(t, 116444736000000000ull);
}
