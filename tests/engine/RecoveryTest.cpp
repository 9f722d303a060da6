// Recovery of the files of real NTFS images (tests/fixtures/ntfs, made by
// mkntfs and ntfs-3g) through the headless driver: contents against icat's
// md5, times against istat, the overwrite modes on a second run, the
// recovery log, and unreadable clusters through the block-source seam.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utime.h>

#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "engine/Engine.h"
#include "engine/RecoverDriver.h"
#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"

namespace {

struct DvRun {
  int rc = -1;
  std::string out;
  std::map<std::string, long> counts;
};

DvRun Dvscan(const std::string& args) {
  DvRun r;
  const CommandRun run = RunCommandStatus(std::string(DV_BINARY_DIR) + "/bin/dvscan " + args + " 2>/dev/null");
  r.rc = run.rc;
  r.out = run.out;
  std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  std::regex kv("(\\w+)=([0-9.]+)");
  for (std::sregex_iterator it(last.begin(), last.end(), kv), end; it != end; ++it)
    r.counts[(*it)[1]] = std::stol((*it)[2]);
  return r;
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

#define IMAGE_OR_SKIP(var, name)                                     \
  const std::string var = ntfs_fixture::Image(name);                 \
  if (var.empty()) GTEST_SKIP() << "xz missing: cannot unpack " name

// Every file of the images that the scan lists comes out as icat gives it.
TEST(RecoveryImageTest, FilesEqualIcatOnEveryImage) {
  for (const char* name : {"basic", "attrlist", "fragdata", "fragmft", "sect2048", "sect4096", "bigdir"}) {
    SCOPED_TRACE(name);
    const std::string img = ntfs_fixture::Image(name);
    if (img.empty()) GTEST_SKIP() << "xz missing";
    const TempFolder destTemp(std::string("rec_") + name);
    const std::string dest = destTemp.Path();
    const DvRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.counts.at("failed"), 0);
    EXPECT_EQ(r.counts.at("corrupt"), 0);
    int checked = 0;
    for (const auto& [md5, path] : ntfs_fixture::IcatMd5s(name)) {
      if (path.find("$RECYCLE.BIN") != std::string::npos) continue;  // read by the recycle-bin code
      if (path[0] == '$') continue;  // system files are not listed
      std::string file = dest + "/" + path;
      if (path == "plain.bin" && !Exists(file)) file = dest + "/plain-link.bin";  // hard link
      struct stat st;
      if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      EXPECT_EQ(Md5File(file), md5) << path;
      checked++;
    }
    EXPECT_GT(checked, 0);
    // The log: its header and one status line per item.
    const std::string log = ReadFileText(dest + "/Recovery.log");
    EXPECT_EQ(log.substr(0, 27), "\xEF\xBB\xBF----- Recovery Log -----");
    size_t saved = 0;
    for (size_t at = 0; (at = log.find("  Saved: ", at)) != std::string::npos; at++) saved++;
    EXPECT_EQ(long(saved), r.counts.at("saved"));
  }
}

TEST(RecoveryImageTest, TimesAreIstatsModificationTimes) {
  IMAGE_OR_SKIP(img, "basic");
  const TempFolder destTemp("rec_times");
  const std::string dest = destTemp.Path();
  ASSERT_EQ(Dvscan("--recover '" + dest + "' '" + img + "'").rc, 0);
  // "===== 64 small.txt" ... "File Modified:\t2026-12-09 22:53:36.183060800 (UTC)"
  const std::string istat = ntfs_fixture::Report("basic", "istat");
  std::regex rx("===== \\d+ ([^\\n]+)\\n[\\s\\S]*?File Modified:\\t(\\d+)-(\\d+)-(\\d+) (\\d+):(\\d+):(\\d+)\\.(\\d+)");
  int checked = 0;
  for (std::sregex_iterator it(istat.begin(), istat.end(), rx), end; it != end; ++it) {
    const std::string path = (*it)[1];
    if (path != "small.txt" && path != "gone.txt" && path != "comp/text.txt" && path != "sparse.bin") continue;
    struct tm tm {};
    tm.tm_year = std::stoi((*it)[2]) - 1900;
    tm.tm_mon = std::stoi((*it)[3]) - 1;
    tm.tm_mday = std::stoi((*it)[4]);
    tm.tm_hour = std::stoi((*it)[5]);
    tm.tm_min = std::stoi((*it)[6]);
    tm.tm_sec = std::stoi((*it)[7]);
    struct stat st;
    ASSERT_EQ(stat((dest + "/" + path).c_str(), &st), 0) << path;
    EXPECT_EQ(int64_t(st.st_mtim.tv_sec), int64_t(timegm(&tm))) << path;
    EXPECT_EQ(long(st.st_mtim.tv_nsec), std::stol(std::string((*it)[8]).substr(0, 9))) << path;
    checked++;
  }
  EXPECT_EQ(checked, 4);
}

TEST(RecoveryImageTest, OverwriteModesOnASecondRun) {
  IMAGE_OR_SKIP(img, "basic");
  const TempFolder destTemp("rec_modes");
  const std::string dest = destTemp.Path();
  ASSERT_EQ(Dvscan("--recover '" + dest + "' '" + img + "'").rc, 0);
  const std::string vol = dest + "/";
  const std::string small = vol + "small.txt";
  const std::string good = Md5File(small);
  WriteFileText(vol + "small(1).txt", "unrelated");
  WriteFileText(vol + "unrelated.bin", "unrelated");

  // skip: everything skipped, nothing touched.
  WriteFileText(small, "changed");
  DvRun r = Dvscan("--recover '" + dest + "' --overwrite skip '" + img + "'");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts.at("saved"), 0);
  EXPECT_EQ(ReadFileText(small), "changed");

  // rename: a changed file gets "small[1].txt"; identical files fail as
  // "already there" and make no copy.
  r = Dvscan("--recover '" + dest + "' --overwrite rename '" + img + "'");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts.at("saved"), 1);
  EXPECT_EQ(Md5File(vol + "small[1].txt"), good);
  EXPECT_EQ(ReadFileText(small), "changed");
  EXPECT_FALSE(Exists(vol + "plain-link[1].bin"));
  // Again: the next free number.
  WriteFileText(vol + "small[1].txt", "changed too");
  r = Dvscan("--recover '" + dest + "' --overwrite rename '" + img + "'");
  EXPECT_EQ(Md5File(vol + "small[2].txt"), good);

  // newer: an existing file newer than the found one stays; an older one
  // is replaced.
  struct utimbuf future {4102444800, 4102444800};  // 2100
  ASSERT_EQ(utime(small.c_str(), &future), 0);
  r = Dvscan("--recover '" + dest + "' --overwrite newer '" + img + "'");
  EXPECT_EQ(ReadFileText(small), "changed");
  struct utimbuf past {946684800, 946684800};  // 2000
  ASSERT_EQ(utime(small.c_str(), &past), 0);
  r = Dvscan("--recover '" + dest + "' --overwrite newer '" + img + "'");
  EXPECT_EQ(Md5File(small), good);

  // overwrite: replaced through a temporary file and rename(2).
  WriteFileText(small, "changed again");
  r = Dvscan("--recover '" + dest + "' --overwrite overwrite '" + img + "'");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts.at("failed"), 0);
  EXPECT_EQ(Md5File(small), good);

  EXPECT_EQ(ReadFileText(vol + "small(1).txt"), "unrelated");
  EXPECT_EQ(ReadFileText(vol + "unrelated.bin"), "unrelated");
  // No temporary file is left behind.
  const std::string left = ReadFileText(dest + "/Recovery.log");
  for (const char* f : {"TMP"}) {
    FILE* p = popen(("ls '" + vol + "' | grep -c '^" + f + "'").c_str(), "r");
    char b[16] = {};
    fgets(b, sizeof b, p);
    pclose(p);
    EXPECT_EQ(std::string(b), "0\n");
  }
}

TEST(RecoveryImageTest, DeletedOnlyRecoversTheDeletedFiles) {
  IMAGE_OR_SKIP(img, "basic");
  const TempFolder destTemp("rec_deleted");
  const std::string dest = destTemp.Path();
  const DvRun r = Dvscan("--recover '" + dest + "' --deleted-only '" + img + "'");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts.at("saved"), 3);  // gone.txt, gone-small.txt, gonedir/inside.bin
  EXPECT_TRUE(Exists(dest + "/gonedir/inside.bin"));
  EXPECT_FALSE(Exists(dest + "/small.txt"));
}

// A scan that meets unreadable sectors ends with a text saying so (the
// view shows it, a tool exits 1 with it) and logs it; what could be read is
// still found. A clean scan has no such text.
TEST(RecoveryImageTest, ReadErrorsGiveTheScanAnEnding) {
  IMAGE_OR_SKIP(img, "basic");
  for (const bool faulty : {false, true}) {
    SCOPED_TRACE(faulty);
    GlobalObjectsScope scope;
    auto state = std::make_shared<FaultState>();
    // MFT records 40 to 63 (the MFT starts at cluster 4, istat).
    if (faulty) state->bad.push_back({4 * 4096 + 40 * 1024, 4 * 4096 + 64 * 1024});
    SetBlockSourceOpener([state](const std::string& path, bool allowDirect) -> std::unique_ptr<BlockSource> {
      auto inner = FileBlockSource::Open(path, allowDirect);
      if (!inner) return nullptr;
      return std::make_unique<FaultySource>(state, std::move(inner));
    });
    HeadlessView view;
    g_appState->view = &view;
    Drive* drive = ScanDriveImage(img, view);
    SetBlockSourceOpener(nullptr);
    EXPECT_GT(view.found.size(), 10u);
    const std::string ending = ToUtf8(ScanEndingText());
    if (!faulty) {
      EXPECT_EQ(ending, "");
    } else {
      EXPECT_EQ(ending.rfind("Reading " + img + " failed ", 0), 0u) << ending;
      EXPECT_NE(ending.find(", the first in a read from sector "), std::string::npos) << ending;
      EXPECT_NE(ending.find("The scan reached 100% and found " + std::to_string(view.found.size()) + " items"),
                std::string::npos)
          << ending;
      bool logged = false;
      for (const WString& l : view.log) logged |= ToUtf8(l) == ending;
      EXPECT_TRUE(logged);
    }
    delete g_engine;
    g_engine = nullptr;
    DropSendObjs();
    g_currentDrive = nullptr;
    DeleteDrive(&drive);
  }
}

// Unreadable clusters: the drive zero-fills them, the file is reported
// Corrupt (never Saved) with message 476 in the log, and the rest is exact.
TEST(RecoveryImageTest, UnreadableClusterGivesCorrupt) {
  IMAGE_OR_SKIP(img, "basic");
  GlobalObjectsScope scope;
  auto state = std::make_shared<FaultState>();
  // plain.bin's first cluster (istat: 8704), 4096-byte clusters.
  state->bad.push_back({uint64_t(8704) * 4096, uint64_t(8705) * 4096});
  SetBlockSourceOpener([state](const std::string& path, bool allowDirect) -> std::unique_ptr<BlockSource> {
    auto inner = FileBlockSource::Open(path, allowDirect);
    if (!inner) return nullptr;
    return std::make_unique<FaultySource>(state, std::move(inner));
  });
  HeadlessView view;
  g_appState->view = &view;
  Drive* drive = ScanDriveImage(img, view);
  const TempFolder destTemp("rec_corrupt");
  const std::string dest = destTemp.Path();
  std::vector<RecoveryListEntry> list;
  ASSERT_TRUE(FileRecoveryList(view, dest, &list));
  view.SetRecoveryList(list);
  RecoverToFolder(dest, view);
  EXPECT_EQ(g_recoveryTotals.corrupt.load(), 1u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  int corrupt = 0;
  for (const StatusItem& s : view.statuses)
    if (s.status == kStatusCorrupt) corrupt++;
  EXPECT_EQ(corrupt, 1);
  bool said476 = false;
  for (const WString& l : view.log)
    if (ToUtf8(l).find(" corrupt cluster(s) were filled with zeroes.") != std::string::npos) said476 = true;
  EXPECT_TRUE(said476);
  // The file is whole in length, zeros where the drive could not read (it
  // retries a failed request in 64 KiB pieces: the piece with the bad
  // cluster is lost), the data after it intact.
  const std::string data = ReadFileText(dest + "/plain-link.bin");
  ASSERT_EQ(data.size(), 100000u);
  EXPECT_EQ(data.substr(0, 4096), std::string(4096, '\0'));
  EXPECT_NE(data.substr(65536, 16), std::string(16, '\0'));
  EXPECT_EQ(Md5File(dest + "/small.txt"), "5ddc2c90a4195dab6ddf7149ed34ebce");
  // Again over the same files in overwrite mode: written through a
  // temporary file and renamed, the damaged file is still Corrupt.
  view.statuses.clear();
  view.SetRecoveryList(list);
  RecoverToFolder(dest, view, kOverwriteReplace);
  EXPECT_EQ(g_recoveryTotals.corrupt.load(), 1u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  corrupt = 0;
  for (const StatusItem& s : view.statuses)
    if (s.status == kStatusCorrupt) corrupt++;
  EXPECT_EQ(corrupt, 1);
  EXPECT_EQ(ReadFileText(dest + "/plain-link.bin").size(), 100000u);
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
  SetBlockSourceOpener(nullptr);
}

TEST(RecoveryDriverTest, RenamedCandidates) {
  EXPECT_EQ(RenamedCandidate(u"/d/a/b.txt", 1), u"/d/a/b[1].txt");
  EXPECT_EQ(RenamedCandidate(u"/d/a/b", 1), u"/d/a/b[1]");
  EXPECT_EQ(RenamedCandidate(u"/d/a.x/b", 12), u"/d/a.x/b[12]");
  EXPECT_EQ(RenamedCandidate(u"/d/a/b.tar.gz", 2), u"/d/a/b.tar[2].gz");
}

}  // namespace
