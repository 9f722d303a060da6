// The list's commands in the main window on generated items (no image, no
// FUSE): arranging, the folder display and its tree, the header's filter
// icons, the Find dialog, and what the selection does after a reorder.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "tests/uiqt/QtApp.h"
#include "tests/uiqt/Startup.h"
#include "ui/Commands.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/ListHeader.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListSort.h"
#include "ui/core/PropertyRules.h"

namespace {

// Files in C:\a\b, C:\a, C:\c and a numbered volume, a few deleted.
std::vector<FoundItem> Items(int count) {
  static const char16_t* folders[] = {u"C:\\a\\b\\", u"C:\\a\\", u"C:\\c\\", u"^:\\x\\"};
  std::vector<FoundItem> items;
  for (int i = 0; i < count; ++i) {
    FoundItem f;
    f.nodeIndex = i;
    f.name = FromUtf8("file" + std::to_string((i * 37) % count) + (i % 2 ? ".txt" : ".jpg"));
    f.folderPath = folders[i % 4];
    f.size = uint64_t(100 + (i * 7919) % 5000);
    f.time = 132000000000000000ULL + uint64_t(i % 13) * 864000000000ULL;
    f.flags = uint16_t(i % 5 == 0 ? 0x0402 : 0);
    f.volumeIndex = uint16_t(i % 4 == 3 ? 1 : 0);
    items.push_back(std::move(f));
  }
  return items;
}

class ListView : public QtAppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.InitInstance(TestStartupOptions()));
    SetPromptService(&prompt);
    SetDialogRunner([this](QDialog& d) {
      dialogs.push_back(d.metaObject()->className());
      return int(QDialog::Rejected);
    });
    QApplication::processEvents();
    std::vector<FoundItem> items = Items(400);
    View()->TakeFoundItems(items, 100);
  }
  void TearDown() override {
    SetDialogRunner({});
    SetMenuRunner({});
    app.ExitInstance();
    g_activityCode = kActivityIdle;
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  CMyListCtrl* List() { return View()->List(); }
  void WaitIdle() {
    for (int i = 0; i < 3000 && g_activityCode.load() != kActivityIdle; i++) QTest::qWait(10);
    QApplication::processEvents();
  }
  void Command(int id) {
    View()->OnCommand(id);
    WaitIdle();
  }
  WString Name(int64_t row) { return List()->CellText(row, kColName); }

  CDelvoraApp app;
  ScriptedPrompt prompt;
  std::vector<std::string> dialogs;
};

TEST_F(ListView, ArrangeTwiceReversesAndTheSelectionGoes) {
  List()->SelectRow(5);
  Command(cmd::kArrangeSize);
  EXPECT_EQ(List()->SelectedCount(), 0) << "rows now hold other files";
  EXPECT_EQ(List()->Header()->SortColumn(), kColSize);
  EXPECT_TRUE(List()->Header()->SortAscending());
  const WString first = Name(0), last = Name(List()->RowCount() - 1);
  List()->SelectRow(3);
  View()->OnCommand(cmd::kArrangeSize);
  // Reversed at once, no worker.
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_EQ(Name(0), last);
  EXPECT_EQ(Name(List()->RowCount() - 1), first);
  EXPECT_FALSE(List()->Header()->SortAscending());
  EXPECT_EQ(List()->SelectedCount(), 0);
  // The arrange commands show the sort column's check.
  View()->RefreshCommands();
  EXPECT_TRUE(app.MainFrame()->Commands()->Action(cmd::kArrangeSize)->isChecked());
  EXPECT_FALSE(app.MainFrame()->Commands()->Action(cmd::kArrangeName)->isChecked());
}

TEST_F(ListView, SortingAnEmptyListEndsAtOnceWithoutAWorker) {
  CMyListCtrl empty;
  QSignalSpy done(&empty, &CMyListCtrl::sortFinished);
  empty.StartSort(kSortName);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_TRUE(done.wait(5000));
  EXPECT_EQ(done.takeFirst().at(0).toInt(), int(kSortName));
}

TEST_F(ListView, FolderViewSortsSwitchesAndTheTreeChecks) {
  // Unsorted: one command sorts by folder and switches.
  Command(cmd::kFolderView);
  ASSERT_TRUE(View()->FolderDisplay());
  EXPECT_TRUE(View()->Tree()->isVisible());
  CFolderTreeModel* model = View()->Tree()->FolderModel();
  QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  ASSERT_EQ(model->rowCount(), 2);  // two volumes
  const QModelIndex c = model->index(0, 0);
  EXPECT_EQ(model->data(c, Qt::DisplayRole).toString(), QStringLiteral("Volume C: "));
  // A volume index past the drive's table names no label (no drive here).
  EXPECT_EQ(model->data(model->index(1, 0), Qt::DisplayRole).toString(), QStringLiteral("Volume 1 "));
  // The first volume is open: its folders a and c.
  EXPECT_EQ(List()->RowCount(), 2);
  EXPECT_TRUE(IsFolderEntry(List()->EntryOfRow(0)));
  EXPECT_EQ(Name(0), u"a");
  ListItemInfo info;
  EXPECT_EQ(List()->GetItemInfo(0, info), 1);
  EXPECT_EQ(info.folder, u"\\");
  EXPECT_EQ(List()->GetFolderItemInfo(List()->CurrentFolder(), info), 2);
  // The properties records of a volume row and of a folder row.
  PropertyRecord record;
  EXPECT_EQ(View()->GetPropertyRecord(int(List()->CurrentFolder()), true, record), 1);
  EXPECT_EQ(record.flags, uint32_t(PropertyRecord::kVolume));
  EXPECT_EQ(record.volume.letterCode, int(u'C'));
  EXPECT_EQ(View()->GetPropertyRecord(0, false, record), 1);
  EXPECT_EQ(record.flags, uint32_t(PropertyRecord::kDetails));
  EXPECT_EQ(record.displayMode, 1);
  EXPECT_EQ(record.name, u"a");
  EXPECT_EQ(record.folder, u"\\");
  // Arrange by Folder and by Volume do nothing here.
  const int column = View()->SortColumnFolder();
  Command(cmd::kArrangeFolder);
  Command(cmd::kArrangeVolume);
  EXPECT_EQ(View()->SortColumnFolder(), column);
  // Checking a folder from the tree checks every file below and marks the
  // volume mixed; clicks change nothing during a recovery.
  CMyTreeCtrl* tree = View()->Tree();
  tree->expand(c);
  const QModelIndex a = model->index(0, 0, c);
  ASSERT_TRUE(a.isValid());
  const QRect box = tree->CheckRect(a);
  tree->SetRecoveryRunning(true);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(List()->Store().CheckedFiles(), 0);
  tree->SetRecoveryRunning(false);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(List()->Store().CheckedFiles(), 200);  // C:\a and C:\a\b
  EXPECT_EQ(model->data(a, Qt::CheckStateRole).toInt(), int(Qt::Checked));
  EXPECT_EQ(model->data(c, Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
  // Space on the tree's current item toggles it back.
  QApplication::setActiveWindow(app.MainFrame());
  tree->setFocus();
  tree->setCurrentIndex(a);
  QTest::keyClick(tree, Qt::Key_Space);
  EXPECT_EQ(List()->Store().CheckedFiles(), 0);
  // Keypad +/- expand and collapse; Ctrl+Down only scrolls.
  QTest::keyClick(tree, Qt::Key_Minus, Qt::KeypadModifier);
  EXPECT_FALSE(tree->isExpanded(a));
  QTest::keyClick(tree, Qt::Key_Plus, Qt::KeypadModifier);
  EXPECT_TRUE(tree->isExpanded(a));
  QTest::keyClick(tree, Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(tree->currentIndex(), a);
  // Back to the flat list.
  Command(cmd::kFolderView);
  EXPECT_FALSE(View()->FolderDisplay());
  EXPECT_EQ(List()->RowCount(), 400);
}

TEST_F(ListView, FilterIconsOpenTheDialogOrTheMenu) {
  CMBLstHdrCtrl* h = List()->Header();
  auto hover = [h](int column) {
    const int right = h->sectionViewportPosition(column) + h->sectionSize(column);
    // Away first: a move to where the pointer already is may not arrive.
    QTest::mouseMove(h->viewport(), QPoint(right - 40, h->height() / 2));
    QTest::mouseMove(h->viewport(), QPoint(right - 16, h->height() / 2));
  };
  hover(kColName);
  ASSERT_TRUE(h->OverFilterIcon());
  View()->OnColumnClick(kColName);
  EXPECT_EQ(dialogs, std::vector<std::string>{"CCustomFilterDlg"});
  EXPECT_FALSE(List()->IsFilterActive());
  // With a filter on the column the click opens the two-item menu.
  auto k = std::make_unique<FilterCriterion>();
  k->op = 0;
  k->SetPattern(u"*.txt");
  List()->SelectRow(2);
  List()->SetFilter(kColName, std::move(k));
  EXPECT_EQ(g_activityCode.load(), kActivityFiltering);
  EXPECT_FALSE(List()->isEnabled());
  WaitIdle();
  EXPECT_TRUE(List()->isEnabled());
  EXPECT_EQ(List()->RowCount(), 200);
  EXPECT_EQ(List()->SelectedCount(), 0);
  EXPECT_TRUE(h->FilterMark(kColName));
  int shown = 0;
  SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    shown = int(menu.actions().size());
    return menu.actions().value(0);  // "Edit filter...": the dialog, cancelled
  });
  dialogs.clear();
  hover(kColName);
  View()->OnColumnClick(kColName);
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(dialogs, std::vector<std::string>{"CCustomFilterDlg"});
  EXPECT_TRUE(List()->IsFilterActive());
  // A click beside the icon arranges.
  QTest::mouseMove(h->viewport(), QPoint(h->sectionViewportPosition(kColSize) + 5, h->height() / 2));
  View()->OnColumnClick(kColSize);
  WaitIdle();
  EXPECT_EQ(View()->SortColumnFlat(), kColSize);
  // The clear command of the column ends the filter.
  Command(cmd::kFilterClearFirst + int(kColName));
  EXPECT_FALSE(List()->IsFilterActive());
  EXPECT_EQ(List()->RowCount(), 400);
}

TEST_F(ListView, FindDialog) {
  Command(cmd::kFind);
  CFindDlg* find = View()->FindDialog();
  ASSERT_TRUE(find->isVisible());
  EXPECT_FALSE(find->FindNextButton()->isEnabled());
  find->SearchText()->setText(QStringLiteral("file3.txt"));
  EXPECT_TRUE(find->FindNextButton()->isEnabled());
  find->SearchText()->clear();
  EXPECT_FALSE(find->FindNextButton()->isEnabled()) << "an empty text disables Find Next at once";
  find->SearchText()->setText(QStringLiteral("FILE3"));
  QTest::mouseClick(find->FindNextButton(), Qt::LeftButton);
  ASSERT_EQ(List()->SelectedCount(), 1);
  const int64_t first = List()->FirstSelected();
  EXPECT_TRUE(ToQ(Name(first)).startsWith(QStringLiteral("file3")));
  QTest::mouseClick(find->FindNextButton(), Qt::LeftButton);
  EXPECT_GT(List()->FirstSelected(), first);
  // Upwards with nothing selected starts at the last row.
  List()->ClearSelection();
  find->UpButton()->click();
  find->SearchText()->setText(QStringLiteral(".jpg"));
  View()->OnCommand(cmd::kFind);
  find->OnFindNext();
  EXPECT_EQ(List()->FirstSelected(), List()->RowCount() - 2) << "the last .jpg row";
}

}  // namespace
