// ZFS (not for CI): LZJB decoding of real pool blocks beside memcpy of
// their output (Google Benchmark, on the committed tp.img's LZJB dataset),
// then the recovery of a 1 GiB file from an uncompressed and an LZJB
// pool written by zfs-fuse (made once by bench/make_zfs_bench_image.sh
// into build/bench-cache/zfs) against `cat IMG >/dev/null` (the read
// limit: the image's allocated bytes over its time) and against `cat` of
// the file from the pool mounted by zfs-fuse (the peer), with the image
// dropped from the page cache and again cached; `dd` of the image into the
// destination (a tmpfs when we are root) shows what the writing costs. Goals: at least half the
// read limit uncompressed; faster than zfs-fuse. `-- --no-peers` runs only
// the decoding; the peer runs need root and FUSE.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "PeerRuns.h"
#include "filesystems/zfs/Checksum.h"
#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/Definitions.h"

using namespace peer;

namespace {

std::string g_bin;

struct Block {
  std::vector<uint8_t> raw;
  uint32_t lsize = 0;
};

// tp.img's tp/comp text-1m blocks: "0:OFFSET:ASIZE LSIZEL/PSIZEP" lines of
// the committed zdb record, read from the image unpacked into the cache.
std::vector<Block> RealBlocks() {
  const std::string src = g_bin + "../../tests/fixtures/zfs/";
  const std::string img = g_bin + "../bench-cache/zfs/tp.img";
  if (!Exists(img) && Sh("mkdir -p " + Quote(g_bin + "../bench-cache/zfs") + " && xz -dc " + Quote(src + "tp.img.xz") +
                         " | dd of=" + Quote(img) + " bs=64K conv=sparse status=none") != 0)
    return {};
  const std::string dvas = Slurp(src + "tp.dvas.txt");
  const size_t from = dvas.find("===== tp/comp 6 text-1m"), to = dvas.find("=====", from + 5);
  const std::string part = dvas.substr(from, to - from);
  std::vector<Block> out;
  std::ifstream in(img, std::ios::binary);
  const std::regex l0(R"(L0 0:([0-9a-f]+):[0-9a-f]+ ([0-9a-f]+)L/([0-9a-f]+)P)");
  for (auto it = std::sregex_iterator(part.begin(), part.end(), l0); it != std::sregex_iterator(); ++it) {
    Block b;
    const uint64_t offset = std::stoull((*it)[1], nullptr, 16);
    b.lsize = uint32_t(std::stoul((*it)[2], nullptr, 16));
    b.raw.resize(std::stoul((*it)[3], nullptr, 16));
    in.seekg(std::streamoff(zfs::kVdevDataOffset + offset));
    in.read(reinterpret_cast<char*>(b.raw.data()), std::streamsize(b.raw.size()));
    out.push_back(std::move(b));
  }
  return out;
}

const std::vector<Block>& Blocks() {
  static const std::vector<Block> blocks = RealBlocks();
  return blocks;
}

void BM_LzjbRealBlocks(benchmark::State& state) {
  const auto& blocks = Blocks();
  if (blocks.empty()) {
    state.SkipWithError("no blocks (xz, tests/fixtures/zfs)");
    return;
  }
  std::vector<uint8_t> out(zfs::kMaxBlockBytes);
  uint64_t bytes = 0;
  for (auto _ : state)
    for (const Block& b : blocks) {
      if (LZJBDecompress(b.raw.data(), out.data(), b.raw.size(), b.lsize) != 0) state.SkipWithError("decode");
      benchmark::DoNotOptimize(out.data());
      bytes += b.lsize;
    }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_LzjbRealBlocks);

void BM_Fletcher4(benchmark::State& state) {
  std::vector<uint8_t> block(zfs::kMaxBlockBytes);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 131);
  for (auto _ : state) benchmark::DoNotOptimize(Fletcher4(block.data(), block.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block.size()));
}
BENCHMARK(BM_Fletcher4);

void BM_MemcpyOfTheirOutput(benchmark::State& state) {
  const auto& blocks = Blocks();
  std::vector<uint8_t> in(zfs::kMaxBlockBytes, 7), out(zfs::kMaxBlockBytes);
  uint64_t bytes = 0;
  for (auto _ : state)
    for (const Block& b : blocks) {
      std::memcpy(out.data(), in.data(), b.lsize);
      benchmark::DoNotOptimize(out.data());
      bytes += b.lsize;
    }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_MemcpyOfTheirOutput);

// A path without "." and ".." (zfs takes only absolute mount points).
std::string Absolute(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  const std::string out = real ? real : path;
  std::free(real);
  return out;
}

void PeerRuns() {
  const std::string cache = Absolute(g_bin + "../bench-cache") + "/zfs";
  if (Sh("bash " + Quote(g_bin + "../../bench/make_zfs_bench_image.sh") + " " + Quote(cache)) != 0) {
    std::printf("peer runs skipped: the pools could not be made (root, FUSE and zfs-fuse)\n");
    return;
  }
  const std::string md5 = Slurp(cache + "/bench.md5").substr(0, 32);
  const Destination dest(cache + "/dest", "size=3g");
  const std::string mnt = cache + "/mnt", pid = cache + "/daemon.pid";
  // The pool mounted by zfs-fuse, for the peer's runs only: the daemon
  // started afresh, its own cache empty.
  auto mount = [&](const std::string& pool, bool on) {
    if (on) {
      Sh("mkdir -p " + Quote(mnt) + "; (zfs-fuse --no-daemon --no-kstat-mount >/dev/null 2>&1 & echo $! >" +
         Quote(pid) + "); for i in $(seq 100); do zpool list >/dev/null 2>&1 && break; sleep 0.2; done; " +
         "zpool import -d " + Quote(cache) + " " + pool + " && zfs set mountpoint=" + Quote(mnt) + " " + pool);
    } else {
      Sh("zpool export " + pool + "; p=$(cat " + Quote(pid) +
         "); kill $p 2>/dev/null; for i in $(seq 100); do kill -0 $p 2>/dev/null || break; sleep 0.1; done");
    }
  };
  std::FILE* uptime = popen("uptime", "r");
  char load[256] = {};
  if (uptime) {
    if (!std::fgets(load, sizeof load, uptime)) load[0] = 0;
    pclose(uptime);
  }
  std::printf("load: %s(the machine is shared with other work)\n", load);
  for (const char* name : {"plain", "lz"}) {
    const std::string img = cache + "/" + name + ".img", pool = std::string("z") + name;
    struct stat st {};
    stat(img.c_str(), &st);
    const double allocatedMib = double(st.st_blocks) * 512 / (1 << 20);
    for (const bool cold : {true, false}) {
      const char* how = cold ? "image not cached" : "image cached";
      auto before = [&] {
        if (cold) DropFromCache(img);
        else Sh("cat " + Quote(img) + " >/dev/null");
      };
      const double cat = BestInto(dest.Path(), "cat", "cat " + Quote(img) + " >/dev/null; true DEST", nullptr, before);
      const double limit = cat > 0 ? allocatedMib / cat : 0;
      // What writing the bytes into the destination costs alone.
      const double dd = BestInto(dest.Path(), "dd", "dd if=" + Quote(img) + " of=DEST bs=1M status=none", nullptr, before);
      std::string out;
      const std::string cmd =
          Quote(g_bin + "dvscan") + " --recover DEST " + Quote(img) + " && md5sum DEST/RootDataset/big";
      const double ours = BestInto(dest.Path(), "dv", cmd, &out, before);
      const bool exact = out.find(md5) != std::string::npos;
      mount(pool, true);
      auto peerBefore = [&] {
        if (cold) {
          mount(pool, false);
          DropFromCache(img);
          mount(pool, true);
        } else {
          Sh("cat " + Quote(mnt + "/big") + " >/dev/null");
        }
      };
      const double fuse =
          BestInto(dest.Path(), "peer", "cat " + Quote(mnt + "/big") + " >/dev/null; true DEST", nullptr, peerBefore);
      mount(pool, false);
      std::printf("%s, %s: cat IMG %.3f s for %.0f MiB allocated (the read limit %.0f MiB/s); dd IMG into the "
                  "destination %.3f s\n",
                  name, how, cat, allocatedMib, limit, dd);
      std::printf("%s, %s: dvscan --recover %.3f s (%.0f MiB/s, md5 %s); zfs-fuse cat %.3f s (%.0f MiB/s)\n", name,
                  how, ours, ours > 0 ? 1024 / ours : 0.0, exact ? "exact" : "DIFFERS", fuse,
                  fuse > 0 ? 1024 / fuse : 0.0);
      std::printf("%s, %s: dvscan speed / read limit %.3f (goal >= 0.5 uncompressed); zfs-fuse time / dvscan time "
                  "%.3f (goal > 1)\n",
                  name, how, ours > 0 && limit > 0 ? (1024 / ours) / limit : 0.0, ours > 0 ? fuse / ours : 0.0);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  bool peers = true;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-peers") == 0) peers = false;
    else args.push_back(argv[i]);
  }
  int n = int(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  if (peers) PeerRuns();
  return 0;
}
