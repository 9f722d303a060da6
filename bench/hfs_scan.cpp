// HFS+ scans against their peers on images made once by
// bench/make_hfs_bench_images.sh into build/bench-cache/hfs (not for CI):
//  - hfs100k (100,000 files, xorriso): the Quick Scan, `dvscan --list`,
//    against `fls -f hfs -r -p -o START`, best of three under
//    /usr/bin/time -v with the image in the page cache: the time ratio
//    (goal: at most 0.5) and dvscan's peak memory per item (goal: at most
//    200 bytes);
//  - hfs4g (4 GiB): the HFS+ Long Scan (catalog leaf nodes at every sector
//    of the volume) against `cat IMG >/dev/null`, each with the image
//    dropped from the page cache first: the speed ratio cat time / dvscan
//    time (goal: at least 0.8).
// `bench/run hfs_scan -- NAME...` runs only the named images.
#include <cstdio>
#include <set>
#include <string>

#include "PeerRuns.h"

using namespace peer;

namespace {

std::string g_bin, g_cache;

bool Make(const std::string& set) {
  const std::string script = Quote(g_bin + "../../bench/make_hfs_bench_images.sh");
  if (Sh("bash " + script + " " + Quote(g_cache) + " " + set) != 0 || !Exists(g_cache + "/" + set + ".iso")) {
    std::fprintf(stderr, "could not make %s/%s.iso\n", g_cache.c_str(), set.c_str());
    return false;
  }
  return true;
}

std::string Start(const std::string& set) {
  std::string s = Slurp(g_cache + "/" + set + ".start");
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

void Listing(const std::string& set) {
  if (!Make(set)) return;
  const std::string img = g_cache + "/" + set + ".iso";
  Sh("cat " + Quote(img) + " >/dev/null");
  const Run ours = Timed(Quote(g_bin + "dvscan") + " --list /tmp/dv_hfs_scan.tsv " + Quote(img));
  const Run tsk = Timed("fls -f hfs -r -p -o " + Start(set) + " " + Quote(img));
  std::remove("/tmp/dv_hfs_scan.tsv");
  const unsigned long long items = Field(ours.out, "items");
  std::printf("%s: dvscan --list %.3f s, %llu items, peak RSS %ld KiB\n", set.c_str(), ours.seconds, items,
              ours.maxRssKb);
  std::printf("%s: fls -f hfs -r -p %.3f s, %zu lines, peak RSS %ld KiB\n", set.c_str(), tsk.seconds, Lines(tsk.out),
              tsk.maxRssKb);
  std::printf("%s: time ratio dvscan/fls: %.3f (goal <= 0.5); peak memory per item: %.1f bytes (goal <= 200)\n",
              set.c_str(), tsk.seconds > 0 ? ours.seconds / tsk.seconds : 0.0,
              items ? double(ours.maxRssKb) * 1024.0 / double(items) : 0.0);
}

void LongScan(const std::string& set) {
  if (!Make(set)) return;
  const std::string img = g_cache + "/" + set + ".iso";
  const std::string options = g_cache + "/hfs-long-scan.txt";
  Sh("printf '[HFS+ Options]\\nHFS+ Long Scan=1\\n' >" + Quote(options));
  double best[2] = {1e9, 1e9};
  std::string out;
  for (int i = 0; i < 2; i++) {
    DropFromCache(img);
    const Run cat = Timed("cat " + Quote(img), 1);
    DropFromCache(img);
    const Run ours =
        Timed(Quote(g_bin + "dvscan") + " --options " + Quote(options) + " --list /dev/null " + Quote(img), 1);
    if (cat.seconds < best[0]) best[0] = cat.seconds;
    if (ours.seconds < best[1]) best[1] = ours.seconds, out = ours.out;
  }
  std::printf("%s (page cache dropped): HFS+ Long Scan %.3f s (%llu items), cat IMG %.3f s\n", set.c_str(), best[1],
              Field(out, "items"), best[0]);
  std::printf("%s: speed ratio cat time / dvscan time: %.3f (goal >= 0.8)\n", set.c_str(),
              best[1] > 0 ? best[0] / best[1] : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  g_cache = g_bin + "../bench-cache/hfs";
  std::set<std::string> only(argv + 1, argv + argc);
  auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };
  if (want("hfs100k")) Listing("hfs100k");
  if (want("hfs4g")) LongScan("hfs4g");
  std::printf("load: %s", Slurp("/proc/loadavg").c_str());
  return 0;
}
