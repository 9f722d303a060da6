#include <unistd.h>
#include <QTest>

#include <cstdio>
#include <fstream>

#include "QtApp.h"
#include "engine/ProgressStats.h"
#include "engine/RecoveryLog.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "platform/Events.h"
#include "tests/support/TestUtil.h"
#include "ui/StatusDlg.h"

namespace {

class StatusDlg : public QtAppTest {
 protected:
  GlobalObjectsScope scope;
  int activity = 0;
  int64_t now = 0;
  CStatusDlg dlg;

  void SetUp() override {
    theProgressAndStats().Reset();
    dlg.SetActivityReader([this] { return activity; });
    dlg.SetClock([this] { return now; });
    dlg.SetLocalClock([] { return CStatusDlg::LocalStamp{2024, 3, 1, 23, 59, 58}; });
  }
  void TearDown() override {
    theProgressAndStats().Reset();
    if (g_appState) g_appState->pauseRequested = 0;
  }
};

TEST_F(StatusDlg, RateRemainingTimeAndPaused) {
  CProgressAndStats& s = theProgressAndStats();
  s.rateShown = true;
  s.bytesToScan = 1200ll << 20;
  s.bytesScanned = 300ll << 20;
  s.percent = 25;
  s.SetProgressText(u"Scanning sectors");
  now = 30 * kSteadyTicksPerSecond;
  dlg.ShowProgress(true);
  dlg.UpdateProgress();
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kRateValue), "10.00 MB/second (300.00 MB in 30 seconds)");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kRemainingValue), "1 minute");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kPercent), "25%");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kLine1), "Scanning sectors");
  EXPECT_FALSE(dlg.Control(CStatusDlg::kRateValue)->isHidden());
  // Paused: the texts stay.
  g_appState->pauseRequested = 1;
  now = 60 * kSteadyTicksPerSecond;
  s.bytesScanned = 900ll << 20;
  dlg.UpdateProgress();
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kRateValue), "10.00 MB/second (300.00 MB in 30 seconds)");
  g_appState->pauseRequested = 0;
  now = 5 * kSteadyTicksPerSecond;
  dlg.UpdateProgress();
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kRemainingValue), "Calculating...");
  // Nothing scanned yet: no estimate.
  s.bytesScanned = 0;
  now = 20 * kSteadyTicksPerSecond;
  dlg.UpdateProgress();
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kRemainingValue), "");
  // Without the rate flag the section hides.
  s.rateShown = false;
  dlg.UpdateProgress();
  EXPECT_TRUE(dlg.Control(CStatusDlg::kRateValue)->isHidden());
}

TEST_F(StatusDlg, RecoveryLinesPercentAndCounters) {
  CProgressAndStats& s = theProgressAndStats();
  activity = 1;
  s.phase = 3;
  s.checkedBytes = 1000;
  s.savedBytes = 1000;
  s.SetProgressText(u"only one line");
  s.totalItems = 1234567;
  s.selectedItems = 3;
  s.savedItems = 2;
  dlg.ShowProgress(true);
  dlg.show();
  dlg.UpdateProgress();
  dlg.UpdateCounters();
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kBar), "99");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kPercent), "99%");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kLine1), "");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kLine2), "only one line");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kTotalValue), "1,234,567");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kThirdValue), "3 (1000 bytes)");
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kSavedValue), "2");
  EXPECT_FALSE(dlg.Control(CStatusDlg::kRecoveryGroup)->isHidden());
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
}

TEST_F(StatusDlg, LogKeepsAThousandLinesAndWritesTheRecoveryLog) {
  const TempFolder pathTemp("statusdlg");
  activity = 1;
  ASSERT_TRUE(OpenRecoveryLog(FromUtf8(pathTemp.Path())));
  const std::string path = ToUtf8(theProgressAndStats().recoveryLogPath);
  CStatusDlg::ForgetLogDate();
  dlg.AddLogLine(u"first line\r\n\t ");
  EXPECT_FALSE(dlg.Control(CStatusDlg::kLog)->isHidden());
  EXPECT_EQ(dlg.ControlText(CStatusDlg::kLogCaption), QString::fromStdString("Log messages (" + path + "):"));
  for (int i = 2; i <= 1001; ++i) dlg.AddLogLine(FromUtf8("line " + std::to_string(i)));
  EXPECT_EQ(dlg.LogLineCount(), 1000);
  EXPECT_TRUE(dlg.ControlText(CStatusDlg::kLog).startsWith("23:59:58  line 2\n"));
  FlushRecoveryLog();
  const std::string text = ReadFileText(path);
  EXPECT_NE(text.find("-----\n========== Friday, March 1, 2024 ==========\n23:59:58  first line\n"), std::string::npos);
  EXPECT_NE(text.find("23:59:58  line 1001\n"), std::string::npos);
  // A new day writes a second date line.
  dlg.SetLocalClock([] { return CStatusDlg::LocalStamp{2024, 3, 2, 0, 0, 1}; });
  // The log's name taken over by a link: the lines still go to the file the
  // recovery opened, never through the link.
  const std::string moved = pathTemp.Path() + "/moved.log", other = pathTemp.Path() + "/other";
  ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
  { std::ofstream(other).put('x'); }
  ASSERT_EQ(::symlink(other.c_str(), path.c_str()), 0);
  dlg.AddLogLine(u"after midnight");
  FlushRecoveryLog();
  EXPECT_NE(ReadFileText(moved).find("========== Saturday, March 2, 2024 ==========\n00:00:01  after midnight\n"),
            std::string::npos);
  EXPECT_EQ(ReadFileText(other), "x");
  EXPECT_TRUE(RecoveryLogError().empty());
  CloseRecoveryLog();
  dlg.ClearLog();
  EXPECT_EQ(dlg.LogLineCount(), 0);
  EXPECT_TRUE(dlg.Control(CStatusDlg::kLog)->isHidden());
}

TEST_F(StatusDlg, DockGap) {
  EXPECT_EQ(CStatusDlg::DockGap(1.0, false), 0);
  EXPECT_EQ(CStatusDlg::DockGap(1.0, true), 5);
  EXPECT_EQ(CStatusDlg::DockGap(1.25, false), 1);
  EXPECT_EQ(CStatusDlg::DockGap(1.5, true), 8);
}

}  // namespace
