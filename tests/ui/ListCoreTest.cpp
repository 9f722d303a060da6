#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "foundation/Globals.h"
#include "ui/core/ListStore.h"
#include "ui/core/ListText.h"
#include "volumes/Node.h"

namespace {

class ListCore : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
};

FoundItem Item(int32_t index, WString name, WString folder, uint64_t size, int16_t condition = -1) {
  FoundItem f;
  f.nodeIndex = index;
  f.name = std::move(name);
  f.folderPath = std::move(folder);
  f.size = size;
  f.condition = condition;
  f.volumeIndex = 0;
  return f;
}

TEST_F(ListCore, RecordsAreSixteenBytesAndPathsAreInternedOnce) {
  ListStore store;
  for (int i = 0; i < 1000; ++i) store.Append(i, i % 2 ? u"C:\\a" : u"C:\\b", u"JPG file");
  EXPECT_EQ(store.Count(), 1000u);
  EXPECT_EQ(store.Paths().Count(), 3u);  // the empty text and two paths
  EXPECT_EQ(store.Types().Count(), 2u);
  EXPECT_EQ(store.Path(1), u"C:\\a");
  EXPECT_EQ(store.At(7).flags, kNewFileRecordFlags);
  EXPECT_EQ(store.CheckState(7), kCheckOff);
}

TEST_F(ListCore, RecordsSurviveBlockBoundaries) {
  ListStore store;
  for (int i = 0; i < 70000; ++i) store.Append(i, u"C:", u"t");
  EXPECT_EQ(store.At(65535).nodeIndex, 65535);
  EXPECT_EQ(store.At(65536).nodeIndex, 65536);
  store.ReverseRecords();
  EXPECT_EQ(store.At(0).nodeIndex, 69999);
  EXPECT_EQ(store.At(69999).nodeIndex, 0);
}

TEST_F(ListCore, CheckTotalsFollowEveryChange) {
  FoundNodeStore nodes;
  ListStore store;
  for (int i = 0; i < 4; ++i) {
    nodes.Add(Item(i * 3, u"f" + WString(1, char16_t(u'0' + i)), u"C:\\", uint64_t(100 * (i + 1))));
    store.Append(i * 3, u"C:", u"file");
  }
  EXPECT_TRUE(store.SetCheck(1, kCheckOn, &nodes));
  EXPECT_FALSE(store.SetCheck(1, kCheckOn, &nodes));
  EXPECT_EQ(store.CheckedFiles(), 1);
  EXPECT_EQ(store.CheckedBytes(), 200);
  store.Toggle(3, &nodes);
  EXPECT_EQ(store.CheckedBytes(), 600);
  store.InvertAll(&nodes);  // 0 and 2 checked now
  EXPECT_EQ(store.CheckedFiles(), 2);
  EXPECT_EQ(store.CheckedBytes(), 400);
  store.SetAll(true, &nodes);
  EXPECT_EQ(store.CheckedBytes(), 1000);
  store.RecountTotals(&nodes);
  EXPECT_EQ(store.CheckedFiles(), 4);
  store.SetAll(false, &nodes);
  EXPECT_EQ(store.CheckedFiles(), 0);
  EXPECT_EQ(store.CheckedBytes(), 0);
  EXPECT_FALSE(store.SetCheck(99, kCheckOn, &nodes));
}

// Bulk check passes against one record at a time: records in shuffled order,
// two records of one node, records without node or with an index past every
// node, nodes without record, a filter letting some through; with and
// without slices.
TEST_F(ListCore, BulkChecksMatchRecordByRecordTotals) {
  FoundNodeStore nodes;
  ListStore store;
  std::vector<int32_t> indexes;
  uint64_t seed = 12345;
  auto next = [&] { return (seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
  for (int32_t i = 0; i < 300000; ++i) {
    if (i % 7 == 3) continue;  // gaps
    nodes.Add(Item(i, u"n", u"C:\\", next() % 5000000000ull));
    if (i % 11 != 5) indexes.push_back(i);  // some nodes without record
  }
  for (int i = 0; i < 500; ++i) indexes.push_back(indexes[next() % indexes.size()]);  // one node, two records
  for (int i = 0; i < 100; ++i) indexes.push_back(-1);
  for (int i = 0; i < 100; ++i) indexes.push_back(int32_t(400000 + i));
  for (int i = 0; i < 100; ++i) indexes.push_back(3 + 7 * i);  // gaps: no node
  for (size_t i = indexes.size() - 1; i > 0; --i) std::swap(indexes[i], indexes[next() % (i + 1)]);
  for (int32_t index : indexes) store.Append(index, u"C:", u"file");
  for (size_t i = 0; i < store.Count(); i += 3) store.SetCheck(i, kCheckOn, &nodes);

  auto expect = [&](const char* step) {
    int64_t files = 0;
    __int128 bytes = 0;
    ListNodeInfo info;
    for (size_t i = 0; i < store.Count(); ++i)
      if (store.CheckState(i) == kCheckOn && store.Passes(i)) {
        ++files;
        if (nodes.GetNode(store.At(i).nodeIndex, info)) bytes += info.size;
      }
    EXPECT_EQ(store.CheckedFiles(), files) << step;
    EXPECT_EQ(store.CheckedBytes(), SaturateToInt64(bytes)) << step;
  };
  int slices = 0;
  const std::function<void()> between = [&] { ++slices; };
  for (const std::function<void()>* keepAlive : {&between, static_cast<const std::function<void()>*>(nullptr)}) {
    const std::function<void()> none;
    const std::function<void()>& b = keepAlive ? *keepAlive : none;
    store.ClearPassBits();
    store.RecountTotals(&nodes, b);
    expect("recount");
    store.InvertAll(&nodes, b);
    expect("invert");
    std::vector<uint8_t> bits((store.Count() + 7) / 8);
    for (uint8_t& byte : bits) byte = uint8_t(next());
    store.SetPassBits(std::move(bits));
    store.SetFilterActive(true);
    store.RecountTotals(&nodes, b);  // what a new filter does
    expect("recount filtered");
    store.InvertAll(&nodes, b);
    expect("invert filtered");
    store.SetAll(true, &nodes, b);
    expect("all on filtered");
    store.SetAll(false, &nodes, b);
    expect("all off filtered");
    store.InvertAll(&nodes, b);
    expect("invert filtered again");
    store.ClearPassBits();
    store.RecountTotals(&nodes, b);
    expect("recount unfiltered");
    store.SetAll(true, &nodes, b);
    expect("all on");
    store.SetAll(false, &nodes, b);
    expect("all off");
  }
  EXPECT_GT(slices, 0);
}

TEST_F(ListCore, PendingRowsCommitBehindTheDisplayedOnes) {
  ListStore store;
  store.Displayed() = {1, 2};
  for (uint32_t i = 0; i < 3000; ++i) store.Pending().push_back(i);
  store.CommitPending();
  EXPECT_EQ(store.Displayed().size(), 3002u);
  EXPECT_EQ(store.Displayed().capacity() % 1024, 0u);
  EXPECT_TRUE(store.Pending().empty());
  store.ReverseDisplayed();
  EXPECT_EQ(store.Displayed().front(), 2999u);
}

TEST_F(ListCore, ColumnTexts) {
  struct Case {
    const char16_t* path;
    const char16_t* folder;
    const char16_t* volume;
  } cases[] = {
      {u"C:\\dir\\sub", u"\\dir\\sub", u" C:"},
      {u"C:", u"\\", u" C:"},
      {u"nocolon", u"\\", u""},
      {u"\x5F:\\x", u"\\x", u"  2"},   // code 95 = volume 2
      {u"\x100:\\x", u"\\x", u"163"},  // code 256 is no volume code
      {u"", u"\\", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.path));
    EXPECT_EQ(FolderColumnText(c.path), c.folder);
    if (WString(c.path) != u"\x100:\\x") {
      EXPECT_EQ(VolumeColumnText(c.path), c.volume);
    }
  }
  EXPECT_EQ(VolumeColumnText(u"\x100:\\x"), u"");
}

TEST_F(ListCore, PropertiesDescriptionOfAFileRow) {
  FoundNodeStore nodes;
  nodes.Add(Item(1, u"a.jpg", u"C:\\d\\", 1536));
  nodes.Add(Item(2, u"b.txt", WString(1, char16_t(93 + 4)) + u":\\x\\y\\", 10));
  ListStore store;
  store.Append(1, u"C:\\d", u"JPG file");
  store.Append(2, WString(1, char16_t(93 + 4)) + u":\\x\\y", u"TXT file");
  store.Append(-1, WString(1, char16_t(93 + 4)) + u":", u"file");
  store.Append(3, u"\\odd", u"file");
  struct Case {
    size_t record;
    bool noDetails;
    const char16_t *name, *folder, *size;
    int32_t node;
  } cases[] = {
      {0, false, u"a.jpg", u"C:\\d", u"1.50 KB (1536)", 1},
      {0, true, u"a.jpg", u"", u"", 1},
      // A numbered volume's code and colon are left off.
      {1, false, u"b.txt", u"\\x\\y", u"1 KB (10)", 2},
      {2, false, u"", u"", u"", -1},
      {3, false, u"", u"\\odd", u"", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record * 2 + c.noDetails);
    const int32_t node = store.At(c.record).nodeIndex;
    ListNodeInfo info;
    const bool has = node != -1 && nodes.GetNode(node, info);
    ListItemInfo out;
    out.name = u"stale";
    EXPECT_EQ(FileItemInfo(store, c.record, has ? &info : nullptr, c.noDetails, out), 0);
    EXPECT_EQ(out.name, c.name);
    EXPECT_EQ(out.folder, c.folder);
    EXPECT_EQ(out.sizeText, c.size);
    EXPECT_EQ(out.dateText, has && !c.noDetails ? FormatDateTime(info.time) : WString());
    EXPECT_EQ(out.nodeIndex, c.node);
  }
}

TEST_F(ListCore, VisibleRowSearchStartsWhereTheLastOneFoundItsRow) {
  ListStore store;
  EXPECT_EQ(store.FindVisibleRow(0, 0, 10), -1);
  // Displayed rows: folder rows (bit 31) and records 10..49.
  store.Displayed() = {0x80000000u, 0x80000001u};
  for (uint32_t r = 10; r < 50; ++r) store.Displayed().push_back(r);
  store.Displayed().push_back(7);
  struct Step {
    uint32_t entry;
    size_t first, last;
    bool drop;
    int64_t row;
  } steps[] = {
      {12, 0, 20, false, 4},   {15, 0, 20, false, 7},     {13, 0, 20, false, 5},  // behind the cache: from the top
      {0x80000001u, 0, 20, false, 1}, {30, 0, 20, false, -1},                    // below the page
      {30, 15, 35, false, 22}, {12, 15, 35, false, -1},                          // above the page
      {7, 30, 1000, true, 42}, {49, 30, 1000, false, 41},                        // last clamped to the rows
      {20, 43, 50, false, -1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.entry);
    if (s.drop) store.DropVisibleRowCache();
    EXPECT_EQ(store.FindVisibleRow(s.entry, s.first, s.last), s.row);
  }
  store.Clear();
  EXPECT_EQ(store.FindVisibleRow(10, 0, 10), -1);
}

TEST_F(ListCore, StatusTexts) {
  const std::pair<int, const char16_t*> cases[] = {{0, u""},       {1, u"Corrupt"}, {2, u"Failed"}, {3, u"Good"},
                                                   {4, u"Poor"},   {5, u"Saved"},   {6, u"Skipped"}, {7, u"?"}};
  for (auto [code, text] : cases) EXPECT_EQ(StatusColumnText(uint16_t(code << 8)), text) << code;
}

TEST_F(ListCore, RecordWithoutNodeShowsOnlyItsOwnTexts) {
  ListStore store;
  store.Append(-1, u"C:\\d", u"JPG file");
  for (int c : {kColName, kColStatus, kColSize, kColDate}) EXPECT_EQ(FileCellText(c, store, 0, nullptr), u"") << c;
  EXPECT_EQ(FileCellText(kColType, store, 0, nullptr), u"JPG file");
  EXPECT_EQ(FileCellText(kColFolder, store, 0, nullptr), u"\\d");
}

TEST_F(ListCore, CellTextsOfANode) {
  FoundNodeStore nodes;
  FoundItem item = Item(5, u"a.jpg", u"C:\\d\\", 1536, 328);
  nodes.Add(item);
  ListStore store;
  store.Append(5, TrimFolderPath(item.folderPath), FoundItemTypeText(item.name, 0, nullptr));
  ListNodeInfo info;
  ASSERT_TRUE(nodes.GetNode(5, info));
  EXPECT_EQ(FileCellText(kColName, store, 0, &info), u"a.jpg");
  EXPECT_EQ(FileCellText(kColType, store, 0, &info), u"JPG file");
  EXPECT_EQ(FileCellText(kColFolder, store, 0, &info), u"\\d");
  EXPECT_EQ(FileCellText(kColStatus, store, 0, &info), u"Good");
  EXPECT_EQ(FileCellText(kColSize, store, 0, &info), u"1.50 KB (1536)");
  EXPECT_EQ(FileCellText(kColDate, store, 0, &info), FormatDateTime(info.time));
  nodes.SetStatusBits(5, 0x500);
  ASSERT_TRUE(nodes.GetNode(5, info));
  EXPECT_EQ(FileCellText(kColStatus, store, 0, &info), u"Saved");
  EXPECT_FALSE(nodes.GetNode(4, info));
  EXPECT_FALSE(nodes.GetNode(-1, info));
}

// Node facts live in columns of their own; a walk asked for some facts
// must give what GetNode gives for them, in node-index order, over block
// gaps, re-added nodes, empty names and names cut at 0xFFFF units.
TEST_F(ListCore, NodeWalksGiveTheFactsAskedFor) {
  FoundNodeStore nodes;
  const WString longName(70000, u'x');
  std::vector<int32_t> indexes;
  for (int32_t i = 0; i < 3000; ++i) indexes.push_back(i % 3 == 0 ? i * 97 : 300000 + i);  // gaps, blocks apart
  for (size_t k = 0; k < indexes.size(); ++k) std::swap(indexes[k], indexes[(k * 7919) % indexes.size()]);
  for (int32_t i : indexes) {
    FoundItem f = Item(i, i % 7 == 0 ? WString() : u"n\u00e9" + WString(size_t(i % 23), u'a') + u".h", u"C:\\d",
                       uint64_t(i) * 3, i % 2 ? 328 : 329);
    f.time = uint64_t(i) * 11;
    f.flags = uint16_t(i & 0xFF);
    f.flags2 = i % 5 == 0 ? 0x0002 : 0;
    f.volumeIndex = uint16_t(i % 4);
    nodes.Add(f);
  }
  nodes.Add(Item(indexes[7], u"again", u"C:", 42));  // replaces every fact of the node
  nodes.Add(Item(1, longName, u"C:", 1));
  ListNodeInfo info;
  ASSERT_TRUE(nodes.GetNode(indexes[7], info));
  EXPECT_EQ(info.name, u"again");
  EXPECT_EQ(info.size, 42u);
  ASSERT_TRUE(nodes.GetNode(1, info));
  EXPECT_EQ(info.name.size(), 0xFFFFu);
  EXPECT_EQ(nodes.Count(), indexes.size() + 1);
  const unsigned kinds[] = {ListNodeSource::kNodeName, ListNodeSource::kNodeSize, ListNodeSource::kNodeTime,
                            ListNodeSource::kNodeFlags, ListNodeSource::kNodeAllFacts};
  for (unsigned facts : kinds) {
    // In two halves, the cut inside a block.
    std::vector<int32_t> seen;
    for (auto [b, e] : {std::pair<size_t, size_t>{0, 100000}, {100000, nodes.NodeIndexBound() + 5}})
      nodes.VisitNodes(b, e, facts, [&](const int32_t* index, const ListNodeInfo* node, size_t count) {
        for (size_t k = 0; k < count; ++k) {
          seen.push_back(index[k]);
          ListNodeInfo whole;
          ASSERT_TRUE(nodes.GetNode(index[k], whole));
          if (facts & ListNodeSource::kNodeName) {
            ASSERT_EQ(node[k].name, whole.name) << index[k];
          }
          if (facts & ListNodeSource::kNodeSize) {
            ASSERT_EQ(node[k].size, whole.size) << index[k];
          }
          if (facts & ListNodeSource::kNodeTime) {
            ASSERT_EQ(node[k].time, whole.time) << index[k];
          }
          if (facts & ListNodeSource::kNodeFlags) {
            ASSERT_EQ(node[k].flags, whole.flags) << index[k];
            ASSERT_EQ(node[k].volumeIndex, whole.volumeIndex) << index[k];
            ASSERT_EQ(node[k].firstByte, whole.firstByte) << index[k];
            ASSERT_EQ(node[k].folder, whole.folder) << index[k];
          }
        }
      });
    std::vector<int32_t> all(indexes);
    all.push_back(1);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(seen, all) << facts;
  }
  // The facts themselves, through GetNode.
  for (int32_t i : indexes) {
    if (i == indexes[7]) continue;
    ASSERT_TRUE(nodes.GetNode(i, info));
    EXPECT_EQ(info.name, i % 7 == 0 ? WString() : u"n\u00e9" + WString(size_t(i % 23), u'a') + u".h");
    EXPECT_EQ(info.size, uint64_t(i) * 3);
    EXPECT_EQ(info.time, uint64_t(i) * 11);
    EXPECT_EQ(info.flags, uint16_t((i & 0xFF) | ((i % 2 ? 3 : 4) << 8)));
    EXPECT_EQ(info.folder, i % 5 == 0);
    EXPECT_EQ(info.volumeIndex, uint16_t(i % 4));
  }
  nodes.SetStatusBits(indexes[0], 0x0500);
  ASSERT_TRUE(nodes.GetNode(indexes[0], info));
  EXPECT_EQ(info.flags & 0x0700, 0x0500);
  EXPECT_GT(nodes.MemoryBytes(), size_t(70000));
  nodes.Clear();
  EXPECT_EQ(nodes.NodeIndexBound(), 0u);
  EXPECT_FALSE(nodes.GetNode(indexes[0], info));
}

// Names are kept in 8 bits where every unit fits and the name is short,
// else in UTF-16: every unit must come back from every way of reading them
// (one node, a walk, the stored view, a copy of the info), for nodes that
// came in index order and nodes that did not, with a gap, another block in
// between and a node handed over again.
TEST_F(ListCore, NamesComeBackUnitForUnitInEitherWidth) {
  const WString names[] = {u"",
                           u"a",
                           u"\u00ff",
                           u"\u0100",
                           u"caf\u00e9.TXT",
                           WString(127, u'n'),
                           WString(128, u'n'),
                           WString(126, u'n') + u"\u0101",
                           u"\u4e2d\u6587.h",
                           WString(300, u'\u00e9'),
                           WString(u"x\0y", 3)};
  // One name longer than any kept (0xFFFF units).
  const WString huge(0x10002, u'w');
  auto given = [&](int32_t i) { return i == 7 ? huge : names[size_t(i) % std::size(names)]; };
  auto expected = [&](int32_t i) { return i == 7 ? huge.substr(0, 0xFFFF) : given(i); };
  struct Arrival {
    const char* what;
    std::vector<int32_t> indexes;
  };
  std::vector<Arrival> arrivals(4);
  arrivals[0].what = "in index order";
  for (int32_t i = 0; i < 70000; ++i) arrivals[0].indexes.push_back(i);
  arrivals[1].what = "shuffled";
  arrivals[1].indexes = arrivals[0].indexes;
  for (size_t k = 0; k < 70000; ++k) std::swap(arrivals[1].indexes[k], arrivals[1].indexes[(k * 7919) % 70000]);
  arrivals[2].what = "with a gap";
  for (int32_t i = 0; i < 300; ++i)
    if (i < 100 || i >= 150) arrivals[2].indexes.push_back(i);
  arrivals[3].what = "two blocks taking turns";
  for (int32_t i = 0; i < 300; ++i) arrivals[3].indexes.push_back(i % 2 ? 5 * 65536 + i / 2 : i / 2);
  for (const Arrival& a : arrivals) {
    SCOPED_TRACE(a.what);
    FoundNodeStore nodes;
    for (int32_t i : a.indexes) nodes.Add(Item(i, given(i), u"C:", 0));
    nodes.Add(Item(a.indexes[3], u"again\u00e9", u"C:", 0));  // the same position, another name
    auto want = [&](int32_t i) { return i == a.indexes[3] ? WString(u"again\u00e9") : expected(i); };
    std::vector<int32_t> sorted(a.indexes);
    std::sort(sorted.begin(), sorted.end());
    std::vector<int32_t> walked;
    bool same = true;
    nodes.ForEachName(0, nodes.NodeIndexBound(), [&](size_t i, const StoredName& name) {
      walked.push_back(int32_t(i));
      WString units;
      for (size_t k = 0; k < name.size; ++k) units.push_back(name.At(k));
      same = same && units == want(int32_t(i));
    });
    EXPECT_EQ(walked, sorted);
    EXPECT_TRUE(same);
    for (int32_t i : sorted) {
      ListNodeInfo info;
      ASSERT_TRUE(nodes.GetNodeFacts(i, ListNodeSource::kNodeName, info));
      ASSERT_EQ(info.name, want(i)) << i;
      StoredName stored;
      ASSERT_TRUE(nodes.GetStoredName(i, stored));
      ASSERT_EQ(stored.size, want(i).size()) << i;
      // A copy views its own units: it outlives the info and its refill.
      ListNodeInfo copy(info), assigned;
      assigned = info;
      nodes.GetNode(sorted.back() == i ? sorted.front() : sorted.back(), info);
      info.name = u"other";
      ASSERT_EQ(copy.name, want(i)) << i;
      ASSERT_EQ(assigned.name, want(i)) << i;
    }
    StoredName none;
    EXPECT_FALSE(nodes.GetStoredName(sorted.back() + 1, none));
  }
}

TEST_F(ListCore, TypeTexts) {
  EXPECT_EQ(FoundItemTypeText(u"noext", 0, nullptr), u"file");
  EXPECT_EQ(FoundItemTypeText(u"a.Doc", 0, nullptr), u"DOC file");
  EXPECT_EQ(FoundItemTypeText(u"a.Doc", 1, nullptr), u"DOC-file");
  auto lookup = [](WStringView ext) { return ext == u"doc" ? WString(u"Word document") : WString(); };
  EXPECT_EQ(FoundItemTypeText(u"x.DOC", 0, lookup), u"Word document");
  EXPECT_EQ(FoundItemTypeText(u"x.xls", 0, lookup), u"XLS file");
  EXPECT_EQ(TrimFolderPath(u"C:\\a\\"), u"C:\\a");
  EXPECT_EQ(TrimFolderPath(u"\\"), u"\\");
}

TEST_F(ListCore, RecoveredNames) {
  WString out = u"untouched";
  EXPECT_EQ(RecoveredName(u"C:\\d\\e", u"f.txt", true, 1024, out), 0);
  EXPECT_EQ(out, u"\\d\\e\\f.txt");
  EXPECT_EQ(RecoveredName(u"C:\\d\\e", u"f.txt", false, 1024, out), 0);
  EXPECT_EQ(out, u"\\f.txt");
  EXPECT_EQ(RecoveredName(u"", u"f", true, 1024, out), 0);
  EXPECT_EQ(out, u"\\f");
  EXPECT_EQ(RecoveredName(u"X", u"f", true, 1024, out), 0);
  EXPECT_EQ(out, u"\\f");
  out = u"untouched";
  EXPECT_EQ(RecoveredName(u"C:\\abc", u"name", true, 11, out), -1);  // 6 + 4 + 2 > 11
  EXPECT_EQ(out, u"untouched");
  EXPECT_EQ(RecoveredName(u"C:\\abc", u"name", true, 12, out), 0);
}

TEST_F(ListCore, CheckBand) {
  struct Case {
    int x;
    bool folder, themed, hit;
  } cases[] = {{5, false, false, false}, {6, false, false, true},  {14, false, false, true}, {15, false, false, false},
               {5, true, false, true},   {15, true, false, true},  {4, true, false, false},  {16, true, false, false},
               {8, false, true, false},  {9, false, true, true},   {18, true, true, true},   {19, true, true, false}};
  for (const Case& c : cases) EXPECT_EQ(InCheckBand(c.x, c.folder, c.themed), c.hit) << c.x << c.folder << c.themed;
  EXPECT_EQ(ToggledState(kCheckOn), kCheckOff);
  EXPECT_EQ(ToggledState(kCheckOff), kCheckOn);
  EXPECT_EQ(ToggledState(kCheckMixed), kCheckOn);
}

TEST_F(ListCore, BandsPreviewAndArrows) {
  EXPECT_EQ(BandColour(0), 0xFFFFFFu);
  EXPECT_EQ(BandColour(1), 0xE6F0E6u);
  ListNodeInfo n;
  n.name = u"p.JPEG";
  n.size = 16777216;
  n.volumeIndex = 0;
  EXPECT_TRUE(PreviewableFile(n));
  n.size = 16777217;
  EXPECT_FALSE(PreviewableFile(n));
  n.size = 10;
  n.volumeIndex = 0xFFFF;
  EXPECT_FALSE(PreviewableFile(n));
  n.firstByte = 0x80;
  EXPECT_TRUE(PreviewableFile(n));
  n.name = u"p.txt";
  EXPECT_FALSE(PreviewableFile(n));
  EXPECT_EQ(SortArrowImage(1.0, false), 0);
  EXPECT_EQ(SortArrowImage(1.0, true), 1);
  EXPECT_EQ(SortArrowImage(1.125, true), 3);
  EXPECT_EQ(SortArrowImage(1.5, false), 4);
}

TEST_F(ListCore, TitleTipOnlyForCutTexts) {
  // margin 8: q = 2. Other column: tip right = 0 + 6 + text + 5; limit = 100 - 8 + 5 = 97.
  EXPECT_FALSE(PlaceTitleTip(0, 100, 0, false, 8, 85).show);
  TitleTipPlacement p = PlaceTitleTip(0, 100, 0, false, 8, 86);
  EXPECT_TRUE(p.show);
  EXPECT_EQ(p.left, 6);
  EXPECT_EQ(p.width, 91);
  EXPECT_EQ(p.hitLeft, 4);
  EXPECT_EQ(p.hitRight, 99);
  // First column: offset 20 + q; limit = 100 - 4 + 1 = 97.
  EXPECT_FALSE(PlaceTitleTip(0, 100, 20, true, 8, 69).show);
  EXPECT_TRUE(PlaceTitleTip(0, 100, 20, true, 8, 70).show);
  EXPECT_EQ(PlaceTitleTip(0, 100, 20, true, 8, 70).left, 22);
}

}  // namespace
