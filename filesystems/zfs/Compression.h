// The decoders of compressed ZFS blocks: LZJB, ZLE, gzip (zlib streams)
// and LZ4 (a block after its big-endian length). Each fills exactly
// `outBytes` of `out` and never reads or writes past either buffer.
#pragma once
#include <cstddef>
#include <cstdint>

// 0, or -1 when a back-reference reaches before the output or is 0 bytes
// back, or the input ends before the output is full.
int LZJBDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes);
// 0, or -1 when the runs do not fill the output exactly from the input.
int ZleDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes, int level);
// 0, or -1 for a stream zlib refuses or that ends short of nothing.
int GzipDecompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes);
// 0, or -1 for a length past the input (at most inBytes - 4) or a block the
// decoder refuses. The tail past what the block gives is zeros.
int Lz4Decompress(const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes);

// A block pointer's compression code: 0 decoded (or copied), -1 when the
// data does not decode, -2 for a code this reader does not decode.
int ZfsDecompress(uint8_t compression, const uint8_t* in, uint8_t* out, size_t inBytes, size_t outBytes);
