#include "foundation/QuadBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "foundation/Trace.h"

namespace {

std::string Bytes(const QuadBuffer& q, int section) {
  const uint8_t* p = q.Section(section);
  return p ? std::string(reinterpret_cast<const char*>(p), q.Used(section)) : std::string();
}

// The block layout must always be the capacities laid end to end.
void ExpectConsistent(const QuadBuffer& q) {
  uint64_t sum = 0;
  for (int i = 0; i < kQuadSections; ++i) {
    EXPECT_EQ(q.UsedBefore(i), sum);
    EXPECT_LE(q.Used(i), q.Capacity(i));
    sum += q.Capacity(i);
  }
  EXPECT_EQ(q.UsedBefore(4), sum);
  EXPECT_EQ(q.BlockSize(), sum);
}

TEST(QuadBuffer, StartsAsOneSectionOfOneKilobyte) {
  QuadBuffer q;
  EXPECT_EQ(q.BlockSize(), 1024u);
  const uint64_t caps[] = {1024, 0, 0, 0};
  for (int i = 0; i < kQuadSections; ++i) {
    EXPECT_EQ(q.Capacity(i), caps[i]);
    EXPECT_EQ(q.Used(i), 0u);
    EXPECT_EQ(q.WantedSize(i), 0u);
    EXPECT_EQ(q.SectionSize(i), caps[i]);
  }
  EXPECT_EQ(q.UsedBefore(0), 0u);
  EXPECT_EQ(q.UsedBefore(1), 1024u);
  EXPECT_EQ(q.UsedBefore(9), 1024u);
  EXPECT_EQ(q.UsedBefore(-3), 0u);
  // A cut record that fits: no new block.
  const uint8_t* block = q.Section(0);
  std::string rec(1024, 'r');
  EXPECT_EQ(q.Append(rec.data(), 600, 0), block);
  EXPECT_EQ(q.Append(rec.data() + 600, 424, 0), block);
  EXPECT_EQ(Bytes(q, 0), rec);
  EXPECT_EQ(q.BlockSize(), 1024u);
}

TEST(QuadBuffer, GrowingAMiddleSectionKeepsTheOthersIntact) {
  QuadBuffer q;
  ASSERT_TRUE(q.SetWantedSize(3, 2048));
  ASSERT_NE(q.Append("record-head", 11, 0), nullptr);
  ASSERT_NE(q.Append("inode-tail", 10, 3), nullptr);
  EXPECT_EQ(q.Capacity(3), 2048u);
  uint8_t* s2 = q.Append("dir-run", 7, 2);
  ASSERT_NE(s2, nullptr);
  EXPECT_EQ(s2, q.Section(2));
  EXPECT_EQ(q.Capacity(2), 7u);
  EXPECT_EQ(q.UsedBefore(3), 1024u + 7u);  // section 3 moved up by the growth
  EXPECT_EQ(Bytes(q, 0), "record-head");
  EXPECT_EQ(Bytes(q, 2), "dir-run");
  EXPECT_EQ(Bytes(q, 3), "inode-tail");
  ExpectConsistent(q);
}

TEST(QuadBuffer, GrowthTakesTheWantedSize) {
  struct Case {
    uint64_t wanted, capacityBefore, used, count, capacityAfter;
  };
  const Case cases[] = {
      {0, 0, 0, 100, 100},         // no wanted size: just what is needed
      {8192, 0, 0, 100, 8192},     // the whole structure at once
      {50, 0, 0, 100, 100},        // a wanted size below the need
      {0, 1024, 1000, 100, 1100},  // section 0 past its first kilobyte
      {4096, 1024, 1000, 100, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.wanted << "/" << c.used << "+" << c.count);
    QuadBuffer q;
    int s = c.capacityBefore ? 0 : 1;
    ASSERT_TRUE(q.SetWantedSize(s, c.wanted));
    std::string head(c.used, 'h'), tail(c.count, 't');
    if (c.used) {
      ASSERT_NE(q.Append(head.data(), c.used, s), nullptr);
    }
    ASSERT_EQ(q.Capacity(s), c.capacityBefore ? c.capacityBefore : c.used);
    ASSERT_NE(q.Append(tail.data(), c.count, s), nullptr);
    EXPECT_EQ(q.Capacity(s), c.capacityAfter);
    EXPECT_EQ(q.SectionSize(s), c.wanted ? c.wanted : c.capacityAfter);
    EXPECT_EQ(Bytes(q, s), head + tail);
    ExpectConsistent(q);
  }
}

TEST(QuadBuffer, RandomAppendsAgainstAModel) {
  std::mt19937 rng(7);
  QuadBuffer q;
  std::string model[kQuadSections];
  for (int round = 0; round < 2000; ++round) {
    int s = int(rng() % kQuadSections);
    if (rng() % 97 == 0) {
      q.Clear();
      for (auto& m : model) m.clear();
      continue;
    }
    if (rng() % 31 == 0) {
      ASSERT_TRUE(q.SetWantedSize(s, rng() % 3000));
    }
    std::string add(rng() % 300, char('a' + round % 26));
    uint8_t* start = q.Append(add.data(), add.size(), s);
    ASSERT_NE(start, nullptr);
    ASSERT_EQ(start, q.Section(s));
    model[s] += add;
    for (int i = 0; i < kQuadSections; ++i) ASSERT_EQ(Bytes(q, i), model[i]) << round << " section " << i;
  }
  ExpectConsistent(q);
}

TEST(QuadBuffer, ClearAndFree) {
  QuadBuffer q;
  ASSERT_TRUE(q.SetWantedSize(1, 8192));
  q.Append("abc", 3, 1);
  q.Clear();
  EXPECT_EQ(q.Used(1), 0u);
  EXPECT_EQ(q.Capacity(1), 8192u);
  EXPECT_EQ(q.SectionSize(1), 8192u);
  q.Free();
  EXPECT_EQ(q.BlockSize(), 0u);
  EXPECT_EQ(q.Section(0), nullptr);
  EXPECT_EQ(q.WantedSize(1), 8192u);
  // Usable again after Free.
  ASSERT_NE(q.Append("xy", 2, 2), nullptr);
  ASSERT_NE(q.Append("z", 1, 1), nullptr);
  EXPECT_EQ(Bytes(q, 2), "xy");
  EXPECT_EQ(Bytes(q, 1), "z");
  EXPECT_EQ(q.Capacity(1), 8192u);
  ExpectConsistent(q);
}

TEST(QuadBuffer, OversizedOrBadRequestsAreRefusedUnchanged) {
  QuadBuffer q;
  q.Append("keep", 4, 0);
  q.Append("this", 4, 1);
  const uint8_t byte = 0;
  struct Case {
    const char* what;
    const void* bytes;
    uint64_t count;
    int section;
  };
  const Case cases[] = {
      // Would wrap to a tiny block in 32-bit arithmetic.
      {"wraps 32 bits", &byte, 0xFFFFFFFFull - 2, 1},
      {"above 4 GiB", &byte, (uint64_t(1) << 32) + 16, 1},
      {"largest count", &byte, ~uint64_t(0), 0},
      {"one past the section cap", &byte, kQuadBufferMaxBytes - 3, 1},
      {"section -1", &byte, 1, -1},
      {"section 4", &byte, 1, 4},
      {"null bytes", nullptr, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(q.Append(c.bytes, c.count, c.section), nullptr);
    EXPECT_NE(LastErrorText(), u"");
    EXPECT_EQ(Bytes(q, 0), "keep");
    EXPECT_EQ(Bytes(q, 1), "this");
    EXPECT_EQ(q.BlockSize(), 1028u);
  }
  // The cap counts the whole block, not only the section.
  ASSERT_TRUE(q.SetWantedSize(2, kQuadBufferMaxBytes - 1024));
  EXPECT_EQ(q.Append(&byte, 1, 2), nullptr);
  EXPECT_FALSE(q.SetWantedSize(3, kQuadBufferMaxBytes + 1));
  EXPECT_FALSE(q.SetWantedSize(7, 16));
  // Exactly at the cap is allowed.
  ASSERT_TRUE(q.SetWantedSize(2, kQuadBufferMaxBytes - 1028));
  EXPECT_NE(q.Append(&byte, 1, 2), nullptr);
  EXPECT_EQ(q.BlockSize(), kQuadBufferMaxBytes);
  EXPECT_EQ(Bytes(q, 1), "this");
}

}  // namespace
