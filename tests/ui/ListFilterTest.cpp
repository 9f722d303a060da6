// Column filters: the operators as tables, the dialog's size and day
// conversions, the tested column values, and full against incremental
// passes.
#include <gtest/gtest.h>

#include "foundation/Globals.h"
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

}  // namespace
