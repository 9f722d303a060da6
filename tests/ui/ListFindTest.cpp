// Finding in the file list: where Find Next starts and what it covers, the
// order in which it visits cells, the type-ahead search, the row selection
// and the exported text.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "foundation/Globals.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "ui/core/ListExport.h"
#include "ui/core/ListFind.h"

namespace {

TEST(ListFind, WhereFindNextStarts) {
  struct Case {
    int64_t firstSelected;
    int findColumn;
    bool down;
    int64_t row;
    int column;
    bool whole;
    bool empty;
  } cases[] = {
      // No row selected: the first cell down, the last up; the whole list.
      {-1, -1, true, 0, 0, true, false},
      {-1, 7, false, 9, 6, true, false},
      // Right after the Find command: the selected row itself.
      {4, -1, true, 4, 0, false, false},
      {4, 7, false, 4, 6, false, false},
      {0, -1, true, 0, 0, true, false},  // from row 0 down covers the whole list
      {9, 7, false, 9, 6, true, false},  // from the last row up too
      // After a match: the cell after (down) or before (up) it.
      {4, 2, true, 4, 3, false, false},
      {4, 6, true, 5, 0, false, false},
      {4, 0, false, 3, 6, false, false},  // up after a match in column 0: column 6 of the row above
      {9, 6, true, 10, 0, false, true},   // nothing after the last cell
      {0, 0, false, -1, 6, false, true},
  };
  for (const Case& c : cases) {
    const FindPlan p = PlanFind(10, c.firstSelected, c.findColumn, c.down);
    SCOPED_TRACE(testing::Message() << c.firstSelected << " " << c.findColumn << " " << c.down);
    EXPECT_EQ(p.empty, c.empty);
    if (c.empty) continue;
    EXPECT_EQ(p.row, c.row);
    EXPECT_EQ(p.column, c.column);
    EXPECT_EQ(p.wholeList, c.whole);
  }
  EXPECT_TRUE(PlanFind(0, -1, -1, true).empty);
}

TEST(ListFind, CellsInSearchOrderAndTheMatchRules) {
  // 5000 rows, cell (r, c) reads "r<r>c<c>"; row 3000 column 4 also "Needle".
  const auto cell = [](int64_t r, int c, WString& out) {
    out = FromUtf8("r" + std::to_string(r) + "c" + std::to_string(c));
    if (r == 3000 && c == 4) out += u" Needle";
  };
  FindOptions o;
  o.text = u"needle";
  auto at = FindNextCell(5000, PlanFind(5000, -1, -1, true), o, cell, {}, 256);
  EXPECT_EQ(at, (std::pair<int64_t, int>(3000, 4)));
  o.matchCase = true;
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, -1, -1, true), o, cell, {}, 256).first, -1);
  o.matchCase = false;
  o.wholeWord = true;
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, -1, -1, true), o, cell, {}, 256).first, -1);
  o.text = u"R3000C4 NEEDLE";
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, -1, -1, true), o, cell, {}, 256).first, 3000);
  // Down from after the match finds the next one in order; the first of
  // several in a row wins.
  o.wholeWord = false;
  o.text = u"c";
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, 7, 2, true), o, cell), (std::pair<int64_t, int>(7, 3)));
  o.down = false;
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, 7, 0, false), o, cell), (std::pair<int64_t, int>(6, 6)));
  // A search that is told to stop gives up between slices.
  o.text = u"absent";
  o.down = true;
  int slices = 0;
  EXPECT_EQ(FindNextCell(5000, PlanFind(5000, -1, -1, true), o, cell,
                         [&] {
                           ++slices;
                           return slices < 3;
                         },
                         100)
                .first,
            -1);
  EXPECT_EQ(slices, 3);
  EXPECT_TRUE(CellMatches(u"ABC", FindOptions{u"b"}));
}

TEST(ListFind, TypeAhead) {
  const std::vector<WString> names = {u"alpha", u"Beta", u"beta2", u"gamma", u"+plus", u"-minus"};
  const auto text = [&](int64_t r, WString& out) { out = names[size_t(r)]; };
  struct Case {
    int64_t start;
    const char16_t* typed;
    int64_t row;
  } cases[] = {
      {0, u"b", 1},  {2, u"b", 2},    {3, u"b", 1},  // wraps round at the end
      {0, u"BETA2", 2}, {0, u"G", 3}, {99, u"a", 0},  // a start past the end means row 0
      {0, u"+", -1}, {0, u"-m", -1},  // "+" and "-" are never searched
      {0, u"zeta", -1},               // no match leaves the selection
      {0, u"alphabet", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TypeAheadRow(int64_t(names.size()), c.start, c.typed, text), c.row) << ToUtf8(c.typed) << c.start;
}

TEST(ListFind, SelectionRanges) {
  RowSelection s;
  s.Select(10, 20);
  s.Select(21, 25);  // adjacent ranges merge
  s.Select(5, 5);
  EXPECT_EQ(s.Ranges().size(), 2u);
  EXPECT_EQ(s.Count(), 17);
  EXPECT_TRUE(s.IsSelected(25));
  EXPECT_FALSE(s.IsSelected(26));
  s.Deselect(12, 13);
  EXPECT_EQ(s.Count(), 15);
  EXPECT_FALSE(s.IsSelected(12));
  s.Toggle(12);
  EXPECT_TRUE(s.IsSelected(12));
  EXPECT_EQ(s.First(), 5);
  EXPECT_EQ(s.Last(), 25);
  s.Truncate(22);
  EXPECT_EQ(s.Last(), 21);
  s.Select(0, 9999999);  // ten million rows in one range
  EXPECT_EQ(s.Ranges().size(), 1u);
  EXPECT_EQ(s.Count(), 10000000);
  s.SelectOnly(3);
  EXPECT_EQ(s.Count(), 1);
}

std::u16string ReadUtf16(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string bytes = ss.str();
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) out.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  return out;
}

TEST(ListExport, FieldsAreQuotedAndCut) {
  WString line;
  AppendCsvField(line, u"say \"hi\", ok\r\nnext", SIZE_MAX);
  EXPECT_EQ(line, u"\"say \"\"hi\"\", ok\r\nnext\"");
  line.clear();
  AppendCsvField(line, u" 12:", 3);
  EXPECT_EQ(line, u"\" 12\"");
  line.clear();
  AppendCsvField(line, u"ab\U0001F600", 3);  // never half a surrogate pair
  EXPECT_EQ(line, u"\"ab\"");
}

TEST(ListExport, FileWithMarkHeaderAndRows) {
  GlobalObjectsScope scope;
  const TempFolder temp("export");
  const std::string dir = temp.Path();
  const std::array<WString, 7> headers = {u"Filename", u"Type", u"Folder", u"Volume", u"Status", u"Size", u"Modified Date"};
  // Empty: the mark and the header line only.
  EXPECT_TRUE(ExportList(dir + "/empty.csv", 0, headers, [](int64_t, std::array<WString, 7>&) {}));
  EXPECT_EQ(ReadUtf16(dir + "/empty.csv"), u"\uFEFFFilename,Type,Folder,Volume,Status,Size,Modified Date\r\n");
  // 100000 rows over several blocks, in order; the folder is never cut.
  const WString longFolder(600, u'x');
  int betweens = 0;
  EXPECT_TRUE(ExportList(
      dir + "/rows.csv", 100000, headers,
      [&](int64_t r, std::array<WString, 7>& cells) {
        cells[0] = FromUtf8(std::to_string(r));
        cells[2] = r == 5 ? longFolder : WString(u"\\d");
      },
      [&] { ++betweens; }));
  EXPECT_GT(betweens, 0);
  const std::u16string text = ReadUtf16(dir + "/rows.csv");
  size_t lines = 0;
  for (size_t at = 0; (at = text.find(u"\r\n", at)) != std::u16string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 100001u);
  EXPECT_NE(text.find(u"\r\n\"5\",\"\",\"" + longFolder + u"\""), std::u16string::npos);
  const size_t a = text.find(u"\r\n\"99998\","), b = text.find(u"\r\n\"99999\",");
  EXPECT_TRUE(a != std::u16string::npos && b != std::u16string::npos && a < b);
  // A folder that does not exist: false.
  EXPECT_FALSE(ExportList(dir + "/missing/x.csv", 1, headers, [](int64_t, std::array<WString, 7>&) {}));
}

}  // namespace
