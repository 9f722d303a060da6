#include "filesystems/zfs/NvList.h"

#include <cstring>

#include "filesystems/zfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace zfs;

namespace {

constexpr size_t kFailed = SIZE_MAX;

struct Walk {
  const uint8_t* base;
  ZfsNvVisitor visit;
  void* context;
  int pairs = 0;
};

uint32_t Word(const uint8_t* p) { return GetBigEndian(p, 4); }

size_t Pad4(size_t n) { return (n + 3) & ~size_t(3); }

// The pairs of one list from `at` to its end marker, inside [at, end):
// the offset after the marker, or kFailed (the pairs met still count).
size_t Pairs(Walk& w, size_t at, size_t end, int depth) {
  if (depth > kNvMaxDepth) return kFailed;
  while (at + 8 <= end) {
    const uint8_t* p = w.base + at;
    const uint32_t encoded = Word(p);
    if (encoded == 0) return at + 8;  // the end marker: two zero words
    if (encoded % 4 || encoded < kNvMinPairBytes || encoded > end - at) return kFailed;
    const size_t pairEnd = at + encoded;
    const uint32_t nameLength = Word(p + 8);
    if (nameLength < 1 || nameLength > kNvMaxNameBytes) return kFailed;
    const size_t typeAt = at + 12 + Pad4(nameLength);
    if (typeAt + 8 > pairEnd) return kFailed;
    ZfsNvPair pair;
    pair.name = std::string_view(reinterpret_cast<const char*>(p + 12), nameLength);
    pair.type = Word(w.base + typeAt);
    pair.count = Word(w.base + typeAt + 4);
    pair.depth = depth;
    const size_t value = typeAt + 8;
    switch (pair.type) {
      case kNvTypeInt64:
      case kNvTypeUint64:
        if (value + 8 > pairEnd) return kFailed;
        pair.number = GetBigEndian64(w.base + value, 8);
        break;
      case kNvTypeString: {
        if (value + 4 > pairEnd) return kFailed;
        const uint32_t n = Word(w.base + value);
        if (n > kNvMaxStringBytes || value + 4 + n > pairEnd) return kFailed;
        pair.text = std::string_view(reinterpret_cast<const char*>(w.base + value + 4), n);
        break;
      }
      default: break;
    }
    ++w.pairs;
    if (w.visit) w.visit(pair, w.context);
    if (pair.type == kNvTypeNvList || pair.type == kNvTypeNvListArray) {
      // The nested lists follow one after the other, each with its own
      // version and flags, inside the pair's encoded size.
      const uint32_t lists = pair.type == kNvTypeNvList ? 1 : pair.count;
      size_t nested = value;
      for (uint32_t i = 0; i < lists; ++i) {
        if (nested + kNvEmbeddedHeaderBytes > pairEnd) return kFailed;
        nested = Pairs(w, nested + kNvEmbeddedHeaderBytes, pairEnd, depth + 1);
        if (nested == kFailed) return kFailed;
      }
    }
    at = pairEnd;
  }
  return kFailed;
}

}  // namespace

int WalkZfsNvList(const uint8_t* bytes, size_t length, ZfsNvVisitor visit, void* context) {
  if (!bytes || length < kNvFirstPairOffset + 8) return 0;
  // The header's bytes as they stand: the encoding and host bytes, not one
  // big-endian word.
  if (std::memcmp(bytes, kNvHeader, sizeof kNvHeader) != 0) return 0;
  Walk w{bytes, visit, context};
  Pairs(w, kNvFirstPairOffset, length, 0);
  return w.pairs;
}

ZfsLabelList ReadZfsLabelList(const uint8_t* bytes, size_t length) {
  ZfsLabelList out;
  out.pairs = WalkZfsNvList(
      bytes, length,
      [](const ZfsNvPair& p, void* c) {
        auto* o = static_cast<ZfsLabelList*>(c);
        const bool integer = p.type == kNvTypeUint64 || p.type == kNvTypeInt64;
        if (!integer) return;
        if (p.name == "asize" && !o->asize) o->asize = p.number;
        else if (p.name == "ashift" && !o->ashift && p.number < 32) o->ashift = uint32_t(p.number);
        else if (p.depth == 0 && p.name == "txg") o->txg = p.number;
        else if (p.depth == 0 && p.name == "version") o->version = p.number;
      },
      &out);
  return out;
}
