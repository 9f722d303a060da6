// Range containers: CSectRanges filled in order and shuffled (the scan adds
// found-file and directory ranges in any order), white lists of 1 MiB reads
// over densely excluded space, NRanges append and lookup.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "foundation/NRanges.h"
#include "foundation/SectRanges.h"

namespace {

size_t HeapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

const std::vector<uint32_t>& ShuffledOrder(size_t n) {
  static std::vector<uint32_t> order;
  if (order.size() != n) {
    order.resize(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(155));
  }
  return order;
}

// Ranges [8i, 8i + 5) never touch, so every one stays a node of its own.
void BM_AddRangeInOrder(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  double bytesPerRange = 0;
  for (auto _ : state) {
    const size_t before = HeapInUse();
    CSectRanges s;
    for (uint64_t i = 0; i < n; ++i) s.AddRange(i * 8, i * 8 + 5);
    bytesPerRange = double(HeapInUse() - before) / double(s.Count());
    benchmark::DoNotOptimize(s.Count());
  }
  state.counters["ranges/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/range"] = bytesPerRange;
}
BENCHMARK(BM_AddRangeInOrder)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

void BM_AddRangeShuffled(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  const std::vector<uint32_t>& order = ShuffledOrder(n);
  double bytesPerRange = 0;
  int depth = 0;
  for (auto _ : state) {
    const size_t before = HeapInUse();
    CSectRanges s;
    for (uint32_t i : order) s.AddRange(uint64_t(i) * 8, uint64_t(i) * 8 + 5);
    bytesPerRange = double(HeapInUse() - before) / double(s.Count());
    depth = s.TreeDepth();
    benchmark::DoNotOptimize(s.Count());
  }
  state.counters["ranges/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/range"] = bytesPerRange;
  state.counters["depth"] = depth;
}
BENCHMARK(BM_AddRangeShuffled)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

// Shuffled blocks that touch: the set keeps merging them into runs.
void BM_AddRangeShuffledMerging(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  const std::vector<uint32_t>& order = ShuffledOrder(n);
  for (auto _ : state) {
    CSectRanges s;
    for (uint32_t i : order) s.AddRange(i, uint64_t(i) + 1);
    benchmark::DoNotOptimize(s.Count());
  }
  state.counters["ranges/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AddRangeShuffledMerging)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

// 10,000 excluded ranges in every MiB of a 256 MiB space; each request is
// one MiB at a random place and gets about 10,000 pieces.
void BM_MakeWhiteList(benchmark::State& state) {
  constexpr uint64_t kMiB = 1 << 20;
  constexpr uint64_t kSpace = 256 * kMiB;
  const uint64_t stride = kMiB / uint64_t(state.range(0));
  CSectRanges s;
  for (uint64_t p = 0; p + stride <= kSpace; p += stride) s.AddRange(p, p + stride / 2);
  s.SetDomain(0, kSpace);
  s.MakeArrayFromTree();
  std::mt19937_64 rng(1);
  uint64_t pieces = 0;
  for (auto _ : state) {
    const uint64_t offset = (rng() % (kSpace - kMiB)) & ~uint64_t(511);
    pieces += s.MakeWhiteList(offset, uint32_t(kMiB));
  }
  state.counters["ranges"] = double(s.Count());
  state.counters["pieces/request"] = double(pieces) / double(state.iterations());
  state.counters["requests/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMiB));
}
BENCHMARK(BM_MakeWhiteList)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_NRangesAppend(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  for (auto _ : state) {
    NRanges r;
    for (uint64_t i = 0; i < n; ++i) r.Add(i * 16, i * 16 + 9, uint32_t(i), uint32_t(i >> 3));
    benchmark::DoNotOptimize(r.Count());
  }
  state.counters["appends/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_NRangesAppend)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

void BM_NRangesFind(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  NRanges r;
  for (uint64_t i = 0; i < n; ++i) r.Add(i * 16, i * 16 + 9, uint32_t(i), uint32_t(i >> 3));
  std::mt19937_64 rng(2);
  uint64_t hits = 0;
  for (auto _ : state) {
    hits += r.Find(rng() % (n * 16)).first != NRanges::kNotFound;
  }
  state.counters["finds/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["hit rate"] = double(hits) / double(state.iterations());
}
BENCHMARK(BM_NRangesFind)->Arg(10'000'000)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
