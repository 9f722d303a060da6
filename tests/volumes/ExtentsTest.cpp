#include "volumes/Extents.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "tests/volumes/ExtImage.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"

namespace {

using fixtures::Bytes;

struct Lookup {
  uint64_t vcn, lcn, left, next;
};

void ExpectLookups(CExtents& e, const std::vector<Lookup>& cases) {
  for (const Lookup& c : cases) {
    SCOPED_TRACE("vcn " + std::to_string(c.vcn));
    uint64_t left = 99, next = 99;
    EXPECT_EQ(e.VcnToLcn(c.vcn, &left, &next), c.lcn);
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(next, c.next);
  }
}

TEST(Extents, VcnToLcnWithGap) {
  CExtents e;
  ASSERT_TRUE(e.AppendRun(0, 100, 10));
  ASSERT_TRUE(e.AppendRun(20, 500, 10));
  // In a run, next counts to the next run's start.
  ExpectLookups(e, {{5, 105, 5, 15},
                    {0, 100, 10, 20},
                    {15, 0, 0, 5},
                    {29, 509, 1, 1},
                    {30, 0, 0, 0},
                    {9, 109, 1, 11},
                    {20, 500, 10, 10}});
  CExtents empty;
  ExpectLookups(empty, {{0, 0, 0, 0}});
  EXPECT_FALSE(e.AppendRun(25, 1, 1));  // overlaps the table
}

TEST(Extents, HolesFromRunListsReadAsHoles) {
  GlobalObjectsScope scope;
  CExtents e;
  // 4 clusters at 100, a hole of 3 (offset 0: the previous start), 2 at 104.
  ASSERT_EQ(e.LoadHexRunList(std::string_view("11046401031104 04")), -1);  // a blank is no digit
  ASSERT_EQ(e.LoadHexRunList(std::string_view("1104640103110204")), 9);
  ASSERT_EQ(e.RunCount(), 3u);
  EXPECT_TRUE(e.Runs()[1].IsHole());
  EXPECT_EQ(e.Runs()[1].lcn, 100u);  // marked with the previous LCN, as run lists mark it
  ExpectLookups(e, {{3, 103, 1, 1}, {4, 0, 0, 3}, {6, 0, 0, 1}, {7, 104, 2, 2}});

  // A second list appended: its starts count from 0 again, and its leading
  // hole takes the table's last LCN only as a mark.
  CExtents two;
  ASSERT_EQ(two.LoadHexRunList(std::string_view("11046401")), 4);
  ASSERT_EQ(two.LoadHexRunList(std::string_view("01022102C800")), 4);
  ASSERT_EQ(two.RunCount(), 3u);
  EXPECT_TRUE(two.Runs()[1].IsHole());
  EXPECT_EQ(two.Runs()[1].lcn, 100u);
  EXPECT_EQ(two.Runs()[2].lcn, 200u);  // not 100 + 200
  ExpectLookups(two, {{4, 0, 0, 2}, {6, 200, 2, 2}});

  // A list that starts with a hole in an empty table.
  CExtents lead;
  ASSERT_EQ(lead.LoadHexRunList(u"01052103F000"), 8);
  ExpectLookups(lead, {{0, 0, 0, 5}, {5, 240, 3, 3}});

  // A negative start: message 240, the table unchanged.
  CExtents neg;
  ASSERT_EQ(neg.LoadHexRunList(std::string_view("110464")), 4);
  ErrorMsg(u"before");
  EXPECT_EQ(neg.LoadHexRunList(std::string_view("1101051101F0")), -1);
  EXPECT_EQ(LastErrorText(), u"Starting cluster number is negative: -11");
  EXPECT_EQ(neg.RunCount(), 1u);
  EXPECT_EQ(neg.TotalClusters(), 4u);
  EXPECT_EQ(neg.LoadHexRunList(std::string_view("1G")), -1);
  EXPECT_EQ(neg.LoadHexRunList(std::string_view("110")), -1);
}

// ---------------------------------------------------------------- real images

struct DebugfsExtent {
  uint64_t logical, physical, length;
  bool uninit;
};

// The leaves of debugfs "ex".
std::vector<DebugfsExtent> ParseDebugfsEx(const std::string& text) {
  std::vector<DebugfsExtent> out;
  const std::regex line(
      R"(^\s*(\d+)/\s*(\d+)\s+\d+/\s*\d+\s+(\d+)(?:\s+-\s+\d+)?\s+(\d+)(?:\s+-\s+\d+)?\s+(\d+)\s*(Uninit)?\s*$)");
  std::istringstream in(text);
  std::string s;
  std::smatch m;
  while (std::getline(in, s)) {
    if (!std::regex_match(s, m, line)) continue;
    if (m[1] != m[2]) continue;  // an index entry
    out.push_back({std::stoull(m[3]), std::stoull(m[4]), std::stoull(m[5]), m[6].matched});
  }
  return out;
}

uint32_t InodeOfImap(const std::string& text) {
  std::smatch m;
  static const std::regex re(R"(Inode (\d+) is part)");
  return std::regex_search(text, m, re) ? uint32_t(std::stoul(m[1])) : 0;
}

// An ext volume over the image file through a real Drive.
struct ExtVolume {
  Drive drive;
  CVol* vol = nullptr;
  fixtures::ExtImage image;
  bool Open(const std::string& path) {
    if (!image.Open(path)) return false;
    drive.InitDrive(FromUtf8(path));
    vol = CreateVol(kVolExt);
    vol->drive = &drive;
    vol->SetClusterSize(image.BlockSize());
    return true;
  }
  ~ExtVolume() { DeleteVol(&vol); }
  // Builds the volume's extents for the file; the node gets its size.
  bool Load(uint32_t inodeNumber, cnode* node) {
    const uint8_t* inode = image.Inode(inodeNumber);
    if (!inode) return false;
    node->size = fixtures::ExtImage::Size(inode);
    vol->SetNodeClusterCode(node);
    return vol->BuildNodeExtents(node, fixtures::ExtImage::BlockArea(inode));
  }
};

// The extent runs of real files equal what debugfs prints; reading them
// gives the file's data, holes as zeros.
TEST(Extents, Ext4TreesMatchDebugfs) {
  GlobalObjectsScope scope;
  DV_NEED_FIXTURE("make_ext4_hole.sh");
  DV_NEED_FIXTURE("make_fragmented_ext.sh");
  const std::string folder = FixtureCache();
  struct File {
    std::string image, ex, imap;
    const char* tag;
  };
  const File files[] = {
      {"ext4-hole.img", "ext4-hole.holey.ex.txt", "ext4-hole.holey.imap.txt", "holey"},
      {"ext4-hole.img", "ext4-hole.leading.ex.txt", "ext4-hole.leading.imap.txt", "leading"},
      {"ext4-hole.img", "ext4-hole.prealloc.ex.txt", "ext4-hole.prealloc.imap.txt", "prealloc"},
      {"frag-ext4.img", "frag-ext4.ex.txt", "", "big"},
  };
  for (const File& f : files) {
    SCOPED_TRACE(f.tag);
    ExtVolume ev;
    ASSERT_TRUE(ev.Open(folder + "/" + f.image));
    const auto want = ParseDebugfsEx(ReadFileText(folder + "/" + f.ex));
    ASSERT_FALSE(want.empty());
    // frag-ext4's "big" is the file after the 600 small ones: find it by name.
    uint32_t number = f.imap.empty() ? 0 : InodeOfImap(ReadFileText(folder + "/" + f.imap));
    if (!number) {
      const uint8_t* rootInode = ev.image.Inode(2);
      ASSERT_NE(rootInode, nullptr);
      cnode root(kNodeExt);
      ASSERT_TRUE(ev.Load(2, &root));
      std::vector<uint64_t> blocks;
      for (size_t i = 0; i < ev.vol->extents->RunCount(); ++i)
        for (uint64_t b = ev.vol->extents->Runs()[i].lcn; b < ev.vol->extents->Runs()[i].lcnEnd; ++b)
          blocks.push_back(b);
      for (const auto& e : ev.image.Entries(blocks))
        if (e.name == Bytes{'b', 'i', 'g'}) number = e.inode;
    }
    ASSERT_NE(number, 0u);
    cnode node(kNodeExt);
    ASSERT_TRUE(ev.Load(number, &node));
    const CExtents& ext = *ev.vol->extents;
    ASSERT_EQ(ext.RunCount(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(ext.Runs()[i].vcn, want[i].logical) << i;
      EXPECT_EQ(ext.Runs()[i].lcn, want[i].physical) << i;
      EXPECT_EQ(ext.Runs()[i].Length(), want[i].length) << i;
    }

    // The data: every block of the pattern the script wrote, holes zero.
    uint64_t got = 0;
    const uint8_t* data = ev.vol->ReadInodeDataCm(0, node.size, &got);
    ASSERT_NE(data, nullptr);
    const uint32_t bs = ev.image.BlockSize();
    ASSERT_EQ(got, std::min<uint64_t>((node.size + bs - 1) / bs * bs, kClusterBufferBytes));
    if (std::string(f.tag) == "big") {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size_t(got)), std::string(size_t(got), 'd'));
      // Past the buffer: the next call continues where this one ended, and
      // an unaligned start gives whole clusters from the one holding it.
      const uint8_t* rest = ev.vol->ReadInodeDataCm(got + 100, node.size - got - 100, &got);
      ASSERT_NE(rest, nullptr);
      EXPECT_EQ(got, (node.size - kClusterBufferBytes + bs - 1) / bs * bs);
      continue;
    }
    if (std::string(f.tag) == "prealloc") continue;  // unwritten blocks hold what the disk holds
    for (uint64_t b = 0; b * bs < node.size; ++b) {
      bool mapped = false;
      for (const auto& w : want) mapped |= b >= w.logical && b < w.logical + w.length;
      char expected[1025];
      snprintf(expected, sizeof expected, "%-1023s\n", (std::string(f.tag) + " block " + std::to_string(b)).c_str());
      const std::string block(reinterpret_cast<const char*>(data + b * bs), bs);
      if (mapped) {
        EXPECT_EQ(block, std::string(expected, 1024)) << "block " << b;
      } else {
        EXPECT_EQ(block, std::string(bs, '\0')) << "hole block " << b;
      }
    }
  }
}

// The clusters of a fragmented FAT file, from istat, read through a FAT
// volume give the bytes icat gives.
TEST(Extents, FatRunsReadAsIcat) {
  GlobalObjectsScope scope;
  DV_NEED_FIXTURE("make_hostile_names.sh", "fat");
  const std::string folder = FixtureCache();
  const std::string istat = ReadFileText(folder + "/fat-frag.istat.txt");
  const std::string fsstat = ReadFileText(folder + "/fat-frag.fsstat.txt");
  const Bytes icat = fixtures::ReadAll(folder + "/fat-frag.icat.bin");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Cluster Area: (\d+) - )")));
  const uint64_t dataArea = std::stoull(m[1]);
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Cluster Size: (\d+))")));
  const uint32_t clusterSize = uint32_t(std::stoul(m[1]));
  ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"(Size: (\d+))")));
  const uint64_t size = std::stoull(m[1]);
  ASSERT_EQ(icat.size(), size);

  // Sectors to runs of clusters counted from the data area.
  std::vector<uint64_t> sectors;
  std::istringstream in(istat.substr(istat.find("Sectors:") + 8));
  for (uint64_t s; in >> s;) sectors.push_back(s);
  const uint32_t perCluster = clusterSize / 512;
  ASSERT_EQ(sectors.size() * 512, (size + clusterSize - 1) / clusterSize * clusterSize);
  RunListEncoder enc;
  int64_t start = -1;
  uint32_t length = 0;
  for (size_t i = 0; i < sectors.size(); i += perCluster) {
    const int64_t c = int64_t((sectors[i] - dataArea) / perCluster);
    if (length && c == start + length) {
      ++length;
      continue;
    }
    if (length) {
      ASSERT_GE(enc.AddRun(start, length), 0);
    }
    start = c;
    length = 1;
  }
  ASSERT_GE(enc.AddRun(start, length), 0);
  EXPECT_GT(enc.RunCount(), 10u);

  Drive drive;
  drive.InitDrive(FromUtf8(folder + "/fat-frag.img"));
  CVol* vol = CreateVol(kVolFat16);
  vol->drive = &drive;
  vol->SetClusterSize(clusterSize);
  vol->dataAreaSector = dataArea;
  cnode node(kNodeFat);
  node.runs = enc.Export();
  node.size = size;
  vol->SetNodeClusterCode(&node);
  ASSERT_TRUE(vol->BuildNodeExtents(&node));
  uint64_t got = 0;
  const uint8_t* data = vol->ReadInodeDataCm(0, size, &got);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(got, size);
  EXPECT_EQ(Bytes(data, data + size), icat);

  // An unaligned piece: whole clusters from the one holding the offset.
  data = vol->ReadInodeDataCm(1500, 3000, &got);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(got, 4u * clusterSize);  // clusters 1 to 4
  EXPECT_EQ(Bytes(data, data + got), Bytes(icat.begin() + clusterSize, icat.begin() + 5 * clusterSize));

  // Cluster 0 of a FAT volume is the first sector of the data area.
  uint8_t sector[1024];
  uint32_t read = 0;
  ASSERT_NE(vol->ReadClusters(sector, 0, 1, 0, sizeof sector, &read), nullptr);
  EXPECT_EQ(read, 1u);
  const Bytes image = fixtures::ReadAll(folder + "/fat-frag.img");
  EXPECT_EQ(Bytes(sector, sector + 1024), Bytes(image.begin() + long(dataArea * 512), image.begin() + long(dataArea * 512 + 1024)));
  // Past the mapping: message 630.
  ErrorMsg(u"before");
  EXPECT_EQ(vol->ReadInodeDataCm(size + 10 * clusterSize, 10, &got), nullptr);
  EXPECT_EQ(LastErrorText(), u"Empty or invalid file extents.");
  DeleteVol(&vol);
  EXPECT_EQ(vol, nullptr);
}

}  // namespace
