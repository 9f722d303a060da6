#include "filesystems/xfs/Inode.h"

#include "filesystems/xfs/Definitions.h"
#include "foundation/ByteOrder.h"

namespace xfs {

bool XfsInodeCore::Valid() const {
  return magic == kInodeMagic && version >= 1 && version <= 3 && format <= kFormatBtree;
}
uint16_t XfsInodeCore::Type() const { return mode & kModeTypeMask; }
bool XfsInodeCore::IsDirectory() const { return Type() == kModeDirectory; }
bool XfsInodeCore::IsRegular() const { return Type() == kModeRegular; }
bool XfsInodeCore::IsSymlink() const { return Type() == kModeSymlink; }
size_t XfsInodeCore::ForkStart() const { return version == 3 ? kDiCoreV3Bytes : kDiCoreV2Bytes; }

namespace {

// A time of the core: seconds (signed 32-bit), or with bigtime one 64-bit
// count of nanoseconds from 2^31 seconds before 1970.
int64_t CoreSeconds(const uint8_t* at, bool bigTime) {
  if (bigTime) return int64_t(GetBigEndian64(at, 8) / kNanosecondsPerSecond) - kBigTimeEpochOffset;
  return int32_t(GetBigEndian(at, 4));
}

}  // namespace

XfsInodeCore ParseXfsInode(const uint8_t* p, size_t bytes) {
  XfsInodeCore c;
  if (!p || bytes < kDiCoreV2Bytes) return c;
  c.magic = GetBigEndian16(p + kDiMagic);
  c.mode = GetBigEndian16(p + kDiMode);
  c.version = p[kDiVersion];
  c.format = p[kDiFormat];
  if (c.version == 3) {
    if (bytes < kDiCoreV3Bytes) {
      c.magic = 0;
      return c;
    }
    c.flags2 = GetBigEndian64(p + kDiFlags2, 8);
    c.number = GetBigEndian64(p + kDiInodeNumber, 8);
  }
  const bool big = (c.flags2 & kDiFlags2BigTime) != 0;
  c.accessSeconds = CoreSeconds(p + kDiAtime, big);
  c.modifySeconds = CoreSeconds(p + kDiMtime, big);
  c.size = GetBigEndian64(p + kDiSize, 8);
  c.extentCount = GetBigEndian(p + kDiNextents, 4);
  c.forkOffset = p[kDiForkOffset];
  return c;
}

int64_t XfsForkBytes(const XfsInodeCore& core, uint32_t inodeSize) {
  const size_t start = core.ForkStart();
  if (inodeSize < start) return -1;
  if (core.forkOffset == 0) return int64_t(inodeSize - start);
  const uint64_t fork = uint64_t(core.forkOffset) * 8;
  if (inodeSize < fork + start) return -1;
  return int64_t(fork);
}

uint32_t CountXFSInodes(const uint8_t* buffer, size_t bytes, uint32_t inodeSize) {
  if (!buffer || !inodeSize || bytes < kDiCoreV2Bytes) return 0;
  // The magic first: the Long Scan asks this of every sector.
  if (GetBigEndian16(buffer + kDiMagic) != kInodeMagic) return 0;
  const XfsInodeCore c = ParseXfsInode(buffer, bytes);
  if (!c.Valid()) return 0;
  const uint32_t n = uint32_t(bytes / inodeSize);
  return n ? n : 1;
}

}  // namespace xfs
