// VMFS and ReFS against their read limits, on images made once by
// bench/make_vmfs_refs_bench_images.sh into build/bench-cache/vmfs (not for
// CI):
//  - vmfsbig: `dvscan --recover` of a VMFS5 volume's one 1 GiB file in
//    pointer blocks into a tmpfs (when we are root) against `cat IMG
//    >/dev/null`, with the image dropped from the page cache first (the
//    disk's read limit) and again cached: the speed ratio cat time / dvscan
//    time (goal: at least 0.8); `debugvmfs IMG cat /big.bin` beside it;
//  - refsmany: `dvscan --list` of 100 folders of 1,000 files: the walk's
//    metadata pages a second and its peak memory.
#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "PeerRuns.h"

using namespace peer;

namespace {

std::string g_bin, g_cache;

bool Make() {
  const std::string script = Quote(g_bin + "../../bench/make_vmfs_refs_bench_images.sh");
  if (Sh("bash " + script + " " + Quote(g_cache)) != 0) {
    std::fprintf(stderr, "could not make the images in %s\n", g_cache.c_str());
    return false;
  }
  return true;
}

void VmfsRecovery(const Destination& dest) {
  const std::string img = g_cache + "/vmfsbig.img";
  const std::string dv = Quote(g_bin + "dvscan") + " --recover DEST " + Quote(img);
  const std::string cat = "cat " + Quote(img) + " >/dev/null; true DEST";
  const std::string debugvmfs = "debugvmfs " + Quote(img) + " cat /big.bin >/dev/null; true DEST";
  for (const bool cold : {true, false}) {
    auto before = [&] {
      if (cold) DropFromCache(img);
      else Sh("cat " + Quote(img) + " >/dev/null");
    };
    const char* state = cold ? "image not cached" : "image cached";
    std::string out;
    const double ours = BestInto(dest.Path(), "dv", dv, &out, before);
    const double peer = BestInto(dest.Path(), "cat", cat, nullptr, before);
    const double tool = BestInto(dest.Path(), "debugvmfs", debugvmfs, nullptr, before);
    const double mib = 1024.0;
    std::printf(
        "vmfsbig (%s): dvscan --recover %.3f s (%llu saved, %.0f MiB/s of the file), cat IMG %.3f s, "
        "debugvmfs cat %.3f s\n",
        state, ours, Field(out, "saved"), ours > 0 ? mib / ours : 0.0, peer, tool);
    std::printf("vmfsbig (%s): speed ratio cat time / dvscan time: %.3f (goal >= 0.8)\n", state,
                ours > 0 ? peer / ours : 0.0);
  }
}

void RefsWalk() {
  const std::string img = g_cache + "/refsmany.img";
  const std::string manifest = Slurp(g_cache + "/refsmany.json");
  std::smatch m;
  const unsigned long pages =
      std::regex_search(manifest, m, std::regex("\"metadataPages\": (\\d+)")) ? std::stoul(m[1]) : 0;
  Sh("cat " + Quote(img) + " >/dev/null");
  const Run ours = Timed(Quote(g_bin + "dvscan") + " --list /tmp/dv_refs_walk.tsv " + Quote(img));
  std::remove("/tmp/dv_refs_walk.tsv");
  std::printf("refsmany: dvscan --list %.3f s, %llu items, %lu metadata pages: %.0f pages/s, peak RSS %ld KiB\n",
              ours.seconds, Field(ours.out, "items"), pages, ours.seconds > 0 ? double(pages) / ours.seconds : 0.0,
              ours.maxRssKb);
}

}  // namespace

int main(int argc, char** argv) {
  g_bin = BinFolder(argv[0]);
  g_cache = g_bin + "../bench-cache/vmfs";
  std::set<std::string> only(argv + 1, argv + argc);
  auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };
  if (!Make()) return 1;
  if (want("vmfsbig")) {
    Destination dest(g_bin + "../bench-cache/vmfs-dest", "size=2g");
    std::printf("destination: %s%s\n", dest.Path().c_str(), dest.Tmpfs() ? " (tmpfs)" : "");
    VmfsRecovery(dest);
  }
  if (want("refsmany")) RefsWalk();
  return 0;
}
