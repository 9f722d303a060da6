// The engine's tables and the hand-over protocol, without a source.
#include <gtest/gtest.h>

#include <thread>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/SendObj.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Wildcard.h"
#include "storage/Drive.h"
#include "tests/support/TestUtil.h"
#include "volumes/Node.h"
#include "volumes/VolumeSearch.h"

namespace {

TEST(ExtensionToType, Table) {
  const struct {
    const char16_t* name;
    int code;
  } cases[] = {{u"a.jpg", 11},   {u"A.JPG", 11}, {u"noext", 255},      {u"dot.", 255},  {u"x.tar.zip", 30},
               {u"r.docx", 8},   {u"r.doc", 7},  {u"v.avi", 3},        {u"z.ZIP", 30},  {u"u.unknown", 255},
               {u".xml", 29},    {u"", 255},     {u"a.jpg.bak", 255},  {u"m.Mp3", 13}};
  for (const auto& c : cases) EXPECT_EQ(ExtensionToType(c.name), c.code) << ToUtf8(c.name);
}

TEST(ExtensionToType, OemNeverPastTheTable) {
  EXPECT_EQ(ExtensionToTypeOem("photo.jpg"), 11);
  EXPECT_EQ(ExtensionToTypeOem(std::string(1023, 'a') + ".jpg"), 255);  // 1027 bytes
  EXPECT_EQ(ExtensionToTypeOem(std::string(1020, 'a') + ".gif"), 255);  // exactly 1024
  EXPECT_EQ(ExtensionToTypeOem(std::string(1019, 'a') + ".gif"), 10);
  for (int code : {31, 200, 255}) EXPECT_TRUE(CarvingTypeExtension(uint8_t(code)).empty());
  EXPECT_EQ(CarvingTypeExtension(30), u"zip");
}

TEST(SystemFileRecordNumber, Table) {
  const struct {
    const char16_t* name;
    int record;
  } cases[] = {{u".", 5},        {u"$MFT", 0},     {u"$MFTMirr", 1}, {u"$LogFile", 2}, {u"$Volume", 3},
               {u"$AttrDef", 4}, {u"$Bitmap", 6},  {u"$Boot", 7},    {u"$BadClus", 8}, {u"$Secure", -1},
               {u"MFT", -1},     {u"$mft", -1},    {u"", -1}};
  for (const auto& c : cases) EXPECT_EQ(SystemFileRecordNumber(c.name), c.record) << ToUtf8(c.name);
}

// One polarity: 0 passes.
TEST(PathFilterMatch, Table) {
  const struct {
    const char16_t* path;
    const char16_t* filter;
    int result;
  } cases[] = {
      {u"\\Docs\\a.txt", u"\\docs", 0},  {u"\\Other\\a.txt", u"\\docs", 1}, {u"\\Docs\\a.txt", u"*.TXT", 0},
      {u"\\Docs\\a.jpg", u"*.txt", 1},  {u"\\a", nullptr, 0},             {u"\\a", u"", 0},
      {nullptr, u"*.txt", 0},           {u"", u"*.txt", 0},               {u"\\d", u"\\docs\\deeper", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PathFilterMatch(c.path, c.filter, nullptr) != 0, c.result != 0)
        << ToUtf8(c.path ? c.path : u"(null)") << " / " << ToUtf8(c.filter ? c.filter : u"(null)");
  EXPECT_EQ(FindNoCase(u"abcDEF", u"def"), 3u);
  EXPECT_EQ(FindNoCase(u"abc", u""), 0u);
  EXPECT_EQ(FindNoCase(u"abc", u"x"), WStringView::npos);
}

// A view that counts and releases at once.
struct CountingView : HeadlessView {
  int handovers = 0;
  std::vector<int> percents;
  void FoundItems(std::vector<FoundItem>& items, int percent) override {
    handovers++;
    percents.push_back(percent);
    HeadlessView::FoundItems(items, percent);
  }
};

FoundItem Item(int i) {
  FoundItem f;
  f.nodeIndex = i;
  f.name.assign(1, u'f');
  return f;
}

// Window edges: first 0, size 1000: the 1000th item hands over even though
// the batch is not full, the 1001st is dropped with 2; items before the
// window give 0 and are still counted.
TEST(SendObj, WindowEdges) {
  GlobalObjectsScope scope;
  CountingView view;
  const struct {
    int32_t first;
    uint32_t size;
    int total;
    int kept;
  } cases[] = {{0, 1000, 1001, 1000}, {10, 5, 20, 5}, {0, 2147483647, 1200, 1200}, {2147483000, 4294967295u, 5, 0}};
  for (const auto& c : cases) {
    g_appState->stopRequested = 0;
    g_appState->searchFirst = c.first;
    g_appState->searchLimit = c.size;
    SendObj s;
    s.SetView(&view);
    s.SendMsg2(0, kCodeFoundItems);  // a run's first hand-over does not wait
    view.found.clear();
    std::vector<int> answers;
    for (int i = 1; i <= c.total; i++) answers.push_back(s.AddItem(Item(i)));
    s.SendMsg2(6000, kCodeFoundItems);
    EXPECT_EQ(view.found.size(), size_t(c.kept)) << c.first << "+" << c.size;
    EXPECT_EQ(s.ItemCount(), uint64_t(c.total));
    EXPECT_EQ(s.ItemsBeforeWindow(), std::min<uint64_t>(uint64_t(c.total), uint64_t(c.first)));
    for (int i = 1; i <= c.total; i++) {
      const uint64_t n = uint64_t(i);
      const int want = n <= uint64_t(c.first) ? 0 : n <= uint64_t(c.first) + c.size ? 1 : 2;
      ASSERT_EQ(answers[size_t(i - 1)], want) << i;
    }
  }
  // The 1000th item of a 1000-item window goes at once.
  g_appState->searchFirst = 0;
  g_appState->searchLimit = 1000;
  SendObj s;
  s.SetView(&view);
  s.SendMsg2(0, kCodeFoundItems);
  view.handovers = 0;
  for (int i = 1; i <= 1000; i++) s.AddItem(Item(i));
  EXPECT_EQ(view.handovers, 2);  // at 500 and at 1000
  g_appState->searchLimit = 2147483647;
}

// Mode 0 records, mode 1 hands over only a change, mode 2 always.
TEST(SendObj, PercentModes) {
  GlobalObjectsScope scope;
  CountingView view;
  SendObj s;
  s.SetView(&view);
  s.SendMsg2(0, kCodeFoundItems);
  view.handovers = 0;
  const struct {
    int percent, mode, handovers;
  } steps[] = {{5, 0, 0}, {5, 1, 0}, {6, 1, 1}, {6, 1, 1}, {6, 2, 2}, {7, 0, 2}, {7, 2, 3}};
  for (const auto& st : steps) {
    s.SetPercentComplete(st.percent, kCodeFoundItems, st.mode);
    EXPECT_EQ(view.handovers, st.handovers) << st.percent << "/" << st.mode;
    EXPECT_EQ(s.Percent(), st.percent);
    EXPECT_EQ(g_percentDone.load(), st.percent);
    // The status window reads it from the shared counters.
    EXPECT_EQ(theProgressAndStats().percent.load(), st.percent);
  }
  EXPECT_EQ(view.percents.back(), 7);
}

// A consumer that never releases the batch: the wait ends on stop.
struct SilentView : HeadlessView {
  int calls = 0;
  void FoundItems(std::vector<FoundItem>& items, int) override {
    calls++;
    items.clear();
  }
};

TEST(SendObj, WaitEndsOnStop) {
  GlobalObjectsScope scope;
  SilentView view;
  SendObj s;
  s.SetView(&view);
  g_appState->stopRequested = 0;
  s.SendMsg2(0, kCodeFoundItems);  // the first goes without waiting
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_appState->stopRequested = 1;
  });
  s.SendMsg2(20, kCodeFoundItems);  // would wait forever for the silent view
  stopper.join();
  EXPECT_EQ(view.calls, 2);
  g_appState->stopRequested = 0;
  s.Abandon();
  s.SendMsg2(20, kCodeFoundItems);
  EXPECT_EQ(view.calls, 3);
}

TEST(Engine, PercentForVolumesAndSelection) {
  GlobalObjectsScope scope;
  NTFSObj e(nullptr);
  for (uint64_t size : {1000u, 3000u, 6000u, 7u}) {
    auto* v = new NTFSVol(&e);
    v->sizeSectors = size;
    e.AddVolume(v);
  }
  std::vector<uint32_t> shares;
  e.SelectPartition(0, 0, 0, 0);
  e.ComputePercentForVolumes(&shares);
  EXPECT_EQ(shares, (std::vector<uint32_t>{9, 29, 59, 3}));
  e.SelectPartition(1, 1, 0, 0);
  e.ComputePercentForVolumes(&shares);
  EXPECT_EQ(shares, (std::vector<uint32_t>{0, 100, 0, 0}));
  // A user-defined volume selected twice takes one slot.
  e.SelectPartition(2, 0, 5000, 100);
  EXPECT_EQ(e.volumes.size(), 5u);
  e.SelectPartition(2, 0, 7000, 200);
  EXPECT_EQ(e.volumes.size(), 5u);
  EXPECT_EQ(e.firstVolume, 4);
  EXPECT_EQ(e.volumes[4]->startSector, 7000u);
  // A listed volume is found, not added.
  e.SelectPartition(2, 0, 7000, 200);
  EXPECT_EQ(e.firstVolume, 4);
  e.volumes[1]->startSector = 64;
  e.SelectPartition(2, 0, 64, 3000);
  EXPECT_EQ(e.firstVolume, 1);
  EXPECT_EQ(e.endVolume, 2);
}

// The table grows by 32 at a time up to its cap; a full table takes no
// user-defined slot.
TEST(Engine, ExtendPartitionTableStopsAtTheCap) {
  GlobalObjectsScope scope;
  NTFSObj e(nullptr);
  ASSERT_TRUE(e.ExtendPartitionTable());
  EXPECT_GE(e.volumes.capacity(), 32u);
  while (e.volumes.size() < kMaxDriveVolumes) {
    auto* v = new NTFSVol(&e);
    v->startSector = 100 * e.volumes.size();
    ASSERT_GE(e.AddVolume(v), 0);
  }
  EXPECT_FALSE(e.ExtendPartitionTable());
  e.SelectPartition(2, 0, 999999, 100);
  EXPECT_EQ(e.volumes.size(), kMaxDriveVolumes);
  EXPECT_EQ(e.firstVolume, e.endVolume);
}

// A record is stored once; a trailing "\" goes unless the whole is 3
// characters or fewer; before the window, files go and folders stay.
TEST(Engine, NoDuplicatesPathEndAndWindow) {
  GlobalObjectsScope scope;
  NTFSObj e(nullptr);
  CountingView view;
  SendObj s;
  s.SetView(&view);
  s.SendMsg2(0, kCodeFoundItems);
  e.sendObj = &s;
  snode n;
  n.volumeIndex = 0;
  n.id = 70;
  n.position = 1234;
  n.name = e.nodes->InternName(u"file.txt");
  int64_t a = -1, b = -1;
  ASSERT_NE(e.AddNewNode(&n, true, &a), nullptr);
  ASSERT_NE(e.AddNewNode(&n, true, &b), nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(e.nodes->Count(), 1u);
  n.position = 9999;  // the same number at another place is another record
  e.AddNewNode(&n, true, &b);
  EXPECT_NE(a, b);

  g_appState->searchFirst = 0;
  g_appState->searchLimit = 100;
  e.StoreFileItem(u"C:", u"\\", a);
  e.StoreFileItem(u"]:", u"\\dir\\", a);
  s.SendMsg2(6000, kCodeFoundItems);
  ASSERT_EQ(view.found.size(), 2u);
  EXPECT_EQ(view.found[0].folderPath, u"C:\\");
  EXPECT_EQ(view.found[1].folderPath, u"]:\\dir");
  EXPECT_EQ(view.found[1].name, u"file.txt");

  g_appState->searchFirst = 50;  // the next items lie before the window
  snode folder;
  folder.volumeIndex = 0;
  folder.id = 80;
  folder.flags2 = kNode2Directory;
  int64_t f = -1;
  e.AddNewNode(&folder, true, &f);
  EXPECT_EQ(e.StoreFileItem(u"V", u"\\", f), 0);
  EXPECT_EQ(e.StoreFileItem(u"V", u"\\", a), 0);
  EXPECT_NE(e.nodes->GetAt(f), nullptr);
  EXPECT_EQ(e.nodes->GetAt(a), nullptr);
  g_appState->searchFirst = 0;
  g_appState->searchLimit = 2147483647;
}

// On a drive, the engine's volume list is the drive's table: the same
// volume is not added twice, a user-defined volume takes a slot of its own,
// and the volumes stay with the drive when the engine goes.
TEST(Engine, VolumeListIsTheDrivesTable) {
  GlobalObjectsScope scope;
  const TempFolder imgTemp("engine_table");
  const std::string img = imgTemp.Path() + "/blank.img";
  WriteFileText(img, std::string(1 << 20, '\0'));
  Drive* drive = CreateDrive(FromUtf8(img));
  drive->InitDrive(FromUtf8(img));
  {
    NTFSObj e(drive);
    ASSERT_NE(drive->volumeList, nullptr);
    EXPECT_EQ(&e.volumes, &DriveVolumes(*drive)->items);
    auto* a = new NTFSVol();
    a->startSector = 0;
    a->sizeSectors = 1000;
    EXPECT_EQ(e.AddVolume(a), 0);
    EXPECT_EQ(a->engine, &e);
    EXPECT_EQ(a->GetDisplayName(), u"Volume 0");
    auto* same = new NTFSVol();
    same->startSector = 0;
    same->sizeSectors = 1010;
    EXPECT_EQ(e.AddVolume(same), -1);  // the caller keeps it
    delete same;
    e.SelectPartition(2, 0, 64, 500);
    EXPECT_EQ(VolumeCount(*drive), 2u);
    EXPECT_EQ(e.firstVolume, 1);
    EXPECT_EQ(VolumeAt(*drive, 1)->startSector, 64u);
    CVol* def = e.CreateDefaultVolume();
    EXPECT_EQ(def->startSector, 0u);
    EXPECT_EQ(def->sizeSectors, drive->SectorCount());
    EXPECT_EQ(e.AddVolume(def), 2);
  }
  ASSERT_EQ(VolumeCount(*drive), 3u);
  for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(VolumeAt(*drive, i)->engine, nullptr);
  DeleteDrive(&drive);
}

}  // namespace
