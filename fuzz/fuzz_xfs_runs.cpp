// XFS inodes and their B+tree blocks of arbitrary content, read through a
// drive whose source is the input: an XFS volume of 4 groups of 32 blocks
// (4 KiB blocks, 256-byte inodes) lies over it. Every inode's fork gives
// runs inside the volume (or fails cleanly), and a node mapped from it
// reads within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/xfs/Definitions.h"
#include "filesystems/xfs/XfsNode.h"
#include "filesystems/xfs/XfsVolume.h"
#include "fuzz/FuzzImageSource.h"
#include "storage/Drive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  fuzzimage::InstallImageSource("/tmp/fuzz-xfs-XXXXXX");
  return 0;
}

namespace {

constexpr uint32_t kBlock = 4096, kAgBlocks = 32, kAgCount = 4;

std::vector<uint8_t> SuperBlock() {
  std::vector<uint8_t> s(512, 0);
  auto be32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  be32(xfs::kSbMagicAt, xfs::kSbMagic);
  be32(xfs::kSbBlockSize, kBlock);
  be32(xfs::kSbDataBlocks + 4, kAgBlocks * kAgCount);
  s[xfs::kSbRootInode + 7] = 128;
  be32(xfs::kSbAgBlocks, kAgBlocks);
  be32(xfs::kSbAgCount, kAgCount);
  s[xfs::kSbVersion] = 0xB4, s[xfs::kSbVersion + 1] = 0xA5;
  s[xfs::kSbSectorSize] = 2;
  s[xfs::kSbInodeSize] = 1;
  s[xfs::kSbInodesPerBlock + 1] = 16;
  s[xfs::kSbLogInodesPerBlock] = 4;
  s[xfs::kSbLogAgBlocks] = 5;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256 * 1024) return 0;
  std::vector<uint8_t>& image = fuzzimage::Image();
  image.assign(size_t(kBlock) * kAgBlocks * kAgCount, 0);
  if (size) memcpy(image.data(), data, size);
  Drive* drive = CreateDrive(fuzzimage::ImageName());
  if (!drive) return 0;
  try {
    drive->InitDrive(fuzzimage::ImageName());
  } catch (...) {
    DeleteDrive(&drive);
    return 0;
  }
  {
    CXFSVol v;
    v.drive = drive;
    const std::vector<uint8_t> sb = SuperBlock();
    if (v.Init(sb.data(), 0, drive)) {
      std::vector<uint8_t> buffer(1 << 16);
      // The inodes of the input's first blocks (each block holds 16).
      for (uint64_t n = 1; n < 16 * 8; ++n) {
        const uint8_t* raw = v.ReadInode(n);
        if (!raw) continue;
        const xfs::XfsInodeCore core = xfs::ParseXfsInode(raw, v.inodeSize);
        if (!core.Valid()) continue;
        const xfs::XfsForkResult r = v.InodeRuns(raw, core);
        for (const ExtentRun& run : r.runs)
          if (run.lcnEnd > v.totalBlocks || run.lcn > run.lcnEnd) std::abort();
        XfsNode node;
        node.SetInode(n);
        node.size = core.size % (1 << 20);
        if (v.MapNode(node)) {
          const int64_t got = v.ReadMapped(0, buffer.data(), buffer.size());
          if (got > int64_t(buffer.size())) std::abort();
        }
      }
    }
  }
  DeleteDrive(&drive);
  return 0;
}
