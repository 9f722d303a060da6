// Quick Scan and recovery of a fragmented FAT32 image of 100,000 files
// (made once by bench/make_fat_bench_image.sh into build/bench-cache/fat;
// not for CI), against The Sleuth Kit on the same image:
//  - `dvscan --list` against `fls -r -p`, best of three under
//    /usr/bin/time -v: both wall times, their ratio (goal: at most 0.5) and
//    dvscan's peak memory per found item (goal: at most 200 bytes);
//  - the table page cache's hits and misses during the scan (from the
//    trace, "io" switch);
//  - `dvscan --recover` of every file against `tsk_recover -e`, into a
//    tmpfs when we are root (goal: ratio at most 1);
//  - the same volume formatted again over (mkfs.fat, made once beside it):
//    `dvscan --long` (the Long Scan alone, then with the recovery of what
//    it finds) against `tsk_recover -e` and `cat` of the image, one run
//    each, with the files each gets back and the load the machine had.
// The image is read once first, so both sides find it in the page cache.
#include <cstdio>
#include <regex>
#include <string>

#include "PeerRuns.h"

using namespace peer;

int main(int, char** argv) {
  const std::string bin = BinFolder(argv[0]);
  const std::string build = bin + "..";
  const std::string cache = build + "/bench-cache/fat";
  if (Sh("bash " + Quote(build + "/../bench/make_fat_bench_image.sh") + " " + Quote(cache)) != 0) {
    std::fprintf(stderr, "could not make %s/fat32.img (needs mkfs.fat, mtools, python3)\n", cache.c_str());
    return 1;
  }
  const std::string img = cache + "/fat32.img";
  const std::string dvscan = Quote(bin + "dvscan");
  Sh("cat " + Quote(img) + " >/dev/null");

  const Run ours = Timed(dvscan + " --list /tmp/dv_fat_scan.tsv " + Quote(img));
  const Run tsk = Timed("fls -r -p " + Quote(img));
  const unsigned long long items = Field(ours.out, "items");
  std::printf("image: %s\n", img.c_str());
  std::printf("dvscan --list: %.3f s, %llu items (%llu deleted), peak RSS %ld KiB\n", ours.seconds, items,
              Field(ours.out, "deleted"), ours.maxRssKb);
  std::printf("fls -r -p:     %.3f s, %zu lines, peak RSS %ld KiB\n", tsk.seconds, Lines(tsk.out), tsk.maxRssKb);
  std::printf("time ratio dvscan/fls: %.3f (goal <= 0.5)\n", tsk.seconds > 0 ? ours.seconds / tsk.seconds : 0.0);
  std::printf("dvscan peak memory per item: %.1f bytes (goal <= 200)\n",
              items ? double(ours.maxRssKb) * 1024.0 / double(items) : 0.0);
  std::remove("/tmp/dv_fat_scan.tsv");

  // The page cache's figures, from a traced run of its own.
  const std::string trace = "/tmp/dv_fat_scan.trace";
  std::remove(trace.c_str());
  Sh(dvscan + " --trace " + trace + " --trace-switches io=1 " + Quote(img) + " >/dev/null 2>&1");
  std::smatch m;
  const std::string traced = Slurp(trace);
  if (std::regex_search(traced, m, std::regex(R"(FAT page cache: (\d+) hits, (\d+) misses)"))) {
    const double hits = std::stod(m[1]), misses = std::stod(m[2]);
    std::printf("FAT32 page cache during the scan: %.0f hits, %.0f misses, hit rate %.4f\n", hits, misses,
                hits + misses > 0 ? hits / (hits + misses) : 0.0);
  } else {
    std::printf("FAT32 page cache during the scan: no figures in the trace\n");
  }
  std::remove(trace.c_str());

  Destination dest(build + "/bench-cache/fat-dest");
  std::printf("destination: %s%s\n", dest.Path().c_str(), dest.Tmpfs() ? " (tmpfs)" : "");
  std::string out;
  const double rec = BestInto(dest.Path(), "dv", dvscan + " --recover DEST " + Quote(img), &out);
  const unsigned long long saved = Field(out, "saved");
  const double tskRec = BestInto(dest.Path(), "tsk", "tsk_recover -e " + Quote(img) + " DEST", &out);
  std::printf("dvscan --recover: %.3f s (%llu files, %.0f files/s); tsk_recover -e: %.3f s (%s)\n", rec, saved,
              rec > 0 ? double(saved) / rec : 0.0, tskRec, std::regex_replace(out, std::regex("\n"), "").c_str());
  std::printf("time ratio dvscan/tsk_recover: %.3f (goal <= 1)\n", tskRec > 0 ? rec / tskRec : 0.0);

  // Formatted again over: what is left is the folders' entries and data.
  const std::string formatted = cache + "/fat32-formatted.img";
  if (!Exists(formatted) &&
      Sh("cp --sparse=always " + Quote(img) + " " + Quote(formatted + ".tmp") + " && mkfs.fat -F 32 -s 8 -n BENCH " +
         Quote(formatted + ".tmp") + " >/dev/null && mv " + Quote(formatted + ".tmp") + " " + Quote(formatted)) != 0) {
    std::fprintf(stderr, "could not make %s\n", formatted.c_str());
    return 1;
  }
  Sh("cat " + Quote(formatted) + " >/dev/null");
  std::printf("\nformatted again over: %s\n", formatted.c_str());
  std::printf("load: %s", Slurp("/proc/loadavg").c_str());
  const Run cat = Timed("sh -c " + Quote("cat " + Quote(formatted) + " >/dev/null"), 1);
  std::printf("cat of the image:             %.3f s\n", cat.seconds);
  const Run longScan = Timed(dvscan + " --long --list /tmp/dv_fat_long.tsv " + Quote(formatted), 1);
  std::printf("dvscan --long --list:         %.3f s, %llu items, peak RSS %ld KiB\n", longScan.seconds,
              Field(longScan.out, "items"), longScan.maxRssKb);
  std::remove("/tmp/dv_fat_long.tsv");
  std::string longOut, tskOut;
  const double longRec = BestInto(
      dest.Path(), "dvlong", dvscan + " --long --recover DEST " + Quote(formatted), &longOut, [] {}, 1);
  const double tskLong = BestInto(
      dest.Path(), "tsklong", "tsk_recover -e " + Quote(formatted) + " DEST", &tskOut, [] {}, 1);
  std::printf("dvscan --long --recover:      %.3f s (%llu files saved, %llu corrupt)\n", longRec,
              Field(longOut, "saved"), Field(longOut, "corrupt"));
  std::printf("tsk_recover -e:               %.3f s (%s)\n", tskLong,
              std::regex_replace(tskOut, std::regex("\n"), "").c_str());
  std::printf("time ratio dvscan --long --recover / tsk_recover -e: %.3f; Long Scan / cat: %.1f\n",
              tskLong > 0 ? longRec / tskLong : 0.0, cat.seconds > 0 ? longScan.seconds / cat.seconds : 0.0);
  std::printf("load: %s", Slurp("/proc/loadavg").c_str());
  return 0;
}
