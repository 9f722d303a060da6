#include "foundation/SectRanges.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace {

using Range = CSectRanges::Range;
using Ranges = std::vector<Range>;
using Pieces = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint64_t kMax = ~0ull;
constexpr uint64_t kNo = CSectRanges::kNoRange;

Pieces PiecesOf(const CSectRanges& s) {
  Pieces pieces;
  for (uint32_t i = 0; i < s.PieceCount(); ++i) pieces.emplace_back(s.PieceStarts()[i], s.PieceEnds()[i]);
  return pieces;
}

// The height an AVL tree of n nodes can reach at most.
int DepthBound(uint64_t n) { return int(std::floor(1.4405 * std::log2(double(n) + 2) - 0.3277)); }

// Ranges sorted, non-empty, never touching, counted right, tree balanced.
void ExpectWellFormed(const CSectRanges& s) {
  Ranges list = s.List();
  ASSERT_EQ(list.size(), s.Count());
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_LT(list[i].first, list[i].end) << i;
    if (i > 0) {
      ASSERT_LT(list[i - 1].end, list[i].first) << i;
    }
  }
  if (s.IsFlat()) {
    EXPECT_EQ(s.TreeDepth(), 0);
    EXPECT_EQ(s.Array(), list);
  } else {
    EXPECT_TRUE(s.CheckTree());
    EXPECT_LE(s.TreeDepth(), DepthBound(s.Count()));
  }
}

// ---------------------------------------------------------------- AddRange

struct AddCase {
  const char* name;
  Ranges adds;
  Ranges expected;
};

TEST(CSectRanges, MergesOverlappingAndTouchingRanges) {
  const AddCase cases[] = {
      {"touching on the right", {{10, 20}, {20, 30}}, {{10, 30}}},
      {"then a separate one", {{10, 20}, {20, 30}, {5, 8}}, {{5, 8}, {10, 30}}},
      {"touching on the left", {{10, 20}, {5, 10}}, {{5, 20}}},
      {"one short of touching", {{10, 20}, {21, 30}, {0, 9}}, {{0, 9}, {10, 20}, {21, 30}}},
      {"swallowing three", {{10, 20}, {30, 40}, {90, 120}, {0, 100}}, {{0, 120}}},
      {"bridging a gap", {{0, 10}, {20, 30}, {10, 20}}, {{0, 30}}},
      {"contained", {{0, 100}, {10, 20}, {0, 100}, {99, 100}}, {{0, 100}}},
      {"overlapping both ends", {{10, 20}, {30, 40}, {50, 60}, {15, 55}}, {{10, 60}}},
      {"reaching into the last", {{10, 20}, {30, 40}, {50, 60}, {25, 35}}, {{10, 20}, {25, 40}, {50, 60}}},
      {"empty and inverted ignored", {{5, 5}, {9, 3}, {kMax, 0}, {7, 8}}, {{7, 8}}},
      {"the ends of the space", {{0, 1}, {kMax - 1, kMax}, {1, 2}}, {{0, 2}, {kMax - 1, kMax}}},
      {"everything", {{5, 6}, {100, 200}, {0, kMax}}, {{0, kMax}}},
  };
  for (const AddCase& c : cases) {
    CSectRanges s;
    for (const Range& r : c.adds) s.AddRange(r.first, r.end);
    EXPECT_EQ(s.List(), c.expected) << c.name;
    EXPECT_EQ(s.Count(), c.expected.size()) << c.name;
    ExpectWellFormed(s);
    // The same in the flattened form, and in the reverse order of adding.
    s.MakeArrayFromTree();
    EXPECT_EQ(s.Array(), c.expected) << c.name;
    CSectRanges reversed;
    for (auto it = c.adds.rbegin(); it != c.adds.rend(); ++it) reversed.AddRange(it->first, it->end);
    EXPECT_EQ(reversed.List(), c.expected) << c.name << " reversed";
  }
}

TEST(CSectRanges, AddingToAFlatSetGoesBackToATree) {
  CSectRanges s;
  s.AddRange(10, 20);
  s.AddRange(40, 50);
  s.MakeArrayFromTree();
  ASSERT_TRUE(s.IsFlat());
  s.AddRange(20, 40);
  EXPECT_FALSE(s.IsFlat());
  EXPECT_EQ(s.List(), (Ranges{{10, 50}}));
  EXPECT_EQ(s.Count(), 1u);
}

// Sequential adds once made the tree a list; it stays balanced whatever the
// order (101 ascending ones were the point where a rebuild was due).
TEST(CSectRanges, StaysBalancedInAnyOrder) {
  for (uint64_t n : {101ull, 1000ull, 100000ull}) {
    std::vector<uint64_t> order(n);
    for (uint64_t i = 0; i < n; ++i) order[i] = i;
    for (int kind = 0; kind < 3; ++kind) {
      if (kind == 1) std::reverse(order.begin(), order.end());
      if (kind == 2) std::shuffle(order.begin(), order.end(), std::mt19937_64(n));
      CSectRanges s;
      for (uint64_t i : order) s.AddRange(i * 10, i * 10 + 5);
      ASSERT_EQ(s.Count(), n);
      EXPECT_LE(s.TreeDepth(), DepthBound(n)) << n << " kind " << kind;
      EXPECT_TRUE(s.CheckTree());
      if (n <= 1000) ExpectWellFormed(s);
      // Filling the gaps merges everything into one range, removing nodes
      // all over the tree.
      for (uint64_t k = 0; k < n; ++k) {
        s.AddRange(order[k] * 10 + 5, order[k] * 10 + 10);
        if (k % 4096 == 0) {
          ASSERT_TRUE(s.CheckTree()) << n << " kind " << kind << " step " << k;
        }
      }
      EXPECT_EQ(s.List(), (Ranges{{0, n * 10}}));
    }
  }
}

// ---------------------------------------------------------------- white list

struct WhiteCase {
  const char* name;
  Ranges ranges;
  uint64_t domainFirst, domainEnd;  // domainEnd 0: left unset
  uint64_t offset;
  uint32_t length;
  Pieces pieces;
};

TEST(CSectRanges, MakesTheWhiteListOfARequest) {
  const WhiteCase cases[] = {
      {"three gaps", {{100, 200}, {300, 400}}, 0, 1000, 50, 400, {{0, 50}, {150, 250}, {350, 400}}},
      {"inside a range", {{100, 200}, {300, 400}}, 0, 1000, 120, 50, {}},
      {"exactly a gap", {{100, 200}, {300, 400}}, 0, 1000, 200, 100, {{0, 100}}},
      {"no ranges, domain set", {}, 0, 1000, 900, 500, {{0, 100}}},
      {"no ranges, domain unset", {}, 0, 0, 900, 500, {{0, 500}}},
      // An unset domain is unbounded: the space after the last range reads.
      {"after the last, domain unset", {{100, 200}}, 0, 0, 150, 1000, {{50, 1000}}},
      // A domain that ends before the last range gives no inverted piece.
      {"domain below the last range", {{100, 200}, {300, 400}}, 0, 250, 0, 1000, {{0, 100}, {200, 250}}},
      {"request past the domain", {{100, 200}}, 0, 1000, 1000, 100, {}},
      {"domain start", {{100, 200}}, 50, 1000, 0, 300, {{50, 100}, {200, 300}}},
      {"empty domain is unset", {{100, 200}}, 500, 500, 0, 300, {{0, 100}, {200, 300}}},
      {"zero length", {{100, 200}}, 0, 0, 0, 0, {}},
      {"request at the end of the space", {{kMax - 10, kMax - 5}}, 0, 0, kMax - 20, 100, {{0, 10}, {15, 20}}},
  };
  for (const WhiteCase& c : cases) {
    CSectRanges s;
    for (const Range& r : c.ranges) s.AddRange(r.first, r.end);
    if (c.domainEnd != 0 || c.domainFirst != 0) s.SetDomain(c.domainFirst, c.domainEnd);
    EXPECT_EQ(s.MakeWhiteList(c.offset, c.length), c.pieces.size()) << c.name;
    EXPECT_EQ(PiecesOf(s), c.pieces) << c.name;
    EXPECT_TRUE(s.IsFlat()) << c.name;
  }
}

TEST(CSectRanges, RemembersTheLastReadableGap) {
  CSectRanges s;
  s.AddRange(100, 200);
  s.AddRange(300, 400);
  s.SetDomain(0, 1000);
  EXPECT_EQ(s.LastGapFirst(), 0u);
  EXPECT_EQ(s.LastGapEnd(), 0u);
  s.MakeWhiteList(50, 200);
  EXPECT_EQ(s.LastGapFirst(), 200u);
  EXPECT_EQ(s.LastGapEnd(), 300u);
  s.MakeWhiteList(350, 1000);
  EXPECT_EQ(s.LastGapFirst(), 400u);
  EXPECT_EQ(s.LastGapEnd(), 1000u);
  s.MakeWhiteList(150, 20);  // nothing readable: kept
  EXPECT_EQ(s.LastGapEnd(), 1000u);
}

// With more than 32 ranges the search may land before the first range: the
// walk then starts at the gap in front of it.
TEST(CSectRanges, WhiteListStartsAtTheFirstGapWithManyRanges) {
  CSectRanges s;
  for (uint64_t i = 0; i < 40; ++i) s.AddRange(1000 + i * 100, 1000 + i * 100 + 50);
  s.SetDomain(0, 100000);
  EXPECT_EQ(s.MakeWhiteList(0, 1200), 3u);
  EXPECT_EQ(PiecesOf(s), (Pieces{{0, 1000}, {1050, 1100}, {1150, 1200}}));
  EXPECT_EQ(s.MakeWhiteList(4000, 100), 1u);
  EXPECT_EQ(PiecesOf(s), (Pieces{{50, 100}}));
  EXPECT_EQ(s.MakeWhiteList(3940, 80), 1u);
  EXPECT_EQ(PiecesOf(s), (Pieces{{10, 60}}));
  EXPECT_EQ(s.MakeWhiteList(4940, 100), 1u);  // into the space after the last
  EXPECT_EQ(PiecesOf(s), (Pieces{{10, 100}}));
}

// ---------------------------------------------------------------- reading

TEST(CSectRanges, NextReadRangeOfAnEmptySetIsNone) {
  CSectRanges s;
  uint64_t first = 1, end = 1;
  s.GetNextReadRange(&first, &end, 0, 512);
  EXPECT_EQ(first, kNo);
  EXPECT_EQ(end, kNo);
  s.AddRange(0, 512);
  s.GetNextReadRange(&first, &end, 0, 0);  // no unit
  EXPECT_EQ(first, kNo);
  EXPECT_EQ(end, kNo);
  s.GetNextReadRange(nullptr, nullptr, 0, 512);
}

TEST(CSectRanges, NextReadRangeHoldsOrFollowsThePosition) {
  struct Case {
    uint64_t position;
    uint64_t first, end;
  };
  // Byte ranges of sectors [2, 4), [10, 11), [20, 30); asked in sectors.
  const Case cases[] = {{0, 2, 4},   {2, 2, 4},   {3, 2, 4},       {4, 10, 11},
                        {10, 10, 11}, {11, 20, 30}, {29, 20, 30},    {30, kNo, kNo}};
  for (const Case& c : cases) {
    CSectRanges s;
    s.AddRange(2 * 512, 4 * 512);
    s.AddRange(10 * 512, 11 * 512);
    s.AddRange(20 * 512, 30 * 512);
    uint64_t first = 0, end = 0;
    s.GetNextReadRange(&first, &end, c.position, 512);
    EXPECT_EQ(first, c.first) << c.position;
    EXPECT_EQ(end, c.end) << c.position;
  }
}

// The pass prunes what lies behind it, so it must read a copy: the drive's
// own set stays whole.
TEST(CSectRanges, ReadingPrunesOnlyTheCopy) {
  CSectRanges drive;
  for (uint64_t i = 0; i < 100; ++i) drive.AddRange(i * 10, i * 10 + 3);
  drive.MakeArrayFromTree();
  drive.SetDomain(0, 5000);
  const Ranges whole = drive.List();

  CSectRanges pass(drive);
  EXPECT_EQ(pass.DomainEnd(), 5000u);
  uint64_t first = 0, end = 0;
  for (uint64_t i = 0; i < 100; ++i) {
    pass.GetNextReadRange(&first, &end, i * 10 + 1, 1);
    ASSERT_EQ(first, i * 10);
    ASSERT_EQ(end, i * 10 + 3);
    ASSERT_EQ(pass.Count(), 100 - i);
    ExpectWellFormed(pass);
  }
  pass.GetNextReadRange(&first, &end, 993, 1);
  EXPECT_EQ(first, kNo);
  EXPECT_EQ(pass.Count(), 0u);
  EXPECT_EQ(drive.List(), whole);
  EXPECT_EQ(drive.Count(), 100u);
  // Pruned by a later position, an earlier one is no longer found.
  CSectRanges again(drive);
  again.GetNextReadRange(&first, &end, 500, 1);
  again.GetNextReadRange(&first, &end, 0, 1);
  EXPECT_EQ(first, 500u);
}

// ---------------------------------------------------------------- copies, removal

TEST(CSectRanges, CopiesInEitherForm) {
  CSectRanges tree;
  tree.AddRange(10, 20);
  tree.AddRange(30, 40);
  tree.SetDomain(0, 100);
  tree.MakeWhiteList(0, 50);  // flattens
  tree.AddRange(50, 60);      // a tree again
  ASSERT_FALSE(tree.IsFlat());

  CSectRanges copy(tree);
  EXPECT_EQ(copy.List(), tree.List());
  EXPECT_EQ(copy.Count(), 3u);
  EXPECT_EQ(copy.PieceCount(), 0u);  // a white list of its own
  EXPECT_EQ(copy.LastGapFirst(), tree.LastGapFirst());
  EXPECT_EQ(copy.LastGapEnd(), tree.LastGapEnd());
  copy.AddRange(0, 100);
  EXPECT_EQ(tree.List(), (Ranges{{10, 20}, {30, 40}, {50, 60}}));

  tree.MakeArrayFromTree();
  CSectRanges other;
  other.AddRange(1, 2);
  other.CopyFrom(tree);
  EXPECT_EQ(other.List(), tree.List());
  EXPECT_EQ(other.DomainEnd(), 100u);
  other.CopyFrom(other);
  EXPECT_EQ(other.Count(), 3u);
}

TEST(CSectRanges, RemovesByIndex) {
  CSectRanges s;
  s.AddRange(10, 20);
  s.AddRange(30, 40);
  s.AddRange(50, 60);
  EXPECT_FALSE(s.RemoveRange(3));
  EXPECT_TRUE(s.RemoveRange(1));  // flattens first
  EXPECT_EQ(s.Array(), (Ranges{{10, 20}, {50, 60}}));
  EXPECT_EQ(s.Count(), 2u);
  EXPECT_TRUE(s.RemoveRange(1));
  EXPECT_TRUE(s.RemoveRange(0));
  EXPECT_FALSE(s.RemoveRange(0));
  EXPECT_EQ(s.Count(), 0u);
  EXPECT_TRUE(s.Array().empty());
  EXPECT_EQ(s.MakeWhiteList(0, 10), 1u);
  s.AddRange(5, 6);
  EXPECT_EQ(s.List(), (Ranges{{5, 6}}));
}

TEST(CSectRanges, DomainSetterTakesOnlyNonEmptyDomains) {
  CSectRanges s;
  EXPECT_EQ(s.DomainFirst(), 0u);
  EXPECT_EQ(s.DomainEnd(), kMax);
  s.SetDomain(10, 20);
  EXPECT_EQ(s.DomainFirst(), 10u);
  EXPECT_EQ(s.DomainEnd(), 20u);
  s.SetDomain(0, 0);
  EXPECT_EQ(s.DomainEnd(), kMax);
  s.SetDomain(30, 20);
  EXPECT_EQ(s.DomainFirst(), 0u);
  EXPECT_EQ(s.DomainEnd(), kMax);
}

// ---------------------------------------------------------------- against a model

// A bitset over a small space: every set position is covered. Its runs are
// the merged ranges; the clear positions inside the domain are readable.
constexpr int kSpace = 300;
using Bits = std::bitset<kSpace>;

Ranges RunsOf(const Bits& bits) {
  Ranges runs;
  for (int i = 0; i < kSpace;) {
    if (!bits[size_t(i)]) {
      ++i;
      continue;
    }
    int j = i;
    while (j < kSpace && bits[size_t(j)]) ++j;
    runs.push_back({uint64_t(i), uint64_t(j)});
    i = j;
  }
  return runs;
}

TEST(CSectRanges, AgreesWithABitsetModel) {
  std::mt19937_64 rng(1155);
  auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
  for (int round = 0; round < 300; ++round) {
    CSectRanges s;
    Bits bits;
    uint64_t domainFirst = 0, domainEnd = kSpace + 20;  // wider than any range
    if (round % 3 == 1) {
      domainFirst = pick(50);
      domainEnd = domainFirst + 1 + pick(kSpace);
      s.SetDomain(domainFirst, domainEnd);
    }
    const bool unbounded = round % 3 != 1;
    for (int op = 0; op < 120; ++op) {
      const uint64_t kind = pick(100);
      if (kind < 55) {
        // Mostly short ranges, some long, some empty or inverted.
        uint64_t a = pick(kSpace), b = pick(6) == 0 ? pick(kSpace + 1) : a + pick(12);
        b = std::min<uint64_t>(b, kSpace);
        s.AddRange(a, b);
        for (uint64_t i = a; i < b; ++i) bits.set(size_t(i));
      } else if (kind < 65) {
        if (s.Count() == 0) continue;
        Ranges runs = RunsOf(bits);
        uint32_t index = uint32_t(pick(runs.size() + 1));
        ASSERT_EQ(s.RemoveRange(index), index < runs.size());
        if (index < runs.size())
          for (uint64_t i = runs[index].first; i < runs[index].end; ++i) bits.reset(size_t(i));
      } else if (kind < 85) {
        const uint64_t offset = pick(kSpace + 30);
        const uint32_t length = uint32_t(pick(120));
        Pieces expected;
        for (uint64_t p = offset; p < offset + length; ++p) {
          const bool inDomain = unbounded || (p >= domainFirst && p < domainEnd);
          const bool readable = inDomain && (p >= kSpace || !bits[size_t(p)]);
          if (!readable) continue;
          const uint32_t rel = uint32_t(p - offset);
          if (!expected.empty() && expected.back().second == rel)
            expected.back().second = rel + 1;
          else
            expected.emplace_back(rel, rel + 1);
        }
        ASSERT_EQ(s.MakeWhiteList(offset, length), expected.size());
        ASSERT_EQ(PiecesOf(s), expected) << "round " << round << " op " << op;
      } else if (kind < 97) {
        // Read through a copy; the set itself must not change.
        CSectRanges copy(s);
        const uint64_t unit = 1 + pick(3);
        const uint64_t position = pick(kSpace / unit + 2);
        uint64_t first = 0, end = 0;
        copy.GetNextReadRange(&first, &end, position, unit);
        const uint64_t p = position * unit;
        Ranges after;
        for (const Range& r : RunsOf(bits))
          if (r.end > p) after.push_back(r);
        if (after.empty()) {
          ASSERT_EQ(first, kNo);
          ASSERT_EQ(end, kNo);
        } else {
          ASSERT_EQ(first, after[0].first / unit);
          ASSERT_EQ(end, after[0].end / unit);
        }
        ASSERT_EQ(copy.List(), after);
        ExpectWellFormed(copy);
      } else {
        s.MakeArrayFromTree();
      }
      ASSERT_EQ(s.List(), RunsOf(bits)) << "round " << round << " op " << op;
      ExpectWellFormed(s);
    }
  }
}

// Wide 64-bit ranges against a map of merged ranges (first -> end).
void ModelAdd(std::map<uint64_t, uint64_t>& m, uint64_t first, uint64_t end) {
  if (first >= end) return;
  auto it = m.upper_bound(first);
  if (it != m.begin() && std::prev(it)->second >= first) --it;
  while (it != m.end() && it->first <= end) {
    first = std::min(first, it->first);
    end = std::max(end, it->second);
    it = m.erase(it);
  }
  m[first] = end;
}

TEST(CSectRanges, AgreesWithAMapOnWideRanges) {
  std::mt19937_64 rng(64);
  for (int round = 0; round < 10; ++round) {
    CSectRanges s;
    std::map<uint64_t, uint64_t> model;
    const uint64_t scale = round < 5 ? 1000000 : kMax / 4096;
    for (int i = 0; i < 20000; ++i) {
      uint64_t first = (rng() % 4096) * scale + rng() % 7;
      uint64_t end = first + (rng() % 3 == 0 ? scale * (rng() % 4) : rng() % 50);
      if (rng() % 500 == 0) end = kMax;
      if (end < first) end = kMax;
      s.AddRange(first, end);
      ModelAdd(model, first, end);
      if (i % 997 == 0) s.MakeArrayFromTree();
    }
    Ranges expected;
    for (auto [f, e] : model) expected.push_back({f, e});
    ASSERT_EQ(s.List(), expected) << "round " << round;
    ExpectWellFormed(s);
  }
}

// ---------------------------------------------------------------- real data

// Runs the fixture script; returns its exit code (77: a tool is missing) and
// sets the folder the image and reports are in.
int MakeFragmentedImage(std::string* folder) {
  *folder = FixtureCache();
  return RunFixtureScript("make_fragmented_ext.sh", *folder);
}

// The blocks debugfs's "ex" shows: leaf extents ("lstart - lend  pstart -
// pend  length") and the extent-tree blocks that interior lines point to
// ("lstart - lend  pblock  length").
Ranges ExtentBlocks(const std::string& path) {
  Ranges blocks;
  std::ifstream in(path);
  std::string line;
  // Level and entry columns run together once they have three digits.
  static const std::regex kLine(R"(^\s*\d+/\s*\d+\s+\d+/\s*\d+\s+\d+\s+-\s+\d+\s+(\d+)(\s+-\s+(\d+))?\s+\d+)");
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, kLine)) continue;
    const uint64_t p = std::stoull(m[1].str());
    blocks.push_back({p, (m[3].matched ? std::stoull(m[3].str()) : p) + 1});
  }
  std::sort(blocks.begin(), blocks.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  // Extents next to each other on disk are one range of the set.
  Ranges merged;
  for (const Range& r : blocks) {
    if (!merged.empty() && merged.back().end >= r.first)
      merged.back().end = std::max(merged.back().end, r.end);
    else
      merged.push_back(r);
  }
  return merged;
}

TEST(CSectRanges, BlocksOfAFragmentedExtFileMergeToItsExtents) {
  std::string folder;
  const int rc = MakeFragmentedImage(&folder);
  if (rc == 77) GTEST_SKIP() << "mke2fs or debugfs not installed";
  ASSERT_EQ(rc, 0);
  std::vector<uint64_t> blocks;
  {
    std::ifstream in(folder + "/frag-ext4.blocks.txt");
    uint64_t b;
    while (in >> b) blocks.push_back(b);
  }
  const Ranges extents = ExtentBlocks(folder + "/frag-ext4.ex.txt");
  ASSERT_GE(blocks.size(), 1400u);
  ASSERT_GE(extents.size(), 20u) << "the file is not fragmented";
  uint64_t covered = 0;
  for (const Range& r : extents) covered += r.end - r.first;
  ASSERT_EQ(covered, blocks.size());

  constexpr uint64_t kBlock = 1024;
  for (unsigned seed : {1u, 2u, 3u}) {
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937(seed));
    CSectRanges inBlocks, inBytes;
    for (uint64_t b : blocks) {
      inBlocks.AddRange(b, b + 1);
      inBytes.AddRange(b * kBlock, (b + 1) * kBlock);
    }
    EXPECT_EQ(inBlocks.List(), extents);
    ExpectWellFormed(inBlocks);

    // Read back in blocks by a pass over the byte set.
    CSectRanges pass(inBytes);
    Ranges read;
    uint64_t position = 0, first = 0, end = 0;
    for (;;) {
      pass.GetNextReadRange(&first, &end, position, kBlock);
      if (first == kNo) break;
      read.push_back({first, end});
      position = end;
    }
    EXPECT_EQ(read, extents);

    // The space between the extents is what a request over the file reads.
    inBytes.SetDomain(0, 4096 * kBlock);
    const uint64_t offset = extents.front().first * kBlock;
    const uint64_t length = (extents.back().end - extents.front().first) * kBlock;
    ASSERT_EQ(inBytes.MakeWhiteList(offset, uint32_t(length)), extents.size() - 1);
    for (size_t i = 0; i + 1 < extents.size(); ++i) {
      EXPECT_EQ(inBytes.PieceStarts()[i], extents[i].end * kBlock - offset);
      EXPECT_EQ(inBytes.PieceEnds()[i], extents[i + 1].first * kBlock - offset);
    }
  }
}

}  // namespace
