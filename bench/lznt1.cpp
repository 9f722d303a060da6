// LZNT1 decompression speed: 64 KiB compression units made of generated
// token streams (a mix of literals and back-references, as text gives) and
// of stored chunks (incompressible data), decompressed unit by unit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "filesystems/ntfs/Lznt1.h"

namespace {

constexpr int kUnit = 4096;  // bytes of one cluster
constexpr int kUnitsOut = 16;

void Put16(std::vector<uint8_t>& b, unsigned v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

// One 64 KiB compression unit: 16 chunks of tokens written directly (each
// chunk decompresses to 4096 bytes), or 16 stored chunks.
std::vector<uint8_t> MakeUnit(bool stored, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  for (int c = 0; c < 16; ++c) {
    std::vector<uint8_t> tokens;
    if (stored) {
      for (int i = 0; i < 4096; ++i) tokens.push_back(uint8_t(rng()));
      Put16(out, 0x3000 | 4095);
      out.insert(out.end(), tokens.begin(), tokens.end());
      continue;
    }
    size_t pos = 0;
    while (pos < 4096) {
      size_t flagAt = tokens.size();
      tokens.push_back(0);
      for (int bit = 0; bit < 8 && pos < 4096; ++bit) {
        int l = 12;
        for (size_t p = pos - 1; pos > 0 && p >= 0x10; p >>= 1) --l;
        size_t maxLen = (size_t(1) << l) + 2, maxOff = size_t(1) << (16 - l);
        if (pos >= 16 && rng() % 3) {
          size_t off = 1 + rng() % std::min(pos, maxOff);
          size_t len = 3 + rng() % 20;
          if (len > maxLen) len = maxLen;
          if (len > 4096 - pos) len = 4096 - pos;
          if (len >= 3) {
            tokens[flagAt] |= uint8_t(1 << bit);
            Put16(tokens, unsigned(((off - 1) << l) | (len - 3)));
            pos += len;
            continue;
          }
        }
        tokens.push_back(uint8_t('a' + rng() % 26));
        ++pos;
      }
    }
    Put16(out, 0xB000 | unsigned(tokens.size() - 1));
    out.insert(out.end(), tokens.begin(), tokens.end());
  }
  out.resize((out.size() + kUnit - 1) / kUnit * kUnit, 0);
  return out;
}

void Decompress(benchmark::State& state, bool stored) {
  std::vector<std::vector<uint8_t>> units;
  for (uint32_t s = 0; s < 32; ++s) units.push_back(MakeUnit(stored, s));
  std::vector<uint8_t> output(size_t(kUnitsOut) * kUnit);
  size_t i = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& u = units[i++ % units.size()];
    int consumed = 0;
    int64_t n = Lznt1Decompress(u.data(), int(u.size() / kUnit), kUnit, &consumed, output.data());
    if (n != kUnitsOut * kUnit) state.SkipWithError("bad unit");
    bytes += n;
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(bytes);
}

void BM_Lznt1Tokens(benchmark::State& state) { Decompress(state, false); }
void BM_Lznt1Stored(benchmark::State& state) { Decompress(state, true); }
BENCHMARK(BM_Lznt1Tokens);
BENCHMARK(BM_Lznt1Stored);

}  // namespace

BENCHMARK_MAIN();
