// NTFS against The Sleuth Kit on the same images, in the same run:
// - every FILE record of a volume with 100000 files parsed (the image
//   opened, its $MFT mapped and read in large pieces, each record parsed
//   into a node) against `fls -r -p IMG >/dev/null`;
// - a 200 MiB LZNT1-compressed file read through its runs
//   (inode::ReadClusters) against `icat IMG INODE >/dev/null`.
// The images come from bench/make_ntfs_bench_images.sh (about a minute; run
// once, kept in build/ntfs-bench next to bin/, or DV_NTFS_BENCH_DIR). Both
// sides read the images from the page cache.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "platform/Memory.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {

std::string g_dir;
std::string g_records, g_comp;
uint64_t g_compInode = 0;

double g_oursMftSeconds = 0, g_flsSeconds = 0;
uint64_t g_recordsParsed = 0, g_recordsSeen = 0;
double g_oursCompSeconds = 0, g_icatSeconds = 0;
uint64_t g_compBytes = 0;
std::string g_oursDigest, g_icatDigest;

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string ExeDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, size_t(n));
  return p.substr(0, p.rfind('/'));
}

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && st.st_size > 0;
}

std::string ReadText(const std::string& p) {
  std::string out;
  if (FILE* f = std::fopen(p.c_str(), "rb")) {
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

// Runs a shell command with its output thrown away; its wall time, or -1.
double TimeCommand(const std::string& cmd) {
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  const double s = Seconds(t0, std::chrono::steady_clock::now());
  return (rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0) ? s : -1;
}

struct Volume {
  std::unique_ptr<Drive> drive;
  std::unique_ptr<NTFSVol> vol;

  bool Open(const std::string& path) {
    drive.reset(CreateDrive(FromUtf8(path)));
    if (!drive) return false;
    drive->InitDrive(FromUtf8(path));
    std::vector<uint8_t> boot(4096);
    if (!drive->ReadSectors(0, 4096, 0, boot.data(), true)) return false;
    vol = std::make_unique<NTFSVol>();
    vol->drive = drive.get();
    return NTFS::BootParse(vol.get(), boot.data()) && vol->LoadMftNode() == 0;
  }
};

// One pass over the $MFT: read in pieces of up to 1 MiB along its runs, each
// FILE record parsed with the same node. Records parsed, or -1.
int64_t ParseMft(const std::string& image, uint64_t* seen) {
  Volume v;
  if (!v.Open(image)) return -1;
  NTFSVol* vol = v.vol.get();
  const uint32_t cs = vol->clusterSize, rs = vol->recordSize;
  const uint64_t total = vol->RecordCount() * rs;
  constexpr uint32_t kPiece = 1 << 20;
  uint8_t* buf = static_cast<uint8_t*>(AlignedAlloc(kPiece));
  if (!buf) return -1;
  inode node;
  int64_t parsed = 0;
  *seen = 0;
  for (uint64_t off = 0; off < total;) {
    uint64_t contiguous = 0;
    const uint64_t at = vol->mftMap->MapByte(off, &contiguous);
    if (!at || !contiguous || (at % cs) != 0) break;  // runs start on clusters
    uint64_t bytes = std::min<uint64_t>({contiguous, kPiece, total - off});
    bytes -= bytes % rs;
    if (bytes == 0) break;
    const uint32_t clusters = uint32_t((bytes + cs - 1) / cs);
    uint32_t got = 0;
    if (!vol->ReadClusters(buf, int64_t(at / cs), clusters, cs, kPiece, &got) || got != clusters) break;
    for (uint64_t r = 0; r < bytes; r += rs) {
      uint8_t* rec = buf + r;
      ++*seen;
      if (!CheckFILERecord(rec)) continue;
      node.Init(rec, vol);
      node.position = at + r;
      if (node.parseEntry() == 0) parsed++;
    }
    off += bytes;
  }
  node.Init(nullptr, nullptr);
  AlignedFree(buf);
  return parsed;
}

// The compressed file read through its runs, 256 clusters a call; its bytes
// hashed when md5 is given. Bytes read, or -1.
int64_t ReadCompressed(const std::string& image, uint64_t record, Md5* md5) {
  Volume v;
  if (!v.Open(image)) return -1;
  NTFSVol* vol = v.vol.get();
  std::vector<uint8_t> rec(vol->recordSize);
  uint64_t at = 0;
  if (!vol->ReadMftRecord(record, rec.data(), &at)) return -1;
  inode node(rec.data(), vol);
  node.position = at;
  if (node.parseEntry() != 0) return -1;
  node.record = nullptr;
  if (!vol->LoadPieces(&node)) return -1;
  if (!(node.flags2 & kNode2Compressed)) {
    std::fprintf(stderr, "the file is not compressed\n");
    return -1;
  }
  const uint32_t cs = vol->clusterSize;
  const uint64_t clusters = (node.size + cs - 1) / cs;
  uint64_t done = 0;
  for (uint64_t c = 0; c < clusters;) {
    const uint32_t want = uint32_t(std::min<uint64_t>(clusters - c, 256));
    uint32_t got = 0;
    const uint8_t* p = node.ReadClusters(int64_t(c), want, &got);
    if (!p || got == 0) return -1;
    const uint64_t bytes = std::min<uint64_t>(uint64_t(got) * cs, node.size - done);
    if (md5) md5->Update(p, size_t(bytes));
    benchmark::DoNotOptimize(p[0]);
    done += bytes;
    c += got;
  }
  node.FreeWorkBuffer();
  return int64_t(done);
}

void BM_NtfsMftRecords(benchmark::State& state) {
  uint64_t seen = 0;
  if (ParseMft(g_records, &seen) <= 0) {  // warm the page cache
    state.SkipWithError("cannot open or parse records.img");
    return;
  }
  double best = 1e30;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    g_recordsParsed = uint64_t(ParseMft(g_records, &g_recordsSeen));
    const double s = Seconds(t0, std::chrono::steady_clock::now());
    state.SetIterationTime(s);
    best = std::min(best, s);
  }
  g_oursMftSeconds = best;
  state.SetItemsProcessed(int64_t(state.iterations() * g_recordsParsed));
  state.counters["records"] = double(g_recordsParsed);
  state.counters["best_records_per_s"] = double(g_recordsParsed) / best;
}

void BM_FlsRecursive(benchmark::State& state) {
  const std::string cmd = "fls -r -p '" + g_records + "'";
  TimeCommand(cmd);
  double best = 1e30;
  for (auto _ : state) {
    const double s = TimeCommand(cmd);
    if (s < 0) {
      state.SkipWithError("fls failed (is The Sleuth Kit installed?)");
      return;
    }
    state.SetIterationTime(s);
    best = std::min(best, s);
  }
  g_flsSeconds = best;
  state.counters["best_records_per_s"] = double(g_recordsParsed) / best;
}

void BM_NtfsCompressedRead(benchmark::State& state) {
  Md5 md5;
  const int64_t n = ReadCompressed(g_comp, g_compInode, &md5);  // checks the data, warms the cache
  if (n <= 0) {
    state.SkipWithError("cannot read the compressed file of comp.img");
    return;
  }
  uint8_t d[kMd5DigestSize];
  md5.Final(d);
  g_oursDigest = HexText(d, kMd5DigestSize);
  g_compBytes = uint64_t(n);
  double best = 1e30;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    ReadCompressed(g_comp, g_compInode, nullptr);
    const double s = Seconds(t0, std::chrono::steady_clock::now());
    state.SetIterationTime(s);
    best = std::min(best, s);
  }
  g_oursCompSeconds = best;
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
  state.counters["best_MB_per_s"] = double(n) / 1e6 / best;
}

void BM_IcatCompressed(benchmark::State& state) {
  const std::string cmd = "icat '" + g_comp + "' " + std::to_string(g_compInode);
  if (FILE* p = popen((cmd + " | md5sum").c_str(), "r")) {
    char out[33] = {};
    const size_t got = std::fread(out, 1, 32, p);
    pclose(p);
    g_icatDigest.assign(out, got);
  }
  double best = 1e30;
  for (auto _ : state) {
    const double s = TimeCommand(cmd);
    if (s < 0) {
      state.SkipWithError("icat failed (is The Sleuth Kit installed?)");
      return;
    }
    state.SetIterationTime(s);
    best = std::min(best, s);
  }
  g_icatSeconds = best;
  state.counters["best_MB_per_s"] = double(g_compBytes) / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  StartupScope scope;
  const char* env = std::getenv("DV_NTFS_BENCH_DIR");
  g_dir = env && *env ? env : ExeDir() + "/../ntfs-bench";
  g_records = g_dir + "/records.img";
  g_comp = g_dir + "/comp.img";
  if (!Exists(g_records) || !Exists(g_comp) || !Exists(g_comp + ".inode")) {
    const std::string script = ExeDir() + "/../../bench/make_ntfs_bench_images.sh";
    std::fprintf(stderr, "making the benchmark images in %s (about a minute)\n", g_dir.c_str());
    const int rc = std::system(("bash '" + script + "' '" + g_dir + "'").c_str());
    if (rc != 0 || !Exists(g_records) || !Exists(g_comp)) {
      std::fprintf(stderr, "cannot make the images (%s needs root, FUSE, mkntfs, ntfs-3g and sleuthkit)\n",
                   script.c_str());
      return 1;
    }
  }
  g_compInode = std::strtoull(ReadText(g_comp + ".inode").c_str(), nullptr, 10);
  if (g_compInode == 0) {
    std::fprintf(stderr, "no inode in %s.inode\n", g_comp.c_str());
    return 1;
  }
  const int iterations = 5;
  benchmark::RegisterBenchmark("BM_NtfsMftRecords", BM_NtfsMftRecords)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_FlsRecursive", BM_FlsRecursive)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_NtfsCompressedRead", BM_NtfsCompressedRead)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_IcatCompressed", BM_IcatCompressed)
      ->Iterations(iterations)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  int status = 0;
  if (g_oursMftSeconds > 0 && g_flsSeconds > 0) {
    std::printf("\n%s: %llu FILE records parsed of %llu, best of %d:\n", g_records.c_str(),
                (unsigned long long)g_recordsParsed, (unsigned long long)g_recordsSeen, iterations);
    std::printf("  MFT parse     %9.1f ms  %10.0f records/s\n", g_oursMftSeconds * 1e3,
                double(g_recordsParsed) / g_oursMftSeconds);
    std::printf("  fls -r -p     %9.1f ms  %10.0f records/s\n", g_flsSeconds * 1e3,
                double(g_recordsParsed) / g_flsSeconds);
    std::printf("  ratio         %9.2f  (fls time / ours; above 1 is faster than TSK)\n",
                g_flsSeconds / g_oursMftSeconds);
  }
  if (g_oursCompSeconds > 0 && g_icatSeconds > 0) {
    std::printf("\n%s: inode %llu, %llu bytes LZNT1-compressed, best of %d:\n", g_comp.c_str(),
                (unsigned long long)g_compInode, (unsigned long long)g_compBytes, iterations);
    std::printf("  ReadClusters  %9.1f ms  %8.1f MB/s  %s\n", g_oursCompSeconds * 1e3,
                double(g_compBytes) / 1e6 / g_oursCompSeconds, g_oursDigest.c_str());
    std::printf("  icat          %9.1f ms  %8.1f MB/s  %s\n", g_icatSeconds * 1e3,
                double(g_compBytes) / 1e6 / g_icatSeconds, g_icatDigest.c_str());
    std::printf("  ratio         %9.2f  (icat time / ours)%s\n", g_icatSeconds / g_oursCompSeconds,
                g_oursDigest == g_icatDigest ? "" : "  DIGESTS DIFFER");
    if (g_oursDigest != g_icatDigest) status = 2;
  }
  return status;
}
