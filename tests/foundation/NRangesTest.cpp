#include "foundation/NRanges.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kMax = ~0ull;
constexpr uint32_t kNone = NRanges::kNotFound;
using Values = std::pair<uint32_t, uint32_t>;

TEST(NRanges, StartsEmptyWithRoomFor32) {
  NRanges r;
  EXPECT_EQ(r.Count(), 0);
  EXPECT_GE(r.Capacity(), 32u);
  EXPECT_EQ(r.Find(0), Values(kNone, kNone));
  EXPECT_EQ(r.Find(kMax), Values(kNone, kNone));
}

struct FindCase {
  uint64_t position;
  Values expected;
};

TEST(NRanges, FindsTheRangeHoldingAPosition) {
  NRanges r;
  ASSERT_EQ(r.Add(0, 0, 7, 8), 1);
  ASSERT_EQ(r.Add(10, 20, 1, 2), 2);
  ASSERT_EQ(r.Add(21, 21, 3, 4), 3);  // touching the previous one is fine
  ASSERT_EQ(r.Add(30, 40, 5, 6), 4);
  ASSERT_EQ(r.Add(kMax, kMax, 9, 10), 5);
  const FindCase cases[] = {
      {0, {7, 8}},          {1, {kNone, kNone}},  {9, {kNone, kNone}}, {10, {1, 2}},
      {15, {1, 2}},         {20, {1, 2}},         {21, {3, 4}},        {22, {kNone, kNone}},
      {29, {kNone, kNone}}, {30, {5, 6}},         {40, {5, 6}},        {41, {kNone, kNone}},
      {kMax - 1, {kNone, kNone}}, {kMax, {9, 10}},
  };
  for (const FindCase& c : cases) EXPECT_EQ(r.Find(c.position), c.expected) << "position " << c.position;
}

TEST(NRanges, IgnoresInvertedRanges) {
  NRanges r;
  EXPECT_EQ(r.Add(100, 99, 1, 1), 0);  // end one below start
  EXPECT_EQ(r.Add(kMax, 0, 1, 1), 0);
  EXPECT_EQ(r.Add(5, 5, 2, 3), 1);     // one position
  EXPECT_EQ(r.Add(9, 8, 1, 1), 1);
  EXPECT_EQ(r.Find(5), Values(2, 3));
  EXPECT_EQ(r.Find(4), Values(kNone, kNone));
  EXPECT_EQ(r.Find(6), Values(kNone, kNone));
}

TEST(NRanges, RefusesAppendsThatAreNotAscending) {
  struct Case {
    uint64_t start, end;
  };
  // The list holds [100, 200]; none of these may go after it.
  const Case refused[] = {{0, 10}, {50, 150}, {100, 200}, {150, 160}, {200, 300}, {199, 250}};
  for (const Case& c : refused) {
    NRanges r;
    ASSERT_EQ(r.Add(100, 200, 1, 1), 1);
    EXPECT_EQ(r.Add(c.start, c.end, 2, 2), -1) << c.start << "-" << c.end;
    EXPECT_EQ(r.Count(), 1);
    EXPECT_EQ(r.Find(c.start), c.start >= 100 && c.start <= 200 ? Values(1, 1) : Values(kNone, kNone));
    EXPECT_EQ(r.Find(150), Values(1, 1));
  }
}

TEST(NRanges, GrowsGeometrically) {
  NRanges r;
  size_t capacity = r.Capacity();
  int reallocations = 0;
  for (uint64_t i = 0; i < 200000; ++i) {
    ASSERT_EQ(r.Add(i * 4, i * 4 + 1, uint32_t(i), uint32_t(~i)), int32_t(i + 1));
    if (r.Capacity() != capacity) {
      ++reallocations;
      capacity = r.Capacity();
    }
  }
  // Steps of 32 would be 6,000 reallocations.
  EXPECT_LE(reallocations, 20);
  EXPECT_EQ(r.Find(4 * 123456 + 1), Values(123456, ~uint32_t(123456)));
  EXPECT_EQ(r.Find(4 * 123456 + 2), Values(kNone, kNone));
}

// Random ascending lists with random gaps against a map from start to range.
TEST(NRanges, AgreesWithAMapOnRandomLists) {
  std::mt19937_64 rng(1133);
  for (int round = 0; round < 20; ++round) {
    NRanges r;
    std::map<uint64_t, std::pair<uint64_t, Values>> model;  // start -> (end, values)
    uint64_t next = rng() % 5;
    const int n = int(rng() % 400);
    for (int i = 0; i < n; ++i) {
      uint64_t start = next + rng() % 3;  // 0: touching the previous one
      uint64_t end = start + rng() % 5;
      Values v{uint32_t(rng()), uint32_t(rng())};
      ASSERT_EQ(r.Add(start, end, v.first, v.second), int32_t(model.size() + 1));
      model[start] = {end, v};
      next = end + 1;
    }
    for (int q = 0; q < 2000; ++q) {
      uint64_t p = rng() % (next + 10);
      Values expected{kNone, kNone};
      auto it = model.upper_bound(p);
      if (it != model.begin() && std::prev(it)->second.first >= p) expected = std::prev(it)->second.second;
      ASSERT_EQ(r.Find(p), expected) << "round " << round << " position " << p;
    }
  }
}

}  // namespace
