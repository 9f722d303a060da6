// Sequential reading of a disk image in the page cache through a drive
// (Drive::ReadSectors in 1 MiB requests, so every request crosses to the
// drive's I/O thread and back), against dd on the same file in the same
// run. Also with 100 excluded ranges spread over the image, and with the
// data copied into a caller's buffer.
//
// The image holds random data and is kept between runs
// (/tmp/dv_drive_read_bench.img, 2 GiB). A smaller size for a quick run:
// --size_mib=N or DV_DRIVE_BENCH_MIB=N (then ..._<N>mib.img).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "bench/RandomFile.h"
#include "foundation/Globals.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Memory.h"
#include "storage/Drive.h"

namespace {

int64_t g_sizeBytes = int64_t(2048) << 20;
std::string g_path = "/tmp/dv_drive_read_bench.img";
constexpr uint32_t kRequest = 1 << 20;
constexpr int kExcludedRanges = 100;

double g_ddMBps = 0, g_driveMBps = 0, g_excludedMBps = 0, g_bufferMBps = 0;

bool MakeImage() { return MakeRandomFile(g_path, g_sizeBytes); }

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double RunDd() {
  std::string cmd = "dd if='" + g_path + "' of=/dev/null bs=1M status=none";
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system(cmd.c_str());
  double s = Seconds(t0, std::chrono::steady_clock::now());
  return rc == 0 ? s : -1;
}

// One pass over the whole drive; the time in seconds, -1 on a failed read.
double ReadAll(Drive& d, uint8_t* buffer, uint64_t* checksum) {
  const uint64_t total = d.SectorCount() * d.SectorSize();
  const uint32_t sectorsPerRequest = kRequest / d.SectorSize();
  uint64_t sum = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t at = 0, sector = 0; at < total; at += kRequest, sector += sectorsPerRequest) {
    uint32_t n = uint32_t(std::min<uint64_t>(kRequest, total - at));
    uint8_t* data = d.ReadSectors(int64_t(sector), n, Drive::kRetryPiece, buffer, true);
    if (!data) return -1;
    uint64_t word;
    std::memcpy(&word, data + n - 8, 8);
    sum += word;
  }
  double s = Seconds(t0, std::chrono::steady_clock::now());
  *checksum = sum;
  return s;
}

std::unique_ptr<Drive> OpenImage() {
  std::unique_ptr<Drive> d;
  try {
    d.reset(CreateDrive(FromUtf8(g_path)));
    d->InitDrive(FromUtf8(g_path));
  } catch (const DvCodeError&) {
    std::fprintf(stderr, "cannot open %s: %s\n", g_path.c_str(), ToUtf8(LastErrorText()).c_str());
    return nullptr;
  }
  return d;
}

void BM_DdCachedImage(benchmark::State& state) {
  RunDd();  // bring the image into the page cache
  for (auto _ : state) {
    double s = RunDd();
    if (s < 0) {
      state.SkipWithError("dd failed");
      return;
    }
    state.SetIterationTime(s);
    g_ddMBps = std::max(g_ddMBps, double(g_sizeBytes) / 1e6 / s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * g_sizeBytes);
  state.counters["best_MB_per_s"] = g_ddMBps;
}

// mode 0: the drive's own buffer; 1: excluded ranges; 2: a caller's buffer.
void BM_DriveReadSectors(benchmark::State& state) {
  const int mode = int(state.range(0));
  auto d = OpenImage();
  if (!d) {
    state.SkipWithError("cannot open the image");
    return;
  }
  if (mode == 1) {
    // 100 ranges of 100 KiB, at odd sector offsets so that requests are cut
    // at their heads, tails and inside.
    auto set = std::make_shared<CSectRanges>();
    const uint64_t step = uint64_t(g_sizeBytes) / kExcludedRanges;
    for (int i = 0; i < kExcludedRanges; ++i) {
      uint64_t first = (uint64_t(i) * step + 777 * 512) / 512 * 512;
      set->AddRange(first, first + 200 * 512);
    }
    d->SetExclusionSet(set);
  }
  void* buffer = nullptr;
  if (mode == 2) buffer = AlignedAlloc(kRequest);
  double* best = mode == 0 ? &g_driveMBps : mode == 1 ? &g_excludedMBps : &g_bufferMBps;
  uint64_t checksum = 0;
  ReadAll(*d, static_cast<uint8_t*>(buffer), &checksum);  // warm the page cache
  for (auto _ : state) {
    double s = ReadAll(*d, static_cast<uint8_t*>(buffer), &checksum);
    if (s < 0) {
      state.SkipWithError("read failed");
      break;
    }
    state.SetIterationTime(s);
    *best = std::max(*best, double(g_sizeBytes) / 1e6 / s);
  }
  benchmark::DoNotOptimize(checksum);
  AlignedFree(buffer);
  state.SetBytesProcessed(int64_t(state.iterations()) * g_sizeBytes);
  state.counters["best_MB_per_s"] = *best;
  state.counters["read_errors"] = d->TotalErrors();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const int64_t mib = BenchSizeMib(argc, argv, "DV_DRIVE_BENCH_MIB");
  if (mib > 0 && mib != 2048) {
    g_sizeBytes = mib << 20;
    g_path = "/tmp/dv_drive_read_bench_" + std::to_string(mib) + "mib.img";
  }
  if (!MakeImage()) {
    std::fprintf(stderr, "cannot write %s\n", g_path.c_str());
    return 1;
  }
  StartupScope scope;
  const int iterations = g_sizeBytes >= (int64_t(1) << 30) ? 5 : 10;
  benchmark::RegisterBenchmark("BM_DdCachedImage", BM_DdCachedImage)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_DriveReadSectors/own_buffer", BM_DriveReadSectors)
      ->Arg(0)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_DriveReadSectors/100_excluded", BM_DriveReadSectors)
      ->Arg(1)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_DriveReadSectors/caller_buffer", BM_DriveReadSectors)
      ->Arg(2)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_ddMBps > 0) {
    std::printf("\n%s, %lld MiB in the page cache, 1 MiB requests, best of %d:\n", g_path.c_str(),
                (long long)(g_sizeBytes >> 20), iterations);
    std::printf("  dd bs=1M            %8.1f MB/s\n", g_ddMBps);
    auto line = [](const char* what, double mbps) {
      if (mbps > 0) std::printf("  %-19s %8.1f MB/s  ratio %.3f of dd (goal 0.9)\n", what, mbps, mbps / g_ddMBps);
    };
    line("Drive", g_driveMBps);
    line("Drive, 100 excluded", g_excludedMBps);
    line("Drive, caller buffer", g_bufferMBps);
  }
  return 0;
}
