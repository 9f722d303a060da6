// Quick Scan of an NTFS image with 100k files (made once by
// tests/fixtures/make_ntfs_scan_image.sh with BIG=1, through ntfs-3g; kept in
// $DV_FIXTURE_CACHE or build/fixtures): `dvscan --list` against `fls -r -p`
// on the same image, each under /usr/bin/time -v, best of three. Prints
// both wall times, their ratio (goal: at most 0.5) and dvscan's peak
// memory per found item (goal: at most 150 bytes).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "PeerRuns.h"

using peer::Run;
using peer::Timed;

int main(int argc, char** argv) {
  std::string bin = argc > 0 ? argv[0] : "bench_quickscan";
  bin = bin.substr(0, bin.rfind('/') + 1);
  const char* cache = std::getenv("DV_FIXTURE_CACHE");
  const std::string dir = std::string(cache && *cache ? cache : bin + "../fixtures") + "/ntfs-scan";
  const std::string make = "BIG=1 bash '" + bin + "../../tests/fixtures/make_ntfs_scan_image.sh' '" + dir + "'";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "could not make %s/big.img (needs root, FUSE, mkntfs, ntfs-3g)\n", dir.c_str());
    return 1;
  }
  const std::string img = dir + "/big.img";
  const Run ours = Timed("'" + bin + "dvscan' --list /tmp/dv_qs_list.tsv '" + img + "'");
  const Run tsk = Timed("fls -r -p '" + img + "'");
  std::smatch m;
  unsigned long long items = 0;
  if (std::regex_search(ours.out, m, std::regex(R"(items=(\d+))"))) items = std::stoull(m[1]);
  const size_t flsLines = size_t(std::count(tsk.out.begin(), tsk.out.end(), '\n'));
  std::printf("image: %s\n", img.c_str());
  std::printf("dvscan --list: %.3f s, %llu items, peak RSS %ld KiB\n", ours.seconds, items, ours.maxRssKb);
  std::printf("fls -r -p:     %.3f s, %zu lines, peak RSS %ld KiB\n", tsk.seconds, flsLines, tsk.maxRssKb);
  std::printf("time ratio dvscan/fls: %.3f (goal <= 0.5)\n", tsk.seconds > 0 ? ours.seconds / tsk.seconds : 0.0);
  std::printf("dvscan peak memory per item: %.1f bytes (goal <= 150)\n",
              items ? double(ours.maxRssKb) * 1024.0 / double(items) : 0.0);
  return 0;
}
