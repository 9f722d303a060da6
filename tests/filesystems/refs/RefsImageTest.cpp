// ReFS 1.x images that make_refs.py writes (tests/fixtures/make_refs.sh).
// Nothing here reads ReFS but this reader: what dvscan lists and recovers
// is held against the generator's manifest, which the reader's author did
// not write, so these prove the reader follows its description and fails
// safely, not that it reads volumes Windows wrote.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/Manifest.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

#define NEED_IMAGES()                                           \
  static const std::string dir = FixtureFolder("make_refs.sh"); \
  if (dir.empty()) GTEST_SKIP() << "make_refs.sh: python3, file or util-linux missing";

struct Entry {
  std::string kind, md5;
  bool deleted = false;
  uint64_t size = 0;
  uint64_t time = 0;  // FILETIME
};

std::map<std::string, Entry> Manifest(const std::string& file) {
  std::map<std::string, Entry> out;
  for (const ManifestEntry& m : ReadManifest(file)) {
    Entry e;
    e.kind = m.fields[0];
    e.deleted = m.fields[1] == "1";
    e.size = std::stoull(m.fields[2]);
    e.md5 = m.fields[3];
    e.time = std::stoull(m.fields[4]);
    out[m.path] = e;
  }
  return out;
}

long MTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? long(st.st_mtime) : -1;
}

std::set<std::pair<std::string, uint64_t>> PathsAndSizes(const DvscanRun& r) {
  std::set<std::pair<std::string, uint64_t>> out;
  for (const Listed& l : r.items) out.insert({l.path, l.size});
  return out;
}

struct Recovered {
  DvscanRun run;
  std::string dest, log;
};

Recovered Recover(const TempFolder& temp, const std::string& args) {
  Recovered r;
  r.dest = temp.Path() + "/out";
  r.run = Dvscan("--recover '" + r.dest + "' " + args);
  r.log = ReadFileText(r.dest + "/Recovery.log");
  return r;
}

void Patch(const std::string& file, uint64_t at, const std::vector<uint8_t>& bytes) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> Le64Bytes(uint64_t v) {
  std::vector<uint8_t> b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}

// Lists and recovers the image: the listing is the manifest (files and
// folders, deleted ones marked), each once; every file comes back with its
// md5 and time.
void ListAndRecover(const std::string& dir, const std::string& name) {
  SCOPED_TRACE(name);
  const TempFolder temp("refs_recover");
  const Recovered r = Recover(temp, "'" + dir + "/" + name + ".img'");
  ASSERT_EQ(r.run.rc, 0) << r.run.err;
  const std::map<std::string, Entry> manifest = Manifest(dir + "/" + name + ".tsv");
  std::map<std::string, bool> listed;
  for (const Listed& l : r.run.items) listed[l.path] = l.deleted;
  EXPECT_EQ(listed.size(), r.run.items.size()) << "an item listed twice";
  std::map<std::string, bool> want;
  for (const auto& [path, e] : manifest) want[path] = e.deleted;
  EXPECT_EQ(listed, want);
  for (const auto& [path, e] : manifest) {
    if (e.kind != "file") continue;
    const std::string out = r.dest + "/" + path;
    EXPECT_EQ(Md5File(out), e.md5) << path;
    EXPECT_EQ(MTime(out), long(e.time / 10000000 - 11644473600ull)) << path;
  }
}

}  // namespace

// 512-byte sectors with the superblock at page 30, the newer checkpoint
// first, a page that names itself and a child page two folders name; 4096-
// byte sectors with the superblock only near the end and checkpoints of
// equal sequence (the second one's tree, not the stale one).
TEST(RefsImage, ListsAndRecoversAsItsManifestSays) {
  NEED_IMAGES();
  ListAndRecover(dir, "refs512");
  ListAndRecover(dir, "refs4k");
}

// With "Skip Deleted Files and Folders" the deleted entry is left out; the
// volume's label is read.
TEST(RefsImage, SkipDeletedLeavesTheDeletedEntryOut) {
  NEED_IMAGES();
  GlobalObjectsScope scope;
  for (bool skip : {false, true}) {
    SCOPED_TRACE(skip);
    g_appState->skipDeleted = skip;
    HeadlessView view;
    g_appState->view = &view;
    Drive* drive = ScanDriveImage(dir + "/refs512.img", view);
    std::set<std::string> names;
    for (const FoundItem& it : view.found) names.insert(ToUtf8(it.name));
    EXPECT_EQ(names.count("gone.txt"), skip ? 0u : 1u);
    EXPECT_EQ(names.count("report.bin"), 1u);
    ASSERT_GE(VolumeCount(*drive), 1u);
    EXPECT_EQ(ToUtf8(VolumeAt(*drive, 0)->GetVolumeLabel()), "refs-volume");
    DropSendObjs();
    DeleteDrive(&drive);
  }
  g_appState->skipDeleted = 0;
}

// ReFS 3.x is named in the log and not read; a volume that is not whole
// pages is refused.
TEST(RefsImage, VolumesTheReaderDoesNotTakeAreRefused) {
  NEED_IMAGES();
  // Exit status 2: no volume ("Boot sector not found").
  const DvscanRun three = Dvscan("'" + dir + "/refs3x.img'");
  EXPECT_EQ(three.rc, 2) << three.err;
  EXPECT_TRUE(three.items.empty());
  EXPECT_NE(three.err.find("ReFS version 3.4 is not read."), std::string::npos) << three.err;
  const DvscanRun odd = Dvscan("'" + dir + "/refsodd.img'");
  EXPECT_EQ(odd.rc, 2) << odd.err;
  EXPECT_TRUE(odd.items.empty());
}

// An extent past the volume, and one whose end overflows: never read, the
// file Corrupt with message 476; the others exact.
TEST(RefsImage, ExtentsPastTheVolumeMakeTheFileCorrupt) {
  NEED_IMAGES();
  const TempFolder temp("refs_damaged");
  const Recovered r = Recover(temp, "'" + dir + "/refs-damaged.img'");
  EXPECT_EQ(r.run.rc, 1) << r.run.err;  // the corrupt files
  EXPECT_EQ(r.run.err.find("which this version does not read"), std::string::npos) << r.run.err;
  for (const char* name : {"past.bin", "wrap.bin"}) {
    EXPECT_NE(r.log.find("Corrupt: " + r.dest + "/" + name), std::string::npos) << name << r.log;
    EXPECT_EQ(r.log.find("Saved: " + r.dest + "/" + name), std::string::npos) << name;
  }
  EXPECT_NE(r.log.find("corrupt cluster(s) were filled with zeroes."), std::string::npos) << r.log;
  const std::map<std::string, Entry> manifest = Manifest(dir + "/refs-damaged.tsv");
  EXPECT_EQ(Md5File(r.dest + "/docs/report.bin"), manifest.at("docs/report.bin").md5);
}

// An image cut inside the files' data keeps its volume; no file of the
// lost part is logged Saved.
TEST(RefsImage, ACutImageKeepsTheVolumeWithoutSilentZeros) {
  NEED_IMAGES();
  const TempFolder temp("refs_cut");
  const std::string image = temp.Path() + "/cut.img";
  // The data lies in the second half; the cut falls a little into it.
  ASSERT_EQ(std::system(
                ("head -c " + std::to_string(16 * 1048576 + 5 * 65536) + " '" + dir + "/refs512.img' >'" + image + "'")
                    .c_str()),
            0);
  const Recovered r = Recover(temp, "'" + image + "'");
  const std::map<std::string, Entry> manifest = Manifest(dir + "/refs512.tsv");
  int exact = 0, lost = 0;
  for (const auto& [path, e] : manifest) {
    if (e.kind != "file") continue;
    const std::string out = r.dest + "/" + path;
    if (r.log.find("Saved: " + out + "\n") != std::string::npos) {
      EXPECT_EQ(Md5File(out), e.md5) << path << " logged Saved";
      ++exact;
    } else {
      ++lost;
    }
  }
  EXPECT_GT(exact, 0);
  EXPECT_GT(lost, 0) << r.log;
}

// Hostile names land inside the destination.
TEST(RefsImage, HostileNamesStayInsideTheDestination) {
  NEED_IMAGES();
  const TempFolder temp("refs_hostile");
  const Recovered r = Recover(temp, "'" + dir + "/refs-hostile.img'");
  EXPECT_EQ(r.run.rc, 0) << r.run.err;
  std::set<std::string> beside;
  for (const auto& e : std::filesystem::directory_iterator(temp.Path())) beside.insert(e.path().filename());
  EXPECT_EQ(beside, (std::set<std::string>{"out"}));
  std::set<std::string> contents;
  const std::string root = std::filesystem::weakly_canonical(r.dest).string();
  for (const auto& e : std::filesystem::recursive_directory_iterator(r.dest)) {
    if (!e.is_regular_file() || e.path().filename() == "Recovery.log") continue;
    EXPECT_EQ(std::filesystem::weakly_canonical(e.path()).string().rfind(root + "/", 0), 0u) << e.path();
    contents.insert(ReadFileText(e.path()));
  }
  EXPECT_EQ(contents.size(), 9u);
  EXPECT_TRUE(contents.count("under a folder named ..\n"));
}

// Damaged copies: refused or read as far as they go, never a crash or a
// hang.
TEST(RefsImage, HostileCopiesAreRefusedOrSkipped) {
  NEED_IMAGES();
  struct Case {
    const char* what;
    uint64_t at;
    std::vector<uint8_t> bytes;
    bool volume;
  };
  const Case cases[] = {
      {"cluster size 0", 0x24, {0, 0, 0, 0}, false},
      {"sector size 1000", 0x20, {0xE8, 0x03, 0, 0}, false},
      {"sector count past 64 bits", 0x18, Le64Bytes(~0ull), false},
      // The root directory's page: an index header far past the page (the
      // other folders' files are still found, under "Extra files"), and an
      // entry count no page holds.
      {"index offset", 40ull * 16384 + 0x30, {0xFF, 0xFF, 0, 0}, true},
      {"entry count", 40ull * 16384 + 0x30 + 232 + 20, {0xFF, 0xFF, 0xFF, 0xFF}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempFolder temp("refs_hostile_copy");
    const std::string image = temp.Path() + "/copy.img";
    std::filesystem::copy_file(dir + "/refs512.img", image);
    Patch(image, c.at, c.bytes);
    const Recovered r = Recover(temp, "'" + image + "'");
    // Exit status 2 where no volume is left.
    if (c.volume)
      EXPECT_TRUE(r.run.rc == 0 || r.run.rc == 1) << r.run.err;
    else
      EXPECT_EQ(r.run.rc, 2) << r.run.err;
    if (!c.volume) {
      EXPECT_TRUE(r.run.items.empty());
    }
  }
}

// Without its partition entry (the volume lies past every place the search
// probes) only the Long Scan finds it, by its boot sector (kind 34): the
// listing is the Quick Scan's of the intact disk.
TEST(RefsImage, LongScanFindsTheVolumeWithoutItsPartitionEntry) {
  NEED_IMAGES();
  const DvscanRun quick = Dvscan("'" + dir + "/refs-disk.img'");
  ASSERT_EQ(quick.rc, 0) << quick.err;
  ASSERT_FALSE(quick.items.empty());
  const DvscanRun none = Dvscan("'" + dir + "/refs-nopart.img'");
  EXPECT_TRUE(none.items.empty());
  const DvscanRun found = Dvscan("--long --skip-headers '" + dir + "/refs-nopart.img'");
  ASSERT_EQ(found.rc, 0) << found.err;
  EXPECT_EQ(PathsAndSizes(found), PathsAndSizes(quick));
}

// A session lists and recovers what the scan did.
TEST(RefsImage, SessionsRoundTrip) {
  NEED_IMAGES();
  const TempFolder temp("refs_session");
  const std::string session = temp.Path() + "/scan.dvs";
  const DvscanRun scan = Dvscan("--save-session '" + session + "' '" + dir + "/refs512.img'");
  ASSERT_EQ(scan.rc, 0) << scan.err;
  const Recovered loaded = Recover(temp, "--load-session '" + session + "'");
  ASSERT_EQ(loaded.run.rc, 0) << loaded.run.err;
  EXPECT_EQ(PathsAndSizes(loaded.run), PathsAndSizes(scan));
  const std::map<std::string, Entry> manifest = Manifest(dir + "/refs512.tsv");
  for (const auto& [path, e] : manifest)
    if (e.kind == "file") {
      EXPECT_EQ(Md5File(loaded.dest + "/" + path), e.md5) << path;
    }
}
