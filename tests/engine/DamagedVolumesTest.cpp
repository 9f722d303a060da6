// FAT, exFAT and ext volumes damaged the way users damage them, made at
// test time by the real tools (tests/fixtures/make_damaged_volumes.sh,
// make_exfat_damaged.sh), against The Sleuth Kit: a reformatted volume or
// one whose tables were zeroed gives back at least as many files md5-exact
// as `tsk_recover -e`, every file rebuilt from guessed clusters carries its
// grade, one whose size the free clusters cannot meet is corrupt and no
// saved file holds zeros in place of its clusters; deleted files are
// graded as TSK sees their clusters' allocation; a volume cut to half its
// size is read as far as the image goes; deep folders keep their paths.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/DvscanRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

std::vector<std::vector<std::string>> Rows(const std::string& file) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (!cols.empty()) rows.push_back(cols);
  }
  return rows;
}

std::set<std::string> Md5sUnder(const std::string& folder) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec))
    if (e.is_regular_file() && e.path().filename() != "Recovery.log") out.insert(Md5File(e.path().string()));
  return out;
}

// The recovery log's status word of each destination path.
std::map<std::string, std::string> Logged(const std::string& root) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(root + "/Recovery.log"));
  std::string line;
  while (std::getline(in, line)) {
    for (const char* word : {"Saved", "Corrupt", "Failed", "Skipped"}) {
      const std::string key = std::string("  ") + word + ": " + root + "/";
      const size_t at = line.find(key);
      if (at != std::string::npos) out[line.substr(at + key.size())] = word;
    }
  }
  return out;
}

// A 512-byte block of zeros (or a zero tail): bytes a file of seeded random
// bytes never holds.
bool HasZeroBlock(const std::string& path) {
  const std::string data = ReadFileText(path);
  for (size_t at = 0; at < data.size(); at += 512) {
    const size_t n = std::min<size_t>(512, data.size() - at);
    if (n >= 16 && data.find_first_not_of('\0', at) >= at + n) return true;
  }
  return false;
}

// The set's folder, or empty with the test skipped.
std::string Fixture(const std::string& script) {
  const int rc = MakeFixture(script);
  if (rc == 77) return "";
  EXPECT_EQ(rc, 0) << script;
  return rc == 0 ? FixtureCache() : "";
}

struct FatCase {
  const char* image;
  bool bigSize;  // BIGSIZE.BIN is there, with a size no free clusters meet
};

class DamagedFat : public testing::TestWithParam<FatCase> {};

}  // namespace

TEST_P(DamagedFat, AtLeastWhatTheSleuthKitGetsBack) {
  const std::string folder = Fixture("make_damaged_volumes.sh");
  if (folder.empty()) GTEST_SKIP() << "mkfs.fat, mtools or sleuthkit missing";
  const FatCase c = GetParam();
  std::set<std::string> originals, names;
  for (const auto& row : Rows(folder + "/fd_orig.txt")) {
    originals.insert(row[0]);
    names.insert(row[1]);
  }
  std::set<std::string> tsk;
  for (const auto& row : Rows(folder + "/fd_" + std::string(c.image) + ".tsk.txt")) tsk.insert(row[0]);
  const TempFolder dest("damagedfat");
  const std::string out = dest.Path() + "/out";
  const DvscanRun r = Dvscan("--long --recover '" + out + "' '" + folder + "/fd_" + c.image + ".img'");
  ASSERT_GE(r.rc, 0) << r.err;
  ASSERT_NE(r.out.find("saved="), std::string::npos) << r.out << r.err;

  size_t ours = 0, theirs = 0;
  const std::set<std::string> got = Md5sUnder(out);
  for (const std::string& md5 : originals) {
    ours += got.count(md5);
    theirs += tsk.count(md5);
  }
  std::printf("fd_%s: md5-exact %zu (tsk_recover -e %zu) of %zu files written\n", c.image, ours, theirs,
              originals.size());
  EXPECT_GE(ours, theirs) << c.image;
  EXPECT_GT(theirs, 150u);

  // Every file was rebuilt from guessed clusters: each carries its grade;
  // a saved one holds no zeros in place of clusters the image holds.
  const auto logged = Logged(out);
  bool bigSeen = false;
  for (const Listed& l : r.items) {
    // The files (by their names, or deleted ones); folders have no grade.
    const std::string name = l.path.substr(l.path.rfind('/') + 1);
    if (!names.count(name) && !(l.deleted && l.size)) continue;
    EXPECT_FALSE(l.status.empty()) << l.path;
    auto it = logged.find(l.path);
    // The one fragmented file is read on over the free clusters after its
    // first: they may be clusters never written (zeros on the disk).
    if (it != logged.end() && it->second == "Saved" && name != "Fragmented one.bin") {
      EXPECT_FALSE(HasZeroBlock(out + "/" + l.path)) << l.path;
    }
    if (l.path.size() >= 11 && l.path.compare(l.path.size() - 11, 11, "BIGSIZE.BIN") == 0) {
      bigSeen = true;
      EXPECT_EQ(l.status, "Corrupt") << l.path;
      ASSERT_TRUE(it != logged.end()) << l.path;
      EXPECT_EQ(it->second, "Corrupt") << l.path;
    }
  }
  EXPECT_EQ(bigSeen, c.bigSize);
}

INSTANTIATE_TEST_SUITE_P(Images, DamagedFat,
                         testing::Values(FatCase{"r32", false}, FatCase{"r16", false}, FatCase{"z32", true},
                                         FatCase{"z16", true}),
                         [](const testing::TestParamInfo<FatCase>& i) { return std::string(i.param.image); });

// Thirty levels of folders, the paths fls gives: whole, not cut at 255
// characters.
TEST(DamagedFatPaths, DeepFoldersKeepTheirWholePath) {
  const std::string folder = Fixture("make_damaged_volumes.sh");
  if (folder.empty()) GTEST_SKIP() << "mkfs.fat, mtools or sleuthkit missing";
  const TempFolder dest("deepfat");
  const std::string out = dest.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + out + "' '" + folder + "/fd_deep.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::set<std::string> listed;
  for (const Listed& l : r.items) listed.insert(l.path);
  const auto files = Rows(folder + "/fd_deep.files.txt");
  ASSERT_EQ(files.size(), 30u);
  EXPECT_GT(files.back()[1].size(), 255u);
  for (const auto& f : files) {
    EXPECT_TRUE(listed.count(f[1])) << f[1];
    EXPECT_EQ(Md5File(out + "/" + f[1]), f[0]) << f[1];
  }
}

namespace {

struct GradeCase {
  const char* script;
  const char* image;
};

class DeletedGrades : public testing::TestWithParam<GradeCase> {};

}  // namespace

// Good when the deleted file's clusters are still free, Poor when not, as
// the Sleuth Kit's allocation of them tells (tests/fixtures/
// tsk_deleted_grades.py); no deleted file goes without one.
TEST_P(DeletedGrades, AgreeWithTheSleuthKitsAllocation) {
  const GradeCase c = GetParam();
  const std::string folder = Fixture(c.script);
  if (folder.empty()) GTEST_SKIP() << c.script << ": a tool, root or FUSE is missing";
  const DvscanRun r = Dvscan("'" + folder + "/" + c.image + ".img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, const Listed*> ours;
  for (const Listed& l : r.items) {
    ours[l.path] = &l;
    if (l.deleted && l.size) {
      EXPECT_FALSE(l.status.empty()) << l.path;
    }
  }
  const auto tsk = Rows(folder + "/" + c.image + ".grades.txt");
  ASSERT_GE(tsk.size(), 3u);
  std::set<std::string> grades;
  for (const auto& t : tsk) {
    auto it = ours.find(t[0]);
    if (it == ours.end()) {
      ADD_FAILURE() << "not listed: " << t[0];
      continue;
    }
    EXPECT_TRUE(it->second->deleted) << t[0];
    EXPECT_EQ(it->second->status, t[2]) << t[0];
    grades.insert(t[2]);
  }
  EXPECT_EQ(grades.size(), 2u) << "both grades among the deleted files";
}

INSTANTIATE_TEST_SUITE_P(Images, DeletedGrades,
                         testing::Values(GradeCase{"make_damaged_volumes.sh", "fd_32"},
                                         GradeCase{"make_damaged_volumes.sh", "fd_16"},
                                         GradeCase{"make_damaged_volumes.sh", "ed_g4"},
                                         GradeCase{"make_damaged_volumes.sh", "ed_g3"},
                                         GradeCase{"make_exfat_damaged.sh", "xd_frag"}),
                         [](const testing::TestParamInfo<GradeCase>& i) { return std::string(i.param.image); });

// exfat-fuse frees a deleted file's chain: the fragmented file written into
// the holes of removed files comes back from the free clusters only, never
// from those the files between the holes own, graded Poor (a guess).
TEST(DamagedExFat, DeletedFragmentedFileTakesOnlyFreeClusters) {
  const std::string folder = Fixture("make_exfat_damaged.sh");
  if (folder.empty()) GTEST_SKIP() << "mkfs.exfat, exfat-fuse, sleuthkit, root or FUSE missing";
  std::map<std::string, std::string> originals;
  for (const auto& row : Rows(folder + "/xd_frag.orig.txt")) originals[row[1]] = row[0];
  const TempFolder dest("exfatfrag");
  const std::string out = dest.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + out + "' '" + folder + "/xd_frag.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  bool seen = false;
  for (const Listed& l : r.items) {
    if (l.path != "frag.bin") continue;
    seen = true;
    EXPECT_TRUE(l.deleted);
    EXPECT_EQ(l.status, "Poor");
  }
  ASSERT_TRUE(seen);
  EXPECT_EQ(Md5File(out + "/frag.bin"), originals.at("frag.bin"));
  EXPECT_EQ(Md5File(out + "/tail.bin"), originals.at("tail.bin"));
  // The live files between the holes are their own.
  for (int i = 2; i <= 40; i += 2) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    EXPECT_EQ(Md5File(out + "/" + name), originals.at(name)) << name;
  }
}

namespace {

struct CutCase {
  const char* script;
  const char* cut;   // the image cut to half its size
  const char* ends;  // tsk_file_ends.py of the whole image
};

class CutVolumes : public testing::TestWithParam<CutCase> {};

}  // namespace

// A copy cut to half its size: the volume is kept with a message naming the
// missing sectors; the files wholly before the cut come back exact, those
// that reach past it are counted corrupt.
TEST_P(CutVolumes, KeptAndReadAsFarAsTheImageGoes) {
  const CutCase c = GetParam();
  const std::string folder = Fixture(c.script);
  if (folder.empty()) GTEST_SKIP() << c.script << ": a tool, root or FUSE is missing";
  const std::string img = folder + "/" + c.cut;
  struct stat st;
  ASSERT_EQ(::stat(img.c_str(), &st), 0);
  const TempFolder dest("cutvol");
  const std::string out = dest.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + out + "' '" + img + "'");
  ASSERT_GE(r.rc, 0) << r.err;
  const std::string all = r.out + r.err + ReadFileText(out + "/Recovery.log");
  EXPECT_NE(all.find("The source is shorter than volume 0: its last 65536 of 131072 sectors are missing"),
            std::string::npos)
      << all.substr(0, 2000);
  std::map<std::string, const Listed*> ours;
  for (const Listed& l : r.items) ours[l.path] = &l;
  const auto logged = Logged(out);
  size_t before = 0, past = 0;
  for (const auto& f : Rows(folder + "/" + c.ends)) {
    const bool inside = std::stoull(f[2]) <= uint64_t(st.st_size);
    auto it = ours.find(f[0]);
    if (inside) {
      ++before;
      ASSERT_TRUE(it != ours.end()) << "not listed: " << f[0];
      EXPECT_EQ(logged.count(f[0]) ? logged.at(f[0]) : "", "Saved") << f[0];
      EXPECT_EQ(Md5File(out + "/" + f[0]), f[1]) << f[0];
    } else if (it != ours.end()) {
      ++past;
      EXPECT_EQ(logged.count(f[0]) ? logged.at(f[0]) : "", "Corrupt") << f[0];
    }
  }
  std::printf("%s: %zu files before the cut recovered exact, %zu past it counted corrupt\n", c.cut, before, past);
  EXPECT_GT(before, 10u);
  EXPECT_GT(past, 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, CutVolumes,
                         testing::Values(CutCase{"make_damaged_volumes.sh", "fd_h16c.img", "fd_h16.ends.txt"},
                                         CutCase{"make_damaged_volumes.sh", "ed_h4c.img", "ed_h4.ends.txt"},
                                         CutCase{"make_exfat_damaged.sh", "xd_hc.img", "xd_h.ends.txt"}),
                         [](const testing::TestParamInfo<CutCase>& i) {
                           std::string n = i.param.cut;
                           return n.substr(0, n.find('.'));
                         });
