// A 128-byte block pointer parsed into plain values: up to three copies
// (DVAs) of one block, its sizes, compression and checksum.
#pragma once
#include <cstddef>
#include <cstdint>

#include "filesystems/zfs/Checksum.h"
#include "filesystems/zfs/Definitions.h"

// One copy: where it lies on its vdev.
struct ZfsDva {
  uint32_t asize = 0;  // allocated size, 512-byte units
  uint32_t vdev = 0;
  uint64_t offset = 0;  // 512-byte units from the vdev's data area
  bool gang = false;    // a gang header, not the data
  bool IsZero() const { return asize == 0 && vdev == 0 && offset == 0 && !gang; }
  // The conversions to a drive's sectors (512 when none is open), in 32
  // bits for the size as the support command shows them.
  uint32_t SizeSectors(uint32_t sectorSize) const;
  uint64_t OffsetSectors(uint32_t sectorSize) const;
};

struct ZfsBlockPointer {
  ZfsDva dva[zfs::kBpDvas];
  uint32_t lsize = 0;  // bytes
  uint32_t psize = 0;  // bytes
  uint8_t compression = 0;
  uint8_t checksum = 0;
  uint8_t type = 0;
  uint8_t level = 0;
  bool littleEndian = true;
  uint64_t physicalBirth = 0, birth = 0, fill = 0;
  ZfsChecksum cksum;
};

ZfsBlockPointer ParseZfsBlockPointer(const uint8_t* bytes);
bool IsZeroBlockPointer(const uint8_t* bytes);

// ZFSBlkPtrCheck: 1 valid, 2 all-zero (a hole), 0 invalid. A DVA's size
// is held to the volume's when that fits in 32 bits (0: not held).
inline constexpr int kBpInvalid = 0;
inline constexpr int kBpValid = 1;
inline constexpr int kBpHole = 2;
int ZFSBlkPtrCheck(const uint8_t* bytes, uint64_t volumeSectors = 0, uint32_t sectorSize = 512);
// 1 when each of the `count` pointers is valid or a hole and at least one
// is valid (a sector of zeros is no pointer array); for the sector tests.
int ZFSCheckBlkPtrs(const uint8_t* pointers, size_t count, uint64_t volumeSectors = 0, uint32_t sectorSize = 512);

// The trace forms: "DVA[%d]=<%ld:%I64x:%x>" of each copy, the pointer's
// fields.
void ZFSDumpDVA(const ZfsDva& dva, int index);
void ZFSDumpBlkPtrs(const uint8_t* pointers, size_t count);
