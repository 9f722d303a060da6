// The main road in the window, offscreen, on the committed NTFS image made
// by mkntfs and ntfs-3g: Disk Image Load, the pick in "Look in", a Quick
// Scan whose rows equal the recorded `fls -r -p`, Save of every checked
// file (md5s equal the recorded icat md5s, results in the list and the
// recovery log), a second Save into the same folder (overwrite dialog and
// "name[1].ext"), abort of a scan, a source that cannot be opened, and the
// Look-in box's groups.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/Engine.h"
#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/UiServices.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/MainRoad.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/SourceDialogs.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/FolderIndex.h"
#include "ui/core/ListText.h"
#include "ui/core/SaveRules.h"
#include "volumes/DestinationPath.h"
#include "volumes/VolumeSearch.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A recovery log as lines: the header, date lines, and each message line
// ("hh:mm:ss  text") counted by its text.
struct LogShape {
  bool header = false;
  int dateLines = 0;
  int otherLines = 0;  // neither a date line nor a message line
  std::map<std::string, int> messages;
};

LogShape ShapeOf(const std::string& log) {
  LogShape s;
  std::istringstream in(log);
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first) {
      s.header = line == "\xEF\xBB\xBF----- Recovery Log -----";
      first = false;
    } else if (line.rfind("========== ", 0) == 0 && line.size() > 22 &&
               line.compare(line.size() - 11, 11, " ==========") == 0) {
      s.dateLines++;
    } else if (line.size() >= 10 && line[2] == ':' && line[5] == ':' && line.compare(8, 2, "  ") == 0) {
      s.messages[line.substr(10)]++;
    } else {
      s.otherLines++;
    }
  }
  return s;
}

// fls's records after the normalisation of the engine's scan tests:
// streams, $OrphanFiles, the system files at the root and the recycle
// folder's contents (listed under their original paths) are not list rows; a
// hard-linked record is listed once under one of its names.
std::map<std::string, std::pair<std::set<std::string>, bool>> FlsRecords(const std::string& report) {
  std::map<std::string, std::pair<std::set<std::string>, bool>> out;
  std::istringstream in(report);
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
    if (path.find(':') != std::string::npos || path.rfind("$OrphanFiles", 0) == 0 ||
        path.rfind("$RECYCLE.BIN/", 0) == 0)
      continue;
    const std::string inode = head.substr(0, head.find('-'));
    if (std::stoul(inode) < 16 && path.find('/') == std::string::npos && path[0] == '$') continue;
    out[inode].first.insert(path);
    out[inode].second = deleted;
  }
  return out;
}

TEST_F(MainRoadTest, LoadScanSaveAndSaveAgain) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  // Disk Image Load told how many were added.
  if (!imageWasRegistered) {
    ASSERT_FALSE(prompt.asked().empty());
    EXPECT_EQ(prompt.asked()[0].text, u"1 disk image file added to the 'Look In' selection box.");
  }
  // The volume choice (a Quick Scan of an image), the skip question, then
  // the viewing tips at the end of a scan that found items.
  EXPECT_EQ(dialogs, (std::vector<std::string>{"CBootSect", "CSkip", "CViewing"}));

  // The rows equal fls -r -p, live and deleted.
  const auto listed = ListedPaths();
  const std::string fls = ntfs_fixture::Report("basic", "fls") + ntfs_fixture::Report("basic", "fls-deleted");
  std::set<std::string> matched;
  for (const auto& [inode, rec] : FlsRecords(fls)) {
    int hits = 0;
    for (const std::string& n : rec.first) {
      auto it = listed.find(n);
      if (it == listed.end()) continue;
      hits++;
      matched.insert(n);
      EXPECT_EQ(it->second, rec.second) << n;
    }
    EXPECT_EQ(hits, 1) << "record " << inode << " " << *rec.first.begin();
  }
  // The bin's items are rows under the paths their $I records give; the
  // bin's SID folder, which no record names, under its bin path.
  const std::set<std::string> fromBin = {"Users/ann/Documents/report.txt", "Users/ann/old", "Users/ann/old/inner.txt",
                                         "$RECYCLE.BIN/S-1-5-21-1004336348-1177238915-682003330-1000"};
  for (const std::string& path : fromBin) EXPECT_TRUE(listed.count(path)) << path;
  for (const auto& [path, del] : listed)
    EXPECT_TRUE(matched.count(path) || path.rfind("$Extend/", 0) == 0 || path == "$RECYCLE.BIN" || fromBin.count(path))
        << "not in fls: " << path;
  EXPECT_GT(View()->Control(CDelvoraView::kTab2)->isEnabled(), false);

  // Check all, save into a new folder: no overwrite question.
  View()->OnCommand(cmd::kSelectAll);
  const std::string dest = TempDir("save");
  const size_t askedBefore = prompt.asked().size();
  Save(dest);
  EXPECT_EQ(dialogs.size(), 3u) << "no overwrite dialog for a new folder";
  const std::string md5s = ntfs_fixture::Report("basic", "icat-md5");
  std::istringstream in(md5s);
  std::string line;
  int compared = 0;
  std::map<std::string, std::string> md5Of;
  while (std::getline(in, line)) {
    const size_t a = line.find("  "), b = line.find(' ', a + 2);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string md5 = line.substr(0, a), path = line.substr(b + 1);
    if (path[0] == '$' || path.find(':') != std::string::npos) continue;
    std::string file = dest + "/" + path;
    struct stat st;
    if (path == "plain.bin" && stat(file.c_str(), &st) != 0) file = dest + "/plain-link.bin";
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    EXPECT_EQ(Md5File(file), md5) << path;
    md5Of[path] = md5;
    compared++;
  }
  EXPECT_GT(compared, 12);
  // Each item's result is in the list (Saved: bits 0x500 in the node), and
  // the recovery log has its line.
  CMyListCtrl* l = View()->List();
  int saved = 0;
  for (int i = 0; i < l->GetItemCount(); i++) {
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
    if ((info.flags & 0x0700) == 0x0500) saved++;
  }
  EXPECT_EQ(saved, int(g_recoveryTotals.saved.load()));
  EXPECT_GT(saved, 12);
  const std::string log = ReadAll(dest + "/Recovery.log");
  size_t savedLines = 0;
  for (size_t at = 0; (at = log.find("  Saved: ", at)) != std::string::npos; at++) savedLines++;
  EXPECT_EQ(savedLines, size_t(saved));
  EXPECT_NE(log.find("small.txt"), std::string::npos);
  // One writer: one date line, and every line once.
  {
    const LogShape shape = ShapeOf(log);
    EXPECT_TRUE(shape.header);
    EXPECT_EQ(shape.dateLines, 1) << log;
    EXPECT_EQ(shape.otherLines, 0) << log;
    EXPECT_GE(shape.messages.size(), size_t(saved));
    for (const auto& [text, count] : shape.messages) EXPECT_EQ(count, 1) << text;
  }
  // The closing message: message 167 and the counts.
  ASSERT_GT(prompt.asked().size(), askedBefore);
  EXPECT_EQ(prompt.asked().back().text.rfind(u"Files were successfully saved.", 0), 0u);
  EXPECT_EQ(prompt.asked().back().caption, u"Delvora  ");

  // Save again into the same folder: the overwrite dialog (not-empty form),
  // answered "Generate a new unique filename": small[1].txt beside a
  // changed small.txt (an identical file is left alone).
  for (const char* changed : {"/small.txt", "/comp/text.txt"}) {
    std::ofstream f(dest + changed, std::ios::binary | std::ios::trunc);
    f << "changed";
  }
  const std::string changedMd5 = Md5File(dest + "/small.txt");
  duplicateMode = 1;
  Save(dest);
  ASSERT_EQ(dialogs.size(), 4u);
  EXPECT_EQ(dialogs[3], "CDuplicate");
  EXPECT_EQ(View()->OverwriteMode(), kOverwriteRename);
  EXPECT_EQ(Md5File(dest + "/small[1].txt"), md5Of["small.txt"]);
  EXPECT_EQ(Md5File(dest + "/comp/text[1].txt"), md5Of["comp/text.txt"]);
  EXPECT_EQ(Md5File(dest + "/small.txt"), changedMd5);
  struct stat st;
  EXPECT_NE(stat((dest + "/comp/s4097[1].txt").c_str(), &st), 0) << "identical: no second copy";
  // An identical file already there is a skip, and the heading matches the
  // counts: nothing failed.
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  EXPECT_GT(g_recoveryTotals.skipped.load(), 5u);
  EXPECT_EQ(g_recoveryTotals.identical.load(), g_recoveryTotals.skipped.load());
  const std::u16string closing = prompt.asked().back().text;
  EXPECT_EQ(closing.rfind(u"Files were successfully saved.", 0), 0u) << ToUtf8(closing);
  EXPECT_NE(closing.find(u"\nFailed: 0\nSkipped: " + FromUtf8(std::to_string(g_recoveryTotals.skipped.load()))),
            std::u16string::npos)
      << ToUtf8(closing);
}

// Rows of live files of the scan by their path (without the volume).
struct SourceRow {
  int row;
  FoundItem item;
};

TEST_F(MainRoadTest, ScanAnsweredNoLeavesVolumesAndResults) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  ASSERT_NE(g_currentDrive, nullptr);
  const int64_t rows = View()->ListRows();
  ASSERT_GT(rows, 10);
  const uint32_t volumes = VolumeCount(*g_currentDrive);
  ASSERT_GT(volumes, 0u);
  std::vector<CVol*> before;
  for (uint32_t v = 0; v < volumes; v++) before.push_back(VolumeAt(*g_currentDrive, v));
  NTFSObj* engine = g_engine;
  ASSERT_NE(engine, nullptr);
  const WString name0 = View()->List()->GetItemNodeName(0);
  // "Clear current scan results?" answered No, and a Look-for text left
  // empty (refused before the question): nothing of the last scan is
  // touched.
  for (int way = 0; way < 2; way++) {
    SCOPED_TRACE(way);
    auto* lookFor = qobject_cast<QComboBox*>(View()->Control(CDelvoraView::kLookFor));
    const QString keep = lookFor->currentText();
    if (way == 0) {
      prompt.Push(kIdNo);
    } else {
      lookFor->setCurrentIndex(-1);
      lookFor->setEditText(QString());
    }
    const size_t asked = prompt.asked().size();
    View()->OnCommand(cmd::kScan);
    ASSERT_EQ(prompt.asked().size(), asked + 1);
    EXPECT_EQ(prompt.asked()[asked].text,
              way == 0 ? u"Clear current scan results?" : u"Please specify what to look for.");
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
    EXPECT_EQ(View()->ListRows(), rows);
    EXPECT_EQ(View()->List()->GetItemNodeName(0), name0);
    EXPECT_EQ(g_engine, engine);
    ASSERT_EQ(VolumeCount(*g_currentDrive), volumes);
    for (uint32_t v = 0; v < volumes; v++) EXPECT_EQ(VolumeAt(*g_currentDrive, v), before[v]);
    lookFor->setEditText(keep);
  }
  // The results still save: the nodes behind them are alive.
  View()->OnCommand(cmd::kSelectAll);
  const std::string dest = TempDir("afterno");
  Save(dest);
  EXPECT_GT(g_recoveryTotals.saved.load(), 12u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
}

// A session-like list: items of the scan's nodes handed over under hostile
// names and folders. Names are made safe; what cannot be made safe or is
// too long is skipped, shown as Skipped in the list and reported in the
// status window and the recovery log; nothing lands outside the folder.
TEST_F(MainRoadTest, UnsafeAndOverlongItemsAreSkippedAndReported) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  // Live files with their md5 from icat.
  std::map<std::string, std::string> md5Of;
  {
    std::istringstream in(ntfs_fixture::Report("basic", "icat-md5"));
    std::string line;
    while (std::getline(in, line)) {
      const size_t a = line.find("  "), b = line.find(' ', a + 2);
      if (a != std::string::npos && b != std::string::npos) md5Of[line.substr(b + 1)] = line.substr(0, a);
    }
  }
  std::vector<std::pair<FoundItem, std::string>> sources;  // item, md5
  CMyListCtrl* l = View()->List();
  for (int i = 0; i < l->GetItemCount() && sources.size() < 8; i++) {
    std::string folder = ToUtf8(FolderBelowVolume(l->GetItemPath(i)));
    for (char& c : folder)
      if (c == '\\') c = '/';
    if (!folder.empty()) folder = folder.substr(1) + "/";
    const std::string path = folder + ToUtf8(l->GetItemNodeName(i));
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
    auto it = md5Of.find(path);
    if (it == md5Of.end() || (info.flags & 0x0002) || info.size == 0 || path[0] == '$') continue;
    // Folders have entries below them.
    auto below = md5Of.lower_bound(path + "/");
    if (below != md5Of.end() && below->first.rfind(path + "/", 0) == 0) continue;
    FoundItem item;
    item.nodeIndex = l->GetItemNodeIndex(i);
    item.size = info.size;
    item.time = info.time;
    item.flags = info.flags;
    item.volumeIndex = info.volumeIndex;
    sources.emplace_back(item, it->second);
  }
  ASSERT_GE(sources.size(), 7u);
  const std::string outer = TempDir("outer");
  const std::string dest = outer + "/dest";
  // Found paths start with the volume part: volume 0's code (93) and ":".
  const WString vol0{char16_t(93), u':'};
  WString below;  // 804 characters below the destination
  for (int k = 0; k < 4; k++) below += u"\\" + WString(200, char16_t(u'a' + k));
  const WString deep = vol0 + below;
  // The longest path a recovery takes, and one character more.
  const size_t fits = kMaxRecoveredPathChars - dest.size() - 804 - 1;
  const WString longName = WString(296, u'n') + u".txt";
  const struct {
    WString folder, name;
    const char* saved;  // below the destination; nullptr: skipped
  } crafted[] = {
      {vol0 + u"\\a", u"..", "a/_.."},
      {vol0, u"a/b", "a_b"},
      {vol0 + u"\\..\\..", u"x\x01\x1b\x7fy", "_../_../x___y"},
      {vol0, longName, ""},  // shortened: looked for below
      {deep, WString(fits, u'm'), ""},
      {deep, WString(fits + 1, u'o'), nullptr},
      {vol0, u"", nullptr},
  };
  // The list holds only the crafted items now.
  l->DeleteFileItems();
  View()->Nodes().Clear();
  std::vector<FoundItem> items;
  for (size_t k = 0; k < std::size(crafted); k++) {
    FoundItem item = sources[k].first;
    item.folderPath = crafted[k].folder;
    item.name = crafted[k].name;
    items.push_back(item);
  }
  View()->TakeFoundItems(items, 100);
  l->FinishInserting();
  ASSERT_EQ(View()->ListRows(), int64_t(std::size(crafted)));
  View()->OnCommand(cmd::kSelectAll);

  ASSERT_EQ(std::system(("mkdir -p '" + outer + "'").c_str()), 0);
  char cwdBefore[4096] = {};
  ASSERT_NE(getcwd(cwdBefore, sizeof cwdBefore), nullptr);
  const size_t askedBefore = prompt.asked().size();
  Save(dest);
  char cwdAfter[4096] = {};
  ASSERT_NE(getcwd(cwdAfter, sizeof cwdAfter), nullptr);
  EXPECT_STREQ(cwdAfter, cwdBefore) << "the working directory is the process's own";

  EXPECT_EQ(g_recoveryTotals.saved.load(), 5u);
  EXPECT_EQ(g_recoveryTotals.skipped.load(), 2u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  for (size_t k = 0; k < std::size(crafted); k++) {
    SCOPED_TRACE(k);
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(int(k)), info));
    EXPECT_EQ(info.flags & 0x0700, crafted[k].saved ? 0x0500 : 0x0600);
    if (crafted[k].saved && *crafted[k].saved) {
      EXPECT_EQ(Md5File(dest + "/" + crafted[k].saved), sources[k].second);
    }
  }
  // The shortened name and the deepest saved file.
  std::string shortened, deepest;
  if (FILE* p =
          popen(("cd '" + dest + "' && find . -type f -name 'nnn*' && find . -type f -name 'mmm*'").c_str(), "r")) {
    char buf[8192];
    while (fgets(buf, sizeof buf, p)) {
      std::string s = buf;
      if (!s.empty() && s.back() == '\n') s.pop_back();
      (s.find("/nnn") != std::string::npos ? shortened : deepest) = s.substr(2);
    }
    pclose(p);
  }
  ASSERT_FALSE(shortened.empty());
  EXPECT_LE(shortened.size(), 255u);
  EXPECT_NE(shortened.find('~'), std::string::npos);
  EXPECT_EQ(Md5File(dest + "/" + shortened), sources[3].second);
  ASSERT_FALSE(deepest.empty());
  EXPECT_EQ(dest.size() + 1 + deepest.size(), kMaxRecoveredPathChars);
  EXPECT_EQ(Md5File(dest + "/" + deepest), sources[4].second);
  // Nothing beside the destination folder.
  std::string beside;
  if (FILE* p = popen(("ls -A '" + outer + "'").c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p)) beside += buf;
    pclose(p);
  }
  EXPECT_EQ(beside, "dest\n");
  // Reported in the recovery log and the status window, with the reason.
  // Log lines name the volume as people read it.
  const std::string overlong = "Skipped: Volume 0" + ToUtf8(below) + "\\" + std::string(fits + 1, 'o');
  const std::string noName = "Skipped: Volume 0\\\n";
  const std::string log = ReadAll(dest + "/Recovery.log");
  EXPECT_NE(log.find(overlong + "\n"), std::string::npos);
  size_t skippedLines = 0;
  for (size_t at = 0; (at = log.find("Skipped: ", at)) != std::string::npos; at++) skippedLines++;
  EXPECT_EQ(skippedLines, 2u) << "each skipped item once";
  EXPECT_NE(log.find("The filename is too long (> 1024)"), std::string::npos);
  EXPECT_NE(log.find(noName), std::string::npos);
  EXPECT_NE(log.find("The item has no name: it is skipped."), std::string::npos);
  CStatusDlg* dlg = app.MainFrame()->StatusDialog();
  ASSERT_NE(dlg, nullptr);
  const std::string shown = dlg->ControlText(CStatusDlg::kLog).toStdString();
  EXPECT_NE(shown.find("Skipped: Volume 0\\aaaa"), std::string::npos);
  EXPECT_NE(shown.find("The filename is too long (> 1024)"), std::string::npos);
  EXPECT_NE(shown.find("The item has no name: it is skipped."), std::string::npos);
  // Something was saved: message 167.
  ASSERT_GT(prompt.asked().size(), askedBefore);
  EXPECT_EQ(prompt.asked().back().text.rfind(u"Files were successfully saved.", 0), 0u);
}

// A recovery that saves nothing while items fail ends with the counts.
TEST_F(MainRoadTest, NothingSavedButFailuresShowsTheCounts) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  // A file where the folder "comp" has to be made: its items fail.
  const std::string dest = TempDir("fail");
  ASSERT_EQ(std::system(("mkdir -p '" + dest + "' && echo x > '" + dest + "/comp'").c_str()), 0);
  CMyListCtrl* l = View()->List();
  l->CheckAll(false);
  l->ClearSelection();
  int picked = 0;
  for (int i = 0; i < l->GetItemCount(); i++) {
    ListNodeInfo info;
    View()->Nodes().GetNode(l->GetItemNodeIndex(i), info);
    if (FolderBelowVolume(l->GetItemPath(i)) != u"\\comp" || (info.flags & 0x0002)) continue;
    l->SelectRow(i, true);
    picked++;
  }
  ASSERT_GT(picked, 1);
  l->CheckCurItems(true);
  SetOverwriteAlwaysForTest();
  const size_t asked = prompt.asked().size();
  Save(dest);
  EXPECT_EQ(g_recoveryTotals.saved.load(), 0u);
  EXPECT_EQ(g_recoveryTotals.failed.load(), uint32_t(picked));
  ASSERT_GT(prompt.asked().size(), asked);
  EXPECT_EQ(prompt.asked().back().text,
            FromUtf8("Not every item was saved whole: see the recovery log for those that failed or came out "
                     "corrupt.\n\nSaved: 0\nFailed: " +
                     std::to_string(picked) + "\nSkipped: 0\nCorrupt: 0"));
  EXPECT_EQ(prompt.asked().back().caption, u"Delvora  ");
  EXPECT_EQ(prompt.asked().back().style & 0xF0, unsigned(kMbIconWarning));
  // Each failure is in the log once: its status line, its path and its
  // reason (the same reason for every item here), under one date line.
  const LogShape shape = ShapeOf(ReadAll(dest + "/Recovery.log"));
  EXPECT_TRUE(shape.header);
  EXPECT_EQ(shape.dateLines, 1);
  EXPECT_EQ(shape.otherLines, 0);
  int statusLines = 0, reasonLines = 0;
  for (const auto& [text, count] : shape.messages) {
    if (text.rfind("Failed: ", 0) == 0) {
      statusLines += count;
      EXPECT_EQ(count, 1) << text;
    } else if (text.find("/comp/") != std::string::npos) {
      EXPECT_EQ(count, 1) << text;  // the item's path
    } else {
      reasonLines += count;
    }
  }
  EXPECT_EQ(statusLines, picked);
  EXPECT_EQ(reasonLines, picked);
}

TEST_F(MainRoadTest, RefusedDestinations) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  View()->OnCommand(cmd::kSelectAll);
  // System folders are refused before anything is written.
  for (const char* dest : {"/etc/delvora-test", "/proc", "/usr/share"}) {
    SCOPED_TRACE(dest);
    const size_t before = prompt.asked().size();
    Save(dest);
    ASSERT_EQ(prompt.asked().size(), before + 1);
    EXPECT_EQ(prompt.asked().back().text, u"Data cannot be saved to a system folder.");
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  }
  struct stat st;
  EXPECT_NE(stat("/etc/delvora-test", &st), 0);
  // Nothing checked: message 219.
  View()->OnCommand(cmd::kDeselectAll);
  const std::string dest = TempDir("none");
  Save(dest);
  EXPECT_EQ(prompt.asked().back().text.rfind(u"Please select items to save", 0), 0u);
  EXPECT_NE(stat((dest + "/Recovery.log").c_str(), &st), 0);
}

TEST_F(MainRoadTest, SameDriveDestinationAsksAndCancelStops) {
  IMAGE_OR_SKIP(img, "basic");
  if (geteuid() != 0 || std::system("command -v ntfs-3g >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root and ntfs-3g for a mount of the image";
  const std::string copy = TempDir("src") + ".img";
  ASSERT_EQ(std::system(("cp '" + img + "' '" + copy + "'").c_str()), 0);
  const std::string mnt = TempDir("mnt");
  std::system(("mkdir -p '" + mnt + "'").c_str());
  // The image on a loop device, mounted: a folder inside the mount lies on
  // the source.
  LoopDevice loop(copy);
  if (loop.path().empty() ||
      std::system(("ntfs-3g -o ro '" + loop.path() + "' '" + mnt + "' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "loop device or mount failed";
  ScanImage(copy);
  View()->OnCommand(cmd::kSelectAll);
  Save(mnt + "/out");
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.back(), "CSameDrv");
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  // Accepted, the save is refused all the same, before anything is made.
  handlers["CSameDrv"] = [](QDialog&) { return int(QDialog::Accepted); };
  const size_t asked = prompt.asked().size();
  Save(mnt + "/out");
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  ASSERT_EQ(prompt.asked().size(), asked + 1);
  EXPECT_EQ(prompt.asked().back().text, u"The destination folder cannot reside on the source drive.");
  EXPECT_FALSE(theProgressAndStats().phase == 3);
  umount(mnt.c_str());
}

TEST_F(MainRoadTest, AbortOfAScanAsksAndEndsCleanly) {
  IMAGE_OR_SKIP(img, "bigdir");
  View()->LoadDiskImages({FromUtf8(img)});
  View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(img)));
  View()->OnLookInSelChange();
  View()->OnCommand(cmd::kScan);
  ASSERT_EQ(g_activityCode.load(), kActivityScan);
  EXPECT_EQ(qobject_cast<QToolButton*>(View()->Control(CDelvoraView::kScanButton))->text(), QStringLiteral("&Pause"));
  // Pause at once (the worker's end is queued behind this): Yes aborts.
  prompt.Push(kIdYes);
  View()->OnCommand(cmd::kScan);
  EXPECT_EQ(prompt.asked().back().text, u"Abort scanning? \n(It may take a few moments to clean up.)");
  EXPECT_EQ(prompt.asked().back().style, unsigned(kMbYesNo | kMbIconQuestion));
  EXPECT_FALSE(View()->Control(CDelvoraView::kScanButton)->isEnabled());
  EXPECT_EQ(g_appState->pauseRequested.load(), 0);
  WaitIdle();
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(g_busyCounter.load(), 0);
  EXPECT_EQ(g_appState->stopRequested.load(), 0);
  // The ending says the scan was stopped, never the Long Scan hint.
  EXPECT_EQ(prompt.asked().back().text,
            FormatW(u"Scanning was stopped: %s %s found before the stop.", FormatNumber64(View()->ListRows()),
                    View()->ListRows() == 1 ? u"item was" : u"items were"));
  auto* scan = qobject_cast<QToolButton*>(View()->Control(CDelvoraView::kScanButton));
  EXPECT_EQ(scan->text(), QStringLiteral("&Scan"));
  EXPECT_TRUE(scan->isEnabled());
  // A second scan after the abort runs to its end.
  prompt.Push(kIdYes);  // clear the results
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  EXPECT_GT(View()->ListRows(), 100);
}

// ---- endings that tell the truth ----

// A source whose reads fail: the scan says so (source, how far, how many
// reads failed), the status window's log keeps it, and neither the Long
// Scan hint nor the viewing tips are shown. Two ways: every read after the
// first few fails (the volume's own records are lost: that reason comes
// first), or a piece of the MFT cannot be read (the rest is listed).
TEST_F(MainRoadTest, ReadErrorsDuringAScanAreReported) {
  IMAGE_OR_SKIP(img, "basic");
  // The MFT of this image: clusters 4 to 26 of 4096 bytes (istat), records
  // of 1024 bytes; records 40 to 63 are made unreadable.
  for (int way = 0; way < 2; way++) {
    SCOPED_TRACE(way);
    auto state = std::make_shared<FaultState>();
    FaultyOpener opener(state);
    View()->LoadDiskImages({FromUtf8(img)});
    if (View()->ListRows() > 0) prompt.Push(kIdNo);  // keep the rows, no scan yet
    View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(img)));
    View()->OnLookInSelChange();
    ASSERT_NE(g_currentDrive, nullptr);
    {
      std::lock_guard<std::mutex> lock(state->m);
      if (way == 0) state->failAfterCalls = state->calls.size() + 4;
      else state->bad.push_back({4 * 4096 + 40 * 1024, 4 * 4096 + 64 * 1024});
    }
    if (View()->ListRows() > 0) prompt.Push(kIdYes);  // clear the results
    const size_t dialogsBefore = dialogs.size();
    const size_t asked = prompt.asked().size() + (View()->ListRows() > 0 ? 1 : 0);
    View()->OnCommand(cmd::kScan);
    WaitIdle();
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
    ASSERT_EQ(prompt.asked().size(), asked + 1) << "one message for the ending";
    const std::string said = ToUtf8(prompt.asked().back().text);
    EXPECT_NE(said.find("Reading " + img + " failed "), std::string::npos) << said;
    EXPECT_EQ(said.find("Reading " + img + " failed ") == 0, way == 1) << said;
    EXPECT_NE(said.find("The scan reached "), std::string::npos) << said;
    EXPECT_NE(said.find(" items; files in the unreadable areas may be missing"), std::string::npos) << said;
    EXPECT_EQ(said.find("No files found"), std::string::npos) << said;
    EXPECT_EQ(prompt.asked().back().style & 0xF0, unsigned(kMbIconWarning));
    if (way == 1) {
      EXPECT_GT(View()->ListRows(), 10) << "what could be read is listed";
      EXPECT_NE(said.find(", the first in a read from sector "), std::string::npos) << said;
    }
    CStatusDlg* dlg = app.MainFrame()->StatusDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_NE(dlg->ControlText(CStatusDlg::kLog).toStdString().find("Reading " + img + " failed "), std::string::npos);
    // No viewing tips over an incomplete result.
    EXPECT_EQ(std::count(dialogs.begin() + long(dialogsBefore), dialogs.end(), std::string("CViewing")), 0);
  }
}

// The NTFS system files a Long Scan lists are deliberate skips: Select All
// and Save ends as a complete run that says so.
TEST_F(MainRoadTest, SavingALongScanWholeSkipsTheSystemFiles) {
  IMAGE_OR_SKIP(img, "basic");
  View()->OnScanModeChange(1);
  WaitIdle();
  ScanImage(img);
  ASSERT_GT(View()->ListRows(), 20);
  View()->OnCommand(cmd::kSelectAll);
  Save(TempDir("long"));
  EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  EXPECT_EQ(g_recoveryTotals.skipped.load(), 8u);
  const std::u16string closing = prompt.asked().back().text;
  EXPECT_EQ(closing.rfind(u"Files were successfully saved.", 0), 0u) << ToUtf8(closing);
  EXPECT_NE(closing.find(u"\nFailed: 0\nSkipped: 8\nCorrupt: 0"), std::u16string::npos) << ToUtf8(closing);
  EXPECT_EQ(prompt.asked().back().style & 0xF0, unsigned(kMbIconInformation));
}

// Files of one name on two volumes show their volume; a symbolic link shows
// its kind.
TEST_F(MainRoadTest, TwoVolumesAndALinkAreToldApart) {
  if (!HaveTool("sfdisk") || !HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("mke2fs"))
    GTEST_SKIP() << "fdisk, dosfstools, mtools, e2fsprogs";
  const std::string dir = TempDir("two");
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "' && cd '" + dir +
                         "' && truncate -s 80M two.img && printf 'label: dos\\n2048,70000,c\\n73728,,c\\n' | "
                         "sfdisk -q two.img && mkfs.fat -F32 --offset 2048 two.img 35000 >/dev/null 2>&1 && "
                         "mkfs.fat -F32 --offset 73728 two.img 40000 >/dev/null 2>&1 && echo one > same.txt && "
                         "mcopy -i two.img@@1048576 same.txt ::same.txt && mcopy -i two.img@@37748736 same.txt "
                         "::same.txt && mkdir tree && ln -s /far tree/link && mke2fs -q -F -t ext4 -d tree link.img "
                         "8M 2>/dev/null")
                            .c_str()),
            0);
  ScanImage(dir + "/two.img");
  CMyListCtrl* l = View()->List();
  std::set<std::u16string> volumes;
  for (int i = 0; i < l->GetItemCount(); i++)
    if (l->GetItemNodeName(i) == u"same.txt") volumes.insert(l->CellText(i, kColVolume));
  EXPECT_EQ(volumes.size(), 2u) << "each row shows its own volume";
  EXPECT_EQ(volumes.count(u""), 0u);
  // Another source: "Clear current scan results?" Yes clears, Scan scans it.
  const std::string link = dir + "/link.img";
  View()->LoadDiskImages({FromUtf8(link)});
  prompt.Push(kIdYes);
  View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(link)));
  View()->OnLookInSelChange();
  QuickScan();
  bool shown = false;
  for (int i = 0; i < l->GetItemCount(); i++)
    if (l->GetItemNodeName(i) == u"link") shown = l->CellText(i, kColType) == u"Symbolic link";
  EXPECT_TRUE(shown);
}

// A save the user stops says so, with the checked items not saved; message
// 167 is not shown.
TEST_F(MainRoadTest, AStoppedSaveSaysHowManyWereNotSaved) {
  IMAGE_OR_SKIP(img, "bigdir");
  ScanImage(img);
  View()->OnCommand(cmd::kSelectAll);
  const uint64_t checked = uint64_t(View()->List()->Store().CheckedFiles());
  ASSERT_GT(checked, 150u);
  View()->SetStep(1);
  View()->SetSaveTo(QString::fromStdString(TempDir("stopped")));
  View()->OnCommand(cmd::kSave);
  ASSERT_EQ(g_activityCode.load(), kActivityRecovery);
  // Pause at once: the worker waits for its first list on this thread.
  prompt.Push(kIdYes);
  View()->OnCommand(cmd::kSave);
  EXPECT_EQ(prompt.asked().back().text, u"Abort saving?");
  WaitIdle();
  ASSERT_EQ(g_activityCode.load(), kActivityIdle);
  const uint32_t handled = g_recoveryTotals.saved.load() + g_recoveryTotals.failed.load() +
                           g_recoveryTotals.skipped.load() + g_recoveryTotals.corrupt.load();
  ASSERT_LT(handled, checked);
  const std::string said = ToUtf8(prompt.asked().back().text);
  EXPECT_EQ(said.rfind("Saving was stopped: " + ToUtf8(FormatNumber64(int64_t(checked - handled))) +
                           " checked items were not saved.",
                       0),
            0u)
      << said;
  EXPECT_EQ(said.find("successfully"), std::string::npos) << said;
  EXPECT_EQ(prompt.asked().back().style & 0xF0, unsigned(kMbIconWarning));
}

// "Clear current scan results?" after a change of source or of mode,
// answered Yes, clears and scans.
TEST_F(MainRoadTest, YesToClearAfterASourceOrModeChangeOnlyClears) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  const int64_t rows = View()->ListRows();
  ASSERT_GT(rows, 10);
  const std::string copy = TempDir("copy") + ".img";
  ASSERT_EQ(std::system(("cp '" + img + "' '" + copy + "'").c_str()), 0);
  View()->LoadDiskImages({FromUtf8(copy)});
  prompt.Push(kIdYes);
  View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(copy)));
  View()->OnLookInSelChange();
  EXPECT_EQ(prompt.asked().back().text, u"Clear current scan results?");
  // Cleared, the new source chosen, no scan until Scan is pressed.
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(View()->ListRows(), 0);
  ASSERT_NE(g_currentDrive, nullptr);
  EXPECT_EQ(ToUtf8(g_currentDrive->Name()), copy);
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  EXPECT_EQ(View()->ListRows(), rows);
  // The mode: Yes clears; Scan then scans in the mode shown.
  prompt.Push(kIdYes);
  const size_t asked = prompt.asked().size();
  View()->OnScanModeChange(1);
  ASSERT_GT(prompt.asked().size(), asked);
  EXPECT_EQ(prompt.asked()[asked].text, u"Clear current scan results?");
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(View()->ListRows(), 0);
  EXPECT_EQ(g_scanMode.load(), 1);
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  EXPECT_GT(View()->ListRows(), 0);
  // Back to Quick answered No: nothing started, the Long Scan's rows stay.
  const int64_t longRows = View()->ListRows();
  prompt.Push(kIdNo);
  View()->OnScanModeChange(0);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(View()->ListRows(), longRows);
  EXPECT_EQ(g_scanMode.load(), 1);
  std::remove(copy.c_str());
}

// Nothing checked is said before the overwrite question is asked.
TEST_F(MainRoadTest, NothingCheckedIsSaidBeforeTheOverwriteQuestion) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  const std::string dest = TempDir("full");
  ASSERT_EQ(std::system(("mkdir -p '" + dest + "' && echo x > '" + dest + "/there.txt'").c_str()), 0);
  View()->OnCommand(cmd::kDeselectAll);
  const size_t dialogsBefore = dialogs.size();
  Save(dest);
  EXPECT_EQ(dialogs.size(), dialogsBefore) << dialogs.back();
  EXPECT_EQ(prompt.asked().back().text.rfind(u"Please select items to save", 0), 0u);
}

// Ctrl+A in the "Look for" and "Save to" fields selects their text and
// checks nothing; in the list it checks every item.
TEST_F(MainRoadTest, CtrlAInATextFieldSelectsItsText) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  CMyListCtrl* l = View()->List();
  l->CheckAll(false);
  QApplication::setActiveWindow(View()->window());
  for (int field : {CDelvoraView::kLookFor, CDelvoraView::kSaveTo}) {
    SCOPED_TRACE(field);
    View()->SetStep(field == CDelvoraView::kSaveTo ? 1 : 0);
    auto* box = qobject_cast<QComboBox*>(View()->Control(field));
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->lineEdit(), nullptr);
    box->setEditText(QStringLiteral("/some/text"));
    box->lineEdit()->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(box->lineEdit()->hasFocus());
    QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(l->Store().CheckedFiles(), 0);
    EXPECT_EQ(box->lineEdit()->selectedText(), QStringLiteral("/some/text"));
  }
  View()->SetStep(0);
  l->setFocus();
  QApplication::processEvents();
  QTest::keyClick(l, Qt::Key_A, Qt::ControlModifier);
  EXPECT_GT(l->Store().CheckedFiles(), 10);
}

// Deleted items stand out (colour and hover text); folders read as folders.
TEST_F(MainRoadTest, DeletedItemsAndFoldersAreMarked) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  CMyListCtrl* l = View()->List();
  int deletedFiles = 0, folders = 0, live = 0;
  for (int i = 0; i < l->GetItemCount(); i++) {
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
    const QString type = ToQ(l->CellText(i, kColType));
    // The Type column is wide enough for every type it shows.
    EXPECT_LE(l->fontMetrics().horizontalAdvance(type), l->columnWidth(kColType)) << type.toStdString();
    const QString size = ToQ(l->CellText(i, kColSize));
    const QColor colour = l->RowInk(i);
    const QString tip = l->RowToolTip(i);
    if (info.folder) {
      folders++;
      EXPECT_EQ(type, QStringLiteral("File folder"));
      EXPECT_TRUE(size.isEmpty());
    } else {
      EXPECT_NE(type, QStringLiteral("File folder"));
    }
    if (info.flags & 0x0002) {
      EXPECT_NE(colour, QColor(Qt::black));
      EXPECT_EQ(tip, info.folder ? QStringLiteral("Deleted folder") : QStringLiteral("Deleted file"));
      if (!info.folder) deletedFiles++;
      // The Status column keeps the grade.
      const QString status = ToQ(l->CellText(i, kColStatus));
      EXPECT_TRUE(status == QStringLiteral("Good") || status == QStringLiteral("Poor") || status.isEmpty());
    } else {
      live++;
      EXPECT_EQ(colour, QColor(Qt::black));
      EXPECT_TRUE(tip.isEmpty());
    }
  }
  EXPECT_GT(deletedFiles, 0);
  EXPECT_GT(folders, 0);
  EXPECT_GT(live, 0);
}

// The folders of a walked volume (FAT here) are rows of their own as NTFS
// folders are: each once, live and deleted, an empty one too, shown as
// folders without a size.
TEST_F(MainRoadTest, FolderRowsOfAFatVolume) {
  DV_NEED_FIXTURE("make_fat_scan.sh");
  ScanImage(FixtureCache() + "/scan12.img");
  CMyListCtrl* l = View()->List();
  std::map<std::string, int> seen;
  std::map<std::string, bool> deleted;
  for (int i = 0; i < l->GetItemCount(); i++) {
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
    if (!info.folder) continue;
    const std::string name = ToUtf8(l->GetItemNodeName(i));
    seen[name]++;
    deleted[name] = (info.flags & 0x0002) != 0;
    EXPECT_EQ(ToQ(l->CellText(i, kColType)), QStringLiteral("File folder")) << name;
    EXPECT_TRUE(l->CellText(i, kColSize).empty()) << name;
    EXPECT_EQ(l->RowToolTip(i), deleted[name] ? QStringLiteral("Deleted folder") : QString()) << name;
  }
  for (const auto& [name, count] : seen) EXPECT_EQ(count, name == "S-1-5-21-1-2-3-1001" ? 2 : 1) << name;
  for (const char* name : {"Empty Folder", "L6", "MANY"}) EXPECT_TRUE(seen.count(name) && !deleted[name]) << name;
  for (const char* name : {"Removed Empty Folder", "_ONE"}) EXPECT_TRUE(seen.count(name) && deleted[name]) << name;
}

// Scans of different sources in a row in one window, each saved: the rows
// and the saved bytes are what fresh dvscan processes give; the window only
// builds each run's request.
TEST_F(MainRoadTest, ScansInARowEqualFreshProcesses) {
  IMAGE_OR_SKIP(img, "basic");
  DV_NEED_FIXTURE("make_fat_scan.sh");
  const std::vector<std::string> images = {img, FixtureCache() + "/scan12.img", img};
  std::vector<std::map<std::string, bool>> rows;
  for (size_t k = 0; k < images.size(); k++) {
    SCOPED_TRACE(images[k]);
    if (k == 0) {
      ScanImage(images[k]);
    } else {
      // Another source with results listed: Yes clears them, Scan scans it.
      View()->LoadDiskImages({FromUtf8(images[k])});
      prompt.Push(kIdYes);
      View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(images[k])));
      View()->OnLookInSelChange();
      ASSERT_EQ(g_activityCode.load(), kActivityIdle);
      View()->OnCommand(cmd::kScan);
      ASSERT_EQ(g_activityCode.load(), kActivityScan);
      WaitIdle();
    }
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
    ASSERT_NE(g_currentDrive, nullptr);
    EXPECT_EQ(ToUtf8(g_currentDrive->Name()), images[k]);
    // Each row as dvscan names it: the path the Save command writes, and
    // whether it is deleted.
    std::map<std::string, bool> shown;
    DestinationPathCache paths(u"/r");
    CMyListCtrl* l = View()->List();
    for (int i = 0; i < l->GetItemCount(); i++) {
      std::string path;
      ListNodeInfo info;
      ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
      const bool built = paths.Build(FolderBelowVolume(l->GetItemPath(i)), l->GetItemNodeName(i), &path);
      shown[built ? path.substr(3) : "?"] = (info.flags & 0x0002) != 0;
    }
    rows.push_back(shown);
    View()->OnCommand(cmd::kSelectAll);
    const std::string dest = TempDir("row");
    Save(dest);
    // A fresh process: its list (path, deleted) and the files it recovers.
    const std::string fresh = TempDir("fresh");
    const CommandRun run = RunCommandStatus(std::string("'") + DV_BINARY_DIR + "/bin/dvscan' --list '" + fresh +
                                            ".tsv' --recover '" + fresh + "' '" + images[k] + "' >/dev/null 2>&1");
    ASSERT_EQ(run.rc, 0);
    std::map<std::string, bool> listed;
    std::istringstream in(ReadAll(fresh + ".tsv"));
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      const size_t a = line.find('\t'), b = line.find('\t', a + 1);
      if (b == std::string::npos) continue;
      listed[line.substr(0, a)] = line.compare(b + 1, 1, "1") == 0;
    }
    EXPECT_EQ(rows.back(), listed);
    const auto md5s = [](const std::string& dir) {
      return RunCommand("cd '" + dir +
                        "' && find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 -r md5sum");
    };
    EXPECT_GT(md5s(dest).size(), 40u);
    EXPECT_EQ(md5s(dest), md5s(fresh));
  }
  EXPECT_EQ(rows[2], rows[0]);
}

// A command whose dialog is not built says so.
TEST_F(MainRoadTest, CommandsWithoutAHandlerSaySo) {
  {
    // Options > Trace opens the Trace dialog.
    std::string ran;
    SetDialogRunner([&](QDialog& d) {
      ran = d.objectName().toStdString();
      return int(QDialog::Rejected);
    });
    QAction* action = app.MainFrame()->Commands()->Action(cmd::kTrace);
    ASSERT_NE(action, nullptr);
    ASSERT_TRUE(action->isEnabled());
    action->trigger();
    SetDialogRunner(nullptr);
    EXPECT_EQ(ran, "CDebugDlg");
  }
}

TEST_F(MainRoadTest, ASourceThatCannotBeOpenedLeavesNoSource) {
  const std::string path = TempDir("gone") + ".img";
  {
    std::ofstream f(path, std::ios::binary);
    f << std::string(4096, '\0');
  }
  View()->LoadDiskImages({FromUtf8(path)});
  std::remove(path.c_str());
  View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(path)));
  View()->OnLookInSelChange();
  EXPECT_EQ(g_currentDrive, nullptr);
  EXPECT_EQ(prompt.asked().back().style & 0xF0, unsigned(kMbIconError));
  EXPECT_EQ(View()->LookIn()->currentIndex(), -1);
  EXPECT_FALSE(View()->Control(CDelvoraView::kScanButton)->isEnabled());
  View()->OnCommand(cmd::kScan);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
}

// A differencing VHD picked alone: the message names its parent and offers
// the chained-image road, with the child and its parent filled in.
TEST_F(MainRoadTest, ALoneDifferencingImageOffersTheChainedImageDialog) {
  const std::string dir = FixtureCache() + "/diffchain";
  if (RunFixtureScript("vdisk/unpack_diffchain.sh", dir, ">/dev/null 2>&1") != 0) GTEST_SKIP() << "xz or tar missing";
  const std::string child = dir + "/c1.vhd", parent = dir + "/p.vhd";
  std::vector<WString> links;
  QString base;
  handlers["CChainDskImgsDlg"] = [&](QDialog& d) {
    auto& dlg = static_cast<CChainDskImgsDlg&>(d);
    links = dlg.Rules().links;
    base = dlg.Ctl<QLineEdit>(ChainRules::kBaseEdit)->text();
    return int(QDialog::Rejected);
  };
  View()->LoadDiskImages({FromUtf8(child)});
  for (const int answer : {kIdNo, kIdYes}) {
    SCOPED_TRACE(answer);
    links.clear();
    prompt.Push(answer);
    View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(child)));
    View()->OnLookInSelChange();
    EXPECT_EQ(g_currentDrive, nullptr);
    const std::string said = ToUtf8(prompt.asked().back().text);
    EXPECT_EQ(said.rfind(child + " is a differencing image: its parent \"p.vhd\" or \".\\p.vhd\" is needed.", 0), 0u)
        << said;
    EXPECT_NE(said.find("Open the chained image dialog with this file?"), std::string::npos) << said;
    EXPECT_EQ(prompt.asked().back().style, unsigned(kMbYesNo | kMbIconQuestion));
    if (answer == kIdYes) {
      EXPECT_EQ(links, std::vector<WString>{FromUtf8(child)});
      EXPECT_EQ(base.toStdString(), parent);
    } else {
      EXPECT_TRUE(links.empty()) << "No opens no dialog";
    }
  }
}

TEST_F(MainRoadTest, DiskImageLoadAddsEachFileOnce) {
  const std::string path = TempDir("twice") + ".img";
  {
    std::ofstream f(path, std::ios::binary);
    f << std::string(4096, '\0');
  }
  View()->LoadDiskImages({FromUtf8(path), FromUtf8(path), u""});
  ASSERT_FALSE(prompt.asked().empty());
  EXPECT_EQ(prompt.asked().back().text, u"1 disk image file added to the 'Look In' selection box.");
  const size_t n = prompt.asked().size();
  View()->LoadDiskImages({FromUtf8(path)});
  EXPECT_EQ(prompt.asked().size(), n);  // nothing added, nothing said
  View()->LoadDiskImages({u"relative.img"});
  EXPECT_EQ(prompt.asked().back().text, u"'relative.img' is not a valid full-path filename.");
  std::remove(path.c_str());
}

// ---- the Look-in box ----

TEST_F(MainRoadTest, LookInBoxGroupsHeadingsAndRemoval) {
  CLookInCb box;
  EXPECT_EQ(box.AddItem(QStringLiteral("/dev/sda1"), 2), 1);
  ASSERT_EQ(box.count(), 2);
  EXPECT_EQ(box.ItemData(0), -3);
  EXPECT_EQ(box.itemText(0), QStringLiteral(" Logical volumes"));
  EXPECT_EQ(box.ItemData(1), 3);
  // A group-0 row goes in front with its heading.
  EXPECT_EQ(box.AddItem(QStringLiteral("RAID5 set"), 0), 1);
  EXPECT_EQ(box.ItemData(0), -1);
  EXPECT_EQ(box.ItemData(2), -3);
  EXPECT_EQ(box.itemText(3), QStringLiteral("/dev/sda1"));
  box.AddItem(QStringLiteral("/img/a.img"), 1);
  box.AddItem(QStringLiteral("Disk 0"), 3);
  box.AddItem(QStringLiteral("Refresh"), 4);
  box.AddItem(QStringLiteral("/dev/sda2"), 2);
  QStringList texts;
  for (int i = 0; i < box.count(); i++) texts << box.itemText(i);
  EXPECT_EQ(texts,
            (QStringList{" RAID and spanned volumes", "RAID5 set", " Disk images", "/img/a.img", " Logical volumes",
                         "/dev/sda1", "/dev/sda2", " Physical drives", "Disk 0", " Actions", "Refresh"}));
  // Removing the only item of a group removes its heading.
  box.RemoveItem(3);
  EXPECT_EQ(box.count(), 9);
  EXPECT_EQ(box.itemText(2), QStringLiteral(" Logical volumes"));
  // Removing drive rows leaves RAID and actions.
  box.RemoveDriveRows();
  texts.clear();
  for (int i = 0; i < box.count(); i++) texts << box.itemText(i);
  EXPECT_EQ(texts, (QStringList{" RAID and spanned volumes", "RAID5 set", " Actions", "Refresh"}));
  EXPECT_EQ(box.AddItem(QStringLiteral("x"), 5), -1);
  // Headings cannot be chosen; Down steps over them.
  box.AddItem(QStringLiteral("/img/b.img"), 1);
  box.setCurrentIndex(1);
  QTest::keyClick(&box, Qt::Key_Down);
  EXPECT_EQ(box.currentIndex(), 3);
  EXPECT_FALSE(box.IsHeading(box.currentIndex()));
}

// ---- the prompt dialogs ----

TEST(PromptDialogsTest, AnswersOfEachDialog) {
  EnsureQtApp();
  {
    CDuplicate d;
    d.mode = 3;
    d.Prepare();
    EXPECT_TRUE(d.Radio(3)->isChecked());
    d.accept();
    EXPECT_EQ(d.mode, 3);
    CDuplicate h;
    h.SetHideNotEmpty();
    h.Prepare();
    EXPECT_TRUE(h.NotEmptyLine()->text().isEmpty());
  }
  {
    CExist e;
    e.SetText(u"out.dsk exists.");
    e.reject();
    EXPECT_EQ(e.result, 2);
    CExist a;
    a.AppendButton()->click();
    EXPECT_EQ(a.result, 7);
  }
  {
    CSameDrv s;
    EXPECT_FALSE(s.OkButton()->isEnabled());
    EXPECT_FALSE(s.CodeEdit()->isEnabled());
    s.WarningBox()->setChecked(true);
    EXPECT_TRUE(s.CodeEdit()->isEnabled());
    s.CodeEdit()->setText(ToQ(CSameDrv::OverridingCode()).toUpper());
    EXPECT_TRUE(s.OkButton()->isEnabled());
    s.CodeEdit()->setText(QStringLiteral("nope"));
    EXPECT_FALSE(s.OkButton()->isEnabled());
  }
  {
    CSkip k;
    EXPECT_EQ(k.SkipButton()->text(), QStringLiteral("&Yes. Skip deleted files."));
    k.reject();  // Esc or the close box: skip
    EXPECT_EQ(k.result(), int(QDialog::Rejected));
  }
}

}  // namespace
