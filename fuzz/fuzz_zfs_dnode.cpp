// A dnode (the input's first 512 bytes) opened and read through its block
// pointers, whose copies the rest of the input holds: its attributes, its
// first blocks and a byte range, leniently and strictly, and its dnodes as
// a meta-dnode. Reads stay inside the buffers they are given.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "filesystems/zfs/Dnode.h"
#include "filesystems/zfs/OpenNode.h"
#include "fuzz/ZfsFuzzDrive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zfsfuzz::Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < zfs::kDnodeBytes) return 0;
  ZFSIsValidDnode(data);
  ReadZfsFileAttributes(data, false);
  ReadZfsFileAttributes(data, true);
  Drive* drive = zfsfuzz::Open(data + zfs::kDnodeBytes, size - zfs::kDnodeBytes);
  if (!drive) return 0;
  auto v = zfsfuzz::Volume(drive);
  ZfsOpenNode node(*v);
  if (!node.Load(data, true)) return 0;
  const uint32_t bs = node.BlockBytes();
  if (bs == 0 || bs > zfs::kMaxBlockBytes) std::abort();
  std::vector<uint8_t> block(bs + 64, 0x5A);
  for (uint64_t id = 0; id < 4 && id <= node.Dnode().maxBlkId; ++id) node.ReadBlock(id, block.data());
  node.ReadBlock(node.Dnode().maxBlkId, block.data());
  for (size_t i = bs; i < block.size(); ++i)
    if (block[i] != 0x5A) std::abort();
  const size_t want = 300000;
  std::vector<uint8_t> bytes(want + 64, 0x5A);
  uint32_t bad = 0;
  const uint64_t end = node.SpanBytes();
  for (ZfsReadMode mode : {ZfsReadMode::kLenient, ZfsReadMode::kStrict}) {
    const int64_t got = node.Read(data[8] * 512ull, want, end, bytes.data(), mode, &bad);
    if (got > int64_t(want)) std::abort();
  }
  for (size_t i = want; i < bytes.size(); ++i)
    if (bytes[i] != 0x5A) std::abort();
  uint8_t dnode[zfs::kDnodeBytes];
  for (uint64_t object : {uint64_t(0), uint64_t(1), uint64_t(data[9]), node.ObjectCount()})
    node.ReadDnode(object, dnode);
  return 0;
}
