// HTree with disk-sized name sets: 5 M distinct file names, most of them in
// the numbered forms cameras and phones write, interned, looked up and keyed
// by id. Prints nanoseconds per operation and bytes per entry.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/HTree.h"

namespace {

constexpr size_t kNames = 5'000'000;
constexpr size_t kMisses = 1'000'000;

// Zero-terminated UTF-16 names in one block.
struct NameSet {
  std::vector<char16_t> units;
  std::vector<size_t> starts;
  const char16_t* operator[](size_t i) const { return units.data() + starts[i]; }
  size_t size() const { return starts.size(); }
  void Add(const char* s) {
    starts.push_back(units.size());
    for (; *s; ++s) units.push_back(char16_t(uint8_t(*s)));
    units.push_back(0);
  }
};

// Name i: ten forms in turn, each numbered on its own; a form whose numbers
// run out repeats with a copy suffix, as on a disk full of copied cards.
void MakeName(size_t i, char* out, size_t size, bool miss) {
  unsigned n = unsigned(i / 10);
  const char* tail = miss ? "~" : "";
  switch (i % 10) {
    case 0:
      if (n < 9999) snprintf(out, size, "IMG_%04u.JPG%s", n + 1, tail);
      else snprintf(out, size, "IMG_%04u (%u).JPG%s", n % 9999 + 1, n / 9999, tail);
      break;
    case 1:
      if (n < 99999) snprintf(out, size, "DSC%05u.JPG%s", n + 1, tail);
      else snprintf(out, size, "DSC%05u_%u.JPG%s", n % 99999 + 1, n / 99999, tail);
      break;
    case 2: snprintf(out, size, "IMG_2023%02u%02u_%06u.jpg%s", n / 40000 % 12 + 1, n / 1300 % 28 + 1, n, tail); break;
    case 3: snprintf(out, size, "P%07u.JPG%s", 1000000 + n, tail); break;
    case 4: snprintf(out, size, "DSCF%04u-%u.RAF%s", n % 9999 + 1, n / 9999, tail); break;
    case 5: snprintf(out, size, "GOPR%04u.MP4.%u%s", n % 9999 + 1, n / 9999, tail); break;
    case 6: snprintf(out, size, "Document %u.docx%s", n, tail); break;
    case 7: snprintf(out, size, "photo_%u.png%s", n, tail); break;
    case 8: snprintf(out, size, "%08x.tmp%s", n * 2654435761u, tail); break;
    default: snprintf(out, size, "IMG-2019%04u-WA%04u.jpg%s", n / 9999 % 10000, n % 9999, tail); break;
  }
}

const NameSet& Names() {
  static NameSet set = [] {
    NameSet s;
    s.units.reserve(kNames * 18);
    s.starts.reserve(kNames);
    char buf[64];
    for (size_t i = 0; i < kNames; ++i) {
      MakeName(i, buf, sizeof buf, false);
      s.Add(buf);
    }
    return s;
  }();
  return set;
}

const NameSet& Misses() {
  static NameSet set = [] {
    NameSet s;
    char buf[64];
    for (size_t i = 0; i < kMisses; ++i) {
      MakeName(i * 5, buf, sizeof buf, true);
      s.Add(buf);
    }
    return s;
  }();
  return set;
}

const std::vector<uint32_t>& Shuffled() {
  static std::vector<uint32_t> order = [] {
    std::vector<uint32_t> v(kNames);
    std::iota(v.begin(), v.end(), 0u);
    std::shuffle(v.begin(), v.end(), std::mt19937_64(7));
    return v;
  }();
  return order;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void Report(benchmark::State& state, const HTree& tree, double seconds, size_t ops) {
  HTreeStats s = tree.Stats();
  state.counters["ns_per_op"] = seconds * 1e9 / double(ops);
  state.counters["bytes_per_entry"] = double(tree.MemoryBytes()) / double(tree.Count());
  state.counters["entries"] = double(tree.Count());
  state.counters["buckets"] = double(s.buckets);
  state.counters["largest_bucket"] = double(s.largestBucket);
}

// The folder-path and file-name pools: (hash, text), case-insensitive.
// ns_per_op of the lookups is in random order; scan order is the order the
// names were added, as a second pass over a folder tree asks.
void BM_InternNames(benchmark::State& state) {
  const NameSet& names = Names();
  for (auto _ : state) {
    HTree tree(4096, 4096, 2, 2, HtTypes(kHtInt, kHtText));
    auto t0 = std::chrono::steady_clock::now();
    size_t repeats = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      bool found;
      benchmark::DoNotOptimize(tree.InternName(names[i], &found));
      repeats += found;
    }
    double sec = Seconds(t0);
    state.SetIterationTime(sec);
    if (repeats) state.SkipWithError("generated names are not distinct");
    Report(state, tree, sec, names.size());
  }
}
BENCHMARK(BM_InternNames)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FindNames(benchmark::State& state) {
  const NameSet& names = Names();
  const NameSet& misses = Misses();
  const auto& order = Shuffled();
  HTree tree(4096, 4096, 2, 2, HtTypes(kHtInt, kHtText));
  for (size_t i = 0; i < names.size(); ++i) tree.InternName(names[i]);
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    size_t hits = 0;
    for (uint32_t i : order) hits += tree.FindNameRecord(names[i]) != nullptr;
    double hitSec = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    size_t wrong = 0;
    for (size_t i = 0; i < misses.size(); ++i) wrong += tree.FindNameRecord(misses[i]) != nullptr;
    double missSec = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < names.size(); ++i) hits += tree.FindNameRecord(names[i]) != nullptr;
    double scanSec = Seconds(t0);
    state.SetIterationTime(hitSec + missSec + scanSec);
    if (hits != 2 * names.size() || wrong) state.SkipWithError("lookup answered wrong");
    Report(state, tree, hitSec, names.size());
    state.counters["ns_per_miss"] = missSec * 1e9 / double(misses.size());
    state.counters["ns_per_op_scan_order"] = scanSec * 1e9 / double(names.size());
  }
}
BENCHMARK(BM_FindNames)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// A volume's folder index: (id, name, parent), ids in scan order.
void BM_IdIndex(benchmark::State& state) {
  const NameSet& names = Names();
  const auto& order = Shuffled();
  for (auto _ : state) {
    HTree tree(4096, 4096, 3, 2, 256, 0);
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < names.size(); ++i) tree.AddItem(i + 16, i / 64 + 5, names[i]);
    double addSec = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    size_t hits = 0;
    for (uint32_t i : order) hits += tree.FindById(i + 16) != nullptr;
    double findSec = Seconds(t0);
    state.SetIterationTime(addSec + findSec);
    if (hits != names.size()) state.SkipWithError("FindById missed");
    Report(state, tree, addSec, names.size());
    state.counters["ns_per_find"] = findSec * 1e9 / double(names.size());
  }
}
BENCHMARK(BM_IdIndex)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The node table's name pool: counted names, exact.
void BM_InternCounted(benchmark::State& state) {
  const NameSet& names = Names();
  std::vector<uint8_t> scratch(kCountedNameMaxBytes);
  for (auto _ : state) {
    HTree tree(4096, 4096, 2, 2, HtTypes(kHtInt, kHtCounted));
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < names.size(); ++i) {
      MakeCountedName(names[i], scratch.data());
      benchmark::DoNotOptimize(tree.InternCounted(scratch.data(), nullptr, true));
    }
    double sec = Seconds(t0);
    state.SetIterationTime(sec);
    Report(state, tree, sec, names.size());
  }
}
BENCHMARK(BM_InternCounted)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Bucket loads over a fixed 4096 buckets: an additive hash (sum of the
// folded units, every fifth one squared) against HashText.
void BM_BucketSpread(benchmark::State& state) {
  const NameSet& names = Names();
  for (auto _ : state) {
    std::vector<uint32_t> additive(4096), mixed(4096);
    for (size_t i = 0; i < names.size(); ++i) {
      uint32_t sum = 0, pos = 0;
      for (const char16_t* p = names[i]; *p; ++p, ++pos) {
        uint32_t c = AsciiUpper(*p);
        sum += pos % 5 == 0 ? c * c : c;
      }
      ++additive[sum & 4095];
      ++mixed[HTree::HashText(names[i]) & 4095];
    }
    state.counters["additive_largest"] = *std::max_element(additive.begin(), additive.end());
    state.counters["additive_empty"] = double(std::count(additive.begin(), additive.end(), 0u));
    state.counters["hash_largest"] = *std::max_element(mixed.begin(), mixed.end());
    state.counters["hash_empty"] = double(std::count(mixed.begin(), mixed.end(), 0u));
    state.counters["mean"] = double(names.size()) / 4096;
  }
}
BENCHMARK(BM_BucketSpread)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
