// Name matching against many-star patterns on long names: the case that
// makes a backtracking matcher exponential.
#include <benchmark/benchmark.h>

#include "foundation/Wildcard.h"

namespace {

const char16_t kManyStars[] = u"*a*a*a*a*a*b";

// 255 characters, no "b": every way of placing the stars must be ruled out.
WString LongName() { return WString(255, u'a'); }

void BM_Match1ManyStars(benchmark::State& state) {
  WString name = LongName();
  for (auto _ : state) benchmark::DoNotOptimize(Match1(name, kManyStars));
  state.counters["name_chars"] = double(name.size());
}
BENCHMARK(BM_Match1ManyStars)->Unit(benchmark::kMicrosecond);

void BM_WildcardMatchManyStars(benchmark::State& state) {
  WString name = LongName();
  for (auto _ : state) benchmark::DoNotOptimize(WildcardMatch(kManyStars, name.c_str()));
}
BENCHMARK(BM_WildcardMatchManyStars)->Unit(benchmark::kMicrosecond);

// A typical drive filter against camera-style names.
void BM_PatternListCameraNames(benchmark::State& state) {
  PatternList list;
  list.Set(u"*.jpg,*.cr2,*.mov,<~*>,<*.tmp>");
  WString names[] = {u"IMG_0001.JPG", u"IMG_0002.CR2", u"~IMG_0003.JPG", u"notes.txt", u"MVI_0004.MOV"};
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(list.Match(names[k++ % 5]));
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_PatternListCameraNames);

}  // namespace

BENCHMARK_MAIN();
