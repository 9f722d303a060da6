// The name-value lists of a vdev label: XDR-encoded pairs, big-endian
// 32-bit words, nested lists inline after the pair that names them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

struct ZfsNvPair {
  std::string_view name;
  uint32_t type = 0;
  uint32_t count = 0;
  int depth = 0;          // 0 for the top list
  uint64_t number = 0;    // integer types
  std::string_view text;  // strings
};

// Called for every pair parsed, nested ones after the pair that holds them.
using ZfsNvVisitor = void (*)(const ZfsNvPair& pair, void* context);

// Walks the list whose stream header is at `bytes` (at most `length`
// bytes): the number of pairs parsed, 0 when it is no list. A pair that
// does not fit ends the walk where it stands (the pairs before it count).
int WalkZfsNvList(const uint8_t* bytes, size_t length, ZfsNvVisitor visit, void* context);

// What the reader needs of a label's list.
struct ZfsLabelList {
  int pairs = 0;
  uint64_t asize = 0;   // the top-level vdev's allocatable bytes; 0 when absent
  uint32_t ashift = 0;  // its sector shift; 0 when absent
  uint64_t txg = 0;
  uint64_t version = 0;
};
ZfsLabelList ReadZfsLabelList(const uint8_t* bytes, size_t length);
