// The main road in the window, offscreen, on the committed NTFS image made
// by mkntfs and ntfs-3g: Disk Image Load, the pick in "Look in", a Quick
// Scan whose rows equal the recorded `fls -r -p`, Save of every checked
// file (md5s equal the recorded icat md5s, results in the list and the
// recovery log), a second Save into the same folder (overwrite dialog and
// "name[1].ext"), abort of a scan, a source that cannot be opened, and the
// Look-in box's groups.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/RecoverDriver.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "foundation/Md5.h"
#include "foundation/UiServices.h"
#include "tests/ntfs/FixtureImage.h"
#include "tests/uiqt/QtApp.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/SaveRules.h"

namespace {

int NoRawDevices() { return 1; }

std::string Md5File(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "missing";
  Md5 m;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) m.Update(buf, n);
  fclose(f);
  uint8_t d[kMd5DigestSize];
  m.Final(d);
  return HexText(d, sizeof d);
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string TempDir(const std::string& name) {
  std::string d = testing::TempDir() + "mainroad-" + name + "-" + std::to_string(getpid());
  std::system(("rm -rf '" + d + "'").c_str());
  return d;
}

class MainRoadTest : public QtAppTest {
 protected:
  void SetUp() override {
    StartupOptions o;
    o.optionsPath = "/nonexistent";
    o.rawDeviceWarning = false;
    o.show = true;
    o.canOpenRawDevices = NoRawDevices;
    ASSERT_TRUE(app.InitInstance(o));
    SetPromptService(&prompt);
    SetDialogRunner([this](QDialog& d) { return Answer(d); });
    QApplication::processEvents();
  }
  void TearDown() override {
    SetPromptService(&prompt);
    app.ExitInstance();
    SetDialogRunner({});
    g_activityCode = kActivityIdle;
    g_busyCounter = 0;
  }
  // Dialogs: recorded by class; CSkip shows deleted files, CDuplicate
  // takes duplicateMode, CSameDrv is cancelled.
  int Answer(QDialog& d) {
    dialogs.push_back(d.metaObject()->className());
    if (auto* dup = qobject_cast<CDuplicate*>(&d)) {
      dup->Radio(duplicateMode)->setChecked(true);
      dup->accept();
      return QDialog::Accepted;
    }
    if (qobject_cast<CSameDrv*>(&d)) return QDialog::Rejected;
    return QDialog::Accepted;
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  void WaitIdle() {
    for (int i = 0; i < 3000 && (g_activityCode.load() != kActivityIdle || g_busyCounter.load() != 0); i++)
      QTest::qWait(10);
    QApplication::processEvents();
  }
  // Load the image, pick it, Quick Scan.
  void ScanImage(const std::string& img) {
    // The image registry lives as long as the process: an image an earlier
    // test loaded is not added (nor announced) again.
    imageWasRegistered = theImageFiles().Find(FromUtf8(img)) >= 0;
    View()->LoadDiskImages({FromUtf8(img)});
    const int row = View()->LookIn()->FindRow(FromUtf8(img));
    ASSERT_GE(row, 0);
    View()->LookIn()->setCurrentIndex(row);
    View()->OnLookInSelChange();
    ASSERT_NE(g_currentDrive, nullptr);
    View()->OnCommand(cmd::kScan);
    ASSERT_EQ(g_activityCode.load(), kActivityScan);
    WaitIdle();
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
  }
  void Save(const std::string& dest) {
    View()->SetStep(1);
    View()->SetSaveTo(QString::fromStdString(dest));
    View()->OnCommand(cmd::kSave);
    WaitIdle();
  }
  std::map<std::string, bool> ListedPaths() {
    std::map<std::string, bool> out;  // path without the volume folder -> deleted
    CMyListCtrl* l = View()->List();
    for (int i = 0; i < l->GetItemCount(); i++) {
      std::string folder = ToUtf8(l->GetItemPath(i));
      for (char& c : folder)
        if (c == '\\') c = '/';
      const size_t slash = folder.find('/');
      folder = slash == std::string::npos ? "" : folder.substr(slash + 1);
      const std::string path = (folder.empty() ? "" : folder + "/") + ToUtf8(l->GetItemNodeName(i));
      ListNodeInfo info;
      View()->Nodes().GetNode(l->GetItemNodeIndex(i), info);
      out[path] = (info.flags & 0x0002) != 0;
    }
    return out;
  }

  CDelvoraApp app;
  ScriptedPrompt prompt;
  std::vector<std::string> dialogs;
  int duplicateMode = 1;
  bool imageWasRegistered = false;
};

#define IMAGE_OR_SKIP(var, name)                     \
  const std::string var = ntfs_fixture::Image(name); \
  if (var.empty()) GTEST_SKIP() << "xz missing: cannot unpack " name

// fls's records after the normalisation of the engine's scan tests:
// streams, $OrphanFiles, the system files at the root and the recycle
// folder's contents (read by the recycle-bin code) are not list rows; a
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
  EXPECT_EQ(dialogs, std::vector<std::string>{"CSkip"});

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
  for (const auto& [path, del] : listed)
    EXPECT_TRUE(matched.count(path) || path.rfind("$Extend/", 0) == 0 || path == "$RECYCLE.BIN")
        << "not in fls: " << path;
  EXPECT_GT(View()->Control(CDelvoraView::kTab2)->isEnabled(), false);

  // Check all, save into a new folder: no overwrite question.
  View()->OnCommand(cmd::kSelectAll);
  const std::string dest = TempDir("save");
  const size_t askedBefore = prompt.asked().size();
  Save(dest);
  EXPECT_EQ(dialogs.size(), 1u) << "no overwrite dialog for a new folder";
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
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[1], "CDuplicate");
  EXPECT_EQ(g_overwriteMode.load(), kOverwriteRename);
  EXPECT_EQ(Md5File(dest + "/small[1].txt"), md5Of["small.txt"]);
  EXPECT_EQ(Md5File(dest + "/comp/text[1].txt"), md5Of["comp/text.txt"]);
  EXPECT_EQ(Md5File(dest + "/small.txt"), changedMd5);
  struct stat st;
  EXPECT_NE(stat((dest + "/comp/s4097[1].txt").c_str(), &st), 0) << "identical: no second copy";
  if (!HasFailure()) std::system(("rm -rf '" + dest + "'").c_str());
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
  std::string loop;
  if (FILE* p = popen(("losetup -f --show '" + copy + "' 2>/dev/null").c_str(), "r")) {
    char buf[256] = {};
    if (fgets(buf, sizeof buf, p)) loop = buf;
    pclose(p);
  }
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  if (loop.empty() || std::system(("ntfs-3g -o ro '" + loop + "' '" + mnt + "' >/dev/null 2>&1").c_str()) != 0) {
    if (!loop.empty()) std::system(("losetup -d '" + loop + "'").c_str());
    std::remove(copy.c_str());
    GTEST_SKIP() << "loop device or mount failed";
  }
  ScanImage(copy);
  View()->OnCommand(cmd::kSelectAll);
  Save(mnt + "/out");
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.back(), "CSameDrv");
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  std::system(("umount '" + mnt + "' ; rmdir '" + mnt + "' ; losetup -d '" + loop + "'").c_str());
  std::remove(copy.c_str());
}

TEST_F(MainRoadTest, AbortOfAScanAsksAndEndsCleanly) {
  IMAGE_OR_SKIP(img, "bigdir");
  View()->LoadDiskImages({FromUtf8(img)});
  View()->LookIn()->setCurrentIndex(View()->LookIn()->FindRow(FromUtf8(img)));
  View()->OnLookInSelChange();
  View()->OnCommand(cmd::kScan);
  ASSERT_EQ(g_activityCode.load(), kActivityScan);
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
  auto* scan = qobject_cast<QToolButton*>(View()->Control(CDelvoraView::kScanButton));
  EXPECT_EQ(scan->text(), QStringLiteral("&Scan"));
  EXPECT_TRUE(scan->isEnabled());
  // A second scan after the abort runs to its end.
  prompt.Push(kIdYes);  // clear the results
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  EXPECT_GT(View()->ListRows(), 100);
}

TEST_F(MainRoadTest, ASourceThatCannotBeOpenedLeavesNoSource) {
  const std::string path = TempDir("gone") + ".img";
  { std::ofstream f(path, std::ios::binary); f << std::string(4096, '\0'); }
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

TEST_F(MainRoadTest, DiskImageLoadAddsEachFileOnce) {
  const std::string path = TempDir("twice") + ".img";
  { std::ofstream f(path, std::ios::binary); f << std::string(4096, '\0'); }
  View()->LoadDiskImages({FromUtf8(path), FromUtf8(path), u""});
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
  EXPECT_EQ(texts, (QStringList{" RAID and spanned volumes", "RAID5 set", " Disk images", "/img/a.img",
                                " Logical volumes", "/dev/sda1", "/dev/sda2", " Physical drives", "Disk 0",
                                " Actions", "Refresh"}));
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
