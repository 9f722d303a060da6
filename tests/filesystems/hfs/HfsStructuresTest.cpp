// HFS+ structures from hand-made bytes: the header test, the fork parse,
// B-tree node tests and the node-size finder, names and Mac times.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "filesystems/hfs/Definitions.h"
#include "filesystems/hfs/HfsBTree.h"
#include "filesystems/hfs/HfsCatalog.h"
#include "filesystems/hfs/HfsHeader.h"
#include "filesystems/hfs/HfsNode.h"
#include "filesystems/hfs/HfsScan.h"
#include "filesystems/hfs/HfsVolume.h"
#include "foundation/AppState.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/NullScanSink.h"
#include "volumes/RunList.h"

using namespace testbytes;

namespace {

std::vector<uint8_t> Header(const char* sig, uint16_t version, uint32_t blockSize = 4096) {
  std::vector<uint8_t> h(512);
  h[0] = uint8_t(sig[0]);
  h[1] = uint8_t(sig[1]);
  PutBe16(h, hfs::kHdrVersion, version);
  PutBe32(h, hfs::kHdrBlockSize, blockSize);
  PutBe32(h, hfs::kHdrTotalBlocks, 1000);
  PutBe32(h, hfs::kHdrFreeBlocks, 10);
  PutBe32(h, hfs::kHdrDataClump, blockSize * 4);
  return h;
}

TEST(HfsHeader, SignatureAndVersion) {
  struct Case {
    const char* sig;
    uint16_t version;
    uint32_t blockSize;
    bool header;
  } cases[] = {
      {"H+", 4, 4096, true},    {"HX", 5, 4096, true},  {"HX", 4, 4096, false}, {"H+", 5, 4096, false},
      {"H+", 4, 512, true},     {"H+", 4, 65536, true}, {"H+", 4, 256, false},  {"H+", 4, 3072, false},
      {"H+", 4, 131072, false}, {"BD", 4, 4096, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsHFSPlusVolumeHeader(Header(c.sig, c.version, c.blockSize).data()), c.header)
        << c.sig << " " << c.version << " " << c.blockSize;
  std::vector<uint8_t> full = Header("H+", 4);
  PutBe32(full, hfs::kHdrFreeBlocks, 1000);
  EXPECT_FALSE(IsHFSPlusVolumeHeader(full.data()));
}

HfsForkData Fork(uint64_t size, uint32_t total, std::vector<HfsExtent> extents) {
  HfsForkData f;
  f.logicalSize = size;
  f.totalBlocks = total;
  for (size_t i = 0; i < extents.size() && i < 8; ++i) f.extents[i] = extents[i];
  return f;
}

TEST(HfsHeader, ForkParse) {
  struct Case {
    const char* what;
    HfsForkData fork;
    int used;
  } cases[] = {
      {"empty", Fork(0, 0, {}), 0},
      {"empty with blocks", Fork(0, 1, {{10, 1}}), -1},
      {"one block", Fork(100, 1, {{10, 1}}), 1},
      {"size past its blocks", Fork(5000, 1, {{10, 1}}), -1},
      {"a block more than the size needs", Fork(100, 2, {{10, 2}}), -1},
      {"two extents", Fork(8192, 2, {{10, 1}, {20, 1}}), 2},
      // Fewer blocks in eight extents than the total: the rest overflows.
      {"eight, more in the overflow",
       Fork(40960, 10, {{1, 1}, {3, 1}, {5, 1}, {7, 1}, {9, 1}, {11, 1}, {13, 1}, {15, 1}}), 8},
      // Fewer than eight extents cover fewer blocks than the total.
      {"extents short of the total", Fork(8192, 2, {{10, 1}}), -1},
      {"extents past the total", Fork(4096, 1, {{10, 2}}), -1},
      {"zero start", Fork(4096, 1, {{0, 1}}), -1},
      {"zero count", Fork(4096, 1, {{10, 0}}), -1},
      {"overlap", Fork(8192, 2, {{10, 1}, {10, 1}}), -1},
      {"past the volume", Fork(4096, 1, {{999, 2}}), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckHfsFork(c.fork, 4096, 1000, false), c.used) << c.what;
}

// A catalog leaf node of `size` bytes holding one file record per name.
std::vector<uint8_t> LeafNode(uint32_t size, const std::vector<std::u16string>& names) {
  std::vector<uint8_t> n(size);
  n[hfs::kNodeKind] = 0xFF;
  n[hfs::kNodeHeight] = 1;
  PutBe16(n, hfs::kNodeRecords, uint16_t(names.size()));
  size_t at = hfs::kNodeDescriptorBytes;
  for (size_t i = 0; i < names.size(); ++i) {
    PutBe16(n, size - 2 * (i + 1), uint16_t(at));
    const std::u16string& name = names[i];
    PutBe16(n, at, uint16_t(2 * name.size() + 6));
    PutBe32(n, at + 2, 2);
    PutBe16(n, at + 6, uint16_t(name.size()));
    for (size_t k = 0; k < name.size(); ++k) PutBe16(n, at + 8 + 2 * k, name[k]);
    const size_t rec = at + 8 + 2 * name.size();
    PutBe16(n, rec, hfs::kRecFile);
    PutBe32(n, rec + hfs::kRecId, uint32_t(100 + i));
    at = rec + hfs::kFileRecordBytes;
  }
  PutBe16(n, size - 2 * (names.size() + 1), uint16_t(at));
  return n;
}

TEST(HfsBTree, NodeSizeFound) {
  for (uint32_t size : {4096u, 8192u, 16384u}) {
    std::vector<uint8_t> data = LeafNode(size, {u"one", u"two", u"three"});
    // The next node follows, with an offset table of its own.
    const std::vector<uint8_t> next = LeafNode(size, {u"four", u"five"});
    data.insert(data.end(), next.begin(), next.end());
    EXPECT_EQ(FindHFSBTreeNodeSize(data.data(), data.size()), size) << size;
    EXPECT_TRUE(IsHFSCatalogLeafNode(data.data(), size, 100));
  }
  // Too few bytes for the node.
  const std::vector<uint8_t> node = LeafNode(8192, {u"x"});
  EXPECT_EQ(FindHFSBTreeNodeSize(node.data(), 4096), 0u);
  std::vector<uint8_t> bad = node;
  PutBe16(bad, 8192 - 2, 20);
  EXPECT_EQ(FindHFSBTreeNodeSize(bad.data(), bad.size()), 0u);
}

// The two bytes 8 and 9 are kind -1 and height 1; links must stay below
// the node count.
TEST(HfsBTree, CatalogLeafTest) {
  std::vector<uint8_t> n = LeafNode(4096, {u"a"});
  EXPECT_TRUE(IsHFSCatalogLeafNode(n.data(), n.size(), 0));
  PutBe32(n, hfs::kNodeForward, 50);
  EXPECT_FALSE(IsHFSCatalogLeafNode(n.data(), n.size(), 50));
  EXPECT_TRUE(IsHFSCatalogLeafNode(n.data(), n.size(), 51));
  n[hfs::kNodeKind] = 0x01;
  n[hfs::kNodeHeight] = 0xFF;
  EXPECT_FALSE(IsHFSCatalogLeafNode(n.data(), n.size(), 0));
}

TEST(HfsBTree, HeaderNode) {
  std::vector<uint8_t> n(4096);
  n[hfs::kNodeKind] = 1;
  PutBe16(n, hfs::kNodeRecords, 3);
  const size_t r = hfs::kNodeDescriptorBytes;
  PutBe16(n, r + hfs::kBtNodeSize, 4096);
  PutBe32(n, r + hfs::kBtTotalNodes, 10);
  PutBe32(n, r + hfs::kBtFreeNodes, 5);
  HfsBTreeHeader h;
  EXPECT_TRUE(IsHFSBTreeHeaderNode(n.data(), n.size(), &h));
  EXPECT_EQ(h.nodeSize, 4096);
  PutBe16(n, r + hfs::kBtNodeSize, 3000);
  EXPECT_FALSE(IsHFSBTreeHeaderNode(n.data(), n.size()));
  PutBe16(n, r + hfs::kBtNodeSize, 4096);
  PutBe32(n, r + hfs::kBtFreeNodes, 10);
  EXPECT_FALSE(IsHFSBTreeHeaderNode(n.data(), n.size()));
}

struct FileSpec {
  std::u16string name;
  uint64_t size;
  uint32_t total;
  std::vector<HfsExtent> extents;
};

// A catalog leaf node of file records with their data forks.
std::vector<uint8_t> FileNode(uint32_t size, const std::vector<FileSpec>& files) {
  std::vector<std::u16string> names;
  for (const FileSpec& f : files) names.push_back(f.name);
  std::vector<uint8_t> n = LeafNode(size, names);
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t at = size_t(n[size - 2 * (i + 1)]) << 8 | n[size - 2 * (i + 1) + 1];
    const size_t rec = at + 8 + 2 * files[i].name.size();
    const size_t fork = rec + hfs::kRecDataFork;
    PutBe64(n, fork + hfs::kForkLogicalSize, files[i].size);
    PutBe32(n, fork + hfs::kForkTotalBlocks, files[i].total);
    for (size_t k = 0; k < files[i].extents.size(); ++k) {
      PutBe32(n, fork + hfs::kForkExtentList + 8 * k, files[i].extents[k].startBlock);
      PutBe32(n, fork + hfs::kForkExtentList + 8 * k + 4, files[i].extents[k].blockCount);
    }
  }
  return n;
}

// An extents leaf node: (file id, first block, extents) records.
struct ChunkSpec {
  uint32_t fileId, startBlock;
  std::vector<HfsExtent> extents;
};
std::vector<uint8_t> ExtentsNode(uint32_t size, const std::vector<ChunkSpec>& chunks) {
  std::vector<uint8_t> n(size);
  n[hfs::kNodeKind] = 0xFF;
  n[hfs::kNodeHeight] = 1;
  PutBe16(n, hfs::kNodeRecords, uint16_t(chunks.size()));
  size_t at = hfs::kNodeDescriptorBytes;
  for (size_t i = 0; i < chunks.size(); ++i) {
    PutBe16(n, size - 2 * (i + 1), uint16_t(at));
    PutBe16(n, at + hfs::kExtKeyLength, hfs::kExtKeyLengthValue);
    PutBe32(n, at + hfs::kExtKeyFileId, chunks[i].fileId);
    PutBe32(n, at + hfs::kExtKeyStartBlock, chunks[i].startBlock);
    for (size_t k = 0; k < chunks[i].extents.size(); ++k) {
      PutBe32(n, at + hfs::kExtRecordExtents + 8 * k, chunks[i].extents[k].startBlock);
      PutBe32(n, at + hfs::kExtRecordExtents + 8 * k + 4, chunks[i].extents[k].blockCount);
    }
    at += hfs::kExtRecordBytes;
  }
  PutBe16(n, size - 2 * (chunks.size() + 1), uint16_t(at));
  return n;
}

// The sink lists every file of the scan flags' default (existing ones).
class ListingSink : public NullScanSink {
 public:
  ListingSink() { options_.scanFlag = 3; }
  const AppState& Options() const override { return options_; }

 private:
  AppState options_;
};

// Eight extents covering fewer blocks than the size: completed from the
// extents records that follow on (a chunk that does not start where the
// file's blocks end waits for the one before it); extents covering more
// blocks than the size needs: not listed.
TEST(HfsScan, OverflowExtentsCompleteAFileAndTooManyBlocksDropIt) {
  CHFSPlusVol v;
  v.SetClusterSize(4096);
  v.totalBlocks = 100000;
  ListingSink sink;
  v.engine = &sink;
  std::vector<HfsExtent> eight;
  for (uint32_t k = 0; k < 8; ++k) eight.push_back({100 + 10 * k, 1});
  const std::vector<uint8_t> node = FileNode(4096, {
                                                       {u"whole", 4096 * 12, 12, eight},
                                                       {u"toomany", 100, 2, {{500, 2}}},
                                                       {u"plain", 5000, 2, {{600, 2}}},
                                                   });
  // File ids are 100, 101, 102 (LeafNode); the chunks of "whole" come in
  // the wrong order.
  const std::vector<uint8_t> ext = ExtentsNode(4096, {{100, 10, {{300, 2}}}, {100, 8, {{200, 2}}}});
  ParseCatalogLeafNode(v, sink, node.data(), 4096, ext.data(), 4096);
  std::map<std::u16string, const cnode*> listed;
  for (uint32_t i = 0; i < sink.nodes.Count(); ++i)
    if (const cnode* n = sink.nodes.GetAt(i)) listed[n->GetNameW()] = n;
  EXPECT_EQ(listed.count(u"toomany"), 0u);
  ASSERT_EQ(listed.count(u"whole"), 1u);
  ASSERT_EQ(listed.count(u"plain"), 1u);
  EXPECT_EQ(GetClusterCount(listed[u"whole"]->RunBuffer()), 12);
  EXPECT_EQ(GetLastRunLCN(listed[u"whole"]->RunBuffer()), 300);
  EXPECT_EQ(GetClusterCount(listed[u"plain"]->RunBuffer()), 2);
}

TEST(HfsCatalog, NamesAsListed) {
  struct Case {
    std::u16string stored, listed;
  } cases[] = {
      {u"a/b", u"a_b"},       {u"co:lon", u"co_lon"},       {u"x\u0001y", u"x_y"},
      {u"trail  ", u"trail"}, {u"q\"*<>?\\|", u"q_______"}, {u"cafe\u0301", u"cafe\u0301"},
      {u"..", u".."},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b(2 * c.stored.size());
    for (size_t i = 0; i < c.stored.size(); ++i) PutBe16(b, 2 * i, c.stored[i]);
    EXPECT_EQ(HfsNameToWide(b.data(), uint32_t(c.stored.size())), c.listed);
  }
}

TEST(HfsNode, MacTime) {
  // 1970-01-01 is 2,082,844,800 s after 1904-01-01.
  EXPECT_EQ(MacTimeToFileTime(2082844800u), 116444736000000000ull);
  EXPECT_EQ(MacTimeToFileTime(0), 9561628800ull * 10000000ull);
}

TEST(HfsTrace, LeafRecords) {
  int status = -1;
  std::vector<uint8_t> n = LeafNode(4096, {u"a", u"bb"});
  EXPECT_EQ(TraceHFSLeafRecords(n.data(), 4096, &status), 2);
  EXPECT_EQ(status, 0);
  PutBe16(n, 14 + 6, 300);
  EXPECT_EQ(TraceHFSLeafRecords(n.data(), 4096, &status), 0);
  EXPECT_EQ(status, 1000001);
}

}  // namespace
