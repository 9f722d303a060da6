// The deleted-file reader of exFAT over a volume of arbitrary bytes: the
// input lays out a small image (boot sector at 0, its table, its allocation
// bitmap anywhere) and names the bitmap (bytes 512..523: first cluster,
// length) and deleted files (from byte 1024, 16 bytes each: first cluster,
// size, flags). Every run given lies in the cluster heap, holds no more
// than the size needs, and, where the file's chain was gone, takes no
// cluster the bitmap has in use.
#include <cstddef>
#include <cstdint>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatBitmap.h"
#include "filesystems/exfat/ExFatData.h"
#include "filesystems/exfat/ExFatDeleted.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "foundation/ByteOrder.h"
#include "fuzz/FatFuzzImage.h"
#include "volumes/RunList.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fatfuzz::Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6 || size > (1u << 20)) return 0;
  Drive* drive = fatfuzz::Open(data, size);
  if (!drive) return 0;
  const auto& image = fatfuzz::Image();
  CExFATVol v;
  v.drive = drive;
  if (InitExFATVol(&v, image.data(), 0) != 1) return 0;
  v.bitmaps[0] = {Le32(image.data() + 512), Le64(image.data() + 516)};
  const uint64_t heapEnd = uint64_t(v.clusterCount) + exfat::kFirstCluster;
  for (size_t at = 1024; at + 16 <= 4096; at += 16) {
    const uint8_t* e = image.data() + at;
    if (Le32(e) == 0 && Le64(e + 4) == 0) continue;
    ExFatNode n;
    n.id = Le32(e);
    n.size = Le64(e + 4) & ((uint64_t(1) << 26) - 1);
    n.generalFlags = e[12] & exfat::kFlagNoFatChain;
    n.flags |= kNodeDeleted;
    const uint16_t grade = GiveExFatDeletedRuns(&v, &n);
    uint32_t pos = 0, length = 0;
    int64_t start = 0, delta = 0;
    uint64_t total = 0;
    ExFatBitmap check;
    while (ReadNextRun(&delta, &length, n.RunBuffer(), &pos) == 1) {
      start += delta;
      total += length;
      if (start < int64_t(exfat::kFirstCluster) || uint64_t(start) + length > heapEnd) __builtin_trap();
      if (!n.NoFatChain() && grade != kGradeGood)
        for (uint64_t c = uint64_t(start); c < uint64_t(start) + length; ++c)
          if (check.InUse(v, c) == 1) __builtin_trap();
    }
    const uint64_t wanted = (n.size + v.clusterSize - 1) / v.clusterSize;
    if (total > wanted) __builtin_trap();
    if (total < wanted && grade != kGradeCorrupt) __builtin_trap();
    uint32_t wrong = 0;
    if (MapExFatNode(v, n, nullptr, &wrong) && total < wanted && wrong == 0) __builtin_trap();
  }
  return 0;
}
