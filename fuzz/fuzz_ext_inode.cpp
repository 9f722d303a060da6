// ext inodes and superblocks of arbitrary content: the tests and the node
// made from an inode never read past the bytes, and a node's list stays
// within the inode's block area.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/Inode.h"
#include "filesystems/ext/SuperBlock.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/Globals.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  ExtInodeContext loose;
  loose.haveVolume = false;
  for (uint32_t inodeSize : {128u, 256u}) {
    IsUnixInodeBlock(bytes.data(), bytes.size(), inodeSize, loose, false);
    IsUnixInodeBlock(bytes.data(), bytes.size(), inodeSize, loose, true);
  }
  // A superblock: the test, the volume start, the geometry.
  std::vector<uint8_t> sb(1024, 0);
  if (size) memcpy(sb.data(), data, size < 1024 ? size : 1024);
  IsExt3SuperBlock(sb.data());
  Ext3SuperBlockStart(1000, sb.data(), 512);
  CExt3Vol v;
  const bool haveVolume = InitUnixVol(&v, sb.data(), 0, 512) != 0;
  // Each inode of the input through the tests and into a node.
  for (size_t at = 0; at + 128 <= size; at += 128) {
    const uint8_t* p = bytes.data() + at;
    if (haveVolume) {
      IsExtInode(p, v.InodeContext(), true);
      IsExtInode(p, v.InodeContext(), false);
    }
    IsExtInode(p, loose, true);
    UnixNode node(kNodeExt);
    // No drive: a size rebuild cannot read and must fail cleanly.
    if (FromExtInode(&node, ParseExtInode(p), haveVolume ? &v : nullptr)) {
      if (node.listLength > 60 || (node.listLength && !node.list)) std::abort();
      uint8_t area[60];
      node.BlockArea(area);
    }
  }
  return 0;
}
