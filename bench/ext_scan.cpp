// Quick Scan of many-file ext4 and exFAT images against `fls -r -p`, and
// recovery of one 1 GiB file against reading the whole image with `cat`,
// on images made once by bench/make_ext_bench_images.sh into
// build/bench-cache/ext (not for CI):
//  - ext4many (about 1,000,000 files, 2,000,000 inodes; FILES=N when the
//    images are made scales it) and exfatmany (100,000 files):
//    `dvscan --list` against `fls -r -p`, best of three under
//    /usr/bin/time -v, with the image in the page cache: the time ratio
//    (goal: at most 0.5) and dvscan's peak memory per item (goal: at most
//    200 bytes);
//  - ext2big (block-mapped) and ext4big (extents): `dvscan --recover` of
//    the image's one 1 GiB file into a tmpfs (when we are root) against
//    `cat IMG >/dev/null`, each with the image dropped from the page cache
//    first (the disk's read limit) and again with it cached: the speed
//    ratio cat time / dvscan time (goal: at least 0.8).
// `bench/run ext_scan -- NAME...` runs only the named images.
#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "PeerRuns.h"

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

void Listing(const std::string& set) {
  if (!Make(set)) return;
  const std::string img = g_cache + "/" + set + ".img";
  Sh("cat " + Quote(img) + " >/dev/null");
  const Run ours = Timed(Quote(g_bin + "dvscan") + " --list /tmp/dv_ext_scan.tsv " + Quote(img));
  const Run tsk = Timed("fls -r -p " + Quote(img));
  std::remove("/tmp/dv_ext_scan.tsv");
  const unsigned long long items = Field(ours.out, "items");
  std::printf("%s: dvscan --list %.3f s, %llu items (%llu deleted), peak RSS %ld KiB\n", set.c_str(), ours.seconds,
              items, Field(ours.out, "deleted"), ours.maxRssKb);
  std::printf("%s: fls -r -p     %.3f s, %zu lines, peak RSS %ld KiB\n", set.c_str(), tsk.seconds, Lines(tsk.out),
              tsk.maxRssKb);
  std::printf("%s: time ratio dvscan/fls: %.3f (goal <= 0.5); peak memory per item: %.1f bytes (goal <= 200)\n",
              set.c_str(), tsk.seconds > 0 ? ours.seconds / tsk.seconds : 0.0,
              items ? double(ours.maxRssKb) * 1024.0 / double(items) : 0.0);
}

void Recovery(const std::string& set, const Destination& dest) {
  if (!Make(set)) return;
  const std::string img = g_cache + "/" + set + ".img";
  const std::string dv = Quote(g_bin + "dvscan") + " --recover DEST " + Quote(img);
  const std::string cat = "cat " + Quote(img) + " >/dev/null; true DEST";
  for (const bool cold : {true, false}) {
    auto before = [&] {
      if (cold) DropFromCache(img);
      else Sh("cat " + Quote(img) + " >/dev/null");
    };
    std::string out;
    const double ours = BestInto(dest.Path(), "dv", dv, &out, before);
    const unsigned long long saved = Field(out, "saved");
    const double peer = BestInto(dest.Path(), "cat", cat, nullptr, before);
    const double mib = double(1 << 30) / (1 << 20);
    std::printf("%s (%s): dvscan --recover %.3f s (%llu saved, %.0f MiB/s of the file), cat IMG %.3f s\n",
                set.c_str(), cold ? "image not cached" : "image cached", ours, saved, ours > 0 ? mib / ours : 0.0,
                peer);
    std::printf("%s (%s): speed ratio cat time / dvscan time: %.3f (goal >= 0.8)\n", set.c_str(),
                cold ? "image not cached" : "image cached", ours > 0 ? peer / ours : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  g_cache = g_bin + "../bench-cache/ext";
  std::set<std::string> only(argv + 1, argv + argc);
  auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };
  if (want("ext4many")) Listing("ext4many");
  if (want("exfatmany")) Listing("exfatmany");
  if (want("ext2big") || want("ext4big")) {
    Destination dest(g_bin + "../bench-cache/ext-dest", "size=2g");
    std::printf("destination: %s%s\n", dest.Path().c_str(), dest.Tmpfs() ? " (tmpfs)" : "");
    if (want("ext2big")) Recovery("ext2big", dest);
    if (want("ext4big")) Recovery("ext4big", dest);
  }
  return 0;
}
