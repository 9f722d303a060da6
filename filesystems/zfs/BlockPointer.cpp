#include "filesystems/zfs/BlockPointer.h"

#include <algorithm>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

using namespace zfs;

uint32_t ZfsDva::SizeSectors(uint32_t sectorSize) const {
  const uint32_t ss = sectorSize ? sectorSize : 512;
  return uint32_t(uint32_t(asize) * kSectorUnit / ss);
}

uint64_t ZfsDva::OffsetSectors(uint32_t sectorSize) const {
  const uint32_t ss = sectorSize ? sectorSize : 512;
  return offset * kSectorUnit / ss;
}

ZfsBlockPointer ParseZfsBlockPointer(const uint8_t* p) {
  ZfsBlockPointer bp;
  for (int i = 0; i < kBpDvas; ++i) {
    const uint64_t w0 = Le64(p + i * kBpDvaBytes), w1 = Le64(p + i * kBpDvaBytes + 8);
    bp.dva[i].asize = uint32_t(w0 & kDvaAsizeMask);
    bp.dva[i].vdev = uint32_t(w0 >> kDvaVdevShift);
    bp.dva[i].offset = w1 & kDvaOffsetMask;
    bp.dva[i].gang = (w1 & kDvaGangBit) != 0;
  }
  bp.lsize = (uint32_t(Le16(p + kBpLsize)) + 1) * kSectorUnit;
  bp.psize = (uint32_t(Le16(p + kBpPsize)) + 1) * kSectorUnit;
  bp.compression = p[kBpCompression];
  bp.checksum = p[kBpChecksum];
  bp.type = p[kBpType];
  bp.level = p[kBpLevel] & kBpLevelMask;
  bp.littleEndian = (p[kBpLevel] & kBpLittleEndian) != 0;
  bp.physicalBirth = Le64(p + kBpPhysBirth);
  bp.birth = Le64(p + kBpBirth);
  bp.fill = Le64(p + kBpFill);
  for (int i = 0; i < 4; ++i) bp.cksum.word[i] = Le64(p + kBpCksum + 8 * i);
  return bp;
}

bool IsZeroBlockPointer(const uint8_t* p) {
  return std::all_of(p, p + kBlkPtrBytes, [](uint8_t b) { return b == 0; });
}

int ZFSBlkPtrCheck(const uint8_t* p, uint64_t volumeSectors, uint32_t sectorSize) {
  if (!p) return kBpInvalid;
  const ZfsBlockPointer bp = ParseZfsBlockPointer(p);
  if (bp.dva[0].asize == 0 && IsZeroBlockPointer(p)) return kBpHole;
  bool ok = (p[kBpLevel] & 0x07) <= kMaxCheckedLevel && bp.checksum >= 1 && bp.checksum <= kCksumLast &&
            bp.compression >= 1 && bp.compression <= kCompressLast && bp.dva[0].asize != 0;
  for (int i = 0; ok && i < kBpDvas; ++i) {
    const ZfsDva& d = bp.dva[i];
    if (volumeSectors && volumeSectors <= UINT32_MAX && d.SizeSectors(sectorSize) > volumeSectors) ok = false;
    if (i > 0 && d.asize != 0 && d.asize != bp.dva[i - 1].asize) ok = false;
    if (i > 0 && d.asize == 0 && (d.offset != 0 || d.vdev != 0)) ok = false;
  }
  if (!ok && traceZfs) {
    TracePrintfA("****** Failed BlkPtrCheck.  PBlkPtr buf:\n");
    for (size_t i = 0; i < kBlkPtrBytes; i += 16)
      TracePrintfA("%016I64x %016I64x\n", int64_t(Le64(p + i)), int64_t(Le64(p + i + 8)));
  }
  return ok ? kBpValid : kBpInvalid;
}

int ZFSCheckBlkPtrs(const uint8_t* pointers, size_t count, uint64_t volumeSectors, uint32_t sectorSize) {
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    const int r = ZFSBlkPtrCheck(pointers + i * kBlkPtrBytes, volumeSectors, sectorSize);
    if (r == kBpInvalid) return 0;
    any = any || r == kBpValid;
  }
  return any ? 1 : 0;
}

void ZFSDumpDVA(const ZfsDva& d, int index) {
  TracePrintfA("DVA[%d]=<%ld:%I64x:", index, int32_t(d.vdev), int64_t(d.offset * kSectorUnit));
  TracePrintfA("%x>", uint32_t(d.asize * kSectorUnit));
}

void ZFSDumpBlkPtrs(const uint8_t* pointers, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const ZfsBlockPointer bp = ParseZfsBlockPointer(pointers + i * kBlkPtrBytes);
    for (int k = 0; k < kBpDvas; ++k)
      if (!bp.dva[k].IsZero()) ZFSDumpDVA(bp.dva[k], k);
    TracePrintfA(" lsize=%x psize=%x comp=%d cksum=%d type=%d level=%d birth=%I64d fill=%I64d\n", bp.lsize, bp.psize,
                 int(bp.compression), int(bp.checksum), int(bp.type), int(bp.level), int64_t(bp.birth),
                 int64_t(bp.fill));
  }
}
