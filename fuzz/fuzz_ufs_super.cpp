// A UFS superblock of arbitrary content in both byte orders, the volume
// made from it and the inodes of the input tested and read through it:
// nothing divides by zero, nothing reads past a buffer.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/Startup.h"
#include "filesystems/ext/UnixNode.h"
#include "filesystems/ufs/Inode.h"
#include "filesystems/ufs/SuperBlock.h"
#include "fuzz/UfsFuzzDrive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > 262144) return 0;
  // The tests read 512 bytes, the parse the whole superblock.
  std::vector<uint8_t> sb(ufs::kSuperBlockBytes, 0);
  std::copy(data, data + std::min<size_t>(size, sb.size()), sb.begin());
  for (int swapped = 0; swapped < 2; ++swapped) {
    const int type = GetUFSSuperBlockType(sb.data(), swapped);
    if (type != 0 && type != 5 && type != 6) std::abort();
    const UfsSuperBlock parsed = ParseUfsSuperBlock(sb.data(), sb.size(), swapped != 0);
    UfsGeometryAgrees(parsed, 5);
    UfsGeometryAgrees(parsed, 6);
    UfsSuperBlockOffset(parsed, 6);
    CUFS1Vol v(type == 6 ? kVolUfs2 : kVolUfs1);
    if (InitUFSVol(&v, sb.data(), 0, 512)) {
      if (!v.clusterSize || !v.inodesPerBlock || !v.inodesPerGroup || v.inodeSize < 128) std::abort();
      // Every inode-sized piece of the input as an inode of the volume.
      const UfsInodeContext c = UfsContextOf(v, v.Ufs2());
      for (size_t at = 0; at + v.inodeSize <= size && at < 64 * 1024; at += v.inodeSize) {
        IsUFSInode(data + at, c, at & 256);
        UnixNode node(kNodeUfs);
        if (FromUFSInode(&node, ParseUfsInode(data + at, v.Ufs2()), &v) && node.listLength > 120) std::abort();
      }
    }
  }
  // On a drive: the volume's inodes read through its groups.
  extfuzz::Mounted m(data, size);
  auto v = ufsfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  UnixInodeCache cache;
  for (uint64_t n = 0; n < 64; ++n) v->GetInode(n * 7 + 2, nullptr, cache);
  UfsRootLooksRight(v.get());
  return 0;
}
