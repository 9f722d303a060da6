#include "filesystems/ext/ExtentTree.h"

#include <limits>
#include <new>
#include <unordered_set>
#include <utility>

#include "filesystems/ext/Definitions.h"
#include "foundation/ByteOrder.h"
#include "platform/Memory.h"
#include "volumes/Volume.h"

using namespace ext;

namespace {

// Entries the root, the inode's block area, holds.
constexpr uint32_t kRootEntries = (kInodeBlockAreaBytes - kExtentHeaderBytes) / kExtentEntryBytes;

int ExtDepth(const uint8_t* node) { return Le16(node + kEhDepth); }
uint32_t ExtEntries(const uint8_t* node) { return Le16(node + kEhEntries); }

uint32_t LeafLength(uint16_t raw) { return raw > kExtentUninitialised ? raw - kExtentUninitialised : raw; }

// The child block of an index entry.
uint64_t ChildBlock(const uint8_t* e) { return uint64_t(Le16(e + kEiChildHigh)) << 32 | Le32(e + kEiChildLow); }

}  // namespace

bool ExtExtentHeaderValid(const uint8_t* node, size_t length) {
  if (!node || length < kExtentHeaderBytes) return false;
  if (Le16(node + kEhMagic) != kExtentMagic) return false;
  const uint32_t entries = ExtEntries(node);
  if (entries > Le16(node + kEhMaxEntries)) return false;
  return length >= kExtentHeaderBytes + kExtentEntryBytes * size_t(entries);
}

uint32_t ExtExtentHeaderSize(const uint8_t* node) {
  if (!node) return 0;
  const uint32_t entries = ExtEntries(node);
  return entries <= kRootEntries ? uint32_t(kExtentHeaderBytes + kExtentEntryBytes * entries) : 0;
}

bool ExtParseExtentNode(const uint8_t* node, size_t length, ExtExtentNode* out) {
  if (!out || !ExtExtentHeaderValid(node, length)) return false;
  const uint32_t entries = ExtEntries(node);
  const int depth = ExtDepth(node);
  if (entries == 0 || depth > kExtentMaxDepth) return false;
  const uint8_t* e = node + kExtentHeaderBytes;
  for (uint32_t i = 1; i < entries && i < 10; ++i) {
    if (Le32(e + kExtentEntryBytes * i + kEeFirstBlock) <= Le32(e + kExtentEntryBytes * (i - 1) + kEeFirstBlock))
      return false;
  }
  try {
    out->depth = depth;
    out->entries = entries;
    out->firstBlock = Le32(e + kEeFirstBlock);
    out->firstBlocks.resize(entries);
    out->blocks.resize(entries);
    out->lengths.assign(depth == 0 ? entries : 0, 0);
    out->totalLength = 0;
    for (uint32_t i = 0; i < entries; ++i, e += kExtentEntryBytes) {
      out->firstBlocks[i] = Le32(e + kEeFirstBlock);
      if (depth == 0) {
        out->lengths[i] = LeafLength(Le16(e + kEeLength));
        out->blocks[i] = uint64_t(Le16(e + kEeStartHigh)) << 32 | Le32(e + kEeStartLow);
        out->totalLength += out->lengths[i];
      } else {
        out->blocks[i] = ChildBlock(e);
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

ExtExtentReader::ExtExtentReader(uint32_t blockSize, BlockReadFn read) : blockSize_(blockSize), read_(std::move(read)) {
  SetClusterSize(blockSize);
  if (blockSize_) blockBuffer_ = static_cast<uint8_t*>(AlignedAlloc(blockSize_));
}

ExtExtentReader::ExtExtentReader(CVol* vol)
    : ExtExtentReader(vol ? vol->clusterSize : 0, [vol](uint64_t block, uint8_t* buffer) {
        if (!vol || block > uint64_t(INT64_MAX)) return false;
        uint32_t got = 0;
        return vol->ReadClusters(buffer, int64_t(block), 1, 0, vol->clusterSize, &got) != nullptr && got == 1;
      }) {
  volume = vol;
}

ExtExtentReader::~ExtExtentReader() { AlignedFree(blockBuffer_); }

const uint8_t* ExtExtentReader::ReadBlock(uint64_t block) {
  if (!blockBuffer_ || !read_) return nullptr;
  return read_(block, blockBuffer_) ? blockBuffer_ : nullptr;
}

int64_t ExtExtentReader::FirstDataBlock(const uint8_t* node, size_t length) {
  ExtExtentNode parsed;
  for (int level = 0; level <= kExtentMaxDepth; ++level) {
    if (!ExtParseExtentNode(node, length, &parsed)) return -1;
    if (parsed.depth == 0) return int64_t(parsed.blocks[0]);
    const int childDepth = parsed.depth - 1;
    node = ReadBlock(parsed.blocks[0]);
    length = blockSize_;
    if (!node || !ExtExtentHeaderValid(node, length) || ExtDepth(node) != childDepth) return -1;
  }
  return -1;
}

namespace {

struct ExtLoadState {
  std::unordered_set<uint64_t> visited;
};

// Loads one node (whose depth must be `expectedDepth` unless negative) into
// the reader's table.
bool LoadNode(ExtExtentReader* reader, const uint8_t* node, size_t length, int expectedDepth, ExtLoadState& state) {
  if (!ExtExtentHeaderValid(node, length)) return false;
  const int depth = ExtDepth(node);
  if (expectedDepth >= 0 && depth != expectedDepth) return false;
  if (ExtEntries(node) == 0) return true;  // a file without blocks
  ExtExtentNode parsed;
  if (!ExtParseExtentNode(node, length, &parsed)) return false;

  if (depth == 0) {
    for (uint32_t i = 0; i < parsed.entries; ++i) {
      if (parsed.lengths[i] == 0) continue;
      if (parsed.firstBlocks[i] < reader->TotalClusters()) return false;
      if (!reader->AppendRun(parsed.firstBlocks[i], parsed.blocks[i], parsed.lengths[i])) return false;
    }
    return true;
  }

  // Index node: `node` may be the reader's own buffer, but everything needed
  // was copied by the parse. Each child goes through a reader of its own and
  // is kept only when it fits after the runs so far; a block already seen
  // (a loop, or a shared child) is never read again.
  for (uint32_t i = 0; i < parsed.entries; ++i) {
    const uint64_t block = parsed.blocks[i];
    try {
      if (!state.visited.insert(block).second) continue;
    } catch (const std::bad_alloc&) {
      return false;
    }
    ExtExtentReader child(reader->BlockSize(), reader->ReadFn());
    child.volume = reader->volume;
    const uint8_t* data = child.ReadBlock(block);
    if (!data) continue;
    child.SetTotalClusters(reader->TotalClusters());
    if (!LoadNode(&child, data, child.BlockSize(), depth - 1, state)) continue;
    reader->AppendRunArray(child.Table());
  }
  return true;
}

}  // namespace

bool ExtLoadExtents(ExtExtentReader* reader, const uint8_t* node, size_t length) {
  if (!reader) return false;
  ExtLoadState state;
  return LoadNode(reader, node, length, -1, state);
}

uint64_t ExtLastLogicalBlock(ExtExtentReader* reader, const uint8_t* node, size_t length, int depth) {
  ExtExtentNode parsed;
  for (int level = 0; level <= kExtentMaxDepth; ++level) {
    if (!ExtParseExtentNode(node, length, &parsed) || parsed.depth != depth) return 0;
    const uint32_t last = parsed.entries - 1;
    if (depth == 0) return uint64_t(parsed.firstBlocks[last]) + parsed.lengths[last];
    if (!reader) return 0;
    node = reader->ReadBlock(parsed.blocks[last]);
    length = reader->BlockSize();
    if (!node) return 0;
    --depth;
  }
  return 0;
}

uint32_t ExtCheckIndexChain(uint8_t* node, ExtExtentReader* reader, uint64_t* out) {
  if (out) *out = 0;
  if (!node || !reader || !out) return 0;
  int childDepth = -1;
  uint32_t count = 0;
  uint64_t lastEnd = 0;
  for (uint32_t i = 0; i < kRootEntries; ++i) {
    const uint8_t* e = node + kExtentHeaderBytes + kExtentEntryBytes * i;
    const uint64_t block = ChildBlock(e);
    if (block == 0) break;
    const uint8_t* child = reader->ReadBlock(block);
    if (!child || !ExtExtentHeaderValid(child, reader->BlockSize())) break;
    const int d = ExtDepth(child);
    if (d >= kExtentMaxDepth || (childDepth >= 0 && d != childDepth)) break;
    childDepth = d;
    ++count;
    lastEnd = ExtLastLogicalBlock(reader, child, reader->BlockSize(), d);
  }
  if (count == 0) return 0;
  PutLittleEndian(node + kEhDepth, uint32_t(childDepth + 1), 2);
  PutLittleEndian(node + kEhEntries, count, 2);
  const uint32_t shift = reader->clusterShift;
  *out = lastEnd > (std::numeric_limits<uint64_t>::max() >> shift) ? 0 : lastEnd << shift;
  return *out ? uint32_t(kExtentHeaderBytes + kExtentEntryBytes * count) : 0;
}
