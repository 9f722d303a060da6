#include "filesystems/ext/UnixVolume.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "filesystems/ext/Definitions.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "storage/Drive.h"

using namespace ext;

namespace {

// The sizes are powers of two.
uint32_t Log2(uint64_t v) { return v ? uint32_t(std::countr_zero(v)) : 0; }

bool PowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace

// Sectors of 512 bytes until the volume is initialised on its drive
// (InitUnixVol) or read from a session.
CUnixVol::CUnixVol() { SetClusterSize(4096); }

CUnixVol::~CUnixVol() = default;

void CUnixVol::InitBlockMapLevels(uint32_t bytes) {
  pointerBytes = bytes == 8 ? 8 : 4;
  pointersPerBlock = clusterSize / pointerBytes;
  pointersShift = Log2(pointersPerBlock);
  const uint64_t p = pointersPerBlock;
  singleLimit = kDirectPointers + p;
  doubleLimit = kDirectPointers + p + p * p;
  sectorsPerBlock = clusterSize / (sectorSize ? sectorSize : 512);
}

bool CUnixVol::InitInodeGeometry() {
  if (!PowerOfTwo(inodeSize) || inodeSize < kInodeBaseBytes || inodeSize > clusterSize) return false;
  inodeShift = Log2(inodeSize);
  inodesPerBlock = clusterSize / inodeSize;
  inodesPerBlockShift = Log2(inodesPerBlock);
  descPerBlockShift = clusterShift - descShift;
  return true;
}

bool CUnixVol::AllocBuffers() {
  try {
    for (int i = 0; i < 3; ++i) {
      levelBuffer_[i].assign(clusterSize, 0);
      badMap_[i].assign((clusterSize / 512 + 7) / 8, 0);
      levelCached_[i] = -1;
    }
    descBuffer_.assign(clusterSize, 0);
    descCached_ = -1;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

ExtInodeContext CUnixVol::InodeContext() const {
  ExtInodeContext c;
  c.haveVolume = true;
  c.blockSize = clusterSize;
  c.singleLimit = singleLimit;
  c.doubleLimit = doubleLimit;
  c.checksums = checksums;
  return c;
}

bool CUnixVol::ReadBlock(uint64_t block, uint8_t* out) {
  if (block >= totalBlocks) return false;
  uint32_t got = 0;
  return ReadClusters(out, int64_t(block), 1, 0, clusterSize, &got) && got == 1;
}

int64_t CUnixVol::InodeTableBlock(uint64_t group) {
  if (descBuffer_.size() != clusterSize && !AllocBuffers()) return -1;
  const uint64_t descBlock = DescriptorBlock(group >> descPerBlockShift);
  if (int64_t(descBlock) != descCached_) {
    descCached_ = -1;
    if (!ReadBlock(descBlock, descBuffer_.data())) return -1;
    descCached_ = int64_t(descBlock);
  }
  const uint64_t mask = (uint64_t(1) << descPerBlockShift) - 1;
  const uint8_t* d = descBuffer_.data() + ((group & mask) << descShift);
  uint64_t table = Le32(d + kGdInodeTable);
  if (descShift >= kGdLargeShift) table |= uint64_t(Le32(d + kGdInodeTableHigh)) << 32;
  return table < totalBlocks ? int64_t(table) : -1;
}

const uint8_t* CUnixVol::GetInode(uint64_t n, int64_t* sectorOut, UnixInodeCache& cache) {
  if (n == 0 || n > inodeCount || !inodesPerGroup || !inodesPerBlock) return nullptr;
  const uint64_t index = n - 1;
  const uint64_t group = index / inodesPerGroup, within = index % inodesPerGroup;
  const bool cached = index >= cache.first && index < cache.first + cache.count;
  int64_t table = -1;
  if (!cached || sectorOut) {
    table = InodeTableBlock(group);
    if (table < 0) return nullptr;
  }
  if (sectorOut) {
    const uint64_t block = uint64_t(table) + (within >> inodesPerBlockShift);
    const uint64_t byteInBlock = (within & (inodesPerBlock - 1)) * inodeSize;
    const uint32_t dss = drive && drive->SectorSize() ? drive->SectorSize() : sectorSize;
    *sectorOut = int64_t(startSector + (block * clusterSize + byteInBlock) / dss);
  }
  if (!cached) {
    const bool continues = cache.count && index == cache.first + cache.count;
    const uint32_t want = continues ? std::max(cache.capacity, std::min(cache.lastRead * 2, kMaxInodeReadAhead))
                                    : cache.capacity;
    cache.count = 0;
    const uint64_t tableBlocks = (uint64_t(inodesPerGroup) + inodesPerBlock - 1) / inodesPerBlock;
    const uint64_t blockInTable = within >> inodesPerBlockShift;
    const uint64_t block = uint64_t(table) + blockInTable;
    uint64_t blocks = std::min<uint64_t>(tableBlocks - blockInTable, std::max<uint32_t>(1, want / clusterSize));
    if (block >= totalBlocks) return nullptr;
    blocks = std::min<uint64_t>(blocks, totalBlocks - block);
    try {
      if (cache.data.size() < blocks * clusterSize) cache.data.resize(blocks * clusterSize);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    uint32_t got = 0;
    if (!ReadClusters(cache.data.data(), int64_t(block), uint32_t(blocks), 0, cache.data.size(), &got) || !got)
      return nullptr;
    cache.lastRead = uint32_t(blocks * clusterSize);
    // A sector of implausible inodes yields none.
    const ExtInodeContext context = InodeContext();
    const uint32_t piece = std::max(sectorSize, inodeSize);
    const size_t bytes = size_t(got) * clusterSize;
    for (size_t at = 0; at + piece <= bytes; at += piece)
      if (!IsUnixInodeBlock(cache.data.data() + at, piece, inodeSize, context, false))
        memset(cache.data.data() + at, 0, piece);
    cache.first = group * inodesPerGroup + (blockInTable << inodesPerBlockShift);
    cache.count = std::min<uint64_t>(uint64_t(got) * inodesPerBlock, inodesPerGroup - (blockInTable << inodesPerBlockShift));
    if (index < cache.first || index >= cache.first + cache.count) return nullptr;
  }
  const uint8_t* inode = cache.data.data() + ((index - cache.first) << inodeShift);
  return Le16(inode + kInodeMode) ? inode : nullptr;
}

bool CUnixVol::CheckPointerSectors(uint8_t* block, int level) {
  std::vector<uint8_t>& bad = badMap_[level];
  std::fill(bad.begin(), bad.end(), 0);
  bool clean = true;
  const uint32_t sectors = clusterSize / 512;
  for (uint32_t s = 0; s < sectors; ++s) {
    uint8_t* p = block + size_t(s) * 512;
    for (uint32_t k = 0; k < 512; k += pointerBytes) {
      const uint64_t ptr = pointerBytes == 8 ? Le64(p + k) : Le32(p + k);
      if (ptr >= totalBlocks) {
        bad[s / 8] |= uint8_t(1u << (s % 8));
        memset(p, 0, 512);
        if (traceUnixFsA) TracePrintfA("Bad ptrs blk %ld sect %ld lvl %ld\n", 0, int32_t(s), int32_t(level));
        clean = false;
        break;
      }
    }
  }
  return clean;
}

uint64_t CUnixVol::MappedEnd(const uint8_t* list, uint32_t listLength) {
  auto listPointer = [&](uint32_t i) -> uint64_t {
    const uint32_t at = i * pointerBytes;
    if (!list || at + pointerBytes > listLength) return 0;
    return pointerBytes == 8 ? Le64(list + at) : Le32(list + at);
  };
  const uint64_t p = pointersPerBlock;
  if (p && !(p & (p - 1))) {
    // The levels from the top: where each starts and the blocks it maps.
    const uint64_t starts[3] = {kDirectPointers, kDirectPointers + p, kDirectPointers + p + p * p};
    std::vector<uint8_t> block;
    for (int levels = 3; levels >= 1; --levels) {
      uint64_t ptr = listPointer(kSingleIndirect + uint32_t(levels - 1));
      if (!ptr) continue;
      uint64_t base = starts[levels - 1];
      uint64_t span = levels == 3 ? p * p * p : levels == 2 ? p * p : p;  // blocks under ptr
      try {
        block.resize(clusterSize);
      } catch (const std::bad_alloc&) {
        return base + span;
      }
      for (int level = 0; level < levels; ++level) {
        if (!ReadBlock(ptr, block.data())) return base + span;
        const uint64_t entries = clusterSize / pointerBytes;
        uint64_t last = entries;
        for (uint64_t i = entries; i-- > 0;) {
          const uint8_t* at = block.data() + i * pointerBytes;
          if (pointerBytes == 8 ? Le64(at) : Le32(at)) {
            last = i;
            break;
          }
        }
        if (last == entries) return base + span;
        span /= p;
        base += last * span;
        ptr = pointerBytes == 8 ? Le64(block.data() + last * pointerBytes) : Le32(block.data() + last * pointerBytes);
      }
      return base + 1;
    }
  }
  for (uint32_t i = kDirectPointers; i-- > 0;)
    if (listPointer(i)) return i + 1;
  return 0;
}

int64_t CUnixVol::MapBlock(uint64_t logical, const uint8_t* list, uint32_t listLength, bool* corrupt) {
  auto listPointer = [&](uint32_t i) -> uint64_t {
    const uint32_t at = i * pointerBytes;
    if (!list || at + pointerBytes > listLength) return 0;
    return pointerBytes == 8 ? Le64(list + at) : Le32(list + at);
  };
  auto pastEnd = [&](uint64_t ptr) {
    VErrorMsg(u"Logical block %ld = %08x is past end of volume", int32_t(logical), uint32_t(ptr));
    return int64_t(-1);
  };
  if (logical < kDirectPointers) {
    const uint64_t ptr = listPointer(uint32_t(logical));
    return ptr >= totalBlocks ? pastEnd(ptr) : int64_t(ptr);
  }
  const uint64_t p = pointersPerBlock;
  if (!p) return -1;
  uint64_t rest = logical - kDirectPointers;
  int levels;
  uint32_t top;
  if (rest < p) {
    levels = 1;
    top = kSingleIndirect;
  } else if ((rest -= p) < p * p) {
    levels = 2;
    top = kDoubleIndirect;
  } else {
    rest -= p * p;
    if (rest >= p * p * p) return -1;
    levels = 3;
    top = kTripleIndirect;
  }
  uint64_t ptr = listPointer(top);
  for (int level = 0; level < levels; ++level) {
    if (ptr == 0) return 0;
    if (ptr >= totalBlocks) return pastEnd(ptr);
    if (levelBuffer_[level].size() != clusterSize && !AllocBuffers()) return -1;
    uint8_t* buf = levelBuffer_[level].data();
    if (levelCached_[level] != int64_t(ptr)) {
      levelCached_[level] = -1;
      if (!ReadBlock(ptr, buf)) return -1;
      CheckPointerSectors(buf, level);
      levelCached_[level] = int64_t(ptr);
    }
    const uint32_t shift = pointersShift * uint32_t(levels - 1 - level);
    const uint64_t index = (rest >> shift) & (p - 1);
    const size_t at = size_t(index) * pointerBytes;
    ptr = pointerBytes == 8 ? Le64(buf + at) : Le32(buf + at);
    const uint32_t sector = uint32_t(at / 512);
    if (ptr == 0 && corrupt && (badMap_[level][sector / 8] >> (sector % 8) & 1)) *corrupt = true;
  }
  return ptr >= totalBlocks ? pastEnd(ptr) : int64_t(ptr);
}

uint32_t CUnixVol::CollectRun(const uint8_t* list, uint32_t listLength, uint64_t logical, uint32_t limit,
                              uint64_t* first, uint32_t* corrupt) {
  bool bad = false;
  const int64_t start = MapBlock(logical, list, listLength, &bad);
  if (bad && corrupt) ++*corrupt;
  if (start < 0) return 0;
  *first = uint64_t(start);
  uint32_t n = 1;
  while (n < limit) {
    bool badNext = false;
    const int64_t next = MapBlock(logical + n, list, listLength, &badNext);
    if (next < 0) break;
    if (start == 0 ? next != 0 : uint64_t(next) != uint64_t(start) + n) break;
    if (badNext && corrupt) ++*corrupt;
    ++n;
  }
  return n;
}

int64_t CUnixVol::ReadFileData(uint64_t offset, uint64_t length, uint8_t* buffer, size_t capacity,
                               const uint8_t* list, uint32_t listLength, uint32_t* corrupt) {
  const uint64_t want = std::min<uint64_t>(length, capacity);
  if (want == 0) return 0;
  const uint32_t bs = clusterSize;
  uint64_t logical = offset >> clusterShift;
  const uint32_t skip = uint32_t(offset & clusterMask);
  const uint32_t blocksPer1M = std::max<uint32_t>(1, uint32_t(0x100000 >> clusterShift));
  std::vector<uint8_t> scratch;
  uint64_t done = 0;
  while (done < want) {
    // Whole blocks land in the buffer; a block cut by the offset or by the
    // buffer's end goes through a scratch block.
    const uint64_t left = want - done;
    const bool partial = (done == 0 && skip) || left < bs;
    const uint32_t limit = partial ? 1 : uint32_t(std::min<uint64_t>(blocksPer1M, left / bs));
    uint64_t first = 0;
    const uint32_t n = CollectRun(list, listLength, logical, limit, &first, corrupt);
    if (n == 0) return done ? int64_t(done) : -1;
    const uint32_t from = done == 0 ? skip : 0;
    uint8_t* out = buffer + done;
    if (partial) {
      if (scratch.empty()) scratch.resize(bs);
      if (first == 0) memset(scratch.data(), 0, bs);
      else if (!ReadBlock(first, scratch.data())) return done ? int64_t(done) : -1;
      const uint64_t k = std::min<uint64_t>(bs - from, left);
      memcpy(out, scratch.data() + from, size_t(k));
      done += k;
    } else if (first == 0) {
      memset(out, 0, size_t(n) * bs);
      done += uint64_t(n) * bs;
    } else {
      uint32_t got = 0;
      if (first + n > totalBlocks || !ReadClusters(out, int64_t(first), n, 0, size_t(n) * bs, &got) || got != n)
        return done ? int64_t(done) : -1;
      done += uint64_t(n) * bs;
    }
    logical += n;
  }
  return int64_t(done);
}
