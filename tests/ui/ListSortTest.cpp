// Sorting the file list: the comparators as tables, every code against a
// reference order, the folder order against the comparator it replaces,
// and the displayed-row rules of the folder display.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "foundation/Globals.h"
#include "ui/core/FolderIndex.h"
#include "ui/core/ListSort.h"

namespace {

class ListSort : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
  FoundNodeStore nodes;
  ListStore store;

  void Add(int32_t node, WString name, WString path, uint64_t size = 0, uint64_t time = 0, uint16_t status = 0,
           WString type = u"file") {
    FoundItem f;
    f.nodeIndex = node;
    f.name = std::move(name);
    f.size = size;
    f.time = time;
    f.flags = uint16_t(status << 8);
    f.volumeIndex = 0;
    nodes.Add(f);
    store.Append(node, path, type);
  }
  WString Name(size_t record) const {
    ListNodeInfo info;
    return nodes.GetNode(store.At(record).nodeIndex, info) ? WString(info.name) : WString();
  }
  void Apply(const std::vector<uint32_t>& order) {
    ListStore::Reordered r = store.BuildReordered(order);
    store.SwapRecords(r);
  }
};

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

TEST_F(ListSort, NameComparisonFoldsAToZOnly) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    int sign;
  } cases[] = {
      {u"abc", u"ABC", 0}, {u"a", u"B", -1},     {u"Z", u"a", 1},
      {u"ab", u"abc", -1}, {u"_a", u"ab", -1},  // "_" (0x5F) below "a" (0x61): folding goes to lower case
      {u"[", u"a", -1},    {u"\u00e9", u"e", 1}, {u"\u00c9", u"\u00e9", -1},  // no folding beyond A-Z
      {u"", u"a", -1},     {u"", u"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(CompareNamesFolded(c.a, c.b)), c.sign) << ToUtf8(c.a) << " " << ToUtf8(c.b);
    EXPECT_EQ(Sign(CompareNamesFolded(c.b, c.a)), -c.sign) << ToUtf8(c.a) << " " << ToUtf8(c.b);
  }
}

TEST_F(ListSort, PathOrderPutsSubfoldersFirstAndExtendedNamesLast) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    int sign;
  } cases[] = {
      {u"C:\\dir\\sub", u"C:\\dir", -1},  // a subfolder's files before the folder's own
      {u"C:\\dir", u"C:\\dirx", -1},      // a sibling that extends the name after them
      {u"C:\\dir\\sub", u"C:\\dirx", -1},
      {u"C:\\dir\\z", u"C:\\dir!", -1},  // "\" is the least character
      {u"C:\\Docs", u"C:\\docs", 0},     // letters folded after the first character
      {u"c:\\a", u"C:\\a", 1},           // the first character exactly
      {u"C:\\_", u"C:\\a", 1},           // folded to upper case: "_" above "A"
      {u"C:", u"C:\\a", 1},              // the root's own files last
      {u"C:\\a", u"C:\\a", 0},
      {u"D:", u"C:\\z", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(ComparePathOrder(c.a, c.b)), c.sign) << ToUtf8(c.a) << " " << ToUtf8(c.b);
    EXPECT_EQ(Sign(ComparePathOrder(c.b, c.a)), -c.sign) << ToUtf8(c.a) << " " << ToUtf8(c.b);
  }
}

TEST_F(ListSort, EveryColumnAgainstAReferenceOrder) {
  std::mt19937 rng(7);
  const char16_t* types[] = {u"JPG file", u"jpg file", u"Text", u"file"};
  const char16_t* paths[] = {u"C:\\b", u"C:\\a", u"^:\\x", u"D:"};
  for (int i = 0; i < 3000; ++i) {
    WString name;
    // Letters in 8 bits and beyond, so names of both widths compare.
    for (int k = 0, n = 1 + int(rng() % 6); k < n; ++k) name.push_back(char16_t(u"aB_zZ.9\u00e9\u0100"[rng() % 9]));
    Add(i, name, paths[rng() % 4], rng() % 50, uint64_t(rng() % 40) * 1000, uint16_t(rng() % 8), types[rng() % 4]);
  }
  for (int code = kSortName; code <= kSortDate; ++code) {
    SCOPED_TRACE(code);
    const std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, code);
    ASSERT_EQ(order.size(), store.Count());
    std::vector<uint32_t> seen(order);
    std::sort(seen.begin(), seen.end());
    for (uint32_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
    for (size_t i = 1; i < order.size(); ++i) {
      const uint32_t a = order[i - 1], b = order[i];
      ListNodeInfo x, y;
      nodes.GetNode(store.At(a).nodeIndex, x);
      nodes.GetNode(store.At(b).nodeIndex, y);
      switch (code) {
        case kSortName: EXPECT_LE(CompareNamesFolded(x.name, y.name), 0); break;
        case kSortType: EXPECT_LE(CompareNoCase(store.Type(a), store.Type(b)), 0); break;
        case kSortFolder: EXPECT_LE(CompareNoCase(store.Path(a).substr(2), store.Path(b).substr(2)), 0); break;
        case kSortVolume: EXPECT_LE(store.Path(a)[0], store.Path(b)[0]); break;
        case kSortStatus: EXPECT_LE((x.flags >> 8) & 7, (y.flags >> 8) & 7); break;
        case kSortSize: EXPECT_LE(x.size, y.size); break;
        case kSortDate: EXPECT_LE(x.time, y.time); break;
      }
    }
  }
}

TEST_F(ListSort, SizesAndDatesCompareAsSigned64BitValues) {
  Add(0, u"big", u"C:", uint64_t(1) << 63);  // from disk: reads as negative
  Add(1, u"small", u"C:", 5);
  const std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, kSortSize);
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 1}));
}

TEST_F(ListSort, SizeSortPutsFolderRecordsAheadOfFiles) {
  // name, size, folder
  const struct {
    const char16_t* name;
    uint64_t size;
    bool folder;
  } rows[] = {{u"a.txt", 10, false}, {u"Docs", 4096, true}, {u"b.txt", 0, false}, {u"Reports", 1, true}};
  for (int32_t i = 0; i < 4; ++i) {
    FoundItem f;
    f.nodeIndex = i;
    f.name = rows[i].name;
    f.size = rows[i].size;
    f.flags2 = rows[i].folder ? 0x0002 : 0;
    f.volumeIndex = 0;
    nodes.Add(f);
    store.Append(i, u"C:", u"file");
  }
  const std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, kSortSize);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_TRUE(rows[order[0]].folder && rows[order[1]].folder);
  EXPECT_EQ(order[2], 2u);
  EXPECT_EQ(order[3], 0u);
}

// The folder order as the comparator of the original defined it: records
// of one path object by name then node index, different paths by path
// order then node index.
bool PartLess(const ListStore& store, const FoundNodeStore& nodes, uint32_t a, uint32_t b) {
  const ListRecord &x = store.At(a), &y = store.At(b);
  if (x.pathId == y.pathId) {
    ListNodeInfo p, q;
    nodes.GetNode(x.nodeIndex, p);
    nodes.GetNode(y.nodeIndex, q);
    const int c = CompareNamesFolded(p.name, q.name);
    if (c != 0) return c < 0;
    return x.nodeIndex < y.nodeIndex;
  }
  const int c = ComparePathOrder(store.Path(a), store.Path(b));
  if (c != 0) return c < 0;
  return x.nodeIndex < y.nodeIndex;
}

TEST_F(ListSort, FolderOrderEqualsThePathComparatorAndIgnoresTheInputOrder) {
  const char16_t* paths[] = {u"C:\\dir\\sub",       u"C:\\dir", u"C:\\dirx", u"C:",
                             u"C:\\dir\\sub\\deep", u"^:\\x",   u"C:\\a b",  u"C:\\a_b"};
  std::mt19937 rng(11);
  for (int i = 0; i < 2000; ++i) {
    // Names repeat (node index breaks the tie), in both widths.
    WString name = (rng() % 3 ? u"n" : u"\u0100") + FromUtf8(std::to_string(rng() % 300));
    Add(i, name, paths[rng() % 8]);
  }
  std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, kSortFolderOrder);
  std::vector<uint32_t> expect(store.Count());
  for (uint32_t i = 0; i < expect.size(); ++i) expect[i] = i;
  std::stable_sort(expect.begin(), expect.end(), [&](uint32_t a, uint32_t b) { return PartLess(store, nodes, a, b); });
  EXPECT_EQ(order, expect);
  // Shuffled records sort into the same sequence of nodes.
  std::vector<int32_t> sortedNodes;
  for (uint32_t r : order) sortedNodes.push_back(store.At(r).nodeIndex);
  std::vector<uint32_t> shuffle(store.Count());
  for (uint32_t i = 0; i < shuffle.size(); ++i) shuffle[i] = i;
  std::shuffle(shuffle.begin(), shuffle.end(), rng);
  Apply(shuffle);
  order = SortedRecordOrder(store, &nodes, kSortFolderOrder);
  std::vector<int32_t> again;
  for (uint32_t r : order) again.push_back(store.At(r).nodeIndex);
  EXPECT_EQ(again, sortedNodes);
}

TEST_F(ListSort, PathsThatDifferOnlyInCaseStayTogether) {
  // "Docs" and "docs" are one path to the folder order; interleaved names
  // would mix their records.
  for (int i = 0; i < 40; ++i) Add(i, u"f" + FromUtf8(std::to_string(i)), i % 2 ? u"C:\\Docs" : u"C:\\docs");
  const std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, kSortFolderOrder);
  int runs = 1;
  for (size_t i = 1; i < order.size(); ++i) runs += store.At(order[i]).pathId != store.At(order[i - 1]).pathId;
  EXPECT_EQ(runs, 2);
  // Each path's records by name.
  for (size_t i = 1; i < order.size(); ++i) {
    if (store.At(order[i]).pathId == store.At(order[i - 1]).pathId) {
      EXPECT_LT(CompareNamesFolded(Name(order[i - 1]), Name(order[i])), 0);
    }
  }
}

TEST_F(ListSort, DisplayedRowsKeepFoldersAheadAndTheBlockRuleAfterAReversal) {
  for (int i = 0; i < 6; ++i)
    Add(i, u"f" + FromUtf8(std::to_string(5 - i)), u"C:\\a", uint64_t(i), 0, 0, i % 2 ? u"B" : u"A");
  Add(6, u"sub", u"C:\\a\\z");
  Add(7, u"sub", u"C:\\a\\y");
  FolderIndex folders;
  folders.Build(store);
  const uint32_t a = folders.RowOfPath(u"C:\\a");
  std::vector<uint32_t> rows;
  folders.Expand(a, store, rows);
  ASSERT_EQ(rows.size(), 8u);  // two subfolders, six files
  SortDisplayedRows(rows, kSortName, true, store, &nodes, &folders);
  EXPECT_TRUE(IsFolderEntry(rows[0]) && IsFolderEntry(rows[1]));
  EXPECT_EQ(folders.Name(rows[0] & ~kFolderRowBit), u"y");
  EXPECT_EQ(Name(rows[2]), u"f0");
  EXPECT_EQ(Name(rows[7]), u"f5");
  // Reversed: files first, folders behind. A Type sort sorts the files and
  // puts the folders back ahead in their earlier order.
  std::reverse(rows.begin(), rows.end());
  SortDisplayedRows(rows, kSortType, true, store, &nodes, &folders);
  EXPECT_EQ(folders.Name(rows[0] & ~kFolderRowBit), u"y");
  EXPECT_EQ(folders.Name(rows[1] & ~kFolderRowBit), u"z");
  for (size_t i = 3; i < rows.size(); ++i) EXPECT_LE(CompareNoCase(store.Type(rows[i - 1]), store.Type(rows[i])), 0);
  // One file row: nothing to do.
  std::vector<uint32_t> one{rows[0], rows[1], rows[2]};
  const std::vector<uint32_t> before = one;
  SortDisplayedRows(one, kSortType, true, store, &nodes, &folders);
  EXPECT_EQ(one, before);
  // A size sort works folder sizes out.
  SortDisplayedRows(rows, kSortSize, true, store, &nodes, &folders);
  EXPECT_NE(folders.At(rows[0] & ~kFolderRowBit).totalSize, kFolderSizeUnknown);
}

TEST_F(ListSort, ReorderedRecordsCarryTheirPassBits) {
  for (int i = 0; i < 20; ++i) Add(i, u"n", u"C:");
  std::vector<uint8_t> bits(3, 0);
  for (int i = 0; i < 20; i += 3) bits[size_t(i) >> 3] |= uint8_t(0x80u >> (i & 7));
  store.SetPassBits(std::move(bits));
  store.SetFilterActive(true);
  std::vector<uint32_t> order(20);
  for (uint32_t i = 0; i < 20; ++i) order[i] = 19 - i;
  Apply(order);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(store.Passes(i), store.At(i).nodeIndex % 3 == 0) << i;
}

}  // namespace
