// MD5 throughput on a file in the page cache, against md5sum on the same
// file in the same run. The file holds random data and is kept between runs
// (/tmp/dv_md5_bench.bin, 2 GiB). A smaller size for a quick run:
// --size_mib=N or DV_MD5_BENCH_MIB=N (then /tmp/dv_md5_bench_<N>mib.bin).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/RandomFile.h"
#include "foundation/Md5.h"
#include "platform/Memory.h"

namespace {

int64_t g_sizeBytes = int64_t(2048) << 20;
std::string g_path = "/tmp/dv_md5_bench.bin";
double g_oursMBps = 0, g_md5sumMBps = 0;
std::string g_oursDigest, g_md5sumDigest;

constexpr size_t kPiece = 1 << 20;

bool MakeFile() { return MakeRandomFile(g_path, g_sizeBytes); }

// Reads the file through the page cache, hashing as it goes; returns the
// hex digest, empty on failure.
std::string HashFile(uint8_t* buffer) {
  int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  Md5 md5;
  ssize_t n;
  while ((n = read(fd, buffer, kPiece)) > 0) md5.Update(buffer, size_t(n));
  close(fd);
  uint8_t d[kMd5DigestSize];
  md5.Final(d);
  return n < 0 ? std::string() : HexText(d, kMd5DigestSize);
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void BM_Md5CachedFile(benchmark::State& state) {
  uint8_t* buffer = static_cast<uint8_t*>(AlignedAlloc(kPiece));
  HashFile(buffer);  // bring the file into the page cache
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    g_oursDigest = HashFile(buffer);
    double s = Seconds(t0, std::chrono::steady_clock::now());
    state.SetIterationTime(s);
    g_oursMBps = std::max(g_oursMBps, double(g_sizeBytes) / 1e6 / s);
  }
  AlignedFree(buffer);
  state.SetBytesProcessed(int64_t(state.iterations()) * g_sizeBytes);
  state.counters["best_MB_per_s"] = g_oursMBps;
}

void BM_Md5sumCachedFile(benchmark::State& state) {
  std::string cmd = "md5sum '" + g_path + "'";
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    FILE* p = popen(cmd.c_str(), "r");
    char out[64] = {};
    size_t got = p ? fread(out, 1, 32, p) : 0;
    if (p) pclose(p);
    double s = Seconds(t0, std::chrono::steady_clock::now());
    state.SetIterationTime(s);
    g_md5sumDigest.assign(out, got);
    g_md5sumMBps = std::max(g_md5sumMBps, double(g_sizeBytes) / 1e6 / s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * g_sizeBytes);
  state.counters["best_MB_per_s"] = g_md5sumMBps;
}

// The compression alone on a buffer in memory, unaligned by one byte.
void BM_Md5Memory(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  std::vector<uint8_t> data(size + 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + (i >> 9));
  uint8_t d[kMd5DigestSize];
  for (auto _ : state) {
    Md5Of(data.data() + 1, size, d);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  int64_t mib = 0;
  if (const char* env = getenv("DV_MD5_BENCH_MIB")) mib = atoll(env);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--size_mib=", 11) == 0) mib = atoll(argv[i] + 11);
  if (mib > 0 && mib != 2048) {
    g_sizeBytes = mib << 20;
    g_path = "/tmp/dv_md5_bench_" + std::to_string(mib) + "mib.bin";
  }
  if (!MakeFile()) {
    std::fprintf(stderr, "cannot write %s\n", g_path.c_str());
    return 1;
  }
  const int iterations = g_sizeBytes >= (int64_t(1) << 30) ? 3 : 10;
  benchmark::RegisterBenchmark("BM_Md5CachedFile", BM_Md5CachedFile)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Md5sumCachedFile", BM_Md5sumCachedFile)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Md5Memory", BM_Md5Memory)->Arg(64)->Arg(4096)->Arg(16 << 20);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_oursMBps > 0 && g_md5sumMBps > 0) {
    std::printf("\n%s, %lld MiB in the page cache, best of %d:\n", g_path.c_str(), (long long)(g_sizeBytes >> 20),
                iterations);
    std::printf("  Md5      %8.1f MB/s  %s\n", g_oursMBps, g_oursDigest.c_str());
    std::printf("  md5sum   %8.1f MB/s  %s\n", g_md5sumMBps, g_md5sumDigest.c_str());
    std::printf("  ratio    %8.3f  (Md5 / md5sum)%s\n", g_oursMBps / g_md5sumMBps,
                g_oursDigest == g_md5sumDigest ? "" : "  DIGESTS DIFFER");
  }
  return g_oursDigest == g_md5sumDigest || g_oursMBps == 0 ? 0 : 2;
}
