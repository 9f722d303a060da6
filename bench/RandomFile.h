// The benchmarks' input file: pseudo-random bytes, the same on every run.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Makes `path` a file of `sizeBytes` pseudo-random bytes unless it already
// has that size; written under a temporary name and renamed into place.
inline bool MakeRandomFile(const std::string& path, int64_t sizeBytes) {
  constexpr int64_t kPiece = 1 << 20;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == sizeBytes) return true;
  std::fprintf(stderr, "writing %lld MiB of random data to %s\n", (long long)(sizeBytes >> 20), path.c_str());
  std::string tmp = path + ".part";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint64_t> buf(kPiece / 8);
  uint64_t x = 0x9e3779b97f4a7c15ull;
  for (int64_t done = 0; done < sizeBytes;) {
    for (uint64_t& w : buf) {  // splitmix64
      uint64_t z = (x += 0x9e3779b97f4a7c15ull);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      w = z ^ (z >> 31);
    }
    size_t n = size_t(std::min<int64_t>(kPiece, sizeBytes - done));
    if (write(fd, buf.data(), n) != ssize_t(n)) {
      close(fd);
      return false;
    }
    done += int64_t(n);
  }
  close(fd);
  return rename(tmp.c_str(), path.c_str()) == 0;
}

// The size a benchmark was asked for: --size_mib=N, else the environment
// variable `env`, else 0 (its own default).
inline int64_t BenchSizeMib(int argc, char** argv, const char* env) {
  int64_t mib = 0;
  if (const char* value = getenv(env)) mib = atoll(value);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--size_mib=", 11) == 0) mib = atoll(argv[i] + 11);
  return mib;
}
