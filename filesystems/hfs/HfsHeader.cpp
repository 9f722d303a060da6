#include "filesystems/hfs/HfsHeader.h"

#include <bit>

#include "foundation/ByteOrder.h"

using namespace hfs;

namespace {

uint32_t Be32(const uint8_t* p) { return GetBigEndian(p, 4); }
uint16_t Be16(const uint8_t* p) { return GetBigEndian16(p); }

}  // namespace

void ReadHfsExtents(const uint8_t* bytes, HfsExtent* out) {
  for (size_t i = 0; i < kExtentsPerRecord; ++i) {
    out[i].startBlock = Be32(bytes + i * kExtentBytes);
    out[i].blockCount = Be32(bytes + i * kExtentBytes + 4);
  }
}

HfsForkData ReadHfsFork(const uint8_t* bytes) {
  HfsForkData f;
  f.logicalSize = GetBigEndian64(bytes + kForkLogicalSize, 8);
  f.clumpSize = Be32(bytes + kForkClumpSize);
  f.totalBlocks = Be32(bytes + kForkTotalBlocks);
  ReadHfsExtents(bytes + kForkExtentList, f.extents);
  return f;
}

HfsVolumeHeader ReadHfsVolumeHeader(const uint8_t* b) {
  HfsVolumeHeader h;
  h.signature = Be16(b + kHdrSignature);
  h.version = Be16(b + kHdrVersion);
  h.attributes = Be32(b + kHdrAttributes);
  h.journalInfoBlock = Be32(b + kHdrJournalInfoBlock);
  h.createDate = Be32(b + kHdrCreateDate);
  h.modifyDate = Be32(b + kHdrModifyDate);
  h.backupDate = Be32(b + kHdrBackupDate);
  h.checkedDate = Be32(b + kHdrCheckedDate);
  h.fileCount = Be32(b + kHdrFileCount);
  h.folderCount = Be32(b + kHdrFolderCount);
  h.blockSize = Be32(b + kHdrBlockSize);
  h.totalBlocks = Be32(b + kHdrTotalBlocks);
  h.freeBlocks = Be32(b + kHdrFreeBlocks);
  h.dataClump = Be32(b + kHdrDataClump);
  h.nextCatalogId = Be32(b + kHdrNextCatalogId);
  const size_t at[5] = {kHdrAllocationFork, kHdrExtentsFork, kHdrCatalogFork, kHdrAttributesFork, kHdrStartupFork};
  for (int i = 0; i < 5; ++i) h.forks[i] = ReadHfsFork(b + at[i]);
  return h;
}

bool IsHFSPlusVolumeHeader(const uint8_t* s) {
  const bool plus = s[0] == 'H' && s[1] == '+' && Be16(s + kHdrVersion) == kVersionPlus;
  const bool x = s[0] == 'H' && s[1] == 'X' && Be16(s + kHdrVersion) == kVersionX;
  if (!plus && !x) return false;
  const uint32_t bs = Be32(s + kHdrBlockSize);
  if (bs < kMinBlockSize || bs > kMaxBlockSize || !std::has_single_bit(bs)) return false;
  const uint32_t clump = Be32(s + kHdrDataClump);
  if (clump == 0 || clump % bs) return false;
  return Be32(s + kHdrFreeBlocks) < Be32(s + kHdrTotalBlocks);
}

bool IsHFSMasterDirBlock(const uint8_t* s) {
  if (s[0] != 'B' || s[1] != 'D') return false;
  if (Be16(s + kMdbBitmapStart) != kMdbBitmapSector) return false;
  const uint32_t bs = Be32(s + kMdbBlockSize);
  if (bs == 0 || bs % 512) return false;
  if (Be32(s + kMdbCreateDate) > Be32(s + kMdbModifyDate)) return false;
  if (Be16(s + kMdbBlockCount) <= Be16(s + kMdbFreeBlocks)) return false;
  const uint32_t clump = Be32(s + kMdbClumpSize);
  return clump != 0 && clump % bs == 0;
}

int CheckHfsFork(const HfsForkData& f, uint32_t blockSize, uint32_t volumeBlocks, bool anyUnit, uint64_t* blocksOut) {
  if (blocksOut) *blocksOut = 0;
  if (f.logicalSize == 0) {
    if (f.totalBlocks != 0) return -1;
  } else {
    const uint64_t total = f.totalBlocks;
    auto ends = [&](uint64_t unit) {
      const unsigned __int128 top = (unsigned __int128)total * unit;
      return total != 0 && top - unit < f.logicalSize && f.logicalSize <= top;
    };
    bool ok = blockSize && ends(blockSize);
    if (!ok && anyUnit)
      for (uint64_t u = 4096; u <= 65536 && !ok; u <<= 1) ok = ends(u);
    if (!ok) return -1;
  }
  uint64_t sum = 0, lastStart = 0, lastEnd = 0;
  int used = 0;
  for (size_t i = 0; i < kExtentsPerRecord; ++i) {
    const HfsExtent& e = f.extents[i];
    if (e.startBlock == 0 && e.blockCount == 0) break;
    if (e.startBlock == 0 || e.blockCount == 0) return -1;
    const uint64_t end = uint64_t(e.startBlock) + e.blockCount;
    if (used && e.startBlock < lastEnd && end > lastStart) return -1;
    if (end > volumeBlocks) return -1;
    sum += e.blockCount;
    lastStart = e.startBlock;
    lastEnd = end;
    ++used;
  }
  if (used < int(kExtentsPerRecord) ? sum != f.totalBlocks : sum > f.totalBlocks) return -1;
  if (blocksOut) *blocksOut = sum;
  return used;
}
