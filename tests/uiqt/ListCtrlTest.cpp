#include <QScrollBar>
#include <QTest>

#include "QtApp.h"
#include "engine/ProgressStats.h"
#include "foundation/Globals.h"
#include "ui/ListHeader.h"
#include "ui/MyListCtrl.h"
#include "ui/QtPrompt.h"
#include "ui/TitleTip.h"

namespace {

class ListCtrl : public QtAppTest {
 protected:
  GlobalObjectsScope scope;
  FoundNodeStore nodes;
  CMyListCtrl list;

  void SetUp() override {
    list.SetNodeSource(&nodes);
    list.resize(700, 400);
    list.show();
    QApplication::setActiveWindow(&list);
  }
  void Fill(int n, int batch = 500) {
    std::vector<FoundItem> items;
    for (int i = 0; i < n; ++i) {
      FoundItem f;
      f.nodeIndex = i;
      f.name = u"file" + FromUtf8(std::to_string(i)) + u".jpg";
      f.folderPath = u"C:\\dir\\";
      f.size = 100;
      f.volumeIndex = 0;
      items.push_back(std::move(f));
      if (int(items.size()) == batch || i == n - 1) list.AppendFoundItems(items, &nodes, 0, nullptr);
    }
  }
  QPoint CellPoint(int row, int x) {
    const QRect r = list.CellRect(row, 0);
    return QPoint(r.left() + x, r.center().y());
  }
  QString Text(int row, int column) { return ToQ(list.CellText(row, column)); }
};

TEST_F(ListCtrl, AMillionRowsInBatchesScrollAndPaint) {
  for (int32_t i = 0; i < 1000000; ++i) {
    list.AppendRecord(i, u"C:\\d", u"JPG file");
    if ((i + 1) % 500 == 0) list.FinishInserting();
  }
  EXPECT_EQ(list.RowCount(), 1000000);
  EXPECT_EQ(theProgressAndStats().displayedItems.load(), 1000000u);
  list.verticalScrollBar()->setValue(list.verticalScrollBar()->maximum());
  const QImage shot = list.grab().toImage();
  EXPECT_FALSE(shot.isNull());
  EXPECT_GT(list.verticalScrollBar()->value(), 0);
  // The last full row in sight is the last row.
  EXPECT_EQ(list.RowAt((list.RowsPerPage() - 1) * list.RowHeight() + 1), 999999);
  EXPECT_EQ(Text(999999, kColFolder), "\\d");
  // 16 bytes a row and the pools: nothing per row in the window.
  EXPECT_LT(list.MemoryBytes(), size_t(1000000) * 16 + (size_t(4) << 20));
}

TEST_F(ListCtrl, CellsComeFromRecordsAndNodes) {
  Fill(3);
  EXPECT_EQ(Text(1, kColName), "file1.jpg");
  EXPECT_EQ(Text(1, kColType), "JPG file");
  EXPECT_EQ(Text(1, kColFolder), "\\dir");
  EXPECT_EQ(Text(1, kColVolume), " C:");
  EXPECT_EQ(Text(1, kColSize), "1 KB (100)");
  EXPECT_EQ(list.SetItemStatus(1, 0x500, true), 1);
  EXPECT_EQ(Text(1, kColStatus), "Saved");
  EXPECT_EQ(list.SetItemStatus(7, 0x500, true), -1);
  WString name;
  EXPECT_EQ(list.GetRecoveredName(2, true, name), 0);
  EXPECT_EQ(name, u"\\dir\\file2.jpg");
  EXPECT_EQ(Text(3, kColName), "");
}

TEST_F(ListCtrl, BandedRowsArePainted) {
  Fill(4);
  const QImage shot = list.viewport()->grab().toImage();
  for (int row = 0; row < 4; ++row) {
    const QRect cell = list.CellRect(row, kColVolume);
    // The right end of the Volume cell holds no text.
    const QColor c = shot.pixelColor(cell.right() - 2, cell.center().y());
    EXPECT_EQ(c, row % 2 ? QColor(0xE6, 0xF0, 0xE6) : QColor(Qt::white)) << row;
  }
}

TEST_F(ListCtrl, CheckBoxBandClicksSpaceAndCommands) {
  Fill(10);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, CellPoint(2, 10));
  EXPECT_TRUE(list.IsItemChecked(2));
  EXPECT_EQ(list.GetCheckState(2), 1);
  EXPECT_EQ(theProgressAndStats().selectedItems.load(), 1u);
  EXPECT_EQ(theProgressAndStats().checkedBytes.load(), 100);
  // One pixel outside the band selects without toggling.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, CellPoint(3, 15));
  EXPECT_FALSE(list.IsItemChecked(3));
  EXPECT_TRUE(list.IsRowSelected(3));
  // A click in the band of a selected row checks the whole selection.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ShiftModifier, CellPoint(6, 60));
  EXPECT_EQ(list.SelectedCount(), 4);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, CellPoint(4, 10));
  for (int r = 3; r <= 6; ++r) EXPECT_TRUE(list.IsItemChecked(r)) << r;
  EXPECT_EQ(list.Store().CheckedFiles(), 5);
  // Space on the focused row unchecks the selection when it is checked.
  QTest::keyClick(&list, Qt::Key_Space);
  for (int r = 3; r <= 6; ++r) EXPECT_FALSE(list.IsItemChecked(r)) << r;
  // No toggling while a recovery runs.
  list.SetRecoveryRunning(true);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, CellPoint(8, 10));
  EXPECT_FALSE(list.IsItemChecked(8));
  list.SetRecoveryRunning(false);
  list.CheckAll(true);
  EXPECT_EQ(list.Store().CheckedFiles(), 10);
  EXPECT_EQ(list.Header()->CheckBoxState(), 2);
  list.InvertChecks();
  EXPECT_FALSE(list.HasCheckedItems());
  EXPECT_EQ(list.GetCheckState(0), 0);
}

TEST_F(ListCtrl, KeysMoveTheSelection) {
  Fill(50);
  list.SelectRow(0);
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_EQ(list.CurrentRow(), 1);
  EXPECT_TRUE(list.IsRowSelected(1));
  EXPECT_EQ(list.SelectedCount(), 1);
  QTest::keyClick(&list, Qt::Key_Down, Qt::ShiftModifier);
  QTest::keyClick(&list, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(list.SelectedCount(), 3);
  QTest::keyClick(&list, Qt::Key_End);
  EXPECT_EQ(list.CurrentRow(), 49);
  EXPECT_GT(list.TopRow(), 0);
  QTest::keyClick(&list, Qt::Key_Home);
  EXPECT_EQ(list.CurrentRow(), 0);
  EXPECT_EQ(list.TopRow(), 0);
}

TEST_F(ListCtrl, HeaderCheckBoxTogglesAllRows) {
  Fill(5);
  QTest::mouseClick(list.Header()->viewport(), Qt::LeftButton, {}, QPoint(8, list.Header()->height() / 2));
  EXPECT_EQ(list.Store().CheckedFiles(), 5);
  QTest::mouseClick(list.Header()->viewport(), Qt::LeftButton, {}, QPoint(8, list.Header()->height() / 2));
  EXPECT_EQ(list.Store().CheckedFiles(), 0);
  list.Header()->SetMouseDisabled(true);
  QTest::mouseClick(list.Header()->viewport(), Qt::LeftButton, {}, QPoint(8, list.Header()->height() / 2));
  EXPECT_EQ(list.Store().CheckedFiles(), 0);
}

TEST_F(ListCtrl, HeaderSortArrowAndFilterIcons) {
  Fill(5);
  CMBLstHdrCtrl* h = list.Header();
  h->LoadFilterIcons();
  h->SetSortArrow(kColSize, true);
  h->SetFilterMark(kColType, true);
  h->grab();
  EXPECT_EQ(h->LastArrowImage(), 1);
  EXPECT_EQ(h->LastFilterIcon(kColType), 2);
  EXPECT_EQ(h->LastFilterIcon(kColName), -1);
  h->SetSortArrow(kColSize, false);
  h->grab();
  EXPECT_EQ(h->LastArrowImage(), 0);
  // While a worker runs the filter icons go, the sort arrow stays.
  h->SetActivityReader([] { return 0; });
  h->grab();
  EXPECT_EQ(h->LastFilterIcon(kColType), -1);
  EXPECT_EQ(h->LastArrowImage(), 0);
  h->ClearSortArrow();
  EXPECT_EQ(h->SortColumn(), -1);
}

// A wider list gives its room to Folder; Filename keeps its width.
TEST_F(ListCtrl, SpareWidthGoesToTheFolderColumn) {
  list.SetColumns(
      {QStringLiteral("Filename"), QStringLiteral("Type"), QStringLiteral("Folder"), QStringLiteral("Volume"),
       QStringLiteral("Status"), QStringLiteral("Size"), QStringLiteral("Modified")},
      {95, 65, 80, 65, 65, 65, 105});
  const int name = list.columnWidth(kColName), folder = list.columnWidth(kColFolder);
  list.resize(1400, 400);
  QApplication::processEvents();
  EXPECT_EQ(list.columnWidth(kColName), name);
  EXPECT_GT(list.columnWidth(kColFolder), folder + 500);
  list.resize(700, 400);
  QApplication::processEvents();
  EXPECT_EQ(list.columnWidth(kColName), name);
  EXPECT_LT(list.columnWidth(kColFolder), folder + 500);
}

TEST_F(ListCtrl, TitleTipOnlyForCutTexts) {
  FoundItem f;
  f.nodeIndex = 0;
  f.name = u"a.txt";
  f.folderPath = u"C:\\a very long folder name that does not fit in the narrow column at all\\";
  f.volumeIndex = 0;
  std::vector<FoundItem> items{f};
  list.AppendFoundItems(items, &nodes, 0, nullptr);
  list.setColumnWidth(kColFolder, 60);
  list.setColumnWidth(kColType, 150);
  QTest::mouseMove(list.viewport(), list.CellRect(0, kColType).center());
  EXPECT_FALSE(list.TitleTip()->IsShown());
  QTest::mouseMove(list.viewport(), list.CellRect(0, kColFolder).center());
  ASSERT_TRUE(list.TitleTip()->IsShown());
  EXPECT_EQ(list.TitleTip()->Text(), "\\a very long folder name that does not fit in the narrow column at all");
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_FALSE(list.TitleTip()->IsShown());
}

// Every batch reaches the window at once, whatever the list holds: the
// scroll range follows the records, no catch-up step.
TEST_F(ListCtrl, ScanBatchesReachTheWindowAtOnce) {
  auto batch = [&](int first) {
    std::vector<FoundItem> items(500);
    for (int i = 0; i < 500; ++i) {
      items[size_t(i)].nodeIndex = first + i;
      items[size_t(i)].name = u"f.txt";
      items[size_t(i)].folderPath = u"C:\\";
    }
    list.AppendFoundItems(items, &nodes, 0, nullptr);
  };
  for (int b = 0; b < 5; ++b) {
    batch(b * 500);
    EXPECT_EQ(list.RowCount(), (b + 1) * 500);
    EXPECT_EQ(theProgressAndStats().displayedItems.load(), uint32_t((b + 1) * 500));
    EXPECT_EQ(list.verticalScrollBar()->maximum(), (b + 1) * 500 - list.RowsPerPage());
  }
  list.FreeMem();
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.verticalScrollBar()->maximum(), 0);
  batch(0);
  EXPECT_EQ(list.RowCount(), 500);
}

TEST_F(ListCtrl, PropertiesDescriptionAndSelectionRange) {
  Fill(5);
  int last = 0;
  EXPECT_EQ(list.GetSelectionRange(false, last), -1);
  EXPECT_EQ(last, 4);
  list.SelectRow(3);
  list.SelectRow(2, true);
  EXPECT_EQ(list.SelectedCount(), 2);
  EXPECT_EQ(list.GetSelectionRange(false, last), 2);
  EXPECT_EQ(list.GetSelectionRange(true, last), -1);
  EXPECT_EQ(last, -1);
  ListItemInfo info;
  ASSERT_EQ(list.GetItemInfo(3, info), 0);
  EXPECT_EQ(info.name, u"file3.jpg");
  EXPECT_EQ(info.folder, u"C:\\dir");
  EXPECT_EQ(info.sizeText, u"1 KB (100)");
  EXPECT_EQ(info.nodeIndex, 3);
  EXPECT_EQ(list.GetItemInfo(5, info), -1);
  EXPECT_EQ(list.GetItemInfo(-1, info), -1);
}

TEST_F(ListCtrl, FreeMemEmptiesEverything) {
  Fill(20);
  list.CheckAll(true);
  list.FreeMem();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.SelectedCount(), 0);
  EXPECT_EQ(theProgressAndStats().selectedItems.load(), 0u);
  Fill(3);
  EXPECT_EQ(list.RowCount(), 3);
}

}  // namespace
