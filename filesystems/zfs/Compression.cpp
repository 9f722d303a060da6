#include "filesystems/zfs/Compression.h"

#include <lz4.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "filesystems/zfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace zfs;

int LZJBDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes) {
  const uint8_t* src = in;
  const uint8_t* const srcEnd = in + inBytes;
  uint8_t* dst = out;
  uint8_t* const dstEnd = out + outBytes;
  while (dst < dstEnd) {
    // A copy-map byte, bit 0 first, for the next eight items.
    if (src >= srcEnd) return -1;
    unsigned map = *src++;
    if (map == 0 && srcEnd - src >= 8 && dstEnd - dst >= 8) {
      std::memcpy(dst, src, 8);
      src += 8;
      dst += 8;
      continue;
    }
    for (int item = 0; item < 8 && dst < dstEnd; ++item, map >>= 1) {
      if (!(map & 1)) {
        if (src >= srcEnd) return -1;
        *dst++ = *src++;
        continue;
      }
      if (srcEnd - src < 2) return -1;
      size_t length = size_t(src[0] >> (8 - kLzjbMatchBits)) + kLzjbMatchMin;
      const size_t distance = ((size_t(src[0]) << 8) | src[1]) & kLzjbOffsetMask;
      src += 2;
      // Nothing is there 0 bytes back, and nothing before the output.
      if (distance == 0 || distance > size_t(dst - out)) return -1;
      const uint8_t* from = dst - distance;
      if (distance >= 8 && size_t(dstEnd - dst) >= length + 8) {
        // Eight bytes at a time: what is copied past the item's end lies
        // inside the output and is written again by the items after it.
        for (size_t i = 0; i < length; i += 8) std::memcpy(dst + i, from + i, 8);
        dst += length;
        continue;
      }
      length = std::min(length, size_t(dstEnd - dst));
      for (size_t i = 0; i < length; ++i) dst[i] = from[i];
      dst += length;
    }
  }
  return 0;
}

int ZleDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes, int level) {
  const uint8_t* src = in;
  const uint8_t* const srcEnd = in + inBytes;
  uint8_t* dst = out;
  uint8_t* const dstEnd = out + outBytes;
  while (src < srcEnd && dst < dstEnd) {
    size_t length = size_t(1) + *src++;
    if (length <= size_t(level)) {
      if (length > size_t(srcEnd - src) || length > size_t(dstEnd - dst)) return -1;
      std::memcpy(dst, src, length);
      src += length;
    } else {
      length -= size_t(level);
      if (length > size_t(dstEnd - dst)) return -1;
      std::memset(dst, 0, length);
    }
    dst += length;
  }
  return dst == dstEnd ? 0 : -1;
}

int GzipDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes) {
  uLongf produced = uLongf(outBytes);
  if (inBytes > ULONG_MAX || uncompress(out, &produced, in, uLong(inBytes)) != Z_OK) return -1;
  if (produced < outBytes) std::memset(out + produced, 0, outBytes - produced);
  return 0;
}

int Lz4Decompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes) {
  if (inBytes < kLz4LengthBytes || outBytes > size_t(INT_MAX)) return -1;
  const uint32_t length = GetBigEndian(in, 4);
  if (length > inBytes - kLz4LengthBytes) return -1;
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(in + kLz4LengthBytes), reinterpret_cast<char*>(out),
                                      int(length), int(outBytes));
  if (got < 0) return -1;
  if (size_t(got) < outBytes) std::memset(out + got, 0, outBytes - size_t(got));
  return 0;
}

int ZfsDecompress(uint8_t compression, const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes) {
  switch (compression) {
    case kCompressOn:
    case kCompressLzjb: return LZJBDecompress(in, out, inBytes, outBytes);
    case kCompressOff: {
      const size_t n = std::min(inBytes, outBytes);
      if (in != out) std::memmove(out, in, n);
      if (n < outBytes) std::memset(out + n, 0, outBytes - n);
      return 0;
    }
    case kCompressZle: return ZleDecompress(in, out, inBytes, outBytes, kZleLevel);
    case kCompressLz4: return Lz4Decompress(in, out, inBytes, outBytes);
    default:
      if (compression >= kCompressGzip1 && compression <= kCompressGzip9)
        return GzipDecompress(in, out, inBytes, outBytes);
      return -2;
  }
}
