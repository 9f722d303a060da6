// The Long Scan's lost-volume and lost-folder search: a disk of a FAT32 and a
// FAT16 volume (mkfs.fat, mtools) whose boot sectors, partition table and
// FAT32 tables are zeroed gives its volumes back with what fls -r -p -o
// START listed, at the start, cluster size and table size fsstat gives;
// without tables the volume starts where its cluster 0 would lie and every
// file (all contiguous here) still reads whole. The finder's own rules as
// a table of cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/fat/FatDirFinder.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

struct TskLine {
  bool deleted = false;
  bool folder = false;
  uint64_t size = 0;
  std::string md5, path;
};

std::vector<TskLine> TskLines(const std::string& file) {
  std::vector<TskLine> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string deleted, size;
    TskLine t;
    std::getline(ss, deleted, '\t');
    std::getline(ss, size, '\t');
    std::getline(ss, t.md5, '\t');
    std::getline(ss, t.path);
    t.deleted = deleted == "1";
    t.size = std::stoull(size);
    out.push_back(t);
  }
  return out;
}

// fls's files, then its folders (deleted<TAB>path lines).
std::vector<TskLine> TskItems(const std::string& folder, const std::string& name) {
  std::vector<TskLine> out = TskLines(folder + "/fl_" + name + ".files.txt");
  std::ifstream in(folder + "/fl_" + name + ".folders.txt");
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    TskLine t;
    t.deleted = line.substr(0, tab) == "1";
    t.folder = true;
    t.path = line.substr(tab + 1);
    out.push_back(t);
  }
  return out;
}

struct Geometry {
  int64_t start = 0;
  uint32_t clusterBytes = 0, fatSectors = 0;
  int64_t firstData = 0;
};

Geometry FsstatOf(const std::string& file) {
  Geometry g;
  std::ifstream in(file);
  in >> g.start >> g.clusterBytes >> g.fatSectors >> g.firstData;
  return g;
}

// "Lost FAT volume at S: M sectors a cluster, table of F sectors" lines.
std::map<int64_t, std::pair<uint32_t, uint32_t>> LostVolumes(const std::string& trace) {
  std::map<int64_t, std::pair<uint32_t, uint32_t>> out;
  const std::regex re("Lost FAT volume at (\\d+): (\\d+) sectors a cluster, table of (\\d+) sectors");
  for (std::sregex_iterator it(trace.begin(), trace.end(), re), end; it != end; ++it)
    out[std::stoll((*it)[1])] = {uint32_t(std::stoul((*it)[2])), uint32_t(std::stoul((*it)[3]))};
  return out;
}

struct LostCase {
  const char* image;
  bool fat32Tables;  // the FAT32 tables are still there
};

void PrintTo(const LostCase& c, std::ostream* os) { *os << c.image; }

class FatLost : public testing::TestWithParam<LostCase> {};

}  // namespace

TEST_P(FatLost, LongScanRebuildsTheVolumes) {
  DV_NEED_FIXTURE("make_fat_lost.sh");
  const std::string folder = FixtureCache();
  const LostCase c = GetParam();
  const Geometry g32 = FsstatOf(folder + "/fl_fat32.fsstat.txt");
  const Geometry g16 = FsstatOf(folder + "/fl_fat16.fsstat.txt");
  std::vector<TskLine> tsk = TskItems(folder, "fat32");
  const std::vector<TskLine> tsk16 = TskItems(folder, "fat16");
  ASSERT_GT(tsk.size(), 20u);
  ASSERT_GT(tsk16.size(), 20u);
  tsk.insert(tsk.end(), tsk16.begin(), tsk16.end());

  const TempFolder dest("fatlost");
  const std::string out = dest.Path() + "/out", trace = dest.Path() + "/trace.txt";
  const DvscanRun r = Dvscan("--long --trace '" + trace + "' --overwrite overwrite --recover '" + out + "' '" +
                             folder + "/" + c.image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;

  // Both volumes come back as the finder built them.
  const auto lost = LostVolumes(RunCommand("cat '" + trace + "'*"));
  const int64_t start32 = c.fat32Tables ? g32.start : g32.start + g32.firstData - 2 * (g32.clusterBytes / 512);
  ASSERT_TRUE(lost.count(start32)) << "FAT32 not rebuilt at " << start32;
  EXPECT_EQ(lost.at(start32).first * 512, g32.clusterBytes);
  EXPECT_EQ(lost.at(start32).second, c.fat32Tables ? g32.fatSectors : 0u);
  ASSERT_TRUE(lost.count(g16.start)) << "FAT16 not rebuilt at " << g16.start;
  EXPECT_EQ(lost.at(g16.start).first * 512, g16.clusterBytes);
  EXPECT_EQ(lost.at(g16.start).second, g16.fatSectors);
  EXPECT_EQ(lost.size(), 2u);

  // Every file and folder fls listed, once per volume, with its size and bytes (both
  // volumes hold the same small files under the same paths).
  std::multimap<std::string, const Listed*> ours;
  for (const Listed& l : r.items) ours.emplace(l.path, &l);
  std::map<std::string, int> wanted;
  for (const TskLine& t : tsk) wanted[t.path]++;
  for (const TskLine& t : tsk) {
    auto range = ours.equal_range(t.path);
    bool found = false;
    for (auto it = range.first; it != range.second; ++it)
      if ((t.folder || it->second->size == t.size) && it->second->deleted == t.deleted) found = true;
    EXPECT_TRUE(found) << "not listed: " << t.path;
    if (!t.deleted && !t.folder && found) {
      EXPECT_EQ(Md5File(out + "/" + t.path), t.md5) << t.path;
    }
  }
  for (const auto& [path, n] : wanted) EXPECT_EQ(int(ours.count(path)), n) << path;
  EXPECT_EQ(r.items.size(), tsk.size());
}

INSTANTIATE_TEST_SUITE_P(Copies, FatLost,
                         testing::Values(LostCase{"fl_boot.img", true}, LostCase{"fl_nombr.img", true},
                                         LostCase{"fl_nofat.img", false}),
                         [](const testing::TestParamInfo<LostCase>& i) {
                           std::string n = i.param.image;
                           return n.substr(3, n.size() - 7);
                         });

// The intact disk: its volumes are known, the folders the sector pass
// meets are theirs, and no volume is built.
TEST(FatLostKnown, FoldersInKnownVolumesMakeNoVolume) {
  DV_NEED_FIXTURE("make_fat_lost.sh");
  const std::string folder = FixtureCache();
  const TempFolder dest("fatlost");
  const std::string trace = dest.Path() + "/trace.txt";
  const DvscanRun r = Dvscan("--long --trace '" + trace + "' '" + folder + "/fl_disk.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string traced = RunCommand("cat '" + trace + "'*");
  EXPECT_TRUE(LostVolumes(traced).empty());
  // The FAT32 backup boot sector at +6 is the known volume's, not another.
  const Geometry g32 = FsstatOf(folder + "/fl_fat32.fsstat.txt");
  EXPECT_EQ(traced.find("of type 3 at " + std::to_string(g32.start + 6) + "\n"), std::string::npos) << traced;
  const size_t files = TskItems(folder, "fat32").size() + TskItems(folder, "fat16").size();
  EXPECT_EQ(r.items.size(), files);
}

// ---- the finder's rules ----

namespace {

// A table sector whose bytes depend on its index (and on `salt`: another
// table's sector of the same index).
std::vector<uint8_t> TableSector(int64_t index, int salt = 0) {
  std::vector<uint8_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(index * 7 + i + salt * 13);
  return s;
}

void NoteTable(FATDirFinder& f, int type, int64_t start, int64_t sectors, int salt = 0) {
  for (int64_t i = 0; i < sectors; ++i) f.NoteFATSector(type, TableSector(i, salt).data(), start + i, i, true);
}

// A folder sector: "." naming `cluster`, ".." naming `parent`.
std::vector<uint8_t> FolderSector(uint32_t cluster, uint32_t parent) {
  std::vector<uint8_t> s(512, 0);
  auto entry = [&](size_t at, const char* name, uint32_t c) {
    std::memcpy(s.data() + at, name, 11);
    s[at + 11] = 0x10;
    s[at + 20] = uint8_t(c >> 16);
    s[at + 21] = uint8_t(c >> 24);
    s[at + 26] = uint8_t(c);
    s[at + 27] = uint8_t(c >> 8);
  };
  entry(0, ".          ", cluster);
  entry(32, "..         ", parent);
  return s;
}

const uint8_t* AddFolder(FATDirFinder& f, uint32_t cluster, uint32_t parent, int64_t sector, int64_t* start) {
  const uint8_t* boot = nullptr;
  f.AddDir(FolderSector(cluster, parent).data(), sector, start, 64, &boot);
  return boot;
}

}  // namespace

TEST(FatDirFinderRules, TableCopiesPairOnlyWithinTheirReach) {
  struct Case {
    const char* name;
    int type;
    int64_t distance;
    int64_t sectors;
    int salt2;
    int64_t fatSize;  // 0: not paired
  };
  const Case cases[] = {
      {"FAT16 copies 200 apart", 2, 200, 16, 0, 200},
      {"FAT16 copies 300 apart are too far", 2, 300, 16, 0, 0},
      {"FAT16 copies 10 apart are too near", 2, 10, 16, 0, 0},
      {"FAT16 tables of other bytes", 2, 200, 16, 1, 0},
      {"FAT16 one digest slot shared cannot tell", 2, 200, 8, 0, 0},
      {"FAT32 copies 1000 apart", 3, 1000, 300, 0, 1000},
      {"FAT32 copies 200 apart are too near", 3, 200, 300, 0, 0},
      {"FAT32 copies farther than the reach past the first's end", 3, 140000, 300, 0, 0},
  };
  for (const Case& c : cases) {
    FATDirFinder f(512, 1u << 24);
    NoteTable(f, c.type, 5000, c.sectors);
    NoteTable(f, c.type, 5000 + c.distance, c.sectors, c.salt2);
    int64_t size = 0;
    for (const auto& r : f.Regions(c.type))
      if (r.fatSize) size = r.fatSize;
    EXPECT_EQ(size, c.fatSize) << c.name;
    if (c.fatSize) {
      EXPECT_EQ(f.Regions(c.type).size(), 1u) << c.name << ": the second copy merged";
    }
  }
}

TEST(FatDirFinderRules, FoldersGiveTheClusterSizeAndTheVolume) {
  // A FAT32 table pair at 2080 (32 reserved: volume at 2048), 630 sectors
  // each; 4 sectors a cluster; cluster 2 at 2080 + 1260 = 3340.
  const int64_t tableStart = 2080, fatSize = 630, data = tableStart + 2 * fatSize;
  auto at = [&](uint32_t cluster) { return data + 4 * (int64_t(cluster) - 2); };
  {
    // "." and ".." naming one cluster: ignored.
    FATDirFinder f(512, 1u << 20);
    int64_t start = -1;
    EXPECT_EQ(AddFolder(f, 7, 7, at(7), &start), nullptr);
    EXPECT_TRUE(f.Records().empty());
  }
  {
    // A cluster size seen once is not used; the second time it is, and the
    // table pair gives the boot sector.
    FATDirFinder f(512, 1u << 20);
    NoteTable(f, 3, tableStart, 300);
    NoteTable(f, 3, tableStart + fatSize, 300);
    ASSERT_EQ(f.Regions(3).size(), 1u);
    ASSERT_EQ(f.Regions(3).front().fatSize, fatSize);
    int64_t start = -1;
    EXPECT_EQ(AddFolder(f, 10, 0, at(10), &start), nullptr);
    EXPECT_EQ(AddFolder(f, 12, 0, at(12), &start), nullptr);
    EXPECT_EQ(f.Records().back().sectorsPerCluster, 0u) << "seen once";
    EXPECT_EQ(f.Records().back().candidate, 4u);
    // A sibling at a distance that disagrees does not count.
    EXPECT_EQ(AddFolder(f, 13, 0, at(13) + 1, &start), nullptr);
    const uint8_t* boot = AddFolder(f, 15, 0, at(15), &start);
    ASSERT_NE(boot, nullptr) << "seen twice";
    EXPECT_EQ(start, 2048);
    EXPECT_EQ(boot[13], 4);
    EXPECT_EQ(boot[14] | boot[15] << 8, 32);
    EXPECT_EQ(uint32_t(boot[36] | boot[37] << 8 | boot[38] << 16 | uint32_t(boot[39]) << 24), uint32_t(fatSize));
  }
  {
    // No table known: a FAT32 volume whose cluster 0 lies at its start.
    FATDirFinder f(512, 1u << 20);
    int64_t start = -1;
    AddFolder(f, 10, 0, at(10), &start);
    AddFolder(f, 12, 0, at(12), &start);
    const uint8_t* boot = AddFolder(f, 15, 0, at(15), &start);
    ASSERT_NE(boot, nullptr);
    EXPECT_EQ(start, data - 2 * 4);
    EXPECT_EQ(boot[14] | boot[15] << 8, 8) << "reserved: the two clusters before cluster 2";
    EXPECT_EQ(boot[36] | boot[37] | boot[38] | boot[39], 0) << "no table size";
  }
}

TEST(FatDirFinderRules, LostGeometryIsSixtyFourBitAndCapped) {
  struct Case {
    const char* name;
    int type;
    int64_t tableStart, fatSize;
    uint32_t spc, ss;
    uint64_t driveSectors;
    bool ok;
    uint32_t total;
  };
  const Case cases[] = {
      // 1024 x 4 M entries x 128 sectors passes 32 bits: capped.
      {"FAT32 4096-byte sectors, large table", 3, 32, 4000000, 128, 4096, 1ull << 40, true, 0xFFFFFFFFu},
      {"FAT32 cut to the drive", 3, 32, 630, 1, 512, 50000, true, 50000},
      {"FAT32 exact", 3, 2080, 630, 1, 512, 1u << 24, true, 630 * 128 - 2 + 2 * 630 + 32},
      {"FAT16 exact", 2, 83969, 64, 4, 512, 1u << 24, true, 4 * (64 * 256 - 2) + 2 * 64 + 32 + 1},
      {"table before the reserved area", 3, 10, 630, 1, 512, 1u << 24, false, 0},
      {"table past the drive", 3, 2080, 630, 1, 512, 100, false, 0},
  };
  for (const Case& c : cases) {
    LostFatGeometry g;
    const bool ok = LostFatVolumeGeometry(c.type, c.tableStart, c.fatSize, c.spc, c.ss, c.driveSectors, &g);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (ok) {
      EXPECT_EQ(g.totalSectors, c.total) << c.name;
    }
  }
}

// A live file whose first table entry is damaged in both tables. Freed:
// the table lost the chain, and the rest of it, still chained right after,
// holds exactly what the size needs: the file comes back whole, graded as
// a guess (Poor). A bad mark: the chain ends where it cannot, the file
// counts as corrupt, and with "Skip Files on Bad Extents" (no corrupt-files
// folder) it is not kept.
TEST(FatBadExtent, DamagedFirstEntry) {
  DV_NEED_FIXTURE("make_fat_lost.sh");
  const std::string folder = FixtureCache();
  const Geometry g = FsstatOf(folder + "/fl_fat32.fsstat.txt");
  const TempFolder box("fatbad");
  const std::string inode =
      RunCommand("fls -r -p -o " + std::to_string(g.start) + " '" + folder +
                 "/fl_disk.img' | awk -F'\\t' '$2 == \"Gamma/three.bin\" { split($1, a, \" \"); print a[2] }'");
  ASSERT_FALSE(inode.empty());
  const std::string sectors =
      RunCommand("istat -o " + std::to_string(g.start) + " '" + folder + "/fl_disk.img' " +
                 inode.substr(0, inode.find(':')) + " | awk 'f { print $1; exit } /^Sectors:/ { f = 1 }'");
  ASSERT_FALSE(sectors.empty());
  const uint32_t spc = g.clusterBytes / 512;
  const int64_t cluster = (std::stoll(sectors) - g.firstData) / spc + 2;
  const int64_t reserved = g.firstData - 2 * int64_t(g.fatSectors);
  const std::string options = box.Path() + "/options.ini";
  std::ofstream(options) << "[Options]\nSkip Files on Bad Extents=1\n";
  std::string md5;
  for (const TskLine& t : TskLines(folder + "/fl_fat32.files.txt"))
    if (t.path == "Gamma/three.bin") md5 = t.md5;
  ASSERT_FALSE(md5.empty());
  struct Case {
    const char* name;
    uint32_t entry;
    const char* status;  // the listing's
    const char* keep;    // the totals without the option
    const char* skip;    // with it
  };
  const Case cases[] = {
      {"freed", 0, "Poor", "saved=22 skipped=0 failed=0 corrupt=0", "saved=22 skipped=0 failed=0 corrupt=0"},
      {"bad", 0x0FFFFFF7, "Corrupt", "saved=21 skipped=0 failed=0 corrupt=1", "saved=21 skipped=0 failed=0 corrupt=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string img = box.Path() + "/" + c.name + ".img";
    ASSERT_EQ(std::system(("cp --sparse=always '" + folder + "/fl_disk.img' '" + img + "'").c_str()), 0);
    for (int copy = 0; copy < 2; ++copy) {
      std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp((g.start + reserved + copy * int64_t(g.fatSectors)) * 512 + cluster * 4);
      const char value[4] = {char(c.entry), char(c.entry >> 8), char(c.entry >> 16), char(c.entry >> 24)};
      f.write(value, 4);
    }
    for (bool skip : {false, true}) {
      SCOPED_TRACE(skip);
      const std::string out = box.Path() + "/" + c.name + (skip ? "-skip" : "-keep");
      const DvscanRun r = Dvscan(std::string(skip ? "--options '" + options + "' " : "") + "--volume 0 --recover '" +
                                 out + "' '" + img + "'");
      // A corrupt file leaves the run incomplete.
      const bool corrupt = std::string(c.status) == "Corrupt";
      ASSERT_EQ(r.rc, corrupt ? 1 : 0) << r.out << r.err;
      EXPECT_NE(r.out.find(skip ? c.skip : c.keep), std::string::npos) << r.out;
      for (const Listed& l : r.items)
        if (l.path == "Gamma/three.bin") {
          EXPECT_EQ(l.status, c.status);
        }
      EXPECT_EQ(std::filesystem::exists(out + "/Gamma/three.bin"), !(corrupt && skip));
      if (!corrupt) {
        EXPECT_EQ(Md5File(out + "/Gamma/three.bin"), md5);
      }
      EXPECT_EQ(Md5File(out + "/Gamma/small.txt"), "77e17d19bcab7d18e3ab71420528970e");
    }
  }
}
