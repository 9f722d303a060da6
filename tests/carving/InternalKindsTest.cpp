// The engine's own kinds: INDX records found in loose sectors carry their
// VCN (compared with The Sleuth Kit's istat of a folder of 1,500 files),
// INFO2 and BMAP blocks.
#include "carving/InternalKinds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/HdrParse.h"
#include "tests/support/FixtureImage.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

// The clusters of the first $INDEX_ALLOCATION attribute that istat lists.
std::vector<uint64_t> IndexAllocationClusters(const std::string& istatPath) {
  std::ifstream in(istatPath);
  std::vector<uint64_t> clusters;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("Type: $INDEX_ALLOCATION", 0) == 0) {
      inside = true;
      continue;
    }
    if (!inside) continue;
    if (line.rfind("Type:", 0) == 0 || line.rfind("=====", 0) == 0) break;
    std::istringstream words(line);
    uint64_t c;
    while (words >> c) clusters.push_back(c);
  }
  return clusters;
}

// bigdir's image and the clusters of its big folder's index records.
struct BigDir {
  std::vector<uint8_t> disk;
  std::vector<uint64_t> clusters;
};
BigDir LoadBigDir() {
  BigDir b;
  const std::string image = ntfs_fixture::Image("bigdir");
  if (image.empty()) return b;
  b.clusters = IndexAllocationClusters(ntfs_fixture::FixtureDir() + "/bigdir.istat.txt");
  b.disk = LoadFile(image);
  return b;
}

TEST(InternalKinds, IndexRecordsCarryTheVcnsIstatGives) {
  const BigDir b = LoadBigDir();
  if (b.disk.empty()) GTEST_SKIP() << "xz missing";
  const std::vector<uint64_t>& clusters = b.clusters;
  const std::vector<uint8_t>& disk = b.disk;
  ASSERT_GT(clusters.size(), 50u);
  std::map<int64_t, HdrHit> idx;
  for (const HdrHit& h : CarveImage(disk.data(), disk.size(), 1 << 20))
    if (h.type == kTypeIdx) idx[h.start] = h;
  // 4 KiB clusters on 512-byte sectors; the volume starts at sector 0.
  for (size_t vcn = 0; vcn < clusters.size(); ++vcn) {
    const auto it = idx.find(int64_t(clusters[vcn] * 8));
    ASSERT_NE(it, idx.end()) << "cluster " << clusters[vcn];
    EXPECT_EQ(it->second.value, vcn);
    EXPECT_EQ(it->second.size, 4096);
    EXPECT_EQ(it->second.flags, kHdrClassInternal);
  }
}

TEST(InternalKinds, BrokenUpdateSequenceAndAdjacentRecords) {
  const BigDir b = LoadBigDir();
  if (b.disk.empty()) GTEST_SKIP() << "xz missing";
  const std::vector<uint64_t>& clusters = b.clusters;
  const std::vector<uint8_t>& disk = b.disk;
  ASSERT_GT(clusters.size(), 2u);
  ASSERT_GE(disk.size(), (clusters[1] + 1) * 4096);
  // The first sectors of two records in adjacent sectors: two hits, as the
  // IDX parser ignores its start limit and completes at once.
  std::vector<uint8_t> two(8 * 512, 0);
  std::copy_n(disk.begin() + long(clusters[0] * 4096), 512, two.begin());
  std::copy_n(disk.begin() + long(clusters[1] * 4096), 512, two.begin() + 512);
  std::vector<HdrHit> hits = CarveImage(two.data(), two.size(), two.size());
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].value, 0);
  EXPECT_EQ(hits[1].value, 1);
  // A stride whose last word does not carry the update-sequence number.
  two[510] ^= 0xFF;
  hits = CarveImage(two.data(), two.size(), two.size());
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].start, 1);
}

TEST(InternalKinds, Info2AndBmapAreOneBlock) {
  HdrParse d;
  const std::vector<uint8_t> sector(512, 0);
  d.Slot(kTypeInfo2)->headerSector = 3;
  EXPECT_EQ(d.Parse(kTypeInfo2, sector.data(), 512), kTypeInfo2);
  EXPECT_EQ(d.Slot(kTypeInfo2)->size, 4096u);
  d.Slot(kTypeBmap)->counter = 77;
  EXPECT_EQ(d.Parse(kTypeBmap, sector.data(), 512), kTypeBmap);
  EXPECT_EQ(d.Slot(kTypeBmap)->size, 4096u);
  EXPECT_EQ(d.Slot(kTypeBmap)->counter, 0u);
  EXPECT_LT(d.Parse(kTypeIdx, sector.data(), 512), 0);
  EXPECT_LT(d.Parse(kTypeIdx, sector.data(), 100), 0) << "less than a stride";
  EXPECT_EQ(d.ActiveCount(), 0);
}

}  // namespace
