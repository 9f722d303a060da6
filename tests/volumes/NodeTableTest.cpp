#include "volumes/NodeTable.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "volumes/DirMap.h"
#include "volumes/Node.h"
#include "volumes/Streams.h"

namespace {

snode* NewSnode(uint64_t position = 0) {
  auto* n = static_cast<snode*>(CreateNode(kNodeNtfs));
  n->position = position;
  return n;
}

// ---------------------------------------------------------------- CNdArray

TEST(NodeTable, SegmentsAndChecks) {
  CNdArray table;
  for (int i = 0; i < 1025; ++i) ASSERT_EQ(table.SetAt(NewSnode(uint64_t(i))), i);
  EXPECT_EQ(table.Count(), 1025u);
  EXPECT_EQ(table.SegmentCount(), 2u);
  EXPECT_EQ(static_cast<snode*>(table.GetAt(1024))->position, 1024u);
  // Indexes from files are checked: outside the table there is no node.
  EXPECT_EQ(table.GetAt(1025), nullptr);
  EXPECT_EQ(table.GetAt(-1), nullptr);
  EXPECT_EQ(table.GetAt(int64_t(1) << 40), nullptr);

  // Replacing slot 5 destroys the old node (ASan sees the leak otherwise)
  // and keeps the count; the same node again is no change.
  snode* five = NewSnode(555);
  EXPECT_EQ(table.SetAt(five, 5), 5);
  EXPECT_EQ(table.Count(), 1025u);
  EXPECT_EQ(table.SetAt(five, 5), 5);
  EXPECT_EQ(static_cast<snode*>(table.GetAt(5))->position, 555u);  // not freed
  // Past the count: refused, the caller keeps the node.
  snode* far = NewSnode();
  EXPECT_EQ(table.SetAt(far, 2000), -1);
  EXPECT_EQ(table.SetAt(far, -7), -1);
  cnode* holder = far;
  DeleteNode(&holder);
  // At the count: appended.
  EXPECT_EQ(table.SetAt(NewSnode(), 1025), 1025);

  table.DeleteAt(3);
  EXPECT_EQ(table.GetAt(3), nullptr);
  EXPECT_EQ(table.Count(), 1026u);
  table.DeleteAt(99999);  // nothing happens
  cnode* taken = table.TakeAt(4);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(table.GetAt(4), nullptr);
  DeleteNode(&taken);
}

TEST(NodeTable, InternName) {
  CNdArray table;
  const uint8_t* a = table.InternName(u"abc");
  EXPECT_EQ(table.InternName(u"abc"), a);
  EXPECT_NE(table.InternName(u"ABC"), a);
  ASSERT_EQ(a[0], 3);
  EXPECT_EQ(a[1] & 1, 0);  // 8-bit characters
  const uint8_t* wide = table.InternName(u"\u4E2D\u6587");
  EXPECT_EQ(wide[1] & 1, 1);
  cnode n(kNodeExt);
  n.name = wide;
  EXPECT_EQ(n.GetNameW(), u"\u4E2D\u6587");
  // At most 255 characters are kept.
  const uint8_t* longName = table.InternName(std::u16string(300, u'x'));
  EXPECT_EQ(longName[0], 255);
  n.name = nullptr;
  WString holder = u"old";
  EXPECT_FALSE(n.GetNameW(&holder));
  EXPECT_TRUE(holder.empty());
}

TEST(NodeTable, FindByPosition) {
  GlobalObjectsScope scope;
  CNdArray table;
  for (int i = 0; i < 100; ++i) table.SetAt(NewSnode(uint64_t(i) * 1024));
  EXPECT_EQ(table.FindByPosition(50 * 1024, 0, 99), 50);
  EXPECT_EQ(table.FindByPosition(0, 0, 99), 0);
  EXPECT_EQ(table.FindByPosition(99 * 1024, 0, 1000), 99);  // hi clamped
  EXPECT_EQ(table.FindByPosition(50 * 1024 + 1, 0, 99), -1);
  EXPECT_EQ(table.FindByPosition(50 * 1024, 60, 40), -1);  // empty range
  table.DeleteAt(50);
  EXPECT_EQ(table.FindByPosition(50 * 1024, 0, 99), -1);  // an empty slot on the way
}

// ---------------------------------------------------------------- streams

TEST(Streams, SortedChainFindCopy) {
  CNdArray names;
  auto name = [&](const char16_t* t) { return names.engineNames.InternName(t); };
  NTFSStream* head = nullptr;
  head = AddStreamSorted(head, MakeRuns(10, 1), name(u"b"), 1, 1);
  head = AddStreamSorted(head, MakeRuns(20, 1), name(u"a"), 2, 2);
  head = AddStreamSorted(head, MakeRuns(30, 1), name(u"c"), 3, 3);
  head = AddStreamSorted(head, MakeRuns(40, 1), name(u"b"), 4, 4);
  head = AddStreamSorted(head, nullptr, name(u""), 0, 0);
  std::vector<std::pair<std::u16string, uint64_t>> order;
  for (NTFSStream* s = head; s; s = s->next) order.push_back({s->name ? s->name : u"", s->realSize});
  EXPECT_EQ(order, (std::vector<std::pair<std::u16string, uint64_t>>{{u"", 0}, {u"a", 2}, {u"b", 1}, {u"b", 4}, {u"c", 3}}));
  EXPECT_EQ(FindStream(head, u"b")->realSize, 1u);
  EXPECT_EQ(FindStream(head, u"B"), nullptr);  // case-sensitive
  EXPECT_EQ(FindStream(head, u""), nullptr);   // even though one is empty
  EXPECT_EQ(FindStream(head, nullptr), nullptr);

  head->next->pieces = new XEntry();
  head->next->pieces->runs = MakeRuns(1, 1);
  head->next->flags = NTFSStream::kDataInPieces;
  NTFSStream* copy = CopyStreamChain(head);
  ASSERT_NE(copy, nullptr);
  FreeStreamChain(copy);
  // The original's names and runs are untouched.
  EXPECT_EQ(std::u16string(head->next->name), u"a");
  EXPECT_EQ(GetClusterCount(head->next->runs), 1);
  FreeStreamChain(head);
}

TEST(Streams, PieceTable) {
  HTree* table = NewPieceTable();
  auto make = [](uint64_t record, uint64_t vcn) {
    auto* e = new XEntry();
    e->recordNumber = record | (uint64_t(3) << 48);  // sequence bits are ignored
    e->firstVcn = vcn;
    e->baseRecord = 40;
    e->runs = MakeRuns(int64_t(record), 2);
    return e;
  };
  XEntry* a = AddExt(make(41, 0), *table);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(AddExt(make(41, 0), *table), nullptr);  // already present: deleted
  ASSERT_NE(AddExt(make(42, 16), *table), nullptr);
  XEntry wanted;
  wanted.recordNumber = 41;
  wanted.baseRecord = 40;
  EXPECT_EQ(FindPiece(*table, wanted), a);
  wanted.firstVcn = 1;
  EXPECT_EQ(FindPiece(*table, wanted), nullptr);
  FreePieceTable(table);

  // Chains: Add appends, FreeChain keeps the first.
  XEntry* first = new XEntry();
  EXPECT_EQ(first->volumeIndex, -1);
  first->Add(new XEntry());
  first->Add(new XEntry());
  XEntry::FreeChain(first);
  EXPECT_EQ(first->next, nullptr);
  delete first;
}

// ---------------------------------------------------------------- directory map

struct Entry {
  uint32_t parent;
  uint64_t created, written;
  const char16_t* name;
};

TEST(DirMap, FindsEveryQualifyingEntry) {
  GlobalObjectsScope scope;
  CNdArray table;
  CDirMap empty;
  empty.CreateArray(table);
  empty.QuickSort();
  EXPECT_EQ(empty.FindEntry(1, 2, 3, u"x"), -1);

  // Many entries in shuffled order, two differing only in the second time.
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < 3000; ++i) entries.push_back({40 + i % 7, uint64_t(i % 13), uint64_t(i), u"f"});
  entries.push_back({9, 100, 200, u"twin"});
  entries.push_back({9, 100, 201, u"twin"});
  std::mt19937 rng(7);
  std::shuffle(entries.begin(), entries.end(), rng);
  std::vector<int64_t> index;
  for (const Entry& e : entries) {
    snode* n = NewSnode();
    n->parentId = e.parent;
    n->creationTime = e.created;
    n->writeTime = e.written;
    n->name = table.InternName(e.name);
    n->volumeIndex = 0;
    index.push_back(table.SetAt(n));
  }
  // Not qualifying: handed over, parent record 5 with a volume, no name,
  // another family, a folder that is a symbolic link.
  snode* handed = NewSnode();
  handed->flags = kNodeHandedOver;
  handed->name = table.InternName(u"h");
  table.SetAt(handed);
  snode* inRoot = NewSnode();
  inRoot->parentId = 5;
  inRoot->volumeIndex = 0;
  inRoot->name = table.InternName(u"r");
  table.SetAt(inRoot);
  table.SetAt(NewSnode());
  snode* link = NewSnode();
  link->flags2 = kNode2Directory;
  link->flags = kNodeSymlink;
  table.SetAt(link);
  snode* folder = NewSnode();
  folder->flags2 = kNode2Directory;
  folder->parentId = 5;
  const int64_t folderIndex = table.SetAt(folder);
  // A parent given as a node-table index (flag 0x0020): the parent's id.
  snode* byIndex = NewSnode();
  byIndex->flags = kNodeParentIsIndex;
  byIndex->parentId = uint32_t(folderIndex);
  folder->id = 77;
  byIndex->name = table.InternName(u"child");
  byIndex->creationTime = 5;
  table.SetAt(byIndex);

  CDirMap map;
  map.CreateArray(table);
  map.QuickSort();
  EXPECT_EQ(map.Count(), entries.size() + 1);  // + the folder; byIndex has 0x0020
  for (size_t i = 0; i < entries.size(); i += 97) {
    const Entry& e = entries[i];
    const int64_t found = map.FindEntry(e.parent, e.created, e.written, e.name);
    ASSERT_GE(found, 0);
    const snode* n = static_cast<const snode*>(table.GetAt(found));
    EXPECT_EQ(n->parentId, e.parent);
    EXPECT_EQ(n->writeTime, e.written);
  }
  const int64_t t1 = map.FindEntry(9, 100, 200, u"twin"), t2 = map.FindEntry(9, 100, 201, u"twin");
  EXPECT_GE(t1, 0);
  EXPECT_GE(t2, 0);
  EXPECT_NE(t1, t2);
  EXPECT_EQ(map.FindEntry(9, 100, 202, u"twin"), -1);
  EXPECT_EQ(map.FindEntry(9, 100, 200, u"TWIN"), t1);  // ASCII letters folded
  EXPECT_EQ(map.FindEntry(5, 0, 0, u"r"), -1);
  EXPECT_EQ(CDirMap::ParentKey(table, byIndex), 77);
  // A sorted map stays sorted.
  for (size_t i = 1; i < map.Count(); ++i) {
    const cnode* a = table.GetAt(map.Entries()[i - 1]);
    const cnode* b = table.GetAt(map.Entries()[i]);
    EXPECT_LE(int32_t(CDirMap::ParentKey(table, a)), int32_t(CDirMap::ParentKey(table, b)));
  }
}

}  // namespace
