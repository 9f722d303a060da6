// ext inodes and superblocks of arbitrary content: the tests and the node
// made from an inode never read past the bytes, and a node's list stays
// within the inode's block area (inline data: within its size and 255
// bytes).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/InlineData.h"
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
  // Each inode of the input (of the volume's inode size: a node may read
  // all of it) through the tests and into a node.
  const size_t step = haveVolume ? std::max<size_t>(v.inodeSize, 128) : 128;
  for (size_t at = 0; at + step <= size; at += step) {
    const uint8_t* p = bytes.data() + at;
    if (haveVolume) {
      IsExtInode(p, v.InodeContext(), true);
      IsExtInode(p, v.InodeContext(), false);
    }
    IsExtInode(p, loose, true);
    UnixNode node(kNodeExt);
    // No drive: a size rebuild cannot read and must fail cleanly.
    if (FromExtInode(&node, ParseExtInode(p), haveVolume ? &v : nullptr)) {
      if (node.listLength > (node.inlineData ? 255 : 60) || (node.listLength && !node.List())) std::abort();
      if (node.inlineData && node.listLength > node.size) std::abort();
      uint8_t area[60];
      node.BlockArea(area);
    }
  }
  // Inline data of 256-byte inodes, whatever their fields say.
  for (size_t at = 0; at + 256 <= size; at += 256) {
    uint8_t out[255];
    const uint64_t want = uint64_t(data[at + 4]) | uint64_t(data[at + 5]) << 8;
    if (ExtInlineData(bytes.data() + at, 256, want, out, sizeof out) > std::min<uint64_t>(want, sizeof out))
      std::abort();
  }
  return 0;
}
