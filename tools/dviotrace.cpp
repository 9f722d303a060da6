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
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/IoTraceFormat.h"

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
  const iotrace::FileCheck c =
      iotrace::CheckFiles(names[0], names.size() > 1 ? names[1] : std::string(), [&](const iotrace::Record& r) {
        if (!quiet) std::printf("%llu %s\n", (unsigned long long)r.at, iotrace::Describe(r).c_str());
      });
  if (c.readFailed) {
    std::fprintf(stderr, "dviotrace: %s\n", c.problem.c_str());
    return 2;
  }
  const iotrace::Summary& sum = c.summary;
  std::printf("records %llu reads %llu data-bytes %llu shift %u\n", (unsigned long long)sum.records,
              (unsigned long long)sum.reads, (unsigned long long)sum.dataBytes, sum.shift);
  if (!check) {
    if (!sum.ok) std::fprintf(stderr, "dviotrace: %s\n", sum.error.c_str());
    return sum.ok ? 0 : 1;
  }
  if (!c.problem.empty()) std::fprintf(stderr, "dviotrace: %s\n", c.problem.c_str());
  return c.problem.empty() ? 0 : 1;
}
