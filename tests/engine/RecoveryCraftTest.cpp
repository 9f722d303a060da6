// Recovery of NTFS images with things real volumes rarely show
// (tests/fixtures/make_recovery_craft.sh: ntfs-3g files, then names and
// sizes patched in the MFT records), and the driver's refusals seen from
// dvscan: every name from "[1]" to "[99]" taken, a log that cannot be made.
// Also reads with clusters larger than the drive's transfer size and the
// memory mode, through the engine on the committed "basic" image.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoverNtfs.h"
#include "engine/SendObj.h"
#include "engine/Worker.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TestUtil.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"

namespace {

struct DvRun {
  int rc = -1;
  std::string out;  // standard output and error
};

DvRun Dvscan(const std::string& args) {
  DvRun r;
  const CommandRun run = RunCommandStatus(std::string(DV_BINARY_DIR) + "/bin/dvscan " + args + " 2>&1");
  r.rc = run.rc;
  r.out = run.out;
  return r;
}

long Count(const DvRun& r, const std::string& key) {
  const size_t at = r.out.rfind(" " + key + "=");
  return at == std::string::npos ? -1 : std::stol(r.out.substr(at + key.size() + 2));
}

std::string Md5Text(const std::string& bytes) {
  Md5 m;
  m.Update(bytes.data(), bytes.size());
  uint8_t d[kMd5DigestSize];
  m.Final(d);
  return HexText(d, sizeof d);
}

std::string CraftImage() {
  const std::string dir = FixtureCache() + "/recovery-craft";
  if (RunFixtureScript("make_recovery_craft.sh", dir, ">/dev/null 2>&1") != 0) return {};
  return dir + "/craft.img";
}

// A compressed file whose real size passes its initialised size by 10 MiB
// or more is extended to its real size (a sparse tail), never left short;
// by less, the zeros are written. Both equal icat's output.
TEST(RecoveryCraftTest, CompressedFileWithALongUninitialisedTail) {
  const std::string img = CraftImage();
  if (img.empty()) GTEST_SKIP() << "needs root, FUSE, mkntfs, ntfs-3g, istat";
  if (!HaveTool("icat")) GTEST_SKIP() << "icat missing";
  const TempFolder destTemp("craft_comp");
  const std::string dest = destTemp.Path();
  const DvRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Count(r, "failed"), 0);
  struct Case {
    const char* name;
    off_t size;
    bool sparse;
  } cases[] = {{"tail20.txt", 21000000, true}, {"tail1.txt", 200000 + (1 << 20), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dest + "/comp/" + c.name;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, c.size);
    if (c.sparse) {
      EXPECT_LT(off_t(st.st_blocks) * 512, off_t(1) << 20);  // the tail holds no blocks
    }
    const std::string ours = ReadFileText(path);
    EXPECT_EQ(ours.substr(200000), std::string(size_t(c.size) - 200000, '\0'));
    const std::string inode = RunCommand("ifind -n 'comp/" + std::string(c.name) + "' '" + img + "'");
    const std::string peer = RunCommand("icat '" + img + "' " + inode.substr(0, inode.find('\n')));
    EXPECT_EQ(Md5Text(ours), Md5Text(peer));
  }
}

// Names no file system would take ("..", "q/q", "a\b", control characters,
// 300 bytes of UTF-8) all land inside the destination, made harmless.
TEST(RecoveryCraftTest, HostileNamesStayInsideTheDestination) {
  const std::string img = CraftImage();
  if (img.empty()) GTEST_SKIP() << "needs root, FUSE, mkntfs, ntfs-3g, istat";
  const TempFolder boxTemp("craft_box");
  const std::string box = boxTemp.Path();
  const std::string dest = box + "/dest";
  const DvRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Count(r, "failed"), 0);
  // Nothing beside the destination, nothing in it that leads out.
  EXPECT_EQ(RunCommand("ls -A '" + box + "'"), "dest\n");
  const std::string h = dest + "/h/";
  for (const char* name : {"_..", "q_q", "a_b", "ctl___.txt"}) {
    SCOPED_TRACE(name);
    struct stat st;
    ASSERT_EQ(lstat((h + name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
  }
  EXPECT_EQ(ReadFileText(h + "_.."), "hostile 'zz'\n");  // the patched record's data
  // The 300-byte name is shortened below the 255-byte limit with a "~".
  const std::string listing = RunCommand("ls '" + h + "'");
  bool shortened = false;
  for (size_t at = 0; at < listing.size();) {
    const size_t end = listing.find('\n', at);
    const std::string n = listing.substr(at, end - at);
    EXPECT_LE(n.size(), 255u);
    if (n.find('~') != std::string::npos && n.compare(0, 2, "\xC3\xA9") == 0) shortened = true;
    at = end + 1;
  }
  EXPECT_TRUE(shortened) << listing;
  char real[PATH_MAX];
  const std::string all = RunCommand("find '" + dest + "' -print0 | tr '\\0' '\\n'");
  ASSERT_NE(realpath(dest.c_str(), real), nullptr);
  const std::string root = real;
  for (size_t at = 0; at < all.size();) {
    const size_t end = all.find('\n', at);
    const std::string p = all.substr(at, end - at);
    at = end + 1;
    ASSERT_NE(realpath(p.c_str(), real), nullptr) << p;
    EXPECT_EQ(std::string(real).compare(0, root.size(), root), 0) << p;
  }
}

// Rename mode with "[1]" to "[99]" all taken: the item fails with a clear
// message and nothing is overwritten.
TEST(RecoveryCraftTest, RenameModeWithEveryNumberTakenFailsTheItem) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder destTemp("rec_rename99");
  const std::string dest = destTemp.Path();
  ASSERT_EQ(Dvscan("--recover '" + dest + "' '" + img + "'").rc, 0);
  const std::string vol = dest + "/";
  WriteFileText(vol + "small.txt", "changed");
  for (int i = 1; i <= 99; i++) WriteFileText(vol + "small[" + std::to_string(i) + "].txt", "taken");
  const DvRun r = Dvscan("--recover '" + dest + "' --overwrite rename '" + img + "'");
  // Failed items are no success: a script can tell.
  ASSERT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(Count(r, "saved"), 0);
  EXPECT_NE(r.out.find(" item(s) could not be saved."), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileText(vol + "small.txt"), "changed");
  for (int i = 1; i <= 99; i++) ASSERT_EQ(ReadFileText(vol + "small[" + std::to_string(i) + "].txt"), "taken") << i;
  EXPECT_FALSE(std::ifstream(vol + "small[100].txt").good());
  const std::string log = ReadFileText(dest + "/Recovery.log");
  EXPECT_NE(log.find("Every name from [1] to [99] exists already: nothing was overwritten."), std::string::npos);
}

// A log that cannot be made: the recovery goes on without it and says so.
// A destination whose path is far over 260 characters still gets its log.
TEST(RecoveryCraftTest, RecoveryLogThatCannotBeMadeOrHasALongPath) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder destTemp("rec_nolog");
  const std::string dest = destTemp.Path();
  // The log's name leads into a folder that does not exist.
  ASSERT_EQ(symlink((dest + "/missing/folder/Recovery.log").c_str(), (dest + "/Recovery.log").c_str()), 0);
  DvRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("no recovery log: recovering without one"), std::string::npos) << r.out;
  EXPECT_GT(Count(r, "saved"), 5);
  EXPECT_EQ(ReadFileText(dest + "/small.txt").size() > 0, true);

  const TempFolder deepTemp("rec_longlog");
  std::string deep = deepTemp.Path();
  for (int i = 0; i < 6; i++) deep += "/" + std::string(60, char('a' + i));
  ASSERT_GT(deep.size(), 300u);
  // dvscan makes every missing folder of the destination (mkdir -p).
  r = Dvscan("--recover '" + deep + "' '" + img + "'");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(r.out.find("no recovery log"), std::string::npos);
  const std::string log = ReadFileText(deep + "/Recovery.log");
  EXPECT_EQ(log.substr(0, 27), "\xEF\xBB\xBF----- Recovery Log -----");
  // The headless view's lines, once each, under one date line.
  std::istringstream in(log);
  std::string line;
  std::set<std::string> savedLines;
  int dateLines = 0;
  while (std::getline(in, line)) {
    if (line.rfind("========== ", 0) == 0) dateLines++;
    if (line.size() > 10 && line.compare(8, 9, "  Saved: ") == 0) {
      EXPECT_TRUE(savedLines.insert(line.substr(10)).second) << line;
    }
  }
  EXPECT_EQ(dateLines, 1);
  EXPECT_EQ(long(savedLines.size()), Count(r, "saved"));
}

// --recover makes the whole destination path, and refuses one that cannot
// be a folder.
TEST(RecoveryCraftTest, RecoverMakesTheWholeDestinationPath) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  const TempFolder baseTemp("rec_mkdirp");
  const std::string base = baseTemp.Path();
  const std::string dest = base + "/one/two/three";
  DvRun r = Dvscan("--recover '" + dest + "' '" + img + "'");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_GT(Count(r, "saved"), 5);
  EXPECT_GT(ReadFileText(dest + "/small.txt").size(), 0u);

  WriteFileText(base + "/plain", "a file");
  for (const std::string& bad : {base + "/plain", base + "/plain/below"}) {
    SCOPED_TRACE(bad);
    r = Dvscan("--recover '" + bad + "' '" + img + "'");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("cannot create the destination folder"), std::string::npos) << r.out;
    EXPECT_EQ(Count(r, "saved"), -1);  // no scan, no recovery
  }
  EXPECT_EQ(ReadFileText(base + "/plain"), "a file");
}

// Through the engine on the "basic" image: a drive transfer size below the
// cluster size still reads a cluster at a time (never 0 clusters), and the
// memory mode copies at most the capacity given.
TEST(RecoveryCraftTest, ClusterLargerThanTheTransferSizeAndMemoryMode) {
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  GlobalObjectsScope scope;
  HeadlessView view;
  g_appState->view = &view;
  g_appState->scanFlag = 3;
  Drive* drive = ScanDriveImage(img, view);
  int32_t index = -1;
  for (const FoundItem& it : view.found)
    if (it.name == u"plain.bin" || it.name == u"plain-link.bin") index = it.nodeIndex;
  ASSERT_GE(index, 0);
  auto* node = static_cast<snode*>(g_engine->nodes->GetAt(index));
  ASSERT_NE(node, nullptr);
  auto* vol = static_cast<NTFSVol*>(g_engine->volumes[node->volumeIndex]);
  ASSERT_EQ(vol->clusterSize, 4096u);
  const std::string expected = "7dc51ba9f2e5c59454b87d01c6b9723d";  // icat (basic.icat-md5.txt)
  drive->FixSize(2048);
  const TempFolder destTemp("rec_smallxfer");
  const std::string dest = destTemp.Path();
  EXPECT_EQ(NtfsRecoverFile(vol, node, FromUtf8(dest + "/plain.bin"), nullptr), kRecCopied) << ToUtf8(LastErrorText());
  const std::string whole = ReadFileText(dest + "/plain.bin");
  EXPECT_EQ(Md5Text(whole), expected);
  drive->FixSize(0x100000);
  for (size_t capacity : {size_t(0), size_t(1), size_t(4096), size_t(70000), size_t(200000)}) {
    SCOPED_TRACE(capacity);
    std::vector<uint8_t> mem(capacity + 32, 0xEE);
    RecMemory m{mem.data(), capacity, 0};
    EXPECT_EQ(NtfsRecoverFile(vol, node, u"", nullptr, &m), kRecCopied);
    const size_t want = std::min(capacity, whole.size());
    EXPECT_EQ(m.used, want);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mem.data()), want), whole.substr(0, want));
    for (size_t i = want; i < mem.size(); i++) ASSERT_EQ(mem[i], 0xEE) << i;
  }
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}

// A file with no volume on a drive of two NTFS volumes is tried on each
// volume: under its name, then under the first "(n)" name that is free (an
// unrelated "file1(1).txt" stays as it is). Its record lies in the first
// volume, so the second attempt ("file1(2).txt") fails and leaves nothing;
// the item's result is the first attempt's.
TEST(RecoveryCraftTest, AttemptsOnEveryVolumeTakeTheFirstFreeName) {
  const std::string dir = FixtureCache() + "/ntfs-scan";
  if (RunFixtureScript("make_ntfs_scan_image.sh", dir, ">/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root, FUSE, mkntfs, ntfs-3g";
  const std::string img = dir + "/twoparts.img";
  GlobalObjectsScope scope;
  HeadlessView view;
  g_appState->view = &view;
  g_appState->scanFlag = 3;
  Drive* drive = ScanDriveImage(img, view);
  ASSERT_EQ(g_engine->volumes.size(), 2u);
  int32_t index = -1;
  for (const FoundItem& it : view.found)
    if (it.name == u"file1.txt") index = it.nodeIndex;
  ASSERT_GE(index, 0);
  cnode* node = g_engine->nodes->GetAt(index);
  node->volumeIndex = kNoVolume;
  const TempFolder destTemp("rec_attempts");
  const std::string dest = destTemp.Path();
  WriteFileText(dest + "/file1(1).txt", "unrelated");
  EXPECT_EQ(RecoverNtfsNode(g_engine, index, FromUtf8(dest + "/file1.txt"), u"", false, nullptr), 0)
      << ToUtf8(LastErrorText());
  EXPECT_EQ(ReadFileText(dest + "/file1.txt"), "partition 1\n");
  EXPECT_EQ(ReadFileText(dest + "/file1(1).txt"), "unrelated");
  EXPECT_FALSE(std::ifstream(dest + "/file1(2).txt").good());
  EXPECT_EQ(RunCommand("ls '" + dest + "'"), "file1(1).txt\nfile1.txt\n");
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}

// The volumes a file is tried on are those that can hold it. The file
// (resident data, so tried on its own volume, else volume 0, whatever
// volume range the user chose) is saved from volume 0 with the range on
// volume 1; named as volume 1's, where its record cannot lie, it is
// refused with message 344; with no volume and its record outside every
// volume, with 182; back in place, it is saved.
TEST(RecoveryCraftTest, CandidatesAreTheVolumesThatCanHoldTheFile) {
  const std::string dir = FixtureCache() + "/ntfs-scan";
  if (RunFixtureScript("make_ntfs_scan_image.sh", dir, ">/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root, FUSE, mkntfs, ntfs-3g";
  GlobalObjectsScope scope;
  HeadlessView view;
  g_appState->view = &view;
  g_appState->scanFlag = 3;
  Drive* drive = ScanDriveImage(dir + "/twoparts.img", view);
  ASSERT_EQ(g_engine->volumes.size(), 2u);
  int32_t index = -1;
  for (const FoundItem& it : view.found)
    if (it.name == u"file1.txt") index = it.nodeIndex;
  ASSERT_GE(index, 0);
  auto* node = static_cast<snode*>(g_engine->nodes->GetAt(index));
  ASSERT_TRUE(node->IsEmpty());
  const TempFolder destTemp("rec_candidates");
  const std::string saved = destTemp.Path() + "/file1.txt";
  const WString target = FromUtf8(saved);
  const int32_t first = g_engine->firstVolume, end = g_engine->endVolume;
  g_engine->firstVolume = 1;
  g_engine->endVolume = 2;
  node->volumeIndex = kNoVolume;
  EXPECT_EQ(RecoverNtfsNode(g_engine, index, target, u"", false, nullptr), 0) << ToUtf8(LastErrorText());
  EXPECT_EQ(ReadFileText(saved), "partition 1\n");
  std::remove(saved.c_str());
  g_engine->firstVolume = 0;
  node->volumeIndex = 1;
  EXPECT_EQ(RecoverNtfsNode(g_engine, index, target, u"", false, nullptr), -1);
  EXPECT_EQ(LastErrorText(), Msg(344));
  node->volumeIndex = kNoVolume;
  const uint64_t at = node->position;
  node->position = uint64_t(1) << 40;
  EXPECT_EQ(RecoverNtfsNode(g_engine, index, target, u"", false, nullptr), -1);
  EXPECT_EQ(LastErrorText(), Msg(182));
  node->position = at;
  EXPECT_EQ(RecoverNtfsNode(g_engine, index, target, u"", false, nullptr), 0) << ToUtf8(LastErrorText());
  EXPECT_EQ(ReadFileText(saved), "partition 1\n");
  g_engine->firstVolume = first;
  g_engine->endVolume = end;
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  g_currentDrive = nullptr;
  DeleteDrive(&drive);
}

}  // namespace
