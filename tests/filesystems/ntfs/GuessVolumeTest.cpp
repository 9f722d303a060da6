// Which volumes can hold a found node: records on their volume's record
// grid, data inside the volume, node kinds that fit the volume's type.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "filesystems/ntfs/GuessVolume.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"

namespace {

std::unique_ptr<NTFSVol> Ntfs(uint64_t start, uint64_t size, uint32_t record) {
  auto v = std::make_unique<NTFSVol>();
  v->startSector = start;
  v->sizeSectors = size;
  v->SetRecordSize(record);
  return v;
}

}  // namespace

TEST(GuessVolume, RecordsOnTheGridDataInsideKindsThatFit) {
  auto a = Ntfs(63, 30001, 1024);     // 1024-byte records: two sectors
  auto b = Ntfs(32768, 40000, 4096);  // 4096-byte records: eight sectors
  CUnknownVol fat(kVolFat32);
  fat.startSector = 80000;
  fat.sizeSectors = 1000;
  CUnknownVol other(kVolUnknown);
  other.startSector = 90000;
  other.sizeSectors = 1000;
  const std::vector<CVol*> vols = {a.get(), b.get(), &fat, &other};
  struct Case {
    const char* what;
    uint64_t position;
    bool carved;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"record on volume a's grid", 63 + 2 * 100, false, {1, 0, 0, 0}},
      {"record between two of a's", 63 + 2 * 100 + 1, false, {0, 0, 0, 0}},
      {"record before every volume", 10, false, {0, 0, 0, 0}},
      {"record on b's grid", 32768 + 8 * 7, false, {0, 1, 0, 0}},
      {"record four sectors into one of b's", 32768 + 8 * 7 + 4, false, {0, 0, 0, 0}},
      {"record whose end passes a's end", 63 + 30000, false, {0, 0, 0, 0}},
      {"carved file inside a", 1000, true, {1, 0, 0, 0}},
      {"carved file on a FAT volume", 80010, true, {0, 0, 0, 0}},
      {"carved file on a volume of no known type", 90010, true, {0, 0, 0, 1}},
      {"carved file past every volume", 95000, true, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    inode node;
    node.position = c.position;
    if (c.carved) node.flags |= kInodeCarved;
    std::vector<uint8_t> marks(vols.size(), 1);
    const int kept = GuessVolume(vols, nullptr, &node, marks);
    EXPECT_EQ(marks, c.expected);
    int want = 0;
    for (uint8_t m : c.expected) want += m;
    EXPECT_EQ(kept, want);
  }
}

TEST(GuessVolume, OnlyTheNamedVolumeIsTested) {
  auto a = Ntfs(0, 1000, 1024);
  auto b = Ntfs(0, 1000, 1024);
  const std::vector<CVol*> vols = {a.get(), b.get()};
  inode node;
  node.position = 2000;  // past both
  std::vector<uint8_t> marks = {1, 1};
  EXPECT_EQ(GuessVolume(vols, nullptr, &node, marks, 1), 0);
  EXPECT_EQ(marks, (std::vector<uint8_t>{1, 0}));
  // Candidates cleared by the caller stay cleared; a missing volume is no
  // candidate.
  const std::vector<CVol*> holes = {nullptr, a.get()};
  node.position = 10;
  marks = {1, 0};
  EXPECT_EQ(GuessVolume(holes, nullptr, &node, marks), 0);
  EXPECT_EQ(marks, (std::vector<uint8_t>{0, 0}));
}

// Clusters smaller than a record: a $MFT fragment may start on any
// cluster, so a record at an odd sector is on the grid.
TEST(GuessVolume, SmallClustersMakeTheClusterTheGrid) {
  auto v = Ntfs(63, 30000, 1024);
  v->SetClusterSize(512);
  const std::vector<CVol*> vols = {v.get()};
  inode node;
  node.position = 63 + 2 * 100 + 1;
  std::vector<uint8_t> marks = {1};
  EXPECT_EQ(GuessVolume(vols, nullptr, &node, marks), 1);
}
