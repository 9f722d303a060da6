// Sequential reading of RAID sets over member files in the page cache, in
// 1 MiB requests, against the read limit in the same run: the four member
// files read at once by four `cat`s. A RAID 5 set of four members with all
// of them, with one missing (its chunks rebuilt by XOR), and a RAID 6 set
// of the same four files with two data members missing (P/Q rebuild).
//
// The members are kept between runs (/tmp/dv_raid_bench_m0..3.img, 1 GiB
// each); a smaller size for a quick run: --size_mib=N or
// DV_RAID_BENCH_MIB=N.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/RandomFile.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "storage/RaidSettings.h"

namespace {

constexpr uint32_t kRequest = 1 << 20;
constexpr int kMembers = 4;
int64_t g_memberBytes = int64_t(1) << 30;
std::string g_prefix = "/tmp/dv_raid_bench_m";
double g_limit = 0, g_all = 0, g_xor = 0, g_pq = 0;

std::string Member(int i) { return g_prefix + std::to_string(i) + ".img"; }

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

double RunCats() {
  std::string cmd;
  for (int i = 0; i < kMembers; ++i) cmd += "cat '" + Member(i) + "' >/dev/null & ";
  cmd += "wait";
  auto t0 = std::chrono::steady_clock::now();
  return std::system(cmd.c_str()) == 0 ? Seconds(t0) : -1;
}

// kind 0: RAID 5 whole, 1: RAID 5 with member 1 missing, 2: RAID 6 with
// members 0 and 1 missing (with rotation 1 they hold data in row 0).
std::string Definition(int kind) {
  std::string d = kind == 2 ? "RAID6(" : "RAID5(";
  const uint64_t last = uint64_t(g_memberBytes) / 512 - 1;
  for (int i = 0; i < kMembers; ++i) {
    const bool gone = (kind == 1 && i == 1) || (kind == 2 && i < 2);
    d += std::string(i ? "," : "") + (gone ? "Missing" : Member(i) + "<0:" + std::to_string(last) + ">");
  }
  return d + ")";
}

double ReadAll(Drive& d, uint8_t* buffer, uint64_t* checksum) {
  const uint64_t total = d.SectorCount() * d.SectorSize();
  uint64_t sum = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t at = 0; at < total; at += kRequest) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kRequest, total - at));
    uint8_t* data = d.ReadSectors(int64_t(at / d.SectorSize()), n, Drive::kRetryPiece, buffer, true);
    if (!data) return -1;
    uint64_t word;
    std::memcpy(&word, data + n - 8, 8);
    sum += word;
  }
  *checksum = sum;
  return Seconds(t0);
}

void BM_FourCats(benchmark::State& state) {
  RunCats();
  for (auto _ : state) {
    const double s = RunCats();
    if (s < 0) {
      state.SkipWithError("cat failed");
      return;
    }
    state.SetIterationTime(s);
    g_limit = std::max(g_limit, double(g_memberBytes) * kMembers / 1e6 / s);
  }
  state.counters["best_MB_per_s"] = g_limit;
}

void BM_RaidSet(benchmark::State& state) {
  const int kind = int(state.range(0));
  const WString def = FromUtf8(Definition(kind));
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(def));
    d->InitDrive(def);
  } catch (const DvCodeError&) {
    state.SkipWithError(ToUtf8(LastErrorText()).c_str());
    return;
  }
  void* buffer = AlignedAlloc(kRequest);
  double* best = kind == 0 ? &g_all : kind == 1 ? &g_xor : &g_pq;
  uint64_t checksum = 0;
  const double bytes = double(d->SectorCount()) * d->SectorSize();
  ReadAll(*d, static_cast<uint8_t*>(buffer), &checksum);
  for (auto _ : state) {
    const double s = ReadAll(*d, static_cast<uint8_t*>(buffer), &checksum);
    if (s < 0) {
      state.SkipWithError("read failed");
      break;
    }
    state.SetIterationTime(s);
    // As member bytes: the data rate over the share of the members' bytes
    // that carries data (3 of 4 for RAID 5, 2 of 4 for RAID 6).
    *best = std::max(*best, bytes * kMembers / (kMembers - (kind == 2 ? 2 : 1)) / 1e6 / s);
  }
  benchmark::DoNotOptimize(checksum);
  AlignedFree(buffer);
  state.counters["best_MB_per_s"] = *best;
  state.counters["read_errors"] = d->TotalErrors();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const int64_t mib = BenchSizeMib(argc, argv, "DV_RAID_BENCH_MIB");
  if (mib > 0 && mib != 1024) {
    g_memberBytes = mib << 20;
    g_prefix = "/tmp/dv_raid_bench_" + std::to_string(mib) + "mib_m";
  }
  for (int i = 0; i < kMembers; ++i)
    if (!MakeRandomFile(Member(i), g_memberBytes)) {
      std::fprintf(stderr, "cannot write %s\n", Member(i).c_str());
      return 1;
    }
  GlobalObjectsScope scope;
  RaidSettings six;
  six.rotation = 1;
  SetRaidSettings(FromUtf8(Definition(2)), six);
  const int iterations = 3;
  benchmark::RegisterBenchmark("BM_FourCats", BM_FourCats)->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMillisecond);
  for (int kind = 0; kind < 3; ++kind)
    benchmark::RegisterBenchmark(kind == 0 ? "BM_Raid5/all" : kind == 1 ? "BM_Raid5/one_missing" : "BM_Raid6/two_missing",
                                 BM_RaidSet)
        ->Arg(kind)
        ->Iterations(iterations)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_limit > 0) {
    std::printf("\n4 members of %lld MiB in the page cache, 1 MiB requests, best of %d, data rate / data share of the members:\n",
                (long long)(g_memberBytes >> 20), iterations);
    std::printf("  four cats (limit)      %8.1f MB/s\n", g_limit);
    auto line = [](const char* what, double mbps, const char* goal) {
      if (mbps > 0) std::printf("  %-22s %8.1f MB/s  ratio %.3f of the limit%s\n", what, mbps, mbps / g_limit, goal);
    };
    line("RAID 5, all members", g_all, " (goal 0.8)");
    line("RAID 5, one missing", g_xor, "");
    line("RAID 6, two missing", g_pq, "");
  }
  return 0;
}
