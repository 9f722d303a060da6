#include "volumes/Extents.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>

#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "volumes/Volume.h"

namespace {

uint64_t EndVcn(const ExtentRun& r) { return r.vcn + r.Length(); }

}  // namespace

// ---- CExtents ----

CExtents::CExtents() = default;

CExtents::~CExtents() = default;

void CExtents::FreeAll() {
  RunArray().swap(runs_);
  std::vector<uint8_t>().swap(rawRuns_);
  total_ = 0;
  cursor_ = 0;
}

void CExtents::Reset() {
  runs_.clear();
  total_ = 0;
  cursor_ = 0;
}

void CExtents::UpdateSectorsPerCluster() {
  if (clusterSize < sectorSize) return;
  sectorsPerClusterShift = clusterShift - sectorShift;
  sectorsPerClusterMask = (1u << sectorsPerClusterShift) - 1;
}

bool CExtents::SetSectorSize(uint32_t bytes) {
  if (!std::has_single_bit(bytes)) return false;
  sectorSize = bytes;
  sectorShift = std::countr_zero(bytes);
  sectorMask = bytes - 1;
  UpdateSectorsPerCluster();
  return true;
}

bool CExtents::SetClusterSize(uint32_t bytes) {
  if (!std::has_single_bit(bytes)) return false;
  clusterSize = bytes;
  clusterShift = std::countr_zero(bytes);
  clusterMask = bytes - 1;
  UpdateSectorsPerCluster();
  return true;
}

bool CExtents::SetRawRuns(const uint8_t* bytes, size_t length) {
  try {
    if (!bytes) length = 0;
    rawRuns_.assign(bytes, bytes + length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool CExtents::AppendRun(uint64_t vcn, uint64_t lcn, uint64_t length, bool hole) {
  if (length == 0 || vcn < total_) return false;
  uint64_t vcnEnd, lcnEnd;
  if (__builtin_add_overflow(vcn, length, &vcnEnd) || __builtin_add_overflow(lcn, length, &lcnEnd)) return false;
  try {
    runs_.push_back(ExtentRun{vcn, lcn, lcnEnd, hole ? ExtentRun::kHole : 0u, 0});
  } catch (const std::bad_alloc&) {
    return false;
  }
  total_ = vcnEnd;
  return true;
}

bool CExtents::AppendRunArray(RunArray& runs) {
  uint64_t end = total_;
  for (const ExtentRun& r : runs) {
    if (r.vcn < end || r.lcnEnd < r.lcn) return false;
    uint64_t e;
    if (__builtin_add_overflow(r.vcn, r.Length(), &e)) return false;
    end = e;
  }
  if (!AppendRuns(runs_, runs)) return false;
  if (end > total_) total_ = end;
  return true;
}

int64_t CExtents::BuildVCNMappingTable(const uint8_t* runList) {
  TRACE_FN("CExtents::BuildVCNMappingTable");
  RunArray added;
  uint64_t vcn = total_;
  // Every list counts its start clusters from 0 (each NTFS attribute piece
  // has its own); joining lists is MergeMappingPairs' business.
  int64_t lcn = 0;
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  while (ReadNextRun(&delta, &length, runList, &pos) == 1) {
    if (length == 0) continue;
    uint64_t vcnEnd;
    if (__builtin_add_overflow(vcn, uint64_t(length), &vcnEnd)) break;
    ExtentRun run;
    run.vcn = vcn;
    if (delta == 0) {
      // A hole keeps the LCN of the entry before it (for a leading hole, the
      // table's last one) so that every reader can also tell it that way.
      run.lcn = !added.empty() ? added.back().lcn : (!runs_.empty() ? runs_.back().lcn : 0);
      run.flags = ExtentRun::kHole;
    } else {
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) {
        const WString& text = Msg(240);
        VErrorMsg(text.empty() ? u"Starting cluster number is negative: %I64d" : text.c_str(), lcn);
        return -1;
      }
      run.lcn = uint64_t(lcn);
    }
    run.lcnEnd = run.lcn + length;
    try {
      added.push_back(run);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    vcn = vcnEnd;
  }
  const int64_t clusters = int64_t(vcn - total_);
  if (!AppendRuns(runs_, added)) return -1;
  total_ = vcn;
  return clusters;
}

int64_t CExtents::LoadHexRunList(std::string_view text) {
  if (text.size() % 2) return -1;
  std::vector<uint8_t> pairs;
  try {
    pairs.resize(text.size() / 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!HexToBytesChecked(text.data(), text.size(), pairs.data(), pairs.size())) return -1;
  std::unique_ptr<uint8_t, void (*)(uint8_t*)> list(NewRunList(pairs.data(), pairs.size()),
                                                     [](uint8_t* p) { FreeRunList(p); });
  if (!list) return -1;
  return BuildVCNMappingTable(list.get());
}

int64_t CExtents::LoadHexRunList(WStringView text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) {
    if (c > 0x7F) return -1;
    narrow.push_back(char(c));
  }
  return LoadHexRunList(std::string_view(narrow));
}

uint64_t CExtents::VcnToLcn(uint64_t vcn, uint64_t* leftOut, uint64_t* nextOut) {
  return LookupVcnInRuns(vcn, runs_.data(), runs_.size(), &cursor_, leftOut, nextOut, total_);
}

uint64_t LookupVcnInRuns(uint64_t vcn, const ExtentRun* runs, size_t count, size_t* cursor, uint64_t* leftOut,
                         uint64_t* nextOut, uint64_t total) {
  if (leftOut) *leftOut = 0;
  if (nextOut) *nextOut = 0;
  if (!runs || count == 0) return 0;
  if (total == 0) total = EndVcn(runs[count - 1]);
  if (vcn >= total) return 0;

  size_t c = cursor ? *cursor : 0;
  size_t i;
  if (c < count && runs[c].vcn <= vcn && (c + 1 == count || runs[c + 1].vcn > vcn)) {
    i = c;
  } else {
    const ExtentRun* after =
        std::upper_bound(runs, runs + count, vcn, [](uint64_t v, const ExtentRun& r) { return v < r.vcn; });
    if (after == runs) {
      if (nextOut) *nextOut = runs[0].vcn - vcn;
      return 0;
    }
    i = size_t(after - runs) - 1;
  }
  if (cursor) *cursor = i;
  const ExtentRun& run = runs[i];
  const uint64_t end = EndVcn(run);
  const uint64_t nextStart = std::min(i + 1 < count ? runs[i + 1].vcn : total, total);
  if (vcn >= end) {
    // In the gap after the run.
    if (nextOut) *nextOut = nextStart > vcn ? nextStart - vcn : 0;
    return 0;
  }
  if (run.IsHole()) {
    if (nextOut) *nextOut = std::min(end, total) - vcn;
    return 0;
  }
  if (leftOut) *leftOut = end - vcn;
  if (nextOut) *nextOut = nextStart > vcn ? nextStart - vcn : 0;
  return run.lcn + (vcn - run.vcn);
}

// ---- ext4 extent trees ----

namespace {

constexpr size_t kExtHeaderBytes = 12;
constexpr size_t kExtEntryBytes = 12;
constexpr uint32_t kExtUninitialised = 32768;

int ExtDepth(const uint8_t* node) { return Le16(node + 6); }

uint32_t LeafLength(uint16_t raw) { return raw > kExtUninitialised ? raw - kExtUninitialised : raw; }

}  // namespace

bool ExtExtentHeaderValid(const uint8_t* node, size_t length) {
  if (!node || length <= 11) return false;
  if (Le16(node) != kExtExtentMagic) return false;
  const uint32_t entries = Le16(node + 2);
  if (entries > Le16(node + 4)) return false;
  return length >= kExtHeaderBytes + kExtEntryBytes * size_t(entries);
}

uint32_t ExtExtentHeaderSize(const uint8_t* node) {
  if (!node) return 0;
  const uint32_t entries = Le16(node + 2);
  return entries < 5 ? uint32_t(kExtHeaderBytes + kExtEntryBytes * entries) : 0;
}

bool ExtParseExtentNode(const uint8_t* node, size_t length, ExtExtentNode* out) {
  if (!out || !ExtExtentHeaderValid(node, length)) return false;
  const uint32_t entries = Le16(node + 2);
  const int depth = ExtDepth(node);
  if (entries == 0 || depth > kExtMaxDepth) return false;
  const uint8_t* e = node + kExtHeaderBytes;
  for (uint32_t i = 1; i < entries && i < 10; ++i) {
    if (Le32(e + kExtEntryBytes * i) <= Le32(e + kExtEntryBytes * (i - 1))) return false;
  }
  try {
    out->depth = depth;
    out->entries = entries;
    out->firstBlock = Le32(e);
    out->firstBlocks.resize(entries);
    out->blocks.resize(entries);
    out->lengths.assign(depth == 0 ? entries : 0, 0);
    out->totalLength = 0;
    for (uint32_t i = 0; i < entries; ++i, e += kExtEntryBytes) {
      out->firstBlocks[i] = Le32(e);
      if (depth == 0) {
        out->lengths[i] = LeafLength(Le16(e + 4));
        out->blocks[i] = uint64_t(Le16(e + 6)) << 32 | Le32(e + 8);
        out->totalLength += out->lengths[i];
      } else {
        out->blocks[i] = uint64_t(Le16(e + 8)) << 32 | Le32(e + 4);
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
  for (int level = 0; level <= kExtMaxDepth; ++level) {
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
  if (Le16(node + 2) == 0) return true;  // a file without blocks
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
  for (int level = 0; level <= kExtMaxDepth; ++level) {
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
  constexpr uint32_t kRootEntries = (kExtInodeAreaBytes - kExtHeaderBytes) / kExtEntryBytes;
  int childDepth = -1;
  uint32_t count = 0;
  uint64_t lastEnd = 0;
  for (uint32_t i = 0; i < kRootEntries; ++i) {
    const uint8_t* e = node + kExtHeaderBytes + kExtEntryBytes * i;
    const uint64_t block = uint64_t(Le16(e + 8)) << 32 | Le32(e + 4);
    if (block == 0) break;
    const uint8_t* child = reader->ReadBlock(block);
    if (!child || !ExtExtentHeaderValid(child, reader->BlockSize())) break;
    const int d = ExtDepth(child);
    if (d >= kExtMaxDepth || (childDepth >= 0 && d != childDepth)) break;
    childDepth = d;
    ++count;
    lastEnd = ExtLastLogicalBlock(reader, child, reader->BlockSize(), d);
  }
  if (count == 0) return 0;
  PutLittleEndian(node + 6, uint32_t(childDepth + 1), 2);
  PutLittleEndian(node + 2, count, 2);
  const uint32_t shift = reader->clusterShift;
  *out = lastEnd > (std::numeric_limits<uint64_t>::max() >> shift) ? 0 : lastEnd << shift;
  return *out ? uint32_t(kExtHeaderBytes + kExtEntryBytes * count) : 0;
}
