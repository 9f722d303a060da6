// exFAT images made by mkfs.exfat and filled through exfat-fuse
// (tests/fixtures/make_exfat.sh): what dvscan lists and recovers against
// The Sleuth Kit's fls and icat and the sources' md5s.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/ExFatFixture.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

// The images tests/fixtures/exfat keeps (no mount needed).
#define NEED_IMAGES()                         \
  const std::string dir = CommittedExFatFolder(); \
  if (dir.empty()) GTEST_SKIP() << "xz missing";

// Those make_exfat.sh makes at test time (the 2 GiB image).
#define NEED_MADE_IMAGES()                                                             \
  static const std::string dir = FixtureFolder("make_exfat.sh");                       \
  if (dir.empty()) GTEST_SKIP() << "make_exfat.sh: exfatprogs, exfat-fuse, sleuthkit, " \
                                   "root or FUSE missing";

// fls -r -p lines of regular files (or of folders): path -> deleted.
std::map<std::string, bool> FlsFiles(const std::string& path, const char* kind = "r/r ") {
  std::map<std::string, bool> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(kind, 0) != 0) continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string name = line.substr(tab + 1);
    if (name[0] == '$' || name.find("(Volume Label Entry)") != std::string::npos) continue;
    out[name] = line.compare(4, 2, "* ") == 0;
  }
  return out;
}

// md5 lines ("md5  /path"): path without its "/" -> md5.
std::map<std::string, std::string> Md5s(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > 35) out[line.substr(35)] = line.substr(0, 32);
  }
  return out;
}

// Modification times (seconds) of fls -m's body lines: path -> mtime.
std::map<std::string, long> BodyTimes(const std::string& path) {
  std::map<std::string, long> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '|')) f.push_back(col);
    if (f.size() < 11 || f[1].size() < 2) continue;
    std::string name = f[1].substr(1);
    const size_t mark = name.find(" (deleted)");
    if (mark != std::string::npos) name.erase(mark);
    out[name] = std::stol(f[8]);
  }
  return out;
}

long MTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? long(st.st_mtime) : -1;
}

std::map<std::string, bool> FlsFolders(const std::string& path) { return FlsFiles(path, "d/d "); }

// Files and folders.
std::map<std::string, bool> FlsItems(const std::string& path) {
  std::map<std::string, bool> out = FlsFiles(path);
  out.merge(FlsFolders(path));
  return out;
}

std::map<std::string, bool> Listed(const DvscanRun& r) {
  std::map<std::string, bool> out;
  for (const ::Listed& l : r.items) out[l.path] = l.deleted;
  return out;
}

// Lists and recovers the image: the listing equals fls's files and
// folders, each once, and every recovered file has the md5 of the source
// (live) or of icat -r (deleted); a folder is made only for what it holds.
void ListAndRecover(const std::string& dir, const std::string& name) {
  const TempFolder temp("exfat_recover");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + dir + "/" + name + ".img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::map<std::string, bool> fls = FlsFiles(dir + "/" + name + ".fls.txt");
  EXPECT_EQ(Listed(r), FlsItems(dir + "/" + name + ".fls.txt"));
  EXPECT_EQ(Listed(r).size(), r.items.size()) << "an item listed twice";
  for (const auto& [path, deleted] : FlsFolders(dir + "/" + name + ".fls.txt")) {
    EXPECT_FALSE(std::filesystem::is_regular_file(dest + "/" + path)) << path;
    if (path == "emptydir") {
      EXPECT_FALSE(std::filesystem::exists(dest + "/" + path));
    }
  }
  const std::map<std::string, std::string> md5 = Md5s(dir + "/" + name + ".md5.txt");
  EXPECT_EQ(md5.size(), fls.size());
  for (const auto& [path, sum] : md5) EXPECT_EQ(Md5File(dest + "/" + path), sum) << path;
  // Modification times as The Sleuth Kit reads them (the UTC offset byte
  // is not applied), which leaves out the 10-ms count: ours may be one
  // second on.
  const std::map<std::string, long> times = BodyTimes(dir + "/" + name + ".body.txt");
  for (const auto& [path, deleted] : fls) {
    ASSERT_TRUE(times.count(path)) << path;
    const long ours = MTime(dest + "/" + path);
    EXPECT_GE(ours, times.at(path)) << path;
    EXPECT_LE(ours, times.at(path) + 1) << path;
  }
}

TEST(ExFatImage, ListsAndRecoversAsThePeers) {
  NEED_IMAGES();
  ListAndRecover(dir, "exfat");
  // The folders of the tree: an empty one, a deleted one and the one
  // inside it.
  const std::map<std::string, bool> folders = FlsFolders(dir + "/exfat.fls.txt");
  EXPECT_EQ(folders.count("emptydir"), 1u);
  EXPECT_EQ(folders.count("gone") && folders.at("gone"), true);
  EXPECT_EQ(folders.count("gone/sub") && folders.at("gone/sub"), true);
}

TEST(ExFatImage, ThirtyTwoMiBClusters) {
  NEED_MADE_IMAGES();
  ListAndRecover(dir, "exfat32m");
}

TEST(ExFatImage, HostileNamesStayInsideTheDestination) {
  NEED_IMAGES();
  const TempFolder temp("exfat_hostile");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + dir + "/exfat-hostile.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::set<std::string> listed;
  for (const ::Listed& l : r.items) listed.insert(l.path);
  // "." and ".." are listed under names that stay in the folder; the
  // name with a control character is not listed.
  EXPECT_EQ(listed, (std::set<std::string>{"_.", "_..", "plain.txt"}));
  const std::map<std::string, std::string> md5 = Md5s(dir + "/exfat-hostile.md5.txt");
  EXPECT_EQ(Md5File(dest + "/plain.txt"), md5.at("plain.txt"));
  EXPECT_EQ(Md5File(dest + "/_."), md5.at("one.txt"));
  EXPECT_EQ(Md5File(dest + "/_.."), md5.at("two.txt"));
  // Nothing beside the destination.
  std::set<std::string> beside;
  for (const auto& e : std::filesystem::directory_iterator(temp.Path())) beside.insert(e.path().filename());
  EXPECT_EQ(beside, (std::set<std::string>{"out"}));
}

TEST(ExFatImage, VolumeFoundFromItsBackupBootSector) {
  NEED_IMAGES();
  const std::string image = dir + "/exfat-disk.img";
  Drive* drive = CreateDrive(FromUtf8(image));
  ASSERT_TRUE(drive);
  drive->InitDrive(FromUtf8(image));
  BootHit hit;
  LookForBootSector(*drive, 0, int32_t(drive->SectorCount()), &hit);
  EXPECT_EQ(hit.kind, kVolExFat);
  EXPECT_EQ(hit.foundAt, 2060);
  EXPECT_EQ(hit.start, 2048);  // mmls: the partition starts at 2048
  EXPECT_EQ(hit.size, 90112u);
  DeleteDrive(&drive);
  const TempFolder temp("exfat_disk");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Listed(r), FlsItems(dir + "/exfat-disk.fls.txt"));
  for (const auto& [path, sum] : Md5s(dir + "/exfat-disk.md5.txt")) EXPECT_EQ(Md5File(dest + "/" + path), sum) << path;
}

// The Long Scan meets the backup boot sector (2060) of the volume the
// search placed at 2048: it names that volume again, never one 12 sectors
// late, and every file is listed once.
TEST(ExFatImage, LongScanPlacesABackupBootSectorsVolume) {
  NEED_IMAGES();
  const TempFolder temp("exfat_long");
  const std::string trace = temp.Path() + "/trace.txt";
  const DvscanRun r = Dvscan("--long --trace '" + trace + "' '" + dir + "/exfat-disk.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string text = ReadFileText(trace);
  EXPECT_EQ(text.find("of type 9 at 2060"), std::string::npos);
  std::map<std::string, int> times;
  for (const ::Listed& l : r.items) times[l.path]++;
  for (const auto& [path, deleted] : FlsFiles(dir + "/exfat-disk.fls.txt")) EXPECT_EQ(times[path], 1) << path;
}

}  // namespace
