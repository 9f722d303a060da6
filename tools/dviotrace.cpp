// dviotrace: prints the records of a binary I/O trace log and, with
// --check, checks it against its data file.
//
//   dviotrace [--check] [--quiet] LOG [DATA]
//
// LOG is the log file ("..._01.bin"); its successors (02, 03, ...) are read
// after it when they exist. DATA defaults to the "..._00.bin" beside it.
// Each read prints its first sector, sector count and the offset of its
// bytes in the data file. --check fails (status 1) unless the log decodes
// to opcode 0 followed only by zeros up to a multiple of 4,096 bytes and the
// data file holds exactly the bytes the reads announce.
#include <sys/stat.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/IoTraceFormat.h"

namespace {

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// "..._NN.bin" with NN replaced.
std::string Sibling(const std::string& log, int number) {
  const size_t n = log.size();
  if (n < 7 || log.compare(n - 4, 4, ".bin") != 0 || log[n - 7] != '_') return std::string();
  char digits[8];
  std::snprintf(digits, sizeof digits, "%02d", number);
  std::string out = log;
  out[n - 6] = digits[0];
  out[n - 5] = digits[1];
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool check = false, quiet = false;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--check")) check = true;
    else if (!std::strcmp(argv[i], "--quiet")) quiet = true;
    else names.push_back(argv[i]);
  }
  if (names.empty() || names.size() > 2) {
    std::fprintf(stderr, "usage: dviotrace [--check] [--quiet] LOG [DATA]\n");
    return 2;
  }
  const std::string log = names[0];
  std::vector<uint8_t> bytes;
  if (!ReadWhole(log, &bytes)) {
    std::fprintf(stderr, "%s: %s\n", log.c_str(), std::strerror(errno));
    return 2;
  }
  // The successors, while they exist (the number in the name goes up).
  const size_t n = log.size();
  int number = n >= 7 ? (log[n - 6] - '0') * 10 + (log[n - 5] - '0') : 0;
  for (int next = number + 1; number > 0 && next <= 99; ++next) {
    const std::string s = Sibling(log, next);
    struct stat st;
    if (s.empty() || ::stat(s.c_str(), &st) != 0) break;
    if (!ReadWhole(s, &bytes)) {
      std::fprintf(stderr, "%s: %s\n", s.c_str(), std::strerror(errno));
      return 2;
    }
  }
  const iotrace::Summary sum = iotrace::Decode(bytes.data(), bytes.size(), [&](const iotrace::Record& r) {
    if (!quiet) std::printf("%llu %s\n", (unsigned long long)r.at, iotrace::Describe(r).c_str());
  });
  std::printf("records %llu reads %llu data-bytes %llu shift %u\n", (unsigned long long)sum.records,
              (unsigned long long)sum.reads, (unsigned long long)sum.dataBytes, sum.shift);
  if (!sum.error.empty()) std::fprintf(stderr, "dviotrace: %s\n", sum.error.c_str());
  if (!check) return sum.ok ? 0 : 1;
  int status = sum.ok ? 0 : 1;
  if (sum.ok && !sum.zeroPadded) {
    std::fprintf(stderr, "dviotrace: opcode 0 is not followed by zeros to a multiple of 4,096 bytes\n");
    status = 1;
  }
  const std::string data = names.size() > 1 ? names[1] : Sibling(log, 0);
  struct stat st;
  if (data.empty() || ::stat(data.c_str(), &st) != 0) {
    std::fprintf(stderr, "dviotrace: no data file %s\n", data.c_str());
    return 1;
  }
  if (uint64_t(st.st_size) != sum.dataBytes) {
    std::fprintf(stderr, "dviotrace: the data file holds %llu bytes, the reads announce %llu\n",
                 (unsigned long long)st.st_size, (unsigned long long)sum.dataBytes);
    status = 1;
  }
  return status;
}
