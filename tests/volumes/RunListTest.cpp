#include "volumes/RunList.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "tests/volumes/ExtImage.h"
#include "volumes/Extents.h"
#include "volumes/Node.h"
#include "volumes/Streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A counted list from bare pairs.
struct List {
  RunList p = nullptr;
  explicit List(const Bytes& pairs) : p(NewRunList(pairs.data(), pairs.size())) {}
  explicit List(RunList adopt) : p(adopt) {}
  ~List() { FreeRunList(p); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  Bytes Pairs() const { return p ? Bytes(p + 4, p + 4 + RunListBytes(p)) : Bytes(); }
};

struct Span {
  int64_t start;  // absolute, counted from 0 in the list
  uint32_t length;
  bool hole;
  bool operator==(const Span& o) const { return start == o.start && length == o.length && hole == o.hole; }
};

std::ostream& operator<<(std::ostream& os, const Span& r) {
  return os << "{" << r.start << "," << r.length << (r.hole ? ",hole}" : "}");
}

// Every run of a list; *result = the last ReadNextRun value.
std::vector<Span> Decode(const uint8_t* list, int* result = nullptr) {
  std::vector<Span> runs;
  uint32_t pos = 0;
  int64_t delta, lcn = 0;
  uint32_t length;
  int r;
  while ((r = ReadNextRun(&delta, &length, list, &pos)) == 1) {
    lcn += delta;
    runs.push_back({lcn, length, delta == 0});
  }
  if (result) *result = r;
  return runs;
}

// ---------------------------------------------------------------- decoder

struct DecodeCase {
  const char* what;
  Bytes pairs;
  int result;
  int64_t delta;
  uint32_t length;
  uint32_t position;  // after the call
};

TEST(RunList, ReadNextRunCases) {
  const DecodeCase cases[] = {
      {"one-byte offset", {0x11, 0x30, 0x60}, 1, 96, 48, 3},
      {"two-byte offset", {0x21, 0x10, 0x00, 0x01}, 1, 256, 16, 4},
      {"negative offset", {0x11, 0x05, 0xF0}, 1, -16, 5, 3},
      {"hole is 0, not -1", {0x01, 0x80}, 1, 0, 128, 2},
      {"4-byte length", {0x14, 0x78, 0x56, 0x34, 0x12, 0x01}, 1, 1, 0x12345678, 6},
      {"8-byte offset, no sign extension", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 1, INT64_MAX, 1,
       10},
      {"8-byte offset, negative", {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80}, 1, INT64_MIN, 1, 10},
      {"terminator", {0x00, 0x11, 0x01, 0x01}, 0, 0, 0, 0},
      {"empty", {}, 0, 0, 0, 0},
      {"one byte", {0x11}, 0, 0, 0, 0},
      {"length field of 0 bytes", {0x10, 0x05, 0x00}, -1, 0, 0, 0},
      {"pair past the end", {0x21, 0x10, 0x00}, -1, 0, 0, 0},
      // Offsets of 9 to 15 bytes have no 64-bit meaning: refused.
      {"9-byte offset", {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9}, -1, 0, 0, 0},
      {"15-byte offset", {0xF1, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, -1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    List list(c.pairs);
    int64_t delta = 0;
    uint32_t length = 0, pos = 0;
    EXPECT_EQ(ReadNextRun(&delta, &length, list.p, &pos), c.result);
    if (c.result == 1) {
      EXPECT_EQ(delta, c.delta);
      EXPECT_EQ(length, c.length);
    }
    EXPECT_EQ(pos, c.position);
  }
}

TEST(RunList, LengthOfLengthTooLarge) {
  GlobalObjectsScope scope;
  // Header 0x15: five length bytes and one offset byte. With all six bytes
  // there the pair is refused with a message; with fewer, silently.
  ErrorMsg(u"before");
  {
    List list(Bytes{0x15, 1, 2, 3, 4, 5, 6});
    uint32_t pos = 0;
    int64_t d;
    uint32_t l;
    EXPECT_EQ(ReadNextRun(&d, &l, list.p, &pos), -1);
    EXPECT_EQ(LastErrorText(), u"Length of length in runs is too large: 5.");
  }
  ErrorMsg(u"before");
  {
    List list(Bytes{0x15, 1, 2, 3, 4, 5});
    uint32_t pos = 0;
    int64_t d;
    uint32_t l;
    EXPECT_EQ(ReadNextRun(&d, &l, list.p, &pos), -1);
    EXPECT_EQ(LastErrorText(), u"before");
  }
  uint32_t pos = 0;
  EXPECT_EQ(ReadNextRun(nullptr, nullptr, nullptr, &pos), -1);
}

TEST(RunList, Summaries) {
  // 48 at 96, hole of 16, 8 at 96 - 16 = 80, 4 at 80 + 256 = 336.
  List list(Bytes{0x11, 0x30, 0x60, 0x01, 0x10, 0x11, 0x08, 0xF0, 0x21, 0x04, 0x00, 0x01});
  int64_t first = 0;
  EXPECT_EQ(GetClusterCount(list.p, &first), 48 + 16 + 8 + 4);
  EXPECT_EQ(first, 96);
  EXPECT_EQ(GetLastRunLCN(list.p), 336);
  EXPECT_EQ(GetLargestLCN2(list.p), 340);

  List holesOnly(Bytes{0x01, 0x10});
  EXPECT_EQ(GetLargestLCN2(holesOnly.p), -1);
  List empty(Bytes{});
  EXPECT_EQ(GetClusterCount(empty.p, &first), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(GetLastRunLCN(empty.p), 0);
  EXPECT_EQ(GetLargestLCN2(empty.p), -1);
  // A bad pair: the count is unknown; the last LCN stops before it.
  List bad(Bytes{0x11, 0x30, 0x60, 0x10, 0x01, 0x01});
  EXPECT_EQ(GetClusterCount(bad.p), -1);
  EXPECT_EQ(GetLastRunLCN(bad.p), 96);
}

// ---------------------------------------------------------------- parseRuns

// A non-resident attribute header of `length` bytes with pairs at 64.
Bytes Attribute(const Bytes& pairs, size_t length = 0, uint16_t pairsAt = 64) {
  if (length == 0) length = (64 + pairs.size() + 7) & ~size_t(7);
  Bytes a(std::max<size_t>(length, 64 + pairs.size()), 0);
  PutLittleEndian(a.data(), 0x80, 4);
  PutLittleEndian(a.data() + 4, uint32_t(length), 4);
  a[8] = 1;
  PutLittleEndian(a.data() + 32, pairsAt, 2);
  PutLittleEndian64(a.data() + 40, 0x5000, 8);
  PutLittleEndian64(a.data() + 48, 0x4321, 8);
  PutLittleEndian64(a.data() + 56, 0x4000, 8);
  std::copy(pairs.begin(), pairs.end(), a.begin() + 64);
  return a;
}

struct Reports {
  std::vector<std::u16string> texts;
  static void Add(void* self, const char16_t* text) { static_cast<Reports*>(self)->texts.push_back(text); }
};

TEST(RunList, ParseRunsKeepsPairsWithoutTerminator) {
  Bytes a = Attribute({0x11, 0x02, 0x40, 0x01, 0x03, 0x00, 0xAA, 0xBB});
  ParsedRuns out;
  Reports reports;
  ASSERT_EQ(parseRuns(a.data(), a.size(), &out, &Reports::Add, &reports), 0);
  List list(out.list);
  EXPECT_EQ(list.Pairs(), (Bytes{0x11, 0x02, 0x40, 0x01, 0x03}));
  EXPECT_EQ(out.clusterCount, 5u);
  EXPECT_EQ(out.allocatedSize, 0x5000u);
  EXPECT_EQ(out.realSize, 0x4321u);
  EXPECT_EQ(out.initializedSize, 0x4000u);
  EXPECT_TRUE(reports.texts.empty());
}

TEST(RunList, ParseRunsFailures) {
  struct Case {
    const char* what;
    Bytes attribute;
    int result;
    bool list;
    const char16_t* report;
  };
  Bytes cut = Attribute({0x11, 0x02, 0x40, 0x31, 0x01, 0x01}, 70);
  Bytes shortHeader = Attribute({}, 48);
  Bytes tiny = Attribute({}, 15);
  Bytes oddPairs = Attribute({0x11, 0x01, 0x01}, 72, 65);
  Bytes pairsPastEnd = Attribute({0x11, 0x01, 0x01}, 72, 72);
  const Case cases[] = {
      {"offset field of 6 bytes", Attribute({0x61, 0x01, 1, 2, 3, 4, 5, 6}), -1, true, u"Offset or length invalid 61"},
      {"length field of 5 bytes", Attribute({0x15, 1, 2, 3, 4, 5, 6}), -1, true, u"Offset or length invalid 15"},
      {"length field of 0 bytes", Attribute({0x10, 0x01}), -1, true, u"Offset or length invalid 10"},
      {"pair cut by the attribute end", cut, 0, true, u"Invalid run exceeding attribute length."},
      {"attribute below 56 bytes", shortHeader, 0, false, nullptr},
      {"attribute of 15 bytes", tiny, -1, false, nullptr},
      {"pairs offset not a multiple of 8", oddPairs, -1, false, nullptr},
      {"pairs offset at the end", pairsPastEnd, -1, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ParsedRuns out;
    Reports reports;
    EXPECT_EQ(parseRuns(c.attribute.data(), c.attribute.size(), &out, &Reports::Add, &reports), c.result);
    EXPECT_EQ(out.list != nullptr, c.list);
    if (c.report) {
      ASSERT_EQ(reports.texts.size(), 1u);
      EXPECT_EQ(reports.texts[0], c.report);
    } else {
      EXPECT_TRUE(reports.texts.empty());
    }
    FreeRunList(out.list);
  }
  // The cut pair is not kept, the one before it is.
  ParsedRuns out;
  ASSERT_EQ(parseRuns(cut.data(), cut.size(), &out), 0);
  List list(out.list);
  EXPECT_EQ(list.Pairs(), (Bytes{0x11, 0x02, 0x40}));
  EXPECT_EQ(out.clusterCount, 2u);
  // A header that claims more than the caller holds is read only as far as
  // the bytes go.
  Bytes claims = Attribute({0x11, 0x02, 0x40}, 4000);
  claims.resize(80);
  ParsedRuns out2;
  ASSERT_EQ(parseRuns(claims.data(), claims.size(), &out2), 0);
  List list2(out2.list);
  EXPECT_EQ(list2.Pairs(), (Bytes{0x11, 0x02, 0x40}));
}

// ---------------------------------------------------------------- encoder

TEST(RunList, SignedAndUnsignedWidths) {
  const std::pair<int64_t, Bytes> cases[] = {
      {0x80, {0x80, 0x00}}, {-128, {0x80}},         {-129, {0x7F, 0xFF}},
      {-1, {0xFF}},         {0x7F, {0x7F}},         {0x1234, {0x34, 0x12}},
      {INT64_MIN, {0, 0, 0, 0, 0, 0, 0, 0x80}},     {INT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto& [start, bytes] : cases) {
    SCOPED_TRACE(start);
    List list(MakeRuns(start, 1));
    Bytes expected{uint8_t(bytes.size() << 4 | 1), 0x01};
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    EXPECT_EQ(list.Pairs(), expected);
    EXPECT_EQ(Decode(list.p), (std::vector<Span>{{start, 1, false}}));
  }
  EXPECT_EQ(UnsignedBytes(0), 0);
  EXPECT_EQ(UnsignedBytes(0xFF), 1);
  EXPECT_EQ(UnsignedBytes(0x100), 2);
  EXPECT_EQ(UnsignedBytes(UINT64_MAX), 8);
  EXPECT_EQ(SignedBytes(0), 0);
  // Lengths as NTFS drivers write them: the last byte's top bit stays clear
  // (ntfs-3g refuses a "negative" length), except past 2^31, where 4 bytes
  // are the most a pair holds.
  const std::pair<uint64_t, Bytes> lengths[] = {
      {0x7F, {0x7F}},
      {0x80, {0x80, 0x00}},
      {254, {0xFE, 0x00}},
      {0x7FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
      {0x80000000u, {0x00, 0x00, 0x00, 0x80}},
      {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [length, bytes] : lengths) {
    SCOPED_TRACE(length);
    List list(MakeRuns(5, length));
    Bytes expected{uint8_t(0x10 | bytes.size())};
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    expected.push_back(0x05);
    EXPECT_EQ(list.Pairs(), expected);
    EXPECT_EQ(Decode(list.p), (std::vector<Span>{{5, uint32_t(length), false}}));
  }
  // One run: start 0 writes no offset byte (a hole); length 0 is no run.
  List zero(MakeRuns(0, 0x80));
  EXPECT_EQ(zero.Pairs(), (Bytes{0x02, 0x80, 0x00}));
  List none(MakeRuns(100, 0));
  ASSERT_NE(none.p, nullptr);
  EXPECT_EQ(RunListBytes(none.p), 0u);
  EXPECT_EQ(MakeRuns(100, uint64_t(1) << 32), nullptr);
}

TEST(RunList, EncoderThirteenBytePairs) {
  // Differences beyond 2^55 (corrupt block numbers) take 8 offset bytes;
  // with 4 length bytes every pair is 13 bytes. Thousands of them, each
  // written where the buffer ends.
  RunListEncoder enc;
  std::vector<Span> expected;
  int64_t starts[] = {-(int64_t(1) << 61), int64_t(1) << 61};
  for (int i = 0; i < 5000; ++i) {
    int64_t start = starts[i % 2] + i;
    ASSERT_GE(enc.AddRun(start, 0xFFFFFFF0u + (i % 7)), 0);
    expected.push_back({start, 0xFFFFFFF0u + (i % 7), false});
  }
  EXPECT_EQ(enc.Used(), 5000u * 13);
  List list(enc.Export());
  ASSERT_NE(list.p, nullptr);
  int result = 0;
  EXPECT_EQ(Decode(list.p, &result), expected);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(enc.RunCount(), 5000u);
  EXPECT_EQ(enc.TotalClusters(), [&] {
    uint64_t t = 0;
    for (auto& r : expected) t += r.length;
    return t;
  }());
}

TEST(RunList, EncoderRefusesOverflowingDifference) {
  RunListEncoder enc;
  EXPECT_EQ(enc.AddRun(INT64_MIN + 5, 1), 1);
  // INT64_MAX - (INT64_MIN + 5) does not fit 64 bits: refused, nothing added.
  EXPECT_EQ(enc.AddRun(INT64_MAX, 1), -1);
  EXPECT_EQ(enc.RunCount(), 1u);
  EXPECT_EQ(enc.Used(), 10u);
  List list(enc.Export());
  EXPECT_EQ(Decode(list.p), (std::vector<Span>{{INT64_MIN + 5, 1, false}}));
}

TEST(RunList, EncoderDuplicatesReportedOnce) {
  RunListEncoder enc;
  EXPECT_EQ(enc.AddRun(100, 10), 1);
  EXPECT_EQ(enc.AddRun(200, 5), 1);
  EXPECT_EQ(enc.AddRun(100, 10), 0);  // the first run again
  EXPECT_EQ(enc.AddRun(200, 5), 1);   // no more checking
  EXPECT_EQ(enc.AddRun(100, 10), 1);
  // A run of no clusters is no pair.
  EXPECT_EQ(enc.AddRun(300, 0), 1);
  EXPECT_EQ(enc.RunCount(), 5u);
  List list(enc.Export());
  EXPECT_EQ(Decode(list.p), (std::vector<Span>{{100, 10, false},
                                               {200, 5, false},
                                               {100, 10, false},
                                               {200, 5, false},
                                               {100, 10, false}}));
}

TEST(RunList, EncoderGaps) {
  struct Case {
    const char* what;
    uint64_t nextStart;
    std::vector<Span> expected;
  };
  // After a run 100-109 the virtual clusters 10-29 are missing.
  const Case cases[] = {
      {"next start below the end: all contiguous", 50, {{100, 10, false}, {110, 20, false}}},
      {"next start at the end: all hole", 110, {{100, 10, false}, {100, 20, true}}},
      {"next start 5 past the end: 5 follow, the rest a hole", 115,
       {{100, 10, false}, {110, 5, false}, {110, 15, true}}},
      {"next start far: all contiguous", 1000, {{100, 10, false}, {110, 20, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunListEncoder enc;
    enc.AddRun(100, 10);
    EXPECT_EQ(enc.AddGap(30, c.nextStart), 1);
    EXPECT_EQ(enc.TotalClusters(), 30u);
    List list(enc.Export());
    EXPECT_EQ(Decode(list.p), c.expected);
    // A run after the gap is placed from its true start.
    EXPECT_EQ(enc.AddRun(500, 1), 1);
    List after(enc.Export());
    EXPECT_EQ(Decode(after.p).back(), (Span{500, 1, false}));
  }
  RunListEncoder enc;
  enc.AddRun(100, 10);
  EXPECT_EQ(enc.AddGap(5, 0), 1);  // nothing missing
  EXPECT_EQ(enc.RunCount(), 1u);
}

TEST(RunList, ExportBuffer) {
  RunListEncoder enc;
  EXPECT_EQ(enc.Export(), nullptr);
  enc.AddRun(0x30, 0x10);
  uint8_t small[6];
  EXPECT_EQ(enc.Export(small, sizeof small), nullptr);
  uint8_t exact[7];
  ASSERT_EQ(enc.Export(exact, sizeof exact), exact);
  EXPECT_EQ(Bytes(exact, exact + 7), (Bytes{3, 0, 0, 0, 0x11, 0x10, 0x30}));
}

TEST(RunList, EncoderGrowsForManyRuns) {
  RunListEncoder enc;
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(enc.AddRun(int64_t(i) * 3 + 7, 2), 1);
  List list(enc.Export());
  auto runs = Decode(list.p);
  ASSERT_EQ(runs.size(), 100000u);
  EXPECT_EQ(runs[99999], (Span{99999 * 3 + 7, 2, false}));
}

// ---------------------------------------------------------------- merging

TEST(RunList, MergeMappingPairs) {
  struct Case {
    const char* what;
    Bytes first, second;
    std::vector<Span> expected;  // absolute, counted from the merged list's 0
  };
  const Case cases[] = {
      // Both lists count from 0: 200 in the second list is cluster 200, not
      // 100 + 200.
      {"data after data", {0x11, 0x0A, 0x64}, {0x11, 0x05, 0x32, 0x11, 0x02, 0x0A},
       {{100, 10, false}, {50, 5, false}, {60, 2, false}}},
      {"leading hole stays a hole", {0x11, 0x0A, 0x64}, {0x01, 0x04, 0x21, 0x03, 0x2C, 0x01},
       {{100, 10, false}, {100, 4, true}, {300, 3, false}}},
      {"terminator of the first dropped", {0x11, 0x0A, 0x64, 0x00}, {0x11, 0x05, 0x7F},
       {{100, 10, false}, {127, 5, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunList first = NewRunList(c.first.data(), c.first.size());
    RunList second = NewRunList(c.second.data(), c.second.size());
    ASSERT_TRUE(MergeMappingPairs(&first, &second));
    EXPECT_EQ(second, nullptr);
    int result = 0;
    EXPECT_EQ(Decode(first, &result), c.expected);
    EXPECT_EQ(result, 0);
    FreeRunList(first);
  }
  // An empty first adopts the second; a second of one byte changes nothing.
  RunList first = NewRunList(nullptr, 0);
  RunList second = MakeRuns(7, 3);
  const uint8_t* adopted = second;
  ASSERT_TRUE(MergeMappingPairs(&first, &second));
  EXPECT_EQ(first, adopted);
  EXPECT_EQ(second, nullptr);
  uint8_t one[] = {0x11};
  second = NewRunList(one, 1);
  ASSERT_TRUE(MergeMappingPairs(&first, &second));
  EXPECT_EQ(Decode(first), (std::vector<Span>{{7, 3, false}}));
  FreeRunList(&second);
  // A second that does not decode leaves both as they were.
  uint8_t bad[] = {0x21, 0x01, 0x02};
  second = NewRunList(bad, sizeof bad);
  EXPECT_FALSE(MergeMappingPairs(&first, &second));
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(Decode(first), (std::vector<Span>{{7, 3, false}}));
  FreeRunList(&second);
  FreeRunList(&first);
}

// ---------------------------------------------------------------- run arrays

TEST(RunList, RunArrays) {
  EXPECT_TRUE(ValidateRuns(nullptr, 0, 100));
  RunArray good{{0, 10, 20}, {10, 50, 55}, {20, 90, 100}};
  EXPECT_TRUE(ValidateRuns(good.data(), good.size(), 100));
  EXPECT_FALSE(ValidateRuns(good.data(), good.size(), 99));  // ends past the volume
  RunArray overlap{{0, 10, 20}, {5, 50, 55}};
  EXPECT_FALSE(ValidateRuns(overlap.data(), overlap.size(), 100));

  RunArray mixed{{0, 10, 20}, {5, 30, 31}, {10, 40, 45}, {15, 98, 120}, {20, 60, 70}};
  EXPECT_EQ(PruneRuns(mixed, 100), 3u);
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_EQ(mixed[0].lcn, 10u);
  EXPECT_EQ(mixed[1].lcn, 40u);
  EXPECT_EQ(mixed[2].lcn, 60u);
  EXPECT_TRUE(ValidateRuns(mixed.data(), mixed.size(), 100));

  RunArray holder;
  RunArray added{{0, 1, 2}};
  ASSERT_TRUE(AppendRuns(holder, added));
  EXPECT_EQ(holder.size(), 1u);
  EXPECT_TRUE(added.empty());
  RunArray more{{1, 5, 6}, {2, 7, 9}};
  ASSERT_TRUE(AppendRuns(holder, more));
  EXPECT_EQ(holder.size(), 3u);
  EXPECT_TRUE(more.empty());
  EXPECT_EQ(holder[2].lcnEnd, 9u);
}

// ---------------------------------------------------------------- nodes

TEST(RunList, NodeCountsOverPieces) {
  snode node;
  EXPECT_EQ(GetClusterCountAll(&node), 0);
  EXPECT_EQ(GetLargestLCN(&node), -1);
  node.runs = MakeRuns(1000, 8);
  EXPECT_EQ(GetClusterCountAll(&node), 8);
  EXPECT_EQ(GetLargestLCN(&node), 1008);
  FreeRunList(&node.runs);

  // Two pieces, each counting from cluster 0.
  auto* a = new XEntry();
  a->runs = MakeRuns(5000, 10);
  auto* b = new XEntry();
  b->runs = MakeRuns(300, 4);
  a->Add(b);
  node.runs = reinterpret_cast<uint8_t*>(a);
  node.flags |= kNodeStreams;
  EXPECT_EQ(GetClusterCountAll(&node), 14);
  EXPECT_EQ(GetLargestLCN(&node), 5010);
  // A piece whose record was not found: the count is unknown (and FindExt
  // must not divide by it).
  auto* c = new XEntry();
  a->Add(c);
  EXPECT_EQ(GetClusterCountAll(&node), -1);
  EXPECT_EQ(GetLargestLCN(&node), 5010);
  c->runs = NewRunList(reinterpret_cast<const uint8_t*>("\x21\x01"), 2);  // does not decode
  EXPECT_EQ(GetClusterCountAll(&node), -1);
  EXPECT_EQ(GetClusterCountAll(static_cast<const cnode*>(nullptr)), -1);
}

// ---------------------------------------------------------------- real NTFS data

// Reads file records from an NTFS image: enough to take the $DATA
// attributes ntfs-3g wrote and hand them to parseRuns.
class NtfsImage {
 public:
  bool Open(const std::string& path) {
    image_ = fixtures::ReadAll(path);
    if (image_.size() < 512) return false;
    const uint32_t bytesPerSector = GetLittleEndian(&image_[11], 2);
    clusterSize_ = bytesPerSector * image_[13];
    const int8_t perRecord = int8_t(image_[64]);
    recordSize_ = perRecord < 0 ? 1u << -perRecord : uint32_t(perRecord) * clusterSize_;
    const uint64_t mftLcn = uint64_t(GetSignedLittleEndian(&image_[48], 8));
    mft_.SetClusterSize(clusterSize_);
    Bytes record;
    if (!ReadAt(mftLcn * clusterSize_, &record)) return false;
    auto data = DataAttributes(record);
    if (data.empty()) return false;
    ParsedRuns runs;
    if (parseRuns(data[0].data(), data[0].size(), &runs) != 0) return false;
    const bool ok = mft_.BuildVCNMappingTable(runs.list) > 0;
    FreeRunList(runs.list);
    return ok;
  }

  uint32_t ClusterSize() const { return clusterSize_; }

  bool ReadRecord(uint64_t number, Bytes* record) {
    const uint64_t byte = number * recordSize_;
    uint64_t left = 0;
    const uint64_t lcn = mft_.VcnToLcn(byte / clusterSize_, &left);
    if (left == 0) return false;
    return ReadAt(lcn * clusterSize_ + byte % clusterSize_, record);
  }

  // The unnamed non-resident $DATA attributes of a record.
  static std::vector<Bytes> DataAttributes(const Bytes& record) {
    std::vector<Bytes> out;
    size_t at = GetLittleEndian(&record[20], 2);
    while (at + 16 <= record.size()) {
      const uint32_t type = GetLittleEndian(&record[at], 4);
      const uint32_t length = GetLittleEndian(&record[at + 4], 4);
      if (type == 0xFFFFFFFF || length < 16 || at + length > record.size()) break;
      if (type == 0x80 && record[at + 8] == 1 && record[at + 9] == 0)
        out.emplace_back(record.begin() + long(at), record.begin() + long(at + length));
      at += length;
    }
    return out;
  }

 private:
  // One record with its update sequence applied.
  bool ReadAt(uint64_t offset, Bytes* record) {
    if (offset + recordSize_ > image_.size()) return false;
    record->assign(image_.begin() + long(offset), image_.begin() + long(offset + recordSize_));
    Bytes& r = *record;
    if (std::memcmp(r.data(), "FILE", 4) != 0) return false;
    const uint32_t usa = GetLittleEndian(&r[4], 2), count = GetLittleEndian(&r[6], 2);
    for (uint32_t i = 1; i < count && usa + 2 * i + 1 < r.size(); ++i) {
      const size_t end = size_t(i) * 512 - 2;
      if (end + 1 >= r.size()) break;
      if (r[end] != r[usa] || r[end + 1] != r[usa + 1]) return false;
      r[end] = r[usa + 2 * i];
      r[end + 1] = r[usa + 2 * i + 1];
    }
    return true;
  }

  Bytes image_;
  uint32_t clusterSize_ = 0, recordSize_ = 0;
  CExtents mft_;
};

// One $DATA piece as ntfsinfo -v prints it.
struct InfoPiece {
  uint64_t record = 0;
  uint64_t lowestVcn = 0;
  uint64_t highestVcn = 0;
  std::vector<Span> runs;  // start = the LCN printed, or the previous one for a hole
};

std::vector<InfoPiece> ParseNtfsinfo(const std::string& text) {
  std::vector<InfoPiece> pieces;
  std::istringstream in(text);
  std::string line;
  bool inData = false;
  const std::regex dump(R"(Dumping attribute (\S+) \(0x[0-9a-f]+\) from mft record (\d+))");
  const std::regex lowest(R"(Lowest VCN\s+(\d+))");
  const std::regex highest(R"(Highest VCN:\s+(\d+))");
  const std::regex run(R"(^\s+0x([0-9a-f]+)\s+(0x[0-9a-f]+|<HOLE>)\s+0x([0-9a-f]+)\s*$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, dump)) {
      inData = m[1] == "$DATA";
      if (inData) pieces.push_back({std::stoull(m[2]), 0, 0, {}});
    } else if (!inData) {
      continue;
    } else if (std::regex_search(line, m, lowest)) {
      pieces.back().lowestVcn = std::stoull(m[1]);
    } else if (std::regex_search(line, m, highest)) {
      pieces.back().highestVcn = std::stoull(m[1]);
    } else if (std::regex_search(line, m, run)) {
      auto& runs = pieces.back().runs;
      const bool hole = m[2] == "<HOLE>";
      const int64_t start = hole ? (runs.empty() ? 0 : runs.back().start) : int64_t(std::stoull(m[2], nullptr, 16));
      runs.push_back({start, uint32_t(std::stoul(m[3], nullptr, 16)), hole});
    }
  }
  return pieces;
}

// The cluster list istat prints for the $DATA attribute (0 for holes).
std::vector<uint64_t> ParseIstatClusters(const std::string& text) {
  std::vector<uint64_t> clusters;
  std::istringstream in(text);
  std::string line;
  bool inData = false;
  while (std::getline(in, line)) {
    if (line.rfind("Type: ", 0) == 0) {
      inData = line.rfind("Type: $DATA (128-", 0) == 0;
      continue;
    }
    if (!inData) continue;
    std::istringstream words(line);
    uint64_t v;
    while (words >> v) clusters.push_back(v);
  }
  return clusters;
}

struct NtfsFixture {
  std::string folder;
  std::map<std::string, std::pair<std::string, uint64_t>> files;  // name -> image, inode
};

// 77: a tool, root or FUSE is missing.
int MakeNtfsRuns(NtfsFixture* fx) {
  fx->folder = FixtureCache();
  const int status = RunFixtureScript("make_ntfs_runs.sh", fx->folder);
  if (status != 0) return status;
  std::istringstream in(ReadFileText(fx->folder + "/ntfs-runs.files.txt"));
  std::string name, image;
  uint64_t inode;
  while (in >> name >> image >> inode) fx->files[name] = {image, inode};
  return 0;
}

class NtfsRuns : public testing::TestWithParam<const char*> {};

// Every $DATA piece of the file: its pairs decode to what ntfsinfo prints,
// encode back to ntfs-3g's very bytes, and the pieces together map every
// cluster to what istat lists.
TEST_P(NtfsRuns, DecodeAndEncodeAsNtfs3g) {
  NtfsFixture fx;
  const int rc = MakeNtfsRuns(&fx);
  if (rc == 77) GTEST_SKIP() << "ntfs-3g, sleuthkit, root or FUSE missing";
  ASSERT_EQ(rc, 0);
  const std::string name = GetParam();
  ASSERT_TRUE(fx.files.count(name));
  NtfsImage image;
  ASSERT_TRUE(image.Open(fx.folder + "/" + fx.files[name].first));
  const auto info = ParseNtfsinfo(ReadFileText(fx.folder + "/ntfs-runs." + name + ".ntfsinfo.txt"));
  ASSERT_FALSE(info.empty());
  if (name == std::string("attrlist")) {
    ASSERT_GE(info.size(), 2u);
  }

  CExtents table;
  table.SetClusterSize(image.ClusterSize());
  RunList merged = nullptr;
  XEntry* chain = nullptr;
  int64_t clusters = 0;
  uint64_t realSize = 0;
  for (const InfoPiece& piece : info) {
    SCOPED_TRACE("record " + std::to_string(piece.record));
    Bytes record;
    ASSERT_TRUE(image.ReadRecord(piece.record, &record));
    auto attributes = NtfsImage::DataAttributes(record);
    ASSERT_EQ(attributes.size(), 1u);
    const Bytes& attr = attributes[0];
    ParsedRuns parsed;
    ASSERT_EQ(parseRuns(attr.data(), attr.size(), &parsed), 0);
    List list(parsed.list);
    if (piece.lowestVcn == 0) realSize = parsed.realSize;

    // Decoded runs equal ntfsinfo's (holes keep the previous start).
    int result = 0;
    EXPECT_EQ(Decode(list.p, &result), piece.runs);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(parsed.clusterCount, piece.highestVcn - piece.lowestVcn + 1);

    // Re-encoding gives ntfs-3g's bytes.
    RunListEncoder enc;
    for (const Span& r : piece.runs) ASSERT_GE(enc.AddRun(r.start, r.length), 0);
    List encoded(enc.Export());
    const size_t pairsAt = GetLittleEndian(&attr[32], 2);
    Bytes written(attr.begin() + long(pairsAt), attr.begin() + long(pairsAt + RunListBytes(list.p)));
    EXPECT_EQ(encoded.Pairs(), written);
    EXPECT_EQ(attr[pairsAt + RunListBytes(list.p)], 0) << "ntfs-3g ends the pairs with a 0";

    // Pieces go into one table one after the other.
    EXPECT_EQ(table.TotalClusters(), piece.lowestVcn);
    EXPECT_EQ(table.BuildVCNMappingTable(list.p), int64_t(parsed.clusterCount));
    clusters += int64_t(parsed.clusterCount);

    RunList copy = CopyRunList(list.p);
    ASSERT_TRUE(MergeMappingPairs(&merged, &copy));
    FreeRunList(copy);
    auto* e = new XEntry();
    e->runs = CopyRunList(list.p);
    e->firstVcn = piece.lowestVcn;
    e->lastVcn = piece.highestVcn;
    if (chain) chain->Add(e);
    else chain = e;
  }

  // The table maps every virtual cluster as istat lists it.
  const auto listed = ParseIstatClusters(ReadFileText(fx.folder + "/ntfs-runs." + name + ".istat.txt"));
  // istat lists the clusters of the data size (a compressed file's last
  // unit is allocated further).
  ASSERT_EQ(listed.size(), (realSize + image.ClusterSize() - 1) / image.ClusterSize());
  ASSERT_LE(listed.size(), table.TotalClusters());
  size_t mismatches = 0;
  for (uint64_t vcn = 0; vcn < listed.size(); ++vcn) {
    uint64_t left = 0, next = 0;
    uint64_t lcn = table.VcnToLcn(vcn, &left, &next);
    const uint64_t got = left ? lcn : 0;
    if (got != listed[vcn] && mismatches++ < 5) {
      ADD_FAILURE() << "vcn " << vcn << ": " << got << " vs " << listed[vcn];
    }
    if (!left) {
      EXPECT_GT(next, 0u);
    }
  }
  EXPECT_EQ(mismatches, 0u);

  // The merged list (rebased once) gives the same absolute clusters.
  std::vector<Span> all;
  for (const auto& p : info) all.insert(all.end(), p.runs.begin(), p.runs.end());
  auto mergedRuns = Decode(merged);
  ASSERT_EQ(mergedRuns.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(mergedRuns[i].length, all[i].length) << i;
    EXPECT_EQ(mergedRuns[i].hole, all[i].hole) << i;
    if (!all[i].hole) {
      EXPECT_EQ(mergedRuns[i].start, all[i].start) << i;
    }
  }
  FreeRunList(merged);

  // The node-level walks over the pieces.
  snode node;
  node.flags |= kNodeStreams;
  node.runs = reinterpret_cast<uint8_t*>(chain);
  EXPECT_EQ(GetClusterCountAll(&node), clusters);
  int64_t largest = -1;
  for (const auto& r : all)
    if (!r.hole) largest = std::max(largest, r.start + int64_t(r.length));
  EXPECT_EQ(GetLargestLCN(&node), largest);
}

INSTANTIATE_TEST_SUITE_P(Files, NtfsRuns, testing::Values("sparse", "frag", "attrlist", "packed"));

}  // namespace
