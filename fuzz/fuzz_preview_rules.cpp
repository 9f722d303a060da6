// Bytes of a found picture before they reach a decoder: the JPEG end test,
// the reduced size of any width and height they could claim, and the Runs
// row of a node data block of arbitrary length field.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ui/core/PropertyRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> b(data, data + size);
  JpegHasEnd(b.data(), b.size());
  RunsHexText(b.data(), b.size());
  if (size >= 8) {
    int32_t w = 0, h = 0;
    std::memcpy(&w, data, 4);
    std::memcpy(&h, data + 4, 4);
    const PreviewDims d = PreviewSize(w, h, 1.0 + (size % 4) * 0.25);
    if (d.ok && (d.width > 320 || d.height > 240 || d.width < 0 || d.height < 0)) __builtin_trap();
    PreviewBoxFor(d, int(size % 1000), 8);
  }
  return 0;
}
