// A folder's data read through its extent tree (or block map) on a volume
// made from the input itself: the inode the input's first four bytes name
// (the root for zero) is taken as a folder, whatever its mode, and read
// whole as the folder walk reads it (blocks that lie close in one request).
// Whatever the tree says, the read stays inside the buffer it is given.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/Startup.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"
#include "fuzz/ExtFuzzDrive.h"
#include "volumes/VolumeFamily.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2048 || size > 262144) return 0;
  extfuzz::Mounted m(data, size);
  auto v = extfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  const FamilyDataOps* ops = FindDataOps(kVolExt);
  if (!ops || !ops->read) std::abort();
  const uint32_t n = Le32(data) ? Le32(data) : 2;
  UnixInodeCache cache;
  const uint8_t* raw = v->GetInode(n, nullptr, cache);
  if (!raw) return 0;
  UnixNode node(kNodeExt);
  if (!FromExtInode(&node, ParseExtInode(raw), v.get())) return 0;
  node.flags2 |= kNode2Directory;
  v->SetNodeClusterCode(&node);
  if (!v->BuildNodeExtents(&node)) return 0;
  // The walk's piece: at most the cluster buffer, in whole blocks.
  const size_t bytes = size_t(node.size < kClusterBufferBytes ? node.size : kClusterBufferBytes);
  uint8_t* buffer = v->GetClusterBuffer();
  const int64_t got = v->ReadNodeData(node, 0, bytes, buffer, bytes);
  if (got > int64_t(bytes)) std::abort();
  return 0;
}
