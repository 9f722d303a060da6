#include "foundation/HTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/ByteOrder.h"

namespace {

HWord W(const void* p) { return HtWord(p); }

WString Folded(WStringView s) { return ToLowerAscii(s); }

// Counted name in 16-bit form even when every character is below 256.
std::vector<uint8_t> WideCounted(WStringView s) {
  std::vector<uint8_t> out{uint8_t(s.size()), kCountedNameWide};
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

std::vector<uint8_t> Counted(WStringView s) {
  std::vector<uint8_t> out(kCountedNameMaxBytes);
  MakeCountedName(s, out.data());
  return out;
}

// ---- equal keys ----

struct EqualKeyCase {
  const char* name;
  int columns, keys;
  uint32_t types;
  std::vector<HWord> first, second;
  bool exact;
};

class HTreeEqualKey : public testing::TestWithParam<EqualKeyCase> {};

TEST_P(HTreeEqualKey, SecondInsertReturnsFirstRecord) {
  const EqualKeyCase& c = GetParam();
  HTree t(4096, 64, c.columns, c.keys, c.types);
  bool found = true;
  HRecord* a = t.Insert(c.first.data(), &found, c.exact);
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(found);
  std::vector<HWord> before(a->Columns(), a->Columns() + c.columns);
  HRecord* b = t.Insert(c.second.data(), &found, c.exact);
  EXPECT_TRUE(found);
  EXPECT_EQ(a, b);
  EXPECT_EQ(t.Count(), 1u);
  EXPECT_EQ(std::vector<HWord>(b->Columns(), b->Columns() + c.columns), before);
}

const char16_t kPhoto1[] = u"Photo.JPG";
const char16_t kPhoto2[] = u"photo.jpg";
const uint8_t kCountedAbc[] = {3, 0, 'a', 'b', 'c'};
const uint8_t kCountedAbcWide[] = {3, 1, 'a', 0, 'b', 0, 'c', 0};

INSTANTIATE_TEST_SUITE_P(
    Trees, HTreeEqualKey,
    testing::Values(
        EqualKeyCase{"Integer", 1, 1, HtTypes(kHtInt), {7}, {7}, false},
        EqualKeyCase{"TextFolded", 2, 2, HtTypes(kHtInt, kHtText), {HTree::HashText(kPhoto1), W(kPhoto1)},
                     {HTree::HashText(kPhoto2), W(kPhoto2)}, false},
        EqualKeyCase{"CountedExactBothWidths", 2, 2, HtTypes(kHtInt, kHtCounted),
                     {HTree::HashCounted(kCountedAbc), W(kCountedAbc)},
                     {HTree::HashCounted(kCountedAbcWide), W(kCountedAbcWide)}, true},
        EqualKeyCase{"IdNameParent", 3, 2, HtTypes(kHtInt, kHtText, kHtInt), {5, W(u"a"), 1}, {5, W(u"A"), 2},
                     false},
        EqualKeyCase{"NullTextEqualsNull", 2, 2, HtTypes(kHtInt, kHtText), {1, 0}, {1, 0}, false},
        EqualKeyCase{"Range", 2, 1, HtTypes(kHtRange), {10, 20}, {15, 25}, false}),
    [](const testing::TestParamInfo<EqualKeyCase>& i) { return std::string(i.param.name); });

TEST(HTree, NullTextSortsFirstAndSkipsInLookups) {
  HTree t(4096, 1, 2, 2, HtTypes(kHtInt, kHtText));
  HWord named[] = {1, W(u"b")}, none[] = {1, 0}, other[] = {1, W(u"a")};
  bool found;
  t.Insert(named, &found);
  t.Insert(none, &found);
  EXPECT_FALSE(found);
  t.Insert(other, &found);
  EXPECT_FALSE(found);
  std::vector<const char16_t*> order;
  t.ForEach([&](HRecord* r) { order.push_back(r->Text(1)); });
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order[0], nullptr);
  EXPECT_EQ(WString(order[1]), u"a");
  EXPECT_EQ(WString(order[2]), u"b");
  EXPECT_NE(t.Find(none), nullptr);  // null skips the column
  HWord missing[] = {2, 0};
  EXPECT_EQ(t.Find(missing), nullptr);
}

// ---- lookups by part of the key ----

TEST(HTree, FindByIdIgnoresTheName) {
  HTree t(4096, 4096, 3, 2, 256, 0);  // (id, name, parent), as a volume's folder index
  t.AddItem(10, 3, u"Folder");
  t.AddItem(11, 3, nullptr);
  HRecord* r = t.FindById(10);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(WString(r->Text(1)), u"Folder");
  EXPECT_EQ(r->Column(2), 3u);
  ASSERT_NE(t.FindById(11), nullptr);
  EXPECT_EQ(t.FindById(11)->Text(1), nullptr);
  EXPECT_EQ(t.FindById(12), nullptr);
  HWord folded[] = {10, W(u"FOLDER"), 0};
  EXPECT_EQ(t.Find(folded), r);
  EXPECT_EQ(t.Find(folded, true), nullptr);
  EXPECT_EQ(t.FindIntValue(10), int64_t(W(r->Text(1))));
  EXPECT_EQ(t.FindIntValue(99), -1);
}

struct RangeCase {
  HWord first, last;
  bool present;  // against the stored range 10-20
};

class HTreeRanges : public testing::TestWithParam<RangeCase> {};

TEST_P(HTreeRanges, OverlapIsPresentAdjacentIsNot) {
  HTree t(4096, 1, 2, 1, HtTypes(kHtRange));  // as the run list's set of seen runs
  ASSERT_NE(t.AddIfAbsent(10, 20), nullptr);
  HRecord* r = t.AddIfAbsent(GetParam().first, GetParam().last);
  EXPECT_EQ(r == nullptr, GetParam().present);
  EXPECT_EQ(t.Count(), GetParam().present ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, HTreeRanges,
                         testing::Values(RangeCase{20, 30, true}, RangeCase{21, 30, false}, RangeCase{0, 9, false},
                                         RangeCase{5, 10, true}, RangeCase{12, 15, true}, RangeCase{0, 100, true},
                                         RangeCase{19, 19, true}, RangeCase{10, 20, true},
                                         RangeCase{21, 21, false}));

TEST(HTree, RangeLookupsUseTheStart) {
  HTree t(4096, 1, 2, 1, HtTypes(kHtRange));
  t.AddIfAbsent(10, 20);
  t.AddIfAbsent(30, 40);
  ASSERT_NE(t.FindById(30), nullptr);
  EXPECT_EQ(t.FindById(30)->Column(1), 40u);
  EXPECT_EQ(t.FindById(35), nullptr);
}

TEST(HTree, ZeroMatchesAllColumn) {
  // Recycle-bin table: (hash, upper-case name, size matching anything when 0, original path).
  HTree t(0, 1024, 4, 3, 0x1100100, 0);
  bool found;
  t.AddPair(u"DC1.TXT", u"/home/u/a.txt", 100, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(WString(reinterpret_cast<const char16_t*>(t.FindNameColumn(u"dc1.txt", 3))), u"/home/u/a.txt");
  EXPECT_NE(t.FindNameValue(u"DC1.TXT", 100), 0u);
  EXPECT_EQ(t.FindNameValue(u"DC1.TXT", 50), 0u);
  t.AddPair(u"DC1.TXT", u"/other", 0, &found);
  EXPECT_TRUE(found);
}

TEST(HTree, BestCandidateWhenNoExactMatch) {
  HTree t(4096, 1, 2, 2, HtTypes(kHtInt, kHtInt | kHtBestCandidate));
  for (HWord v : {10, 20, 30, 40, 50}) t.AddIntPair(1, v);
  HRecord* r = t.FindKey2(1, 25);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Column(0), 1u);
  EXPECT_EQ(t.FindKey2(1, 30)->Column(1), 30u);
  EXPECT_EQ(t.FindKey2(2, 25), nullptr);  // column 0 has no fallback
}

TEST(HTree, NodeColumnsCompareNames) {
  std::vector<std::vector<uint8_t>> names = {Counted(u""), Counted(u"Abc"), Counted(u"abc"), Counted(u"abd")};
  auto nameOf = [](const void* ctx, HWord i) -> const uint8_t* {
    auto* v = static_cast<const std::vector<std::vector<uint8_t>>*>(ctx);
    return i < v->size() ? (*v)[size_t(i)].data() : nullptr;
  };
  HTree t(4096, 1, 2, 2, HtTypes(kHtInt, kHtNode));
  t.SetNodeNames(nameOf, &names);
  bool found;
  t.AddIntPair(0, 1, &found);
  t.AddIntPair(0, 2, &found);
  EXPECT_TRUE(found);  // "abc" = "Abc"
  t.AddIntPair(0, 3, &found);
  EXPECT_FALSE(found);
  t.AddIntPair(0, 99, &found);  // no name: sorts as the empty one
  EXPECT_FALSE(found);
  HTree plain(4096, 1, 2, 2, HtTypes(kHtInt, kHtNode));
  plain.AddIntPair(0, 1);
  plain.AddIntPair(0, 2, &found);
  EXPECT_FALSE(found);
}

// ---- string pool ----

TEST(HTreePool, ThousandTextsFillInOrderAndStayValid) {
  HTree t(4096, 4096, 2, 2, HtTypes(kHtInt, kHtText));
  std::vector<WString> texts;
  std::vector<const char16_t*> copies;
  for (int i = 0; i < 1000; ++i) {
    WString s(100, u'a' + char16_t(i % 26));
    s[0] = char16_t(u'0' + i % 10);
    s[1] = char16_t(u'0' + i / 10 % 10);
    s[2] = char16_t(u'0' + i / 100);
    texts.push_back(s);
    copies.push_back(t.AddString(s.c_str()));
  }
  int jumps = 0;
  for (size_t i = 1; i < copies.size(); ++i)
    if (copies[i] != copies[i - 1] + 101) ++jumps;
  EXPECT_LE(jumps, 10);  // a new chunk now and then, otherwise back to back
  for (int i = 0; i < 20000; ++i) t.InternName((u"more " + std::u16string(1, char16_t(0x100 + i))).c_str());
  for (size_t i = 0; i < copies.size(); ++i) ASSERT_EQ(WString(copies[i]), texts[i]);
  std::set<const char16_t*> distinct(copies.begin(), copies.end());
  EXPECT_EQ(distinct.size(), copies.size());
}

class HTreePoolSizes : public testing::TestWithParam<std::tuple<uint32_t, size_t>> {};

// Every length, however long, comes back whole.
TEST_P(HTreePoolSizes, CopyEqualsInput) {
  auto [page, length] = GetParam();
  HTree t(page, 16, 2, 2, HtTypes(kHtInt, kHtText));
  WString wide(length, u'x');
  std::string narrow(length, 'y');
  for (size_t i = 0; i < length; ++i) wide[i] = char16_t(0x20 + i % 0x3000);
  for (size_t i = 0; i < length; ++i) narrow[i] = char('a' + i % 26);
  const char16_t* w = t.AddString(wide.c_str());
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(WString(w), wide);
  EXPECT_EQ(WString(t.AddString(WStringView(wide))), wide);
  EXPECT_EQ(std::string(t.AddNarrow(narrow.c_str())), narrow);
  bool found;
  const char16_t* interned = t.InternName(wide.c_str(), &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(WString(interned), wide);
  EXPECT_NE(t.FindNameRecord(wide.c_str()), nullptr);
  EXPECT_EQ(t.InternName(wide.c_str(), &found), interned);
  EXPECT_TRUE(found);
}

INSTANTIATE_TEST_SUITE_P(Lengths, HTreePoolSizes,
                         testing::Combine(testing::Values(1024u, 4096u, 0u),
                                          testing::Values(size_t(0), size_t(1), size_t(511), size_t(512),
                                                          size_t(1023), size_t(1024), size_t(1025),
                                                          size_t(2047), size_t(2048), size_t(5000),
                                                          size_t(100000))));

TEST(HTreePool, CountedNamesAndNull) {
  HTree t(4096, 16, 2, 2, HtTypes(kHtInt, kHtCounted));
  WString longName(255, u'\x4E2D');
  auto name = Counted(longName);
  const uint8_t* copy = t.AddCounted(name.data());
  EXPECT_EQ(std::memcmp(copy, name.data(), 2 + 255 * 2), 0);
  EXPECT_EQ(t.AddString(static_cast<const char16_t*>(nullptr)), nullptr);
  EXPECT_EQ(t.AddCounted(nullptr), nullptr);
  EXPECT_EQ(t.AddString(nullptr, 2), nullptr);
}

// ---- ASCII-only folding, in compare and hash alike ----

struct FoldCase {
  const char16_t* a;
  const char16_t* b;
  bool equalNoCase;
};

class HTreeFolding : public testing::TestWithParam<FoldCase> {};

TEST_P(HTreeFolding, CompareAndHashAgree) {
  const FoldCase& c = GetParam();
  if (c.equalNoCase) {
    EXPECT_EQ(HTree::HashText(c.a), HTree::HashText(c.b));
  }
  EXPECT_EQ(HTree::HashText(c.a), HTree::HashText(Folded(c.a).c_str()));
  for (uint32_t buckets : {1u, 4096u}) {
    HTree t(4096, buckets, 2, 2, HtTypes(kHtInt, kHtText));
    bool found;
    const char16_t* first = t.InternName(c.a, &found);
    const char16_t* second = t.InternName(c.b, &found);
    EXPECT_EQ(found, c.equalNoCase);
    EXPECT_EQ(first == second, c.equalNoCase);
    EXPECT_NE(t.FindNameRecord(c.b), nullptr);
    // Exactly, b is there when it was stored itself or equals a.
    EXPECT_EQ(t.FindNameRecord(c.b, true) != nullptr, !c.equalNoCase || WString(c.a) == WString(c.b));
    HTree exact(4096, buckets, 2, 2, HtTypes(kHtInt, kHtText));
    exact.InternName(c.a, &found, true);
    exact.InternName(c.b, &found, true);
    EXPECT_EQ(found, WString(c.a) == WString(c.b));
    // Counted names fold the same way.
    auto ca = Counted(c.a), cb = Counted(c.b);
    HTree counted(4096, buckets, 2, 2, HtTypes(kHtInt, kHtCounted));
    counted.InternCounted(ca.data(), &found);
    counted.InternCounted(cb.data(), &found);
    EXPECT_EQ(found, c.equalNoCase);
    if (c.equalNoCase) {
      EXPECT_EQ(HTree::HashCounted(ca.data()), HTree::HashCounted(cb.data()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, HTreeFolding,
    testing::Values(FoldCase{u"abc", u"ABC", true}, FoldCase{u"IMG_0001.JPG", u"img_0001.jpg", true},
                    FoldCase{u"Z", u"z", true}, FoldCase{u"\u00C9cole", u"\u00E9cole", false},
                    FoldCase{u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC", false},
                    FoldCase{u"stra\u00DFe", u"STRASSE", false}, FoldCase{u"\u0130", u"i", false},
                    FoldCase{u"\u212A", u"k", false}, FoldCase{u"[x]", u"{X}", false}, FoldCase{u"@", u"`", false},
                    FoldCase{u"a", u"a ", false}, FoldCase{u"", u"", true}, FoldCase{u"\u0391", u"\u03B1", false}));

TEST(HTree, CameraNamesSpreadOverBuckets) {
  const size_t buckets = 4096;
  std::vector<size_t> load(buckets);
  size_t n = 0;
  char16_t buf[64];
  auto add = [&](const char* s) {
    size_t i = 0;
    for (; s[i]; ++i) buf[i] = char16_t(s[i]);
    buf[i] = 0;
    ++load[HTree::HashText(buf) & (buckets - 1)];
    ++n;
  };
  char s[64];
  for (int i = 1; i <= 9999; ++i) {
    snprintf(s, sizeof s, "IMG_%04d.JPG", i);
    add(s);
    snprintf(s, sizeof s, "img_%04d.jpg", i);  // same bucket as the upper-case one
    add(s);
    snprintf(s, sizeof s, "DSC%05d.JPG", i);
    add(s);
    snprintf(s, sizeof s, "DSC_%04d.NEF", i);
    add(s);
    snprintf(s, sizeof s, "P%07d.JPG", 1000000 + i);
    add(s);
  }
  double mean = double(n) / buckets;
  size_t largest = *std::max_element(load.begin(), load.end());
  EXPECT_LE(double(largest), 2 * (2 * mean) + 10) << "largest " << largest << " mean " << mean;
  size_t empty = size_t(std::count(load.begin(), load.end(), size_t(0)));
  EXPECT_LT(empty, buckets / 100);
}

// ---- interning ----

TEST(HTreeIntern, SamePointerForTheSameName) {
  HTree t(4096, 1024, 2, 2, HtTypes(kHtInt, kHtText));
  bool found;
  const char16_t* a = t.InternName(u"abc", &found);
  EXPECT_FALSE(found);
  const char16_t* b = t.InternName(u"b", &found);
  EXPECT_EQ(t.InternName(u"b", &found), b);  // from the cache
  EXPECT_TRUE(found);
  EXPECT_EQ(t.InternName(u"abc", &found), a);
  EXPECT_TRUE(found);
  EXPECT_EQ(t.InternName(u"ABC", &found), a);
  EXPECT_TRUE(found);
  const char16_t* exactUpper = t.InternName(u"ABC", &found, true);
  EXPECT_FALSE(found);
  EXPECT_NE(exactUpper, a);
  EXPECT_EQ(WString(exactUpper), u"ABC");
  EXPECT_EQ(t.InternName(u"abc", &found, true), a);
  EXPECT_EQ(t.Count(), 3u);
  EXPECT_EQ(t.InternName(nullptr, &found), nullptr);
  HTree wrong(4096, 16, 2, 2, HtTypes(kHtInt, kHtInt));
  EXPECT_EQ(wrong.InternName(u"x"), nullptr);
}

TEST(HTreeIntern, ObjectGoesToTheLastColumn) {
  HTree t(4096, 4096, 3, 2, 256, 0);  // the view's folder-path pool
  int objectA = 0, objectB = 0;
  t.InternName(u"/a", nullptr, false, &objectA);
  t.InternName(u"/a", nullptr, false, &objectB);  // already has one
  EXPECT_EQ(t.FindNameColumn(u"/a", 2), W(&objectA));
  t.InternName(u"/b");
  t.InternName(u"/b", nullptr, false, &objectB);  // fills the empty column
  EXPECT_EQ(t.FindNameColumn(u"/b", 2), W(&objectB));
  EXPECT_EQ(t.FindNameColumn(u"/b", 7), 0u);
}

TEST(HTreeIntern, CountedExactAsTheNodeTable) {
  HTree t(4096, 4096, 2, 2, HtTypes(kHtInt, kHtCounted));
  auto abc = Counted(u"abc"), abc2 = Counted(u"abc"), upper = Counted(u"ABC");
  auto wide = WideCounted(u"abc");
  bool found;
  const uint8_t* p = t.InternCounted(abc.data(), &found, true);
  EXPECT_FALSE(found);
  EXPECT_NE(p, abc.data());
  EXPECT_EQ(t.InternCounted(abc2.data(), &found, true), p);
  EXPECT_TRUE(found);
  const uint8_t* q = t.InternCounted(upper.data(), &found, true);
  EXPECT_FALSE(found);
  EXPECT_NE(q, p);
  EXPECT_EQ(t.InternCounted(wide.data(), &found, true), p);  // same characters, other width
  EXPECT_TRUE(found);
  EXPECT_EQ(t.InternCounted(nullptr, &found, true), nullptr);
}

// ---- changing records ----

TEST(HTree, FindOrAddIdFillsEmptyNameAndParent) {
  HTree t(4096, 4096, 3, 2, 256, 0);
  HRecord* r = t.FindOrAddId(5, 0, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(t.FindOrAddId(5, 2, u"docs"), r);
  EXPECT_EQ(WString(r->Text(1)), u"docs");
  EXPECT_EQ(r->Column(2), 2u);
  EXPECT_EQ(t.FindOrAddId(5, 9, u"other"), r);  // a name and parent are kept
  EXPECT_EQ(WString(r->Text(1)), u"docs");
  EXPECT_EQ(r->Column(2), 2u);
  HWord key[] = {5, W(u"DOCS"), 0};
  EXPECT_EQ(t.Find(key), r);
  EXPECT_EQ(t.Count(), 1u);
}

TEST(HTree, SetColumnKeepsTheOrder) {
  HTree t(4096, 1, 3, 2, 256, 0);
  t.AddItem(1, 0, u"a");
  t.AddItem(1, 0, u"z");
  HRecord* r = t.AddItem(1, 0, nullptr);
  EXPECT_FALSE(t.SetColumn(r, 1, W(u"m")));  // would sit between a and z
  EXPECT_EQ(r->Text(1), nullptr);
  EXPECT_TRUE(t.SetColumn(r, 1, W(u"0")));
  HWord key[] = {1, W(u"0"), 0};
  EXPECT_EQ(t.Find(key), r);
  EXPECT_FALSE(t.SetColumn(r, 0, 2));  // column 0 chose the bucket
  EXPECT_TRUE(t.SetColumn(r, 2, 77));
  EXPECT_FALSE(t.SetColumn(r, 3, 1));
  EXPECT_FALSE(t.SetColumn(nullptr, 1, 1));
}

TEST(HTree, DeleteAllTreesDestroysHeldObjects) {
  HTree t(4096, 128, 5, 4, 0x20100000, 0);  // extension-record index
  std::vector<int*> made;
  for (int i = 0; i < 100; ++i) {
    int* entry = new int(i);
    HRecord* r = t.AddNodeKey(HWord(i), 7, 1, 0, entry);
    ASSERT_NE(r, nullptr);
    made.push_back(entry);
  }
  int* dup = new int(-1);
  EXPECT_EQ(t.AddNodeKey(3, 7, 1, 0, dup), nullptr);
  delete dup;
  EXPECT_EQ(t.FindExtended(42, 7, 1, 0), made[42]);
  EXPECT_EQ(t.FindExtended(420, 7, 1, 0), nullptr);
  int destroyed = 0;
  t.DeleteAllTrees([&](void* p) {
    delete static_cast<int*>(p);
    ++destroyed;
  });
  EXPECT_EQ(destroyed, 100);
  t.DeleteAllTrees([&](void*) { ++destroyed; });
  EXPECT_EQ(destroyed, 100);
}

// ---- parameters and growth ----

struct ParamCase {
  uint32_t page, buckets;
  int columns, keys;
};

class HTreeParams : public testing::TestWithParam<ParamCase> {};

TEST_P(HTreeParams, ClampedAndUsable) {
  const ParamCase& p = GetParam();
  HTree t(p.page, p.buckets, p.columns, p.keys, 0);
  EXPECT_GE(t.Columns(), 1);
  EXPECT_LE(t.Columns(), 8);
  EXPECT_GE(t.KeyColumns(), 1);
  EXPECT_LE(t.KeyColumns(), t.Columns());
  size_t b = t.BucketCount();
  EXPECT_EQ(b & (b - 1), 0u);
  EXPECT_GE(t.PageSize(), 1024u);
  HWord key[8] = {3, 4, 5, 6, 7, 8, 9, 10};
  bool found;
  HRecord* r = t.Insert(key, &found);
  EXPECT_EQ(t.Find(key), r);
  t.Init(4096, 3, 2, 1, 0);
  EXPECT_EQ(t.Count(), 0u);
  EXPECT_EQ(t.BucketCount(), 4u);
  EXPECT_EQ(t.Find(key), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Values, HTreeParams,
                         testing::Values(ParamCase{0, 0, 0, 0}, ParamCase{1, 3, 9, 12}, ParamCase{4096, 1000, 8, 8},
                                         ParamCase{0xFFFFFFFFu, 0xFFFFFFFFu, -1, -5}, ParamCase{0, 1, 8, 1}));

TEST(HTree, BucketsGrowAndEverythingIsFound) {
  const HWord n = 200000;
  HTree t(4096, 1, 2, 1, 0);
  for (HWord i = 0; i < n; ++i) t.AddIntPair(i * 2654435761u % 1000003u, i);
  EXPECT_GE(t.BucketCount(), n / 2);
  for (HWord i = 0; i < n; ++i) ASSERT_EQ(t.FindIntValue(i * 2654435761u % 1000003u), int64_t(i));
  EXPECT_EQ(t.FindIntValue(1000004), -1);
  HTreeStats s = t.Stats();
  EXPECT_LE(s.largestBucket, 20u);
  size_t visited = 0;
  t.ForEach([&](HRecord*) { ++visited; });
  EXPECT_EQ(visited, n);
}

TEST(HTree, FixedBucketsStayBalanced) {
  const HWord n = 100000;
  HTree t(4096, 1, 2, 2, HtTypes(kHtInt, kHtInt | kHtBestCandidate));  // never grows
  for (HWord i = 0; i < n; ++i) t.AddIntPair(i, i);  // ascending: worst case for a plain tree
  EXPECT_EQ(t.BucketCount(), 1u);
  HTreeStats s = t.Stats();
  EXPECT_LE(double(s.tallestTree), 1.45 * std::log2(double(n) + 2));
  for (HWord i = 0; i < n; i += 7) ASSERT_NE(t.FindKey2(i, i), nullptr);
}

// ---- randomised against models ----

WString RandomName(std::mt19937_64& rng) {
  static const char16_t kChars[] = u"aAbBcC_.\u00E9\u00C9";
  size_t len = 1 + rng() % 3;
  WString s;
  for (size_t i = 0; i < len; ++i) s.push_back(kChars[rng() % 10]);
  return s;
}

TEST(HTreeModel, IdNameTreeAgainstMap) {
  std::mt19937_64 rng(12345);
  HTree t(4096, 16, 3, 2, HtTypes(kHtInt, kHtText, kHtInt));
  std::map<std::pair<HWord, WString>, HWord> model;  // (id, folded name) -> first value
  std::map<HWord, int> ids;
  for (int step = 0; step < 200000; ++step) {
    HWord id = rng() % 400;
    WString name = RandomName(rng);
    auto it = model.find({id, Folded(name)});
    int op = int(rng() % 3);
    if (op == 0) {
      HWord value = rng();
      HWord key[] = {id, W(name.c_str()), value};
      bool found;
      HRecord* r = t.Insert(key, &found);
      ASSERT_EQ(found, it != model.end());
      if (!found) {
        model[{id, Folded(name)}] = value;
        ++ids[id];
        ASSERT_NE(r->Text(1), name.c_str());
        ASSERT_EQ(WString(r->Text(1)), name);
      }
      ASSERT_EQ(r->Column(2), (model[{id, Folded(name)}]));
    } else if (op == 1) {
      HWord key[] = {id, W(name.c_str()), 0};
      HRecord* r = t.Find(key);
      ASSERT_EQ(r != nullptr, it != model.end());
      if (r) {
        ASSERT_EQ(r->Column(2), it->second);
      }
    } else {
      HRecord* r = t.FindById(id);
      ASSERT_EQ(r != nullptr, ids.count(id) != 0);
      if (r) {
        ASSERT_EQ(r->Column(0), id);
      }
    }
  }
  EXPECT_EQ(t.Count(), model.size());
  EXPECT_GT(t.BucketCount(), 16u);
  // Within a bucket the records come in strictly increasing folded order.
  HRecord* prev = nullptr;
  size_t seen = 0;
  t.ForEach([&](HRecord* r) {
    ++seen;
    if (prev && (prev->Column(0) & (t.BucketCount() - 1)) == (r->Column(0) & (t.BucketCount() - 1))) {
      auto a = std::make_pair(prev->Column(0), Folded(prev->Text(1)));
      auto b = std::make_pair(r->Column(0), Folded(r->Text(1)));
      EXPECT_LT(a, b);
    }
    prev = r;
  });
  EXPECT_EQ(seen, model.size());
  EXPECT_LE(double(t.Stats().tallestTree), 1.45 * std::log2(double(t.Stats().largestBucket) + 2) + 1);
}

TEST(HTreeModel, ExactKeysWithFoldedLookups) {
  std::mt19937_64 rng(777);
  for (int round = 0; round < 50; ++round) {
    HTree t(4096, 1, 3, 3, HtTypes(kHtInt, kHtText, kHtInt));
    std::set<std::tuple<HWord, WString, HWord>> exact;
    std::set<std::tuple<HWord, WString, HWord>> folded;
    std::vector<WString> keep;
    keep.reserve(400);
    for (int i = 0; i < 300; ++i) {
      HWord id = rng() % 3, v = rng() % 4;
      keep.push_back(RandomName(rng));
      const WString& name = keep.back();
      HWord key[] = {id, W(name.c_str()), v};
      bool found;
      t.Insert(key, &found, true);
      ASSERT_EQ(found, (exact.count({id, name, v}) != 0));
      exact.insert({id, name, v});
      folded.insert({id, Folded(name), v});
    }
    for (int i = 0; i < 300; ++i) {
      HWord id = rng() % 3, v = rng() % 4;
      WString name = RandomName(rng);
      HWord key[] = {id, W(name.c_str()), v};
      HRecord* r = t.Find(key);
      ASSERT_EQ(r != nullptr, (folded.count({id, Folded(name), v}) != 0));
      if (r) {
        ASSERT_EQ(Folded(r->Text(1)), Folded(name));
      }
      HRecord* e = t.Find(key, true);
      ASSERT_EQ(e != nullptr, (exact.count({id, name, v}) != 0));
      if (e) {
        ASSERT_EQ(WString(e->Text(1)), name);
      }
    }
  }
}

TEST(HTreeModel, RangesAgainstIntervalMap) {
  std::mt19937_64 rng(99);
  HTree t(4096, 1, 2, 1, HtTypes(kHtRange));
  std::map<HWord, HWord> model;  // start -> last, disjoint
  auto overlaps = [&](HWord s, HWord e) {
    auto it = model.upper_bound(e);
    if (it == model.begin()) return false;
    --it;
    return it->second >= s;
  };
  for (int step = 0; step < 50000; ++step) {
    HWord s = rng() % 200000, e = s + rng() % 30;
    bool expectNew = !overlaps(s, e);
    HRecord* r = t.AddIfAbsent(s, e);
    ASSERT_EQ(r != nullptr, expectNew) << s << "-" << e;
    if (expectNew) model[s] = e;
    HWord probe = rng() % 200000;
    HRecord* f = t.FindById(probe);
    ASSERT_EQ(f != nullptr, model.count(probe) != 0);
    if (f) {
      ASSERT_EQ(f->Column(1), model[probe]);
    }
  }
  EXPECT_EQ(t.Count(), model.size());
}

TEST(HTreeModel, InterningAgainstHashMap) {
  std::mt19937_64 rng(4242);
  HTree folded(4096, 64, 2, 2, HtTypes(kHtInt, kHtText));
  HTree exact(4096, 64, 2, 2, HtTypes(kHtInt, kHtText));
  std::unordered_map<WString, const char16_t*> foldedModel, exactModel;
  static const char16_t kChars[] = u"aAbBzZ09_.-\u00E9\u00C9\u4E2D";
  for (int step = 0; step < 100000; ++step) {
    WString s;
    size_t len = rng() % 6;
    for (size_t i = 0; i < len; ++i) s.push_back(kChars[rng() % 14]);
    bool found;
    const char16_t* p = folded.InternName(s.c_str(), &found);
    auto [fit, fnew] = foldedModel.emplace(Folded(s), p);
    ASSERT_EQ(found, !fnew);
    ASSERT_EQ(p, fit->second);
    ASSERT_EQ(Folded(p), Folded(s));
    const char16_t* q = exact.InternName(s.c_str(), &found, true);
    auto [eit, enew] = exactModel.emplace(s, q);
    ASSERT_EQ(found, !enew);
    ASSERT_EQ(q, eit->second);
    ASSERT_EQ(WString(q), s);
  }
  EXPECT_EQ(folded.Count(), foldedModel.size());
  EXPECT_EQ(exact.Count(), exactModel.size());
  for (auto& [s, p] : exactModel) ASSERT_EQ(WString(p), s);
}

}  // namespace
