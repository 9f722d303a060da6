// Skip maps, the record checker and the segment profile: the rules of each
// on small inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/RecordChecker.h"
#include "engine/SegmentProfile.h"
#include "engine/SkipMap.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

// A path in a scratch folder that goes with the test program.
std::string TempPath(const std::string& name) {
  static const TempFolder folder("skipmap");
  return folder.Path() + "/" + name;
}

}  // namespace

TEST(SkipMap, GranuleFollowsTheSectorSize) {
  EXPECT_EQ(SkipMap(512).GranuleSectors(), 2048u);
  EXPECT_EQ(SkipMap(4096).GranuleSectors(), 256u);
  EXPECT_EQ(SkipMap(0).GranuleSectors(), 2048u);  // no drive
}

// A create run marks granules with nothing of interest; a verify run reads
// them back; granules past the map's end are never skipped.
TEST(SkipMap, BinaryCreateThenVerify) {
  const std::string path = TempPath("skip.bin");
  {
    SkipMap map(512);
    ASSERT_TRUE(map.CreateBinary(path));
    // Granules 0..9999: every third holds something.
    for (int64_t g = 0; g < 10000; g++) {
      map.Mark(g * 2048, false);
      map.Mark(g * 2048 + 100, g % 3 == 0);
    }
    map.Mark(10000 * 2048, false);  // past the last one
    map.Close();
  }
  SkipMap map(512);
  ASSERT_TRUE(map.OpenBinary(path, true));
  for (int64_t g : {0, 1, 2, 3, 4095, 4096, 4097, 9998, 9999}) {
    EXPECT_EQ(map.Test(g * 2048), g % 3 != 0) << g;
    EXPECT_EQ(map.Test(g * 2048 + 7), g % 3 != 0 && (g + 1) % 3 != 0) << g;  // also the next granule
  }
  EXPECT_FALSE(map.Test(10000 * 2048));      // past the map's end
  EXPECT_FALSE(map.Test(int64_t(1) << 40));  // far past it
  map.Close();
  std::remove(path.c_str());
}

// A text map that ends in the middle of a run turns into a create map and
// appends the bits of the remaining items.
TEST(SkipMap, TextMapEndingMidRunAppends) {
  const std::string path = TempPath("skip.txt");
  {
    SkipMap map;
    ASSERT_TRUE(map.CreateText(path, false));
    for (int i = 0; i < 256; i++) map.AddBit(i % 2 == 0);  // odd items skippable
    map.Close();
  }
  const std::string one = ReadFileText(path);
  ASSERT_EQ(one.size(), 66u);
  EXPECT_EQ(one.substr(0, 4), "aaaa");
  EXPECT_EQ(one.substr(64), "\r\n");
  {
    SkipMap map;
    ASSERT_TRUE(map.OpenText(path, true));
    for (int i = 0; i < 256; i++) {
      EXPECT_EQ(map.TestBit(), i % 2 == 1) << i;
      map.AddBit(true);
    }
    EXPECT_EQ(map.Mode(), SkipMap::kCreate);
    for (int i = 0; i < 256; i++) map.AddBit(false);  // appended: all skippable
    map.Close();
  }
  const std::string two = ReadFileText(path);
  ASSERT_EQ(two.size(), 132u);
  EXPECT_EQ(two.substr(0, 66), one);
  EXPECT_EQ(two.substr(66, 64), std::string(64, 'f'));
  std::remove(path.c_str());
}

TEST(SkipMap, MissingFileCannotBeOpened) {
  GlobalObjectsScope scope;
  SkipMap map;
  EXPECT_FALSE(map.OpenBinary(TempPath("absent"), false));
  EXPECT_EQ(map.Mode(), SkipMap::kClosed);
}

namespace {
std::vector<uint8_t> Records(int n) {
  std::vector<uint8_t> b(size_t(n) * 1024, 0);
  for (int i = 0; i < n; i++) {
    uint8_t* r = b.data() + size_t(i) * 1024;
    r[4] = uint8_t(i + 1);  // first number
    r[8] = 7;               // second number
  }
  return b;
}
}  // namespace

TEST(RecordChecker, RunsOfRecords) {
  FgmQBW checker(4, 1000);
  std::vector<int64_t> values;
  auto b = Records(4);
  ASSERT_TRUE(checker.Check(b.data(), 64, &values));
  EXPECT_EQ(values, (std::vector<int64_t>{7 + (1 << 16), 7 + (2 << 16), 7 + (3 << 16), 7 + (4 << 16)}));
  // Both numbers 0 end the check.
  auto zero = Records(4);
  zero[2 * 1024 + 4] = 0;
  zero[2 * 1024 + 8] = 0;
  EXPECT_FALSE(checker.Check(zero.data(), 72));
  // A byte that must be 0, or a number above the limit, fails.
  auto byte = Records(4);
  byte[1024 + 13] = 1;
  EXPECT_FALSE(checker.Check(byte.data(), 80));
  auto big = Records(4);
  big[3 * 1024 + 9] = 0x10;  // 4103
  EXPECT_FALSE(checker.Check(big.data(), 88));
  // All ones counts as 0xFFFF in the value and passes the limit.
  auto ones = Records(4);
  for (int k = 8; k < 12; k++) ones[k] = 0xFF;
  ASSERT_TRUE(checker.Check(ones.data(), 96, &values));
  EXPECT_EQ(values[0], 0xFFFF + (1 << 16));
}

TEST(RecordChecker, MauiOnlyInTheFirstRecord) {
  FgmQBW checker(4, 1000);
  std::vector<int64_t> values;
  auto b = Records(4);
  // The first record passes through "MAUI" whatever else it holds.
  b[2] = 9;
  std::memcpy(b.data() + 96, "MAUI", 4);
  ASSERT_TRUE(checker.Check(b.data(), 8, &values));
  EXPECT_EQ(values[0], -1);
  auto later = Records(4);
  later[1024 + 2] = 9;
  std::memcpy(later.data() + 1024 + 96, "MAUI", 4);
  EXPECT_FALSE(checker.Check(later.data(), 16));
}

// The profile's entries: one 8-byte entry a block, the table of a segment
// rounded up to 4096 bytes, written when the segment is complete; sizes
// with 4096-byte sectors stay inside the segment buffer.
TEST(SegmentProfile, EntriesOfEachSegment) {
  GlobalObjectsScope scope;
  const TempFolder scratch("segprof");
  const std::string folder = scratch.Path();
  for (uint32_t ss : {512u, 4096u}) {
    SCOPED_TRACE(ss);
    SegmentProfileOptions o;
    o.firstSector = 2;
    o.segmentSizeInSectors = 16;
    o.blockSizeInSectors = 4;
    SegmentProfile p;
    ASSERT_TRUE(p.Open(o, ss, folder));
    std::vector<uint8_t> data(size_t(40) * ss, 0);
    auto block = [&](int sector) { return data.data() + size_t(sector) * ss; };
    std::memcpy(block(2), "INDX", 4);  // block 0 of segment 0
    std::memcpy(block(6), "MZ\x90\0", 4);  // block 1: 245
    block(6)[24] = 64;
    const uint8_t sig250[] = {0x8B, 0x14, 0x1F, 0xF2, 5, 0, 0, 0};
    std::memcpy(block(18), sig250, 8);  // segment 1, block 0
    p.Add(data.data(), 20 * uint64_t(ss), 0);
    p.Add(data.data() + size_t(20) * ss, 20 * uint64_t(ss), 20);
    p.Close();
    const std::string bin = ReadFileText(folder + "/SegProf.bin");
    ASSERT_EQ(bin.size(), 3u * 4096);  // two whole segments and the cut third
    EXPECT_EQ(uint8_t(bin[0]), 1);
    EXPECT_EQ(uint8_t(bin[1]), 0x80);
    EXPECT_EQ(uint8_t(bin[8]), SegmentProfile::kSig245);
    EXPECT_EQ(uint8_t(bin[16]), 255);
    EXPECT_EQ(uint8_t(bin[4096]), SegmentProfile::kSig250);
    EXPECT_EQ(uint8_t(bin[4096 + 4]), 5);
  }
  SegmentProfileOptions bad;
  bad.segmentSizeInSectors = 10;
  bad.blockSizeInSectors = 4;
  SegmentProfile p;
  EXPECT_FALSE(p.Open(bad, 512, folder));
}
