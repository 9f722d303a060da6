// Quick Scans of real NTFS images (tests/fixtures/make_ntfs_scan_image.sh)
// through the headless driver, checked against The Sleuth Kit run on the
// same images.
//
// Normalisation of the comparison with `fls -r -p`:
// - dvscan's path is the relative path the Save command writes (no volume
//   part, "/" separators), as fls -p gives it;
// - fls entries with ":" in the path are streams and named indexes (one
//   found item carries all the streams of its file): dropped;
// - fls's "$OrphanFiles" folder is its own invention (unnamed reserved
//   records 16-23): dropped, and so are the system files at the root (records
//   below 16 whose names begin with "$"), which a Quick Scan never lists, and
//   "(realloc)" names of reused records;
// - fls gives every name of a hard-linked record; the engine lists the
//   record once, under one of them: each fls record (by inode) must be
//   listed under exactly one of its names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "volumes/VolumeSearch.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

std::string ScanImages(std::string* skip) { return FixtureSetFolder("make_ntfs_scan_image.sh", "ntfs-scan", skip); }

#define SCAN_IMAGES_OR_SKIP(var)                               \
  std::string skip_;                                           \
  const std::string var = ScanImages(&skip_);                  \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_;    \
  ASSERT_FALSE(var.empty()) << "make_ntfs_scan_image.sh failed"

struct FlsRecord {
  std::set<std::string> names;
  bool deleted = false;
};

// fls records by inode after the normalisation above.
std::map<uint64_t, FlsRecord> FlsRecords(const std::string& image, bool deletedOnly) {
  std::map<uint64_t, FlsRecord> out;
  std::istringstream in(RunCommand("fls -r -p " + std::string(deletedOnly ? "-d " : "") + "'" + image + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.size() < 4) continue;
    std::string head = line.substr(4, tab - 4);
    const std::string path = line.substr(tab + 1);
    bool deleted = false;
    if (head.rfind("* ", 0) == 0) {
      deleted = true;
      head = head.substr(2);
    }
    if (head.find("(realloc)") != std::string::npos || path.find(':') != std::string::npos ||
        path.rfind("$OrphanFiles", 0) == 0)
      continue;
    const uint64_t inode = std::stoull(head.substr(0, head.find('-')));
    if (inode < 16 && path.find('/') == std::string::npos && path[0] == '$') continue;
    out[inode].names.insert(path);
    out[inode].deleted = deleted;
  }
  return out;
}

// Paths fls gives only with a stream or index name ("$Extend/$Quota:$Q").
std::set<std::string> FlsStreamOwners(const std::string& image) {
  std::set<std::string> out;
  std::istringstream in(RunCommand("fls -r -p '" + image + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    const size_t colon = path.find(':');
    if (colon != std::string::npos) out.insert(path.substr(0, colon));
  }
  return out;
}

// The listing equals fls's after the normalisation.
void ExpectListingMatchesFls(const std::vector<Listed>& items, const std::string& image, bool deletedOnly) {
  const auto fls = FlsRecords(image, deletedOnly);
  const auto streamOwners = FlsStreamOwners(image);
  std::map<std::string, const Listed*> byPath;
  for (const Listed& l : items) {
    if (deletedOnly && !l.deleted) continue;
    EXPECT_TRUE(byPath.emplace(l.path, &l).second) << "listed twice: " << l.path;
  }
  std::set<std::string> matched;
  for (const auto& [inode, rec] : fls) {
    int hits = 0;
    for (const std::string& n : rec.names) {
      auto it = byPath.find(n);
      if (it == byPath.end()) continue;
      hits++;
      matched.insert(n);
      EXPECT_EQ(it->second->deleted, rec.deleted) << n;
    }
    EXPECT_EQ(hits, 1) << "record " << inode << " (" << *rec.names.begin() << ")";
  }
  for (const auto& [path, l] : byPath)
    EXPECT_TRUE(matched.count(path) || (!l->deleted && streamOwners.count(path))) << "not in fls: " << path;
}

TEST(QuickScan, ListingMatchesFlsLiveAndDeleted) {
  SCAN_IMAGES_OR_SKIP(dir);
  const DvscanRun r = Dvscan("'" + dir + "/scan.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.header, "path\tsize\tdeleted\tstatus\tnode\tvolume\tkind");
  ASSERT_GT(r.items.size(), 150u);
  ExpectListingMatchesFls(r.items, dir + "/scan.img", false);
  ExpectListingMatchesFls(r.items, dir + "/scan.img", true);
  // The last line of standard output counts what was listed.
  size_t deleted = 0;
  for (const Listed& l : r.items) deleted += l.deleted;
  const std::string last = r.out.substr(r.out.rfind("items="));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(last, m, std::regex(R"(^items=(\d+) deleted=(\d+) scan_seconds=[0-9.]+\n$)"))) << last;
  EXPECT_EQ(std::stoull(m[1]), r.items.size());
  EXPECT_EQ(std::stoull(m[2]), deleted);
  // Node indexes are distinct.
  std::set<long> nodes;
  for (const Listed& l : r.items) EXPECT_TRUE(nodes.insert(l.node).second) << l.path;
}

// Deleted files: "Good" where The Sleuth Kit finds every data cluster still
// unallocated, "Poor" where it finds none (tests/fixtures/tsk_free_clusters.py).
TEST(QuickScan, GoodPoorAgreesWithTskAllocation) {
  SCAN_IMAGES_OR_SKIP(dir);
  if (!HaveTool("python3") || !HaveTool("blkls")) GTEST_SKIP() << "python3 or sleuthkit missing";
  const DvscanRun r = Dvscan("'" + dir + "/scan.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, std::string> statusByName;
  for (const Listed& l : r.items)
    if (l.deleted) statusByName[l.path.substr(l.path.rfind('/') + 1)] = l.status;
  const CommandRun tsk = RunCommandStatus("python3 '" + std::string(DV_SOURCE_DIR) +
                                          "/tests/fixtures/tsk_free_clusters.py' '" + dir + "/scan.img' 2>/dev/null");
  if (tsk.rc == 77) GTEST_SKIP() << "sleuthkit missing";
  ASSERT_EQ(tsk.rc, 0);
  std::istringstream in(tsk.out);
  std::string line;
  size_t good = 0, poor = 0;
  const std::regex row(R"(^(\d+)\t(\d+)\t(\d+)\t(.+)$)");
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    const uint64_t clusters = std::stoull(m[2]), free = std::stoull(m[3]);
    const std::string path = m[4];
    auto it = statusByName.find(path.substr(path.rfind('/') + 1));
    ASSERT_NE(it, statusByName.end()) << line;
    if (free == clusters) {
      EXPECT_EQ(it->second, "Good") << line;
      good++;
    } else if (free == 0) {
      EXPECT_EQ(it->second, "Poor") << line;
      poor++;
    }
  }
  EXPECT_EQ(good, 9u);
  EXPECT_EQ(poor, 5u);
}

// Record 0 of the $MFT zeroed: the mirror gives the $MFT and everything is
// still listed; both copies zeroed: the message, exit status 1.
TEST(QuickScan, MftRecordZeroFromMirrorAndBothGone) {
  SCAN_IMAGES_OR_SKIP(dir);
  const DvscanRun whole = Dvscan("'" + dir + "/scan.img'");
  const DvscanRun mirror = Dvscan("'" + dir + "/nomft.img'");
  ASSERT_EQ(mirror.rc, 0) << mirror.err;
  ASSERT_EQ(mirror.items.size(), whole.items.size());
  for (size_t i = 0; i < whole.items.size(); i++) EXPECT_EQ(mirror.items[i].path, whole.items[i].path);
  const DvscanRun none = Dvscan("'" + dir + "/nomft2.img'");
  EXPECT_EQ(none.rc, 2) << "nothing found";
  EXPECT_NE(none.err.find("Boot sector not found. Please use the Long Scan."), std::string::npos) << none.err;
  EXPECT_TRUE(none.items.empty());
}

// Two NTFS partitions: the volume table equals mmls's NTFS entries and
// --volume picks one.
TEST(QuickScan, TwoPartitionsVolumeTableAndSelection) {
  SCAN_IMAGES_OR_SKIP(dir);
  const std::string img = dir + "/twoparts.img";
  {
    GlobalObjectsScope scope;
    std::unique_ptr<Drive> drive(CreateDrive(FromUtf8(img)));
    drive->InitDrive(FromUtf8(img));
    NTFSObj engine(drive.get());
    SetupNTFS(engine, ScanRequest{});
    // The engine's volume list is the drive's table.
    EXPECT_EQ(&engine.volumes, &DriveVolumes(*drive)->items);
    std::vector<std::pair<uint64_t, uint64_t>> ours, theirs;
    for (CVol* v : engine.volumes) ours.emplace_back(v->startSector, v->sizeSectors);
    std::istringstream in(RunCommand("mmls '" + img + "' 2>/dev/null"));
    std::string line;
    const std::regex row(R"(^\d+:\s+\d+:\d+\s+(\d+)\s+\d+\s+(\d+)\s+NTFS)");
    while (std::getline(in, line)) {
      std::smatch m;
      if (std::regex_search(line, m, row)) theirs.emplace_back(std::stoull(m[1]), std::stoull(m[2]));
    }
    ASSERT_EQ(theirs.size(), 2u);
    ASSERT_EQ(ours.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(ours[i].first, theirs[i].first);
      EXPECT_LE(ours[i].second, theirs[i].second);  // the volume, within its partition
    }
  }
  const DvscanRun all = Dvscan("'" + img + "'");
  ASSERT_EQ(all.rc, 0) << all.err;
  std::set<std::string> seen;
  for (const Listed& l : all.items) seen.insert(l.path);
  EXPECT_TRUE(seen.count("only1/file1.txt"));
  EXPECT_TRUE(seen.count("only2/file2.txt"));
  const char* const own[2] = {"only1/file1.txt", "only2/file2.txt"};
  for (int v = 0; v < 2; v++) {
    const DvscanRun one = Dvscan("--volume " + std::to_string(v) + " '" + img + "'");
    ASSERT_EQ(one.rc, 0) << one.err;
    ASSERT_FALSE(one.items.empty());
    std::set<std::string> paths;
    for (const Listed& l : one.items) paths.insert(l.path);
    EXPECT_TRUE(paths.count(own[v]));
    EXPECT_FALSE(paths.count(own[1 - v]));
  }
  const DvscanRun bad = Dvscan("--volume 7 '" + img + "'");
  EXPECT_EQ(bad.rc, 1);
  EXPECT_FALSE(bad.err.empty());
}

// Stopping after N items ends cleanly with the status of a stopped run (4),
// in a Quick Scan and in a Long Scan.
TEST(QuickScan, StopAfterItems) {
  SCAN_IMAGES_OR_SKIP(dir);
  for (const char* mode : {"", "--long "}) {
    const DvscanRun stopped = Dvscan(std::string(mode) + "--stop-after 20 '" + dir + "/scan.img'");
    EXPECT_EQ(stopped.rc, 4) << stopped.err;
    EXPECT_EQ(stopped.items.size(), 20u);
    EXPECT_NE(stopped.out.find("items="), std::string::npos);
  }
}

// --skip-headers (a benchmark option) is taken and changes nothing of a
// Quick Scan.
TEST(QuickScan, SkipHeadersOption) {
  SCAN_IMAGES_OR_SKIP(dir);
  const DvscanRun plain = Dvscan("'" + dir + "/scan.img'");
  const DvscanRun skipping = Dvscan("--skip-headers '" + dir + "/scan.img'");
  EXPECT_EQ(skipping.rc, 0) << skipping.err;
  EXPECT_EQ(skipping.items.size(), plain.items.size());
}


struct InProcessScan {
  std::vector<std::pair<uint64_t, uint64_t>> volumes;  // (start, size) of the drive's table
  bool tableIsTheDrives = false;
  size_t items = 0;
  std::vector<int> percents;
  std::vector<WString> log;
};

// A Quick Scan run by the worker as the view runs it.
InProcessScan ScanInProcess(const std::string& image, const ScanSelection& selection) {
  InProcessScan r;
  GlobalObjectsScope scope;
  PercentView view;
  g_appState->view = &view;
  Drive* drive = ScanDriveImage(image, view, selection);
  if (g_engine) {
    r.tableIsTheDrives = DriveVolumes(*drive) && &g_engine->volumes == &DriveVolumes(*drive)->items;
    for (CVol* v : g_engine->volumes) {
      EXPECT_EQ(v->engine, g_engine);
      r.volumes.emplace_back(v->startSector, v->sizeSectors);
    }
  }
  r.items = view.found.size();
  r.percents = view.percents;
  r.log = view.log;
  delete g_engine;
  g_engine = nullptr;
  // The volumes stay with the drive and no longer name the engine.
  for (uint32_t i = 0; i < VolumeCount(*drive); i++) EXPECT_EQ(VolumeAt(*drive, i)->engine, nullptr);
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
  return r;
}

// Progress never goes back and ends at 100, on one volume and on two.
TEST(QuickScan, ProgressReachesOneHundred) {
  SCAN_IMAGES_OR_SKIP(dir);
  for (const char* name : {"scan.img", "twoparts.img"}) {
    const InProcessScan r = ScanInProcess(dir + "/" + name, ScanSelection{});
    EXPECT_TRUE(r.tableIsTheDrives) << name;
    ASSERT_GT(r.items, 0u) << name;
    ASSERT_FALSE(r.percents.empty()) << name;
    for (size_t i = 1; i < r.percents.size(); i++) EXPECT_LE(r.percents[i - 1], r.percents[i]) << name << " " << i;
    EXPECT_EQ(r.percents.back(), 100) << name;
  }
}

// An NTFS volume 3 MiB into a disk without a partition table, beyond the
// places the volume search probes: the scan's own 2 MiB search from the
// selection's start sector finds it; from sector 0 only the default volume
// (over the whole drive, no $MFT there) is left, and a selection that
// forbids it has no volume at all.
TEST(QuickScan, TwoMiBSearchFromTheStartSectorAndDefaultVolume) {
  SCAN_IMAGES_OR_SKIP(dir);
  const TempFolder temp("offset");
  const std::string img = temp.Path() + "/offset.img";
  constexpr uint64_t kMiB = 1 << 20;
  constexpr uint64_t kOffset = 3 * kMiB;
  {
    const int in = open((dir + "/scan.img").c_str(), O_RDONLY);
    const int out = open(img.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    std::vector<char> buf(kMiB);
    uint64_t at = 0;
    for (ssize_t n; (n = read(in, buf.data(), buf.size())) > 0; at += uint64_t(n))
      ASSERT_EQ(pwrite(out, buf.data(), size_t(n), off_t(kOffset + at)), n);
    // 12 MiB of nothing after it: the probes of the drive's last 8 MiB do
    // not reach the volume's backup boot sector.
    ASSERT_EQ(ftruncate(out, off_t(kOffset + at + 12 * kMiB)), 0);
    close(in);
    close(out);
  }
  const uint64_t driveSectors = (kOffset + 64 * kMiB + 12 * kMiB) / 512;
  const InProcessScan whole = ScanInProcess(dir + "/scan.img", ScanSelection{});

  ScanSelection from;
  from.startSector = 5000;  // the 2 MiB from here hold the boot sector at 6144
  const InProcessScan found = ScanInProcess(img, from);
  ASSERT_EQ(found.volumes.size(), 1u);
  EXPECT_EQ(found.volumes[0].first, kOffset / 512);
  EXPECT_EQ(found.items, whole.items);
  ScanSelection overridden;
  overridden.startSector = 0;
  overridden.overrideStart = 5000;
  EXPECT_EQ(ScanInProcess(img, overridden).items, whole.items);

  const InProcessScan none = ScanInProcess(img, ScanSelection{});
  ASSERT_EQ(none.volumes.size(), 1u);
  EXPECT_EQ(none.volumes[0], std::make_pair(uint64_t(0), driveSectors));
  EXPECT_EQ(none.items, 0u);

  ScanSelection forbid;
  forbid.forbidDefaultVolume = 1;
  EXPECT_TRUE(ScanInProcess(img, forbid).volumes.empty());
}

}  // namespace
