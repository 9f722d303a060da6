// XFS images made by mkfs.xfs (V4 from a protofile, V5 through a loop
// mount; tests/fixtures/make_xfs.sh), listed and recovered through the
// headless driver and compared with xfs_db, fsxfsinfo and the mounted
// volume's md5s. The Sleuth Kit does not read XFS.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/LongScan.h"
#include "filesystems/xfs/XfsVolume.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/NullScanSink.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Extents.h"
#include "volumes/VolumeSearch.h"

namespace {

std::string XfsImages(std::string* skip) {
  static int status = RunFixtureScript("make_xfs.sh", FixtureCache() + "/xfs", ">/dev/null 2>&1");
  if (status == 77) *skip = "xfsprogs, libfsxfs-utils, root or loop devices missing";
  return status == 0 ? FixtureCache() + "/xfs" : "";
}

#define XFS_IMAGES_OR_SKIP(var)                             \
  std::string skip_;                                        \
  const std::string var = XfsImages(&skip_);                \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << "make_xfs.sh failed"

bool Exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

// ncheck's paths (folders without their "/."), by inode.
std::map<uint64_t, std::string> Ncheck(const std::string& file) {
  std::map<uint64_t, std::string> out;
  std::istringstream in(ReadFileText(file));
  uint64_t inode;
  std::string path;
  while (in >> inode >> std::ws && std::getline(in, path)) {
    if (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0) path.resize(path.size() - 2);
    out[inode] = path;
  }
  return out;
}

std::set<std::string> Paths(const std::map<uint64_t, std::string>& m) {
  std::set<std::string> s;
  for (const auto& [n, p] : m) s.insert(p);
  return s;
}

std::set<std::string> ListedPaths(const DvscanRun& r) {
  std::set<std::string> s;
  for (const Listed& l : r.items) s.insert(l.path);
  return s;
}

// "md5  path" lines.
std::map<std::string, std::string> Md5s(const std::string& file) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(file));
  std::string md5, path;
  while (in >> md5 >> std::ws && std::getline(in, path)) out[path] = md5;
  return out;
}

struct InodeFacts {
  uint64_t size = 0;
  int format = 0;
  int64_t mtime = 0;
  std::vector<std::array<uint64_t, 4>> bmap;  // offset, ag, agblock, count
};

std::map<uint64_t, InodeFacts> Inodes(const std::string& file) {
  std::map<uint64_t, InodeFacts> out;
  std::istringstream in(ReadFileText(file));
  std::string line;
  InodeFacts* at = nullptr;
  const std::regex run(R"(data offset (\d+) startblock \d+ \((\d+)/(\d+)\) count (\d+))");
  while (std::getline(in, line)) {
    std::smatch m;
    if (line.rfind("  ", 0) == 0 && at && std::regex_search(line, m, run)) {
      at->bmap.push_back({std::stoull(m[1]), std::stoull(m[2]), std::stoull(m[3]), std::stoull(m[4])});
    } else if (!line.empty() && line[0] != ' ') {
      std::istringstream f(line);
      uint64_t n;
      InodeFacts facts;
      f >> n >> facts.size >> facts.format >> facts.mtime;
      at = &(out[n] = facts);
    }
  }
  return out;
}

std::map<std::string, std::string> Places(const std::string& file) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(file));
  std::string k, v;
  while (in >> k >> v) out[k] = v;
  return out;
}

std::string Copy(const std::string& from, const std::string& to) {
  RunCommand("cp --sparse=always '" + from + "' '" + to + "'");
  return to;
}

void Patch(const std::string& image, uint64_t at, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string ReadAt(const std::string& image, uint64_t at, size_t n) {
  std::ifstream f(image, std::ios::binary);
  f.seekg(std::streamoff(at));
  std::string s(n, '\0');
  f.read(s.data(), std::streamsize(n));
  return s;
}

const char* const kImages[] = {"x4", "x4f", "x5", "x5s", "x5b"};

std::string Recovered(const TempFolder& t) { return t.Path() + "/out"; }

// The recovered tree equals the source's md5s, links skipped.
void ExpectMd5s(const std::string& dest, const std::map<std::string, std::string>& md5s) {
  for (const auto& [path, md5] : md5s) {
    ASSERT_TRUE(Exists(dest + "/" + path)) << path;
    EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
  }
}

}  // namespace

// Every file and folder xfs_db's ncheck names is listed at its path and
// nothing else; sizes equal fsxfsinfo's; files equal the source (V4) or
// the mounted volume (V5) and carry the inode's modification time;
// removed files are not listed; the link is skipped, not failed.
TEST(XfsImages, ListAndRecoverAsThePeersSay) {
  XFS_IMAGES_OR_SKIP(folder);
  std::vector<std::unique_ptr<TempFolder>> temps;
  std::vector<std::future<DvscanRun>> runs;
  std::vector<std::string> names;
  for (const char* name : kImages) {
    if (!Exists(folder + "/" + name + ".img")) continue;
    names.push_back(name);
    temps.push_back(std::make_unique<TempFolder>("xfs-recover"));
    const std::string args = "--recover '" + Recovered(*temps.back()) + "' '" + folder + "/" + name + ".img'";
    runs.push_back(std::async(std::launch::async, [args] { return Dvscan(args); }));
  }
  ASSERT_GE(names.size(), 2u);
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string& name = names[k];
    SCOPED_TRACE(name);
    const DvscanRun r = runs[k].get();
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("skipped=1 failed=0"), std::string::npos) << r.out;
    const auto ncheck = Ncheck(folder + "/" + name + ".ncheck.txt");
    EXPECT_EQ(ListedPaths(r), Paths(ncheck));
    EXPECT_FALSE(ListedPaths(r).count("gone.txt"));
    const std::string dest = Recovered(*temps[k]);
    ExpectMd5s(dest, Md5s(folder + "/" + name + ".md5.txt"));
    // fsxfsinfo's sizes ("md5|/path|inode|mode|uid|gid|size|...").
    if (Exists(folder + "/" + name + ".body.txt")) {
      std::map<std::string, uint64_t> sizes;
      for (const Listed& l : r.items) sizes[l.path] = l.size;
      std::istringstream body(ReadFileText(folder + "/" + name + ".body.txt"));
      std::string line;
      int files = 0;
      while (std::getline(body, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '|')) f.push_back(c);
        if (f.size() < 7 || f[3].empty() || f[3][0] != '-') continue;
        const std::string path = f[1].substr(1);
        ASSERT_TRUE(sizes.count(path)) << path;
        EXPECT_EQ(sizes[path], std::stoull(f[6])) << path;
        if (f[0] != std::string(32, '0')) {
          EXPECT_EQ(Md5File(dest + "/" + path), f[0]) << path;
        }
        ++files;
      }
      EXPECT_GT(files, 2000);
    }
    // Times: core.mtime of every regular file.
    int timed = 0;
    for (const auto& [inode, facts] : Inodes(folder + "/" + name + ".inodes.txt")) {
      const std::string path = dest + "/" + ncheck.at(inode);
      if (timed++ > 200) break;
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
      EXPECT_EQ(int64_t(st.st_mtime), facts.mtime) << path;
    }
  }
}

// Per regular file the runs, size and format equal xfs_db's inode and
// bmap: extent lists and B+tree forks (the punched file: format 3).
TEST(XfsImages, RunsSizeAndFormatEqualXfsDb) {
  XFS_IMAGES_OR_SKIP(folder);
  bool sawTree = false;
  for (const char* name : kImages) {
    const std::string image = folder + "/" + name + ".img";
    if (!Exists(image)) continue;
    SCOPED_TRACE(name);
    Drive* drive = CreateDrive(FromUtf8(image));
    drive->InitDrive(FromUtf8(image));
    std::vector<uint8_t> sb(512);
    ASSERT_TRUE(ReadSectorsWaited(*drive, 0, 512, sb.data()));
    CXFSVol v;
    ASSERT_EQ(v.Init(sb.data(), 0, drive), 1);
    for (const auto& [inode, facts] : Inodes(folder + "/" + name + ".inodes.txt")) {
      const uint8_t* raw = v.ReadInode(inode);
      ASSERT_TRUE(raw) << inode;
      const xfs::XfsInodeCore core = xfs::ParseXfsInode(raw, v.inodeSize);
      EXPECT_EQ(core.size, facts.size) << inode;
      EXPECT_EQ(core.format, facts.format) << inode;
      EXPECT_EQ(core.modifySeconds, facts.mtime) << inode;
      const xfs::XfsForkResult fork = v.InodeRuns(raw, core);
      ASSERT_TRUE(fork.ok) << inode;
      ASSERT_EQ(fork.runs.size(), facts.bmap.size()) << inode;
      for (size_t i = 0; i < fork.runs.size(); ++i) {
        EXPECT_EQ(fork.runs[i].vcn, facts.bmap[i][0]) << inode;
        EXPECT_EQ(fork.runs[i].lcn, facts.bmap[i][1] * v.agBlocks + facts.bmap[i][2]) << inode;
        EXPECT_EQ(fork.runs[i].Length(), facts.bmap[i][3]) << inode;
      }
      if (facts.format == 3) sawTree = true;
    }
    DeleteDrive(&drive);
  }
  EXPECT_TRUE(sawTree);
}

// A 5 TiB volume whose folders the kernel put in every group: the folders
// and files above 2^32 are listed and read at their own numbers, also
// through a saved session.
TEST(XfsImages, InodeNumbersPast2To32) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/big.img.tar.xz")) GTEST_SKIP() << "no mount here";
  const TempFolder t("xfs-big");
  RunCommand("tar -xSJf '" + folder + "/big.img.tar.xz' -C '" + t.Path() + "'");
  const std::string image = t.Path() + "/big.img";
  const auto ncheck = Ncheck(folder + "/big.ncheck.txt");
  ASSERT_GT(ncheck.rbegin()->first, uint64_t(1) << 32);
  const std::string session = t.Path() + "/big.dvs";
  const DvscanRun r = Dvscan("--save-session '" + session + "' --recover '" + t.Path() + "/out' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(ListedPaths(r), Paths(ncheck));
  ExpectMd5s(t.Path() + "/out", Md5s(folder + "/big.md5.txt"));
  const DvscanRun again = Dvscan("--load-session '" + session + "' --recover '" + t.Path() + "/again'");
  ASSERT_EQ(again.rc, 0) << again.err;
  EXPECT_EQ(ListedPaths(again), Paths(ncheck));
  ExpectMd5s(t.Path() + "/again", Md5s(folder + "/big.md5.txt"));
}

// Sessions of a V5 volume list and recover as the scan did.
TEST(XfsImages, SessionRoundTrip) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/x5.img")) GTEST_SKIP() << "no mount here";
  const TempFolder t("xfs-session");
  const std::string session = t.Path() + "/x5.dvs";
  const DvscanRun r = Dvscan("--save-session '" + session + "' '" + folder + "/x5.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  const DvscanRun again = Dvscan("--load-session '" + session + "' --recover '" + t.Path() + "/out'");
  ASSERT_EQ(again.rc, 0) << again.err;
  EXPECT_EQ(ListedPaths(again), ListedPaths(r));
  ExpectMd5s(t.Path() + "/out", Md5s(folder + "/x5.md5.txt"));
}

// A volume with incompatible features this reader does not read is named
// with them and not walked.
TEST(XfsImages, UnknownFeaturesAreNamedAndNotWalked) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/n64.img")) GTEST_SKIP() << "no mount here";
  const DvscanRun r = Dvscan("'" + folder + "/n64.img'");
  EXPECT_NE(r.err.find("nrext64"), std::string::npos) << r.err;
  EXPECT_TRUE(r.items.empty());
}

// Entries of a block folder and of a shortform folder patched to "..",
// ".", "a/b" and a control character (lengths kept): every file lands
// strictly inside the destination.
TEST(XfsImages, HostileNamesStayInsideTheDestination) {
  XFS_IMAGES_OR_SKIP(folder);
  for (const char* name : {"x4f", "x5"}) {
    if (!Exists(folder + "/" + std::string(name) + ".img")) continue;
    SCOPED_TRACE(name);
    const TempFolder t("xfs-hostile");
    const std::string image = Copy(folder + "/" + name + ".img", t.Path() + "/h.img");
    const auto places = Places(folder + "/" + name + ".places.txt");
    const std::pair<std::string, std::string> renames[] = {{"zz", ".."}, {"y", "."}, {"abc", "a/b"}, {"ctl", "c\x01l"}};
    // The block: an entry's name follows its length; the shortform entry's
    // follows its length and a 2-byte tag.
    const uint64_t block = std::stoull(places.at("sixty_block_byte"));
    const uint64_t sf = std::stoull(places.at("short_inode_byte"));
    const std::string blockBytes = ReadAt(image, block, 4096), sfBytes = ReadAt(image, sf, 512);
    int patched = 0;
    for (const auto& [from, to] : renames) {
      const size_t b = blockBytes.find(std::string(1, char(from.size())) + from);
      if (b != std::string::npos) Patch(image, block + b + 1, to), ++patched;
      for (size_t at = 0; (at = sfBytes.find(from, at)) != std::string::npos; ++at)
        if (at >= 3 && uint8_t(sfBytes[at - 3]) == from.size()) {
          Patch(image, sf + at, to), ++patched;
          break;
        }
    }
    EXPECT_EQ(patched, 8);
    const std::string dest = t.Path() + "/dest/out";
    const DvscanRun r = Dvscan("--recover '" + dest + "' '" + image + "'");
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    // Nothing beside the destination, and every file below it.
    EXPECT_EQ(RunCommand("ls -A '" + t.Path() + "/dest'"), "out\n");
    const std::string count = RunCommand("find '" + dest + "' -type f ! -name Recovery.log | wc -l");
    EXPECT_EQ(count, std::to_string(Md5s(folder + "/" + name + ".md5.txt").size()) + "\n");
    // Crafted names become names of their own ("_..", "_.", "a_b").
    for (const Listed& l : r.items) {
      std::stringstream parts(l.path);
      std::string part;
      while (std::getline(parts, part, '/')) EXPECT_TRUE(part != ".." && part != "." && !part.empty()) << l.path;
    }
  }
}

// The XFS Long Scan ("XFS Long Scan") gives every file the walk's path and
// its data.
TEST(XfsImages, LongScanGivesTheWalksPaths) {
  XFS_IMAGES_OR_SKIP(folder);
  const TempFolder t("xfs-long");
  WriteFileText(t.Path() + "/xls.ini", "[XFS Options]\nXFS Long Scan=1\n");
  for (const char* name : kImages) {
    const std::string image = folder + "/" + name + ".img";
    if (!Exists(image)) continue;
    SCOPED_TRACE(name);
    const auto md5s = Md5s(folder + "/" + name + ".md5.txt");
    const std::string dest = t.Path() + "/" + name;
    const DvscanRun r = Dvscan("--options '" + t.Path() + "/xls.ini' --recover '" + dest + "' '" + image + "'");
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    std::set<std::string> files, expected;
    for (const Listed& l : r.items) files.insert(l.path);
    for (const auto& [path, md5] : md5s) expected.insert(path);
    expected.insert("link");
    files.insert("link");
    EXPECT_EQ(files, expected);
    ExpectMd5s(dest, md5s);
  }
}

// Damage the Long Scan gets round: the block folder's inode zeroed (its
// files keep their paths through its block's "."), then its block zeroed
// (its files come back by inode number under "Extra files").
TEST(XfsImages, LongScanPlacesFilesOfDamagedFolders) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/x5.img")) GTEST_SKIP() << "no mount here";
  const TempFolder t("xfs-damaged");
  WriteFileText(t.Path() + "/xls.ini", "[XFS Options]\nXFS Long Scan=1\n");
  const auto places = Places(folder + "/x5.places.txt");
  const auto md5s = Md5s(folder + "/x5.md5.txt");
  std::multiset<std::string> sixty;
  for (const auto& [path, md5] : md5s)
    if (path.rfind("sixty/", 0) == 0) sixty.insert(md5);
  ASSERT_EQ(sixty.size(), 60u);
  const std::string image = Copy(folder + "/x5.img", t.Path() + "/d.img");
  Patch(image, std::stoull(places.at("sixty_inode_byte")), std::string(512, '\0'));
  DvscanRun r = Dvscan("--options '" + t.Path() + "/xls.ini' --recover '" + t.Path() + "/a' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  int under = 0;
  for (const Listed& l : r.items)
    if (l.path.rfind("sixty/", 0) == 0) {
      EXPECT_EQ(Md5File(t.Path() + "/a/" + l.path), md5s.at(l.path)) << l.path;
      ++under;
    }
  EXPECT_EQ(under, 60);
  Patch(image, std::stoull(places.at("sixty_block_byte")), std::string(4096, '\0'));
  r = Dvscan("--options '" + t.Path() + "/xls.ini' --recover '" + t.Path() + "/b' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::multiset<std::string> extra;
  for (const Listed& l : r.items) {
    EXPECT_EQ(l.path.rfind("sixty/", 0), std::string::npos) << l.path;
    if (l.path.rfind("Extra files/", 0) == 0) {
      EXPECT_NE(l.path.find("/file"), std::string::npos) << l.path;
      extra.insert(Md5File(t.Path() + "/b/" + l.path));
    }
  }
  EXPECT_EQ(extra, sixty);
}

// Superblock 0 zeroed: the Long Scan finds the volume by group 1's
// superblock (placed by its group header) and lists it as before.
TEST(XfsImages, LongScanFindsAVolumeWithoutItsFirstSuperblock) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/x5.img")) GTEST_SKIP() << "no mount here";
  const TempFolder t("xfs-nosb");
  const auto places = Places(folder + "/x5.places.txt");
  // XFSVolumeStart on group 1's superblock names sector 0.
  {
    const std::string original = folder + "/x5.img";
    Drive* drive = CreateDrive(FromUtf8(original));
    drive->InitDrive(FromUtf8(original));
    const int64_t at = std::stoll(places.at("ag1_sb_sector"));
    std::vector<uint8_t> sectors(4096);
    ASSERT_TRUE(ReadSectorsWaited(*drive, at, 4096, sectors.data()));
    EXPECT_EQ(XFSVolumeStart(at, sectors.data(), 8, drive), 0);
    EXPECT_EQ(XFSVolumeStart(at, sectors.data(), 1, drive), 0);  // the header read from the drive
    DeleteDrive(&drive);
  }
  const std::string image = Copy(folder + "/x5.img", t.Path() + "/n.img");
  Patch(image, 0, std::string(512, '\0'));
  const DvscanRun quick = Dvscan("'" + image + "'");
  EXPECT_TRUE(quick.items.empty());
  const DvscanRun r = Dvscan("--long --skip-headers --recover '" + t.Path() + "/out' '" + image + "'");
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  const std::set<std::string> listed = ListedPaths(r);
  for (const std::string& p : Paths(Ncheck(folder + "/x5.ncheck.txt"))) EXPECT_TRUE(listed.count(p)) << p;
  ExpectMd5s(t.Path() + "/out", Md5s(folder + "/x5.md5.txt"));
}

// Half the image cut off: the volume is kept with the short-source line;
// every file not reported incomplete equals its source.
TEST(XfsImages, ShortImageIsKept) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/x5.img")) GTEST_SKIP() << "no mount here";
  const TempFolder t("xfs-short");
  const std::string image = Copy(folder + "/x5.img", t.Path() + "/s.img");
  ASSERT_EQ(truncate(image.c_str(), 256 << 20), 0);
  const DvscanRun r = Dvscan("--recover '" + t.Path() + "/out' '" + image + "'");
  EXPECT_NE(r.err.find("shorter than volume"), std::string::npos) << r.err;
  EXPECT_FALSE(r.items.empty());
  const std::string log = ReadFileText(t.Path() + "/out/Recovery.log");
  int same = 0;
  for (const auto& [path, md5] : Md5s(folder + "/x5.md5.txt")) {
    const std::string file = t.Path() + "/out/" + path;
    if (log.find("Saved: " + file + "\n") == std::string::npos) continue;
    EXPECT_EQ(Md5File(file), md5) << path;
    ++same;
  }
  // How many survive the cut depends on the groups the kernel put each
  // folder in; the root's own files lie in the first.
  EXPECT_GT(same, 3);
}

namespace {

// The Long Scan's hand-over: each file's folder path.
class PathSink : public NullScanSink {
 public:
  int StoreFileItem(WStringView, WStringView path, int64_t index) override {
    const cnode* n = nodes.GetAt(index);
    if (n) paths.insert(ToUtf8(WString(path) + n->GetNameW()));
    return 1;
  }
  std::set<std::string> paths;
};

}  // namespace

// A piece the drive cannot read reads as zeros: the sweep goes on past it
// and places the files it finds after it.
TEST(XfsImages, LongScanGoesOnPastUnreadablePieces) {
  XFS_IMAGES_OR_SKIP(folder);
  if (!Exists(folder + "/x5.img")) GTEST_SKIP() << "no mount here";
  GlobalObjectsScope scope;
  // A megabyte inside big3m.bin's data (one run of 3 MiB): no metadata is
  // lost with it.
  uint64_t big = 0;
  for (const auto& [n, p] : Ncheck(folder + "/x5.ncheck.txt"))
    if (p == "big3m.bin") big = n;
  const auto facts = Inodes(folder + "/x5.inodes.txt");
  ASSERT_TRUE(facts.count(big) && !facts.at(big).bmap.empty());
  const auto& run = facts.at(big).bmap.front();
  ASSERT_GE(run[3], 768u);
  const std::string image = folder + "/x5.img";
  uint64_t agBlocks = 0;
  {
    Drive* drive = CreateDrive(FromUtf8(image));
    drive->InitDrive(FromUtf8(image));
    std::vector<uint8_t> sb(512);
    ASSERT_TRUE(ReadSectorsWaited(*drive, 0, 512, sb.data()));
    CXFSVol v;
    ASSERT_EQ(v.Init(sb.data(), 0, drive), 1);
    agBlocks = v.agBlocks;
    DeleteDrive(&drive);
  }
  const uint64_t first = ((run[1] * agBlocks + run[2]) * 4096 + (1 << 20)) / (1 << 20) * (1 << 20);
  auto state = std::make_shared<FaultState>();
  state->bad.push_back({first, first + (1 << 20)});
  FaultyOpener opener(state);
  Drive* drive = CreateDrive(FromUtf8(image));
  drive->InitDrive(FromUtf8(image));
  {
    std::vector<uint8_t> sb(512);
    ASSERT_TRUE(ReadSectorsWaited(*drive, 0, 512, sb.data()));
    CXFSVol v;
    ASSERT_EQ(v.Init(sb.data(), 0, drive), 1);
    PathSink sink;
    EXPECT_EQ(xfs::XfsLongScan(v, sink), 1);
    EXPECT_GT(drive->TotalErrors(), 0u);
    int sixty = 0;
    for (const std::string& p : sink.paths) sixty += p.rfind("\\sixty\\", 0) == 0;
    EXPECT_EQ(sixty, 60);
    EXPECT_GT(sink.paths.size(), 2000u);
  }
  DeleteDrive(&drive);
}

// A file whose size passes what the volume could hold is damage: its copy
// fails where its blocks end, it is never padded with zeros to that size.
TEST(XfsImages, SizePastTheVolumeIsNotPadded) {
  XFS_IMAGES_OR_SKIP(folder);
  const TempFolder t("xfs-size");
  const std::string image = Copy(folder + "/x4f.img", t.Path() + "/s.img");
  uint64_t inode = 0;
  for (const auto& [n, p] : Ncheck(folder + "/x4f.ncheck.txt"))
    if (p == "small.txt") inode = n;
  ASSERT_NE(inode, 0u);
  uint64_t at = 0;
  {
    Drive* drive = CreateDrive(FromUtf8(image));
    drive->InitDrive(FromUtf8(image));
    std::vector<uint8_t> sb(512);
    ASSERT_TRUE(ReadSectorsWaited(*drive, 0, 512, sb.data()));
    CXFSVol v;
    ASSERT_EQ(v.Init(sb.data(), 0, drive), 1);
    uint64_t block = 0;
    uint32_t byte = 0;
    ASSERT_TRUE(v.InodePlace(inode, &block, &byte));
    at = block * v.clusterSize + byte;
    DeleteDrive(&drive);
  }
  Patch(image, at + xfs::kDiSize, std::string("\x00\x04\x00\x00\x00\x00\x00\x00", 8));  // 2^50 bytes
  const DvscanRun r = Dvscan("--recover '" + t.Path() + "/out' '" + image + "'");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("failed=1"), std::string::npos) << r.out;
  EXPECT_FALSE(Exists(t.Path() + "/out/small.txt"));
  EXPECT_LT(std::stoull(RunCommand("du -sk '" + t.Path() + "/out' | cut -f1")), 64u << 10);
}
