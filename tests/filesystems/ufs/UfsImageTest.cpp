// UFS1 and UFS2 images made by makefs (tests/fixtures/make_ufs.sh), scanned
// and recovered through the headless driver and compared with the source
// and with The Sleuth Kit where it reads them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/engine/DvscanRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"

namespace {

std::string UfsImages(std::string* skip) {
  static const int status = RunFixtureScript("make_ufs.sh", FixtureCache(), ">/dev/null 2>&1");
  if (status == 77) *skip = "makefs or sleuthkit missing";
  return status == 0 ? FixtureCache() : "";
}

#define UFS_IMAGES_OR_SKIP(var)                             \
  std::string skip_;                                        \
  const std::string var = UfsImages(&skip_);                \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << "make_ufs.sh failed"

// A path as Save writes it below the destination ("\" in a name becomes
// "_").
std::string DestinationOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string folder = "\\";
  if (slash != std::string::npos) {
    folder += path.substr(0, slash);
    for (char& c : folder)
      if (c == '/') c = '\\';
    folder += "\\";
  }
  WString out;
  if (!BuildDestinationPath(u"/r", FromUtf8(folder),
                            FromUtf8(slash == std::string::npos ? path : path.substr(slash + 1)), &out))
    return "";
  return ToUtf8(out).substr(3);
}

// fls's files, links and folders by destination path.
std::set<std::string> FlsItems(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find("$OrphanFiles") != std::string::npos) continue;
    if (line.rfind("r/r", 0) == 0 || line.rfind("l/l", 0) == 0 || line.rfind("d/d", 0) == 0)
      out.insert(DestinationOf(line.substr(tab + 1)));
  }
  return out;
}

// "<md5> <path>" (or "<md5>  <path>") lines by destination path.
std::map<std::string, std::string> Md5Lines(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 34) continue;
    size_t at = 32;
    while (at < line.size() && line[at] == ' ') ++at;
    out[DestinationOf(line.substr(at))] = line.substr(0, 32);
  }
  return out;
}

std::set<std::string> ListedPaths(const DvscanRun& r) {
  std::set<std::string> out;
  for (const Listed& l : r.items) EXPECT_TRUE(out.insert(l.path).second) << "twice: " << l.path;
  return out;
}

}  // namespace

// Every image lists the source's tree (fls's where TSK reads it) and
// recovers its files bit-exactly; the symbolic link is listed and skipped.
TEST(UfsImages, ListAndRecoverAsTheSourceAndTheSleuthKit) {
  UFS_IMAGES_OR_SKIP(folder);
  const auto sources = Md5Lines(ReadFileText(folder + "/ufs-src.md5.txt"));
  ASSERT_EQ(sources.size(), 7u);
  const std::set<std::string> tree = FlsItems(ReadFileText(folder + "/ufs-u1.fls.txt"));
  ASSERT_EQ(tree.size(), 12u);
  for (const char* name : {"u1", "u2", "u2b"}) {
    SCOPED_TRACE(name);
    const TempFolder temp("ufs-recover");
    const std::string dest = temp.Path() + "/out";
    const DvscanRun r = Dvscan("--recover '" + dest + "' '" + folder + "/ufs-" + name + ".img'");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("skipped=1 failed=0 corrupt=0"), std::string::npos) << r.out;
    EXPECT_EQ(ListedPaths(r), tree);
    for (const auto& [path, md5] : sources) EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
    if (std::string(name) != "u2") {
      EXPECT_EQ(FlsItems(ReadFileText(folder + "/ufs-" + name + ".fls.txt")), tree);
      EXPECT_EQ(Md5Lines(ReadFileText(folder + "/ufs-" + name + ".icat.txt")), sources);
    }
    EXPECT_FALSE(std::filesystem::exists(dest + "/link"));
    EXPECT_EQ(RunCommand("find '" + dest + "' -type f ! -name Recovery.log | wc -l"), "7\n");
  }
}

// Each volume is found where it starts, on a bare image and on a disk;
// UFS2's superblock at 8 KiB places it at 0 (its copy at 64 KiB places
// nothing).
TEST(UfsImages, VolumesAreFoundAtTheirStart) {
  UFS_IMAGES_OR_SKIP(folder);
  struct Case {
    const char* image;
    const char* volumes;  // "type start size" each
  };
  const Case cases[] = {
      {"ufs-u1.img", "5 0 131072 "},
      {"ufs-u2.img", "6 0 131072 "},
      {"ufs-u2b.img", "6 0 524288 "},
      {"ufs-disk.img", "5 2048 131072 6 133120 131072 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const TempFolder temp("ufs-place");
    const std::string trace = temp.Path() + "/trace.txt";
    const DvscanRun r = Dvscan("--trace '" + trace + "' --trace-switches mft '" + folder + "/" + c.image + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string text = ReadFileText(trace);
    std::string got;
    const std::regex ppp(R"(PPP \d+ (\d+) (\d+) (\d+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), ppp); it != std::sregex_iterator(); ++it)
      got += (*it)[3].str() + " " + (*it)[1].str() + " " + (*it)[2].str() + " ";
    EXPECT_EQ(got, c.volumes);
  }
  // Both partitions list the source's tree.
  const std::set<std::string> tree = FlsItems(ReadFileText(folder + "/ufs-u1.fls.txt"));
  for (int k = 0; k < 2; ++k) {
    const DvscanRun r = Dvscan("--volume " + std::to_string(k) + " '" + folder + "/ufs-disk.img'");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(ListedPaths(r), tree) << k;
  }
}

// A big-endian volume (TSK reads it) is named in the scan's log and none of
// its files is listed.
TEST(UfsImages, BigEndianVolumeIsNamedNotRead) {
  UFS_IMAGES_OR_SKIP(folder);
  ASSERT_EQ(FlsItems(ReadFileText(folder + "/ufs-ube.fls.txt")).size(), 12u);
  const DvscanRun r = Dvscan("'" + folder + "/ufs-ube.img'");
  EXPECT_EQ(r.rc, 2) << r.err;  // nothing found
  EXPECT_NE(r.err.find("A big-endian UFS volume at sector 0 is not read."), std::string::npos) << r.err;
  EXPECT_TRUE(r.items.empty());
}

// Names a crafted volume holds ("..", "a/b", control characters) are
// listed and recovered strictly inside the destination.
TEST(UfsImages, HostileNamesStayInsideTheDestination) {
  UFS_IMAGES_OR_SKIP(folder);
  const TempFolder temp("ufs-hostile");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + folder + "/ufs-hostile.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  // The folder and its four files (fls leaves the one named ".." out).
  EXPECT_EQ(r.items.size(), 5u);
  EXPECT_EQ(RunCommand("ls -A '" + temp.Path() + "'"), "out\n");
  EXPECT_EQ(RunCommand("find '" + dest + "' -type f ! -name Recovery.log | wc -l"), "4\n");
  EXPECT_EQ(ReadFileText(dest + "/sub/_.."), "dots\n");
  EXPECT_EQ(ReadFileText(dest + "/sub/a_b"), "slash\n");
  EXPECT_EQ(ReadFileText(dest + "/sub/c___d"), "control\n");
}

// The image cut short keeps its volume: the scan says the source is
// shorter, lists the whole tree; files on the image are exact, the others
// corrupt, never plain saved.
TEST(UfsImages, VolumeLongerThanItsImageIsKept) {
  UFS_IMAGES_OR_SKIP(folder);
  const auto sources = Md5Lines(ReadFileText(folder + "/ufs-src.md5.txt"));
  const TempFolder temp("ufs-cut");
  const std::string dest = temp.Path() + "/out";
  const DvscanRun r = Dvscan("--recover '" + dest + "' '" + folder + "/ufs-cut.img'");
  EXPECT_EQ(r.rc, 1) << r.err;  // an item came out corrupt
  EXPECT_NE(r.err.find("The source is shorter than volume 0"), std::string::npos) << r.err;
  EXPECT_EQ(ListedPaths(r), FlsItems(ReadFileText(folder + "/ufs-u1.fls.txt")));
  const std::string log = ReadFileText(dest + "/Recovery.log");
  int exact = 0, corrupt = 0;
  for (const auto& [path, md5] : sources) {
    SCOPED_TRACE(path);
    if (Md5File(dest + "/" + path) == md5) {
      ++exact;
      EXPECT_NE(log.find("Saved: " + dest + "/" + path), std::string::npos);
    } else {
      ++corrupt;
      EXPECT_NE(log.find("Corrupt: " + dest + "/" + path), std::string::npos) << log;
    }
  }
  EXPECT_EQ(corrupt, 1);  // the 30 MB file
  EXPECT_EQ(exact, 6);
}

// A session of each kind of UFS scan loads in a new process and lists and
// recovers the same files with the same bytes.
TEST(UfsImages, SessionsLoadAndRecoverTheSameBytes) {
  UFS_IMAGES_OR_SKIP(folder);
  for (const char* name : {"u1", "u2", "u2b"}) {
    SCOPED_TRACE(name);
    const TempFolder temp("ufs-session");
    const std::string t = temp.Path();
    const DvscanRun a =
        Dvscan("--save-session '" + t + "/s.dvs' --recover '" + t + "/scan' '" + folder + "/ufs-" + name + ".img'");
    ASSERT_EQ(a.rc, 0) << a.err;
    const DvscanRun b = Dvscan("--load-session '" + t + "/s.dvs' --recover '" + t + "/load'");
    ASSERT_EQ(b.rc, 0) << b.err;
    EXPECT_EQ(ListedPaths(a), ListedPaths(b));
    auto tree = [&](const std::string& d) {
      return RunCommand("cd '" + d + "' && find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 md5sum");
    };
    EXPECT_EQ(tree(t + "/scan"), tree(t + "/load"));
    EXPECT_EQ(RunCommand("find '" + t + "/load' -type f ! -name Recovery.log | wc -l"), "7\n");
  }
}
