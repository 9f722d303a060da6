#include "filesystems/xfs/SuperBlock.h"

#include <cstring>

#include "filesystems/xfs/Definitions.h"
#include "foundation/ByteOrder.h"

namespace xfs {

namespace {
uint32_t Be32(const uint8_t* p) { return GetBigEndian(p, 4); }
uint64_t Be64(const uint8_t* p) { return GetBigEndian64(p, 8); }
bool PowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }
}  // namespace

bool XfsSuperBlock::IsV5() const { return (version & kSbVersionNumberMask) == kSbVersion5; }

bool XfsSuperBlock::HasFtype() const {
  if (IsV5()) return (incompat & kIncompatFtype) != 0;
  return (version & kSbVersionMoreBits) && (features2 & kSbFeatures2Ftype);
}

bool XfsSuperBlock::HasBigTime() const { return IsV5() && (incompat & kIncompatBigTime); }

uint32_t XfsSuperBlock::UnknownIncompat() const { return IsV5() ? incompat & ~kIncompatKnown : 0; }

XfsSuperBlock ParseXfsSuperBlock(const uint8_t* s) {
  XfsSuperBlock sb;
  sb.magic = Be32(s + kSbMagicAt);
  sb.blockSize = Be32(s + kSbBlockSize);
  sb.dataBlocks = Be64(s + kSbDataBlocks);
  sb.rootInode = Be64(s + kSbRootInode);
  sb.agBlocks = Be32(s + kSbAgBlocks);
  sb.agCount = Be32(s + kSbAgCount);
  sb.version = GetBigEndian16(s + kSbVersion);
  sb.sectorSize = GetBigEndian16(s + kSbSectorSize);
  sb.inodeSize = GetBigEndian16(s + kSbInodeSize);
  sb.inodesPerBlock = GetBigEndian16(s + kSbInodesPerBlock);
  std::memcpy(sb.name, s + kSbName, kSbNameBytes);
  sb.logInodesPerBlock = s[kSbLogInodesPerBlock];
  sb.logAgBlocks = s[kSbLogAgBlocks];
  sb.inodeCount = Be64(s + kSbInodeCount);
  sb.freeInodes = Be64(s + kSbFreeInodes);
  sb.dirBlockLog = s[kSbDirBlockLog];
  sb.features2 = Be32(s + kSbFeatures2);
  sb.compat = Be32(s + kSbFeaturesCompat);
  sb.roCompat = Be32(s + kSbFeaturesRoCompat);
  sb.incompat = Be32(s + kSbFeaturesIncompat);
  sb.logIncompat = Be32(s + kSbFeaturesLogIncompat);
  return sb;
}

bool IsXFSSuperBlock(const uint8_t* s) {
  if (Be32(s + kSbMagicAt) != kSbMagic) return false;
  const uint32_t bs = Be32(s + kSbBlockSize);
  if (!PowerOfTwo(bs) || bs > 65536) return false;
  return uint64_t(GetBigEndian16(s + kSbInodeSize)) * GetBigEndian16(s + kSbInodesPerBlock) == bs;
}

bool IsXFSAGF(const uint8_t* s) { return Be32(s) == kAgfMagic && Be32(s + kAgfVersion) == kAgfVersion1; }

uint32_t XfsAgfSequence(const uint8_t* s) { return Be32(s + kAgfSequence); }

}  // namespace xfs
