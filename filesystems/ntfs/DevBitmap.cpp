#include "filesystems/ntfs/DevBitmap.h"

#include <bit>
#include <cstring>

#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "filesystems/ntfs/NtfsVolume.h"

namespace {
// Pages a bitmap may have when the volume's size is not known.
constexpr uint64_t kMaxPagesUnknownSize = uint64_t(1) << 20;
}  // namespace

CDevBitmap::CDevBitmap(NTFSVol* vol) : inode(nullptr, vol) {}

CDevBitmap::~CDevBitmap() {
  pages.clear();
  pool.reset();
}

bool CDevBitmap::InitBM() {
  pages.clear();
  pool.reset();
  count = 0;
  const uint32_t cs = ClusterBytes();
  if (cs == 0) return false;
  bitsPerPage = cs * 8;
  bitMask = bitsPerPage - 1;
  pageShift = uint32_t(std::countr_zero(bitsPerPage));
  const uint64_t pagesOnDisk = allocatedSize / cs;
  // The page table follows the volume's size, never a size read from disk
  // alone: one bit a cluster, plus a page of slack.
  uint64_t bound = kMaxPagesUnknownSize;
  if (volume && volume->totalSectors && volume->sectorsPerCluster) {
    const uint64_t clusters = volume->totalSectors / volume->sectorsPerCluster + 1;
    bound = (clusters + uint64_t(bitsPerPage) - 1) / bitsPerPage + 1;
  }
  if (pagesOnDisk == 0 || pagesOnDisk > bound || pagesOnDisk > UINT32_MAX) return false;
  count = uint32_t(pagesOnDisk);
  pool = std::make_unique<CMyAlloc>(cs);
  return true;
}

uint32_t CDevBitmap::ReadBMClusters(uint32_t i, uint32_t n) {
  if (uint64_t(i) + n > count) {
    ErrorMsg(u"Try to read past end of file $Bitmap");
    throw DvCodeError{0};
  }
  if (pages.empty()) pages.assign(count, nullptr);
  const uint32_t cs = ClusterBytes();
  for (uint32_t p = i; p < i + n; p++) {
    if (pages[p]) continue;
    auto* page = static_cast<uint8_t*>(pool->MyAlloc());
    if (!page) ShowErrorAndThrow();
    uint32_t got = 0;
    const uint8_t* data = ReadClusters(p, 1, &got);
    if (data && got == 1) {
      std::memcpy(page, data, cs);
    } else {
      std::memset(page, 0, cs);
    }
    pages[p] = page;
  }
  return n;
}

int CDevBitmap::CheckFree(int64_t first, uint64_t n, uint64_t* limit) {
  const uint64_t want = limit ? *limit : UINT64_MAX;
  uint64_t set = 0;
  if (limit) *limit = 0;
  if (first < 0 || count == 0) return -1;
  uint64_t page = uint64_t(first) >> pageShift;
  if (page >= count) return -1;
  uint64_t bit = uint64_t(first) & bitMask;
  uint64_t left = n;
  const uint32_t wordsPerPage = bitsPerPage / 32;
  try {
    while (left > 0) {
      if (page >= count) {
        if (limit) *limit = set;
        return -1;
      }
      if (pages.empty() || !pages[page]) ReadBMClusters(uint32_t(page), 1);
      const uint8_t* p = pages[page];
      uint32_t word = uint32_t(bit >> 5);
      uint32_t shift = uint32_t(bit & 31);
      while (left > 0 && word < wordsPerPage) {
        uint32_t w;
        std::memcpy(&w, p + size_t(word) * 4, 4);
        w >>= shift;
        uint32_t bits = 32 - shift;
        if (bits > left) bits = uint32_t(left);
        if (bits < 32) w &= (uint32_t(1) << bits) - 1;
        set += uint64_t(std::popcount(w));
        if (set >= want) {
          if (limit) *limit = want;
          return 0;
        }
        left -= bits;
        shift = 0;
        word++;
      }
      page++;
      bit = 0;
    }
  } catch (...) {
    if (limit) *limit = set;
    return -1;
  }
  if (limit) *limit = set;
  return 1;
}

void CDevBitmap::DetermineFileStatus(cnode* node, int mode) {
  if (!node || node->size == 0) return;
  auto setGrade = [node](uint16_t g) {
    node->flags = uint16_t((node->flags & ~kNodeGradeMask) | (g << kNodeGradeShift));
  };
  CExtents table;
  table.SetClusterSize(ClusterBytes());
  bool built = true;
  if (const XEntry* chain = node->Pieces()) {
    for (const XEntry* p = chain; p && built; p = p->next) {
      if (!p->runs) continue;
      if (p->firstVcn > table.TotalClusters()) {
        const uint64_t lcn = table.RunCount() ? table.Runs()[table.RunCount() - 1].lcnEnd : 0;
        built = table.AppendRun(table.TotalClusters(), lcn, p->firstVcn - table.TotalClusters(), true);
      }
      if (built && p->firstVcn == table.TotalClusters()) built = table.BuildVCNMappingTable(p->runs) >= 0;
    }
  } else if (node->runs) {
    built = table.BuildVCNMappingTable(node->runs) >= 0;
  }
  if (!built) {
    setGrade(4);
    return;
  }
  if (table.RunCount() == 0) {
    setGrade(3);
    return;
  }
  for (size_t i = 0; i < table.RunCount(); i++) {
    const ExtentRun& e = table.Runs()[i];
    if (e.IsHole() || e.Length() == 0) continue;
    uint64_t limit = mode == 1 ? 1 : e.Length();
    const int r = CheckFree(int64_t(e.lcn), e.Length(), &limit);
    if (r != mode) {
      if (r == -1 && mode != -1) return;
      setGrade(4);
      return;
    }
  }
  setGrade(3);
}

int CDevBitmap::RateFreeRun(int64_t a, int64_t b, int64_t c, int64_t d, uint8_t* status) {
  int grade;
  if (a == d) {
    grade = 0;
  } else if (a - d == c) {
    grade = 1;
  } else if (b == 0) {
    grade = 0;
  } else if (uint64_t(c * 256 / b - 80) > 36) {
    grade = 0;
  } else if (b * 256 / (a - d) < 240) {
    grade = 4;
  } else {
    grade = 2;
  }
  if (status) status[1] = uint8_t((status[1] & 0xF0) | grade);
  return grade;
}

bool CDevBitmap::IsRecoverableStatus(const uint8_t* status) {
  if (!status) return false;
  return (status[1] & 0x80) ? status[0] == 6 : status[0] == 1;
}
