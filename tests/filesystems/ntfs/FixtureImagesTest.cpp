// The committed NTFS images and the disk made from one at test time are
// what their README says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/FixtureImage.h"

namespace {

bool AllZero(const std::vector<uint8_t>& b) {
  return !b.empty() && std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; });
}

TEST(NtfsFixtures, BootlessDiskHasItsVolumeAtSector2048) {
  std::string basic = ntfs_fixture::Image("basic");
  std::string disk = ntfs_fixture::BootlessDisk();
  if (basic.empty() || disk.empty()) GTEST_SKIP() << "xz missing: the images cannot be unpacked";
  std::vector<uint8_t> boot = ntfs_fixture::ReadAt(basic, 0, 512);
  ASSERT_EQ(std::memcmp(&boot[3], "NTFS    ", 8), 0);
  uint64_t sectors = 0;
  for (int i = 7; i >= 0; --i) sectors = (sectors << 8) | boot[40 + i];
  const uint64_t volume = 2048 * 512;
  EXPECT_TRUE(AllZero(ntfs_fixture::ReadAt(disk, 0, 512)));
  EXPECT_TRUE(AllZero(ntfs_fixture::ReadAt(disk, volume, 512)));
  // The backup boot sector: the volume's last sector, past the sectors the
  // boot sector counts.
  EXPECT_TRUE(AllZero(ntfs_fixture::ReadAt(disk, volume + sectors * 512, 512)));
  EXPECT_EQ(ntfs_fixture::ReadAt(basic, sectors * 512, 512), boot);
  // Everything else is the volume: its $MFT where the lost boot sector said.
  uint64_t mft = 0;
  for (int i = 7; i >= 0; --i) mft = (mft << 8) | boot[48 + i];
  std::vector<uint8_t> record = ntfs_fixture::ReadAt(disk, volume + mft * 4096, 1024);
  ASSERT_EQ(record.size(), 1024u);
  EXPECT_EQ(std::memcmp(record.data(), "FILE", 4), 0);
  EXPECT_EQ(record, ntfs_fixture::ReadAt(basic, mft * 4096, 1024));
}

TEST(NtfsFixtures, EveryImageHasItsReports) {
  for (const char* name : {"basic", "poor", "attrlist", "fragdata", "fragmft", "bigdir", "sect2048", "sect4096"}) {
    for (const char* kind : {"fsstat", "fls", "fls-deleted", "istat", "ntfsinfo", "icat-md5", "inodes"})
      EXPECT_FALSE(ntfs_fixture::Report(name, kind).empty()) << name << " " << kind;
    EXPECT_FALSE(ntfs_fixture::Inodes(name).empty()) << name;
  }
}

}  // namespace
