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

namespace {

using Lanes = uint64_t __attribute__((vector_size(16)));  // two 64-bit lanes

// Four lanes, each summing every fourth word (in two vectors of two), then
// combined into the sums one lane gives over all words: lane i's word
// 4k + i counts 4r - i times in B, r = m - k being its place from the end
// in the lane, and likewise in C and D. The four chains then run side by
// side.
template <bool kSwapped>
ZfsChecksum Fletcher4Lanes(const uint8_t* data, size_t bytes) {
  Lanes a01 = {0, 0}, a23 = {0, 0}, b01 = {0, 0}, b23 = {0, 0}, c01 = {0, 0}, c23 = {0, 0}, d01 = {0, 0},
        d23 = {0, 0};
  size_t at = 0;
  for (; at + 16 <= bytes; at += 16) {
    uint32_t w[4];
    for (int i = 0; i < 4; ++i) w[i] = kSwapped ? Swap32(Le32(data + at + 4 * i)) : Le32(data + at + 4 * i);
    const Lanes lo = {w[0], w[1]}, hi = {w[2], w[3]};
    a01 += lo;
    a23 += hi;
    b01 += a01;
    b23 += a23;
    c01 += b01;
    c23 += b23;
    d01 += c01;
    d23 += c23;
  }
  const uint64_t a[4] = {a01[0], a01[1], a23[0], a23[1]}, b[4] = {b01[0], b01[1], b23[0], b23[1]},
                 c[4] = {c01[0], c01[1], c23[0], c23[1]}, d[4] = {d01[0], d01[1], d23[0], d23[1]};
  uint64_t A = a[0] + a[1] + a[2] + a[3];
  uint64_t B = 4 * (b[0] + b[1] + b[2] + b[3]) - a[1] - 2 * a[2] - 3 * a[3];
  uint64_t C = 16 * (c[0] + c[1] + c[2] + c[3]) - 6 * b[0] - 10 * b[1] - 14 * b[2] - 18 * b[3] + a[2] + 3 * a[3];
  uint64_t D = 64 * (d[0] + d[1] + d[2] + d[3]) - 48 * c[0] - 64 * c[1] - 80 * c[2] - 96 * c[3] + 4 * b[0] +
               10 * b[1] + 20 * b[2] + 34 * b[3] - a[3];
  for (; at + 4 <= bytes; at += 4) {
    const uint32_t w = kSwapped ? Swap32(Le32(data + at)) : Le32(data + at);
    A += w;
    B += A;
    C += B;
    D += C;
  }
  return ZfsChecksum{{A, B, C, D}};
}

}  // namespace

ZfsChecksum Fletcher4(const uint8_t* data, size_t bytes, bool swapped) {
  return swapped ? Fletcher4Lanes<true>(data, bytes) : Fletcher4Lanes<false>(data, bytes);
}
