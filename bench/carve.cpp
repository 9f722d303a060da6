// Carving throughput in memory: the header probe in sectors per second over
// random sectors and over headers, the JPEG parser in MB/s over scan data
// fed in 1 MiB reads, and the carving side of the sector pass over a
// 256 MiB image that is about 10 % pictures (JPEG, PNG, BMP) laid in random
// bytes, against a plain pass over the same bytes (memchr for a byte that
// never occurs: what any reader of the image costs at least).
// The comparison of the whole Long Scan with `cat` waits for the Long Scan.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/HdrParse.h"
#include "carving/SectorProbe.h"
#include "volumes/FileTypes.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> b(n);
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(&b[i], &v, 8);
  }
  return b;
}

// Scan data as an encoder writes it: every 0xFF stuffed with 0x00.
std::vector<uint8_t> Jpeg(size_t scanBytes, uint64_t seed) {
  std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                            0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
  const std::vector<uint8_t> r = RandomBytes(scanBytes, seed);
  b.reserve(b.size() + scanBytes + scanBytes / 200 + 2);
  for (uint8_t x : r) {
    b.push_back(x);
    if (x == 0xFF) b.push_back(0x00);
  }
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

std::vector<uint8_t> Png(size_t dataBytes, uint64_t seed) {
  std::vector<uint8_t> b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&](const char* type, size_t n) {
    const std::vector<uint8_t> d = RandomBytes(n, seed + n);
    b.push_back(uint8_t(n >> 24)), b.push_back(uint8_t(n >> 16)), b.push_back(uint8_t(n >> 8)), b.push_back(uint8_t(n));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), d.begin(), d.end());
    b.insert(b.end(), 4, 0x5A);
  };
  chunk("IHDR", 13);
  for (size_t done = 0; done < dataBytes; done += 8192) chunk("IDAT", 8192);
  chunk("IEND", 0);
  return b;
}

std::vector<uint8_t> Bmp(uint32_t size) {
  std::vector<uint8_t> b = RandomBytes(size, size);
  std::memset(b.data(), 0, 54);
  b[0] = 'B', b[1] = 'M';
  std::memcpy(&b[2], &size, 4);
  b[10] = 54, b[14] = 40, b[26] = 1, b[28] = 24;
  return b;
}

size_t g_laidFiles = 0;

// 256 MiB: random bytes with pictures at sector starts, about 10 % of it.
const std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image;
  if (!image.empty()) return image;
  image = RandomBytes(size_t(256) << 20, 1);
  std::mt19937_64 rng(2);
  size_t at = 1 << 20, laid = 0;
  while (at < image.size() - (4 << 20)) {
    std::vector<uint8_t> f;
    switch (rng() % 3) {
      case 0:
        f = Jpeg(200000 + rng() % 800000, rng());
        break;
      case 1:
        f = Png(100000 + rng() % 400000, rng());
        break;
      default:
        f = Bmp(uint32_t(300000 + rng() % 1000000));
    }
    std::memcpy(&image[at], f.data(), f.size());
    laid += f.size();
    ++g_laidFiles;
    at += f.size() * 10;
    at = (at + 511) / 512 * 512;
  }
  (void)laid;
  return image;
}

// The probe over every sector of `data`, in sectors per second.
void ProbeAll(benchmark::State& state, const std::vector<uint8_t>& data) {
  uint64_t hits = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < data.size(); at += 512) hits += ProbeSectorSignature(data.data() + at) != kNoFileType;
    benchmark::DoNotOptimize(hits);
  }
  state.counters["sectors/s"] =
      benchmark::Counter(double(data.size() / 512) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ProbeRandomSectors(benchmark::State& state) { ProbeAll(state, RandomBytes(size_t(64) << 20, 3)); }
BENCHMARK(BM_ProbeRandomSectors)->Unit(benchmark::kMillisecond);

// Sectors that all start with a header of some row, in turn.
void BM_ProbeHeaderSectors(benchmark::State& state) {
  static const std::string_view heads[] = {
      {"%PDF-1.4", 8},           {"{\\rtf1", 6},          {"GIF89a", 6},
      {"ID3\x03", 4},            {"INDX", 4},              {"II*\0\x08\0\0\0", 8},
      {"RIFF\0\0\0\0WAVE", 12}, {"\xFF\xD8\xFF\xE0", 4}, {"\x89PNG\r\n\x1a\n", 8},
      {"PK\x03\x04\x14\0", 6}};
  std::vector<uint8_t> data(size_t(16) << 20, 0);
  for (size_t at = 0, k = 0; at < data.size(); at += 512, ++k) {
    const std::string_view h = heads[k % (sizeof heads / sizeof *heads)];
    std::memcpy(&data[at], h.data(), h.size());
  }
  ProbeAll(state, data);
}
BENCHMARK(BM_ProbeHeaderSectors)->Unit(benchmark::kMillisecond);

void BM_JpegParser(benchmark::State& state) {
  const std::vector<uint8_t> jpg = Jpeg(size_t(64) << 20, 4);
  constexpr size_t kRead = 1 << 20;
  for (auto _ : state) {
    HdrParse driver;
    driver.Slot(kTypeJpg)->headerSector = 0;
    int r = driver.Parse(kTypeJpg, jpg.data(), kRead);
    int64_t end = 1;
    for (size_t at = kRead; at < jpg.size() && r == kFileTypePending; at += kRead)
      r = driver.ParseMore(jpg.data() + at, std::min(kRead, jpg.size() - at), ++end);
    if (r != kTypeJpg || driver.Slot(kTypeJpg)->size != jpg.size()) state.SkipWithError("JPEG not measured");
  }
  state.SetBytesProcessed(int64_t(jpg.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_JpegParser)->Unit(benchmark::kMillisecond);

// The carving side of the pass over the image in 1 MiB reads.
void BM_CarveImage(benchmark::State& state) {
  const std::vector<uint8_t>& image = Image();
  constexpr size_t kRead = 1 << 20;
  size_t found = 0;
  for (auto _ : state) {
    CarveScan scan;
    scan.SetDetection(true);
    for (size_t at = 0; at < image.size(); at += kRead) scan.ScanRead(image.data() + at, kRead, int64_t(at / 512));
    scan.AbandonOpen();
    found = 0;
    for (const HdrHit& h : scan.Hits()) found += h.size > 0;
  }
  if (found != g_laidFiles) state.SkipWithError("a laid-in picture was not found");
  state.counters["files"] = double(found);
  state.SetBytesProcessed(int64_t(image.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_CarveImage)->Unit(benchmark::kMillisecond);

// What touching every byte of the image costs at least.
void BM_PlainPass(benchmark::State& state) {
  std::vector<uint8_t> image = Image();
  for (uint8_t& b : image)
    if (b == 0xA5) b = 0xA4;
  constexpr size_t kRead = 1 << 20;
  for (auto _ : state) {
    size_t hits = 0;
    for (size_t at = 0; at < image.size(); at += kRead) hits += std::memchr(image.data() + at, 0xA5, kRead) != nullptr;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(int64_t(image.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_PlainPass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
