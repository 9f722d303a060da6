// Pools written by zfs-fuse (tests/fixtures/zfs/make_zfs.sh, committed with
// what the mounted pools and zdb said of them), scanned and recovered
// through the headless driver and compared with those records: every
// dataset's entries, sizes, times and md5s, the labels as zdb reads them,
// RAID-Z sets, copies that fail their checksum, hostile names, earlier
// uberblocks, cut images and sessions.
//
// Mapping of the records: a dataset's entries are listed under
// "\RootDataset\" (the pool's root dataset), "\name\" (a child) and
// "\name\child\" (its child), as Save writes them below the destination.
#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/zfs/BlockPointer.h"
#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/ZfsEntries.h"
#include "filesystems/zfs/Label.h"
#include "filesystems/zfs/ZfsNode.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/NullScanSink.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/FolderWalk.h"
#include "volumes/VolumeSearch.h"

using namespace zfs;

namespace {

const std::string kSource = std::string(DV_SOURCE_DIR) + "/tests/fixtures/";

// A committed image unpacked (sparse) into the fixture cache once per
// committed version; empty when xz is missing.
std::string Unpacked(const std::string& folder, const std::string& name) {
  if (!HaveTool("xz")) return "";
  const std::string src = kSource + folder + "/" + name + ".xz";
  const std::string dir = FixtureCache() + "/zfs";
  const std::string dst = dir + "/" + folder + "." + name;
  RunCommand("mkdir -p '" + dir + "'");
  const std::string sum = Md5File(src);
  if (ReadFileText(dst + ".from") != sum) {
    const std::string cmd = "flock '" + dir + "/.lock' sh -c \"xz -dc '" + src + "' | dd of='" + dst +
                            ".tmp' bs=64K conv=sparse status=none && mv '" + dst + ".tmp' '" + dst + "' && printf %s " +
                            sum + " > '" + dst + ".from'\"";
    if (std::system(cmd.c_str()) != 0) return "";
  }
  return dst;
}

#define UNPACKED_OR_SKIP(var, folder, name)                    \
  const std::string var = Unpacked(folder, name);              \
  if (var.empty() && !HaveTool("xz")) GTEST_SKIP() << "no xz"; \
  ASSERT_FALSE(var.empty()) << name

std::string Record(const std::string& name) { return ReadFileText(kSource + "zfs/" + name); }

// A dataset's folder below the destination.
std::string DatasetFolder(const std::string& ds) {
  const size_t slash = ds.find('/');
  return slash == std::string::npos ? "RootDataset" : ds.substr(slash + 1);
}

struct Entry {
  char type = 0;  // find's %y: f d l p s
  uint64_t size = 0;
  int64_t mtime = 0;
};

// The mount's entries (P.list.txt) by destination path.
std::map<std::string, Entry> MountEntries(const std::string& pool) {
  std::map<std::string, Entry> out;
  std::istringstream in(Record(pool + ".list.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) f.push_back(col);
    if (f.size() != 6) continue;
    out[DatasetFolder(f[0]) + "/" + f[5]] = Entry{f[1][0], std::stoull(f[2]), int64_t(std::stod(f[3]))};
  }
  return out;
}

std::map<std::string, std::string> MountMd5s(const std::string& pool) {
  std::map<std::string, std::string> out;
  std::istringstream in(Record(pool + ".md5.txt"));
  std::string ds, md5, path;
  while (std::getline(in, ds, '\t') && std::getline(in, md5, '\t') && std::getline(in, path))
    out[DatasetFolder(ds) + "/" + path] = md5;
  return out;
}

std::map<std::string, Listed> ByPath(const DvscanRun& r) {
  std::map<std::string, Listed> out;
  for (const Listed& l : r.items) out[l.path] = l;
  return out;
}

// The recovery log's status of each path below the destination ("Saved",
// "Corrupt", ...).
std::map<std::string, std::string> LogStatuses(const std::string& dest) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(dest + "/Recovery.log"));
  std::string line;
  const std::regex status(R"(^\d\d:\d\d:\d\d  (\w+): (.*)$)");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_match(line, m, status) && m[2].str().rfind(dest + "/", 0) == 0)
      out[m[2].str().substr(dest.size() + 1)] = m[1];
  return out;
}

int64_t MtimeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : -1;
}

// ---- the whole pool ----

TEST(ZfsImages, EveryDatasetListsAndRecoversAsTheMountShowsIt) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const TempFolder dest("zfs_all");
  const DvscanRun r = Dvscan("--recover '" + dest.Path() + "' '" + img + "'");
  const auto listed = ByPath(r);
  const auto mount = MountEntries("tp");
  ASSERT_GT(mount.size(), 3000u);
  for (const auto& [path, e] : mount) {
    auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path;
    if (e.type != 'd') {
      EXPECT_EQ(it->second.size, e.size) << path;
    }
  }
  EXPECT_EQ(listed.size(), mount.size()) << "nothing listed that the mount does not show";
  const auto md5s = MountMd5s("tp");
  int files = 0;
  for (const auto& [path, md5] : md5s) {
    EXPECT_EQ(Md5File(dest.Path() + "/" + path), md5) << path;
    EXPECT_EQ(MtimeOf(dest.Path() + "/" + path), mount.at(path).mtime) << path;
    ++files;
  }
  EXPECT_EQ(files, 3088);
  // Both big folders give every name: 3,000 in a fat ZAP, and the 50 left
  // in one emptied from 3,000 (its leaves span more than its size says).
  int big = 0, emptied = 0;
  for (const auto& [path, l] : listed) {
    big += path.rfind("RootDataset/big/", 0) == 0;
    emptied += path.rfind("RootDataset/emptied/", 0) == 0;
  }
  EXPECT_EQ(big, 3000);
  EXPECT_EQ(emptied, 50);
  // A FIFO and a socket are empty files; links are listed, never recovered.
  const auto statuses = LogStatuses(dest.Path());
  for (const char* p : {"RootDataset/special/fifo", "RootDataset/special/socket"}) {
    EXPECT_EQ(statuses.at(p), "Saved") << p;
    EXPECT_EQ(std::filesystem::file_size(dest.Path() + "/" + p), 0u) << p;
  }
  for (const char* p : {"RootDataset/special/link14", "RootDataset/special/link300"}) {
    EXPECT_EQ(listed.at(p).size, mount.at(p).size) << p;
    EXPECT_FALSE(std::filesystem::exists(dest.Path() + "/" + p)) << p;
  }
  EXPECT_NE(r.out.find("corrupt=0"), std::string::npos) << r.out;
}

// zdb's own account of the pool: every object it names by path in every
// dataset is listed.
TEST(ZfsImages, EveryPathZdbNamesIsListed) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const std::string zdb = RunCommand("xz -dc '" + kSource + "zfs/tp.zdb.txt.xz'");
  ASSERT_FALSE(zdb.empty());
  const DvscanRun r = Dvscan("'" + img + "'");
  const auto listed = ByPath(r);
  std::istringstream in(zdb);
  std::string line, dataset;
  int paths = 0;
  const std::regex head(R"(^Dataset (\S+) \[ZPL\])");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, head)) dataset = m[1];
    if (line.rfind("\tpath\t/", 0) != 0 || line == "\tpath\t/") continue;
    const std::string path = DatasetFolder(dataset) + "/" + line.substr(7);
    EXPECT_TRUE(listed.count(path)) << path;
    ++paths;
  }
  EXPECT_EQ(size_t(paths), listed.size());
}

TEST(ZfsImages, TheLabelAsZdbReadsIt) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  // zdb: LABEL 0's asize, and its uberblocks by index (4 KiB slots).
  const std::string labels = Record("tp.labels.txt");
  const std::string label0 = labels.substr(0, labels.find("LABEL 1"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(label0, m, std::regex(R"(asize: (\d+))")));
  const uint64_t asize = std::stoull(m[1]);
  std::map<uint64_t, int> slotOfTxg;
  const std::regex ub(R"(Uberblock\[(\d+)\][^\n]*\n[^\n]*\n[^\n]*\n\s*txg = (\d+))");
  for (auto it = std::sregex_iterator(label0.begin(), label0.end(), ub); it != std::sregex_iterator(); ++it)
    slotOfTxg[std::stoull((*it)[2])] = std::stoi((*it)[1]);
  ASSERT_FALSE(slotOfTxg.empty());
  Drive* d = CreateDrive(FromUtf8(img));
  ASSERT_NE(d, nullptr);
  d->InitDrive(FromUtf8(img));
  for (int back : {0, 3}) {
    ZfsLabel label;
    // From the first uberblock the volume search meets on.
    EXPECT_EQ(ZFSReadLabel(*d, 256 + 8, back, &label), 0);
    ASSERT_TRUE(label.listFound);
    ASSERT_TRUE(label.haveUberblock);
    EXPECT_EQ(label.asize, asize);
    EXPECT_EQ(label.ashift, 12u);
    const uint64_t want = slotOfTxg.rbegin()->first - uint64_t(back);
    if (!slotOfTxg.count(want)) continue;
    EXPECT_EQ(label.txg, want) << back;
    EXPECT_EQ(label.slot, 4 * slotOfTxg[want]) << back;
  }
  // A search that finds no list names nothing.
  ZfsLabel none;
  EXPECT_EQ(ZFSReadLabel(*d, 300000, 0, &none), 300000);
  EXPECT_FALSE(none.listFound);
  DeleteDrive(&d);
}

// ---- RAID-Z ----

void CheckRaidz(const std::string& definition, const std::map<std::string, std::string>& md5s,
                const std::string& what) {
  const TempFolder dest("zfs_raidz");
  const DvscanRun r = Dvscan("--recover '" + dest.Path() + "' '" + definition + "'");
  EXPECT_EQ(r.rc, 0) << what << r.err;
  EXPECT_EQ(r.items.size(), md5s.size() + 1) << what;  // and the folder "sub"
  for (const auto& [path, md5] : md5s) EXPECT_EQ(Md5File(dest.Path() + "/" + path), md5) << what << " " << path;
  EXPECT_EQ(r.err.find("shorter than volume"), std::string::npos) << what << r.err;
}

TEST(ZfsImages, RaidzOfFourKibSectorsWithAndWithoutEachMember) {
  std::vector<std::string> m;
  for (int i = 0; i < 3; ++i) {
    UNPACKED_OR_SKIP(f, "zfs", "tr.f" + std::to_string(i));
    m.push_back(f);
  }
  const auto md5s = MountMd5s("tr");
  ASSERT_EQ(md5s.size(), 7u);
  for (int gone = -1; gone < 3; ++gone) {
    std::string def = "RAIDZ1(";
    for (int i = 0; i < 3; ++i) def += (i ? "," : "") + (i == gone ? std::string("Missing") : m[size_t(i)]);
    CheckRaidz(def + ")", md5s, "member missing: " + std::to_string(gone));
  }
}

// The sets of the RAID-Z reader's tests (ashift 9): each file's blocks as
// zdb placed them hold the bytes of their records (blocks.txt).
TEST(ZfsImages, RaidzOfHalfKibSectorsAsTheirBlocksRecordThem) {
  for (auto [pool, members, keyword] : {std::tuple{"raidz1", 4, "RAIDZ1"}, {"raidz2", 6, "RAIDZ2"}}) {
    std::string def = std::string(keyword) + "(";
    for (int i = 0; i < members; ++i) {
      UNPACKED_OR_SKIP(f, "raidz", std::string(pool) + ".f" + std::to_string(i));
      def += (i ? "," : "") + (i == 1 ? std::string("Missing") : f);
    }
    const TempFolder dest("zfs_rz");
    const DvscanRun r = Dvscan("--recover '" + dest.Path() + "' '" + def + ")'");
    ASSERT_EQ(r.rc, 0) << r.err;
    // "OBJ PATH" of each file, then its blocks.
    std::map<std::string, std::string> nameOf;
    std::istringstream zdb(ReadFileText(kSource + "raidz/" + pool + ".zdb.txt"));
    std::string line;
    while (std::getline(zdb, line))
      if (line.rfind("===== ", 0) == 0)
        nameOf[line.substr(6, line.find(' ', 6) - 6)] = line.substr(line.rfind(' ') + 1);
    std::istringstream blocks(ReadFileText(kSource + "raidz/" + pool + ".blocks.txt"));
    std::string obj, md5;
    uint64_t logical, offset, psize;
    int n = 0;
    while (blocks >> obj >> logical >> offset >> psize >> md5) {
      const std::string data = ReadFileText(dest.Path() + "/RootDataset/" + nameOf[obj]);
      std::string piece = logical < data.size() ? data.substr(logical, psize) : "";
      piece.resize(psize, '\0');
      Md5 h;
      h.Update(piece.data(), piece.size());
      uint8_t digest[kMd5DigestSize];
      h.Final(digest);
      EXPECT_EQ(HexText(digest, sizeof digest), md5) << pool << " " << nameOf[obj] << " @" << logical;
      ++n;
    }
    EXPECT_GT(n, 3) << pool;
  }
}

// ---- damage ----

// A copy of the image with `bytes` at byte `at` replaced.
void Patch(const std::string& image, uint64_t at, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string CopyOf(const std::string& image, const TempFolder& t, const std::string& name) {
  const std::string out = t.Path() + "/" + name;
  RunCommand("cp --sparse=always '" + image + "' '" + out + "'");
  return out;
}

// The DVAs of the first L0 block of an object in tp.dvas.txt.
std::vector<uint64_t> FirstBlockOffsets(const std::string& header) {
  const std::string text = Record("tp.dvas.txt");
  const size_t at = text.find("===== " + header);
  const size_t l0 = text.find(" L0 ", at);
  std::vector<uint64_t> out;
  std::istringstream line(text.substr(l0 + 4, text.find('\n', l0) - l0 - 4));
  std::string dva;
  while (line >> dva && dva.rfind("0:", 0) == 0) out.push_back(std::stoull(dva.substr(2), nullptr, 16));
  return out;
}

TEST(ZfsImages, ACopyFailingItsChecksumGivesWayToTheNext) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const TempFolder t("zfs_copies");
  const std::string bad = CopyOf(img, t, "bad.img");
  const auto ditto = FirstBlockOffsets("tp/ditto 5 three-blocks");
  const auto single = FirstBlockOffsets("tp/f2 5 keep-a");
  ASSERT_EQ(ditto.size(), 2u);
  ASSERT_EQ(single.size(), 1u);
  const std::string junk(0x20000, '\xA5');
  Patch(bad, kVdevDataOffset + ditto[0], junk);
  Patch(bad, kVdevDataOffset + single[0], junk);
  const DvscanRun r = Dvscan("--recover '" + t.Path() + "/out' '" + bad + "'");
  const auto md5s = MountMd5s("tp");
  EXPECT_EQ(Md5File(t.Path() + "/out/ditto/three-blocks"), md5s.at("ditto/three-blocks"));
  const auto statuses = LogStatuses(t.Path() + "/out");
  EXPECT_EQ(statuses.at("ditto/three-blocks"), "Saved");
  EXPECT_EQ(statuses.at("f2/keep-a"), "Corrupt") << "fletcher-2 finds the one copy wrong";
  EXPECT_NE(r.out.find("corrupt=1"), std::string::npos) << r.out;
}

TEST(ZfsImages, HostileNamesStayInsideTheDestination) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const TempFolder t("zfs_hostile");
  const std::string bad = CopyOf(img, t, "hostile.img");
  // The names of the folder's micro ZAP, in each of its copies.
  const auto copies = FirstBlockOffsets("tp 6035 hostile");
  ASSERT_EQ(copies.size(), 2u);
  for (uint64_t c : copies) {
    std::string block = ReadFileText(bad).substr(size_t(kVdevDataOffset + c), 512);
    for (auto [from, to] : {std::pair<std::string, std::string>{"QZ", ".."},
                            {"aZb", "a/b"},
                            {"cQd",
                             "c\x01"
                             "d"}}) {
      const size_t at = block.find(from + '\0');
      ASSERT_NE(at, std::string::npos) << from;
      block.replace(at, from.size(), to);
    }
    Patch(bad, kVdevDataOffset + c, block);
  }
  const DvscanRun r = Dvscan("--recover '" + t.Path() + "/out' '" + bad + "'");
  std::set<std::string> hostile;
  for (const Listed& l : r.items)
    if (l.path.rfind("RootDataset/hostile/", 0) == 0) hostile.insert(l.path.substr(20));
  EXPECT_EQ(hostile, (std::set<std::string>{"_..", "a_b", "c_d"}));
  for (const auto& e : std::filesystem::recursive_directory_iterator(t.Path() + "/out")) {
    const std::string p = e.path().string();
    EXPECT_EQ(p.rfind(t.Path() + "/out/", 0), 0u) << p;
  }
  for (const char* p : {"_..", "a_b", "c_d"})
    EXPECT_TRUE(std::filesystem::is_regular_file(t.Path() + "/out/RootDataset/hostile/" + p)) << p;
}

TEST(ZfsImages, AnEarlierUberblockShowsTheFilesRemovedSince) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const std::string back = Record("tp.back.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(back, m, std::regex(R"(T (\d+)\nhighest (\d+))")));
  const int n = std::stoi(m[2]) - std::stoi(m[1]);
  // zdb -t T: tp/f2's files then.
  std::set<std::string> then;
  const std::regex pathLine("\tpath\t/([^\n]+)");
  for (auto it = std::sregex_iterator(back.begin(), back.end(), pathLine); it != std::sregex_iterator(); ++it)
    then.insert("f2/" + (*it)[1].str());
  ASSERT_EQ(then.size(), 5u);
  const TempFolder t("zfs_back");
  WriteFileText(t.Path() + "/opts.txt", "[ZFS Options]\nUberblock Back Version=" + std::to_string(n) + "\n");
  const DvscanRun r = Dvscan("--options '" + t.Path() + "/opts.txt' --recover '" + t.Path() + "/out' '" + img + "'");
  std::set<std::string> f2;
  for (const Listed& l : r.items)
    if (l.path.rfind("f2/", 0) == 0) f2.insert(l.path);
  EXPECT_EQ(f2, then);
  // A removed file is exact, or its blocks were written over since and it
  // is Corrupt: never Saved with other bytes.
  const auto statuses = LogStatuses(t.Path() + "/out");
  int exact = 0;
  const std::regex removed("removed\ttp/f2\t(\\w+)\t(\\S+)");
  for (auto it = std::sregex_iterator(back.begin(), back.end(), removed); it != std::sregex_iterator(); ++it) {
    const std::string path = "f2/" + (*it)[2].str();
    if (Md5File(t.Path() + "/out/" + path) == (*it)[1]) ++exact;
    else EXPECT_EQ(statuses.at(path), "Corrupt") << path;
  }
  EXPECT_GE(exact, 2);
  // A version no slot holds: the highest.
  WriteFileText(t.Path() + "/opts.txt", "[ZFS Options]\nUberblock Back Version=" + m[2].str() + "\n");
  const DvscanRun highest = Dvscan("--options '" + t.Path() + "/opts.txt' '" + img + "'");
  EXPECT_EQ(highest.items.size(), MountEntries("tp").size());
}

TEST(ZfsImages, ACutImageKeepsThePoolAndItsFilesPastTheEndAreCorrupt) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  const TempFolder t("zfs_cut");
  const std::string cut = CopyOf(img, t, "cut.img");
  ASSERT_EQ(truncate(cut.c_str(), 100 << 20), 0);
  const DvscanRun r = Dvscan("--recover '" + t.Path() + "/out' '" + cut + "'");
  EXPECT_EQ(r.items.size(), MountEntries("tp").size());
  const auto statuses = LogStatuses(t.Path() + "/out");
  int corrupt = 0;
  for (const auto& [path, md5] : MountMd5s("tp")) {
    if (Md5File(t.Path() + "/out/" + path) == md5) continue;
    EXPECT_EQ(statuses.at(path), "Corrupt") << path;
    ++corrupt;
  }
  EXPECT_GE(corrupt, 1) << "the 17 MiB file runs past 100 MiB";
}

// ---- runs in one process, sessions ----

TEST(ZfsImages, ASecondScanOfTheDriveFindsThePoolAgain) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  GlobalObjectsScope scope;
  Drive* d = CreateDrive(FromUtf8(img));
  d->InitDrive(FromUtf8(img));
  size_t counts[2] = {};
  for (size_t& count : counts) {
    // As the view does before a scan.
    DeleteVolumes(*d);
    HeadlessView view;
    g_appState->view = &view;
    ScanRequest request;
    request.drive = d;
    std::thread([&] { RunScan(request, &view); }).join();
    count = view.found.size();
    g_appState->view = nullptr;
  }
  EXPECT_EQ(counts[0], MountEntries("tp").size());
  EXPECT_EQ(counts[1], counts[0]);
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  DeleteDrive(&d);
}

TEST(ZfsImages, APoolOfOneDatasetRoundTripsASessionAndOfSeveralIsRefused) {
  UNPACKED_OR_SKIP(one, "zfs", "one.img");
  UNPACKED_OR_SKIP(tp, "zfs", "tp.img");
  const TempFolder t("zfs_session");
  const DvscanRun saved = Dvscan("--save-session '" + t.Path() + "/one.dvs' '" + one + "'");
  ASSERT_EQ(saved.rc, 0) << saved.err;
  const DvscanRun loaded = Dvscan("--recover '" + t.Path() + "/out' --load-session '" + t.Path() + "/one.dvs'");
  ASSERT_EQ(loaded.rc, 0) << loaded.err;
  ASSERT_EQ(loaded.items.size(), saved.items.size());
  for (size_t i = 0; i < saved.items.size(); ++i) {
    EXPECT_EQ(loaded.items[i].path, saved.items[i].path);
    EXPECT_EQ(loaded.items[i].size, saved.items[i].size);
  }
  const auto md5s = MountMd5s("one");
  ASSERT_EQ(md5s.size(), 4u);
  for (const auto& [path, md5] : md5s) EXPECT_EQ(Md5File(t.Path() + "/out/" + path), md5) << path;
  const DvscanRun refused = Dvscan("--save-session '" + t.Path() + "/tp.dvs' '" + tp + "'");
  EXPECT_NE(refused.rc, 0);
  EXPECT_NE(refused.err.find("This version does not support saving session for a ZFS volume with multiple datasets."),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(t.Path() + "/tp.dvs"));
}

// ---- the pool's set-up ----

// The volume the search makes of an image, its datasets opened by a walk.
struct PoolVolume {
  Drive* drive = nullptr;
  CZFSVol* v = nullptr;
  explicit PoolVolume(const std::string& image) {
    drive = CreateDrive(FromUtf8(image));
    drive->InitDrive(FromUtf8(image));
    SearchBootSectors(*drive, 0, 4096, false, nullptr);
    v = VolumeCount(*drive) ? dynamic_cast<CZFSVol*>(VolumeAt(*drive, 0)) : nullptr;
  }
  ~PoolVolume() { DeleteDrive(&drive); }
};

TEST(ZfsImages, APoolOfOnlyItsOwnChildrenHasNoDatasetBesideItsRoot) {
  UNPACKED_OR_SKIP(one, "zfs", "one.img");
  PoolVolume p(one);
  ASSERT_NE(p.v, nullptr);
  EXPECT_TRUE(p.v->topChildren.empty()) << "$MOS, $FREE and $ORIGIN are the pool's";
  FolderWalk walk;
  EXPECT_TRUE(ScanZfsDatasets(*p.v, walk, true));
  EXPECT_FALSE(ScanZfsDatasets(*p.v, walk, false));
  EXPECT_EQ(p.v->datasets.size(), 1u);
}

TEST(ZfsImages, AMasterNodeWithoutRootMakesNoPool) {
  UNPACKED_OR_SKIP(one, "zfs", "one.img");
  const TempFolder t("zfs_noroot");
  const std::string bad = CopyOf(one, t, "noroot.img");
  // Every copy of the root dataset's master node (a micro ZAP of 512 bytes
  // naming ROOT and DELETE_QUEUE).
  const std::string bytes = ReadFileText(bad);
  int patched = 0;
  for (size_t at = kVdevDataOffset; at + 512 <= bytes.size(); at += 512) {
    if (Le64(bytes.data() + at) != kZbtMicro) continue;
    const std::string block = bytes.substr(at, 512);
    const size_t root = block.find(std::string("ROOT\0", 5));
    if (root == std::string::npos || block.find("DELETE_QUEUE") == std::string::npos) continue;
    Patch(bad, at + root, "RXXT");
    ++patched;
  }
  ASSERT_GE(patched, 1);
  PoolVolume p(bad);
  EXPECT_EQ(p.v, nullptr);
}

TEST(ZfsImages, AnUnusableNewestUberblockGivesWayToTheOneBefore) {
  UNPACKED_OR_SKIP(one, "zfs", "one.img");
  const TempFolder t("zfs_torn");
  const std::string bad = CopyOf(one, t, "torn.img");
  // The newest uberblock of each front label: its root pointer's copies
  // sent past the pool (a torn last write).
  const std::string bytes = ReadFileText(bad);
  for (uint64_t label : {0ull, 256ull << 10}) {
    uint64_t newest = 0, at = 0;
    for (uint64_t s = label + kUberblockArrayOffset; s < label + kUberblockArrayOffset + kUberblockArrayBytes;
         s += 1024)
      if (Le64(bytes.data() + s) == kUberblockMagic && Le64(bytes.data() + s + kUbTxg) >= newest)
        newest = Le64(bytes.data() + s + kUbTxg), at = s;
    ASSERT_NE(at, 0u);
    for (int dva = 0; dva < 3; ++dva) Patch(bad, at + kUbRootBp + 16 * dva + 8, std::string("\xff\xff\xff\x0f", 4));
  }
  const DvscanRun r = Dvscan("'" + bad + "'");
  std::set<std::string> listed;
  for (const Listed& l : r.items) listed.insert(l.path);
  for (const auto& [path, md5] : MountMd5s("one")) EXPECT_TRUE(listed.count(path)) << path;
}

// ---- the block reader ----

TEST(ZfsImages, AGangCopyIsUnreadable) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  PoolVolume p(img);
  ASSERT_NE(p.v, nullptr);
  // The hostile folder's micro ZAP has two copies (metadata).
  uint8_t dnode[kDnodeBytes];
  ASSERT_TRUE(p.v->ReadObjectDnode(0, 6035, dnode));
  uint8_t bp[kBlkPtrBytes];
  std::memcpy(bp, dnode + kDnBlkPtrs, sizeof bp);
  std::vector<uint8_t> out(512);
  ASSERT_EQ(p.v->BlkPtrDvaRead(bp, out.data(), out.size()), kZfsReadData);
  const std::vector<uint8_t> good = out;
  bp[15] |= 0x80;  // DVA 0's gang bit
  std::fill(out.begin(), out.end(), 0);
  EXPECT_EQ(p.v->BlkPtrDvaRead(bp, out.data(), out.size()), kZfsReadData);
  EXPECT_EQ(out, good) << "from the second copy";
  bp[31] |= 0x80;
  EXPECT_EQ(p.v->BlkPtrDvaRead(bp, out.data(), out.size()), kZfsReadFailed);
}

TEST(ZfsImages, HighestBlockIdIsReadableOneAboveIsNot) {
  UNPACKED_OR_SKIP(img, "zfs", "tp.img");
  PoolVolume p(img);
  ASSERT_NE(p.v, nullptr);
  // files/seventeen-mib: object 30, three levels, blocks 0 to 136.
  ZfsNode n;
  n.datasetIndex = 0;
  n.object = 30;
  n.id = 30;
  ASSERT_TRUE(p.v->LoadNodeDnode(n));
  ZfsOpenNode& o = *p.v->mapped;
  EXPECT_EQ(o.Dnode().levels, 3);
  EXPECT_EQ(o.Dnode().maxBlkId, 136u);
  std::vector<uint8_t> block(o.BlockBytes());
  EXPECT_EQ(o.ReadBlock(136, block.data()), kZfsReadData);
  EXPECT_EQ(o.ReadBlock(137, block.data()), kZfsReadFailed);
  // A range that ends exactly at the file's size.
  std::vector<uint8_t> tail(100);
  uint32_t bad = 0;
  EXPECT_EQ(o.Read(17825793 - 100, 200, 17825793, tail.data(), ZfsReadMode::kStrict, &bad), 100);
  EXPECT_EQ(bad, 0u);
}

// An LZ4 block (no pool here writes one) through the block reader: a drive
// over an image holding it after the vdev's front.
TEST(ZfsImages, Lz4BlocksDecodeThroughTheBlockReader) {
  const TempFolder t("zfs_lz4");
  std::string data;
  for (int i = 0; data.size() < 0x20000; ++i) data += "lz4 line " + std::to_string(i) + "\n";
  data.resize(0x20000);
  std::vector<char> packed(4 + size_t(LZ4_compressBound(int(data.size()))));
  const int n = LZ4_compress_default(data.data(), packed.data() + 4, int(data.size()), int(packed.size() - 4));
  ASSERT_GT(n, 0);
  const uint32_t psize = (uint32_t(n) + 4 + 511) / 512 * 512;
  packed.resize(psize, 0);
  for (int i = 0; i < 4; ++i) packed[size_t(i)] = char(uint32_t(n) >> (24 - 8 * i));
  const std::string image = t.Path() + "/lz4.img";
  WriteFileText(image, std::string(kVdevDataOffset, '\0') + std::string(packed.begin(), packed.end()) +
                           std::string(1 << 20, '\0'));
  Drive* d = CreateDrive(FromUtf8(image));
  d->InitDrive(FromUtf8(image));
  CZFSVol v;
  v.drive = d;
  v.maxDvaSectors = kMaxBlockBytes / 512;
  std::vector<uint8_t> bp(kBlkPtrBytes, 0);
  auto put16 = [&](size_t at, uint16_t x) { bp[at] = uint8_t(x), bp[at + 1] = uint8_t(x >> 8); };
  bp[0] = uint8_t(psize / 512);
  put16(kBpLsize, uint16_t(0x20000 / 512 - 1));
  put16(kBpPsize, uint16_t(psize / 512 - 1));
  bp[kBpCompression] = kCompressLz4;
  bp[kBpChecksum] = kCksumFletcher4;
  bp[kBpLevel] = kBpLittleEndian;
  const ZfsChecksum sum = Fletcher4(reinterpret_cast<const uint8_t*>(packed.data()), psize);
  for (int i = 0; i < 4; ++i) PutLittleEndian64(bp.data() + kBpCksum + 8 * i, sum.word[i], 8);
  std::vector<uint8_t> out(0x20000);
  EXPECT_EQ(v.BlkPtrDvaRead(bp.data(), out.data(), out.size()), kZfsReadData);
  EXPECT_EQ(std::string(out.begin(), out.end()), data);
  // A length past psize - 4 is no block, whatever its checksum says.
  Patch(image, kVdevDataOffset, std::string("\x00\x10\x00\x00", 4));
  d->CloseDevice();
  bp[kBpChecksum] = kCksumSha256;
  EXPECT_EQ(v.BlkPtrDvaRead(bp.data(), out.data(), out.size()), kZfsReadFailed);
  EXPECT_EQ(v.BlkPtrDvaRead(bp.data(), out.data(), 0x1000), kZfsReadFailed) << "never past the caller's room";
  DeleteDrive(&d);
  v.drive = nullptr;
}

// A volume dataset (zfs-fuse cannot make one): its object set's object 1
// of type 23 is listed as one file named after the dataset, its size its
// blocks'.
TEST(ZfsImages, AVolumeDatasetIsOneFileNamedAfterIt) {
  const TempFolder t("zfs_zvol");
  // One block of two dnodes after the vdev's front: object 1 the volume,
  // ten blocks of 8 KiB.
  std::string dnodes(1024, '\0');
  auto put = [](std::string& b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + size_t(i)] = char(v >> (8 * i));
  };
  const size_t zvol = 512;
  dnodes[zvol + kDnType] = char(kOtZvol);
  dnodes[zvol + kDnIndBlkShift] = 14;
  dnodes[zvol + kDnLevels] = 1;
  dnodes[zvol + kDnBlkPtrCount] = 1;
  put(dnodes, zvol + kDnDataBlkSectors, 16, 2);
  put(dnodes, zvol + kDnMaxBlkId, 9, 8);
  put(dnodes, zvol + kDnBlkPtrs, 16, 8);  // a first copy of 8 KiB
  const std::string image = t.Path() + "/zvol.img";
  WriteFileText(image, std::string(kVdevDataOffset, '\0') + dnodes + std::string(1 << 20, '\0'));
  Drive* d = CreateDrive(FromUtf8(image));
  d->InitDrive(FromUtf8(image));
  // The object set's meta-dnode: blocks of two dnodes, the first at 0.
  std::string meta(kDnodeBytes, '\0');
  meta[kDnType] = 10;
  meta[kDnIndBlkShift] = 14;
  meta[kDnLevels] = 1;
  meta[kDnBlkPtrCount] = 1;
  put(meta, kDnDataBlkSectors, 2, 2);
  put(meta, kDnBlkPtrs, 2, 8);
  put(meta, kDnBlkPtrs + kBpLsize, 1, 2);
  put(meta, kDnBlkPtrs + kBpPsize, 1, 2);
  meta[kDnBlkPtrs + kBpCompression] = char(kCompressOff);
  meta[kDnBlkPtrs + kBpChecksum] = char(kCksumOff);
  CZFSVol v;
  v.drive = d;
  v.SetSectorSize(512);
  v.SetClusterSize(512);
  v.maxDvaSectors = kMaxBlockBytes / 512;
  NullScanSink sink;
  v.engine = &sink;
  ZfsDataset ds;
  ds.name = "vol";
  ds.zvol = true;
  ds.objects = std::make_unique<ZfsOpenNode>(v);
  ASSERT_TRUE(ds.objects->Load(reinterpret_cast<const uint8_t*>(meta.data())));
  v.datasets.push_back(std::move(ds));
  EXPECT_EQ(AddZfsVolumeDatasetNode(v, 0, reinterpret_cast<const uint8_t*>("vol"), 3), 1);
  ASSERT_EQ(sink.nodes.Count(), 1u);
  const cnode* n = sink.nodes.GetAt(0);
  EXPECT_EQ(n->GetNameW(), u"vol");
  EXPECT_EQ(n->size, 10u * 8192);
  EXPECT_FALSE(n->IsDirectory());
  v.engine = nullptr;
  v.drive = nullptr;
  DeleteDrive(&d);
}

}  // namespace
