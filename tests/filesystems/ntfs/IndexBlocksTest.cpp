#include "filesystems/ntfs/IndexBlocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/ntfs/IndexNames.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsIndex.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/support/FixtureImage.h"
#include "volumes/FileTypes.h"
#include "volumes/RunList.h"

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

// The folder's node as the record parser makes it keeps its index runs (the
// clusters istat lists for $INDEX_ALLOCATION), and its record read again
// gives the entries of its $INDEX_ROOT: with its buffers, every name fls
// lists in the folder.
TEST(IndexBlocks, AFolderRecordGivesItsIndexRunsAndItsRoot) {
  BigFolder f;
  if (f.img.empty()) GTEST_SKIP() << "bigdir.img.xz cannot be unpacked (xz missing?)";
  ASSERT_TRUE(f.drive);
  std::vector<uint8_t> boot(512);
  ASSERT_TRUE(f.drive->ReadSectors(0, 512, 0, boot.data(), true));
  NTFSVol vol;
  vol.drive = f.drive;
  ASSERT_TRUE(NTFS::BootParse(&vol, boot.data()));
  // The $MFT is contiguous on this fresh volume.
  const uint64_t at = vol.mftSector + f.record * vol.recordSize / 512;
  std::vector<uint8_t> rec(vol.recordSize);
  ASSERT_TRUE(f.drive->ReadSectors(int64_t(at), vol.recordSize, 0, rec.data(), true));
  inode node(rec.data(), &vol);
  ASSERT_EQ(node.parseEntry(), 0);
  node.record = nullptr;
  ASSERT_TRUE(node.IsDirectory());
  ASSERT_NE(node.RunBuffer(), nullptr);
  std::vector<uint64_t> clusters;
  int64_t delta = 0, lcn = 0;
  uint32_t length = 0, pos = 0;
  while (ReadNextRun(&delta, &length, node.RunBuffer(), &pos) == 1) {
    lcn += delta;
    for (uint32_t i = 0; i < length; i++) clusters.push_back(uint64_t(lcn) + i);
  }
  EXPECT_EQ(clusters, f.clusters);
  EXPECT_EQ(GetClusterCount(node.RunBuffer()), int64_t(f.clusters.size()));

  // The names of the root and of the buffers together are the folder's.
  std::set<std::string> names;
  auto take = [&](const IndexEntryName& e) {
    EXPECT_EQ(e.parent, f.record) << ToUtf8(e.name);
    names.insert(ToUtf8(e.name));
  };
  FolderIndexStream stream{node.RunBuffer(), int64_t(f.clusters.size()), int64_t(f.record), int64_t(at)};
  std::vector<HdrHit> hits = f.Hits();
  int roots = 0;
  EXPECT_EQ(VolFilesToParent(
                *f.drive, vol, stream, hits, [&](uint8_t* b, size_t n) { EXPECT_GT(MapNodes(b, n, take), 0); },
                [&](const uint8_t* r, size_t n) {
                  roots++;
                  MapRootNodes(r, n, take);  // here only the end entry (istat: 56 bytes)
                }),
            int(f.clusters.size()));
  EXPECT_EQ(roots, 1);
  std::set<std::string> listed;
  std::istringstream fls(ntfs_fixture::Report("bigdir", "fls"));
  for (std::string line; std::getline(fls, line);) {
    const size_t tab = line.find("\tbig/");
    if (tab != std::string::npos && line.compare(4, 2, "* ") != 0) listed.insert(line.substr(tab + 5));
  }
  ASSERT_EQ(listed.size(), 1500u);
  EXPECT_EQ(names, listed);

  // A folder whose index fits its record ($Extend, record 11): the root
  // alone names its files.
  const FolderIndexStream extend{nullptr, 0, 11, int64_t(vol.mftSector + 11 * vol.recordSize / 512)};
  const std::vector<uint8_t> root = ReadFolderIndexRoot(*f.drive, vol, extend);
  std::set<std::string> inRoot;
  EXPECT_EQ(MapRootNodes(root.data(), root.size(),
                         [&](const IndexEntryName& e) {
                           EXPECT_EQ(e.parent, 11u);
                           inRoot.insert(ToUtf8(e.name));
                         }),
            3);
  EXPECT_EQ(inRoot, (std::set<std::string>{"$ObjId", "$Quota", "$Reparse"}));  // fls: $Extend/<name>:<stream>

  // Another record at the place, or no place: no root.
  FolderIndexStream other = stream;
  other.record++;
  EXPECT_TRUE(ReadFolderIndexRoot(*f.drive, vol, other).empty());
  other = stream;
  other.position = -1;
  EXPECT_TRUE(ReadFolderIndexRoot(*f.drive, vol, other).empty());
  other.position = int64_t(f.drive->SectorCount());
  EXPECT_TRUE(ReadFolderIndexRoot(*f.drive, vol, other).empty());
}
