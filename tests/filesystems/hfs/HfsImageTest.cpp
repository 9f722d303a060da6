// HFS+ images made by xorriso (tests/fixtures/make_hfs.sh) and written by
// the Linux driver (make_hfs_driver.sh, kept in tests/fixtures/hfs): what
// dvscan lists and recovers against The Sleuth Kit's fls, icat and the
// times of fls -m.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/hfs/HfsHeader.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/filesystems/hfs/HfsFixture.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/VolumeSearch.h"

namespace {

#define NEED_MADE()                                            \
  static const std::string dir = FixtureFolder("make_hfs.sh"); \
  if (dir.empty()) GTEST_SKIP() << "make_hfs.sh: xorriso, hfsutils or sleuthkit missing";

#define NEED_DRIVER()                           \
  const std::string dir = CommittedHfsFolder(); \
  if (dir.empty()) GTEST_SKIP() << "xz missing";

// fls prints ":" for a stored "/" (and the reverse), "^" for a control
// character; the list shows "_" for all of them.
std::string AsListed(std::string p) {
  for (char& c : p)
    if (c == ':' || c == '^') c = '_';
  return p;
}

// fls -r -p lines of files and folders (not the "$" metadata files): path
// -> 'r' or 'd'.
std::map<std::string, char> FlsItems(const std::string& path) {
  std::map<std::string, char> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.size() < 4 || (line[0] != 'r' && line[0] != 'd')) continue;
    const std::string name = line.substr(tab + 1);
    if (name.empty() || name[0] == '$') continue;
    out[AsListed(name)] = line[0];
  }
  return out;
}

std::map<std::string, char> Listed(const DvscanRun& r, std::set<std::string>* twice = nullptr) {
  std::map<std::string, char> out;
  for (const ::Listed& l : r.items) {
    if (out.count(l.path) && twice) twice->insert(l.path);
    out[l.path] = 0;
  }
  return out;
}

std::set<std::string> Keys(const std::map<std::string, char>& m) {
  std::set<std::string> s;
  for (const auto& [k, v] : m) s.insert(k);
  return s;
}

// md5 lines ("md5  /path"): path as listed -> md5.
std::map<std::string, std::string> Md5s(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 35) out[AsListed(line.substr(35))] = line.substr(0, 32);
  return out;
}

struct BodyEntry {
  uint64_t size = 0;
  long mtime = 0;
};

// fls -m body lines: path -> size and modification time.
std::map<std::string, BodyEntry> Body(const std::string& path) {
  std::map<std::string, BodyEntry> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '|')) f.push_back(col);
    if (f.size() < 11 || f[1].size() < 2) continue;
    out[AsListed(f[1].substr(1))] = BodyEntry{std::stoull(f[6]), std::stol(f[8])};
  }
  return out;
}

long MTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? long(st.st_mtime) : -1;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Lists and recovers `image`: the listing equals fls's files and folders
// (`fls`), each once, with fls -m's sizes; every file has icat's md5 and
// fls -m's modification time. `options` go before the image.
void ListAndRecover(const std::string& image, const std::string& report, const std::string& options = "") {
  const TempFolder temp("hfs_recover");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan(options + " --recover '" + dest + "' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::set<std::string> twice;
  const std::map<std::string, char> listed = Listed(r, &twice);
  const std::map<std::string, char> fls = FlsItems(report + ".fls.txt");
  EXPECT_EQ(Keys(listed), Keys(fls)) << image;
  EXPECT_TRUE(twice.empty()) << *twice.begin();
  const std::map<std::string, BodyEntry> body = Body(report + ".body.txt");
  for (const ::Listed& l : r.items) {
    auto b = body.find(l.path);
    ASSERT_NE(b, body.end()) << l.path;
    if (fls.count(l.path) && fls.at(l.path) == 'r') {
      EXPECT_EQ(l.size, b->second.size) << l.path;
    }
  }
  const std::map<std::string, std::string> md5 = Md5s(report + ".md5.txt");
  size_t files = 0;
  for (const auto& [path, kind] : fls) files += kind == 'r';
  EXPECT_EQ(md5.size(), files);
  for (const auto& [path, sum] : md5) {
    EXPECT_EQ(Md5File(dest + "/" + path), sum) << path;
    EXPECT_EQ(MTime(dest + "/" + path), body.at(path).mtime) << path;
  }
  EXPECT_NE(r.out.find("failed=0 corrupt=0"), std::string::npos) << r.out;
}

TEST(HfsImage, PartitionedBareAndHfsxListAndRecoverAsTheSleuthKit) {
  NEED_MADE();
  ListAndRecover(dir + "/hfs.iso", dir + "/hfs");
  ListAndRecover(dir + "/hfs-bare.img", dir + "/hfs");
  EXPECT_NE(Slurp(dir + "/hfsx.fsstat.txt").find("HFSX"), std::string::npos);
  EXPECT_EQ(FlsItems(dir + "/hfsx.fls.txt"), FlsItems(dir + "/hfs.fls.txt"));
  ListAndRecover(dir + "/hfsx.img", dir + "/hfs");
}

// Names as xorriso stores them: "é" decomposed, ":" kept for fls's ":".
TEST(HfsImage, NamesStayAsStored) {
  NEED_MADE();
  const DvscanRun r = Dvscan("'" + dir + "/hfs-bare.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::map<std::string, char> listed = Listed(r);
  EXPECT_TRUE(listed.count("cafe\xcc\x81.txt"));
  EXPECT_TRUE(listed.count("co_lon.txt"));
  EXPECT_TRUE(listed.count("d1/d2/d3/d4/d5/d6/deep.bin"));
  EXPECT_TRUE(listed.count("empty dir"));
}

// The header at 1024 zeroed: the alternate header places the volume.
TEST(HfsImage, FoundFromItsAlternateHeader) {
  NEED_MADE();
  ListAndRecover(dir + "/hfs-nohdr.iso", dir + "/hfs");
  ListAndRecover(dir + "/hfs-bare-nohdr.img", dir + "/hfs");
  // The Long Scan's sector pass meets both headers of the volume it knows
  // (and the alternate one of a volume found only by it): each file once.
  ListAndRecover(dir + "/hfs-nohdr.iso", dir + "/hfs", "--long");
  ListAndRecover(dir + "/hfs.iso", dir + "/hfs", "--long");
}

// A volume the volume search does not reach (4 MiB in, 12 MiB before the
// end, no partition table) is found by the Long Scan's sector pass from
// its header and read there.
TEST(HfsImage, LongScanFindsAVolumeFromItsHeader) {
  NEED_MADE();
  const TempFolder temp("hfs_inside");
  const std::string img = temp.Path() + "/inside.img";
  ASSERT_EQ(RunCommandStatus("truncate -s 4M '" + img + "' && cat '" + dir + "/hfs-bare.img' >>'" + img +
                             "' && truncate -s +12M '" + img + "'")
                .rc,
            0);
  const DvscanRun quick = Dvscan("'" + img + "'");
  EXPECT_TRUE(quick.items.empty());
  ListAndRecover(img, dir + "/hfs", "--long");
}

// A partition past the first 2 MiB is found only through its alternate
// header in the last 8 MiB.
TEST(HfsImage, PartitionPastTwoMiBFound) {
  NEED_MADE();
  EXPECT_GT(std::stol(Slurp(dir + "/hfs-big.start")), 4096);
  const DvscanRun r = Dvscan("'" + dir + "/hfs-big.iso'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Keys(Listed(r)), Keys(FlsItems(dir + "/hfs-big.fls.txt")));
  EXPECT_EQ(Listed(r).size(), r.items.size());
}

// The catalog's header node zeroed (fls fails): the Quick Scan lists
// nothing of it, the HFS+ Long Scan finds every leaf node and lists and
// recovers what fls listed before the damage.
TEST(HfsImage, LongScanReadsACatalogWithoutItsHeaderNode) {
  NEED_MADE();
  EXPECT_NE(Slurp(dir + "/hfs-nocat.fls.txt").find("Error finding thread node"), std::string::npos);
  const DvscanRun quick = Dvscan("'" + dir + "/hfs-nocat.img'");
  EXPECT_TRUE(quick.items.empty());
  const TempFolder temp("hfs_long");
  const std::string options = temp.Path() + "/options.txt";
  std::ofstream(options) << "[HFS+ Options]\nHFS+ Long Scan=1\n";
  ListAndRecover(dir + "/hfs-nocat.img", dir + "/hfs", "--options '" + options + "'");
  // The same on the whole volume.
  ListAndRecover(dir + "/hfs-bare.img", dir + "/hfs", "--options '" + options + "'");
}

TEST(HfsImage, HostileNamesStayInsideTheDestination) {
  NEED_MADE();
  const TempFolder temp("hfs_hostile");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + dir + "/hfs-hostile.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::map<std::string, char> listed = Listed(r);
  EXPECT_TRUE(listed.count("_.."));
  EXPECT_TRUE(listed.count("_."));
  EXPECT_TRUE(listed.count("c_l"));
  const std::map<std::string, std::string> md5 = Md5s(dir + "/hfs.md5.txt");
  EXPECT_EQ(Md5File(dest + "/_.."), md5.at("ab"));
  EXPECT_EQ(Md5File(dest + "/_."), md5.at("a"));
  EXPECT_EQ(Md5File(dest + "/c_l"), md5.at("ctl"));
  std::set<std::string> beside;
  for (const auto& e : std::filesystem::directory_iterator(temp.Path())) beside.insert(e.path().filename());
  EXPECT_EQ(beside, (std::set<std::string>{"out"}));
}

// Cut in half: the volume is kept (its header and catalog are there); a
// file whose blocks are past the end is never Saved.
TEST(HfsImage, CutImageKeepsItsVolume) {
  NEED_MADE();
  const TempFolder temp("hfs_cut");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + dir + "/hfs-cut.img'");
  EXPECT_EQ(Keys(Listed(r)), Keys(FlsItems(dir + "/hfs.fls.txt")));
  const std::string log = Slurp(dest + "/Recovery.log");
  size_t bad = 0;
  for (const auto& [path, sum] : Md5s(dir + "/hfs.md5.txt")) {
    if (Md5File(dest + "/" + path) == sum) continue;
    ++bad;
    EXPECT_EQ(log.find("Saved: " + dest + "/" + path + "\n"), std::string::npos) << path;
  }
  EXPECT_GT(bad, 0u);
  EXPECT_EQ(r.out.find("corrupt=0"), std::string::npos) << r.out;
}

TEST(HfsImage, SessionRoundTrip) {
  NEED_MADE();
  const TempFolder temp("hfs_session");
  const std::string t = temp.Path();
  const DvscanRun a = Dvscan("--save-session '" + t + "/s.dvs' --recover '" + t + "/scan' '" + dir + "/hfs.iso'");
  ASSERT_EQ(a.rc, 0) << a.err;
  const DvscanRun b = Dvscan("--load-session '" + t + "/s.dvs' --recover '" + t + "/load'");
  ASSERT_EQ(b.rc, 0) << b.err;
  ASSERT_EQ(a.items.size(), b.items.size());
  for (size_t i = 0; i < a.items.size(); ++i) {
    EXPECT_EQ(a.items[i].path, b.items[i].path);
    EXPECT_EQ(a.items[i].size, b.items[i].size);
  }
  const std::string md5 = "find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 -r md5sum";
  EXPECT_EQ(RunCommand("cd '" + t + "/scan' && " + md5), RunCommand("cd '" + t + "/load' && " + md5));
  for (const auto& [path, sum] : Md5s(dir + "/hfs.md5.txt")) {
    EXPECT_EQ(Md5File(t + "/load/" + path), sum) << path;
    EXPECT_EQ(MTime(t + "/load/" + path), MTime(t + "/scan/" + path)) << path;
  }
}

// Classic HFS is recognised by its master directory block, not read.
TEST(HfsImage, ClassicHfsIsNotAVolume) {
  NEED_MADE();
  std::ifstream in(dir + "/hfs-classic.img", std::ios::binary);
  std::vector<uint8_t> s(1536);
  in.read(reinterpret_cast<char*>(s.data()), 1536);
  EXPECT_TRUE(IsHFSMasterDirBlock(s.data() + 1024));
  EXPECT_FALSE(IsHFSPlusVolumeHeader(s.data() + 1024));
  const DvscanRun r = Dvscan("'" + dir + "/hfs-classic.img'");
  EXPECT_TRUE(r.items.empty());
}

// Written by the Linux driver: a file of 15 extents and a catalog of more
// than eight, both completed from the extents tree; the driver's deletions
// are gone from the catalog and not listed.
TEST(HfsImage, DriverWrittenVolume) {
  NEED_DRIVER();
  // The fragmented file's blocks as istat gives them: more runs than the
  // eight its catalog record holds.
  const std::string istat = Slurp(dir + "/hfs-grown.istat.txt");
  const size_t from = istat.find("Data Fork Blocks:"), to = istat.find("Attributes:", from);
  ASSERT_NE(from, std::string::npos);
  std::istringstream runs(istat.substr(from + 17, to - from - 17));
  size_t pieces = 0;
  for (std::string w; runs >> w;) ++pieces;
  EXPECT_GT(pieces, 8u);
  ListAndRecover(dir + "/hfs-grown.img", dir + "/hfs-grown");
  const DvscanRun r = Dvscan("'" + dir + "/hfs-grown.img'");
  const std::map<std::string, char> listed = Listed(r);
  std::ifstream deleted(dir + "/hfs-grown.deleted.txt");
  size_t n = 0;
  for (std::string line; std::getline(deleted, line); ++n) EXPECT_FALSE(listed.count(line.substr(1))) << line;
  EXPECT_EQ(n, 2u);
}

// A leaf node copied into a free block with one name changed: the HFS+
// Long Scan lists that record once more, nothing twice.
TEST(HfsImage, LongScanListsACopiedLeafNodesChangeOnly) {
  NEED_DRIVER();
  std::istringstream facts(Slurp(dir + "/hfs-grown-leaf.txt"));
  std::string old, renamed;
  facts >> old >> renamed;
  const TempFolder temp("hfs_leaf");
  const std::string options = temp.Path() + "/options.txt";
  std::ofstream(options) << "[HFS+ Options]\nHFS+ Long Scan=1\n";
  const DvscanRun r = Dvscan("--options '" + options + "' '" + dir + "/hfs-grown-leaf.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::set<std::string> twice;
  const std::map<std::string, char> listed = Listed(r, &twice);
  EXPECT_TRUE(twice.empty()) << *twice.begin();
  std::set<std::string> want = Keys(FlsItems(dir + "/hfs-grown.fls.txt"));
  want.insert("cat/" + renamed);
  EXPECT_EQ(Keys(listed), want);
  EXPECT_EQ(r.items.size(), want.size());
}

}  // namespace
