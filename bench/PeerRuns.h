// Shared by the script-style benchmarks that set dvscan against a peer
// tool on one image: timed runs under /usr/bin/time -v, recovery runs into
// a fresh folder, a tmpfs destination, dropping one file from the page
// cache.
#pragma once
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace peer {

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

inline int Sh(const std::string& cmd) { return std::system(cmd.c_str()); }

inline std::string Quote(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

// The folder of the running program, with its trailing "/".
inline std::string BinFolder(const char* argv0) {
  std::string bin = argv0 ? argv0 : "";
  return bin.substr(0, bin.rfind('/') + 1);
}

struct Run {
  double seconds = 1e9;
  long maxRssKb = 0;
  std::string out;
};

// Best wall time of `times` runs of cmd (stdout kept from the best run,
// stderr dropped), with that run's peak memory.
inline Run Timed(const std::string& cmd, int times = 3) {
  Run best;
  for (int i = 0; i < times; i++) {
    const std::string full = "/usr/bin/time -v -o /tmp/dv_peer_time.txt " + cmd + " >/tmp/dv_peer_out.txt 2>/dev/null";
    if (std::system(full.c_str()) == -1) break;
    const std::string t = Slurp("/tmp/dv_peer_time.txt");
    std::smatch m;
    double secs = 0;
    if (std::regex_search(t, m, std::regex(R"(Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (?:(\d+):)?(\d+):([\d.]+))")))
      secs = (m[1].matched ? std::stod(m[1]) * 3600 : 0) + std::stod(m[2]) * 60 + std::stod(m[3]);
    long rss = 0;
    if (std::regex_search(t, m, std::regex(R"(Maximum resident set size \(kbytes\): (\d+))"))) rss = std::stol(m[1]);
    if (secs < best.seconds) {
      best.seconds = secs;
      best.maxRssKb = rss;
      best.out = Slurp("/tmp/dv_peer_out.txt");
    }
  }
  std::remove("/tmp/dv_peer_time.txt");
  std::remove("/tmp/dv_peer_out.txt");
  return best;
}

// The value of "key=N" on dvscan's last line.
inline unsigned long long Field(const std::string& out, const std::string& key) {
  std::smatch m;
  if (std::regex_search(out, m, std::regex(key + R"(=(\d+))"))) return std::stoull(m[1]);
  return 0;
}

inline size_t Lines(const std::string& s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

// Drops a file's pages from the page cache (only that file's).
inline void DropFromCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// Best wall time of `times` runs of cmd, whose "DEST" stands for a fresh
// folder destRoot/name (removed before and after each run); `before` runs
// ahead of each (untimed). The best run's stdout goes to *out.
template <typename Before>
double BestInto(const std::string& destRoot, const std::string& name, const std::string& cmd, std::string* out,
                Before before, int times = 3) {
  double best = 1e9;
  const std::string dest = destRoot + "/" + name;
  for (int i = 0; i < times; i++) {
    Sh("rm -rf " + Quote(dest));
    before();
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = Sh(std::regex_replace(cmd, std::regex("DEST"), Quote(dest)) + " >/tmp/dv_peer_out.txt 2>/dev/null");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) std::fprintf(stderr, "exit %d: %s\n", rc, cmd.c_str());
    if (s < best) {
      best = s;
      if (out) *out = Slurp("/tmp/dv_peer_out.txt");
    }
  }
  Sh("rm -rf " + Quote(dest));
  std::remove("/tmp/dv_peer_out.txt");
  return best;
}

inline double BestInto(const std::string& destRoot, const std::string& name, const std::string& cmd,
                       std::string* out, int times = 3) {
  return BestInto(destRoot, name, cmd, out, [] {}, times);
}

// A destination folder: a tmpfs mounted over `folder` when we are root
// (the destination's own allocator then weighs the same for both sides),
// else the folder itself; DV_RECOVER_BENCH_DEST names another.
class Destination {
 public:
  explicit Destination(const std::string& folder, const char* size = "size=6g") : path_(folder) {
    Sh("mkdir -p " + Quote(folder));
    if (const char* d = std::getenv("DV_RECOVER_BENCH_DEST"); d && *d) {
      path_ = d;
    } else if (geteuid() == 0 && mount("tmpfs", folder.c_str(), "tmpfs", 0, size) == 0) {
      mounted_ = true;
    }
  }
  ~Destination() {
    if (mounted_) umount(path_.c_str());
  }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;
  const std::string& Path() const { return path_; }
  bool Tmpfs() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace peer
