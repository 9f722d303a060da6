// Options > Trace and the support branch of Disk Image Create, from the
// window, offscreen, with scripted prompts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "storage/IoTrace.h"
#include "tests/support/LoopDevice.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/SupportDialog.h"
#include "ui/TraceDialog.h"

namespace {

class TraceDialogTest : public WindowTest {
 protected:
  void TearDown() override {
    theIoTrace().Close();
    theTrace().SetOptions(u"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
    sectorTraceMode = 1;
    if (g_appState) g_appState->supportOption = 0;
    WindowTest::TearDown();
  }
};

}  // namespace

// The dialog as a user fills it: the warning box opens the folder, a name
// is asked for, OK applies the boxes and opens the binary trace in the
// folder.
TEST_F(TraceDialogTest, TraceCommandOpensTheBinaryTrace) {
  const TempFolder temp("tracedlg");
  bool defaultsChecked = false;
  handlers["CTraceDialog"] = [&](QDialog& d) {
    auto& t = static_cast<CTraceDialog&>(d);
    EXPECT_FALSE(t.Ctl<QLineEdit>(1027)->isEnabled());
    // The defaults with no trace set: I/O, MFT, RAID, Unix, HFS, buffering
    // and sequential on; execution path, content and compression off.
    const std::pair<int, bool> boxes[] = {{1014, false}, {1088, true}, {1087, true}, {1085, true}, {1098, false},
                                          {1134, false}, {1352, true}, {1353, true}, {1232, true}, {1251, true}};
    for (const auto& [id, on] : boxes) EXPECT_EQ(t.Ctl<QCheckBox>(id)->isChecked(), on) << id;
    defaultsChecked = true;
    t.Ctl<QCheckBox>(1128)->click();
    EXPECT_TRUE(t.Ctl<QLineEdit>(1027)->isEnabled());
    t.Ctl<QLineEdit>(1027)->setText(QString::fromStdString(temp.Path()));
    t.Ctl<QCheckBox>(1014)->setChecked(true);  // the fixed name turns it off
    t.asks.traceFileName = [](WString* name) {
      *name = u"wubgrain.txt";
      return true;
    };
    t.accept();
    return t.result();
  };
  View()->OnCommand(cmd::kTrace);
  EXPECT_TRUE(defaultsChecked);
  EXPECT_EQ(theTrace().TraceFilePath(), FromUtf8(temp.Path() + "/wubgrain.txt"));
  EXPECT_EQ(traceExecutionPath.load(), 0);
  EXPECT_EQ(traceIo.load(), 1);
  EXPECT_TRUE(theIoTrace().IsOpen());
  theIoTrace().Close();
  EXPECT_EQ(RunCommand("ls '" + temp.Path() + "' | grep -c '^Marbrix_.*_0[01].bin$' | tr -d '\\n'"), "2");
}

// With the options file's "Support Command" set, Disk Image Create opens
// the support command.
TEST_F(TraceDialogTest, SupportOptionOpensTheSupportCommand) {
  const TempFolder temp("tracedlg");
  const std::string image = temp.Path() + "/disk.img";
  ASSERT_EQ(RunCommandStatus("truncate -s 8M '" + image + "'").rc, 0);
  Pick(image);
  ASSERT_FALSE(HasFatalFailure());
  std::string text;
  handlers["CMacroDialog"] = [&](QDialog& d) {
    auto& m = static_cast<CMacroDialog&>(d);
    m.findChild<QLineEdit*>(QStringLiteral("ctl1466"))->setText(QStringLiteral("dumpzdva"));
    m.accept();
    text = ToUtf8(m.macro.message);
    return int(QDialog::Rejected);
  };
  g_appState->supportOption = 1;
  View()->OnCommand(cmd::kDiskImageCreate);
  EXPECT_EQ(text, "Wrong usage.");
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.back(), "CMacroDialog");
}

// A Look-in source that holds the trace folder is refused with message
// 125, and the dialog refuses a folder on the open source.
TEST_F(TraceDialogTest, TraceFolderOnTheSourceIsRefused) {
  if (geteuid() != 0 || RunCommand("command -v mkfs.ext4").empty()) GTEST_SKIP() << "root and mkfs.ext4 needed";
  const TempFolder temp("tracedlg");
  const std::string fs = temp.Path() + "/fs.img", mnt = temp.Path() + "/mnt";
  ASSERT_EQ(RunCommandStatus("truncate -s 16M '" + fs + "' && mkdir '" + mnt + "'").rc, 0);
  LoopDevice dev(fs);
  if (dev.path().empty()) GTEST_SKIP() << "no loop device";
  ASSERT_EQ(RunCommandStatus("mkfs.ext4 -q -F '" + dev.path() + "' && mount '" + dev.path() + "' '" + mnt + "'").rc, 0);
  struct Unmount {
    std::string m;
    ~Unmount() { RunCommand("umount '" + m + "' 2>/dev/null"); }
  } unmount{mnt};
  // The dialog with the image open (mounted through the loop device):
  // "cannot reside".
  Pick(fs);
  ASSERT_FALSE(HasFatalFailure());
  handlers["CTraceDialog"] = [&](QDialog& d) {
    auto& t = static_cast<CTraceDialog&>(d);
    t.Ctl<QCheckBox>(1128)->click();
    t.Ctl<QLineEdit>(1027)->setText(QString::fromStdString(mnt));
    t.accept();
    return int(QDialog::Rejected);
  };
  View()->OnCommand(cmd::kTrace);
  EXPECT_EQ(LastText(), u"The trace folder cannot reside on the drive holding the lost data.");
  // The trace set in that mount: picking the image again gives 125.
  theTrace().SetOptions(FromUtf8(mnt + "/wubgrain.txt"), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
  const int row = View()->LookIn()->FindRow(FromUtf8(fs));
  ASSERT_GE(row, 0);
  View()->LookIn()->setCurrentIndex(row);
  View()->OnLookInSelChange();
  EXPECT_EQ(LastText(), Msg(125));
}
