// Damaged and hostile images seen from dvscan, as a tester runs it: sizes
// no volume can hold, resident data behind an attribute list, destinations
// on the source or on a full or read-only file system, a boot sector pair
// that disagrees, a cut image, the log's own name among the items, file
// modes, and the messages for sources that are no volume at all. Images:
// tests/fixtures/make_damaged.sh (mkntfs + ntfs-3g, then patched), checked
// against icat's bytes.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

struct DvRun {
  int rc = -1;
  std::string out;  // standard output and error
};

// dvscan after `prefix` (shell words, e.g. "ulimit -f N; timeout 60").
DvRun Dvscan(const std::string& args, const std::string& prefix = "") {
  const CommandRun run =
      RunCommandStatus("(" + prefix + " '" + std::string(DV_BINARY_DIR) + "/bin/dvscan' " + args + ") 2>&1");
  return DvRun{run.rc, run.out};
}

long Count(const DvRun& r, const std::string& key) {
  const size_t at = r.out.rfind(" " + key + "=");
  return at == std::string::npos ? -1 : std::stol(r.out.substr(at + key.size() + 2));
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) n++;
  return n;
}

std::string Folder() {
  const std::string dir = FixtureCache() + "/damaged";
  if (RunFixtureScript("make_damaged.sh", dir, ">/dev/null 2>&1") != 0) return {};
  return dir;
}

#define FOLDER_OR_SKIP(var)       \
  const std::string var = Folder(); \
  if (var.empty()) GTEST_SKIP() << "needs root, FUSE, mkntfs, ntfs-3g and the Sleuth Kit"

// icat's md5 of each file of damaged.img.
std::map<std::string, std::string> PeerMd5(const std::string& folder) {
  std::map<std::string, std::string> m;
  std::istringstream in(ReadFileText(folder + "/damaged.md5.txt"));
  std::string md5, path;
  while (in >> md5 >> path) m[path] = md5;
  return m;
}

// The list's rows by path: size and status.
struct Row {
  uint64_t size = 0;
  std::string status;
  int seen = 0;
};
std::map<std::string, Row> ListRows(const std::string& tsv) {
  std::map<std::string, Row> rows;
  std::istringstream in(ReadFileText(tsv));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    if (f.size() < 4) continue;
    Row& r = rows[f[0]];
    r.size = std::stoull(f[1]);
    r.status = f[3];
    r.seen++;
  }
  return rows;
}

uint64_t TreeBytes(const std::string& dir) {
  const std::string out = RunCommand("du -sb --apparent-size '" + dir + "' | cut -f1");
  return out.empty() ? 0 : std::stoull(out);
}

// A tmpfs of `size` mounted on a fresh folder for the scope (root only).
class Tmpfs {
 public:
  explicit Tmpfs(const std::string& size, unsigned long flags = 0) : folder_("dmg_tmpfs") {
    if (geteuid() == 0 && mount("tmpfs", folder_.Path().c_str(), "tmpfs", flags, ("size=" + size).c_str()) == 0)
      mounted_ = true;
  }
  ~Tmpfs() {
    if (mounted_) umount2(folder_.Path().c_str(), MNT_DETACH);
  }
  bool ok() const { return mounted_; }
  const std::string& dir() const { return folder_.Path(); }

 private:
  TempFolder folder_;
  bool mounted_ = false;
};

// A size no allocation backs (1 TiB, 2^64-1) is damage: the list shows the
// file Poor with its initialised size, and the recovery writes no more than
// the runs hold. Before, 1 TiB wrote zeros until the disk was full and
// 2^64-1 hashed zeros for ever.
TEST(DamagedImageTest, SizeBeyondTheAllocationIsBoundedAndPoor) {
  FOLDER_OR_SKIP(dir);
  const auto peer = PeerMd5(dir);
  for (const char* image : {"f1-tib.img", "f1-max.img"}) {
    SCOPED_TRACE(image);
    const std::string img = dir + "/" + image;
    const TempFolder destTemp("dmg_f1");
    const std::string dest = destTemp.Path() + "/dest";
    const std::string list = destTemp.Path() + "/list.tsv";
    // A file-size limit of 64 MiB stands in for the full disk a fault would
    // cause; the time-out for the endless hashing.
    const DvRun r = Dvscan("--list '" + list + "' --recover '" + dest + "' '" + img + "'", "ulimit -f 131072; timeout 120");
    EXPECT_EQ(r.rc, 0) << r.out;
    const auto rows = ListRows(list);
    ASSERT_TRUE(rows.count("small.bin"));
    EXPECT_EQ(rows.at("small.bin").size, 12000u);
    EXPECT_EQ(rows.at("small.bin").status, "Poor");
    EXPECT_EQ(Md5File(dest + "/small.bin"), peer.at("small.bin"));
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_LT(TreeBytes(dest), uint64_t(st.st_size));
  }
}

// The path of the one regular file in a folder ("" when not exactly one).
std::string OnlyFileIn(const std::string& folder) {
  std::string found;
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec))
    if (e.is_regular_file()) {
      found = e.path().string();
      n++;
    }
  return n == 1 ? found : std::string();
}

// A file with 30 hard links has an attribute list whose $DATA entry names
// the base record, where the data is resident: its bytes, not 7 zeros.
TEST(DamagedImageTest, ResidentDataBehindAnAttributeList) {
  FOLDER_OR_SKIP(dir);
  const auto peer = PeerMd5(dir);
  const TempFolder destTemp("dmg_f2");
  const std::string dest = destTemp.Path() + "/dest";
  const DvRun r = Dvscan("--recover '" + dest + "' '" + dir + "/damaged.img'");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Count(r, "corrupt"), 0) << r.out;
  // Which of the 30 names stands for the file depends on where ntfs-3g
  // put each name: the one file in links/ is it.
  const std::string linked = OnlyFileIn(dest + "/links");
  EXPECT_EQ(Md5File(linked), peer.at("links/base.txt"));
  EXPECT_EQ(ReadFileText(linked), "linked\n");
  for (const auto& [path, md5] : peer) {
    if (path == "Recovery.log") continue;  // takes the rename road (below)
    if (path == "links/base.txt") continue;  // above
    EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
  }
}

// A destination inside a read-write mount of the source (ntfs-3g straight
// on the image file) is refused before anything is made there: the image's
// bytes are unchanged, and the refusal is said once. The same for a new
// folder on a read-only mount: the reason is the source rule.
TEST(DamagedImageTest, DestinationOnTheSourceTouchesNothing) {
  FOLDER_OR_SKIP(dir);
  const TempFolder workTemp("dmg_f3");
  const std::string work = workTemp.Path();
  const std::string img = work + "/src.img", mnt = work + "/mnt";
  ASSERT_EQ(std::system(("cp '" + dir + "/damaged.img' '" + img + "' && mkdir '" + mnt + "'").c_str()), 0);
  for (const char* mode : {"rw", "ro"}) {
    SCOPED_TRACE(mode);
    if (std::system(("ntfs-3g -o " + std::string(mode) + " '" + img + "' '" + mnt + "' >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << "ntfs-3g cannot mount here";
    const std::string before = Md5File(img);
    const DvRun r = Dvscan("--recover '" + mnt + "/out' '" + img + "'");
    const bool made = access((mnt + "/out").c_str(), F_OK) == 0;
    RunCommand("umount '" + mnt + "'");
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_EQ(Occurrences(r.out, "cannot reside on the source drive"), 1u) << r.out;
    EXPECT_EQ(r.out.find("Read-only file system"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("recovery log"), std::string::npos) << r.out;
    EXPECT_FALSE(made);
    EXPECT_EQ(Md5File(img), before);
    EXPECT_EQ(RunCommand("fls '" + img + "' | grep -c -E '\\s(out|Recovery.log)$' || true"), "1\n");  // the source's own file
  }
}

// A destination that fills up asks the disk-full question; headless the
// answer is No: the run stops, says which destination is full, and exits 1.
// The same when it is full from the start. Never the writer's counts.
TEST(DamagedImageTest, FullDestinationStopsWithAClearMessage) {
  FOLDER_OR_SKIP(dir);
  for (bool fullFirst : {false, true}) {
    SCOPED_TRACE(fullFirst);
    Tmpfs fs("2m");
    if (!fs.ok()) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (fullFirst) RunCommand("dd if=/dev/zero of='" + fs.dir() + "/fill' bs=64k 2>/dev/null; true");
    const std::string dest = fs.dir() + "/out";
    const DvRun r = Dvscan("--recover '" + dest + "' '" + dir + "/damaged.img'");
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_NE(r.out.find(dest + " is full: the recovery stopped"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Incomplete write"), std::string::npos) << r.out;
    EXPECT_LT(Count(r, "saved"), 47);
  }
}

// Every item failing (a read-only destination) is not success: exit 1 and
// how many failed.
TEST(DamagedImageTest, FailedItemsMakeTheExitStatusOne) {
  FOLDER_OR_SKIP(dir);
  Tmpfs fs("4m", MS_RDONLY);
  if (!fs.ok()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const DvRun r = Dvscan("--recover '" + fs.dir() + "' '" + dir + "/damaged.img'");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(Count(r, "saved"), 0);
  ASSERT_GT(Count(r, "failed"), 0);
  EXPECT_NE(r.out.find(std::to_string(Count(r, "failed")) + " item(s) could not be saved."), std::string::npos)
      << r.out;
}

// A primary boot sector naming another $MFTMirr cluster than its backup:
// one volume, every file listed once, nothing failed.
TEST(DamagedImageTest, TwoReadingsOfOneVolumeMakeOneVolume) {
  FOLDER_OR_SKIP(dir);
  const TempFolder destTemp("dmg_f6");
  const std::string dest = destTemp.Path() + "/dest";
  const std::string list = destTemp.Path() + "/list.tsv";
  const DvRun clean = Dvscan("--list '" + list + "' '" + dir + "/damaged.img'");
  ASSERT_EQ(clean.rc, 0) << clean.out;
  const size_t cleanRows = ListRows(list).size();
  const DvRun r = Dvscan("--list '" + list + "' --recover '" + dest + "' '" + dir + "/f6-mirr.img'");
  ASSERT_EQ(r.rc, 0) << r.out;
  const auto rows = ListRows(list);
  EXPECT_EQ(rows.size(), cleanRows);
  for (const auto& [path, row] : rows) EXPECT_EQ(row.seen, 1) << path;
  EXPECT_EQ(Count(r, "items"), Count(clean, "items"));
  EXPECT_EQ(Count(r, "failed"), 0);
}

// A cut image whose boot sector and $MFT are whole: the volume is kept,
// a warning says the source is shorter, the files are listed (fls lists
// them too), and those over the missing part come back Corrupt.
TEST(DamagedImageTest, CutImageKeepsItsVolume) {
  FOLDER_OR_SKIP(dir);
  const auto peer = PeerMd5(dir);
  const TempFolder destTemp("dmg_f7");
  const std::string dest = destTemp.Path() + "/dest";
  const std::string list = destTemp.Path() + "/list.tsv";
  const DvRun r = Dvscan("--list '" + list + "' --recover '" + dest + "' '" + dir + "/f7-cut.img'");
  EXPECT_EQ(r.out.find("Boot sector not found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The source is shorter than volume 0"), std::string::npos) << r.out;
  const auto rows = ListRows(list);
  for (const char* path : {"small.bin", "docs/a.txt"}) EXPECT_TRUE(rows.count(path)) << path;
  // The linked file under one of its 30 names.
  EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [](const auto& row) {
    return row.first.rfind("links/", 0) == 0 && row.first.size() > 6;
  }));
  const std::string fls = RunCommand("fls -r -p '" + dir + "/f7-cut.img'");
  EXPECT_NE(fls.find("small.bin"), std::string::npos);
  EXPECT_EQ(Md5File(dest + "/small.bin"), peer.at("small.bin"));
  EXPECT_EQ(Count(r, "failed"), 0) << r.out;
  EXPECT_GT(Count(r, "corrupt"), 0) << r.out;
}

// A boot sector whose total no disk can hold is not a partial image: it is
// refused (the backup boot sector gives the volume), and the volume search
// does not go round (scripts/torture's bare-bootfield-1501552).
TEST(DamagedImageTest, BootTotalPastAnyDiskIsDamage) {
  FOLDER_OR_SKIP(dir);
  const TempFolder destTemp("dmg_total");
  const std::string dest = destTemp.Path() + "/dest";
  const DvRun clean = Dvscan("'" + dir + "/damaged.img'");
  const DvRun r = Dvscan("--recover '" + dest + "' '" + dir + "/total-max.img'", "timeout 300");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(r.out.find("The source is shorter"), std::string::npos) << r.out.substr(0, 2000);
  EXPECT_EQ(Count(r, "items"), Count(clean, "items"));
  EXPECT_EQ(Count(r, "failed"), 0);
}

// The run's log never meets a recovered item: the source's own
// "Recovery.log" (replaced on purpose with --overwrite overwrite) and a
// root folder of that name take the rename road; a link planted under the
// log's name is not followed.
TEST(DamagedImageTest, TheLogNeverMeetsARecoveredItem) {
  FOLDER_OR_SKIP(dir);
  const auto peer = PeerMd5(dir);
  const TempFolder destTemp("dmg_f8");
  const std::string dest = destTemp.Path() + "/dest";
  DvRun r = Dvscan("--overwrite overwrite --recover '" + dest + "' '" + dir + "/damaged.img'");
  ASSERT_EQ(r.rc, 0) << r.out;
  const std::string log = ReadFileText(dest + "/Recovery.log");
  EXPECT_EQ(log.substr(0, 27), "\xEF\xBB\xBF----- Recovery Log -----");
  EXPECT_EQ(long(Occurrences(log, "  Saved: ")), Count(r, "saved"));
  EXPECT_EQ(Md5File(dest + "/Recovery[1].log"), peer.at("Recovery.log"));

  const TempFolder dest2Temp("dmg_f8dir");
  const std::string dest2 = dest2Temp.Path() + "/dest";
  r = Dvscan("--recover '" + dest2 + "' '" + dir + "/logdir.img'");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Count(r, "failed"), 0);
  EXPECT_EQ(ReadFileText(dest2 + "/Recovery[1].log/inner.txt"), "inside a folder named like the log\n");
  EXPECT_EQ(ReadFileText(dest2 + "/Recovery.log").substr(3, 24), "----- Recovery Log -----");

  const TempFolder dest3Temp("dmg_f8link");
  const std::string dest3 = dest3Temp.Path() + "/dest";
  const std::string outside = dest3Temp.Path() + "/outside";
  ASSERT_EQ(mkdir(dest3.c_str(), 0755), 0);
  WriteFileText(outside, "not to be touched\n");
  ASSERT_EQ(symlink(outside.c_str(), (dest3 + "/Recovery.log").c_str()), 0);
  r = Dvscan("--recover '" + dest3 + "' '" + dir + "/logdir.img'");
  EXPECT_EQ(ReadFileText(outside), "not to be touched\n");
}

// One mode for every recovered file, whether it was written straight or
// replaced an existing one through a temporary file.
TEST(DamagedImageTest, OneModeForEveryRecoveredFile) {
  FOLDER_OR_SKIP(dir);
  const TempFolder destTemp("dmg_f9");
  const std::string dest = destTemp.Path() + "/dest";
  const std::string img = dir + "/damaged.img";
  ASSERT_EQ(Dvscan("--recover '" + dest + "' '" + img + "'", "umask 027;").rc, 0);
  ASSERT_EQ(Dvscan("--overwrite overwrite --recover '" + dest + "' '" + img + "'", "umask 027;").rc, 0);
  // Under umask 027: 0666 less it.
  const std::string modes = RunCommand("find '" + dest + "' -type f ! -name 'Recovery*.log' -printf '%m\\n' | sort -u");
  EXPECT_EQ(modes, "640\n");
}

// Sources that hold no volume say what they are, once each.
TEST(DamagedImageTest, MessagesForSourcesThatAreNoVolume) {
  const TempFolder workTemp("dmg_msg");
  const std::string work = workTemp.Path();
  WriteFileText(work + "/empty.img", "");
  WriteFileText(work + "/one.img", "x");
  ASSERT_EQ(mkfifo((work + "/fifo").c_str(), 0600), 0);
  // Exit status 2: nothing found; 3: the source could not be read.
  struct Case {
    std::string source;
    std::string says;
    int rc;
  } cases[] = {
      {work + "/empty.img", work + "/empty.img is empty or too small to hold a volume.", 2},
      {work + "/one.img", work + "/one.img is empty or too small to hold a volume.", 2},
      {work + "/missing.img", work + "/missing.img: No such file or directory", 3},
      {work, work + " is a folder, not a disk or an image file.", 3},
      {work + "/fifo", work + "/fifo is not a disk or an image file.", 3},
      {"/dev/null", "/dev/null is not a disk or an image file.", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const DvRun r = Dvscan("'" + c.source + "'", "timeout 60");
    EXPECT_EQ(r.rc, c.rc) << r.out;
    EXPECT_EQ(Occurrences(r.out, c.says), 1u) << r.out;
    EXPECT_EQ(Occurrences(r.out, c.source), 1u) << r.out;
    EXPECT_EQ(r.out.find("Boot sector not found"), std::string::npos) << r.out;
  }
}

}  // namespace
