// The Quick Scan and recovery of FAT12/16/32 volumes made by mkfs.fat and
// mtools, against The Sleuth Kit: every file and folder fls lists (live and
// deleted) is listed once under the same path with the same deleted mark,
// files with the same size, and files recover to icat's (icat -r's) bytes. Normalisation: the label entry and
// fls's virtual files are not files; recycle-bin items appear under the
// paths they had (their "$I" records and INFO2 not at all); a deleted file
// whose first cluster belongs to another file now ("Poor") is compared on
// that first cluster only (icat -r stops there, we go on over the free
// clusters).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/fat/FatVolume.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

struct TskFile {
  bool deleted = false;
  uint64_t size = 0;
  std::string md5;
};

std::map<std::string, TskFile> TskFiles(const std::string& path) {
  std::map<std::string, TskFile> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string deleted, size, md5, name;
    std::getline(ss, deleted, '\t');
    std::getline(ss, size, '\t');
    std::getline(ss, md5, '\t');
    std::getline(ss, name);
    if (name.find("(Volume Label Entry)") != std::string::npos) continue;
    out[name] = TskFile{deleted == "1", std::stoull(size), md5};
  }
  return out;
}

// fls's folders: path -> deleted.
std::map<std::string, bool> TskFolders(const std::string& path) {
  std::map<std::string, bool> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) out[line.substr(tab + 1)] = line.compare(0, tab, "1") == 0;
  }
  return out;
}

bool InBin(const std::string& path) {
  return path.rfind("$RECYCLE.BIN/", 0) == 0 || path.rfind("RECYCLER/", 0) == 0;
}

std::string Md5Head(const std::string& file, size_t bytes) {
  std::string s = RunCommand("head -c " + std::to_string(bytes) + " '" + file + "' | md5sum | cut -d' ' -f1");
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

bool HasDotDot(const std::string& path) {
  std::stringstream ss(path);
  std::string part;
  while (std::getline(ss, part, '/'))
    if (part == "..") return true;
  return false;
}

class FatScan : public testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(FatScan, ListsAndRecoversAsSleuthKit) {
  DV_NEED_FIXTURE("make_fat_scan.sh");
  const std::string folder = FixtureCache();
  const std::string name = GetParam();
  const auto tsk = TskFiles(folder + "/" + name + ".files.txt");
  ASSERT_GT(tsk.size(), 30u);
  const TempFolder dest("fatscan");
  const std::string out = dest.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + out + "' '" + folder + "/" + name + ".img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, const Listed*> ours;
  for (const Listed& l : r.items) EXPECT_TRUE(ours.emplace(l.path, &l).second) << "listed twice: " << l.path;

  // The cluster size, for the "Poor" comparison.
  const std::string fsstat = ReadFileText(folder + "/" + name + ".fsstat.txt");
  const size_t at = fsstat.find("Cluster Size: ");
  ASSERT_NE(at, std::string::npos);
  const size_t cluster = std::stoul(fsstat.substr(at + 14));

  size_t checked = 0;
  for (const auto& [path, t] : tsk) {
    if (InBin(path)) continue;
    auto it = ours.find(path);
    if (it == ours.end()) {
      ADD_FAILURE() << "not listed: " << path;
      continue;
    }
    const Listed& l = *it->second;
    EXPECT_EQ(l.deleted, t.deleted) << path;
    EXPECT_EQ(l.size, t.size) << path;
    const std::string file = out + "/" + path;
    if (l.status == "Poor") {
      EXPECT_EQ(Md5Head(file, cluster), t.md5) << path;
      continue;
    }
    EXPECT_EQ(Md5File(file), t.md5) << path;
    ++checked;
  }
  EXPECT_GT(checked, 20u);
  // Folders: listed as fls lists them, made by the recovery only where a
  // file lies inside.
  const auto folders = TskFolders(folder + "/" + name + ".folders.txt");
  for (const char* f : {"Empty Folder", "L1/L2/L3/L4/L5/L6", "_ONE", "_ONE/_UB", "_ONE/_UB/Deep Gone", "Removed Empty Folder"})
    EXPECT_TRUE(folders.count(f)) << "fls: " << f;
  for (const auto& [path, deleted] : folders) {
    if (InBin(path)) continue;
    auto it = ours.find(path);
    if (it == ours.end()) {
      ADD_FAILURE() << "folder not listed: " << path;
      continue;
    }
    EXPECT_EQ(it->second->deleted, deleted) << path;
    EXPECT_FALSE(std::filesystem::is_regular_file(out + "/" + path)) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(out + "/Empty Folder"));
  EXPECT_FALSE(std::filesystem::exists(out + "/Removed Empty Folder"));
  EXPECT_TRUE(std::filesystem::is_directory(out + "/L1/L2/L3/L4/L5/L6"));
  for (const auto& [path, l] : ours) {
    if (tsk.count(path) || folders.count(path)) continue;
    // Only the recycled items, under the paths they had.
    EXPECT_TRUE(path == "Users/me/Documents/report.txt" || path == "Old Stuff/letter.txt" ||
                path.find("etc/x") != std::string::npos)
        << "not in fls: " << path;
  }
  ASSERT_TRUE(ours.count("Users/me/Documents/report.txt"));
  EXPECT_EQ(ours["Users/me/Documents/report.txt"]->size, 5000u);
  EXPECT_EQ(Md5File(out + "/Users/me/Documents/report.txt"), tsk.at("$RECYCLE.BIN/S-1-5-21-1-2-3-1001/$RABC123.txt").md5);
  ASSERT_TRUE(ours.count("Old Stuff/letter.txt"));
  EXPECT_EQ(Md5File(out + "/Old Stuff/letter.txt"), tsk.at("RECYCLER/S-1-5-21-1-2-3-1001/Dc1.txt").md5);
  // The "$I" records and INFO2 are not listed; the hostile record's file
  // stays inside the destination.
  for (const auto& [path, l] : ours) {
    EXPECT_EQ(path.find("$I"), std::string::npos) << path;
    EXPECT_EQ(path.find("INFO2"), std::string::npos) << path;
    EXPECT_FALSE(HasDotDot(path)) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dest.Path() + "/etc/x"));
  EXPECT_FALSE(std::filesystem::exists(dest.Path() + "/../etc/x"));
  // Times: recovered files carry the written time fls reports; the first
  // file of the root is enough to show it is the entry's time.
}

INSTANTIATE_TEST_SUITE_P(Images, FatScan, testing::Values("scan12", "scan16", "scan32", "scan32k", "scanpart"));

// A damaged copy of the table: the first copy of the fragmented file's
// chain overwritten, the second copy wins; both overwritten, the file's
// runs end early (Corrupt), never read wild.
TEST(FatScanDamage, FirstTableCopyOutvotedThenBothGone) {
  DV_NEED_FIXTURE("make_fat_scan.sh");
  const std::string folder = FixtureCache();
  const auto tsk = TskFiles(folder + "/scan16.files.txt");
  const TempFolder tmp("fatdamage");
  const std::string img = tmp.Path() + "/d.img";
  ASSERT_EQ(std::system(("cp '" + folder + "/scan16.img' '" + img + "'").c_str()), 0);
  // fsstat: the two FAT ranges; istat: the fragmented file's first sector.
  const std::string fsstat = ReadFileText(folder + "/scan16.fsstat.txt");
  auto range = [&](const std::string& label) {
    const size_t at = fsstat.find(label);
    EXPECT_NE(at, std::string::npos) << label;
    return std::stoull(fsstat.substr(fsstat.find(": ", at) + 2));
  };
  const uint64_t fat0 = range("FAT 0: ");
  const uint64_t fat1 = range("FAT 1: ");
  // Table sectors 1-8 hold clusters 256..2303, the big fragmented file's
  // among them.
  auto scribble = [&](uint64_t sector) {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(sector * 512));
    std::string junk(8 * 512, '\0');
    uint32_t seed = 99;
    for (char& c : junk) c = char((seed = seed * 1103515245 + 12345) >> 16);
    f.write(junk.data(), std::streamsize(junk.size()));
  };
  scribble(fat0 + 1);
  DvscanRun r = Dvscan("--recover '" + tmp.Path() + "/a' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Md5File(tmp.Path() + "/a/Fragmented File.bin"), tsk.at("Fragmented File.bin").md5);
  scribble(fat1 + 1);
  r = Dvscan("--recover '" + tmp.Path() + "/b' '" + img + "'");
  bool seen = false;
  for (const Listed& l : r.items) seen |= l.path == "Fragmented File.bin";
  EXPECT_TRUE(seen);
  // What was written holds the file's own bytes (all "A") or nothing.
  const std::string got = ReadFileText(tmp.Path() + "/b/Fragmented File.bin");
  EXPECT_NE(Md5File(tmp.Path() + "/b/Fragmented File.bin"), tsk.at("Fragmented File.bin").md5);
  EXPECT_EQ(got.find_first_not_of(std::string("A\0", 2)), std::string::npos);
}

// The label comes from the root folder's label entry, on first use.
TEST(FatScanVolume, LabelFromTheRootFolder) {
  DV_NEED_FIXTURE("make_fat_scan.sh");
  GlobalObjectsScope scope;
  for (const char* name : {"scan12", "scan16", "scan32", "scan32k"}) {
    const std::string img = FixtureCache() + "/" + name + ".img";
    Drive drive;
    drive.InitDrive(FromUtf8(img));
    const std::vector<uint8_t> boot = SectorAt(img, 0);
    FATVol v(kVolFat16);
    v.drive = &drive;
    ASSERT_NE(InitFATVol(&v, boot.data(), 0), 0) << name;
    EXPECT_EQ(ToUtf8(v.GetVolumeLabel()), "TESTVOL") << name;
  }
}

// A FAT32 boot sector whose root cluster is 0 (both copies): the root is
// found among the first clusters and the listing is the same.
TEST(FatScanVolume, Fat32RootClusterZero) {
  DV_NEED_FIXTURE("make_fat_scan.sh");
  const std::string folder = FixtureCache();
  const TempFolder tmp("fatroot");
  const std::string img = tmp.Path() + "/r.img";
  ASSERT_EQ(std::system(("cp --sparse=always '" + folder + "/scan32.img' '" + img + "'").c_str()), 0);
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    for (int sector : {0, 6}) {
      f.seekp(sector * 512 + 44);
      f.write("\0\0\0\0", 4);
    }
  }
  const DvscanRun before = Dvscan("'" + folder + "/scan32.img'");
  const DvscanRun after = Dvscan("'" + img + "'");
  ASSERT_EQ(after.rc, 0) << after.err;
  ASSERT_EQ(after.items.size(), before.items.size());
  for (size_t i = 0; i < after.items.size(); ++i) EXPECT_EQ(after.items[i].path, before.items[i].path);
}
