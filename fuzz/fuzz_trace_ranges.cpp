// The trace-range loader: any options file gives either no ranges or
// ranges whose run maps answer every sector and record without a fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diagnostics/TraceRanges.h"
#include "foundation/SpecialOptions.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string path = [] {
    char name[] = "/tmp/dv_fuzz_ranges_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return std::string(name);
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  IniFile ini;
  if (!ini.Load(path)) return 0;
  TraceRanges ranges;
  const int n = ranges.Load(ini);
  if (n < 0 || size_t(n) != ranges.Count()) std::abort();
  const int64_t sectors[] = {0, 1, 100, 4096, 1 << 20, INT64_MAX / 2, INT64_MAX};
  for (int64_t s : sectors)
    for (uint64_t r : {uint64_t(0), uint64_t(1), uint64_t(1) << 40, UINT64_MAX}) (void)ranges.Next(s, r);
  return 0;
}
