// The recovery driver and the volume file recovery through a small fake
// file-system family plugged in with RegisterVolumeFamily: files are byte
// strings; reads can be cut short, fail, stop the run or throw. Covers the
// failure roads that real images cannot easily give: short reads, the
// memory mode's capacity, the resume point, clusters larger than a read,
// the stop / time-out / exception ways out of the driver, the disk-full
// question on a small tmpfs, the bad-extent folder, and the folder walk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/RecFile.h"
#include "engine/RecoverDriver.h"
#include "engine/RecoverNtfs.h"
#include "engine/RecoveryLog.h"
#include "engine/SendObj.h"
#include "engine/VolumeRecovery.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "tests/support/EngineRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

// ---- the fake family ----

struct FakeFile {
  std::string data;
  int64_t shortAt = -1;  // reads at or past this offset give fewer bytes
  bool failAt = false;   // with shortAt: the read fails (-1) instead
  bool stopOnRead = false;
  bool throwOnRead = false;
  bool badExtent = false;  // the reader meets a bad extent
  std::string folder;      // a folder's listing: "f name id\n" / "d name id\n" / "x name id\n" (deleted)
};
std::map<uint32_t, FakeFile> g_files;
uint32_t g_readCalls = 0;
uint64_t g_largestRead = 0;

int64_t FakeRead(CVol& volume, const cnode& node, uint64_t offset, uint8_t* buffer, size_t capacity) {
  g_readCalls++;
  g_largestRead = std::max<uint64_t>(g_largestRead, capacity);
  auto it = g_files.find(node.id);
  if (it == g_files.end()) return -1;
  FakeFile& f = it->second;
  if (f.throwOnRead) ShowErrorAndThrow();
  if (f.stopOnRead && g_appState) g_appState->stopRequested = 1;
  if (f.badExtent && volume.Options().skipFilesOnBadExtents) volume.ReportBadExtent();
  const std::string& src = f.folder.empty() ? f.data : f.folder;
  if (offset >= src.size()) return 0;
  size_t n = std::min(capacity, src.size() - size_t(offset));
  if (f.shortAt >= 0 && offset + n > uint64_t(f.shortAt)) {
    if (f.failAt) return -1;
    n = offset < uint64_t(f.shortAt) ? size_t(f.shortAt - offset) : 0;
  }
  std::memcpy(buffer, src.data() + offset, n);
  return int64_t(n);
}

bool FakeMap(CVol&, const cnode&, const void*, uint32_t*) { return true; }

std::deque<std::vector<uint8_t>> g_names;  // counted names, kept for the run
const uint8_t* CountedName(const std::string& name) {
  std::vector<uint8_t> n{uint8_t(name.size()), 0};
  n.insert(n.end(), name.begin(), name.end());
  g_names.push_back(std::move(n));
  return g_names.back().data();
}

cnode* MakeNode(const std::string& name, uint32_t id, uint64_t size, bool folder, bool deleted) {
  // The nodes of the family it stands in for: the node table frees them
  // through that family.
  cnode* n = CreateNode(kNodeExt);
  n->name = CountedName(name);
  n->id = id;
  n->size = size;
  if (folder) n->flags2 |= kNode2Directory;
  if (deleted) n->flags |= kNodeDeleted;
  return n;
}

int FakeParse(CVol& v, const cnode&, const uint8_t* data, size_t bytes) {
  const std::string text(reinterpret_cast<const char*>(data), bytes);
  int made = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    char kind = 0, name[64] = {};
    unsigned id = 0;
    if (std::sscanf(line.c_str(), "%c %63s %u", &kind, name, &id) != 3) continue;
    const bool folder = kind != 'f';
    const FakeFile& f = g_files[id];
    AddDirEntryNode(&v, MakeNode(name, id, folder ? f.folder.size() : f.data.size(), folder, kind == 'x'));
    made++;
  }
  return made;
}

const FamilyDataOps kFakeData = {.map = FakeMap, .read = FakeRead};
// Folder sizes in clusters, as ext, which it stands in for.
const FamilyScanOps kFakeScans = {.parseEntries = FakeParse, .folderSizeInClusters = true};
const VolumeFamily kFake = {.name = "fake", .data = &kFakeData, .scans = &kFakeScans};

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char((i * 131 + seed * 7 + (i >> 11)) & 0xFF);
  return s;
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// A view that answers the first request for a list and then never again.
class SilentAfterFirstList : public HeadlessView {
 public:
  void FillRecoveryList(std::vector<RecoveryListEntry>& list) override {
    if (asked_++ == 0) HeadlessView::FillRecoveryList(list);
  }

 private:
  int asked_ = 0;
};

class FakeFamilyTest : public testing::Test {
 protected:
  void SetUp() override {
    g_files.clear();
    g_readCalls = 0;
    g_largestRead = 0;
    replaced_ = RegisterVolumeFamily(kVolExt, &kFake);
    engine_ = new NTFSObj(nullptr);
    g_engine = engine_;
    vol_ = CreateVol(kVolExt);
    vol_->SetSectorSize(512);
    vol_->SetClusterSize(4096);
    vol_->sizeSectors = 1 << 24;
    ASSERT_EQ(engine_->AddVolume(vol_), 0);
    vol_->volumeNumber = 0;
    // A folder of its own, so files a test puts beside it are removed too.
    dest_ = box_.Path() + "/dest";
    ASSERT_EQ(mkdir(dest_.c_str(), 0755), 0);
  }
  void TearDown() override {
    RegisterVolumeFamily(kVolExt, replaced_);
    delete engine_;
    g_engine = nullptr;
    if (g_appState) {
      DropSendObjs();
    }
    g_recoveryListWaitMs = 100000;
  }

  // A file of the fake volume in the engine's node table: its index.
  int32_t AddFile(const std::string& name, const FakeFile& f, uint32_t id) {
    g_files[id] = f;
    cnode* n = MakeNode(name, id, f.data.size(), false, false);
    n->volumeIndex = 0;
    int64_t index = -1;
    EXPECT_NE(engine_->AddNewNode(n, false, &index), nullptr);
    return int32_t(index);
  }

  RecoveryListEntry Entry(int32_t nodeIndex, const std::string& name, const std::string& root) {
    RecoveryListEntry e;
    e.nodeIndex = nodeIndex;
    e.recordIndex = nodeIndex;
    EXPECT_TRUE(BuildDestinationPath(FromUtf8(root), u"\\", FromUtf8(name), &e.destinationPath));
    return e;
  }

  // Runs the driver on the worker thread as the view would.
  void Recover(HeadlessView* view, std::vector<RecoveryListEntry> list, const std::string& root) {
    g_appState->view = view;
    view->SetRecoveryList(std::move(list));
    RecoverToFolder(root, *view);
  }

  std::map<int32_t, int16_t> Statuses(const HeadlessView& v) {
    std::map<int32_t, int16_t> s;
    for (const StatusItem& i : v.statuses) s[i.recordIndex] = i.status;
    return s;
  }

  TempFolder box_{"recfault"};
  GlobalObjectsScope scope_;
  NTFSObj* engine_ = nullptr;
  CVol* vol_ = nullptr;
  std::string dest_;
  const VolumeFamily* replaced_ = nullptr;  // the ext family the fake stands in for
};

// A short or failed read is a failed item and leaves no file; whole files
// beside it are saved exactly.
TEST_F(FakeFamilyTest, ShortOrFailedReadIsAFailureNeverASavedFile) {
  struct Case {
    const char* name;
    size_t size;
    int64_t shortAt;
    bool fail;
  } cases[] = {{"cut_first_piece.bin", 300000, 100000, false},
               {"cut_second_piece.bin", 3 << 20, (1 << 20) + 5, false},
               {"nothing_read.bin", 5000, 0, false},
               {"read_fails.bin", 2 << 20, 1 << 20, true},
               {"whole.bin", 1500000, -1, false},
               // Large enough for the writer thread: the reading side's
               // failure ends the file while earlier pieces are queued.
               {"big_cut.bin", 9 << 20, (8 << 20) + 3, false},
               {"big_read_fails.bin", 10 << 20, 9 << 20, true},
               {"big_whole.bin", (9 << 20) + 123, -1, false}};
  std::vector<RecoveryListEntry> list;
  uint32_t id = 10;
  for (const Case& c : cases) {
    FakeFile f;
    f.data = Pattern(c.size, id);
    f.shortAt = c.shortAt;
    f.failAt = c.fail;
    list.push_back(Entry(AddFile(c.name, f, id++), c.name, dest_));
  }
  HeadlessView view;
  Recover(&view, list, dest_);
  const auto st = Statuses(view);
  ASSERT_EQ(st.size(), list.size());
  for (size_t i = 0; i < list.size(); i++) {
    SCOPED_TRACE(cases[i].name);
    const std::string path = dest_ + "/" + cases[i].name;
    if (cases[i].shortAt < 0) {
      EXPECT_EQ(st.at(list[i].recordIndex), kStatusSaved);
      EXPECT_EQ(ReadFileText(path), g_files[10 + uint32_t(i)].data);
    } else {
      EXPECT_EQ(st.at(list[i].recordIndex), kStatusFailed);
      EXPECT_FALSE(Exists(path));
    }
  }
  EXPECT_EQ(g_recoveryTotals.saved.load(), 2u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 6u);
}

// Memory mode copies at most the capacity, whatever the file's size.
TEST_F(FakeFamilyTest, MemoryModeStopsAtTheCapacity) {
  for (size_t capacity : {size_t(0), size_t(1), size_t(10000), size_t(1 << 20), size_t((1 << 20) + 7)}) {
    SCOPED_TRACE(capacity);
    FakeFile f;
    f.data = Pattern(3 << 20, 3);
    AddFile("m.bin", f, 77);
    cnode* node = engine_->nodes->GetAt(engine_->nodes->Count() - 1);
    std::vector<uint8_t> mem(capacity + 64, 0xEE);
    RecMemory m{mem.data(), capacity, 0};
    EXPECT_EQ(RecoverVolumeNode(vol_, node, u"", &m, nullptr, nullptr), 0);
    EXPECT_EQ(m.used, capacity);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mem.data()), capacity), f.data.substr(0, capacity));
    for (size_t i = capacity; i < mem.size(); i++) ASSERT_EQ(mem[i], 0xEE) << "written past the capacity at " << i;
  }
}

// A resume point inside a cluster goes back to the cluster's start: the
// bytes land where they belong. Through the restart list as the driver's
// callers set it, and through the explicit offset.
TEST_F(FakeFamilyTest, ResumeIsRoundedDownToTheCluster) {
  const std::string data = Pattern(50000, 9);
  FakeFile f;
  f.data = data;
  AddFile("r.bin", f, 5);
  cnode* node = engine_->nodes->GetAt(engine_->nodes->Count() - 1);
  for (int64_t resume : {int64_t(1), int64_t(4095), int64_t(4096), int64_t(5000), int64_t(49999)}) {
    SCOPED_TRACE(resume);
    const std::string path = dest_ + "/r" + std::to_string(resume) + ".bin";
    // What an earlier run wrote: the right bytes up to `resume`, then junk
    // that the resumed run must replace.
    WriteFileText(path, data.substr(0, size_t(resume)) + std::string(100, 'J'));
    ASSERT_EQ(RecoverVolumeNode(vol_, node, FromUtf8(path), nullptr, nullptr, nullptr, resume), 0);
    EXPECT_EQ(ReadFileText(path), data);
  }
  // The restart list of the options file: resumes at the listed file's size.
  const std::string path = dest_ + "/listed.bin";
  WriteFileText(path, data.substr(0, 6000));
  g_appState->restartFiles.push_back(FromUtf8(path));
  g_readCalls = 0;
  ASSERT_EQ(RecoverVolumeNode(vol_, node, FromUtf8(path), nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(ReadFileText(path), data);
  g_appState->restartFiles.clear();
}

// Clusters larger than one read piece: every piece still moves forward.
TEST_F(FakeFamilyTest, ClustersLargerThanTheReadPieceStillAdvance) {
  ASSERT_TRUE(vol_->SetClusterSize(4 << 20));
  FakeFile f;
  f.data = Pattern((9 << 20) + 3, 4);
  const int32_t index = AddFile("huge_cluster.bin", f, 6);
  HeadlessView view;
  Recover(&view, {Entry(index, "huge_cluster.bin", dest_)}, dest_);
  EXPECT_EQ(Statuses(view).at(index), kStatusSaved);
  EXPECT_EQ(ReadFileText(dest_ + "/huge_cluster.bin"), f.data);
  EXPECT_GE(g_readCalls, 10u);  // 1 MiB pieces
}

// Every way out of the driver hands the statuses made so far to the view
// and the log: a stop in the middle of a list, a list that never comes,
// an exception from a reader.
TEST_F(FakeFamilyTest, StatusesAreFlushedOnEveryWayOut) {
  enum Way { kStop, kTimeOut, kThrow };
  for (Way way : {kStop, kTimeOut, kThrow}) {
    SCOPED_TRACE(int(way));
    const TempFolder rootTemp("recflush" + std::to_string(int(way)));
    const std::string root = rootTemp.Path();
    ASSERT_TRUE(OpenRecoveryLog(FromUtf8(root)));
    std::vector<RecoveryListEntry> list;
    const int count = way == kTimeOut ? 150 : 40;
    for (int i = 0; i < count; i++) {
      FakeFile f;
      f.data = Pattern(100 + size_t(i), uint32_t(i));
      if (i == 25 && way == kStop) f.stopOnRead = true;
      if (i == 25 && way == kThrow) f.throwOnRead = true;
      const std::string name = "f" + std::to_string(i) + ".txt";
      list.push_back(Entry(AddFile(name, f, 1000 + uint32_t(i) + uint32_t(way) * 1000), name, root));
    }
    ScriptedPrompt prompt({kIdOk});
    SetPromptService(&prompt);
    g_recoveryListWaitMs = 200;
    SilentAfterFirstList view;
    Recover(&view, list, root);
    SetPromptService(nullptr);
    CloseRecoveryLog();
    const auto st = Statuses(view);
    // stop: items 0..25 (the 26th fails as stopped); time-out: the first
    // list of 100; exception: items 0..24.
    const size_t expected = way == kStop ? 26 : way == kTimeOut ? 100 : 25;
    EXPECT_EQ(st.size(), expected);
    const std::string log = ReadFileText(root + "/Recovery.log");
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("  Saved: ", at)) != std::string::npos; at++) lines++;
    EXPECT_EQ(lines, expected);
  }
}

// A full destination asks "Disk is full saving ... Replace disk and
// continue?"; No stops the run, Yes tries once more; no file that is not
// whole is reported saved or left behind.
TEST_F(FakeFamilyTest, DiskFullAsksAndNeverReportsAPartialFileSaved) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const TempFolder rootTemp("recfull");
  const std::string root = rootTemp.Path();
  if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Case {
    int answer;
    size_t asked;
    size_t bigBytes;  // 12 MiB: written by the writer thread
  } cases[] = {{kIdNo, 1, 3 << 20}, {kIdYes, 1, 3 << 20}, {kIdNo, 1, 12 << 20}, {kIdYes, 1, 12 << 20}};
  uint32_t id = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.answer) + " " + std::to_string(c.bigBytes));
    std::vector<RecoveryListEntry> list;
    FakeFile small, big, after;
    small.data = Pattern(1000, 1);
    big.data = Pattern(c.bigBytes, 2);
    after.data = Pattern(2000, 3);
    const std::string tag = std::to_string(c.answer) + "_" + std::to_string(c.bigBytes >> 20);
    list.push_back(Entry(AddFile("a" + tag + ".txt", small, id++), "a" + tag + ".txt", root));
    list.push_back(Entry(AddFile("big" + tag + ".bin", big, id++), "big" + tag + ".bin", root));
    list.push_back(Entry(AddFile("c" + tag + ".txt", after, id++), "c" + tag + ".txt", root));
    ScriptedPrompt prompt({c.answer, kIdNo});
    SetPromptService(&prompt);
    HeadlessView view;
    Recover(&view, list, root);
    SetPromptService(nullptr);
    const auto asked = prompt.asked();
    ASSERT_GE(asked.size(), c.asked);
    EXPECT_NE(ToUtf8(asked[0].text).find("Disk is full saving "), std::string::npos);
    EXPECT_NE(ToUtf8(asked[0].text).find("Replace disk and continue?"), std::string::npos);
    const auto st = Statuses(view);
    EXPECT_EQ(st.at(list[0].recordIndex), kStatusSaved);
    EXPECT_EQ(st.at(list[1].recordIndex), kStatusFailed);
    EXPECT_FALSE(Exists(root + "/big" + tag + ".bin"));
    EXPECT_EQ(ReadFileText(root + "/a" + tag + ".txt"), small.data);
    if (c.answer == kIdNo) {
      EXPECT_EQ(st.count(list[2].recordIndex), 0u);  // stopped before it
    }
  }
  umount(root.c_str());
}

// "Skip Files on Bad Extents": a file whose reader met a bad extent goes to
// the corrupt-files folder (with its path below the destination) and counts
// as corrupt; without that folder it is deleted.
TEST_F(FakeFamilyTest, BadExtentFilesGoToTheCorruptFolderOrAreDeleted) {
  for (bool withFolder : {true, false}) {
    SCOPED_TRACE(withFolder);
    // The corrupt-files folder beside the destination, made by the recovery.
    const TempFolder box(std::string("recbad") + (withFolder ? "1" : "0"));
    const std::string root = box.Path() + "/dest";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    const std::string corrupt = root + "_corrupt";
    g_appState->skipFilesOnBadExtents = 1;
    g_appState->corruptFilesFolder = withFolder ? FromUtf8(corrupt) : WString();
    FakeFile good, bad;
    good.data = Pattern(5000, 1);
    bad.data = Pattern(7000, 2);
    bad.badExtent = true;
    const uint32_t base = withFolder ? 400 : 500;
    const int32_t gi = AddFile("good.txt", good, base);
    const int32_t bi = AddFile("bad.txt", bad, base + 1);
    RecoveryListEntry be;
    be.nodeIndex = bi;
    be.recordIndex = bi;
    ASSERT_TRUE(BuildDestinationPath(FromUtf8(root), u"\\sub\\", u"bad.txt", &be.destinationPath));
    HeadlessView view;
    Recover(&view, {Entry(gi, "good.txt", root), be}, root);
    const auto st = Statuses(view);
    EXPECT_EQ(st.at(gi), kStatusSaved);
    EXPECT_EQ(st.at(bi), kStatusCorrupt);
    EXPECT_EQ(ReadFileText(root + "/good.txt"), good.data);
    EXPECT_FALSE(Exists(root + "/sub/bad.txt"));
    if (withFolder) {
      EXPECT_EQ(ReadFileText(corrupt + "/sub/bad.txt"), bad.data);
    }
    g_appState->skipFilesOnBadExtents = 0;
    g_appState->corruptFilesFolder.clear();
  }
}

// The folder walk: live folders breadth-first, then deleted ones; a folder
// reached twice is parsed once (and listed for each entry naming it); files
// and folders reach the engine with their folder path; a folder path over
// 1023 characters restarts at its own name.
TEST_F(FakeFamilyTest, FolderWalkThroughTheRegisteredFamily) {
  // Folder sizes are whole clusters (ext folders of other sizes are
  // dropped as damaged).
  auto listing = [](std::string s) { return s + std::string(4096 - s.size(), '\n'); };
  FakeFile root, a, b, gone;
  root.folder = listing("f top.txt 10\nd a 2\nx gone 4\nd b 3\n");
  a.folder = listing("f one.txt 11\nd b 3\n");  // b again: parsed once
  b.folder = listing("f two.txt 12\nd odd 5\n");
  gone.folder = listing("f lost.txt 13\nd a 2\n");
  g_files[5].folder = "f never.txt 14\n";  // not a whole cluster: dropped
  for (uint32_t id : {10u, 11u, 12u, 13u}) g_files[id].data = Pattern(id * 10, id);
  g_files[1] = root;
  g_files[2] = a;
  g_files[3] = b;
  g_files[4] = gone;
  vol_->rootNode = MakeNode("", 1, root.folder.size(), true, false);
  HeadlessView view;
  auto* send = new SendObj();
  g_appState->sendObj = send;
  send->SetView(&view);
  engine_->sendObj = send;
  g_appState->view = &view;
  g_appState->scanFlag = 3;  // deleted and existing files
  EXPECT_EQ(ParseFSCm(vol_), 1);
  send->SendMsg2(0, kCodeFoundItems, true);
  std::map<std::string, std::string> found;  // name -> folder (files)
  std::multiset<std::string> folders;       // folder path, name, deleted
  for (const FoundItem& it : view.found) {
    if (it.flags2 & kNode2Directory)
      folders.insert(ToUtf8(it.folderPath) + "|" + ToUtf8(it.name) + ((it.flags & kNodeDeleted) ? " *" : ""));
    else found[ToUtf8(it.name)] = ToUtf8(it.folderPath);
  }
  ASSERT_EQ(found.size(), 4u);
  // A deleted folder's entries are marked deleted by their family (the fake
  // one leaves "a" in "gone" as it stands).
  EXPECT_EQ(folders, (std::multiset<std::string>{"]:\\|a", "]:\\|b", "]:\\|gone *", "]:\\a|b", "]:\\gone|a"}));
  // The volume part: the number code of volume 0 (93, "]") and a colon.
  EXPECT_EQ(found["top.txt"], "]:\\");
  EXPECT_EQ(found["one.txt"], "]:\\a");
  EXPECT_EQ(found["two.txt"], "]:\\b");
  EXPECT_EQ(found["lost.txt"], "]:\\gone");
  EXPECT_EQ(found.count("never.txt"), 0u);
  // Each folder's data was read once: root, a, b, gone.
  EXPECT_EQ(g_readCalls, 4u);
  engine_->sendObj = nullptr;
}

// A volume walk never reads past the volume, and a folder whose pieces
// give no entry ends after a bounded number of pieces.
TEST_F(FakeFamilyTest, ADamagedFolderEndsEarly) {
  FakeFile root;
  root.folder = std::string(64 << 20, 'z');  // 64 MiB of nothing
  g_files[1] = root;
  vol_->rootNode = MakeNode("", 1, 1ull << 40, true, false);  // claims 1 TiB
  EXPECT_EQ(ParseFSCm(vol_), 1);
  EXPECT_LE(g_readCalls, 16u);
}

// "Scan and Save": files go straight to the destination; a symbolic link
// is not copied; the files an earlier run did (the checkpoint) are skipped.
TEST_F(FakeFamilyTest, ScanAndSaveWithACheckpoint) {
  const std::string cpFile = dest_ + "/../recfault_checkpoint.txt";
  WriteFileText(cpFile, "2");
  Checkpoint cp;
  ASSERT_EQ(cp.Load(FromUtf8(cpFile)), 1);
  cp.SetInterval(2);
  std::vector<std::string> names = {"one.txt", "two.txt", "three.txt", "four.txt", "link"};
  uint32_t id = 600;
  for (const std::string& n : names) {
    FakeFile f;
    f.data = Pattern(3000, id);
    AddFile(n, f, id++);
  }
  const int64_t first = engine_->nodes->Count() - int64_t(names.size());
  engine_->nodes->GetAt(first + 4)->flags |= kNodeSymlink;
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_TRUE(
        RecoverNodeToFolder(vol_, engine_->nodes->GetAt(first + int64_t(i)), FromUtf8(dest_), FromUtf8(names[i]), &cp))
        << ToUtf8(LastErrorText());
  }
  EXPECT_FALSE(Exists(dest_ + "/one.txt"));  // done by the earlier run
  EXPECT_FALSE(Exists(dest_ + "/link"));
  EXPECT_TRUE(ReadFileText(dest_ + "/two.txt") == g_files[601].data);
  EXPECT_TRUE(ReadFileText(dest_ + "/four.txt") == g_files[603].data);
  EXPECT_EQ(ReadFileText(cpFile), "4");  // checkpoints at 2 (not below the saved 2) and 4
}

TEST(CheckpointTest, SavedPointIntervalAndWrites) {
  GlobalObjectsScope scope;
  const TempFolder dTemp("checkpoint");
  const std::string d = dTemp.Path();
  WriteFileText(d + "/cp", "25");
  Checkpoint cp;
  ASSERT_EQ(cp.Load(FromUtf8(d + "/cp")), 1);
  cp.SetInterval(10);
  for (int i = 1; i <= 24; i++) ASSERT_EQ(cp.Advance(1), -1) << i;
  for (int i = 25; i <= 34; i++) ASSERT_EQ(cp.Advance(1), 0) << i;
  EXPECT_EQ(cp.Advance(1), 1);
  EXPECT_EQ(ReadFileText(d + "/cp"), "35");
  EXPECT_EQ(cp.NextCheckpoint(), 45);
  // No file, or one that is not a number: from 0.
  Checkpoint none;
  EXPECT_EQ(none.Load(FromUtf8(d + "/missing")), 0);
  WriteFileText(d + "/junk", "abc");
  EXPECT_EQ(none.Load(FromUtf8(d + "/junk")), 0);
  EXPECT_EQ(none.SavedPoint(), 0);
}

// The second-volume attempts take the first "(n)" name that is free.
TEST(AttemptNames, FirstFreeNameNeverOverwritesAnUnrelatedFile) {
  GlobalObjectsScope scope;
  const TempFolder dTemp("attempts");
  const std::string d = dTemp.Path();
  struct Case {
    const char* target;
    std::vector<const char*> existing;
    const char* expected;
  } cases[] = {{"a.txt", {}, "a(1).txt"},
               {"a.txt", {"a(1).txt"}, "a(2).txt"},
               {"a.txt", {"a(1).txt", "a(2).txt", "a(4).txt"}, "a(3).txt"},
               {"noext", {"noext(1)"}, "noext(2)"},
               {"d.ir/file", {}, "d.ir/file(1)"},
               {"x.tar.gz", {"x.tar(1).gz"}, "x.tar(2).gz"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const TempFolder subTemp("attempts_case");
    const std::string sub = subTemp.Path();
    std::system(("mkdir -p '" + sub + "/d.ir'").c_str());
    for (const char* e : c.existing) WriteFileText(sub + "/" + e, "unrelated");
    WString out;
    ASSERT_TRUE(NextFreeAttemptName(FromUtf8(sub + "/" + c.target), &out));
    EXPECT_EQ(ToUtf8(out), sub + "/" + c.expected);
    for (const char* e : c.existing) EXPECT_EQ(ReadFileText(sub + "/" + e), "unrelated");
  }
}

}  // namespace
