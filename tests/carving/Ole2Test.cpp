// Compound files laid out here for one rule each: the kind from the names
// of directory entries 1 to 3, the length from the FAT's used entries, and
// the headers and tables that are refused.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

constexpr uint32_t kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFatSect = 0xFFFFFFFD;

void Put32(std::vector<uint8_t>& d, size_t at, uint32_t v) { std::memcpy(&d[at], &v, 4); }
void Put16(std::vector<uint8_t>& d, size_t at, uint16_t v) { std::memcpy(&d[at], &v, 2); }

struct Layout {
  uint32_t fatSectors = 1;       // FAT sectors, laid after the data
  uint32_t dataSectors = 8;      // sectors of stream data
  uint32_t lastUsed = 0;         // used entries of the last FAT sector (0: as the data needs)
  bool directoryLast = false;    // the directory after the FAT sectors
  std::vector<std::string> names = {"Root Entry", "WordDocument", "1Table", ""};
  // Left, right and child entry of each entry (none given: every named
  // entry is the root's, siblings to the right of one another).
  std::vector<std::array<uint32_t, 3>> links;
  uint16_t sectorShift = 9;
  uint32_t difat = kEnd;
};

// The file: header, then data sectors, the directory sector and the FAT
// sectors (or FAT before directory), in file sector order.
std::vector<uint8_t> Compound(const Layout& l, uint32_t* fileSectors = nullptr) {
  const uint32_t dirSectors = uint32_t((l.names.size() + 3) / 4);
  const uint32_t dir = l.directoryLast ? l.dataSectors + l.fatSectors : l.dataSectors;
  const uint32_t firstFat = l.directoryLast ? l.dataSectors : l.dataSectors + dirSectors;
  uint32_t used = l.dataSectors + dirSectors + l.fatSectors;
  if (l.lastUsed) used = (l.fatSectors - 1) * 128 + l.lastUsed;
  const uint32_t total = std::max(used, l.dataSectors + dirSectors + l.fatSectors);
  std::vector<uint8_t> d(512 * (size_t(total) + 1), 0);
  std::memcpy(d.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  Put16(d, 24, 0x3E);
  Put16(d, 26, 3);
  Put16(d, 28, 0xFFFE);
  Put16(d, 30, l.sectorShift);
  Put16(d, 32, 6);
  Put32(d, 44, l.fatSectors);
  Put32(d, 48, dir);
  Put32(d, 56, 4096);
  Put32(d, 60, kEnd);
  Put32(d, 68, l.difat);
  for (uint32_t i = 0; i < 109; ++i) Put32(d, 76 + 4 * i, i < l.fatSectors ? firstFat + i : kFree);
  // The FAT: data chain, directory, FAT sectors; free after `used`.
  std::vector<uint32_t> fat(size_t(l.fatSectors) * 128, kFree);
  for (uint32_t s = 0; s < l.dataSectors; ++s) fat[s] = s + 1 < l.dataSectors ? s + 1 : kEnd;
  for (uint32_t i = 0; i < dirSectors; ++i) fat[dir + i] = i + 1 < dirSectors ? dir + i + 1 : kEnd;
  for (uint32_t i = 0; i < l.fatSectors; ++i) fat[firstFat + i] = kFatSect;
  for (uint32_t s = l.dataSectors + dirSectors + l.fatSectors; s < used; ++s) fat[s] = kEnd;
  for (uint32_t i = 0; i < l.fatSectors; ++i)
    for (uint32_t k = 0; k < 128; ++k) Put32(d, 512 * (size_t(firstFat + i) + 1) + 4 * k, fat[128 * i + k]);
  for (size_t e = 0; e < l.names.size(); ++e) {
    const size_t at = 512 * (size_t(dir) + 1) + 128 * e;
    for (size_t k = 0; k < l.names[e].size() && k < 31; ++k) Put16(d, at + 2 * k, uint8_t(l.names[e][k]));
    if (!l.names[e].empty()) Put16(d, at + 64, uint16_t(2 * (l.names[e].size() + 1)));
    std::array<uint32_t, 3> link = {kFree, kFree, kFree};
    if (e < l.links.size()) {
      link = l.links[e];
    } else if (l.links.empty()) {
      if (e == 0) link[2] = 1;
      if (e > 0 && e + 1 < l.names.size() && !l.names[e + 1].empty()) link[1] = uint32_t(e + 1);
    }
    for (size_t k = 0; k < 3; ++k) Put32(d, at + 68 + 4 * k, link[k]);
  }
  for (uint32_t s = 0; s < l.dataSectors; ++s) std::memset(&d[512 * (size_t(s) + 1)], int('a' + s % 26), 512);
  if (fileSectors) *fileSectors = used + 1;
  return d;
}

FeedResult Carve(const std::vector<uint8_t>& file, size_t readBytes, std::vector<uint8_t> tail = {}) {
  std::vector<uint8_t> image = file;
  if (tail.empty()) tail.assign(4096, 0);
  image.insert(image.end(), tail.begin(), tail.end());
  return FeedFile(image.data(), image.size(), EvenReads(image.size(), readBytes));
}

TEST(CompoundFile, KindFromTheFirstEntries) {
  struct Case {
    std::vector<std::string> names;
    uint8_t type;
  };
  const Case cases[] = {
      {{"Root Entry", "Workbook", "x", ""}, kTypeXls},
      {{"Root Entry", "Book", "", ""}, kTypeXls},
      {{"Root Entry", "\x05SummaryInformation", "x", "PowerPoint Document"}, kTypePpt},
      {{"Root Entry", "Pictures", "", ""}, kTypePpt},
      {{"Root Entry", "WordDocument", "Workbook", ""}, kTypeDoc},  // the first match decides
      {{"Root Entry", "1Table", "x", "y"}, kTypeDoc},               // none of them
      {{"Root Entry", "Workbooks", "Books", "Picture"}, kTypeDoc},  // whole names only
  };
  for (const Case& c : cases) {
    Layout l;
    l.names = c.names;
    const std::vector<uint8_t> f = Compound(l);
    for (size_t read : {size_t(512), size_t(4096), size_t(1) << 20}) {
      const FeedResult r = Carve(f, read);
      EXPECT_TRUE(r.recorded) << c.names[1] << " " << r.Describe();
      EXPECT_EQ(r.type, c.type) << c.names[1] << " " << r.Describe();
      EXPECT_EQ(r.size, int64_t(f.size())) << c.names[1];
    }
  }
}

// When entries 1 to 3 do not tell, the directory is read by its chain and
// the root's own streams do: LibreOffice puts its slides at entries 4 and 5.
TEST(CompoundFile, KindFromTheRootsStreamsFurtherOn) {
  constexpr uint32_t kNone = kFree;
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::vector<std::array<uint32_t, 3>> links;
    uint8_t type;
  };
  const std::vector<std::string> slides = {"Root Entry",   "\x01CompObj", "Ole",
                                           "Current User", "Pictures2",   "PowerPoint Document"};
  const Case cases[] = {
      {"slides at entry 5", slides, {}, kTypePpt},
      {"a workbook at entry 6", {"Root Entry", "\x01CompObj", "Ole", "x", "y", "z", "Workbook", ""}, {}, kTypeXls},
      // A workbook inside an embedded object's storage is not the file's.
      {"a workbook below a storage",
       {"Root Entry", "\x01CompObj", "Ole", "ObjectPool", "Workbook"},
       {{kNone, kNone, 1}, {kNone, 2, kNone}, {kNone, 3, kNone}, {kNone, kNone, 4}, {kNone, kNone, kNone}},
       kTypeDoc},
      // A tree whose links loop is walked once.
      {"links that loop",
       {"Root Entry", "\x01CompObj", "Ole", "a", "b"},
       {{kNone, kNone, 1}, {kNone, 2, kNone}, {1, 3, kNone}, {2, 4, 1}, {3, kNone, 1}},
       kTypeDoc},
  };
  for (const Case& c : cases) {
    Layout l;
    l.names = c.names;
    l.links = c.links;
    const std::vector<uint8_t> f = Compound(l);
    for (size_t read : {size_t(512), size_t(1) << 20}) {
      const FeedResult r = Carve(f, read);
      EXPECT_TRUE(r.recorded) << c.what << " " << r.Describe();
      EXPECT_EQ(r.type, c.type) << c.what << " " << r.Describe();
      EXPECT_EQ(r.size, int64_t(f.size())) << c.what;
    }
  }
}

// The size comes from the used entries of the last FAT sector (in header
// order): ((FAT sectors - 1) x 128 + used + 1) x 512.
TEST(CompoundFile, UsedEntriesOfTheLastFatSector) {
  for (uint32_t used : {10u, 64u, 128u}) {
    Layout l;
    l.fatSectors = 2;
    l.lastUsed = used;
    uint32_t sectors = 0;
    const std::vector<uint8_t> f = Compound(l, &sectors);
    ASSERT_EQ(sectors, 128 + used + 1);
    for (size_t read : {size_t(512), size_t(1000), size_t(65536)}) {
      const FeedResult r = Carve(f, read, std::vector<uint8_t>(8192, 0x77));
      EXPECT_TRUE(r.recorded) << used << " " << r.Describe();
      EXPECT_EQ(r.size, int64_t(512) * sectors) << used;
    }
  }
}

// A directory sector before the last FAT sector: complete once both are
// seen; and the other way round.
TEST(CompoundFile, DirectoryAndFatInEitherOrder) {
  for (bool directoryLast : {false, true}) {
    Layout l;
    l.directoryLast = directoryLast;
    l.dataSectors = 40;
    const std::vector<uint8_t> f = Compound(l);
    for (size_t read = 512; read <= 8192; read += 512) {
      const FeedResult r = Carve(f, read);
      EXPECT_EQ(r.size, int64_t(f.size())) << directoryLast << " " << read;
    }
    // Reads that cut the FAT and directory sectors in two.
    for (size_t split = 512; split < f.size(); split += 97) {
      std::vector<uint8_t> image = f;
      image.resize(f.size() + 4096, 0);
      const FeedResult r = FeedFile(image.data(), image.size(), ReadsAt(image.size(), {split, split + 300}));
      EXPECT_EQ(r.size, int64_t(f.size())) << directoryLast << " split " << split;
    }
  }
}

TEST(CompoundFile, RefusedHeadersAndTables) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
  };
  std::vector<Case> cases;
  {
    Layout l;
    l.sectorShift = 12;  // 4,096-byte sectors
    cases.push_back({"sector shift 12", Compound(l)});
  }
  {
    Layout l;
    l.difat = 300;
    cases.push_back({"a DIFAT chain", Compound(l)});
  }
  {
    std::vector<uint8_t> f = Compound(Layout());
    Put32(f, 44, 0);
    cases.push_back({"no FAT sector", f});
    Put32(f, 44, 110);
    cases.push_back({"110 FAT sectors without a DIFAT sector", f});
    Put32(f, 68, 3);
    Put32(f, 72, 1);
    cases.push_back({"110 FAT sectors, the DIFAT sector no list", f});
  }
  {
    std::vector<uint8_t> f = Compound(Layout());
    Put32(f, 48, 129);
    cases.push_back({"directory past the bound", f});
  }
  {
    std::vector<uint8_t> f = Compound(Layout());
    Put32(f, 76, 200);
    cases.push_back({"a FAT sector past the bound", f});
  }
  {
    Layout l;
    std::vector<uint8_t> f = Compound(l);
    // FAT sector 9 (file sector 9): entry 3 points where entry 2 does.
    Put32(f, 512 * 10 + 4 * 3, 3);
    cases.push_back({"a sector claimed twice", f});
  }
  {
    std::vector<uint8_t> f = Compound(Layout());
    Put32(f, 512 * 10 + 4 * 20, 5000);
    cases.push_back({"an entry past the bound that is no special value", f});
  }
  {
    Layout l;
    l.names = {"Root Entri", "WordDocument", "", ""};
    cases.push_back({"no root entry", Compound(l)});
  }
  for (const Case& c : cases) {
    for (size_t read : {size_t(512), size_t(65536)}) {
      const FeedResult r = Carve(c.file, read);
      EXPECT_EQ(r.probed, kTypeDoc) << c.what;
      EXPECT_FALSE(r.recorded) << c.what << ": " << r.Describe();
    }
  }
}

}  // namespace
