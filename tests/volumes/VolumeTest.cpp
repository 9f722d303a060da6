#include "volumes/Volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filesystems/ext/ExtentTree.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"
#include "tests/support/TestUtil.h"
#include "volumes/Extents.h"
#include "volumes/Node.h"
#include "volumes/VolumeFactory.h"

namespace {

TEST(Volume, FactoryMakesEveryTypeCode) {
  for (int t = 0; t <= 12; ++t) {
    SCOPED_TRACE(t);
    CVol* v = CreateVol(uint8_t(t));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, t);
    EXPECT_EQ(v->sectorSize, 512u);
    // A ReFS volume reads in its 16 KiB pages.
    EXPECT_EQ(v->clusterSize, t == 11 ? 16384u : 4096u);
    EXPECT_EQ(v->cachedParentKey, -1);
    ASSERT_NE(v->nodeIndex, nullptr);
    DeleteVol(&v);
    EXPECT_EQ(v, nullptr);
  }
  EXPECT_EQ(CreateVol(13), nullptr);
  EXPECT_EQ(CreateVol(255), nullptr);
  DeleteVol(nullptr);
  EXPECT_TRUE(IsFATType(2) && IsFATType(3) && !IsFATType(9));
}

TEST(Volume, GeometryAndNames) {
  GlobalObjectsScope scope;
  CVol* v = CreateVol(kVolNtfs);
  EXPECT_TRUE(v->SetClusterSize(65536));
  EXPECT_EQ(v->clusterShift, 16u);
  EXPECT_EQ(v->sectorsPerCluster, 128u);
  EXPECT_EQ(v->sectorsPerClusterShift, 7u);
  EXPECT_TRUE(v->SetSectorSize(4096));
  EXPECT_EQ(v->sectorsPerCluster, 16u);
  // A cluster smaller than the sector leaves the triple as it was.
  EXPECT_TRUE(v->SetClusterSize(2048));
  EXPECT_EQ(v->clusterMask, 2047u);
  EXPECT_EQ(v->sectorsPerCluster, 16u);
  EXPECT_EQ(v->sectorsPerClusterShift, 4u);
  EXPECT_FALSE(v->SetClusterSize(3000));
  EXPECT_EQ(v->clusterSize, 2048u);

  cnode node(kNodeNtfs);
  v->SetClusterSize(4096);
  v->SetNodeClusterCode(&node);
  EXPECT_EQ(node.GetClusterBytes(4096), 4096u);  // the volume's sectors, not a global drive's

  CVol* w = CreateVol(kVolFat32);
  v->startSector = 2048;
  v->sizeSectors = 99;
  w->CopyGeometry(*v);
  EXPECT_EQ(w->startSector, 2048u);
  EXPECT_EQ(w->sectorSize, 4096u);
  EXPECT_EQ(w->clusterSize, 4096u);

  v->SetDriveLetter(u"e:\\x");
  EXPECT_TRUE(v->HasDriveLetter());
  EXPECT_EQ(v->GetDisplayName(), u"Volume E:");
  v->SetDriveLetter(u"/dev/sda1");
  EXPECT_FALSE(v->HasDriveLetter());
  EXPECT_EQ(v->GetDisplayName(), u"Volume");
  v->driveLetter[0] = 95;
  EXPECT_EQ(v->GetDisplayName(), u"Volume 2");

  EXPECT_TRUE(v->IsRootInode(5));
  EXPECT_FALSE(v->IsRootInode(2));
  EXPECT_TRUE(w->IsRootInode(2));
  CVol* u = CreateVol(kVolUnknown);
  EXPECT_TRUE(u->IsRootInode(9));
  EXPECT_FALSE(u->IsRootInode(0));
  EXPECT_EQ(std::u16string(CVol::NodeKindName(0x8000)), u"file");
  EXPECT_EQ(std::u16string(CVol::NodeKindName(0x41ED)), u"dir");
  DeleteVol(&u);
  DeleteVol(&w);
  DeleteVol(&v);
}

TEST(Volume, Helpers) {
  struct Case {
    uint64_t size, count, lo, hi;
    bool expected;
  };
  const Case cases[] = {
      {0, 0, 512, 4096, true},      {1, 0, 512, 4096, false},  {4096, 1, 512, 4096, true},
      {4097, 1, 512, 4096, false},  {4097, 2, 512, 4096, true}, {1000, 2, 512, 4096, true},
      {1024, 2, 512, 512, true},    {1025, 2, 512, 512, false}, {UINT64_MAX, 2, 1, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " " + std::to_string(c.count));
    EXPECT_EQ(MatchesUnitCount(c.size, c.count, c.lo, c.hi), c.expected);
  }
  const uint8_t label[] = {'D', 'A', 'T', 'A', 0x01, 'x'};
  EXPECT_EQ(AnsiPrintableToWide(label, sizeof label), u"DATA");
  EXPECT_EQ(AnsiPrintableToWide(label + 4, 2), u"");
}

// An image of 4 MiB whose every 4 KiB cluster starts with its number.
struct ClusterImage {
  TempFolder temp{"volread"};
  std::string dir = temp.Path();
  std::string path = dir + "/img";
  ClusterImage() {
    std::string data(4 << 20, '\0');
    for (uint32_t c = 0; c < 1024; ++c) {
      std::memcpy(&data[c * 4096], &c, 4);
      std::memset(&data[c * 4096 + 4], 'a' + c % 26, 4092);
    }
    WriteFileText(path, data);
  }
};

uint32_t ClusterAt(const uint8_t* p) {
  uint32_t c;
  std::memcpy(&c, p, 4);
  return c;
}

TEST(Volume, ReadClustersAndInodeDataAreBounded) {
  GlobalObjectsScope scope;
  ClusterImage img;
  Drive drive;
  drive.InitDrive(FromUtf8(img.path));
  CVol* v = CreateVol(kVolNtfs);
  v->drive = &drive;
  v->startSector = 8;  // the volume starts one cluster into the image

  // Clusters map through the start sector.
  std::vector<uint8_t> two(8192);
  uint32_t got = 0;
  ASSERT_NE(v->ReadClusters(two.data(), 10, 2, 0, two.size(), &got), nullptr);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(ClusterAt(two.data()), 11u);
  EXPECT_EQ(ClusterAt(two.data() + 4096), 12u);
  // More than the buffer holds: only what fits.
  ASSERT_NE(v->ReadClusters(two.data(), 10, 5, 0, two.size(), &got), nullptr);
  EXPECT_EQ(got, 2u);
  // A negative sector: message 362.
  ErrorMsg(u"before");
  EXPECT_EQ(v->ReadClusters(two.data(), -2, 1, 0, two.size(), &got), nullptr);
  EXPECT_EQ(LastErrorText(), u"Cannot read negative sector -8.");

  // A file of 300 clusters: 100 at 500, a hole of 50, 150 at 200.
  CExtents map;
  ASSERT_TRUE(map.AppendRun(0, 500, 100));
  ASSERT_TRUE(map.AppendRun(100, 500, 50, true));
  ASSERT_TRUE(map.AppendRun(150, 200, 150));
  // An unaligned megabyte covers 257 clusters; the buffer holds 256.
  uint64_t bytes = 0;
  const uint8_t* data = v->ReadInodeDataCm(100, kClusterBufferBytes, &bytes, &map);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(bytes, kClusterBufferBytes);
  EXPECT_EQ(ClusterAt(data), 501u);
  EXPECT_EQ(ClusterAt(data + 99 * 4096), 600u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data) + 100 * 4096, 50 * 4096), std::string(50 * 4096, '\0'));
  EXPECT_EQ(ClusterAt(data + 150 * 4096), 201u);
  EXPECT_EQ(ClusterAt(data + 255 * 4096), 306u);
  // A caller's small buffer: capped the same way.
  std::vector<uint8_t> small(3 * 4096 + 100);
  data = v->ReadInodeDataCm(98 * 4096 + 1, 10 * 4096, &bytes, &map, small.data(), small.size());
  ASSERT_EQ(data, small.data());
  EXPECT_EQ(bytes, 3u * 4096);
  EXPECT_EQ(ClusterAt(data), 599u);
  EXPECT_EQ(ClusterAt(data + 4096), 600u);
  EXPECT_EQ(ClusterAt(data + 2 * 4096), 0u);  // the hole
  // Length 0: an empty result, not (offset - 1) >> shift.
  bytes = 7;
  EXPECT_NE(v->ReadInodeDataCm(0, 0, &bytes, &map), nullptr);
  EXPECT_EQ(bytes, 0u);
  bytes = 7;
  EXPECT_NE(v->ReadInodeDataCm(UINT64_MAX, 0, &bytes, &map), nullptr);
  EXPECT_EQ(bytes, 0u);
  // Past the mapping, and lengths up to the end of 64 bits.
  ErrorMsg(u"before");
  EXPECT_EQ(v->ReadInodeDataCm(300 * 4096, 1, &bytes, &map), nullptr);
  EXPECT_EQ(LastErrorText(), u"Empty or invalid file extents.");
  EXPECT_NE(v->ReadInodeDataCm(299 * 4096, UINT64_MAX, &bytes, &map), nullptr);
  EXPECT_EQ(bytes, 4096u);  // the last cluster; what runs past the mapping is not delivered
  DeleteVol(&v);
}

TEST(Volume, ExtentsObjectByType) {
  GlobalObjectsScope scope;
  CVol* ext = CreateVol(kVolExt);
  cnode* node = CreateNode(kNodeExt);  // the family's own node: a fresh one is block-mapped
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(ext->BuildNodeExtents(node));  // block-mapped: nothing to build
  EXPECT_EQ(ext->extents, nullptr);
  // An inode's extent-tree root (magic, no entries, room for 4, depth 0):
  // the family maps it with its extent-tree reader.
  uint8_t root[60] = {0x0A, 0xF3, 0, 0, 4, 0, 0, 0};
  ext->SetNodeClusterCode(node);
  EXPECT_TRUE(ext->BuildNodeExtents(node, root));
  EXPECT_NE(dynamic_cast<ExtExtentReader*>(ext->extents.get()), nullptr);
  DeleteNode(&node);
  CVol* fat = CreateVol(kVolFat16);
  EXPECT_EQ(dynamic_cast<ExtExtentReader*>(fat->CreateExtents()), nullptr);
  cnode f(kNodeFat);
  f.runs = MakeRuns(10, 3);
  f.size = 5000;
  fat->SetNodeClusterCode(&f);
  ASSERT_TRUE(fat->BuildNodeExtents(&f));
  EXPECT_EQ(fat->extents->TotalClusters(), 3u);  // what the runs hold, whatever the size says
  EXPECT_EQ(fat->extents->RunCount(), 1u);
  CVol* xfs = CreateVol(kVolXfs);
  EXPECT_FALSE(xfs->BuildNodeExtents(&f));  // no reader yet
  EXPECT_EQ(xfs->LoadNodeRuns(&f), 0);
  DeleteVol(&xfs);
  DeleteVol(&fat);
  DeleteVol(&ext);
}

}  // namespace
