// The folder display's rows: building from records in folder order, the
// tree links, opening a folder, sizes, check states and their spreading.
#include <gtest/gtest.h>

#include "foundation/Globals.h"
#include "ui/core/FolderIndex.h"
#include "ui/core/ListSort.h"

namespace {

class FolderRows : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
  FoundNodeStore nodes;
  ListStore store;
  FolderIndex folders;

  void Add(int32_t node, WString path, uint64_t size = 10) {
    FoundItem f;
    f.nodeIndex = node;
    f.name = u"f" + FromUtf8(std::to_string(node));
    f.size = size;
    f.volumeIndex = 0;
    nodes.Add(f);
    store.Append(node, path, u"file");
  }
  // Records into folder order, then the rows.
  void Build() {
    const std::vector<uint32_t> order = SortedRecordOrder(store, &nodes, kSortFolderOrder);
    ListStore::Reordered r = store.BuildReordered(order);
    store.SwapRecords(r);
    folders.Build(store);
  }
  uint32_t Row(const char16_t* path) {
    const uint32_t r = folders.RowOfPath(path);
    EXPECT_NE(r, kNoFolderRow) << ToUtf8(path);
    return r;
  }
  uint8_t State(const char16_t* path) { return folders.At(Row(path)).State(); }
  size_t RecordOfNode(int32_t node) {
    for (size_t i = 0; i < store.Count(); ++i)
      if (store.At(i).nodeIndex == node) return i;
    return SIZE_MAX;
  }
};

TEST_F(FolderRows, EveryFolderAndItsAncestorsWithLinks) {
  Add(0, u"C:\\a\\b\\c");
  Add(1, u"C:\\a");
  Add(2, u"C:");
  Add(3, u"C:\\ab");
  Add(4, u"^:\\x");  // volume 1
  Build();
  EXPECT_EQ(folders.Count(), 7u);  // C:, C:\a, C:\a\b, C:\a\b\c, C:\ab, ^:, ^:\x
  const uint32_t c = Row(u"C:"), a = Row(u"C:\\a"), b = Row(u"C:\\a\\b"), abc = Row(u"C:\\a\\b\\c");
  EXPECT_EQ(folders.At(c).level, 0);
  EXPECT_EQ(folders.At(abc).level, 3);
  EXPECT_EQ(folders.Parent(abc), b);
  EXPECT_EQ(folders.Parent(b), a);
  EXPECT_EQ(folders.Parent(c), kNoFolderRow);
  EXPECT_EQ(folders.Name(abc), u"c");
  EXPECT_EQ(folders.Name(c), u"C:");
  ASSERT_EQ(folders.Roots().size(), 2u);
  EXPECT_EQ(folders.Roots()[0], c);
  EXPECT_EQ(folders.TreeChildCount(c), 2u);  // a and ab
  EXPECT_EQ(folders.TreeChild(c, 0), a);
  EXPECT_EQ(folders.TreeOrdinal(Row(u"C:\\ab")), 1u);
  // A volume row keeps the node of the record that made it.
  EXPECT_EQ(folders.At(c).nodeIndex, 0);
  EXPECT_EQ(folders.At(a).nodeIndex, -1);
  // Ranges: exactly the folder's own records.
  EXPECT_EQ(store.At(folders.At(a).firstRecord).nodeIndex, 1);
  EXPECT_EQ(folders.At(a).firstRecord, folders.At(a).lastRecord);
  EXPECT_EQ(folders.At(b).firstRecord, kNoFolderRow);
}

TEST_F(FolderRows, OpeningAFolderShowsSubfoldersThenFiles) {
  Add(0, u"C:\\a\\x");
  Add(1, u"C:\\a");
  Add(2, u"C:\\a");
  Add(3, u"C:\\a\\y");
  Build();
  std::vector<uint32_t> rows;
  folders.Expand(Row(u"C:\\a"), store, rows);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(IsFolderEntry(rows[0]) && IsFolderEntry(rows[1]));
  EXPECT_FALSE(IsFolderEntry(rows[2]) || IsFolderEntry(rows[3]));
  // Subfolders got their states on the way.
  EXPECT_EQ(folders.At(rows[0] & ~kFolderRowBit).State(), kCheckOff);
}

TEST_F(FolderRows, AFilterGivesTreeItemsOnlyToFoldersOfPassingFiles) {
  Add(0, u"C:\\keep");
  Add(1, u"C:\\drop");
  Add(2, u"C:\\drop\\deeper");
  Build();
  std::vector<uint8_t> bits(1, 0);
  const size_t keep = RecordOfNode(0);
  bits[0] |= uint8_t(0x80u >> keep);
  folders.Build(store, &bits);
  EXPECT_TRUE(folders.At(Row(u"C:\\keep")).treeItem);
  EXPECT_FALSE(folders.At(Row(u"C:\\drop")).treeItem);
  EXPECT_FALSE(folders.At(Row(u"C:\\drop\\deeper")).treeItem);
  EXPECT_EQ(folders.TreeChildCount(Row(u"C:")), 1u);
}

TEST_F(FolderRows, SizesAreSaturatingSumsOfPassingFilesBelow) {
  Add(0, u"C:\\a", 100);
  Add(1, u"C:\\a\\b", 20);
  Add(2, u"C:\\a\\b", 3);
  Add(3, u"C:\\z", 1000);
  Build();
  EXPECT_EQ(folders.ComputeFolderSize(Row(u"C:\\a"), store, &nodes), 123u);
  EXPECT_EQ(folders.ComputeFolderSize(Row(u"C:"), store, &nodes), 1123u);
  EXPECT_EQ(folders.At(Row(u"C:\\a\\b")).totalSize, 23u);
  // Sizes from disk that overflow 64 bits stop at the largest size.
  ListStore big;
  FoundNodeStore bigNodes;
  for (int i = 0; i < 3; ++i) {
    FoundItem f;
    f.nodeIndex = i;
    f.name = u"x";
    f.size = ~uint64_t(0) / 2;
    bigNodes.Add(f);
    big.Append(i, u"C:\\big", u"file");
  }
  FolderIndex bf;
  bf.Build(big);
  EXPECT_EQ(bf.ComputeFolderSize(bf.RowOfPath(u"C:"), big, &bigNodes), kFolderSizeUnknown - 1);
}

TEST_F(FolderRows, FolderStatesFromFilesAndSubfolders) {
  Add(0, u"C:\\a");
  Add(1, u"C:\\a\\b");
  Add(2, u"C:\\a\\c");
  Add(3, u"C:\\e");  // a folder with a file; C:\d below has none of its own
  Add(4, u"C:\\d\\x");
  Build();
  struct Case {
    std::vector<int32_t> checked;
    uint8_t a, b, d;
    uint8_t parentFilesOfB;  // GetParentFilesState of C:\a\b: the files of C:\a
  } cases[] = {
      {{}, kCheckOff, kCheckOff, kCheckOff, kCheckOff},
      {{0, 1, 2}, kCheckOn, kCheckOn, kCheckOff, kCheckOn},
      {{1}, kCheckMixed, kCheckOn, kCheckOff, kCheckOff},
      {{0}, kCheckMixed, kCheckOff, kCheckOff, kCheckOn},
      {{4}, kCheckOff, kCheckOff, kCheckOn, kCheckOff},
  };
  for (const Case& c : cases) {
    for (size_t i = 0; i < store.Count(); ++i) store.SetCheck(i, kCheckOff, &nodes);
    for (int32_t n : c.checked) store.SetCheck(RecordOfNode(n), kCheckOn, &nodes);
    folders.ClearFolderStates();
    folders.MarkAllFolderStates(store);
    EXPECT_EQ(State(u"C:\\a"), c.a);
    EXPECT_EQ(State(u"C:\\a\\b"), c.b);
    EXPECT_EQ(State(u"C:\\d"), c.d);
    EXPECT_EQ(folders.GetParentFilesState(Row(u"C:\\a\\b"), store), c.parentFilesOfB);
    // MarkFolderState of one row works out what it needs below.
    folders.ClearFolderStates();
    EXPECT_EQ(folders.MarkFolderState(Row(u"C:\\a"), store), c.a);
  }
  EXPECT_EQ(folders.GetParentFilesState(Row(u"C:\\d\\x"), store), kNoOwnFiles);
  EXPECT_EQ(folders.GetParentFilesState(Row(u"C:"), store), kNoOwnFiles);
}

TEST_F(FolderRows, CheckSpreadingDownAndUp) {
  // C:\p holds a file; C:\p\s1 and C:\p\s2 hold two files each.
  Add(0, u"C:\\p");
  Add(1, u"C:\\p\\s1");
  Add(2, u"C:\\p\\s1");
  Add(3, u"C:\\p\\s2");
  Add(4, u"C:\\p\\s2");
  Add(5, u"C:\\q");
  Build();
  folders.MarkAllFolderStates(store);
  // Checking a folder checks every byte under it and spreads up.
  folders.SetCheckState(Row(u"C:\\p"), kCheckOn, store, &nodes);
  EXPECT_EQ(store.CheckedFiles(), 5);
  EXPECT_EQ(store.CheckedBytes(), 50);
  EXPECT_EQ(State(u"C:\\p\\s1"), kCheckOn);
  EXPECT_EQ(State(u"C:"), kCheckMixed);  // C:\q is not checked
  // Unchecking one of two checked siblings makes the parent and all its
  // ancestors mixed.
  folders.SetCheckState(Row(u"C:\\p\\s1"), kCheckOff, store, &nodes);
  EXPECT_EQ(State(u"C:\\p"), kCheckMixed);
  EXPECT_EQ(State(u"C:"), kCheckMixed);
  EXPECT_EQ(store.CheckedFiles(), 3);
  // Checking the last unchecked sibling: the parent becomes checked only
  // when its own files are all checked (they are).
  folders.SetCheckState(Row(u"C:\\p\\s1"), kCheckOn, store, &nodes);
  EXPECT_EQ(State(u"C:\\p"), kCheckOn);
  // With the parent's own file unchecked it stays mixed.
  folders.SetCheckState(Row(u"C:\\p\\s1"), kCheckOff, store, &nodes);
  store.SetCheck(RecordOfNode(0), kCheckOff, &nodes);
  folders.RefreshUpwards(Row(u"C:\\p"), store);
  folders.SetCheckState(Row(u"C:\\p\\s1"), kCheckOn, store, &nodes);
  EXPECT_EQ(State(u"C:\\p"), kCheckMixed);
  // Toggling: checked becomes unchecked, mixed becomes checked.
  folders.ToggleCheckState(Row(u"C:\\p"), store, &nodes);
  EXPECT_EQ(State(u"C:\\p"), kCheckOn);
  folders.ToggleCheckState(Row(u"C:\\p"), store, &nodes);
  EXPECT_EQ(State(u"C:\\p"), kCheckOff);
  EXPECT_EQ(store.CheckedFiles(), 0);
  // Everything, and inverted.
  folders.CheckAllFolders(true, store, &nodes);
  EXPECT_EQ(store.CheckedFiles(), 6);
  EXPECT_EQ(State(u"C:"), kCheckOn);
  folders.InvertFrom(Row(u"C:\\p\\s2"), store, &nodes);
  EXPECT_EQ(store.CheckedFiles(), 4);
  EXPECT_EQ(State(u"C:\\p\\s2"), kCheckOff);
  EXPECT_EQ(State(u"C:\\p"), kCheckMixed);
  folders.InvertFrom(kNoFolderRow, store, &nodes);
  EXPECT_EQ(store.CheckedFiles(), 2);
  EXPECT_EQ(State(u"C:\\p\\s2"), kCheckOn);
  EXPECT_EQ(State(u"C:\\q"), kCheckOff);
}

}  // namespace
