#include "filesystems/zfs/Zap.h"

#include <bit>
#include <cstring>
#include <vector>

#include "filesystems/zfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace zfs;

uint64_t ZapBlockType(const uint8_t* block, size_t bytes) { return block && bytes >= 8 ? Le64(block) : 0; }

int ReadMicroZapEntry(const uint8_t* e, ZapEntry* out) {
  const uint8_t* name = e + kMzName;
  const void* nul = std::memchr(name, 0, kMzNameBytes);
  if (!nul) return 2;
  const size_t n = size_t(static_cast<const uint8_t*>(nul) - name);
  for (size_t i = n; i < kMzNameBytes; ++i)
    if (name[i]) return 2;
  if (n == 0) {
    for (size_t i = 0; i < kMzEntryBytes; ++i)
      if (e[i]) return 2;
    return 1;
  }
  if (out) *out = ZapEntry{name, n, Le64(e + kMzValue)};
  return 0;
}

int ForEachMicroZapEntry(const uint8_t* block, size_t bytes, size_t from, ZapVisitor visit, void* context,
                         int* damaged) {
  int made = 0;
  for (size_t at = from; at + kMzEntryBytes <= bytes; at += kMzEntryBytes) {
    ZapEntry entry;
    const int r = ReadMicroZapEntry(block + at, &entry);
    if (r == 2 && damaged) ++*damaged;
    if (r != 0) continue;
    ++made;
    if (visit && !visit(entry, context)) break;
  }
  return made;
}

bool LookupMicroZap(const uint8_t* block, size_t bytes, std::string_view name, uint64_t* value) {
  if (ZapBlockType(block, bytes) != kZbtMicro) return false;
  struct Find {
    std::string_view name;
    uint64_t value = 0;
    bool found = false;
  } find{name};
  ForEachMicroZapEntry(
      block, bytes, kMzHeaderBytes,
      [](const ZapEntry& e, void* c) {
        auto* f = static_cast<Find*>(c);
        if (std::string_view(reinterpret_cast<const char*>(e.name), e.nameBytes) != f->name) return true;
        f->value = e.value;
        f->found = true;
        return false;
      },
      &find);
  if (find.found && value) *value = find.value;
  return find.found;
}

namespace {

struct Leaf {
  const uint8_t* base;
  size_t chunksAt;  // byte offset of chunk 0
  uint32_t chunks;
  const uint8_t* Chunk(uint32_t i) const { return base + chunksAt + size_t(i) * kLeafChunkBytes; }
};

// Up to `want` bytes of an array chain from chunk `first`; false when a
// chunk is out of range or not an array chunk before `want` bytes came.
bool ReadArray(const Leaf& leaf, uint16_t first, size_t want, uint8_t* out) {
  size_t got = 0;
  uint32_t steps = 0;
  for (uint16_t c = first; got < want; ++steps) {
    if (c == kChainEnd || c >= leaf.chunks || steps > leaf.chunks) return false;
    const uint8_t* chunk = leaf.Chunk(c);
    if (chunk[0] != kChunkArray) return false;
    const size_t take = want - got < kLaDataBytes ? want - got : kLaDataBytes;
    std::memcpy(out + got, chunk + kLaData, take);
    got += take;
    c = Le16(chunk + kLaNext);
  }
  return true;
}

}  // namespace

int ForEachFatZapLeafEntry(const uint8_t* leaf, size_t bytes, ZapVisitor visit, void* context) {
  if (!leaf || bytes < 512 || !std::has_single_bit(bytes) || ZapBlockType(leaf, bytes) != kZbtLeaf) return 0;
  const unsigned shift = unsigned(std::countr_zero(bytes));
  const size_t hashEntries = size_t(1) << (shift - kLeafHashShiftLess);
  const size_t tableBytes = hashEntries * 2;
  if (kLeafHeaderBytes + tableBytes >= bytes) return 0;
  const size_t chunkRoom = (bytes - tableBytes) / kLeafChunkBytes;
  if (chunkRoom <= kLeafHeaderChunks) return 0;
  const Leaf l{leaf, kLeafHeaderBytes + tableBytes, uint32_t(chunkRoom - kLeafHeaderChunks)};
  int made = 0;
  // Each entry chunk is read once: a chain that loops or joins another ends.
  thread_local std::vector<uint8_t> seen;
  seen.assign(l.chunks, 0);
  uint8_t name[kMaxZapNameBytes];
  for (size_t slot = 0; slot < hashEntries; ++slot) {
    for (uint16_t c = Le16(leaf + kLeafHeaderBytes + 2 * slot); c != kChainEnd;) {
      if (c >= l.chunks || seen[c]) break;
      seen[c] = 1;
      const uint8_t* e = l.Chunk(c);
      if (e[0] != kChunkEntry) break;
      c = Le16(e + kLeNext);
      const uint16_t nameLength = Le16(e + kLeNameLength);
      if (e[kLeValueIntLen] != 8 || nameLength < 2 || nameLength - 1u > kMaxZapNameBytes) continue;
      uint8_t value[8];
      if (!ReadArray(l, Le16(e + kLeNameChunk), nameLength - 1u, name) ||
          !ReadArray(l, Le16(e + kLeValueChunk), 8, value))
        continue;
      ++made;
      if (visit && !visit(ZapEntry{name, size_t(nameLength - 1u), GetBigEndian64(value, 8)}, context)) return made;
    }
  }
  return made;
}
