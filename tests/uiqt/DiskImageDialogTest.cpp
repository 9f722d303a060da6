// The disk-image dialog in the window, offscreen, on a copy of the NTFS
// fixture image and on a RAID 5 set cut from it by tests/tools/mkraid.py:
// the warning check unlocking the fields, the space shown, the refusals of
// Create, the copy through the progress window compared with dd, the start
// sector after "<", Replace or Append, a cancelled copy, the source itself
// refused as output, and a lost RAID 5 member rebuilt from the others.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>

#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "storage/RaidSettings.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/QtApp.h"
#include "tests/uiqt/Startup.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/DiskImageDialogs.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"

namespace {

std::string Md5Of(const std::string& shell) { return RunCommand(shell + " | md5sum").substr(0, 32); }
std::string DdMd5(const std::string& file, int64_t skip, int64_t count) {
  return Md5Of("dd if='" + file + "' bs=512 skip=" + std::to_string(skip) + " count=" + std::to_string(count) +
               " status=none");
}
uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

class DiskImageDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQtApp(); }
  void SetUp() override {
    const std::string fixture = ntfs_fixture::Image("basic");
    if (fixture.empty()) GTEST_SKIP() << "no NTFS fixture image (xz missing)";
    // The source is a copy, so a fault could never touch the cached fixture.
    source = box_.Path() + "/source.img";
    out = box_.Path() + "/out";
    ASSERT_EQ(std::system(("cp '" + fixture + "' '" + source + "' && mkdir '" + out + "'").c_str()), 0);
    sourceMd5 = Md5Of("cat '" + source + "'");
    ASSERT_TRUE(app.InitInstance(TestStartupOptions()));
    started_ = true;
    SetPromptService(&prompt);
    SetDialogRunner([this](QDialog& d) {
      const std::string name = d.metaObject()->className();
      const std::string object = d.objectName().toStdString();
      dialogs.push_back(object == "CDebugFn" ? object : name);
      auto it = handlers.find(dialogs.back());
      return it != handlers.end() ? it->second(d) : int(QDialog::Rejected);
    });
    // The progress window runs for real; the name prompt takes `name`.
    handlers["CDumpingPrgrsDlg"] = [](QDialog& d) { return d.exec(); };
    handlers["CDebugFn"] = [this](QDialog& d) {
      proposed = FromQ(d.findChild<QLineEdit*>(QStringLiteral("fileName"))->text());
      if (name.empty()) return int(QDialog::Rejected);
      d.findChild<QLineEdit*>(QStringLiteral("fileName"))->setText(ToQ(name));
      return int(QDialog::Accepted);
    };
  }
  void TearDown() override {
    if (!started_) return;
    app.ExitInstance();
    SetPromptService(nullptr);
    SetDialogRunner({});
    ClearRaidSettings();
    g_activityCode = kActivityIdle;
    EXPECT_EQ(Md5Of("cat '" + source + "'"), sourceMd5) << "the source changed";
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  void Pick(const std::string& path) {
    View()->LoadDiskImages({FromUtf8(path)});
    const int row = View()->LookIn()->FindRow(FromUtf8(path));
    ASSERT_GE(row, 0) << path;
    View()->LookIn()->setCurrentIndex(row);
    View()->OnLookInSelChange();
    ASSERT_NE(g_currentDrive, nullptr);
  }
  static QLineEdit* Edit(CDISaveDlg& d, int id) { return d.Ctl<QLineEdit>(id); }
  // Ticks the warning, fills the fields and presses Create.
  void Create(CDISaveDlg& d, const std::string& folder, const std::string& first, const std::string& last,
              bool binary = true) {
    if (!d.Ctl<QCheckBox>(1014)->isChecked()) d.Ctl<QCheckBox>(1014)->click();
    Edit(d, 1097)->setText(QString::fromStdString(folder));
    Edit(d, 1039)->setText(QString::fromStdString(first));
    Edit(d, 1040)->setText(QString::fromStdString(last));
    (binary ? d.Ctl<QRadioButton>(1044) : d.Ctl<QRadioButton>(1310))->click();
    d.Ctl<QPushButton>(1106)->click();
  }
  WString LastAsked() const {
    const auto asked = prompt.asked();
    return asked.empty() ? WString() : asked.back().text;
  }

  TempFolder box_{"diskimagedlg"};
  CDelvoraApp app;
  ScriptedPrompt prompt;
  std::vector<std::string> dialogs;
  std::map<std::string, std::function<int(QDialog&)>> handlers;
  std::string source, out, sourceMd5;
  WString name, proposed;
  bool started_ = false;
};

}  // namespace

// The view's command opens the dialog on the current drive: its name, the
// whole range, the fields locked until the warning is ticked.
TEST_F(DiskImageDialogTest, OpensFromTheViewWithTheWholeDrive) {
  Pick(source);
  const int64_t sectors = int64_t(g_currentDrive->SectorCount());
  bool seen = false;
  handlers["CDISaveDlg"] = [&](QDialog& dlg) {
    auto& d = static_cast<CDISaveDlg&>(dlg);
    seen = true;
    EXPECT_EQ(Edit(d, 1158)->text().toStdString(), source);
    EXPECT_EQ(Edit(d, 1039)->text().toStdString(), "0");
    EXPECT_EQ(Edit(d, 1040)->text().toStdString(), std::to_string(sectors - 1));
    EXPECT_EQ(d.Ctl<QLabel>(1305)->text().toStdString(), std::to_string(sectors * 512 / 1048576));
    EXPECT_TRUE(d.Ctl<QRadioButton>(1044)->isChecked());
    for (int id : DiskImageRules::GuardedControls()) EXPECT_FALSE(d.Control(id)->isEnabled()) << id;
    d.Ctl<QCheckBox>(1014)->click();
    for (int id : DiskImageRules::GuardedControls()) EXPECT_TRUE(d.Control(id)->isEnabled()) << id;
    d.Ctl<QCheckBox>(1014)->click();
    EXPECT_FALSE(d.Control(1106)->isEnabled());
    EXPECT_EQ(d.windowTitle().toStdString(), "Create a disk image file");
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kDiskImageCreate);
  EXPECT_TRUE(seen);
}

TEST_F(DiskImageDialogTest, SpaceAndRefusals) {
  Pick(source);
  CDISaveDlg d(View());
  d.Ctl<QCheckBox>(1014)->click();
  struct Space {
    const char *first, *last;
    bool binary;
    const char* mib;
  } spaces[] = {{"0", "0", true, "1"}, {"0", "2,047", false, "5"}, {"1,000", "2,000", true, "1"},
                {"12a", "20", true, "0"}, {"30", "20", true, "0"}};
  for (const Space& s : spaces) {
    (s.binary ? d.Ctl<QRadioButton>(1044) : d.Ctl<QRadioButton>(1310))->click();
    QTest::keyClicks(Edit(d, 1039), QString());  // no change yet
    Edit(d, 1039)->setText(s.first);
    Edit(d, 1040)->clear();
    QTest::keyClicks(Edit(d, 1040), QString::fromLatin1(s.last));
    EXPECT_EQ(d.Ctl<QLabel>(1305)->text().toStdString(), s.mib) << s.first << " " << s.last;
  }
  struct Refusal {
    std::string folder, first, last;
    WString message;
    int focus;
  } refusals[] = {
      {out, "1234567890123", "5", u"Missing First sector", 1039},
      {out, "1", "", u"Missing Last sector", 1040},
      {"/x", "1", "5", Msg(294), 1097},
      {"relative/folder", "1", "5", Msg(294), 1097},
      {"/usr/share", "1", "5", Msg(144), 1097},
      {out, "12a", "20", Msg(183), 1039},
      {out, "5", "-3", Msg(183), 1040},
      {out, "30", "20", Msg(183), 1039},
  };
  d.show();
  for (const Refusal& r : refusals) {
    Create(d, r.folder, r.first, r.last);
    EXPECT_EQ(ToUtf8(LastAsked()), ToUtf8(r.message)) << r.folder << " " << r.first << " " << r.last;
    EXPECT_TRUE(d.Control(r.focus)->hasFocus() || !d.isActiveWindow()) << r.focus;
  }
  EXPECT_TRUE(dialogs.empty());  // nothing got as far as the name prompt
  // "1,000" and "2,000" are read as 1000 and 2000: the proposed name says so.
  Create(d, out, "1,000", "2,000");
  EXPECT_EQ(ToUtf8(proposed), "dump_1000_2000.dsk");
  Create(d, out, "1,000", "2,000", false);
  EXPECT_EQ(ToUtf8(proposed), "dump_1000_2000.txt");
}

TEST_F(DiskImageDialogTest, CopiesThroughTheProgressWindow) {
  Pick(source);
  CDISaveDlg d(View());
  name = u"dump_100_4195.dsk";
  Create(d, out, "100", "4,195");
  const std::string file = out + "/dump_100_4195.dsk";
  EXPECT_EQ(Md5Of("cat '" + file + "'"), DdMd5(source, 100, 4096));
  EXPECT_NE(ToUtf8(LastAsked()).find("The disk image file has been created in "), std::string::npos)
      << ToUtf8(LastAsked());

  // The same name again asks Replace or Append: Append adds, Replace
  // starts again, Cancel stops.
  int answer = 7;
  handlers["CExist"] = [&](QDialog& dlg) {
    static_cast<CExist&>(dlg).result = answer;
    return answer == 2 ? int(QDialog::Rejected) : int(QDialog::Accepted);
  };
  Create(d, out, "0", "9");
  EXPECT_EQ(FileSize(file), (4096u + 10u) * 512);
  EXPECT_EQ(DdMd5(file, 4096, 10), DdMd5(source, 0, 10));
  answer = 6;
  Create(d, out, "0", "9");
  EXPECT_EQ(FileSize(file), 10u * 512);
  answer = 2;
  dialogs.clear();
  Create(d, out, "20", "29");
  EXPECT_EQ(FileSize(file), 10u * 512);
  EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), "CDumpingPrgrsDlg"), 0);

  // "<4>" after an existing name writes from sector 4 without asking.
  dialogs.clear();
  name = u"dump_100_4195.dsk<4>";
  Create(d, out, "50", "51");
  EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), "CExist"), 0);
  EXPECT_EQ(FileSize(file), 10u * 512);
  EXPECT_EQ(DdMd5(file, 4, 2), DdMd5(source, 50, 2));
  EXPECT_EQ(DdMd5(file, 0, 4), DdMd5(source, 0, 4));

  // A text listing of two sectors.
  name = u"two.txt";
  Create(d, out, "0", "1", false);
  const std::string listing = RunCommand("head -c 200 '" + out + "/two.txt'");
  EXPECT_EQ(listing.rfind("\nSector 0\n\n0000 eb 52 90 4e 54 46 53 ", 0), 0u) << listing;
}

TEST_F(DiskImageDialogTest, TheSourceIsNeverTheOutput) {
  Pick(source);
  CDISaveDlg d(View());
  name = u"source.img";
  Create(d, box_.Path(), "0", "9");
  EXPECT_EQ(ToUtf8(LastAsked()), ToUtf8(Msg(316)));
  name = u"source.img<3>";
  Create(d, box_.Path(), "0", "9");
  EXPECT_EQ(ToUtf8(LastAsked()), ToUtf8(Msg(316)));
  EXPECT_EQ(std::count(dialogs.begin(), dialogs.end(), "CDumpingPrgrsDlg"), 0);
}

TEST_F(DiskImageDialogTest, CancelAfterConfirmation) {
  Pick(source);
  CDISaveDlg d(View());
  handlers["CDumpingPrgrsDlg"] = [](QDialog& dlg) {
    QTimer::singleShot(0, &dlg, [&dlg] { dlg.reject(); });
    return dlg.exec();
  };
  prompt.Push(kIdYes);  // "Cancel disk image creation?"
  name = u"cancelled.dsk";
  Create(d, out, "0", std::to_string(g_currentDrive->SectorCount() - 1));
  const auto asked = prompt.asked();
  ASSERT_GE(asked.size(), 2u);
  EXPECT_EQ(ToUtf8(asked[asked.size() - 2].text), ToUtf8(Msg(134)));
  EXPECT_EQ(ToUtf8(asked[asked.size() - 2].caption), ToUtf8(Msg(142)));
  EXPECT_EQ(ToUtf8(asked.back().text), ToUtf8(Msg(179)));
  // What was written is the start of the source.
  const uint64_t written = FileSize(out + "/cancelled.dsk");
  EXPECT_EQ(written % 512, 0u);
  EXPECT_EQ(Md5Of("cat '" + out + "/cancelled.dsk'"), DdMd5(source, 0, int64_t(written / 512)));
}

// A RAID 5 set with its third member missing: "raid5gen.dsk" in binary
// writes that member rebuilt, the range cut to the member's length; in
// text format the same name is an ordinary listing.
TEST_F(DiskImageDialogTest, RebuildsTheMissingRaid5Member) {
  const std::string prefix = box_.Path() + "/m";
  ASSERT_EQ(std::system(("python3 '" DV_SOURCE_DIR "/tests/tools/mkraid.py' --level 5 --members 4 --rotation 1 '" +
                         source + "' '" + prefix + "'")
                            .c_str()),
            0);
  const uint64_t memberSectors = FileSize(prefix + "0") / 512;
  std::string def = "RAID5(";
  for (int i = 0; i < 4; ++i)
    def += (i ? "," : "") + (i == 2 ? std::string("Missing")
                                    : prefix + std::to_string(i) + "<0:" + std::to_string(memberSectors - 1) + ">");
  def += ")";
  RaidSettings s;
  ASSERT_TRUE(ParseRaidSettingsText(u"64:1:1:0:0", &s));
  SetRaidSettings(FromUtf8(def), s);
  std::unique_ptr<Drive> set(CreateDrive(FromUtf8(def)));
  ASSERT_NO_THROW(set->InitDrive(FromUtf8(def)));
  Drive* before = g_currentDrive;
  g_currentDrive = set.get();
  {
    CDISaveDlg d(View());
    name = u"raid5gen.dsk";
    Create(d, out, "0", std::to_string(set->SectorCount() - 1));
    const auto asked = prompt.asked();
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(ToUtf8(asked[asked.size() - 2].text), "Dumping missing RAID 5 drive");
    EXPECT_EQ(Md5Of("cat '" + out + "/raid5gen.dsk'"), Md5Of("cat '" + prefix + "2'"));
    name = u"raid5gen.dsk";
    handlers["CExist"] = [](QDialog& dlg) {
      static_cast<CExist&>(dlg).result = 6;
      return int(QDialog::Accepted);
    };
    Create(d, out, "0", "1", false);
    EXPECT_EQ(RunCommand("head -c 10 '" + out + "/raid5gen.dsk'"), "\nSector 0\n");
  }
  g_currentDrive = before;
}
