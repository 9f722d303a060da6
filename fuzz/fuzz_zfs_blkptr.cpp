// A block pointer (the input's first 128 bytes) read through its copies
// from a drive that serves the rest of the input after a vdev's front:
// whatever the pointer says (sizes, codecs, gang bits, offsets past the
// image), the read never writes past the room it is given.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "filesystems/zfs/BlockPointer.h"
#include "fuzz/ZfsFuzzDrive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zfsfuzz::Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < zfs::kBlkPtrBytes) return 0;
  Drive* drive = zfsfuzz::Open(data + zfs::kBlkPtrBytes, size - zfs::kBlkPtrBytes);
  if (!drive) return 0;
  auto v = zfsfuzz::Volume(drive);
  ZFSCheckBlkPtrs(data, 1);
  const ZfsBlockPointer bp = ParseZfsBlockPointer(data);
  // Room for the logical size when it is sane, and less at times.
  const size_t room = bp.lsize <= zfs::kMaxBlockBytes ? (data[0] & 1 ? bp.lsize : bp.lsize / 2) : 4096;
  std::vector<uint8_t> out(room + 64, 0x5A);
  const int r = v->BlkPtrDvaRead(data, out.data(), room);
  if (r != kZfsReadFailed && r != kZfsReadData && r != kZfsReadHole && r != kZfsReadUnverified) std::abort();
  for (size_t i = room; i < out.size(); ++i)
    if (out[i] != 0x5A) std::abort();
  return 0;
}
