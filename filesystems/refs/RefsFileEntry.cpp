#include "filesystems/refs/RefsFileEntry.h"

#include "filesystems/refs/Definitions.h"
#include "filesystems/refs/RefsPage.h"
#include "foundation/ByteOrder.h"

using namespace refs;

RefsFileEntry ReadRefsFileEntry(const uint8_t* page, const RefsEntry& e) {
  RefsFileEntry f;
  if (!e.value || e.valueLength < kFileValueMin) return f;
  const uint8_t* v = e.value;
  if (Le32(v + kFileHeaderLength) != kFileHeaderBytes || Le32(v + kFileMark168) != kFileMark168Value) return f;
  if (!(v[kFileFlags] & kFileFlagsBit)) return f;
  const uint32_t b = Le16(v + kFileB), c = Le16(v + kFileC);
  if (!(b + kFileValueMin < c) || !(uint64_t(b) + c + e.valueOffset + kFileBase < e.length)) return f;
  // The two marks and the root inside the entry (the checks above keep
  // them there; the page bound is checked all the same).
  const uint64_t mark = uint64_t(e.at) + e.valueOffset + kFileBase + b;
  const uint64_t root = mark + kFileMarkAtB;
  if (root + kIndexHeaderBytes > kPageBytes || root + 4 > uint64_t(e.at) + e.length) return f;
  if (Le32(page + mark) != kFileMarkAtB || Le32(page + root) != kFileRootMark) return f;
  f.time1 = Le64(v + kFileTime1);
  f.time2 = Le64(v + kFileTime2);
  f.size = Le64(v + kFileSize);
  f.rootOffset = uint32_t(root);
  f.ok = true;
  return f;
}

RefsExtent ReadRefsExtent(const uint8_t* v) {
  return RefsExtent{Le64(v + kExtentLogical), Le64(v + kExtentCount), Le64(v + kExtentPhysical)};
}
