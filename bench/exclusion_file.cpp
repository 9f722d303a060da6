// Sector Exclusion "Load file" on a failing disk's map of 1 M lines: the
// reading and filling of the working set, flattening, and the list model's
// line count and a screenful of lines (lines are made when drawn). The same
// file through awk (summing the fields of every line) in the same run, as
// the peer's time ("awk_s" counter).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/core/ExclusionRules.h"

namespace {

const std::string& MapFile() {
  static std::string path;
  if (path.empty()) {
    char name[] = "/tmp/dv_bench_exclusionXXXXXX";
    const int fd = mkstemp(name);
    FILE* f = fdopen(fd, "w");
    std::fputs("first,last\n", f);
    // Bad sectors in pairs with gaps between them: no two ranges merge.
    for (uint64_t i = 1; i <= 1000000; i++) std::fprintf(f, "%llu,%llu\r\n", (unsigned long long)(i * 16),
                                                            (unsigned long long)(i * 16 + 1));
    std::fclose(f);
    path = name;
    std::atexit([] { unlink(path.c_str()); });
  }
  return path;
}

void BM_LoadExclusionFile(benchmark::State& state) {
  const std::string& path = MapFile();
  size_t lines = 0;
  for (auto _ : state) {
    ExclusionRules r;
    r.SetBounds(0, ~0ull - 1, 512);
    r.SetDriveName(u"/tmp/disk.img");
    r.Init();
    r.LoadFile(path);
    lines = r.LineCount();
    for (size_t i = 0; i < 40 && i < lines; i++) benchmark::DoNotOptimize(r.Line(i));
  }
  state.counters["lines"] = double(lines);
  const auto t0 = std::chrono::steady_clock::now();
  const std::string awk = "awk -F'[ ,|\\t\\r]+' 'NR > 1 { n++; s += $2 - $1 + 1 } END { print n, s }' " + path + " >/dev/null";
  if (std::system(awk.c_str()) == 0)
    state.counters["awk_s"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
BENCHMARK(BM_LoadExclusionFile)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
