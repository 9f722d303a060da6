// 20 million items from the block allocator and the item array: speed,
// memory per item, peak resident memory (VmHWM) and the number of mappings
// at the peak, which must stay far below vm.max_map_count (65530).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/MyAlloc.h"

namespace {

constexpr int64_t kItems = 20'000'000;

int64_t StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t n = std::strlen(key);
  while (std::getline(status, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':') return std::stoll(line.substr(n + 1));
  return -1;
}

int64_t CountMappings() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int64_t n = 0;
  while (std::getline(maps, line)) ++n;
  return n;
}

// Starts a new high-water mark, so each benchmark reports its own peak.
void ResetPeakRss() {
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

void Report(benchmark::State& state, uint64_t committed, int64_t rssBeforeKiB, int64_t maps, const char* unitName,
            size_t units) {
  state.SetItemsProcessed(state.iterations() * kItems);
  state.counters["items"] = double(kItems);
  state.counters["bytes_per_item"] = double(committed) / double(kItems);
  state.counters["rss_bytes_per_item"] = double(StatusKiB("VmHWM") - rssBeforeKiB) * 1024.0 / double(kItems);
  state.counters["peak_rss_MiB"] = double(StatusKiB("VmHWM")) / 1024.0;
  state.counters["maps_at_peak"] = double(maps);
  state.counters[unitName] = double(units);
}

void BM_MyAlloc(benchmark::State& state) {
  const size_t itemSize = size_t(state.range(0));
  uint64_t committed = 0;
  int64_t maps = 0, rssBefore = 0;
  size_t chunks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ResetPeakRss();
    rssBefore = StatusKiB("VmRSS");
    state.ResumeTiming();
    auto a = std::make_unique<CMyAlloc>(itemSize);
    for (int64_t i = 0; i < kItems; ++i) {
      auto* p = static_cast<uint8_t*>(a->MyAlloc());
      p[itemSize - 1] = uint8_t(i);
    }
    state.PauseTiming();
    committed = a->CommittedBytes();
    chunks = a->ChunkCount();
    maps = CountMappings();
    state.ResumeTiming();
    a.reset();
  }
  Report(state, committed, rssBefore, maps, "chunks", chunks);
}
BENCHMARK(BM_MyAlloc)->Arg(16)->Arg(32)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MyArrayAppend(benchmark::State& state) {
  const size_t itemSize = size_t(state.range(0));
  uint64_t committed = 0;
  int64_t maps = 0, rssBefore = 0;
  size_t blocks = 0;
  uint8_t item[64] = {};
  for (auto _ : state) {
    state.PauseTiming();
    ResetPeakRss();
    rssBefore = StatusKiB("VmRSS");
    state.ResumeTiming();
    auto arr = std::make_unique<CMyArray>(itemSize);
    for (int64_t i = 0; i < kItems; ++i) {
      std::memcpy(item, &i, sizeof i);
      arr->Append(item);
    }
    benchmark::DoNotOptimize(arr->FindByKey64(uint64_t(kItems / 3)));
    state.PauseTiming();
    blocks = arr->BlockCount();
    committed = uint64_t(blocks) * kMyArrayBlockBytes;
    maps = CountMappings();
    state.ResumeTiming();
    arr.reset();
  }
  Report(state, committed, rssBefore, maps, "blocks", blocks);
}
BENCHMARK(BM_MyArrayAppend)->Arg(16)->Arg(24)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
