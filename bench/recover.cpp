// Recovery against The Sleuth Kit on the same images, wall time best of
// three, each run into a fresh folder that is removed afterwards:
//  (a) many small files: the 100k-file image of make_ntfs_bench_images.sh
//      (build/ntfs-bench/records.img; the fragmft fixture when it is not
//      there): `dvscan --recover` against `tsk_recover -e`;
//  (b) one 2 GiB file (make_recover_bench_image.sh, build/recover-bench):
//      `dvscan --recover` against `icat IMG INODE > file`, and `dd bs=1M`
//      of the same number of bytes from the image as a copy reference.
// Prints each ratio dvscan/peer (goal: at most 1).
// The destination is a tmpfs mounted for the run when we are root (the
// destination's own inode allocator and write-back then weigh the same for
// both sides and do not swamp the figures), else build/recover-bench/dest;
// DV_RECOVER_BENCH_DEST=FOLDER writes there instead (a real disk).
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

int Sh(const std::string& cmd) { return std::system(cmd.c_str()); }

// Best wall time of three runs of cmd(dest); dest is removed before and
// after each run. The last run's stdout is kept in *out.
double Best(const std::string& destRoot, const std::string& name, const std::string& cmd, std::string* out) {
  double best = 1e9;
  const std::string dest = destRoot + "/" + name;
  for (int i = 0; i < 3; i++) {
    Sh("rm -rf '" + dest + "'; sync");
    const auto t0 = std::chrono::steady_clock::now();
    const std::string full = cmd + " >/tmp/dv_rec_bench_out.txt 2>/dev/null";
    const int rc = Sh(std::regex_replace(full, std::regex("DEST"), dest));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) std::fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
    if (s < best) best = s;
    if (out) *out = Slurp("/tmp/dv_rec_bench_out.txt");
  }
  Sh("rm -rf '" + dest + "'");
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argc > 0 ? argv[0] : "bench_recover";
  bin = bin.substr(0, bin.rfind('/') + 1);
  const std::string build = bin + "..";
  const std::string top = build + "/..";
  const std::string work = build + "/recover-bench";
  Sh("mkdir -p '" + work + "/dest'");

  std::string destRoot = work + "/dest";
  bool mounted = false;
  if (const char* d = std::getenv("DV_RECOVER_BENCH_DEST"); d && *d) {
    destRoot = d;
  } else if (geteuid() == 0 && mount("tmpfs", destRoot.c_str(), "tmpfs", 0, "size=5g") == 0) {
    mounted = true;
  }
  std::printf("destination: %s%s\n", destRoot.c_str(), mounted ? " (tmpfs)" : "");

  // (a) many small files.
  std::string small = build + "/ntfs-bench/records.img";
  if (!Exists(small)) {
    Sh("bash '" + top + "/bench/make_ntfs_bench_images.sh' '" + build + "/ntfs-bench' >/dev/null 2>&1");
  }
  if (!Exists(small)) {
    small = work + "/fragmft.img";
    Sh("xz -dc '" + top + "/tests/fixtures/ntfs/fragmft.img.xz' >'" + small + "'");
  }
  std::string out;
  const double ours = Best(destRoot, "dv", "'" + bin + "dvscan' --recover DEST '" + small + "'", &out);
  std::smatch m;
  long saved = 0;
  if (std::regex_search(out, m, std::regex(R"(saved=(\d+))"))) saved = std::stol(m[1]);
  const double tsk = Best(destRoot, "tsk", "tsk_recover -e '" + small + "' DEST", &out);
  std::printf("(a) %s: dvscan --recover %.3f s (%ld files, %.0f files/s), tsk_recover -e %.3f s (%s)\n",
              small.c_str(), ours, saved, ours > 0 ? double(saved) / ours : 0.0, tsk,
              std::regex_replace(out, std::regex("\n"), "").c_str());
  std::printf("(a) time ratio dvscan/tsk_recover: %.3f (goal <= 1)\n", tsk > 0 ? ours / tsk : 0.0);

  // (b) one 2 GiB file.
  const std::string big = work + "/bigfile.img";
  if (!Exists(big) || !Exists(big + ".inode")) {
    if (Sh("bash '" + top + "/bench/make_recover_bench_image.sh' '" + work + "'") != 0 || !Exists(big)) {
      std::fprintf(stderr, "could not make %s (needs root, FUSE, mkntfs, ntfs-3g)\n", big.c_str());
      if (mounted) umount(destRoot.c_str());
      return 1;
    }
  }
  const std::string inode = std::regex_replace(Slurp(big + ".inode"), std::regex("\\s+"), "");
  long firstCluster = 0;
  std::sscanf(Slurp(big + ".run").c_str(), "%ld", &firstCluster);
  Sh("cat '" + big + "' >/dev/null");  // the source in the page cache for every side
  const double oursBig = Best(destRoot, "dvbig", "'" + bin + "dvscan' --recover DEST '" + big + "'", nullptr);
  const double icat = Best(destRoot, "icat", "mkdir -p DEST && icat '" + big + "' " + inode + " >DEST/big.bin", nullptr);
  const double dd = Best(destRoot, "dd",
                         "mkdir -p DEST && dd if='" + big + "' of=DEST/big.bin bs=1M count=2048 skip=" +
                             std::to_string(firstCluster * 4096) + " iflag=skip_bytes status=none",
                         nullptr);
  std::printf("(b) 2 GiB file: dvscan --recover %.3f s (%.0f MB/s), icat %.3f s, dd bs=1M %.3f s\n", oursBig,
              oursBig > 0 ? 2147.483648 / oursBig : 0.0, icat, dd);
  std::printf("(b) time ratio dvscan/icat: %.3f (goal <= 1); dvscan/dd: %.3f (goal <= 1.25)\n",
              icat > 0 ? oursBig / icat : 0.0, dd > 0 ? oursBig / dd : 0.0);
  if (mounted) umount(destRoot.c_str());
  return 0;
}
