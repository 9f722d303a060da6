// Long Scans of damaged NTFS images (tests/fixtures/make_ntfs_damaged.sh)
// and of the intact scan images through the headless driver, compared with
// The Sleuth Kit's listing of each image from before the damage.
//
// Normalisation of `fls -r -p` lines: regular files only ("r/r"), live
// ones only, no streams (":" in the path), no system files ("$" names);
// the path as fls gives it, relative to the volume, "/" separators, which
// is what dvscan's list gives too.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <mutex>
#include <thread>

#include "engine/Engine.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/SectRanges.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace {

std::string DamagedImages(std::string* skip) {
  return FixtureSetFolder("make_ntfs_damaged.sh", "ntfs-damaged", skip);
}

std::string ScanImages(std::string* skip) { return FixtureSetFolder("make_ntfs_scan_image.sh", "ntfs-scan", skip); }

#define IMAGES_OR_SKIP(var, maker)                          \
  std::string skip_;                                        \
  const std::string var = maker(&skip_);                    \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << #maker " failed"

struct FlsFile {
  uint64_t record = 0;
  uint64_t size = 0;  // with -l only
};

// Live regular files (or, with `type` "d/d ", folders) of an fls listing
// (text of `fls -r -p [-l]`) by path.
std::map<std::string, FlsFile> FlsLiveFiles(const std::string& text, bool withSizes, const char* type = "r/r ") {
  std::map<std::string, FlsFile> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(type, 0) != 0) continue;
    if (line.compare(4, 2, "* ") == 0) continue;  // deleted
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) f.push_back(col);
    if (f.size() < 2) continue;
    const std::string& path = f[1];
    if (path.find(':') != std::string::npos) continue;
    const std::string leaf = path.substr(path.rfind('/') + 1);
    if (!leaf.empty() && leaf[0] == '$') continue;
    FlsFile file;
    file.record = std::stoull(f[0].substr(4));
    if (withSizes && f.size() >= 7) file.size = std::stoull(f[6]);
    out[path] = file;
  }
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::multiset<std::string> PathsOf(const DvscanRun& r) {
  std::multiset<std::string> out;
  for (const Listed& l : r.items) out.insert(l.path);
  return out;
}

// Every line of the listing as one text, in listing order.
std::vector<std::string> Lines(const DvscanRun& r) {
  std::vector<std::string> out;
  for (const Listed& l : r.items)
    out.push_back(l.path + "\t" + std::to_string(l.size) + "\t" + (l.deleted ? "1" : "0") + "\t" + l.status);
  return out;
}

// With `userFilesOnly`, system files ("$" names) are not compared: two
// volumes of one disk each have their own.
void ExpectNothingTwice(const DvscanRun& r, bool userFilesOnly = false) {
  std::set<std::string> seen;
  for (const Listed& l : r.items) {
    if (userFilesOnly && l.path.find('$') != std::string::npos) continue;
    EXPECT_TRUE(seen.insert(l.path).second) << "listed twice: " << l.path;
  }
}

}  // namespace

// An intact volume: the Long Scan lists what the Quick Scan lists and the
// system files besides, nothing twice; neither the overlap of reading and
// classifying nor the threads that test the sectors change anything.
TEST(LongScan, IntactVolumeIsQuickPlusSystemFiles) {
  IMAGES_OR_SKIP(dir, ScanImages);
  const std::string img = "'" + dir + "/scan.img'";
  const DvscanRun quick = Dvscan(img);
  const DvscanRun lng = Dvscan("--long --threads 4 " + img);
  const DvscanRun serial = Dvscan("--long --no-overlap --threads 1 " + img);
  ASSERT_EQ(quick.rc, 0) << quick.err;
  ASSERT_EQ(lng.rc, 0) << lng.err;
  ASSERT_EQ(serial.rc, 0) << serial.err;
  ExpectNothingTwice(lng);
  std::multiset<std::string> extra = PathsOf(lng);
  for (const std::string& p : PathsOf(quick)) {
    auto it = extra.find(p);
    ASSERT_NE(it, extra.end()) << "missing from the Long Scan: " << p;
    extra.erase(it);
  }
  for (const std::string& p : extra) EXPECT_TRUE(p[0] == '$' && p.find('/') == std::string::npos) << p;
  EXPECT_GE(extra.size(), 10u);
  EXPECT_EQ(Lines(lng), Lines(serial));
}

// A quick reformat over a filled volume: most old files come back with
// their old path and size; those whose folder chain is gone land under
// "Extra files/FolderN".
TEST(LongScan, ReformattedVolumeGivesOldPathsAndSizes) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  for (const char* name : {"reformat", "reformat8k"}) {
    SCOPED_TRACE(name);
    const std::string fls = std::string(name) == "reformat" ? "filled.fls" : "reformat8k.fls";
    const auto before = FlsLiveFiles(ReadAll(dir + "/" + fls), true);
    ASSERT_GT(before.size(), 1700u);
    const DvscanRun quick = Dvscan("'" + dir + "/" + name + ".img'");
    ASSERT_EQ(quick.rc, 0) << quick.err;
    size_t quickOld = 0;
    for (const Listed& l : quick.items) quickOld += before.count(l.path);
    EXPECT_EQ(quickOld, 0u);
    const DvscanRun lng = Dvscan("--long '" + dir + "/" + name + ".img'");
    ASSERT_EQ(lng.rc, 0) << lng.err;
    ExpectNothingTwice(lng);
    size_t same = 0, extra = 0;
    for (const Listed& l : lng.items) {
      auto it = before.find(l.path);
      if (it != before.end() && it->second.size == l.size) same++;
      if (l.path.rfind("Extra files/Folder", 0) == 0) extra++;
    }
    const double share = double(same) / double(before.size());
    std::printf("%s: %zu of %zu old files with old path and size (%.3f), %zu under Extra files\n", name, same,
                before.size(), share, extra);
    EXPECT_GE(share, 0.95);
  }
}

// The $MFT's first records, their mirror and a block of file records
// wiped: the Quick Scan gives up with message 424; the Long Scan lists
// every surviving file under its path.
TEST(LongScan, WipedMftListsEverySurvivor) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const std::string img = "'" + dir + "/wiped.img'";
  const DvscanRun quick = Dvscan(img);
  EXPECT_EQ(quick.rc, 2) << "nothing found";
  EXPECT_NE(quick.err.find("Boot sector not found. Please use the Long Scan."), std::string::npos) << quick.err;
  const auto before = FlsLiveFiles(ReadAll(dir + "/filled.fls"), true);
  std::set<uint64_t> wiped;
  for (const std::string& r : [&] {
         std::vector<std::string> v;
         std::istringstream in(ReadAll(dir + "/wiped.list"));
         for (std::string w; in >> w;) v.push_back(w);
         return v;
       }())
    wiped.insert(std::stoull(r));
  ASSERT_EQ(wiped.size(), 30u);  // every live file of d07
  const DvscanRun lng = Dvscan("--long " + img);
  ASSERT_EQ(lng.rc, 0) << lng.err;
  ExpectNothingTwice(lng);
  std::map<std::string, const Listed*> listed;
  for (const Listed& l : lng.items) listed[l.path] = &l;
  size_t survivors = 0;
  for (const auto& [path, f] : before) {
    if (wiped.count(f.record)) {
      EXPECT_FALSE(listed.count(path)) << path;
      continue;
    }
    survivors++;
    auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << "survivor not listed: " << path;
    EXPECT_EQ(it->second->size, f.size) << path;
  }
  EXPECT_GT(survivors, 1700u);
}

namespace {

// The volume table of a saved session (type, first sector, sector count)
// and the volume index of each node.
struct SessionTables {
  struct Volume {
    int type = 0;
    uint64_t start = 0, count = 0;
  };
  std::vector<Volume> volumes;
  std::map<long, long> nodeVolume;
};

SessionTables ReadSessionTables(const std::string& file) {
  SessionTables t;
  std::istringstream in(ReadAll(file));
  std::string line;
  auto next = [&] {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  while (next() && line.rfind("Partitions: ", 0) != 0) {
  }
  if (line.rfind("Partitions: ", 0) != 0) return t;
  // A volume is a line of numbers and a line with its name.
  for (int n = std::stoi(line.substr(12)); n > 0 && next(); n--) {
    std::istringstream words(line);
    SessionTables::Volume v;
    words >> v.type >> v.start >> v.count;
    t.volumes.push_back(v);
    next();
  }
  while (next()) {
    if (line.rfind("i=", 0) != 0) continue;
    std::istringstream words(line.substr(2));
    long index = -1, volume = -1;
    words >> index >> volume;
    t.nodeVolume[index] = volume;
  }
  return t;
}

// "path<TAB>md5" lines (of the fixture or of md5sum run over a folder, with
// its "./" dropped) by path.
std::map<std::string, std::string> Md5sByPath(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) {
      out[line.substr(0, tab)] = line.substr(tab + 1);
    } else if (line.size() > 36 && line.compare(32, 4, "  ./") == 0) {
      out[line.substr(36)] = line.substr(0, 32);
    }
  }
  return out;
}

}  // namespace

// Partition table and boot sectors gone. lost.img: the volume at 63 comes
// back from its system records (its backup boot sector, met later, names
// the same volume), the one at 32768 (no boot sector left) from its system
// records only, though they lie on the default volume's grid; lost4k.img: a
// volume of 4096-byte sectors at 2049 of a disk of 512-byte sectors, from
// its system records (4096 bytes, straddling the 1 MiB reads). Each volume
// is in the table at its start and holds the files and folders fls listed
// there before, under their paths, once, none under "Extra files", with the
// overlap on and off; the saved session loads with the same list, and the
// files recover, after the scan and after the load, with icat's md5s from
// before.
TEST(LongScan, LostPartitionsListAsBefore) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  struct Case {
    const char* image;
    std::vector<uint64_t> starts;
    std::map<uint64_t, uint64_t> sectors;  // start -> 512-byte sectors
  };
  for (const Case& c : {Case{"lost", {63, 32768}, {{63, 29992}, {32768, 39992}}}, Case{"lost4k", {2049}, {{2049, 23992}}}}) {
    SCOPED_TRACE(c.image);
    const std::string img = "'" + dir + "/" + c.image + ".img'";
    const TempFolder temp("longscan");
    const std::string t = temp.Path();
    const DvscanRun lng =
        Dvscan("--long --threads 4 --save-session '" + t + "/s.dvs' --recover '" + t + "/scan' " + img);
    // The system files are listed, never saved (exit 1).
    ASSERT_TRUE(lng.rc == 0 || lng.rc == 1) << lng.err;
    const DvscanRun serial = Dvscan("--long --no-overlap --threads 1 " + img);
    ASSERT_EQ(serial.rc, 0) << serial.err;
    EXPECT_EQ(Lines(serial), Lines(lng));
    const DvscanRun loaded = Dvscan("--load-session '" + t + "/s.dvs' --recover '" + t + "/load'");
    ASSERT_TRUE(loaded.rc == 0 || loaded.rc == 1) << loaded.err;
    EXPECT_EQ(Lines(loaded), Lines(lng));
    // Each volume has its own system files.
    ExpectNothingTwice(lng, c.starts.size() > 1);
    for (const Listed& l : lng.items) EXPECT_NE(l.path.rfind("Extra files/", 0), 0u) << l.path;

    const SessionTables tables = ReadSessionTables(t + "/s.dvs");
    std::map<std::string, const Listed*> listed;
    for (const Listed& l : lng.items) listed[l.path] = &l;
    const auto scanned = Md5sByPath(RunCommand("cd '" + t + "/scan' && find . -type f -print0 | xargs -0 -r md5sum"));
    const auto reloaded = Md5sByPath(RunCommand("cd '" + t + "/load' && find . -type f -print0 | xargs -0 -r md5sum"));
    for (const uint64_t start : c.starts) {
      SCOPED_TRACE(start);
      const std::string at = "." + std::to_string(start);
      long volume = -1;
      for (size_t v = 0; v < tables.volumes.size(); v++)
        if (tables.volumes[v].type == 1 && tables.volumes[v].start == start && tables.volumes[v].count) volume = long(v);
      EXPECT_GE(volume, 0) << "no NTFS volume at " << start;
      // Every cluster of the volume is inside it (mkntfs made 3749, 4999 and
      // 2999 clusters of 4096 bytes; the last lies past twice the mirror's
      // place).
      if (volume >= 0) EXPECT_EQ(tables.volumes[size_t(volume)].count, c.sectors.at(start)) << start;
      const std::string fls = ReadAll(dir + "/" + c.image + ".fls" + at);
      const auto files = FlsLiveFiles(fls, false);
      const auto folders = FlsLiveFiles(fls, false, "d/d ");
      ASSERT_EQ(files.size(), c.starts.size() > 1 ? 100u : 40u);
      ASSERT_EQ(folders.size(), c.starts.size() > 1 ? 10u : 8u);
      for (const auto* set : {&files, &folders}) {
        for (const auto& [path, f] : *set) {
          auto it = listed.find(path);
          if (it == listed.end()) {
            ADD_FAILURE() << "not listed: " << path;
            continue;
          }
          auto node = tables.nodeVolume.find(it->second->node);
          EXPECT_TRUE(node != tables.nodeVolume.end() && node->second == volume) << path;
        }
      }
      const auto md5s = Md5sByPath(ReadAll(dir + "/" + c.image + ".md5" + at));
      ASSERT_EQ(md5s.size(), files.size());
      for (const auto& [path, md5] : md5s) {
        auto s = scanned.find(path), l = reloaded.find(path);
        EXPECT_TRUE(s != scanned.end() && s->second == md5) << "after the scan: " << path;
        EXPECT_TRUE(l != reloaded.end() && l->second == md5) << "after the load: " << path;
      }
    }
  }
}

// Files of the reformatted volume whose clusters The Sleuth Kit shows
// unallocated there (blkstat) are saved with the md5 that icat gives on
// the image from before the reformat.
TEST(LongScan, ReformattedFilesRecoverWithTheirOldContent) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const CommandRun tsk = RunCommandStatus("python3 '" + std::string(DV_SOURCE_DIR) +
                                          "/tests/fixtures/tsk_reformat_survivors.py' '" + dir + "/filled.img' '" +
                                          dir + "/reformat.img' 30 2>/dev/null");
  if (tsk.rc == 77) GTEST_SKIP() << "sleuthkit missing";
  ASSERT_EQ(tsk.rc, 0);
  std::map<std::string, std::string> want;  // path -> md5
  std::istringstream in(tsk.out);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) want[line.substr(tab + 1)] = line.substr(0, tab);
  }
  ASSERT_GE(want.size(), 15u) << tsk.out;
  const TempFolder out("longscan");
  const std::string dest = out.Path() + "/saved";
  const DvscanRun r = Dvscan("--long --recover '" + dest + "' '" + dir + "/reformat.img'");
  // The Long Scan lists the system files, which are never saved (exit 1).
  ASSERT_TRUE(r.rc == 0 || r.rc == 1) << r.err;
  for (const auto& [path, md5] : want) {
    const std::string got = RunCommand("md5sum < '" + dest + "/" + path + "' 2>/dev/null | cut -c1-32");
    EXPECT_EQ(got.substr(0, 32), md5) << path;
  }
}

// A range: progress still ends at 100 and only the range's records are
// listed; excluded sectors are never read (the excluded MFT's records are
// not found).
TEST(LongScan, RangeAndExclusions) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const std::string img = "'" + dir + "/wiped.img'";
  const DvscanRun whole = Dvscan("--long " + img);
  ASSERT_EQ(whole.rc, 0) << whole.err;
  // The records lie inside the first 16 MiB of this volume.
  const DvscanRun none = Dvscan("--long --range 32768:131071 " + img);
  ASSERT_EQ(none.rc, none.items.empty() ? 2 : 0) << none.err;
  EXPECT_LT(none.items.size(), whole.items.size() / 10);
  const TempFolder exFolder("longscan");
  const std::string ex = exFolder.Path() + "/exclude";
  WriteFileText(ex, "0 32767\n");
  const DvscanRun excluded = Dvscan("--long --exclude '" + ex + "' " + img);
  const DvscanRun ranged = Dvscan("--long --range 32768:131071 " + img);
  std::remove(ex.c_str());
  ASSERT_EQ(excluded.rc, excluded.items.empty() ? 2 : 0) << excluded.err;
  EXPECT_EQ(Lines(excluded), Lines(ranged));
  const DvscanRun bad = Dvscan("--long --range 9:3 " + img);
  EXPECT_EQ(bad.rc, 1);
  EXPECT_NE(bad.err.find("--range"), std::string::npos) << bad.err;
}

// The path filter: a folder prefix and a pattern admit what fls lists
// there.
TEST(LongScan, PathFilterEqualsFilteredFls) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const auto before = FlsLiveFiles(ReadAll(dir + "/filled.fls"), false);
  const DvscanRun prefix = Dvscan("--filter '\\d07\\a\\' '" + dir + "/filled.img'");
  ASSERT_EQ(prefix.rc, 0) << prefix.err;
  std::set<std::string> want, got;
  for (const auto& [path, f] : before)
    if (path.rfind("d07/a/", 0) == 0) want.insert(path);
  // Folders are listed too; fls's regular files are compared.
  for (const Listed& l : prefix.items)
    if (l.path.find('$') == std::string::npos && l.path.find(".dat") != std::string::npos) got.insert(l.path);
  EXPECT_EQ(got, want);
  const DvscanRun pattern = Dvscan("--long --filter '*f0001?.dat' '" + dir + "/reformat.img'");
  ASSERT_EQ(pattern.rc, 0) << pattern.err;
  ASSERT_FALSE(pattern.items.empty());
  for (const Listed& l : pattern.items) {
    const std::string leaf = l.path.substr(l.path.rfind('/') + 1);
    EXPECT_TRUE(leaf.size() == 10 && leaf.rfind("f0001", 0) == 0) << l.path;
  }
}

// 64 MiB of random bytes hold nothing.
TEST(LongScan, RandomBytesHoldNothing) {
  const TempFolder imgFolder("longscan");
  const std::string img = imgFolder.Path() + "/random.img";
  RunCommand("head -c 67108864 /dev/urandom >'" + img + "'");
  const DvscanRun r = Dvscan("--long '" + img + "'");
  std::remove(img.c_str());
  EXPECT_EQ(r.rc, 2) << r.err << " (nothing found)";
  EXPECT_TRUE(r.items.empty());
}


namespace {

struct LongRun {
  std::vector<FaultState::Call> calls;  // what reached the device
  std::multiset<std::string> found;     // folder path + name
};

// A Long Scan in process, as the view runs it, with the settings as `setup`
// leaves them and the drive as `onDrive` leaves it.
LongRun LongScanInProcess(const std::string& image, HeadlessView& view, const std::function<void()>& setup,
                          const std::function<void(Drive&)>& onDrive = {}) {
  LongRun r;
  auto state = std::make_shared<FaultState>();
  GlobalObjectsScope scope;
  FaultyOpener opener(state);
  g_appState->view = &view;
  setup();
  const WString name = FromUtf8(image);
  Drive* drive = CreateDrive(name);
  drive->InitDrive(name);
  if (onDrive) onDrive(*drive);
  ScanRequest request;
  request.drive = drive;
  request.selection.scanMode = 1;
  std::thread([&] { RunScan(request, &view); }).join();
  r.calls = state->Calls();
  for (const FoundItem& f : view.found) r.found.insert(ToUtf8(f.folderPath + u"\\" + f.name));
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
  return r;
}

}  // namespace

// In process: sectors excluded by the user never reach the device (its
// calls are counted), and progress runs over the chosen range, rising to
// 100.
TEST(LongScan, ExcludedSectorsAreNeverReadAndProgressCoversTheRange) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  constexpr uint64_t kMiB = 1 << 20;
  PercentView view;
  const LongRun r = LongScanInProcess(
      dir + "/wiped.img", view,
      [] {
        g_appState->longScanFirstSector = 4 * kMiB / 512;
        g_appState->longScanLastSector = 60 * kMiB / 512 - 1;
      },
      [](Drive& drive) {
        auto excluded = std::make_shared<CSectRanges>();
        excluded->AddRange(16 * kMiB, 48 * kMiB);
        drive.SetExclusionSet(excluded);
      });
  for (const FaultState::Call& c : r.calls)
    EXPECT_TRUE(c.offset + c.length <= 16 * kMiB || c.offset >= 48 * kMiB) << c.offset << " " << c.length;
  ASSERT_FALSE(view.percents.empty());
  for (size_t i = 1; i < view.percents.size(); i++) EXPECT_LE(view.percents[i - 1], view.percents[i]) << i;
  EXPECT_EQ(view.percents.back(), 100);
  // Steps in the middle of the pass were shown, not only its end.
  EXPECT_TRUE(std::any_of(view.percents.begin(), view.percents.end(), [](int p) { return p > 10 && p < 80; }));
}

// FILE records cut by the end of a read are joined with the next read and
// listed once; a record that ends exactly at a read's end needs no join.
TEST(LongScan, RecordsAcrossReadsAreJoinedOnce) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const TempFolder imgFolder("longscan");
  const std::string img = imgFolder.Path() + "/carry.img";
  // Three records of filled.img (the files f00001, f00002, f00003) put
  // 512 bytes before the 1 MiB boundary, right before the 2 MiB one and
  // 512 bytes before the 3 MiB one, in 4 MiB of zeros.
  const std::string script = R"(
import struct, sys
src, dst = sys.argv[1], sys.argv[2]
data = open(src, 'rb').read()
found = {}
for at in range(0, len(data), 1024):
    if data[at:at + 4] != b'FILE' or struct.unpack_from('<H', data, at + 22)[0] != 1: continue  # live files only
    for n in (1, 2, 3):
        if ('f%05d.dat' % n).encode('utf-16-le') in data[at:at + 1024] and n not in found: found[n] = at
out = bytearray(4 << 20)
M = 1 << 20
for n, place in ((1, M - 512), (2, 2 * M - 1024), (3, 3 * M - 512)):
    out[place:place + 1024] = data[found[n]:found[n] + 1024]
open(dst, 'wb').write(out)
)";
  WriteFileText(img + ".py", script);
  RunCommand("python3 '" + img + ".py' '" + dir + "/filled.img' '" + img + "'");
  const DvscanRun r = Dvscan("--long '" + img + "'");
  std::remove((img + ".py").c_str());
  std::remove(img.c_str());
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, int> count;
  for (const Listed& l : r.items) count[l.path.substr(l.path.rfind('/') + 1)]++;
  for (const char* leaf : {"f00001.dat", "f00002.dat", "f00003.dat"}) EXPECT_EQ(count[leaf], 1) << leaf;
  EXPECT_EQ(r.items.size(), 3u);
}

// A folder record zeroed inside an intact $MFT: its files, and the folders
// below it, are listed under "Extra files/Folder<record>" by the Quick
// Scan; the Long Scan names the folder again from its parent's index (d04
// holds only "a": the entry lies in the $INDEX_ROOT of d04's record) and
// lists them at their old paths.
TEST(FolderPaths, BrokenChainUnderExtraFiles) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const std::string fls = ReadAll(dir + "/filled.fls");
  const size_t at = fls.find("\td04/a\t");
  ASSERT_NE(at, std::string::npos);
  const size_t lineStart = fls.rfind('\n', at) + 1;
  const uint64_t record = std::stoull(fls.substr(lineStart + 4));
  const TempFolder imgFolder("longscan");
  const std::string img = imgFolder.Path() + "/broken.img";
  RunCommand("cp '" + dir + "/filled.img' '" + img + "'");
  const std::string script = R"(
import struct, sys
path, r = sys.argv[1], int(sys.argv[2])
with open(path, 'r+b') as f:
    b = f.read(512)
    cs = struct.unpack_from('<H', b, 11)[0] * b[13]
    mft = struct.unpack_from('<Q', b, 48)[0]
    f.seek(mft * cs + r * 1024); f.write(b'\0' * 1024)
)";
  WriteFileText(img + ".py", script);
  RunCommand("python3 '" + img + ".py' '" + img + "' " + std::to_string(record));
  const DvscanRun quick = Dvscan("'" + img + "'");
  const DvscanRun lng = Dvscan("--long '" + img + "'");
  std::remove((img + ".py").c_str());
  std::remove(img.c_str());
  const auto before = FlsLiveFiles(fls, false);
  const std::string extra = "Extra files/Folder" + std::to_string(record) + "/";
  for (const DvscanRun* r : {&quick, &lng}) {
    ASSERT_EQ(r->rc, 0) << r->err;
    std::set<std::string> listed;
    for (const Listed& l : r->items) listed.insert(l.path);
    size_t moved = 0;
    for (const auto& [path, f] : before) {
      if (path.rfind("d04/a/", 0) != 0) {
        EXPECT_TRUE(listed.count(path)) << path;
        continue;
      }
      EXPECT_TRUE(listed.count(r == &quick ? extra + path.substr(6) : path)) << path;
      moved++;
    }
    EXPECT_EQ(moved, 30u);
  }
  for (const Listed& l : lng.items) EXPECT_NE(l.path.rfind(extra, 0), 0u) << l.path;
}

// Recycle bins: the newer bin's item ($I record and $R file), an item inside
// a recycled folder, and the older bin's item named by INFO2 are listed under
// their original paths, in both scans; the bins' own records are not listed.
TEST(RecycleBin, ItemsUnderTheirOriginalPaths) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  std::map<std::string, uint64_t> expect;
  {
    std::istringstream in(ReadAll(dir + "/recycle.expect"));
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      expect[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
    }
  }
  ASSERT_EQ(expect.size(), 3u);
  for (const char* mode : {"", "--long "}) {
    SCOPED_TRACE(mode);
    const DvscanRun r = Dvscan(std::string(mode) + "'" + dir + "/recycle.img'");
    ASSERT_EQ(r.rc, 0) << r.err;
    ExpectNothingTwice(r);
    std::map<std::string, uint64_t> listed;
    for (const Listed& l : r.items) listed[l.path] = l.size;
    for (const auto& [path, size] : expect) {
      ASSERT_TRUE(listed.count(path)) << path;
      EXPECT_EQ(listed[path], size) << path;
    }
    for (const Listed& l : r.items) {
      const std::string leaf = l.path.substr(l.path.rfind('/') + 1);
      for (const char* inBin : {"$RAB12CD.txt", "$IAB12CD.txt", "$RFOLD01", "$IFOLD01", "INFO2", "Dc1.txt"})
        EXPECT_NE(leaf, inBin) << l.path;
    }
  }
}


// A binary skip map made by one run lets the next run read fewer chunks
// and list the same.
TEST(LongScan, SkipMapCreateThenVerify) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const TempFolder mapFolder("longscan");
  const std::string map = mapFolder.Path() + "/skipmap.bin";
  auto use = [&](int create) {
    return [&map, create] {
      g_appState->skipMaps = {SkipMapOption{FromUtf8(map)}};
      g_appState->skipMapsBinary = 1;
      g_appState->skipMapsCreate = create;
    };
  };
  HeadlessView views[3];
  const LongRun plain = LongScanInProcess(dir + "/wiped.img", views[0], [] {});
  const LongRun create = LongScanInProcess(dir + "/wiped.img", views[1], use(1));
  const LongRun verify = LongScanInProcess(dir + "/wiped.img", views[2], use(0));
  std::remove(map.c_str());
  ASSERT_GT(plain.found.size(), 1700u);
  EXPECT_EQ(create.found, plain.found);
  EXPECT_EQ(verify.found, plain.found);
  EXPECT_LT(verify.calls.size(), create.calls.size()) << verify.calls.size() << " of " << create.calls.size();
}

// MD5 of every block of the range, as Python's hashlib gives them.
TEST(LongScan, Md5SegmentsEqualHashlib) {
  IMAGES_OR_SKIP(dir, DamagedImages);
  const TempFolder out8Folder("longscan");
  const std::string out8 = out8Folder.Path() + "/md5-8";
  const TempFolder out24Folder("longscan");
  const std::string out24 = out24Folder.Path() + "/md5-24";
  HeadlessView view;
  LongScanInProcess(dir + "/lost.img", view, [&] {
    g_appState->md5Outputs = {Md5Output{8, FromUtf8(out8)}, Md5Output{24, FromUtf8(out24)}};
  });
  for (const auto& [file, block] : {std::pair{out8, 8}, std::pair{out24, 24}}) {
    const std::string want = RunCommand("python3 -c \"import hashlib,sys\nd=open(sys.argv[1],'rb').read()\nb=" +
                                        std::to_string(block * 512) +
                                        "\nsys.stdout.write(''.join(hashlib.md5(d[i:i+b]).hexdigest() for i in "
                                        "range(0,len(d),b)))\" '" + dir + "/lost.img'");
    const std::string got = RunCommand("od -An -v -tx1 '" + file + "' | tr -d ' \\n'");
    std::remove(file.c_str());
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(got.size(), want.size()) << block;
    EXPECT_TRUE(got == want) << block;
  }
}
