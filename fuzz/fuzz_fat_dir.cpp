// A FAT volume of arbitrary bytes walked as the Quick Scan walks it: long
// names, deleted entries and folders, recycle-bin records. Every file is
// handed over under a path that starts at the root.
#include <cstddef>
#include <cstdint>

#include "filesystems/fat/FatDir.h"
#include "filesystems/fat/FatVolume.h"
#include "fuzz/FatFuzzImage.h"

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
  v.ReadVolumeLabel();
  fatfuzz::Sink sink;
  v.engine = &sink;
  ParseFAT(&v, sink);
  return 0;
}
