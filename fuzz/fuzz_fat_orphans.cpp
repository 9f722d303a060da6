// A FAT volume of arbitrary bytes walked as the Long Scan walks it: chains
// the table lost read on as deleted files are, folders read on past a lost
// chain, then every sector that looks like folder entries parsed as the
// sweep for orphaned entries parses it. Every file is handed over under a
// path that starts at the root, and every run it is given lies in the
// volume's clusters.
#include <cstddef>
#include <cstdint>

#include "filesystems/fat/FatDir.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatRuns.h"
#include "filesystems/fat/FatVolume.h"
#include "fuzz/FatFuzzImage.h"
#include "volumes/RunList.h"

namespace {

class LongScanSink : public fatfuzz::Sink {
 public:
  uint8_t ScanMode() const override { return kScanLong; }
};

void CheckRuns(const FATVol& v, const cnode& n) {
  const uint8_t* runs = n.RunBuffer();
  if (!runs) return;
  uint32_t at = 0, length = 0;
  int64_t start = 0, delta = 0;
  bool first = true;
  uint64_t total = 0;
  while (ReadNextRun(&delta, &length, runs, &at) == 1) {
    const bool hole = !first && delta == 0;
    first = false;
    start += delta;
    total += length;
    if (hole) continue;
    if (start < 2 || uint64_t(start) + length > v.MaxCluster()) __builtin_trap();
  }
  if (ClustersPastDriveEnd(v, runs) > total) __builtin_trap();
}

}  // namespace

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
  if (!InitFATVol(&v, fatfuzz::Image().data(), 0)) return 0;
  LongScanSink sink;
  v.engine = &sink;
  ParseFAT(&v, sink);
  const auto& image = fatfuzz::Image();
  for (size_t at = 0; at + 512 <= image.size(); at += 512) {
    const uint8_t* s = image.data() + at;
    if (s[0] == 0 || s[0] == '.' || !FATEntriesLookLikeFolder(s, 512)) continue;
    const int64_t cluster = v.ClusterOfSector(int64_t(at / drive->SectorSize()));
    if (cluster >= 0) ParseFATOrphans(&v, sink, uint32_t(cluster));
  }
  for (uint32_t i = 0; i < sink.nodes.Count(); ++i)
    if (const cnode* n = sink.nodes.GetAt(i)) CheckRuns(v, *n);
  return 0;
}
