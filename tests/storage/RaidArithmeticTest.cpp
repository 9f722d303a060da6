// Definition strings, parity arithmetic, stripe maps, RAID-Z column maps
// and schema files, without members on disk.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/TestUtil.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/RDrive.h"
#include "storage/RaidMap.h"
#include "storage/RaidParity.h"
#include "storage/VolumeDefinition.h"

namespace {

// ---- definition strings ----

TEST(DefinitionStrings, Classifiers) {
  struct {
    const char16_t* text;
    int raid, span;
    bool multi, nested, raid0OverRaid;
  } cases[] = {
      {u"RAID5(/a<0:9>,/b<0:9>,/c<0:9>)", 4, 0, true, false, false},
      {u"RAID(/a<0:9>)", 8, 0, true, false, false},
      {u"RAIDZ3(/a<0:9>)", 0, 0, false, false, false},
      {u"raid5(/a<0:9>)", 0, 0, false, false, false},
      {u"RAID0", 3, 0, true, false, false},
      {u"RAIDZ1(/a<0:9>,/b<0:9>,/c<0:9>)", 5, 0, true, false, false},
      {u"RAIDZ2(/a<0:9>)", 10, 0, true, false, false},
      {u"RAID6(/a<0:9>)", 9, 0, true, false, false},
      {u"SPAN(/a<0:9>)", 0, 1, false, false, false},
      {u"SPAN(/a<0:9>,/b<0:9>)", 0, 2, true, false, false},
      {u"SPAN(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:19>,/d<0:9>)", 0, 2, true, true, false},
      {u"RAID0(RAIDZ1(/a<0:9>,/b<0:9>,/c<0:9>)<0:19>,/d<0:9>)", 3, 0, true, false, false},
      {u"RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:19>,/d<0:9>)", 3, 0, true, false, true},
      {u"RAID0(RAID6(/a<0:9>,/b<0:9>,/c<0:9>,/e<0:9>)<0:19>,/d<0:9>)", 3, 0, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    EXPECT_EQ(GetRaidType(c.text), c.raid);
    EXPECT_EQ(GetSpanType(c.text), c.span);
    EXPECT_EQ(IsMultiDiskDefinition(c.text), c.multi);
    EXPECT_EQ(HasNestedRaid(c.text), c.nested);
    EXPECT_EQ(IsRaid0OverRaid(c.text), c.raid0OverRaid);
  }
}

TEST(DefinitionStrings, GroupedNumbers) {
  EXPECT_EQ(ParseGroupedNumber(u"1,234,567"), 1234567u);
  EXPECT_EQ(ParseGroupedNumber(u"12a"), ~0ull);
  EXPECT_EQ(ParseGroupedNumber(u""), 0u);
  EXPECT_EQ(ParseGroupedNumber(u"18,446,744,073,709,551,615"), ~0ull);
  // A mistyped 21-digit number does not wrap into a small one.
  EXPECT_EQ(ParseGroupedNumber(u"100000000000000000005"), ~0ull);
  EXPECT_EQ(ParseGroupedNumber(u"18446744073709551616"), ~0ull);
}

TEST(DefinitionStrings, DriveOrSharePaths) {
  EXPECT_TRUE(IsDriveOrSharePath(u"/img"));
  EXPECT_TRUE(IsDriveOrSharePath(u"c:\\"));
  EXPECT_TRUE(IsDriveOrSharePath(u"\\\\srv\\x"));
  EXPECT_FALSE(IsDriveOrSharePath(u"\\\\\\x"));
  EXPECT_FALSE(IsDriveOrSharePath(u"c:"));
  EXPECT_FALSE(IsDriveOrSharePath(u"img"));
}

TEST(DefinitionStrings, SplitterNests) {
  const WString d = u"SPAN(RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:17>,/d<0:9>)<0:27>,/e<0:9>)";
  bool closed = false;
  size_t end = 0;
  auto m = SplitDefinitionMembers(d, 5, &closed, &end);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(WString(m[0]), u"RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:17>,/d<0:9>)<0:27>");
  EXPECT_EQ(WString(m[1]), u"/e<0:9>");
  EXPECT_TRUE(closed);
  EXPECT_EQ(end, d.size());
  MemberText t;
  ASSERT_TRUE(ParseMemberText(m[0], &t));
  EXPECT_TRUE(t.nested);
  EXPECT_EQ(WString(t.device), u"RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:17>,/d<0:9>)");
  EXPECT_EQ(t.first, 0);
  EXPECT_EQ(t.last, 27);
  // Characters of the grammar cannot be in a member path.
  for (const char16_t* bad : {u"/a|b<0:9>", u"/a(b)<0:9>", u"/a<0:9", u"/a<0-9>", u"/a<0:9>x", u"/a<0:99999999999999999999>"})
    EXPECT_FALSE(ParseMemberText(bad, &t)) << ToUtf8(bad);
  // An empty member, or one of 1023 characters, ends the list.
  EXPECT_EQ(SplitDefinitionMembers(u"RAID0(/a,,/b)", 6).size(), 1u);
  const WString longMember = u"RAID0(/a," + WString(1023, u'x') + u",/b)";
  EXPECT_EQ(SplitDefinitionMembers(longMember, 6).size(), 1u);
}

TEST(DefinitionStrings, VolSpecRoundTrip) {
  VolSpec v;
  const WString raid5 = u"RAID5(/img/m0.img<0:2047>,/img/m1.img<0:2047>,/img/m2.img<2048:4095>)";
  EXPECT_EQ(v.Parse(raid5), kRaid5);
  ASSERT_EQ(v.children.size(), 3u);
  EXPECT_EQ(v.children[2]->kind, 6);
  EXPECT_EQ(v.children[2]->text, u"/img/m2.img");
  EXPECT_EQ(v.children[2]->first, 2048);
  EXPECT_EQ(v.Format(), raid5);
  // Format gives the whole length written, range included.
  std::vector<char16_t> b(512);
  EXPECT_EQ(v.Format(b.data(), b.size()), raid5.size());
  EXPECT_EQ(v.Format(b.data(), raid5.size()), 0u);  // no room for the NUL

  const WString span = u"SPAN(RAID0(/a<0:9>,/b<0:9>)<0:19>,/c<0:9>)";
  EXPECT_EQ(v.Parse(span), kSpanKind);
  ASSERT_EQ(v.children.size(), 2u);
  EXPECT_EQ(v.children[0]->kind, kRaid0);
  EXPECT_EQ(v.Format(), u"SPAN(RAID0(/a<0:9>,/b<0:9>),/c<0:9>)");

  // A set nested in a nested set.
  EXPECT_EQ(v.Parse(u"SPAN(RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:17>,/d<0:9>)<0:27>,/e<0:9>)"), kSpanKind);
  ASSERT_EQ(v.children.size(), 2u);
  ASSERT_EQ(v.children[0]->children.size(), 2u);
  EXPECT_EQ(v.children[0]->children[0]->children.size(), 3u);

  EXPECT_EQ(v.Parse(u"\\\\.\\PhysicalDrive0<5:6>"), 6);
  EXPECT_EQ(v.Parse(u"PhysicalDrive1"), 7);
  EXPECT_EQ(v.Format(), u"PhysicalDrive1");
  EXPECT_EQ(v.Parse(u"C:"), 1);
  EXPECT_EQ(v.Format(b.data(), b.size()), 0u);  // no text form
  EXPECT_EQ(v.Parse(u"RAID6(/a<0:9>)"), 0);
  EXPECT_THROW(v.Parse(u"RAID5/a"), DvCodeError);
  EXPECT_THROW(v.Parse(u"/img<5:6"), DvCodeError);
  EXPECT_THROW(v.Parse(u"/img<5>"), DvCodeError);
  // Found by fuzzing: a path holding "(" would not read back as itself.
  EXPECT_THROW(v.Parse(u"RAIDZ2(\\\\.\\PhysicaRAIDZ2(\\\\.\\Physli"), DvCodeError);
  EXPECT_THROW(v.Parse(u"/a|b"), DvCodeError);
  EXPECT_EQ(v.Format(b.data(), 9), 0u);

  MemberExtent e;
  e.name = u"/img/a.img";
  EXPECT_EQ(e.Format(), u"/img/a.img<0:0>");
  e.sectors = 10;
  e.sectorSize = 4096;
  EXPECT_EQ(e.Bytes(), 40960);
}

// ---- parity arithmetic ----

TEST(RaidParity, TableProperties) {
  const GfTables& gf = theGfTables();
  EXPECT_EQ(gf.mul[2][128], 29);
  EXPECT_EQ(gf.inv[2], 142);
  for (int a = 0; a < 256; ++a) {
    EXPECT_EQ(gf.mul[a][1], a);
    if (a >= 1) {
      EXPECT_EQ(gf.mul[a][gf.inv[a]], 1) << a;
    }
  }
  EXPECT_EQ(gf.pow[0], 1);
  EXPECT_EQ(gf.pow[8], 29);
  EXPECT_EQ(gf.Pow(255), 1);
}

// Makes a row of n members with P on pm, Q on qm and random data elsewhere,
// Q computed with the given coefficients.
struct Row {
  std::vector<std::vector<uint8_t>> m;
  std::vector<int> coef;
};
Row MakeRow(int n, int pm, int qm, const GfRotation& rot, size_t len, std::mt19937& rng) {
  const GfTables& gf = theGfTables();
  Row r;
  r.m.assign(size_t(n), std::vector<uint8_t>(len, 0));
  r.coef.resize(size_t(n));
  for (int j = 0; j < n; ++j) {
    r.coef[size_t(j)] = rot.Coefficient(j);
    if (j == pm || j == qm) continue;
    for (auto& b : r.m[size_t(j)]) b = uint8_t(rng());
  }
  for (int j = 0; j < n; ++j) {
    if (j == pm || j == qm) continue;
    for (size_t i = 0; i < len; ++i) {
      r.m[size_t(pm)][i] ^= r.m[size_t(j)][i];
      r.m[size_t(qm)][i] ^= gf.mul[r.coef[size_t(j)]][r.m[size_t(j)][i]];
    }
  }
  return r;
}

TEST(RaidParity, PQRebuildsAnyOneOrTwoDataMembers) {
  std::mt19937 rng(7);
  const size_t len = 1000;
  for (int n = 4; n <= 16; ++n) {
    for (int mode = 0; mode <= 1; ++mode) {
      GfRotation rot(mode, 0, n);
      const int q = int(rng() % unsigned(n));
      rot.SetQ(q);
      const int p = q == 0 ? n - 1 : q - 1;
      Row row = MakeRow(n, p, q, rot, len, rng);
      for (int x = 0; x < n; ++x) {
        if (x == p || x == q) continue;
        for (int y = -1; y < n; ++y) {  // -1: P missing with x (Q1)
          if (y == x || y == q || (y >= 0 && y == p)) continue;
          SCOPED_TRACE(testing::Message() << "n " << n << " mode " << mode << " x " << x << " y " << y);
          RaidExtent e;
          e.op = y < 0 ? kRaidOpQ1 : kRaidOpQ2;
          e.gx = row.coef[size_t(x)];
          e.gy = y < 0 ? 0 : row.coef[size_t(y)];
          for (int j = 0; j < n; ++j)
            if (j != x && j != y && !(y < 0 && j == p)) e.items.push_back({row.coef[size_t(j)], 0, j});
          GfWork w;
          ASSERT_TRUE(w.Prepare(len, size_t(n), &e));
          for (const RaidItem& it : e.items) w.SetMember(size_t(it.member), row.m[size_t(it.member)].data());
          const uint8_t* out = w.Rebuild();
          ASSERT_NE(out, nullptr);
          EXPECT_EQ(0, memcmp(out, row.m[size_t(x)].data(), len));
          if (y >= 0) {
            EXPECT_EQ(0, memcmp(w.Out2(), row.m[size_t(y)].data(), len));
          }
        }
      }
    }
  }
}

TEST(RaidParity, RebuildEdgeCases) {
  // Q1 with Q equal to the syndrome of the present members yields zeros.
  GfRotation rot(0, 0, 4);
  rot.SetQ(3);
  std::mt19937 rng(3);
  Row row = MakeRow(4, 2, 3, rot, 64, rng);
  RaidExtent e;
  e.op = kRaidOpQ1;
  e.gx = 2;
  e.items = {{1, 0, 0}, {-1, 0, 3}};
  std::vector<uint8_t> q(64);
  for (size_t i = 0; i < 64; ++i) q[i] = theGfTables().mul[1][row.m[0][i]];
  GfWork w;
  w.Prepare(64, 4, &e);
  w.SetMember(0, row.m[0].data());
  w.SetMember(3, q.data());
  const uint8_t* out = w.Rebuild();
  ASSERT_NE(out, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(out[i], 0);
  // "Q2" with gx = 1, gy = 2 over a four-member row.
  e.op = kRaidOpQ2;
  e.gx = 1;
  e.gy = 2;
  e.items = {{0, 0, 2}, {-1, 0, 3}};
  w.Prepare(64, 4, &e);
  w.SetMember(2, row.m[2].data());
  w.SetMember(3, row.m[3].data());
  ASSERT_NE(w.Rebuild(), nullptr);
  EXPECT_EQ(0, memcmp(w.Rebuild(), row.m[0].data(), 64));
  // Equal coefficients cannot be told apart: refused, not zeros.
  e.gy = 1;
  w.Prepare(64, 4, &e);
  w.SetMember(2, row.m[2].data());
  w.SetMember(3, row.m[3].data());
  EXPECT_EQ(w.Rebuild(), nullptr);
  // No Q, a coefficient outside the field.
  e.gy = 2;
  e.items = {{0, 0, 2}};
  w.Prepare(64, 4, &e);
  EXPECT_EQ(w.Rebuild(), nullptr);
  e.items = {{0, 0, 2}, {-1, 0, 3}, {300, 0, 1}};
  w.Prepare(64, 4, &e);
  w.SetMember(1, row.m[1].data());
  w.SetMember(2, row.m[2].data());
  w.SetMember(3, row.m[3].data());
  EXPECT_EQ(w.Rebuild(), nullptr);
}

TEST(RaidParity, RotationCoefficients) {
  GfRotation r(0, 0, 5);
  r.SetQ(4);
  EXPECT_EQ(r.Coefficient(4), -1);
  EXPECT_EQ(r.Coefficient(3), 0);
  EXPECT_EQ(r.Coefficient(0), 1);
  EXPECT_EQ(r.Coefficient(2), 3);
  r.SetQ(0);
  EXPECT_EQ(r.Coefficient(4), 0);
  EXPECT_EQ(r.Coefficient(1), 1);
  GfRotation s(0, 2, 5);
  s.SetQ(2);  // P on 1
  EXPECT_EQ(s.Coefficient(0), 1);
  EXPECT_EQ(s.Coefficient(3), 2);
  EXPECT_EQ(s.Coefficient(4), 3);
  // Exponential: powers of two up to index 8, field elements from 9 on.
  GfRotation x(1, 1, 12);
  x.SetQ(11);
  EXPECT_EQ(x.Coefficient(0), 1);
  EXPECT_EQ(x.Coefficient(7), 128);
  EXPECT_EQ(x.Coefficient(8), 29);
  EXPECT_EQ(x.Coefficient(9), 58);
}

// ---- stripe maps ----

RaidMapParams Params(uint32_t n, int rotation, uint32_t group, std::vector<bool> missing = {}) {
  RaidMapParams p;
  p.members = n;
  p.stripe = 128;
  p.group = group;
  p.rotation = rotation;
  p.sectors = 1 << 20;
  p.missing = missing.empty() ? std::vector<bool>(n, false) : missing;
  return p;
}

// Members of the copies of row r's extents.
std::vector<int> RowMembers(const RaidRange& r, uint32_t row, uint32_t perRow) {
  std::vector<int> m;
  for (uint32_t k = 0; k < perRow; ++k) m.push_back(r.extents[row * perRow + k].items[0].member);
  return m;
}

TEST(RaidMaps, RowExamples) {
  std::vector<RaidRange> ranges;
  ASSERT_TRUE(RaidMap::BuildRaid5(Params(4, 2, 1), &ranges));
  EXPECT_EQ(RowMembers(ranges[0], 0, 3), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(RowMembers(ranges[0], 1, 3), (std::vector<int>{3, 0, 1}));
  EXPECT_EQ(ranges[0].extents[4].items[0].offset, 128u);
  EXPECT_EQ(ranges[0].physicalGroupSectors[0], 4u * 128);
  ASSERT_TRUE(RaidMap::BuildRaid5(Params(4, 0, 2), &ranges));
  EXPECT_EQ(RowMembers(ranges[0], 0, 3), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(RowMembers(ranges[0], 1, 3), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(RowMembers(ranges[0], 2, 3), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(RowMembers(ranges[0], 3, 3), (std::vector<int>{0, 2, 3}));
  ASSERT_TRUE(RaidMap::BuildRaid6(Params(5, 4, 1), &ranges));
  EXPECT_EQ(RowMembers(ranges[0], 0, 3), (std::vector<int>{0, 1, 2}));  // Q 4, P 3
  EXPECT_EQ(RowMembers(ranges[0], 1, 3), (std::vector<int>{0, 3, 4}));  // Q 2, P 1
  // A missing member's chunks become XOR extents of the other n - 1.
  ASSERT_TRUE(RaidMap::BuildRaid5(Params(4, 2, 1, {false, true, false, false}), &ranges));
  const RaidExtent& e = ranges[0].extents[1];
  EXPECT_EQ(e.op, kRaidOpXor);
  ASSERT_EQ(e.items.size(), 3u);
  EXPECT_EQ(e.items[0].member, 0);
  EXPECT_EQ(e.items[1].member, 2);
  EXPECT_EQ(e.items[2].member, 3);
  EXPECT_EQ(ranges[0].physicalGroupSectors[1], 0u);
  // Layouts the rotation table leaves undefined.
  EXPECT_FALSE(RaidMap::BuildRaid6(Params(5, 0, 1), &ranges));
  EXPECT_FALSE(RaidMap::BuildRaid6(Params(5, 3, 1), &ranges));
  EXPECT_FALSE(RaidMap::BuildRaid5(Params(4, 4, 1), &ranges));
  EXPECT_FALSE(RaidMap::BuildRaid5(Params(4, 5, 1), &ranges));
}

TEST(RaidMaps, Raid6MissingMembersTakeTheirOperations) {
  std::vector<RaidRange> ranges;
  // Row 0: Q 4, P 3, data 0 1 2.
  ASSERT_TRUE(RaidMap::BuildRaid6(Params(5, 1, 1, {true, false, false, false, true}), &ranges));
  EXPECT_EQ(ranges[0].extents[0].op, kRaidOpXor);  // the other missing one is Q
  ASSERT_TRUE(RaidMap::BuildRaid6(Params(5, 1, 1, {true, true, false, false, false}), &ranges));
  EXPECT_EQ(ranges[0].extents[0].op, kRaidOpQ2);
  EXPECT_EQ(ranges[0].extents[0].gx, 1);
  EXPECT_EQ(ranges[0].extents[0].gy, 2);
  ASSERT_TRUE(RaidMap::BuildRaid6(Params(5, 1, 1, {true, false, false, true, false}), &ranges));
  EXPECT_EQ(ranges[0].extents[0].op, kRaidOpQ1);
}

TEST(RaidMaps, RaidzColumnExamples) {
  RaidzColumn t[8];
  auto check = [&](uint64_t n, std::vector<std::tuple<int, uint64_t, uint32_t>> want) {
    ASSERT_EQ(n, want.size());
    for (size_t c = 0; c < n; ++c) {
      EXPECT_EQ(t[c].devIdx, std::get<0>(want[c])) << c;
      EXPECT_EQ(t[c].offset, std::get<1>(want[c])) << c;
      EXPECT_EQ(t[c].size, std::get<2>(want[c])) << c;
    }
  };
  check(RaidMap::BuildRaidzColumns(10, 3072, 4, 1, 9, t), {{2, 2, 1024}, {3, 2, 1024}, {0, 3, 1024}, {1, 3, 1024}});
  check(RaidMap::BuildRaidzColumns(7, 512, 4, 1, 9, t), {{3, 1, 512}, {0, 2, 512}});
  check(RaidMap::BuildRaidzColumns(2048, 1536, 4, 1, 9, t), {{1, 512, 512}, {0, 512, 512}, {2, 512, 512}, {3, 512, 512}});
  check(RaidMap::BuildRaidzColumns(13, 20480, 6, 2, 12, t),
        {{1, 2, 8192}, {2, 2, 8192}, {3, 2, 8192}, {4, 2, 4096}, {5, 2, 4096}, {0, 3, 4096}});
  EXPECT_EQ(RaidMap::BuildRaidzColumns(0, 0, 4, 1, 9, t), 0u);
}

// ---- schema files ----

class SchemaTest : public testing::Test {
 protected:
  TempFolder temp_{"schema"};
  void SetUp() override { dir = temp_.Path(); }
  // Loads a schema text for a set of `members` image members; the last
  // error on failure.
  std::string Load(const std::string& text, int members = 3) {
    std::string def = "RAID(";
    for (int i = 0; i < members; ++i) {
      const std::string m = dir + "/m" + std::to_string(i);
      RunCommand("truncate -s 1M '" + m + "'");
      def += (i ? "," : "") + m + "<0:2047>";
    }
    def += ")";
    WriteFileText(dir + "/s.txt", text);
    RaidSettings s;
    s.schemaPath = FromUtf8(dir + "/s.txt");
    RDrive d(&s);
    try {
      d.InitDrive(FromUtf8(def));
    } catch (const DvCodeError&) {
      return ToUtf8(LastErrorText());
    }
    ranges = d.Ranges();
    sectors = d.SectorCount();
    return "ok";
  }
  std::string dir;
  std::vector<RaidRange> ranges;
  uint64_t sectors = 0;
  GlobalObjectsScope scope;
};

const char* kGood =
    "; a RAID 5 of three members, spelled out\n"
    "RangeCount 1\n"
    "LogicalGroupSizeInSectors 6\n"
    "PhysicalGroupSizeInSectors 2\n"
    "LogicalExtentCount 2\n"
    "LE 0 1 XOR(0:0)\n"
    "LE 1 5 XOR,BAD(1:0,2:0)\n"
    "RangeStart 0 600\n";

TEST_F(SchemaTest, LoadsAndReportsErrors) {
  EXPECT_EQ(Load(kGood), "ok");
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].extents[1].lso, 1u);
  EXPECT_EQ(ranges[0].extents[1].flags, kRaidFlagBad);
  EXPECT_EQ(sectors, 600u);
  struct {
    std::string text, error;
  } cases[] = {
      {"; only comments\n", "RangeCount and actual number of ranges do not match."},
      {"RangeCount 0\n", "Invalid RangeCount"},
      {"RangeCount 99\n", "Invalid data: RangeCount 99"},  // more ranges than lines
      {"LogicalGroupSizeInSectors 6\n", "Invalid data: LogicalGroupSizeInSectors 6"},
      {"RangeCount 1\nBogus 1\n", "Invalid data: Bogus 1"},
      {"RangeCount 1\nLogicalExtentCount 3\nLE 0 1 XOR(0:0)\nLE 2 1 XOR(0:0)\n", "Range 0, LE 2: Out of order"},
      {"RangeCount 1\nLogicalExtentCount 1\nLE 1 1 XOR(0:0)\n", "Range 0, LE 1: Out of bound"},
      {"RangeCount 1\nLogicalExtentCount 1\nLE 0 1 ADD(0:0)\n", "Range 0, LE 0: Invalid RAID operation"},
      {"RangeCount 1\nLogicalGroupSizeInSectors 4\nLogicalExtentCount 2\nLE 0 1 XOR(0:0)\nLE 1 1 XOR(1:0)\n",
       "Range 0, LE 1: nLogicalBufferSizeInSectors does not match the sum in the LEs."},
      {"RangeCount 2\nLogicalGroupSizeInSectors 1\nPhysicalGroupSizeInSectors 1\nLogicalExtentCount 1\n"
       "LE 0 1 XOR(0:0)\nRangeStart 0 10\nLogicalExtentCount 1\nLE 0 1 XOR(1:0)\nRangeStart 11 10\n",
       "Range intervals not contiguous"},
      {"RangeCount 1\nLogicalGroupSizeInSectors 1\nLogicalExtentCount 1\nLE 0 1 XOR(0:0)\nRangeStart 5 10\n",
       "The first range must start from zero."},
      // Member indexes and sizes from the file are checked.
      {"RangeCount 1\nPhysicalGroupSizeInSectors 4 3\n", "Invalid data: PhysicalGroupSizeInSectors 4 3"},
      {"RangeCount 1\nPhysicalGroupSizeInSectors 0\n", "Invalid data: PhysicalGroupSizeInSectors 0"},
      {"RangeCount 1\nLogicalGroupSizeInSectors 0\n", "Invalid data: LogicalGroupSizeInSectors 0"},
      {"RangeCount 1\nStartingPSN 3 0\n", "Invalid data: StartingPSN 3 0"},
      {"RangeCount 1\nLogicalGroupSizeInSectors 1\nLogicalExtentCount 1\nLE 0 1 XOR(5:0)\n",
       "Invalid data: LE 0 1 XOR(5:0)"},
      {"RangeCount 1\nLogicalExtentCount 4000000000\n", "Invalid data: LogicalExtentCount 4000000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(Load(c.text), c.error) << c.text;
  // A last range without "RangeStart" loads when the file ends; start and
  // size stay 0.
  EXPECT_EQ(Load("RangeCount 1\nLogicalGroupSizeInSectors 1\nLogicalExtentCount 1\nLE 0 1 XOR(0:0)\n"), "ok");
  EXPECT_EQ(sectors, 0u);
}

TEST_F(SchemaTest, Operations) {
  RaidExtent e;
  int highest = -1;
  ASSERT_EQ(RDrive::ParseRaidOperation(&e, "Q(0:0:P,1:0:Q,2:8:3,M:0:1,M2:0:7)", &highest), 1);
  EXPECT_EQ(e.op, kRaidOpQ2);
  EXPECT_EQ(e.gx, 1);
  EXPECT_EQ(e.gy, 7);
  ASSERT_EQ(e.items.size(), 3u);
  EXPECT_EQ(e.items[0].coefficient, 0);
  EXPECT_EQ(e.items[1].coefficient, -1);
  EXPECT_EQ(e.items[2].offset, 8u);
  EXPECT_EQ(highest, 2);
  ASSERT_EQ(RDrive::ParseRaidOperation(&e, "Q(0:0:p,1:0:q,m1:0:3)", nullptr), 1);
  EXPECT_EQ(e.op, kRaidOpQ1);
  EXPECT_EQ(RDrive::ParseRaidOperation(&e, "Q(0:0:P,M3:0:1)", nullptr), 0);
  EXPECT_EQ(RDrive::ParseRaidOperation(&e, "Q(0:0)", nullptr), 0);
  ASSERT_EQ(RDrive::ParseRaidOperation(&e, "ZERO", nullptr), 1);
  EXPECT_EQ(e.op, kRaidOpZero);
  ASSERT_EQ(RDrive::ParseRaidOperation(&e, "XOR,BAD,BAD(3:1:9)", &highest), 1);
  EXPECT_EQ(highest, 3);
  std::string items = "XOR(";
  for (int i = 0; i < 66; ++i) items += (i ? "," : "") + std::to_string(i) + ":0";
  EXPECT_EQ(RDrive::ParseRaidOperation(&e, items + ")", nullptr), 0);  // 66 items
  WriteFileText(dir + "/c.txt", "LE 0 1 XOR(0:0,4:0)\n; LE 0 1 XOR(9:0)\nLE 1 1 Q(0:0:P,6:0:Q,M:0:1)\n");
  EXPECT_EQ(RDrive::CountSchemaMembers(FromUtf8(dir + "/c.txt")), 7);
  WriteFileText(dir + "/c.txt", "LE 0 1 XOR(0:0)\nLE 1 1 BAD\n");
  EXPECT_EQ(RDrive::CountSchemaMembers(FromUtf8(dir + "/c.txt")), 0);
}

}  // namespace
