#include "filesystems/ntfs/IndexBlocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filesystems/ntfs/NtfsIndex.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/support/FixtureImage.h"
#include "volumes/FileTypes.h"

namespace {

// Mapping pairs of the clusters istat lists, runs of adjacent clusters.
std::vector<uint8_t> PairsOf(const std::vector<uint64_t>& clusters) {
  std::vector<uint8_t> pairs;
  int64_t last = 0;
  for (size_t i = 0; i < clusters.size();) {
    size_t j = i + 1;
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) j++;
    const uint32_t length = uint32_t(j - i);
    const int32_t delta = int32_t(int64_t(clusters[i]) - last);
    pairs.push_back(0x44);
    for (int b = 0; b < 4; b++) pairs.push_back(uint8_t(length >> (8 * b)));
    for (int b = 0; b < 4; b++) pairs.push_back(uint8_t(uint32_t(delta) >> (8 * b)));
    last = int64_t(clusters[i]);
    i = j;
  }
  pairs.push_back(0);
  return pairs;
}

struct BigFolder {
  std::string img;
  uint64_t record = 0;
  std::vector<uint64_t> clusters;
  RunList runs = nullptr;
  Drive* drive = nullptr;
  NTFSVol vol;
  BigFolder() {
    img = ntfs_fixture::Image("bigdir");
    if (img.empty()) return;
    record = ntfs_fixture::Inodes("bigdir")["big"];
    clusters = ntfs_fixture::IstatClusters(ntfs_fixture::IstatOf("bigdir", record), "$INDEX_ALLOCATION");
    const std::vector<uint8_t> pairs = PairsOf(clusters);
    runs = NewRunList(pairs.data(), pairs.size());
    drive = CreateDrive(FromUtf8(img));
    drive->InitDrive(FromUtf8(img));
    vol.SetClusterSize(4096);
  }
  ~BigFolder() {
    FreeRunList(runs);
    if (drive) DeleteDrive(&drive);
  }
  // One index-buffer hit per block, as the sector pass records them.
  std::vector<HdrHit> Hits() const {
    std::vector<HdrHit> hits;
    for (size_t i = 0; i < clusters.size(); i++) {
      HdrHit h;
      h.start = int64_t(clusters[i] * 8);
      h.type = kTypeIdx;
      h.value = uint16_t(i);
      hits.push_back(h);
    }
    std::sort(hits.begin(), hits.end(), [](const HdrHit& a, const HdrHit& b) { return a.start < b.start; });
    return hits;
  }
  FolderIndexStream Stream(int64_t owner) const { return {runs, int64_t(clusters.size()), owner}; }
};

}  // namespace

TEST(IndexBlocks, FoundBuffersOfAFolderGiveTheNamesItsIndexHolds) {
  BigFolder f;
  if (f.img.empty()) GTEST_SKIP() << "bigdir.img.xz cannot be unpacked (xz missing?)";
  ASSERT_GT(f.clusters.size(), 1u);
  ASSERT_TRUE(f.runs && f.drive);
  std::vector<HdrHit> hits = f.Hits();
  std::vector<std::string> names;
  const int handed = VolFilesToParent(*f.drive, f.vol, f.Stream(int64_t(f.record)), hits, [&](uint8_t* b, size_t n) {
    CINDXItem item;
    ASSERT_EQ(item.SetINDXBuf(b, n, 512), 0);
    while (item.GetNextNode() >= 0) {
      EXPECT_EQ(item.parentRecord, int64_t(f.record));
      names.push_back(ToUtf8(item.name));
    }
  });
  EXPECT_EQ(handed, int(f.clusters.size()));
  for (const HdrHit& h : hits) EXPECT_TRUE(h.flags & kHitMatched) << h.start;
  EXPECT_GT(names.size(), 1000u);  // 1500 files, the rest in the index root
  // Used hits are not handed over again, nor matched.
  EXPECT_EQ(VolFilesToParent(*f.drive, f.vol, f.Stream(int64_t(f.record)), hits, [](uint8_t*, size_t) {}), 0);
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, f.Stream(int64_t(f.record)), hits), 0);
}

TEST(IndexBlocks, BuffersAreTiedOnlyToTheirOwnerAndVcn) {
  BigFolder f;
  if (f.img.empty()) GTEST_SKIP() << "bigdir.img.xz cannot be unpacked (xz missing?)";
  ASSERT_TRUE(f.runs && f.drive);
  std::vector<HdrHit> hits = f.Hits();
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, f.Stream(int64_t(f.record)), hits), 2);
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, f.Stream(int64_t(f.record) + 1), hits), 0);
  // Unknown record: two blocks in a row of one owner count unless they lie
  // back to back (then they prove nothing a plain read would not).
  const bool adjacent = f.clusters[1] == f.clusters[0] + 1;
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, f.Stream(-1), hits), adjacent ? 0 : 2);
  int calls = 0;
  EXPECT_EQ(VolFilesToParent(*f.drive, f.vol, f.Stream(int64_t(f.record) + 1), hits, [&](uint8_t*, size_t) { calls++; }),
            0);
  EXPECT_EQ(calls, 0);
  for (const HdrHit& h : hits) EXPECT_FALSE(h.flags & kHitMatched);
  // A hit of another VCN or another kind at the block's sector is not it.
  std::vector<HdrHit> wrong = f.Hits();
  for (HdrHit& h : wrong) h.value = uint16_t(h.value + 1);
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, f.Stream(int64_t(f.record)), wrong), 0);
  std::vector<HdrHit> other = f.Hits();
  for (HdrHit& h : other) h.type = kTypeIdx + 1;
  EXPECT_EQ(VolFilesToParent(*f.drive, f.vol, f.Stream(int64_t(f.record)), other, [](uint8_t*, size_t) {}), 0);
  // No runs, no clusters, too many clusters: nothing.
  EXPECT_EQ(GetMatchingINDXCount(*f.drive, f.vol, {nullptr, 4, int64_t(f.record)}, hits), 0);
  EXPECT_EQ(VolFilesToParent(*f.drive, f.vol, {f.runs, 0, int64_t(f.record)}, hits, [](uint8_t*, size_t) {}), 0);
  EXPECT_EQ(VolFilesToParent(*f.drive, f.vol, {f.runs, 10000001, int64_t(f.record)}, hits, [](uint8_t*, size_t) {}), 0);
}
