// Session files: a synthetic node table of 1 M NTFS nodes (a name, a run
// list each, 100 folders) saved and loaded, bytes per node as a counter.
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "app/Startup.h"
#include "engine/Session.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"

namespace {

constexpr int kNodes = 1000000;

std::string Path() { return "/tmp/bench_session_" + std::to_string(getpid()) + ".dvs"; }

void Fill(CNdArray& t, std::vector<SessionListItem>* list) {
  const uint8_t pairs[] = {0x21, 0x08, 0x00, 0x10};
  for (int i = 0; i < kNodes; i++) {
    auto* n = static_cast<snode*>(CreateNode(kNodeNtfs));
    n->name = t.InternName(u"file" + FromUtf8(std::to_string(i)) + u".dat");
    n->size = uint64_t(i) * 4096;
    n->id = uint32_t(i + 64);
    n->runs = NewRunList(pairs, sizeof pairs);
    t.SetAt(n);
    list->push_back({i, u"\\folder" + FromUtf8(std::to_string(i % 100)) + u"\\"});
  }
}

void Save(const std::string& path, CNdArray& t, const std::vector<SessionListItem>& list) {
  SLSession s(FromUtf8(path));
  SessionParms p;
  p.sourceName = u"/bench.img";
  s.SaveParms(p);
  s.WriteTwoBytes(0, 0);
  s.SavePartitions({});
  s.SaveExclusionRanges(nullptr, 512);
  s.SaveInodes(t);
  s.SaveList(list);
  s.Commit();
}

void BM_SaveMillionNodes(benchmark::State& state) {
  CNdArray t;
  std::vector<SessionListItem> list;
  Fill(t, &list);
  const std::string path = Path();
  for (auto _ : state) Save(path, t, list);
  struct stat st {};
  stat(path.c_str(), &st);
  state.counters["bytes_per_node"] = double(st.st_size) / kNodes;
  unlink(path.c_str());
}
BENCHMARK(BM_SaveMillionNodes)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadMillionNodes(benchmark::State& state) {
  const std::string path = Path();
  {
    CNdArray t;
    std::vector<SessionListItem> list;
    Fill(t, &list);
    Save(path, t, list);
  }
  for (auto _ : state) {
    SLSession s(FromUtf8(path));
    SessionParms p;
    int two[2];
    s.LoadParms(&p);
    s.ReadTwoBytes(&two[0], &two[1]);
    s.LoadPartitions();
    s.LoadExclusionRanges(0);
    s.LoadInodes();
    const int64_t n = s.LoadListItems();
    WString folder;
    for (int64_t k = 0; k < n; k++) s.ReadNextNode(&folder);
    benchmark::DoNotOptimize(s.nodes->Count());
  }
  unlink(path.c_str());
}
BENCHMARK(BM_LoadMillionNodes)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  InstallSubsystems();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
