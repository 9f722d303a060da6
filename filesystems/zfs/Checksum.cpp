#include "filesystems/zfs/Checksum.h"

#include "foundation/ByteOrder.h"

ZfsChecksum Fletcher2(const uint8_t* data, size_t bytes, bool swapped) {
  uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
  for (size_t at = 0; at + 16 <= bytes; at += 16) {
    uint64_t x = Le64(data + at), y = Le64(data + at + 8);
    if (swapped) x = Swap64(x), y = Swap64(y);
    a0 += x;
    a1 += y;
    b0 += a0;
    b1 += a1;
  }
  return ZfsChecksum{{a0, a1, b0, b1}};
}

ZfsChecksum Fletcher4(const uint8_t* data, size_t bytes, bool swapped) {
  uint64_t a = 0, b = 0, c = 0, d = 0;
  for (size_t at = 0; at + 4 <= bytes; at += 4) {
    uint32_t w = Le32(data + at);
    if (swapped) w = Swap32(w);
    a += w;
    b += a;
    c += b;
    d += c;
  }
  return ZfsChecksum{{a, b, c, d}};
}
