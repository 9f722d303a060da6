// Column filters: the operators as tables, the dialog's size and day
// conversions, the tested column values, and full against incremental
// passes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/Wildcard.h"
#include "tests/support/TestUtil.h"
#include "ui/core/ListFilter.h"
#include "ui/core/ListText.h"

namespace {

class ListFilter : public ::testing::Test {
 protected:
  GlobalObjectsScope scope;
};

std::unique_ptr<FilterCriterion> Text(int op, const char16_t* pattern) {
  auto k = std::make_unique<FilterCriterion>();
  k->kind = kFilterText;
  k->op = op;
  k->SetPattern(pattern);
  return k;
}

TEST_F(ListFilter, PatternsAndTextOperators) {
  FilterCriterion k;
  k.SetPattern(u"a**b***");
  EXPECT_EQ(k.pattern, u"a*b*");
  EXPECT_EQ(k.contains, u"*a*b*");
  k.SetPattern(u"doc");
  EXPECT_EQ(k.contains, u"*doc*");
  struct Case {
    int op;
    const char16_t* pattern;
    const char16_t* text;
    bool match;
  } cases[] = {
      {0, u"*.h", u"stdio.h", true},     {0, u"*.h", u"stdio.hpp", false}, {1, u"*.h", u"stdio.hpp", true},
      {2, u"dio", u"STDIO.H", true},     {3, u"dio", u"stdio.h", false},   {3, u"xyz", u"stdio.h", true},
      {0, u"a?c", u"abc", true},         {0, u"a?c", u"a.c", false},  // "?" never matches "."
      {0, u"ABC", u"abc", true},         {2, u"", u"anything", true},
  };
  for (const Case& c : cases) {
    auto crit = Text(c.op, c.pattern);
    EXPECT_EQ(crit->MatchText(c.text), c.match) << c.op << " " << ToUtf8(c.pattern) << " " << ToUtf8(c.text);
    EXPECT_FALSE(crit->MatchSize(5));
  }
}

TEST_F(ListFilter, SizeAndDateOperators) {
  FilterCriterion s;
  s.kind = kFilterSize;
  s.value = 100;
  const bool sizes[6][3] = {// 99, 100, 101
                            {false, true, false}, {true, false, true}, {false, false, true},
                            {false, true, true},  {true, false, false}, {true, true, false}};
  for (int op = 0; op < 6; ++op) {
    s.op = op;
    EXPECT_EQ(s.MatchSize(99), sizes[op][0]) << op;
    EXPECT_EQ(s.MatchSize(100), sizes[op][1]) << op;
    EXPECT_EQ(s.MatchSize(101), sizes[op][2]) << op;
  }
  EXPECT_FALSE(s.MatchText(u"100"));
  FilterCriterion d;
  d.kind = kFilterDate;
  d.day = 1000 * kFileTimeDay;
  const uint64_t before = uint64_t(d.day - 1), start = uint64_t(d.day), last = uint64_t(d.day + kFileTimeDay - 1),
                 next = uint64_t(d.day + kFileTimeDay);
  const bool dates[6][4] = {// before, the start, the last unit, the next day
                            {false, true, true, false}, {true, false, false, true}, {false, false, false, true},
                            {false, true, true, true},  {true, false, false, false}, {true, true, true, false}};
  for (int op = 0; op < 6; ++op) {
    d.op = op;
    EXPECT_EQ(d.MatchDate(before), dates[op][0]) << op;
    EXPECT_EQ(d.MatchDate(start), dates[op][1]) << op;
    EXPECT_EQ(d.MatchDate(last), dates[op][2]) << op;
    EXPECT_EQ(d.MatchDate(next), dates[op][3]) << op;
  }
}

TEST_F(ListFilter, DialogSizesAndDays) {
  struct Case {
    uint64_t bytes;
    uint64_t quotient;
    int unit;
  } cases[] = {{1073741824, 1, 3}, {1536, 1536, 0}, {0, 0, 4}, {3u << 20, 3, 2}, {uint64_t(5) << 40, 5, 4}};
  for (const Case& c : cases) {
    const SizeInUnits s = SizeForDialog(c.bytes);
    EXPECT_EQ(s.quotient, c.quotient) << c.bytes;
    EXPECT_EQ(s.unit, c.unit) << c.bytes;
  }
  uint64_t v = 0;
  EXPECT_TRUE(SizeFromDialog(u"1", 3, v));
  EXPECT_EQ(v, 1073741824u);
  EXPECT_TRUE(SizeFromDialog(u" 1,536 ", 0, v));
  EXPECT_EQ(v, 1536u);
  // A value times its unit that does not fit in 64 bits is refused.
  EXPECT_FALSE(SizeFromDialog(u"16777216", 4, v));
  EXPECT_TRUE(SizeFromDialog(u"16777215", 4, v));
  EXPECT_FALSE(SizeFromDialog(u"99999999999999999999", 0, v));
  EXPECT_FALSE(SizeFromDialog(u"12a", 0, v));
  EXPECT_FALSE(SizeFromDialog(u"-1", 0, v));
  EXPECT_FALSE(SizeFromDialog(u"", 0, v));
  // Local days: the start of 2021-03-28 (a daylight-saving day in Berlin).
  {
    ScopedTimeZone tz("UTC");
    EXPECT_EQ(FileTimeOfLocalDay(2021, 3, 28), (int64_t(1616889600) * 10000000) + 116444736000000000LL);
    int y, m, d;
    LocalDayOfFileTime(FileTimeOfLocalDay(2021, 3, 28), y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20210328);
  }
  {
    ScopedTimeZone tz("Europe/Berlin");
    // Midnight in Berlin is 23:00 UTC the day before (winter time), and the
    // day is 23 hours long.
    const int64_t start = FileTimeOfLocalDay(2021, 3, 28), next = FileTimeOfLocalDay(2021, 3, 29);
    EXPECT_EQ(start, (int64_t(1616889600 - 3600) * 10000000) + 116444736000000000LL);
    EXPECT_EQ(next - start, int64_t(23) * 3600 * 10000000);
  }
}

class FilterPasses : public ListFilter {
 protected:
  FoundNodeStore nodes;
  ListStore store;
  void Add(int32_t node, WString name, WString path, uint64_t size, uint16_t status = 0) {
    FoundItem f;
    f.nodeIndex = node;
    f.name = std::move(name);
    f.size = size;
    f.flags = uint16_t(status << 8);
    f.volumeIndex = 0;
    nodes.Add(f);
    store.Append(node, path, u"file");
  }
};

TEST_F(FilterPasses, ColumnValues) {
  Add(0, u"a.txt", u"C:\\dir", 1, 4);
  Add(1, u"b.txt", u"^:\\x", 1, 3);  // volume 1
  Add(2, u"c.txt", u"\\nowhere", 1, 0);
  store.Append(-1, u"C:", u"file");  // no node
  ListNodeInfo n;
  WString text;
  nodes.GetNode(0, n);
  EXPECT_TRUE(FilterColumnText(kColVolume, store, 0, n, text));
  EXPECT_EQ(text, u"C:");
  EXPECT_TRUE(FilterColumnText(kColFolder, store, 0, n, text));
  EXPECT_EQ(text, u"\\dir");
  EXPECT_TRUE(FilterColumnText(kColStatus, store, 0, n, text));
  EXPECT_EQ(text, u"Poor");
  nodes.GetNode(1, n);
  EXPECT_TRUE(FilterColumnText(kColVolume, store, 1, n, text));
  EXPECT_EQ(text, u"1");
  nodes.GetNode(2, n);
  EXPECT_FALSE(FilterColumnText(kColVolume, store, 2, n, text));
  EXPECT_TRUE(FilterColumnText(kColStatus, store, 2, n, text));
  EXPECT_EQ(text, u"");
  std::array<std::unique_ptr<FilterCriterion>, kFilterColumns> criteria;
  criteria[kColVolume] = Text(0, u"*");
  EXPECT_TRUE(RecordPasses(criteria, store, 0, &nodes, false));
  EXPECT_FALSE(RecordPasses(criteria, store, 2, &nodes, false));  // "\..." has no volume
  EXPECT_TRUE(RecordPasses(criteria, store, 3, &nodes, false));   // no node: passes
  // A text criterion on the Size column never passes.
  criteria[kColVolume].reset();
  criteria[kColSize] = Text(2, u"1");
  EXPECT_FALSE(RecordPasses(criteria, store, 0, &nodes, false));
}

TEST_F(FilterPasses, IncrementalEqualsOnePass) {
  for (int i = 0; i < 5000; ++i)
    Add(i, FromUtf8("n" + std::to_string(i) + (i % 3 ? ".h" : ".c")), u"C:\\d", uint64_t(i) * 1000, i % 5 ? 3 : 4);
  for (size_t i = 0; i < store.Count(); i += 7) store.SetCheck(i, kCheckOn, &nodes);
  FilterPass a;
  a.criteria[kColName] = Text(0, u"*.h");
  RunFilterPass(a, store, &nodes);
  // Then B added incrementally over the rows A left.
  FilterPass b;
  b.mode = FilterPass::kIncrementalFlat;
  b.criteria[kColName] = Text(0, u"*.h");
  b.criteria[kColName]->applied = true;
  b.criteria[kColSize] = std::make_unique<FilterCriterion>();
  b.criteria[kColSize]->kind = kFilterSize;
  b.criteria[kColSize]->op = 2;
  b.criteria[kColSize]->value = 1048576;
  b.candidates = a.rows;
  b.passBits = a.passBits;
  b.passCount = a.passCount;
  RunFilterPass(b, store, &nodes);
  // Both in one pass.
  FilterPass ab;
  ab.criteria[kColName] = Text(0, u"*.h");
  ab.criteria[kColSize] = std::make_unique<FilterCriterion>(*b.criteria[kColSize]);
  ab.criteria[kColName]->applied = false;
  RunFilterPass(ab, store, &nodes);
  EXPECT_EQ(b.rows, ab.rows);
  EXPECT_EQ(b.passBits, ab.passBits);
  EXPECT_EQ(b.passCount, ab.passCount);
  EXPECT_EQ(a.checkedFiles + b.checkedFiles, ab.checkedFiles);
  EXPECT_TRUE(a.checkedBytes + b.checkedBytes == ab.checkedBytes);
  // The same incrementally in folder display (all passing records).
  FilterPass f;
  f.mode = FilterPass::kIncrementalFolder;
  f.criteria[kColName] = Text(0, u"*.h");
  f.criteria[kColName]->applied = true;
  f.criteria[kColSize] = std::make_unique<FilterCriterion>(*b.criteria[kColSize]);
  f.passBits = a.passBits;
  f.passCount = a.passCount;
  RunFilterPass(f, store, &nodes);
  EXPECT_EQ(f.passBits, ab.passBits);
  EXPECT_EQ(f.passCount, ab.passCount);
  // Spot checks against the rule itself.
  for (size_t i = 0; i < store.Count(); ++i) {
    const bool h = i % 3 != 0, big = i * 1000 > 1048576;
    EXPECT_EQ(bool(ab.passBits[i >> 3] & (0x80u >> (i & 7))), h && big) << i;
  }
}

// The name tests a full pass compiles (literal-only shapes, one-load
// tests of names kept in 8 bits, the rest through the general matcher)
// against WildcardMatch itself, for a table of patterns and names: letter
// case, non-ASCII letters (in 8 bits and not), dots, "?", empty texts,
// names shorter than the literal, literals of eight units and of nine,
// names too long for 8 bits; nodes handed over in index order and not.
TEST_F(FilterPasses, NamePatternsMatchAsWildcards) {
  const WString names[] = {u"stdio.h",  u"STDIO.H",  u"x.H",       u"a.hpp",     u"h",         u".h",
                           u"",         u"x.h.c",    u"h.",        u"..",        u"\u00e9.h",  u"\u00c9.H",
                           u"\u00e9",   u"a.hh",     u"README",    u"read.me",   u"\u0100.h",  u"\u00c0.h",
                           u"ABCDEFGH", u"abcdefgh", u"xabcdefgh", u"abcdefghi", u"[.h",       u"{.H",
                           WString(130, u'a') + u".h", WString(127, u'b') + u".H"};
  const char16_t* patterns[] = {u"*.h",      u"*.H",       u"*h",        u"*.hpp",      u"*\u00e9.h", u"*\u00c9.h",
                                u"std*",     u"STD*",      u"x.h",       u"X.H",        u".h",        u"h",
                                u"",         u"*",         u"?.h",       u"*.?",        u"*h*",       u"*.h*c",
                                u"*.h*",     u"h*",        u"read*me",   u"*e",         u"\u00e9",    u"*.h.",
                                u"abcdefgh", u"*abcdefgh", u"abcdefgh*", u"*bcdefghi",  u"*\u0100.h", u"*\u00e0.h",
                                u"*[.h",     u"*{.h",      u"a*.h"};
  // Enough records for a pass to test node by node (a quarter of the node
  // index bound, which is whole blocks of 65536).
  const size_t count = std::size(names) * 700;
  for (const bool inOrder : {true, false}) {
    SCOPED_TRACE(inOrder ? "in index order" : "shuffled");
    nodes.Clear();
    store.Clear();
    std::vector<int32_t> order;
    for (int32_t i = 0; i < int32_t(count); ++i) order.push_back(i);
    if (!inOrder)
      for (size_t i = 0; i < order.size(); ++i) std::swap(order[i], order[(i * 7919) % order.size()]);
    for (int32_t i : order) {
      FoundItem f;
      f.nodeIndex = i;
      f.name = names[size_t(i) % std::size(names)];
      f.volumeIndex = 0;
      nodes.Add(f);
      store.Append(i, u"C:\\d", u"file");
    }
    for (const char16_t* p : patterns)
      for (int op = 0; op < 4; ++op) {
        FilterPass pass;
        pass.criteria[kColName] = Text(op, p);
        const FilterCriterion& k = *pass.criteria[kColName];
        RunFilterPass(pass, store, &nodes);
        for (size_t r = 0; r < store.Count(); ++r) {
          const WString& name = names[size_t(store.At(r).nodeIndex) % std::size(names)];
          const int hit = WildcardMatch(op < 2 ? k.pattern : k.contains, name);
          const bool expected = (op == 0 || op == 2) ? hit != 0 : hit == 0;
          ASSERT_EQ(bool(pass.passBits[r >> 3] & (0x80u >> (r & 7))), expected)
              << ToUtf8(WString(p)) << " op " << op << " name " << ToUtf8(name);
        }
      }
  }
}

// A full pass tests node criteria node by node and folder and type
// criteria text by text; its answer must be RecordPasses' record by record,
// for every column, with records in any order, records without nodes and
// nodes without records, and patterns of every shape.
TEST_F(FilterPasses, PassEqualsRecordByRecord) {
  const char16_t* names[] = {u"stdio.h", u"STDIO.H", u"a.hpp", u"readme", u"", u"h", u".h", u"x.h.c", u"dir.txt"};
  const char16_t* paths[] = {u"C:\\usr\\include", u"D:\\Docs", u"D:\\docs\\h", u"^:\\x", u"\\nowhere", u"C:", u""};
  const char16_t* types[] = {u"H file", u"file", u"Text Document", u""};
  // Node indexes with gaps, in shuffled record order; some records without
  // a node, some nodes without a record.
  std::vector<int32_t> order;
  for (int32_t i = 0; i < 20000; ++i) order.push_back(i * 3 + i % 2);
  for (size_t i = 0; i < order.size(); ++i) std::swap(order[i], order[(i * 7919) % order.size()]);
  for (size_t k = 0; k < order.size(); ++k) {
    const int32_t i = order[k];
    FoundItem f;
    f.nodeIndex = i;
    f.name = names[size_t(i) % std::size(names)];
    f.size = uint64_t(i % 11) * 1000;
    f.time = uint64_t(i % 5) * kFileTimeDay;
    f.flags = uint16_t((i % 8) << 8);
    f.volumeIndex = 0;
    if (k % 13 != 5) nodes.Add(f);  // else a record without a node
    if (k % 17 != 3)                // else a node without a record
      store.Append(i, paths[size_t(i) % std::size(paths)], types[size_t(i) % std::size(types)]);
    if (k % 29 == 1) store.Append(-1, u"C:\\none", u"file");
  }
  // A size (bytes) or date (day start) criterion.
  auto number = [](int kind, int op, int64_t v) {
    auto k = std::make_unique<FilterCriterion>();
    k->kind = kind;
    k->op = op;
    if (kind == kFilterSize) k->value = uint64_t(v);
    else k->day = v;
    return k;
  };
  auto size = [number](int op, uint64_t v) { return number(kFilterSize, op, int64_t(v)); };
  auto date = [number](int op, int64_t day) { return number(kFilterDate, op, day); };
  struct Case {
    int column;
    std::function<std::unique_ptr<FilterCriterion>()> make;
  };
  const Case cases[] = {
      {kColName, [] { return Text(0, u"*.h"); }},      {kColName, [] { return Text(1, u"*.H"); }},
      {kColName, [] { return Text(0, u"std*"); }},     {kColName, [] { return Text(0, u"STDIO.h"); }},
      {kColName, [] { return Text(2, u".h"); }},       {kColName, [] { return Text(3, u"h"); }},
      {kColName, [] { return Text(0, u"*"); }},        {kColName, [] { return Text(0, u""); }},
      {kColName, [] { return Text(0, u"?.h"); }},      {kColName, [] { return Text(0, u"*.h*c"); }},
      {kColName, [] { return Text(0, u"*h*"); }},      {kColName, [] { return Text(7, u"*"); }},
      {kColName, [size] { return size(2, 0); }},       {kColType, [] { return Text(2, u"file"); }},
      {kColType, [] { return Text(0, u""); }},         {kColFolder, [] { return Text(0, u"\\docs*"); }},
      {kColFolder, [] { return Text(3, u"h"); }},      {kColVolume, [] { return Text(0, u"D:"); }},
      {kColVolume, [] { return Text(1, u"1"); }},      {kColStatus, [] { return Text(0, u"Poor"); }},
      {kColStatus, [] { return Text(1, u""); }},       {kColSize, [size] { return size(2, 4000); }},
      {kColSize, [size] { return size(0, 0); }},       {kColSize, [] { return Text(2, u"1"); }},
      {kColDate, [date] { return date(0, kFileTimeDay); }}, {kColDate, [date] { return date(3, 3 * kFileTimeDay); }},
  };
  auto check = [&](const std::array<std::unique_ptr<FilterCriterion>, kFilterColumns>& criteria,
                   const std::string& what) {
    FilterPass pass;
    for (int c = 0; c < kFilterColumns; ++c)
      if (criteria[size_t(c)]) pass.criteria[size_t(c)] = std::make_unique<FilterCriterion>(*criteria[size_t(c)]);
    RunFilterPass(pass, store, &nodes);
    int64_t count = 0;
    for (size_t i = 0; i < store.Count(); ++i) {
      const bool expected = RecordPasses(criteria, store, i, &nodes, false);
      count += expected;
      ASSERT_EQ(bool(pass.passBits[i >> 3] & (0x80u >> (i & 7))), expected) << what << " record " << i;
    }
    EXPECT_EQ(pass.passCount, count) << what;
    EXPECT_EQ(int64_t(pass.rows.size()), count) << what;
    // A few rows tested incrementally go record by record.
    FilterPass few;
    few.mode = FilterPass::kIncrementalFlat;
    for (int c = 0; c < kFilterColumns; ++c)
      if (criteria[size_t(c)]) few.criteria[size_t(c)] = std::make_unique<FilterCriterion>(*criteria[size_t(c)]);
    for (uint32_t i = 0; i < store.Count(); i += 97) few.candidates.push_back(i);
    few.passBits.assign((store.Count() + 7) / 8, 0xFF);
    few.passCount = int64_t(store.Count());
    RunFilterPass(few, store, &nodes);
    std::vector<uint32_t> expected;
    for (uint32_t i : few.candidates)
      if (RecordPasses(criteria, store, i, &nodes, false)) expected.push_back(i);
    EXPECT_EQ(few.rows, expected) << what;
  };
  for (size_t a = 0; a < std::size(cases); ++a) {
    std::array<std::unique_ptr<FilterCriterion>, kFilterColumns> criteria;
    criteria[size_t(cases[a].column)] = cases[a].make();
    check(criteria, "case " + std::to_string(a));
    // With a criterion of another column beside it.
    const size_t b = (a * 5 + 3) % std::size(cases);
    if (cases[b].column == cases[a].column) continue;
    criteria[size_t(cases[b].column)] = cases[b].make();
    check(criteria, "cases " + std::to_string(a) + "+" + std::to_string(b));
  }
  // Every column at once.
  std::array<std::unique_ptr<FilterCriterion>, kFilterColumns> all;
  all[kColName] = Text(2, u"h");
  all[kColType] = Text(3, u"Text");
  all[kColFolder] = Text(1, u"\\nothing");
  all[kColVolume] = Text(0, u"*");
  all[kColStatus] = Text(3, u"Good");
  all[kColSize] = size(5, 9000);
  all[kColDate] = date(5, 3 * kFileTimeDay);
  check(all, "all columns");
}

}  // namespace
