#include "filesystems/vmfs/VmfsHeader.h"

#include <cstring>

#include "filesystems/vmfs/Definitions.h"
#include "foundation/ByteOrder.h"
#include "volumes/Node.h"

using namespace vmfs;

uint64_t VmfsVolumeHeader::SizeSectors(uint32_t sectorBytes) const {
  int shift = 0;
  while (shift < 31 && (uint32_t(1) << shift) < sectorBytes) ++shift;
  return shift >= 8 ? sizeBytes >> (shift - 8) : 0;
}

VmfsVolumeHeader ReadVmfsVolumeHeader(const uint8_t* s) {
  VmfsVolumeHeader h;
  h.valid = Le32(s) == kHeaderMagic;
  h.version = s[kHeaderVersion];
  h.sizeBytes = uint64_t(Le32(s + kHeaderSizeLow)) | uint64_t(Le16(s + kHeaderSizeHigh)) << 32;
  return h;
}

bool VmfsSuperBlock::BlockSizeUsable() const {
  return blockSize >= kMinBlockSize && blockSize <= kMaxBlockSize && (blockSize & (blockSize - 1)) == 0;
}

bool VmfsSuperBlock::IsVmfs6() const { return majorVersion >= kSixMajorVersion; }

VmfsSuperBlock ReadVmfsSuperBlock(const uint8_t* s) {
  VmfsSuperBlock b;
  b.valid = Le32(s) == kSuperMagic;
  b.majorVersion = Le32(s + kSuperMajorVersion);
  b.blockSize = Le32(s + kSuperBlockSize);
  const uint8_t* label = s + kSuperLabel;
  const void* nul = memchr(label, 0, kSuperLabelBytes);
  const size_t n = nul ? size_t(static_cast<const uint8_t*>(nul) - label) : kSuperLabelBytes;
  b.label = ConvertNameToWide(label, n);
  return b;
}
