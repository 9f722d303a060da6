#include "engine/RecordChecker.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

bool FgmQBW::Passes(const uint8_t* r, bool first, int64_t* value) const {
  if (first && std::memcmp(r + 96, "MAUI", 4) == 0) {
    *value = -1;
    return true;
  }
  if (r[2] || r[3] || r[13] || r[15]) return false;
  const uint32_t a = Le32(r + 4), b = Le32(r + 8);
  auto fits = [&](uint32_t n) { return n <= limit_ || n == 0xFFFFFFFFu; };
  if (!fits(a) || !fits(b) || (a == 0 && b == 0)) return false;
  *value = int64_t(b == 0xFFFFFFFFu ? 0xFFFFu : b) + (int64_t(a) << 16);
  return true;
}

bool FgmQBW::Check(const uint8_t* buffer, int64_t sector, std::vector<int64_t>* values) {
  if (!buffer || !records_) return false;
  std::vector<int64_t> v(records_);
  for (uint32_t i = 0; i < records_; i++)
    if (!Passes(buffer + size_t(i) * kRecordBytes, i == 0, &v[i])) return false;
  for (int64_t value : v) TracePrintfA("rcx @ %I64d %ld\n", sector - previous_, int32_t(value));
  previous_ = sector;
  if (values) *values = std::move(v);
  return true;
}
