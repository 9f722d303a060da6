// Run lists and extents: encoding, decoding into an extents table and
// looking clusters up, for a file of many fragments.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "volumes/Extents.h"
#include "volumes/RunList.h"

namespace {

RunList MakeList(int runs) {
  RunListEncoder enc;
  std::mt19937_64 rng(1);
  for (int i = 0; i < runs; ++i) enc.AddRun(int64_t(rng() % (1u << 30)), uint32_t(1 + rng() % 64));
  return enc.Export();
}

void BM_Encode(benchmark::State& state) {
  const int runs = int(state.range(0));
  for (auto _ : state) {
    RunList list = MakeList(runs);
    benchmark::DoNotOptimize(list);
    FreeRunList(list);
  }
  state.SetItemsProcessed(state.iterations() * runs);
}
BENCHMARK(BM_Encode)->Arg(1000)->Arg(100000);

void BM_BuildTable(benchmark::State& state) {
  const int runs = int(state.range(0));
  RunList list = MakeList(runs);
  for (auto _ : state) {
    CExtents e;
    benchmark::DoNotOptimize(e.BuildVCNMappingTable(list));
  }
  FreeRunList(list);
  state.SetItemsProcessed(state.iterations() * runs);
}
BENCHMARK(BM_BuildTable)->Arg(1000)->Arg(100000);

// Sequential lookups (the reader's pattern: the cursor answers) and random
// ones (binary search).
void BM_VcnToLcn(benchmark::State& state) {
  RunList list = MakeList(100000);
  CExtents e;
  e.BuildVCNMappingTable(list);
  const uint64_t total = e.TotalClusters();
  const bool random = state.range(0) != 0;
  std::mt19937_64 rng(2);
  uint64_t vcn = 0, left = 0, sum = 0;
  for (auto _ : state) {
    vcn = random ? rng() % total : (vcn + 1) % total;
    sum += e.VcnToLcn(vcn, &left);
  }
  benchmark::DoNotOptimize(sum);
  FreeRunList(list);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VcnToLcn)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
