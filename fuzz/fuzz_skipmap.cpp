// Fuzz target: arbitrary bytes as a skip map file read back, as a text map
// (one bit per item, hex lines) and as a binary map (one bit per granule).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/SkipMap.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_skipmap-" + std::to_string(getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  {
    SkipMap text;
    if (text.OpenText(path, true)) {
      // Past the map's end it turns into a create map and appends: the
      // appended lines go to the same scratch file.
      for (int i = 0; i < 4096; i++) {
        (void)text.TestBit();
        text.AddBit((i & 3) == 0);
      }
    }
  }
  {
    SkipMap binary(512);
    if (binary.OpenBinary(path, true)) {
      for (int64_t s = 0; s < int64_t(size) * 8 * 2048 + 4096; s += 1021) (void)binary.Test(s);
      (void)binary.Test(INT64_MAX / 2);
    }
  }
  std::remove(path.c_str());
  return 0;
}
