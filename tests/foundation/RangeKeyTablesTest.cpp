#include "foundation/RangeKeyTables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using Runs = std::vector<std::pair<uint32_t, uint32_t>>;

Runs RunsOf(const ARange& r) {
  Runs runs;
  for (uint32_t i = 0; i < r.Count(); ++i) runs.emplace_back(r.At(i).first, r.At(i).last);
  return runs;
}

struct ARangeCase {
  std::vector<uint32_t> values;
  Runs runs;
};

TEST(ARange, MergesOnlyAscendingNeighbours) {
  const ARangeCase cases[] = {
      {{}, {}},
      {{5, 6, 7, 9}, {{5, 7}, {9, 9}}},
      {{7, 6}, {{7, 7}, {6, 6}}},
      {{1, 1}, {{1, 1}, {1, 1}}},
      {{0, 1, 2, 3}, {{0, 3}}},
      {{10, 12, 13, 20, 21, 22, 5}, {{10, 10}, {12, 13}, {20, 22}, {5, 5}}},
      // The last value never "extends" to 0.
      {{0xFFFFFFFEu, 0xFFFFFFFFu, 0}, {{0xFFFFFFFEu, 0xFFFFFFFFu}, {0, 0}}},
  };
  for (const ARangeCase& c : cases) {
    ARange r;
    EXPECT_GE(r.Capacity(), 32u);
    for (uint32_t v : c.values) r.Add(v);
    EXPECT_EQ(RunsOf(r), c.runs);
  }
}

TEST(ARange, GrowsGeometrically) {
  ARange r;
  size_t capacity = r.Capacity();
  int reallocations = 0;
  for (uint32_t i = 0; i < 200000; ++i) {
    r.Add(i * 2);
    if (r.Capacity() != capacity) {
      ++reallocations;
      capacity = r.Capacity();
    }
  }
  ASSERT_EQ(r.Count(), 200000u);
  EXPECT_LE(reallocations, 20);
  EXPECT_EQ(r.At(199999).first, 399998u);
}

TEST(KeyPairTable, KeysCompareOnTheirLow16Bits) {
  KeyPairTable t;
  EXPECT_EQ(t.Append(1, 65664, 0x10005, 42), 0);
  EXPECT_EQ(t.Find(1, 128, 5), 0);
  EXPECT_EQ(t.Find(1, 65664, 5), 0);
  EXPECT_EQ(t.Find(1, 128, 6), -1);
  EXPECT_EQ(t.Find(0, 128, 5), -1);
  EXPECT_EQ(t.Value(0), 42u);
}

TEST(KeyPairTable, FindGivesTheFirstMatch) {
  KeyPairTable t;
  t.Append(0, 0x80, 1);
  t.Append(0, 0x30, 2);
  t.Append(0, 0x80, 1);
  EXPECT_EQ(t.Count(0), 3);
  EXPECT_EQ(t.Find(0, 0x80, 1), 0);
  EXPECT_EQ(t.Find(0, 0x30, 2), 1);
  EXPECT_EQ(t.Find(0, 0x30, 1), -1);
}

TEST(KeyPairTable, RefusesBadRows) {
  KeyPairTable t;
  for (int row : {-1, 2, 100}) {
    EXPECT_EQ(t.Append(row, 1, 2, 3), -1);
    EXPECT_EQ(t.Find(row, 1, 2), -1);
    EXPECT_EQ(t.Count(row), 0);
  }
  EXPECT_EQ(t.Value(-1), 0u);
  EXPECT_EQ(t.Value(0), 0u);
}

// Whichever side of a pair arrives first, the second arrival reports it.
TEST(KeyPairTable, SecondArrivalReportsTheMatch) {
  {
    KeyPairTable t;
    EXPECT_FALSE(t.AddValueAndCheckSeen(0x80, 3 * 257, 0x0001000000000123ull));
    uint64_t value = 0;
    EXPECT_EQ(t.MarkSeenAndGet(0x80, 3 * 257, &value), 1);
    EXPECT_EQ(value, 0x0001000000000123ull);
  }
  {
    KeyPairTable t;
    uint64_t value = 77;
    EXPECT_EQ(t.MarkSeenAndGet(0x80, 3 * 257, &value), 0);
    EXPECT_EQ(value, 77u);  // untouched without a match
    EXPECT_TRUE(t.AddValueAndCheckSeen(0x80, 3 * 257, 5));
  }
  {
    // Other pairs do not match.
    KeyPairTable t;
    EXPECT_FALSE(t.AddValueAndCheckSeen(0x80, 1, 9));
    uint64_t value = 0;
    EXPECT_EQ(t.MarkSeenAndGet(0x80, 2, &value), 0);
    EXPECT_EQ(t.MarkSeenAndGet(0x90, 1, nullptr), 0);
    EXPECT_FALSE(t.AddValueAndCheckSeen(0x30, 0, 1));
    EXPECT_EQ(t.MarkSeenAndGet(0x80, 1, nullptr), 1);
  }
}

TEST(KeyPairTable, HoldsManyPairs) {
  KeyPairTable t;
  for (uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(t.Append(1, i, i * 3, uint64_t(i) << 20), int32_t(i));
  EXPECT_EQ(t.Count(1), 5000);
  uint64_t value = 0;
  EXPECT_EQ(t.MarkSeenAndGet(4321, 4321 * 3, &value), 1);
  EXPECT_EQ(value, uint64_t(4321) << 20);
}

}  // namespace
