// A FAT volume of arbitrary bytes: its boot sector, both table copies and
// chains followed from first clusters the input names (12, 16 and 32-bit
// tables). Runs never name a cluster outside the volume and never hold
// more clusters than asked for.
#include <cstddef>
#include <cstdint>

#include "filesystems/fat/FatCache.h"
#include "filesystems/fat/FatVolume.h"
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
  FATVol v(kVolFat16);
  v.drive = drive;
  if (!InitFATVol(&v, fatfuzz::Image().data(), 0) || !v.cache) return 0;
  const uint32_t maxCluster = v.cache->MaxCluster();
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t first = Le32(fatfuzz::Image().data() + 64 + 4 * i) % (maxCluster + 4);
    const uint32_t wanted = (i & 1) ? 0 : fatfuzz::Image()[100 + i] % 64;
    RunList runs = nullptr;
    int status = -1;
    const uint32_t got = v.cache->GetRuns(first, &runs, &status, wanted);
    if (wanted && got > wanted) __builtin_trap();
    const int64_t clusters = GetClusterCount(runs);
    if (clusters < 0 || (wanted && uint64_t(clusters) > wanted)) __builtin_trap();
    if (runs && GetLargestLCN2(runs) > int64_t(maxCluster)) __builtin_trap();
    FreeRunList(&runs);
  }
  return 0;
}
