// The block decoders on arbitrary input: the first byte chooses LZJB, ZLE,
// gzip or LZ4, the next two the output's size in 512-byte units (at most
// 128 KiB). Each fills its output and writes nothing past it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "filesystems/zfs/Compression.h"
#include "filesystems/zfs/Definitions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const uint8_t kCodecs[] = {zfs::kCompressLzjb, zfs::kCompressZle, zfs::kCompressGzip1 + 5, zfs::kCompressLz4,
                                    zfs::kCompressOff};
  const uint8_t codec = kCodecs[data[0] % sizeof kCodecs];
  const size_t outBytes = (size_t(data[1] | data[2] << 8) % 256 + 1) * 512;
  std::vector<uint8_t> out(outBytes + 64, 0x5A);
  ZfsDecompress(codec, data + 3, out.data(), size - 3, outBytes);
  for (size_t i = outBytes; i < out.size(); ++i)
    if (out[i] != 0x5A) std::abort();
  return 0;
}
