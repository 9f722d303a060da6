// The exclusion-range text file reader: any bytes, fed in two pieces cut at
// a place the input chooses (a line cut by a piece), give only ranges that
// begin before they end, and the same ranges as one piece.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/SectRanges.h"
#include "ui/core/ExclusionRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t unit = data[0] & 1 ? 4096 : 512;
  const size_t cut = size_t(data[1]) * (size - 2) / 255;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const size_t n = size - 2;
  CSectRanges split, whole;
  ExclusionFileReader a(split, unit), b(whole, unit);
  a.Feed(text, cut);
  a.Feed(text + cut, n - cut);
  a.Finish();
  b.Feed(text, n);
  b.Finish();
  if (a.Taken() != b.Taken()) std::abort();
  const auto list = split.List();
  if (list != whole.List()) std::abort();
  for (const auto& r : list)
    if (r.first >= r.end) std::abort();
  return 0;
}
