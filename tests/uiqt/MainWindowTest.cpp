// The main window on the offscreen platform: start-up (title, width,
// centring), the about box, the actions' state in every activity code,
// closing, and the screenshot renderer used by scripts/screenshots.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "engine/ProgressStats.h"
#include "foundation/AppState.h"
#include "foundation/UiServices.h"
#include "tests/support/FaultySource.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/QtApp.h"
#include "tests/uiqt/Startup.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/StatusDlg.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"

namespace {

// Starts the application without the raw-device warning; the prompt
// service is then replaced by a scripted one.
class MainWindowTest : public QtAppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitInstance(TestStartupOptions()));
    SetPromptService(&prompt);
    // Question dialogs (skip deleted files, overwrite mode) take their
    // default answer without showing.
    SetDialogRunner([](QDialog&) { return int(QDialog::Accepted); });
    QApplication::processEvents();
  }
  void TearDown() override {
    g_activityCode = kActivityIdle;
    g_busyCounter = 0;
    SetPromptService(&prompt);
    app.ExitInstance();
    SetDialogRunner({});
  }
  CMainFrame* Frame() { return app.MainFrame(); }
  CDelvoraView* View() { return app.MainFrame()->View(); }

  CDelvoraApp app;
  ScriptedPrompt prompt;
};

std::vector<FoundItem> SampleItems(int count) {
  static const char16_t* names[] = {u"holiday.jpg", u"report.docx", u"budget.xlsx", u"notes.txt",
                                    u"song.mp3",    u"archive.zip", u"thesis.pdf",  u"movie.avi"};
  static const char16_t* folders[] = {u"C:\\Users\\anna\\Pictures\\", u"C:\\Users\\anna\\Documents\\",
                                      u"C:\\Work\\2023\\", u"D:\\Music\\"};
  std::vector<FoundItem> items;
  for (int i = 0; i < count; i++) {
    FoundItem f;
    f.nodeIndex = i;
    f.name = names[i % 8];
    f.folderPath = folders[i % 4];
    f.size = uint64_t(1024) * uint64_t(37 + 911 * i);
    f.time = 133000000000000000ULL + uint64_t(i) * 8640000000000ULL;
    f.flags = uint16_t(0x0002 | ((i % 3 == 0 ? 3 : 4) << 8));
    f.condition = int16_t(i % 3 == 0 ? 328 : 329);
    f.volumeIndex = 0;
    items.push_back(std::move(f));
  }
  return items;
}

TEST_F(MainWindowTest, TitleWidthAndCentring) {
  EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("Delvora Version 4.3"));
  const int expected = int(665 * g_appState->displayScale);
  EXPECT_EQ(Frame()->width(), expected);
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect r = Frame()->frameGeometry();
  // Both centres are rounded down to whole pixels.
  EXPECT_LE(std::abs(r.center().x() - area.center().x()), 2);
  EXPECT_LE(std::abs(r.center().y() - area.center().y()), 2);
  // A frame larger than the screen (a large scale on a small screen) is
  // brought inside its available area, title bar and all.
  Frame()->setMinimumSize(area.width() + 400, area.height() + 400);
  Frame()->resize(area.width() + 500, area.height() + 240);
  Frame()->CenterWindow();
  EXPECT_TRUE(area.contains(Frame()->frameGeometry()))
      << Frame()->frameGeometry().width() << "x" << Frame()->frameGeometry().height();
  EXPECT_LT(Frame()->height(), area.height());
}

TEST_F(MainWindowTest, MenusToolbarAndStatusBar) {
  const auto menus = Frame()->menuBar()->actions();
  ASSERT_EQ(menus.size(), 5);
  EXPECT_EQ(menus[0]->text(), QStringLiteral("&File"));
  EXPECT_EQ(menus[4]->text(), QStringLiteral("&Help"));
  // One action per command, shared by the menu and the toolbar.
  QAction* props = Frame()->Commands()->Action(cmd::kProperties);
  EXPECT_TRUE(Frame()->ToolBar()->actions().contains(props));
  EXPECT_EQ(props->iconText(), QStringLiteral("Properties"));
  EXPECT_EQ(props->toolTip(), QStringLiteral("Display the properties of a selected file"));
  EXPECT_EQ(Frame()->Commands()->Action(cmd::kHelpTopics)->iconText(), QStringLiteral("Help"));
  EXPECT_EQ(Frame()->PromptPane()->text(), QStringLiteral("For Help, Press F1 "));
  Frame()->ShowPrompt(cmd::kScan);
  EXPECT_EQ(Frame()->PromptPane()->text(), QStringLiteral("Look for files"));
  Frame()->SetFolderViewButton(true);
  EXPECT_EQ(Frame()->Commands()->Action(cmd::kFolderView)->iconText(), QStringLiteral("List View"));
  Frame()->SetScanSaveItem(false, true);
  EXPECT_EQ(Frame()->Commands()->Action(cmd::kScan)->text(), QStringLiteral("&Pause\tCtrl+P"));
  // View > Toolbar and Status Bar are checked while the bars are shown with
  // the frame, also before the frame is on screen.
  QAction* bar = Frame()->Commands()->Action(cmd::kToolbar);
  QAction* status = Frame()->Commands()->Action(cmd::kStatusBar);
  const bool wasVisible = Frame()->isVisible();
  Frame()->hide();
  View()->RefreshCommands();
  EXPECT_TRUE(bar->isChecked());
  EXPECT_TRUE(status->isChecked());
  bar->trigger();
  EXPECT_FALSE(bar->isChecked());
  EXPECT_TRUE(Frame()->ToolBar()->isHidden());
  bar->trigger();
  EXPECT_TRUE(bar->isChecked());
  if (wasVisible) Frame()->show();
}

TEST_F(MainWindowTest, MinimisedTitleFollowsProgress) {
  g_activityCode = kActivityScan;
  Frame()->SetProgressShown(true, 37);
  Frame()->UpdateTitle(1);
  EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("37% complete"));
  Frame()->UpdateTitle(0);
  EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("Delvora Version 4.3"));
}

TEST_F(MainWindowTest, AboutBox) {
  CAboutDlg dlg(Frame());
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("About Delvora"));
  EXPECT_TRUE(dlg.VersionText().startsWith(QStringLiteral("Delvora Version 4.3.1\n")));
  // The test program's own date follows.
  EXPECT_EQ(dlg.VersionText().size(), QStringLiteral("Delvora Version 4.3.1\n").size() + 19);
  EXPECT_FALSE(dlg.NoticeText().isEmpty());
  EXPECT_NE(dlg.findChild<QWidget*>(QStringLiteral("ctl1276")), nullptr);
  EXPECT_NE(dlg.findChild<QWidget*>(QStringLiteral("ctl1286")), nullptr);
}

TEST_F(MainWindowTest, ActionsFollowTheActivityCode) {
  std::vector<FoundItem> items = SampleItems(20);
  View()->TakeFoundItems(items, 50);
  ASSERT_EQ(View()->ListRows(), 20);
  CommandActions* c = Frame()->Commands();
  struct Case {
    int activity;
    bool selectAll, sessionLoad, folderView, skipDeleted, find;
  } cases[] = {
      {-1, true, true, true, true, true},  {0, true, false, false, false, true}, {1, false, false, false, true, true},
      {2, true, false, false, true, true}, {3, true, false, false, true, true},  {4, true, false, false, true, true},
  };
  for (const Case& k : cases) {
    g_activityCode = k.activity;
    View()->RefreshCommands();
    EXPECT_EQ(c->Action(cmd::kSelectAll)->isEnabled(), k.selectAll) << k.activity;
    EXPECT_EQ(c->Action(cmd::kSessionLoad)->isEnabled(), k.sessionLoad) << k.activity;
    EXPECT_EQ(c->Action(cmd::kFolderView)->isEnabled(), k.folderView) << k.activity;
    EXPECT_EQ(c->Action(cmd::kSkipDeleted)->isEnabled(), k.skipDeleted) << k.activity;
    EXPECT_EQ(c->Action(cmd::kFind)->isEnabled(), k.find) << k.activity;
  }
  g_activityCode = kActivityIdle;
  View()->RefreshCommands();
  // Use Folder Names is checked, and its action toggles the check box.
  QAction* names = c->Action(cmd::kUseFolderNames);
  EXPECT_TRUE(names->isChecked());
  names->trigger();
  EXPECT_FALSE(names->isChecked());
}

TEST_F(MainWindowTest, StepsAndScanValidation) {
  // Without results the save step cannot be entered.
  auto* tab2 = qobject_cast<QPushButton*>(View()->Control(CDelvoraView::kTab2));
  ASSERT_NE(tab2, nullptr);
  EXPECT_FALSE(tab2->isEnabled());
  // Scan without a Look-in row: message 215.
  prompt.Push(kIdOk);
  Frame()->Commands()->Action(cmd::kScan)->trigger();
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_EQ(prompt.asked()[0].text, u"Please select a Disk or Volume.");
  EXPECT_EQ(prompt.asked()[0].style & 0xF0, unsigned(kMbIconError));
  // With results the save step shows the save controls.
  std::vector<FoundItem> items = SampleItems(3);
  View()->TakeFoundItems(items, 100);
  EXPECT_TRUE(tab2->isEnabled());
  tab2->click();
  EXPECT_EQ(View()->Step(), 1);
  EXPECT_TRUE(View()->Control(CDelvoraView::kSaveButton)->isVisible());
  EXPECT_FALSE(View()->Control(CDelvoraView::kScanButton)->isVisible());
  EXPECT_TRUE(Frame()->Commands()->Action(cmd::kSave)->isEnabled());
  EXPECT_FALSE(Frame()->Commands()->Action(cmd::kScan)->isEnabled());
}

TEST_F(MainWindowTest, QuickToLongAsksToClearResults) {
  std::vector<FoundItem> items = SampleItems(3);
  View()->TakeFoundItems(items, 100);
  prompt.Push(kIdNo);
  View()->OnScanModeChange(1);
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_EQ(prompt.asked()[0].text, u"Clear current scan results?");
  EXPECT_TRUE(qobject_cast<QAbstractButton*>(View()->Control(CDelvoraView::kQuick))->isChecked());
  EXPECT_EQ(View()->ListRows(), 3);
  prompt.Push(kIdYes);
  View()->OnScanModeChange(1);
  EXPECT_EQ(View()->ListRows(), 0);
  EXPECT_EQ(g_scanMode.load(), 1);
}

TEST_F(MainWindowTest, ClosingRules) {
  // Nothing running, empty list: closes without a question.
  g_busyCounter = 1;
  EXPECT_FALSE(Frame()->close());
  ASSERT_EQ(prompt.asked().size(), 1u);
  EXPECT_EQ(prompt.asked()[0].text, u"Click Pause and answer Yes to abort the current activity before exiting.");
  g_busyCounter = 0;
  std::vector<FoundItem> items = SampleItems(2);
  View()->TakeFoundItems(items, 100);
  prompt.Push(kIdNo);
  EXPECT_FALSE(Frame()->close());
  EXPECT_EQ(prompt.asked().back().text, u"Close Delvora?");
  prompt.Push(kIdYes);
  EXPECT_TRUE(Frame()->close());
}

TEST_F(MainWindowTest, EmptyListClosesWithoutAsking) {
  EXPECT_TRUE(Frame()->close());
  EXPECT_TRUE(prompt.asked().empty());
}

TEST_F(MainWindowTest, ScanOfAnImageFileRunsTheEngine) {
  // A small image with no volume: the scan runs through the worker and ends.
  const TempFolder pathTemp("uiqt_window");
  const std::string path = pathTemp.Path() + "/uiqt_empty.img";
  {
    std::ofstream f(path, std::ios::binary);
    std::string zeros(1 << 20, '\0');
    f.write(zeros.data(), std::streamsize(zeros.size()));
  }
  View()->SetLookInRows({LookInRow{2, u"test image", FromUtf8(path)}});
  View()->SelectLookInRow(0);
  for (int i = 0; i < 8; i++) prompt.Push(kIdOk);
  Frame()->Commands()->Action(cmd::kScan)->trigger();
  EXPECT_EQ(g_activityCode.load(), kActivityScan);
  for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(g_busyCounter.load(), 0);
  EXPECT_EQ(Frame()->Commands()->Action(cmd::kScan)->text(), QStringLiteral("&Scan\tCtrl+S"));
  std::remove(path.c_str());
}

// Renders the main window in its states to PNG files when
// DV_SCREENSHOTS_DIR is set (scripts/screenshots).
TEST_F(MainWindowTest, Screenshots) {
  const char* dir = std::getenv("DV_SCREENSHOTS_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "DV_SCREENSHOTS_DIR not set";
  QDir().mkpath(QString::fromUtf8(dir));
  auto shot = [&](QWidget* w, const char* name) {
    QApplication::processEvents();
    ASSERT_TRUE(w->grab().save(QString::fromUtf8(dir) + QStringLiteral("/") + QString::fromUtf8(name)));
  };
  shot(Frame(), "1-empty.png");
  // The main road on the committed NTFS image (mkntfs and ntfs-3g), each
  // dialog on the way saved as it comes up.
  const std::string img = ntfs_fixture::Image("basic");
  if (img.empty()) GTEST_SKIP() << "xz missing";
  std::function<void(QDialog&)> onDialog;
  SetDialogRunner([&](QDialog& d) {
    if (onDialog) onDialog(d);
    d.show();
    QApplication::processEvents();
    d.grab().save(QString::fromUtf8(dir) + QStringLiteral("/dialog-") +
                  QString::fromLatin1(d.metaObject()->className()) + QStringLiteral(".png"));
    d.hide();
    if (auto* dup = qobject_cast<CDuplicate*>(&d)) dup->Radio(1)->setChecked(true);
    return int(QDialog::Accepted);
  });
  View()->LoadDiskImages({FromUtf8(img)});  // becomes the chosen source
  View()->RefreshCommands();
  shot(Frame(), "2-source-chosen.png");
  // A scan in progress: one read of the MFT is held until the picture is
  // taken.
  {
    auto state = std::make_shared<FaultState>();
    FaultyOpener opener(state);
    View()->OnLookInSelChange();  // opened again through the faulty source
    // The volume search of a slow source (each read late), the window live
    // beside it; the MFT read is held only once the volumes are chosen.
    state->delayMs = 120;
    bool searchShot = false;
    QTimer beat;
    beat.setInterval(50);
    QObject::connect(&beat, &QTimer::timeout, [&] {
      if (searchShot || g_activityCode.load() != kActivityScan) return;
      if (theProgressAndStats().bytesScanned.load() == 0) return;
      searchShot = true;
      QTest::qWait(1200);
      shot(Frame(), "3a-volume-search.png");
    });
    beat.start();
    onDialog = [&](QDialog& d) {
      if (std::string(d.metaObject()->className()) != "CBootSect") return;
      beat.stop();
      state->delayMs = 0;
      std::lock_guard<std::mutex> lock(state->m);
      state->hangAt.push_back(4 * 4096 + 40 * 1024);
    };
    // Should a read on this thread meet the hold, it ends anyway.
    std::thread watchdog([state] {
      std::this_thread::sleep_for(std::chrono::seconds(20));
      state->Release();
    });
    View()->OnCommand(cmd::kScan);
    auto hanging = [&] {
      std::lock_guard<std::mutex> lock(state->m);
      return state->hanging > 0;
    };
    for (int i = 0; i < 3000 && !hanging(); i++) QTest::qWait(10);
    if (hanging()) {
      QTest::qWait(1500);
      shot(Frame(), "3-scan-in-progress.png");
    }
    onDialog = nullptr;
    state->Release();
    watchdog.join();
    for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  }
  shot(Frame(), "4-after-scan.png");
  CStatusDlg* dlg = Frame()->StatusDialog();
  shot(dlg, "5-status-panel.png");
  Frame()->showMaximized();
  shot(Frame(), "6-maximised.png");
  Frame()->showNormal();
  View()->OnCommand(cmd::kSelectAll);
  qobject_cast<QPushButton*>(View()->Control(CDelvoraView::kTab2))->click();
  shot(Frame(), "7-save-step.png");
  const std::string dest = std::string(dir) + "/saved";
  std::error_code ec;
  std::filesystem::remove_all(dest, ec);
  View()->SetSaveTo(QString::fromStdString(dest));
  View()->OnCommand(cmd::kSave);
  for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  shot(Frame(), "8-after-save.png");
  // Again into the same folder: the overwrite dialog.
  View()->OnCommand(cmd::kSave);
  for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  std::filesystem::remove_all(dest, ec);
  {
    CSameDrv same(Frame());
    same.show();
    shot(&same, "dialog-CSameDrv.png");
  }
  dlg->hide();
  // The folder display with its tree, a filtered list and the Find dialog.
  auto idle = [] {
    for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  };
  View()->SetStep(0);
  View()->OnCommand(cmd::kFolderView);
  idle();
  View()->Tree()->expandAll();
  if (View()->List()->Folders() && View()->List()->Folders()->RowOfPath(u"]:\\comp") != kNoFolderRow)
    View()->Tree()->SelectFolder(View()->List()->Folders()->RowOfPath(u"]:\\comp"));
  View()->List()->SelectRow(1);
  shot(Frame(), "9-folder-display.png");
  View()->OnCommand(cmd::kFolderView);
  idle();
  auto k = std::make_unique<FilterCriterion>();
  k->op = 2;  // contains
  k->SetPattern(u".txt");
  View()->List()->SetFilter(kColName, std::move(k));
  idle();
  View()->OnCommand(cmd::kArrangeSize);
  idle();
  shot(Frame(), "10-filtered-list.png");
  View()->OnCommand(cmd::kFind);
  CFindDlg* find = View()->FindDialog();
  find->SearchText()->setText(QStringLiteral("text"));
  find->move(Frame()->geometry().center() - QPoint(find->width() / 2, 0));
  QApplication::processEvents();
  {
    // The frame with the dialog drawn where it stands over it.
    // (offscreen windows have no title bar: a plain one is drawn).
    QPixmap frame = Frame()->grab();
    QPainter p(&frame);
    const QPoint at = find->geometry().topLeft() - Frame()->geometry().topLeft();
    const QRect bar(at.x(), at.y() - 22, find->width(), 22);
    p.fillRect(bar, QColor(0x1f, 0x4e, 0x8c));
    p.setPen(Qt::white);
    p.drawText(bar.adjusted(8, 0, 0, 0), int(Qt::AlignVCenter | Qt::AlignLeft), find->windowTitle());
    p.drawPixmap(at, find->grab());
    p.setPen(QColor(0x1f, 0x4e, 0x8c));
    p.drawRect(QRect(bar.topLeft(), QSize(find->width() - 1, find->height() + 21)));
    p.end();
    ASSERT_TRUE(frame.save(QString::fromUtf8(dir) + QStringLiteral("/11-find-dialog.png")));
  }
  find->hide();
  View()->List()->ClearFilter(kColName);
  idle();
  // An ending by read errors, as the message box shows it.
  {
    auto state = std::make_shared<FaultState>();
    state->bad.push_back({4 * 4096 + 40 * 1024, 4 * 4096 + 64 * 1024});
    FaultyOpener opener(state);
    View()->SetStep(0);
    prompt.Push(kIdYes);  // clear the results
    View()->OnLookInSelChange();
    View()->OnCommand(cmd::kScan);
    for (int i = 0; i < 6000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
    EXPECT_EQ(g_activityCode.load(), kActivityIdle);
    const auto asked = prompt.asked();
    ASSERT_FALSE(asked.empty());
    QMessageBox box(QMessageBox::Warning, ToQ(asked.back().caption).trimmed(), ToQ(asked.back().text), QMessageBox::Ok,
                    Frame());
    box.show();
    shot(&box, "12-read-error-ending.png");
    shot(Frame(), "13-after-read-errors.png");
  }
  // A dark palette (Fusion): the list's bands, ticks and text and the own
  // controls from the palette's roles.
  {
    const QPalette light = QApplication::palette();
    QStyle* before = QApplication::style();
    const QString beforeName = before ? before->name() : QString();
    QApplication::setStyle(QStringLiteral("Fusion"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 32));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(53, 53, 56));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    QApplication::setPalette(dark);
    View()->List()->CheckAll(false);
    for (int row : {0, 2, 3}) {
      View()->List()->SelectRow(row);
      View()->List()->CheckCurItems(true);
    }
    shot(Frame(), "14-dark-palette.png");
    QApplication::setPalette(light);
    if (!beforeName.isEmpty()) QApplication::setStyle(beforeName);
  }
}

}  // namespace
