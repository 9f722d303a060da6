// The volume manager's device header and the file-system descriptor (the
// superblock) as plain values.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

struct VmfsVolumeHeader {
  bool valid = false;  // the magic
  uint8_t version = 0;
  uint64_t sizeBytes = 0;  // bits 8-55 of the byte size, as the header keeps them
  // The volume's size in sectors of `sectorBytes` (a power of two from 256).
  uint64_t SizeSectors(uint32_t sectorBytes) const;
};
// From at least 101 bytes.
VmfsVolumeHeader ReadVmfsVolumeHeader(const uint8_t* bytes);

struct VmfsSuperBlock {
  bool valid = false;  // the magic
  uint32_t majorVersion = 0;
  uint32_t blockSize = 0;
  WString label;
  // A block size the reader takes: 1, 2, 4 or 8 MiB.
  bool BlockSizeUsable() const;
  // Written by VMFS 6, whose layout differs.
  bool IsVmfs6() const;
};
// From at least 165 bytes.
VmfsSuperBlock ReadVmfsSuperBlock(const uint8_t* bytes);
