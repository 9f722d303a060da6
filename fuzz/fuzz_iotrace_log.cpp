// The binary I/O trace decoder (dviotrace): any bytes decode without
// reading outside the input, reads' data offsets only grow, and a log that
// decodes ends inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "diagnostics/IoTraceFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t lastData = 0, records = 0;
  const iotrace::Summary s = iotrace::Decode(data, size, [&](const iotrace::Record& r) {
    if (r.at >= size) std::abort();
    const bool read = r.op == iotrace::kRead || r.op == iotrace::kReadRange || r.op == iotrace::kReadNext;
    if (read && r.dataAt < lastData) std::abort();
    if (read) lastData = r.dataAt;
    ++records;
    (void)iotrace::Describe(r);
  });
  if (s.records != records) std::abort();
  if (s.ok && (s.endAt == 0 || s.endAt > size)) std::abort();
  if (!s.ok && s.error.empty()) std::abort();
  return 0;
}
