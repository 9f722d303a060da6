// The ext Long Scan's sweeps and UFS's Quick Scan against a peer on the
// same image, on images made once by bench/make_ext_bench_images.sh into
// build/bench-cache/ext (not for CI):
//  - the inode sweep (Ext3LongScan, every slot: nothing listed by a walk)
//    over ext4many (2,000,000 inodes) against `ils -e`, the image cached:
//    the time ratio (goal: at most 1.0) and the memory per item found;
//  - the directory-block sweep (ScanDirBlocks) over ext4dirs (4 GiB of
//    blocks that all hold data) against `cat IMG >/dev/null`, the image
//    dropped from the page cache before each: the speed ratio cat time /
//    sweep time (goal: at least 0.8);
//  - the Quick Scan of ufsmany (UFS1, 100,000 files) with `dvscan --list`
//    against `fls -r -p`, cached: the time ratio (goal: at most 0.5).
// `bench/run ext_long -- NAME...` (sweep, dirblocks, ufs) runs only those.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "PeerRuns.h"
#include "app/Startup.h"
#include "engine/Engine.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/LongScan.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/NodeTable.h"
#include "volumes/VolumeSearch.h"

using namespace peer;

namespace {

std::string g_bin, g_cache;

bool Make(const std::string& set) {
  const std::string script = Quote(g_bin + "../../bench/make_ext_bench_images.sh");
  if (Sh("bash " + script + " " + Quote(g_cache) + " " + set) != 0 || !Exists(g_cache + "/" + set + ".img")) {
    std::fprintf(stderr, "could not make %s/%s.img\n", g_cache.c_str(), set.c_str());
    return false;
  }
  return true;
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The image's ext volume on a drive, in a Long Scan's engine.
struct Scan {
  Drive* drive = nullptr;
  std::unique_ptr<NTFSObj> engine;
  CExt3Vol* volume = nullptr;
  explicit Scan(const std::string& img) {
    drive = CreateDrive(FromUtf8(img));
    if (!drive) return;
    drive->InitDrive(FromUtf8(img));
    SearchBootSectors(*drive, 0, 4096, false, nullptr);
    volume = VolumeCount(*drive) ? dynamic_cast<CExt3Vol*>(VolumeAt(*drive, 0)) : nullptr;
    engine = std::make_unique<NTFSObj>(drive);
    engine->scanMode = 1;
    // Deleted and existing files, as a run sets it.
    if (g_appState) g_appState->scanFlag = 3;
    if (volume) volume->engine = engine.get();
  }
  ~Scan() {
    engine.reset();
    if (drive) DeleteDrive(&drive);
  }
};

void Sweep() {
  if (!Make("ext4many")) return;
  const std::string img = g_cache + "/ext4many.img";
  Sh("cat " + Quote(img) + " >/dev/null");
  double best = 1e9;
  size_t items = 0;
  long kb = 0;
  for (int i = 0; i < 3; ++i) {
    const long before = ResidentKb();
    Scan s(img);
    if (!s.volume) {
      std::fprintf(stderr, "no ext volume in %s\n", img.c_str());
      return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    Ext3LongScan(*s.volume, *s.engine);
    const double t = Seconds(t0);
    // The memory of the first run (later ones reuse what it freed).
    if (i == 0) {
      items = ExtRun(*s.engine).pending.size();
      kb = ResidentKb() - before;
    }
    best = std::min(best, t);
  }
  const Run ils = Timed("ils -e " + Quote(img));
  std::printf("sweep: Ext3LongScan %.3f s, %zu items, %.1f bytes per item; ils -e %.3f s, %zu lines\n", best, items,
              items ? double(kb) * 1024.0 / double(items) : 0.0, ils.seconds, Lines(ils.out));
  std::printf("sweep: time ratio sweep/ils: %.3f (goal <= 1.0)\n", ils.seconds > 0 ? best / ils.seconds : 0.0);
}

void DirBlocks() {
  if (!Make("ext4dirs")) return;
  const std::string img = g_cache + "/ext4dirs.img";
  double ours = 1e9, cat = 1e9;
  for (int i = 0; i < 3; ++i) {
    Scan s(img);
    if (!s.volume) {
      std::fprintf(stderr, "no ext volume in %s\n", img.c_str());
      return;
    }
    DropFromCache(img);
    const auto t0 = std::chrono::steady_clock::now();
    ScanDirBlocks(*s.volume, *s.engine);
    ours = std::min(ours, Seconds(t0));
    DropFromCache(img);
    const auto t1 = std::chrono::steady_clock::now();
    Sh("cat " + Quote(img) + " >/dev/null");
    cat = std::min(cat, Seconds(t1));
  }
  const double mib = double(4ull << 30) / (1 << 20);
  std::printf("dirblocks: ScanDirBlocks %.3f s (%.0f MiB/s), cat IMG %.3f s (%.0f MiB/s), image not cached\n", ours,
              mib / ours, cat, mib / cat);
  {
    // The same with the image cached: what the sweep itself costs.
    Scan s(img);
    Sh("cat " + Quote(img) + " >/dev/null");
    const auto t0 = std::chrono::steady_clock::now();
    if (s.volume) ScanDirBlocks(*s.volume, *s.engine);
    const double warm = Seconds(t0);
    const auto t1 = std::chrono::steady_clock::now();
    Sh("cat " + Quote(img) + " >/dev/null");
    const double catWarm = Seconds(t1);
    std::printf("dirblocks: image cached: ScanDirBlocks %.3f s (%.0f MiB/s), cat IMG %.3f s\n", warm, mib / warm,
                catWarm);
  }
  std::printf("dirblocks: speed ratio cat time / sweep time: %.3f (goal >= 0.8)\n", ours > 0 ? cat / ours : 0.0);
}

void UfsQuickScan() {
  if (!Make("ufsmany")) return;
  const std::string img = g_cache + "/ufsmany.img";
  Sh("cat " + Quote(img) + " >/dev/null");
  const Run ours = Timed(Quote(g_bin + "dvscan") + " --list /tmp/dv_ext_long.tsv " + Quote(img));
  const Run tsk = Timed("fls -r -p " + Quote(img));
  std::remove("/tmp/dv_ext_long.tsv");
  const unsigned long long items = Field(ours.out, "items");
  std::printf("ufs: dvscan --list %.3f s, %llu items, peak RSS %ld KiB; fls -r -p %.3f s, %zu lines\n", ours.seconds,
              items, ours.maxRssKb, tsk.seconds, Lines(tsk.out));
  std::printf("ufs: time ratio dvscan/fls: %.3f (goal <= 0.5)\n", tsk.seconds > 0 ? ours.seconds / tsk.seconds : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  g_cache = g_bin + "../bench-cache/ext";
  Sh("mkdir -p " + Quote(g_cache));
  // The drive is named by its absolute path.
  if (char* real = realpath(g_cache.c_str(), nullptr)) {
    g_cache = real;
    free(real);
  }
  StartupScope scope;
  std::set<std::string> only(argv + 1, argv + argc);
  auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };
  try {
    if (want("sweep")) Sweep();
    if (want("dirblocks")) DirBlocks();
    if (want("ufs")) UfsQuickScan();
  } catch (const DvCodeError&) {
    std::fprintf(stderr, "failed: %s\n", ToUtf8(LastErrorText()).c_str());
    return 1;
  }
  return 0;
}
