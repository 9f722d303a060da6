// The Fletcher checksums of block pointers, as four 64-bit words.
#pragma once
#include <cstddef>
#include <cstdint>

struct ZfsChecksum {
  uint64_t word[4] = {};
  bool operator==(const ZfsChecksum&) const = default;
};

// Over 16-byte pairs of 64-bit words (the bytes past the last whole pair
// left out), of native (little-endian) or byte-swapped words.
ZfsChecksum Fletcher2(const uint8_t* data, size_t bytes, bool swapped = false);
// Over 32-bit words.
ZfsChecksum Fletcher4(const uint8_t* data, size_t bytes, bool swapped = false);
