#include "filesystems/ufs/SuperBlock.h"

#include <bit>
#include <cstring>

#include "filesystems/ufs/Definitions.h"
#include "foundation/ByteOrder.h"
#include "volumes/Node.h"

using namespace ufs;

namespace {

// A field of either byte order.
struct Reader {
  const uint8_t* p;
  bool swapped;
  uint32_t U32(uint32_t at) const { return swapped ? Swap32(Le32(p + at)) : Le32(p + at); }
  int32_t I32(uint32_t at) const { return int32_t(U32(at)); }
  uint64_t U64(uint32_t at) const { return swapped ? Swap64(Le64(p + at)) : Le64(p + at); }
};

bool PowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace

int UfsSuperBlock::MagicType() const {
  if (magic == kMagicUfs1) return 5;
  if (magic == kMagicUfs2) return 6;
  return 0;
}

UfsSuperBlock ParseUfsSuperBlock(const uint8_t* s, size_t bytes, bool swapped) {
  UfsSuperBlock sb;
  sb.swapped = swapped;
  const Reader r{s, swapped};
  sb.firstField = r.I32(kSbFirstField);
  sb.inodeBlocks = r.U32(kSbInodeBlocks);
  sb.cgOffset = r.U32(kSbCgOffset);
  sb.cgMask = r.U32(kSbCgMask);
  sb.oldSize = r.U32(kSbOldSize);
  sb.groups = r.U32(kSbGroups);
  sb.blockSize = r.U32(kSbBlockSize);
  sb.fragmentSize = r.U32(kSbFragmentSize);
  sb.fragsPerBlock = r.U32(kSbFragsPerBlock);
  sb.blockMask = r.I32(kSbBlockMask);
  sb.fragmentMask = r.I32(kSbFragmentMask);
  sb.blockShift = r.U32(kSbBlockShift);
  sb.fragmentShift = r.U32(kSbFragmentShift);
  sb.inodesPerBlock = r.U32(kSbInodesPerBlock);
  sb.inodesPerGroup = r.U32(kSbInodesPerGroup);
  sb.fragsPerGroup = r.U32(kSbFragsPerGroup);
  sb.oldFreeInodes = r.U32(kSbOldFreeInodes);
  if (bytes >= kSbVolumeName + kSbVolumeNameBytes) memcpy(sb.volumeName, s + kSbVolumeName, kSbVolumeNameBytes);
  if (bytes >= kSbMagic + 4) {
    sb.location = int64_t(r.U64(kSbLocation));
    sb.freeInodes = r.U64(kSbFreeInodes);
    sb.size = r.U64(kSbSize);
    sb.magic = r.U32(kSbMagic);
  }
  return sb;
}

int GetUFSSuperBlockType(const uint8_t* s, int swapped) {
  // The zero first field and the block size first: the Long Scan asks
  // this of every sector.
  if (!s || Le32(s + kSbFirstField) != 0) return 0;
  const uint32_t blockSize = Reader{s, swapped != 0}.U32(kSbBlockSize);
  if (blockSize < kMinBlock || blockSize > kMaxBlock) return 0;
  const UfsSuperBlock sb = ParseUfsSuperBlock(s, 512, swapped != 0);
  if (sb.firstField != 0) return 0;
  const uint32_t bs = sb.blockSize, fs = sb.fragmentSize;
  if (bs < kMinBlock || bs > kMaxBlock || fs < kMinBlock || fs > kMaxBlock) return 0;
  if (!PowerOfTwo(bs) || !PowerOfTwo(fs) || uint64_t(sb.fragsPerBlock) * fs != bs) return 0;
  const uint32_t bshift = uint32_t(std::countr_zero(bs)), fshift = uint32_t(std::countr_zero(fs));
  if (bshift > kMaxShift || fshift > kMaxShift) return 0;
  if (sb.blockShift != bshift || sb.fragmentShift != fshift) return 0;
  if (sb.blockMask != -int32_t(bs) || sb.fragmentMask != -int32_t(fs)) return 0;
  return (sb.cgOffset || sb.cgMask) ? 5 : 6;
}

bool UfsGeometryAgrees(const UfsSuperBlock& sb, int type) {
  if (!sb.groups || !sb.inodesPerGroup || !sb.inodesPerBlock || !sb.fragsPerGroup || !sb.fragsPerBlock) return false;
  const uint64_t inodeBytes = type == 6 ? 256 : 128;
  if (uint64_t(sb.inodesPerBlock) * inodeBytes != sb.blockSize) return false;
  if (sb.fragsPerGroup % sb.fragsPerBlock || sb.inodeBlocks % sb.fragsPerBlock) return false;
  // The group's inode table lies inside the group.
  const uint64_t tableFrags =
      (uint64_t(sb.inodesPerGroup) + sb.inodesPerBlock - 1) / sb.inodesPerBlock * sb.fragsPerBlock;
  if (uint64_t(sb.inodeBlocks) + tableFrags > sb.fragsPerGroup) return false;
  const uint64_t total = sb.TotalFragments(type);
  if (!total || uint64_t(sb.groups) * sb.fragsPerGroup < total) return false;
  // The inode numbers fit 32 bits.
  return uint64_t(sb.groups) * sb.inodesPerGroup <= UINT32_MAX;
}

WString UfsVolumeLabel(const UfsSuperBlock& sb, int type) {
  if (type != 6) return WString();
  size_t n = 0;
  while (n < kSbVolumeNameBytes && sb.volumeName[n]) ++n;
  return ConvertNameToWide(sb.volumeName, n);
}

uint32_t UfsSuperBlockOffset(const UfsSuperBlock& sb, int type) {
  if (type != 6) return kSuperBlockUfs1;
  if (sb.location == kSuperBlockUfs1 || sb.location == kSuperBlockUfs2 || sb.location == kSuperBlockPiggy)
    return uint32_t(sb.location);
  return kSuperBlockUfs2;
}
