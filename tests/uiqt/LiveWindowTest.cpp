// The window stays live and shows what it does on a slow source: the volume
// search beside the window, counters that move, rows while the $MFT is read;
// a folder checked in the flat list saved with its files; Tree View's rows.
#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "engine/ProgressStats.h"
#include "engine/RecoverDriver.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "tests/support/FaultySource.h"
#include "tests/uiqt/MainRoad.h"
#include "ui/ListHeader.h"
#include "ui/MainFrame.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/FolderIndex.h"
#include "ui/core/ListSort.h"
#include "ui/core/ListText.h"

namespace {

// A source that answers each read late (a failing disk): the volume search
// before the volume choice runs beside the window, which keeps answering,
// shows what it does, and stops at Scan (as Pause) answered Yes.
TEST_F(MainRoadTest, SlowSourceSearchKeepsTheWindowLive) {
  IMAGE_OR_SKIP(img, "basic");
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  Pick(img);
  if (HasFatalFailure()) return;
  size_t reads[2] = {0, 0};
  for (int way = 0; way < 2; way++) {
    SCOPED_TRACE(way == 0 ? "stopped" : "to the volume choice");
    state->delayMs = way == 0 ? 80 : 30;
    const size_t callsBefore = state->CallCount();
    const size_t dialogsBefore = dialogs.size();
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    int64_t worstGapMs = 0;
    int ticks = 0;
    bool seen = false;
    QString button, progress;
    QTimer beat;
    beat.setInterval(20);
    QObject::connect(&beat, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      worstGapMs =
          std::max<int64_t>(worstGapMs, std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
      last = now;
      if (++ticks < 8 || seen || g_activityCode.load() != kActivityScan) return;
      seen = true;
      button = qobject_cast<QToolButton*>(View()->Control(CDelvoraView::kScanButton))->text();
      progress = ToQ(theProgressAndStats().ProgressText());
      if (way == 0) {
        prompt.Push(kIdYes);
        View()->OnCommand(cmd::kScan);
      }
    });
    handlers["CBootSect"] = [&](QDialog&) {
      beat.stop();
      return int(QDialog::Rejected);
    };
    beat.start();
    View()->OnCommand(cmd::kScan);
    beat.stop();
    state->delayMs = 0;
    reads[way] = state->CallCount() - callsBefore;
    EXPECT_TRUE(seen) << "the search ran beside the window";
    // The old search held the window for all its reads (a second and more).
    EXPECT_LT(worstGapMs, 500);
    EXPECT_EQ(button, QStringLiteral("&Pause"));
    EXPECT_TRUE(progress.startsWith(QStringLiteral("Looking for volumes on "))) << progress.toStdString();
    const bool chose = std::count(dialogs.begin() + long(dialogsBefore), dialogs.end(), std::string("CBootSect")) == 1;
    EXPECT_EQ(chose, way == 1);
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
    EXPECT_EQ(g_busyCounter.load(), 0);
    EXPECT_EQ(g_appState->stopRequested.load(), 0);
    auto* scan = qobject_cast<QToolButton*>(View()->Control(CDelvoraView::kScanButton));
    EXPECT_EQ(scan->text(), QStringLiteral("&Scan"));
    EXPECT_TRUE(scan->isEnabled());
    EXPECT_EQ(View()->ListRows(), 0);
  }
  EXPECT_LT(reads[0], reads[1]) << "the stop ended the search early";
}

// The counters move while a run goes, not only when a batch comes: a Long
// Scan of a slow source shows a rate that changes.
TEST_F(MainRoadTest, LongScanRateMoves) {
  IMAGE_OR_SKIP(img, "basic");
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  Pick(img);
  if (HasFatalFailure()) return;
  View()->OnScanModeChange(1);
  state->delayMs = 25;
  CStatusDlg* dlg = app.MainFrame()->StatusDialog();
  ASSERT_NE(dlg, nullptr);
  std::set<QString> rates;
  QTimer beat;
  beat.setInterval(100);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    if (g_activityCode.load() != kActivityScan) return;
    const QString r = dlg->ControlText(CStatusDlg::kRateValue);
    if (!r.isEmpty()) rates.insert(r);
  });
  beat.start();
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  beat.stop();
  state->delayMs = 0;
  prompt.Push(kIdYes);  // clear the results: the next test starts in Quick
  View()->OnScanModeChange(0);
  EXPECT_GE(rates.size(), 2u);
  for (const QString& r : rates) EXPECT_FALSE(r.startsWith(QStringLiteral("0 byte"))) << r.toStdString();
}

// A Quick Scan lists what it has read of the $MFT while it reads the rest.
TEST_F(MainRoadTest, QuickScanShowsRowsWhileReadingTheMft) {
  IMAGE_OR_SKIP(img, "bigdir");
  auto state = std::make_shared<FaultState>();
  FaultyOpener opener(state);
  Pick(img);
  if (HasFatalFailure()) return;
  int64_t early = 0;
  QTimer beat;
  beat.setInterval(20);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    if (g_activityCode.load() == kActivityScan && early == 0) early = View()->ListRows();
  });
  handlers["CBootSect"] = [&](QDialog&) {
    state->delayMs = 150;  // the scan's reads only
    return int(QDialog::Accepted);
  };
  beat.start();
  View()->OnCommand(cmd::kScan);
  WaitIdle();
  beat.stop();
  state->delayMs = 0;
  const int64_t rows = View()->ListRows();
  EXPECT_GT(rows, 1500);
  EXPECT_GT(early, 0) << "rows before the end";
  EXPECT_LT(early, rows);
}

// A folder checked in the flat list takes its files with it; saved twice
// into one folder it is reused, never made again as "comp[1]".
TEST_F(MainRoadTest, ACheckedFolderIsSavedOnceWithItsFiles) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  CMyListCtrl* l = View()->List();
  int64_t comp = -1;
  for (int i = 0; i < l->GetItemCount(); i++) {
    ListNodeInfo info;
    ASSERT_TRUE(View()->Nodes().GetNode(l->GetItemNodeIndex(i), info));
    if (info.folder && l->GetItemNodeName(i) == u"comp") comp = i;
  }
  ASSERT_GE(comp, 0);
  l->ClearSelection();
  l->EnsureVisible(comp);
  const QRect r = l->RowRect(comp);
  QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, r.center().y()));
  // Every row below the folder is checked, nothing else.
  int checked = 0;
  for (int i = 0; i < l->GetItemCount(); i++) {
    const std::string path = ToUtf8(l->GetItemPath(i));
    const bool below = path.size() >= 5 && path.compare(path.size() - 5, 5, "\\comp") == 0;
    if (below || i == comp) {
      EXPECT_TRUE(l->IsItemChecked(i)) << path << " " << ToUtf8(l->GetItemNodeName(i));
      checked++;
    } else {
      EXPECT_FALSE(l->IsItemChecked(i)) << path << " " << ToUtf8(l->GetItemNodeName(i));
    }
  }
  EXPECT_EQ(checked, 8);
  const std::string dest = TempDir("folder");
  std::map<std::string, std::string> md5Of;
  std::istringstream in(ntfs_fixture::Report("basic", "icat-md5"));
  for (std::string line; std::getline(in, line);) {
    const size_t a = line.find("  "), b = line.find(' ', a + 2);
    if (a != std::string::npos && b != std::string::npos && line.compare(b + 1, 5, "comp/") == 0)
      md5Of[line.substr(b + 1)] = line.substr(0, a);
  }
  ASSERT_EQ(md5Of.size(), 7u);
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    Save(dest);
    std::set<std::string> entries;
    for (const auto& e : std::filesystem::directory_iterator(dest)) entries.insert(e.path().filename().string());
    EXPECT_TRUE(entries.count("comp")) << "the folder made";
    for (const std::string& e : entries) EXPECT_TRUE(e == "comp" || e.rfind("Recovery", 0) == 0) << e;
    std::set<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dest + "/comp"))
      files.insert(e.path().filename().string());
    EXPECT_EQ(files.size(), 7u);
    for (const auto& [path, md5] : md5Of) EXPECT_EQ(Md5File(dest + "/" + path), md5) << path;
    EXPECT_EQ(g_recoveryTotals.failed.load(), 0u);
  }
}

// Tree View: a folder is one row in its parent's contents, not a folder row
// and its own record besides.
TEST_F(MainRoadTest, TreeViewShowsEachFolderOnce) {
  IMAGE_OR_SKIP(img, "basic");
  ScanImage(img);
  View()->OnCommand(cmd::kFolderView);
  WaitIdle();
  ASSERT_TRUE(View()->FolderDisplay());
  CMyListCtrl* l = View()->List();
  FolderIndex* f = l->Folders();
  ASSERT_NE(f, nullptr);
  int opened = 0;
  for (uint32_t row = 0; row < f->Count(); row++) {
    if (f->TreeChildCount(row) == 0) continue;
    l->OpenFolder(row);
    opened++;
    std::map<std::string, int> names;
    int folderRows = 0;
    for (int64_t i = 0; i < l->RowCount(); i++) {
      names[ToUtf8(l->CellText(i, kColName))]++;
      if (l->EntryOfRow(i) & 0x80000000u) folderRows++;
    }
    EXPECT_EQ(folderRows, int(f->TreeChildCount(row)));
    for (const auto& [name, count] : names) EXPECT_EQ(count, 1) << ToUtf8(f->Path(row)) << " " << name;
  }
  EXPECT_GT(opened, 1);
  // Back in the flat list the records keep an order a column names, and its
  // arrow shows it: Folder when nothing was sorted before.
  View()->OnCommand(cmd::kFolderView);
  WaitIdle();
  ASSERT_FALSE(View()->FolderDisplay());
  EXPECT_EQ(View()->SortColumnFlat(), kSortFolder);
  EXPECT_EQ(l->Header()->SortColumn(), kSortFolder);
  for (int64_t i = 1; i < l->RowCount(); i++)
    ASSERT_LE(CompareNoCase(l->CellText(i - 1, kColFolder), l->CellText(i, kColFolder)), 0) << i;
}

// The status panel is docked below the list inside the window, also when
// the window is maximised: it never lies over the rows. It takes its room
// from the list; the window grows only by what keeps the list a few rows,
// never past the screen's bottom and never up, and gets its own height back
// when the panel hides.
TEST_F(MainRoadTest, StatusPanelDocksBelowTheList) {
  CMainFrame* frame = app.MainFrame();
  CStatusDlg* dlg = frame->StatusDialog();
  ASSERT_NE(dlg, nullptr);
  const QRect area = frame->screen()->availableGeometry();
  const int listMin = View()->List()->UsableMinimumHeight();
  const auto listRect = [&] { return QRect(View()->List()->mapTo(frame, QPoint(0, 0)), View()->List()->size()); };
  // What shows of the list (a view squeezed below its band hides it).
  const auto shownList = [&] { return listRect() & QRect(View()->mapTo(frame, QPoint(0, 0)), View()->size()); };
  const auto expectApart = [&] {
    const QRect list = shownList(), panel(dlg->mapTo(frame, QPoint(0, 0)), dlg->size());
    EXPECT_FALSE(list.intersects(panel)) << list.y() << "+" << list.height() << " " << panel.y();
    if (!list.isEmpty()) EXPECT_GE(panel.top(), list.bottom());
    EXPECT_LE(panel.bottom(), frame->rect().bottom());
  };
  // Lower than its usual minimum, so that a full panel leaves the list short
  // on this small screen. The panel's height as after a scan, without the
  // rate (the state an earlier test left would add the recovery counters).
  frame->setMinimumHeight(300);
  CProgressAndStats& stats = theProgressAndStats();
  const int phase = stats.phase.load();
  const bool rate = stats.rateShown.load();
  stats.phase = 2;
  stats.rateShown = false;
  struct Case {
    bool full;      // progress and log, or the counters alone
    int height;     // the window's height before the panel shows
    int roomBelow;  // of the screen's available area under the window
  };
  std::set<int> roads;
  for (const Case& c : {Case{false, 520, 40}, Case{true, 400, 180}, Case{true, 400, 10}}) {
    SCOPED_TRACE(testing::Message() << c.full << " " << c.height << " " << c.roomBelow);
    dlg->ResetForRun();
    dlg->ShowProgress(c.full);
    dlg->ShowLog(c.full);
    frame->resize(frame->width(), c.height);
    frame->move(area.left(), area.bottom() + 1 - c.roomBelow - frame->frameGeometry().height());
    QApplication::processEvents();
    const QRect before = frame->frameGeometry();
    const int room = listRect().height();
    dlg->show();
    QApplication::processEvents();
    const QRect after = frame->frameGeometry();
    EXPECT_EQ(after.top(), before.top());
    EXPECT_TRUE(area.contains(after)) << after.bottom() << " " << area.bottom();
    expectApart();
    const int shortfall = listMin - (room - dlg->height());
    roads.insert(shortfall <= 0 ? 0 : shortfall <= c.roomBelow ? 1 : 2);
    if (shortfall <= 0) {
      EXPECT_EQ(after.height(), before.height());
    } else if (shortfall <= c.roomBelow) {
      EXPECT_EQ(after.height(), before.height() + shortfall);
      EXPECT_EQ(listRect().height(), listMin);
    } else {
      // No further room on the screen: the panel still whole inside the
      // window, the list shows what is left.
      EXPECT_EQ(after.bottom(), area.bottom());
    }
    if (shortfall <= c.roomBelow) {
      EXPECT_GE(shownList().height(), listMin);
    }
    dlg->hide();
    QApplication::processEvents();
    EXPECT_EQ(frame->frameGeometry(), before);
    EXPECT_EQ(listRect().height(), room);
  }
  // Room enough, grown by the shortfall, stopped by the screen's bottom.
  EXPECT_EQ(roads, (std::set<int>{0, 1, 2}));
  dlg->ShowProgress(true);
  dlg->AddLogLine(u"a line");
  dlg->show();
  frame->showMaximized();
  QApplication::processEvents();
  EXPECT_FALSE(dlg->isWindow());
  EXPECT_TRUE(dlg->isVisible());
  expectApart();
  EXPECT_GT(shownList().height(), 0);
  frame->showNormal();
  dlg->hide();
  QApplication::processEvents();
  stats.phase = phase;
  stats.rateShown = rate;
}

}  // namespace
