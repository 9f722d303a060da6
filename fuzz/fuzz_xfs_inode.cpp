// XFS superblocks, inode cores and the inode-number arithmetic of
// arbitrary content: the tests, the initialisation and the session tail's
// geometry never read past their bytes nor divide by zero, and every inode
// number they call valid lies inside the volume.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/Inode.h"
#include "filesystems/xfs/SuperBlock.h"
#include "filesystems/xfs/XfsSession.h"
#include "filesystems/xfs/XfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/Globals.h"
#include "volumes/VolumeFamily.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

namespace {

void Arithmetic(CXFSVol& v, const uint8_t* data, size_t size) {
  for (size_t at = 0; at + 8 <= size; at += 8) {
    const uint64_t n = GetBigEndian64(data + at, 8);
    uint64_t block = 0;
    uint32_t byte = 0;
    if (v.InodePlace(n, &block, &byte)) {
      if (!v.IsValidInode(n) || byte + v.inodeSize > v.clusterSize || block / v.agBlocks >= v.agCount) std::abort();
    }
    v.SectorToInode(n);
    v.FsBlockToVolume(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::vector<uint8_t> sb(512, 0);
  if (size) memcpy(sb.data(), data, size < 512 ? size : 512);
  xfs::IsXFSSuperBlock(sb.data());
  xfs::IsXFSAGF(sb.data());
  XFSVolumeStart(1 << 20, sb.data(), 1, nullptr);
  CXFSVol v;
  if (v.Init(sb.data(), 0, nullptr)) Arithmetic(v, data, size);
  // The session tail's two numbers from the input, on a plausible volume.
  if (size >= 16) {
    CXFSVol w;
    w.SetClusterSize(1u << (9 + data[0] % 8));
    w.sizeSectors = GetBigEndian64(data, 8) >> (data[1] % 64);
    SessionTail tail;
    tail.numbers = {int64_t(GetBigEndian(data + 8, 4)), int64_t(GetBigEndian(data + 12, 4))};
    if (XfsReadVolumeTail(w, tail)) Arithmetic(w, data, size);
  }
  // Inode cores of every size.
  for (uint32_t inodeSize : {256u, 512u, 1024u}) {
    for (size_t at = 0; at + inodeSize <= size; at += inodeSize) {
      xfs::CountXFSInodes(data + at, size - at, inodeSize);
      const xfs::XfsInodeCore c = xfs::ParseXfsInode(data + at, inodeSize);
      const int64_t fork = xfs::XfsForkBytes(c, inodeSize);
      if (fork >= 0 && c.ForkStart() + uint64_t(fork) > inodeSize) std::abort();
    }
  }
  return 0;
}
