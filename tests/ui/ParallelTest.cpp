// The fork-join helpers: every part once, in range order, whoever calls,
// also two callers at once and a part calling again; a failing part on the
// caller's thread returns only once the others are done.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ui/core/Parallel.h"

namespace {

struct Part {
  size_t begin, end;
  unsigned part;
};

std::vector<Part> Parts(size_t n, size_t minPerPart) {
  std::mutex lock;
  std::vector<Part> parts;
  ParallelFor(n, minPerPart, [&](size_t b, size_t e, unsigned p) {
    const std::lock_guard<std::mutex> hold(lock);
    parts.push_back({b, e, p});
  });
  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.part < b.part; });
  return parts;
}

TEST(Parallel, PartsCoverTheRangeOnceInOrder) {
  const std::pair<size_t, size_t> cases[] = {{0, 1},    {1, 1},       {7, 1},        {1000, 1},
                                             {1000, 300}, {1000, 2000}, {1 << 20, 1 << 16}, {1000003, 0}};
  for (auto [n, min] : cases) {
    SCOPED_TRACE(std::to_string(n) + " by " + std::to_string(min));
    for (int round = 0; round < 3; ++round) {  // the kept threads serve again
      const std::vector<Part> parts = Parts(n, min);
      ASSERT_EQ(parts.size(), ParallelParts(n, min));
      size_t at = 0;
      for (unsigned p = 0; p < parts.size(); ++p) {
        EXPECT_EQ(parts[p].part, p);
        EXPECT_EQ(parts[p].begin, at);
        EXPECT_GE(parts[p].end, parts[p].begin);
        at = parts[p].end;
      }
      EXPECT_EQ(at, n);
    }
  }
}

TEST(Parallel, CallersAtOnceAndPartsCallingAgain) {
  auto sum = [](size_t n) {
    std::atomic<uint64_t> total{0};
    ParallelFor(n, 1000, [&](size_t b, size_t e, unsigned) {
      uint64_t s = 0;
      // A part that splits its own range again.
      ParallelFor(e - b, 100, [&](size_t bb, size_t ee, unsigned) {
        uint64_t inner = 0;
        for (size_t i = b + bb; i < b + ee; ++i) inner += i;
        std::atomic_ref<uint64_t>(s).fetch_add(inner);
      });
      total += s;
    });
    return total.load();
  };
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&, c] {
      for (int round = 0; round < 15; ++round) {
        const size_t n = 20000 + size_t(c * 1000 + round);
        if (sum(n) != uint64_t(n) * (n - 1) / 2) ++wrong;
      }
    });
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Parallel, AFailingPartOnTheCallerWaitsForTheOthers) {
  if (ListThreads() < 2) GTEST_SKIP() << "one thread";
  for (int round = 0; round < 3; ++round) {
    std::atomic<unsigned> finished{0};
    const unsigned parts = ParallelParts(1000, 1);
    EXPECT_THROW(ParallelFor(1000, 1,
                             [&](size_t, size_t e, unsigned) {
                               if (e == 1000) throw std::runtime_error("last part");
                               std::this_thread::sleep_for(std::chrono::milliseconds(20));
                               ++finished;
                             }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), parts - 1);
  }
}

TEST(Parallel, SortOrdersAnyInput) {
  std::mt19937 rng(5);
  std::vector<std::vector<uint32_t>> inputs(4);
  for (uint32_t i = 0; i < 300000; ++i) {
    inputs[0].push_back(uint32_t(rng()));
    inputs[1].push_back(i);                 // ordered
    inputs[2].push_back(300000 - i);        // reversed
    inputs[3].push_back(uint32_t(i % 3));  // few distinct keys
  }
  for (std::vector<uint32_t>& v : inputs) {
    std::vector<uint32_t> want(v);
    std::sort(want.begin(), want.end());
    ParallelSort(v.begin(), v.end(), std::less<uint32_t>());
    EXPECT_EQ(v, want);
  }
}

}  // namespace
