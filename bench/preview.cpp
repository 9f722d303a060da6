// The picture preview of a 17.7 MiB JPEG (6000 x 4000, made by ImageMagick
// when missing): decoding straight to the reduced size against a whole
// decode followed by scaling, and ImageMagick's own reduced decode and
// resize of the same file in the same run as the peer.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ui/PicturePreview.h"

namespace {

std::string g_path;
std::vector<uint8_t> g_bytes;

bool Prepare() {
  const std::string dir = std::string(DV_BENCH_DIR);
  g_path = dir + "/preview-6000x4000.jpg";
  if (!std::ifstream(g_path).good()) {
    if (std::system("test -x /usr/bin/convert") != 0) return false;
    const std::string cmd = "/usr/bin/convert -size 6000x4000 -seed 11 plasma:fractal -attenuate 0.25 +noise Gaussian -quality 95 '" +
                            g_path + ".tmp.jpg' && mv '" + g_path + ".tmp.jpg' '" + g_path + "'";
    if (std::system(cmd.c_str()) != 0) return false;
  }
  std::ifstream f(g_path, std::ios::binary);
  g_bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !g_bytes.empty();
}

void BM_PreviewScaledDecode(benchmark::State& state) {
  for (auto _ : state) {
    DecodedPreview d = DecodePreview(g_bytes.data(), g_bytes.size(), 1.0, true);
    if (!d.ok) state.SkipWithError("no preview");
    benchmark::DoNotOptimize(d.image.constBits());
  }
  state.counters["MiB"] = double(g_bytes.size()) / (1 << 20);
}

void BM_PreviewFullDecodeThenScale(benchmark::State& state) {
  for (auto _ : state) {
    DecodedPreview d = DecodePreview(g_bytes.data(), g_bytes.size(), 1.0, false);
    if (!d.ok) state.SkipWithError("no preview");
    benchmark::DoNotOptimize(d.image.constBits());
  }
}

void BM_ImageMagickPeer(benchmark::State& state) {
  const std::string out = g_path + ".peer.png";
  const std::string cmd =
      "/usr/bin/convert -define jpeg:size=640x480 '" + g_path + "' -resize 320x240 '" + out + "' 2>/dev/null";
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("convert failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::remove(out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) {
    std::fprintf(stderr, "bench_preview: ImageMagick (/usr/bin/convert) is needed to make the test picture\n");
    return 0;
  }
  benchmark::RegisterBenchmark("PreviewScaledDecode", BM_PreviewScaledDecode)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("PreviewFullDecodeThenScale", BM_PreviewFullDecodeThenScale)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ImageMagickPeer", BM_ImageMagickPeer)->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
