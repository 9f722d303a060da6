// One FILE record of arbitrary content parsed into a node, fix-up included.
// The input's length picks the record size (up to 1024 bytes: 1024, up to
// 2048: 2048, else 4096); shorter input is padded with zeros. The volume has
// no drive, so what the record points elsewhere (non-resident attribute
// lists, extension records) fails to read and must fail cleanly. The record
// must come back byte for byte after each parse.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/Globals.h"
#include "volumes/ntfs/Inode.h"
#include "volumes/ntfs/NtfsVolume.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const uint32_t recordSize = size <= 1024 ? 1024 : size <= 2048 ? 2048 : 4096;
  std::vector<uint8_t> rec(recordSize, 0);
  if (size) std::memcpy(rec.data(), data, size);
  const std::vector<uint8_t> original = rec;

  NTFSVol vol;
  vol.SetSectorSize(512);
  vol.SetClusterSize(4096);
  vol.SetRecordSize(recordSize);

  static const char16_t kStream[] = u"secret";
  for (const char16_t* wanted : {static_cast<const char16_t*>(nullptr), kStream}) {
    inode node(rec.data(), &vol);
    node.parseEntry(wanted);
    if (rec != original) std::abort();  // the fix-up was not undone
    node.record = nullptr;
    // The mapping of what was parsed, and a read through it (no drive: the
    // read fails, but the table it builds must be sound).
    if (node.BuildMappingTablesAll() > 0) {
      node.Offset2LSN(0);
      node.Offset2LSN(int64_t(node.size > 0 ? node.size - 1 : 0));
      uint32_t got = 0;
      node.ReadClusters(0, 4, &got);
      if (got > 4) std::abort();
    }
    node.FreeWorkBuffer();
  }
  return 0;
}
