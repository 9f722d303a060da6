// XFS: the Quick Scan of a V5 volume of many files against xfs_db's
// `blockget -n` + `ncheck` and `fsxfsinfo -H`, and the XFS Long Scan of a
// 4 GiB volume against reading the whole image with `cat`, on images made
// once by bench/make_xfs_bench_images.sh into build/bench-cache/xfs (not
// for CI):
//  - xfsmany (500,000 files; FILES=N when the image is made scales it):
//    `dvscan --list` against the faster peer, best of three under
//    /usr/bin/time -v with the image in the page cache: the time ratio
//    (goal: at most 0.5) and dvscan's peak memory per item (goal: at most
//    200 bytes);
//  - xfs4g: `dvscan --list` with "XFS Long Scan" against `cat IMG
//    >/dev/null`, each with the image dropped from the page cache first:
//    the speed ratio cat time / dvscan time (goal: at least 0.8).
// `bench/run xfs_scan -- NAME...` runs only the named images.
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "PeerRuns.h"

using namespace peer;

namespace {

std::string g_bin, g_cache;

bool Make(const std::string& set) {
  const std::string script = Quote(g_bin + "../../bench/make_xfs_bench_images.sh");
  if (Sh("bash " + script + " " + Quote(g_cache) + " " + set) != 0 || !Exists(g_cache + "/" + set + ".img")) {
    std::fprintf(stderr, "could not make %s/%s.img\n", g_cache.c_str(), set.c_str());
    return false;
  }
  return true;
}

void Listing() {
  if (!Make("xfsmany")) return;
  const std::string img = g_cache + "/xfsmany.img";
  Sh("cat " + Quote(img) + " >/dev/null");
  const Run ours = Timed(Quote(g_bin + "dvscan") + " --list /tmp/dv_xfs_scan.tsv " + Quote(img));
  std::remove("/tmp/dv_xfs_scan.tsv");
  const Run db = Timed("xfs_db -r -c 'blockget -n' -c ncheck " + Quote(img));
  const Run info = Timed("fsxfsinfo -H " + Quote(img));
  const unsigned long long items = Field(ours.out, "items");
  std::printf("xfsmany: dvscan --list %.3f s, %llu items, peak RSS %ld KiB\n", ours.seconds, items, ours.maxRssKb);
  std::printf("xfsmany: xfs_db blockget -n + ncheck %.3f s, %zu lines, peak RSS %ld KiB\n", db.seconds, Lines(db.out),
              db.maxRssKb);
  std::printf("xfsmany: fsxfsinfo -H %.3f s, %zu lines, peak RSS %ld KiB\n", info.seconds, Lines(info.out),
              info.maxRssKb);
  const double faster = std::min(db.seconds, info.seconds);
  std::printf(
      "xfsmany: time ratio dvscan/faster peer: %.3f (goal <= 0.5); peak memory per item: %.1f bytes (goal "
      "<= 200)\n",
      faster > 0 ? ours.seconds / faster : 0.0, items ? double(ours.maxRssKb) * 1024.0 / double(items) : 0.0);
}

void LongScan() {
  if (!Make("xfs4g")) return;
  const std::string img = g_cache + "/xfs4g.img";
  const std::string ini = g_cache + "/xls.ini";
  Sh("printf '[XFS Options]\\nXFS Long Scan=1\\n' >" + Quote(ini));
  double best = 0, cat = 0;
  unsigned long long items = 0;
  for (int k = 0; k < 3; ++k) {
    DropFromCache(img);
    const Run ours = Timed(
        Quote(g_bin + "dvscan") + " --options " + Quote(ini) + " --list /tmp/dv_xfs_long.tsv " + Quote(img) + "", 1);
    items = Field(ours.out, "items");
    if (!best || ours.seconds < best) best = ours.seconds;
    DropFromCache(img);
    const Run peer = Timed("cat " + Quote(img) + " >/dev/null", 1);
    if (!cat || peer.seconds < cat) cat = peer.seconds;
  }
  std::remove("/tmp/dv_xfs_long.tsv");
  std::printf("xfs4g (image not cached): dvscan XFS Long Scan %.3f s (%llu items), cat IMG %.3f s\n", best, items, cat);
  std::printf("xfs4g: speed ratio cat time / dvscan time: %.3f (goal >= 0.8)\n", best > 0 ? cat / best : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  g_cache = g_bin + "../bench-cache/xfs";
  std::set<std::string> only(argv + 1, argv + argc);
  auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };
  if (want("xfsmany")) Listing();
  if (want("xfs4g")) LongScan();
  return 0;
}
