// Block addresses: the low three bits give the kind (file block, sub-block,
// pointer block, file descriptor), the others where it lies.
#pragma once
#include <cstdint>

#include "filesystems/vmfs/Definitions.h"

namespace vmfs {

inline uint32_t AddressKind(uint32_t a) { return a & kAddrKindMask; }
inline bool IsFileBlock(uint32_t a) { return AddressKind(a) == kAddrFileBlock; }
inline uint32_t FileBlock(uint32_t a) { return a >> 6; }
inline bool ToBeZeroed(uint32_t a) { return (a & kAddrToBeZeroed) != 0; }

// A resource of a resource file: its cluster and its item in the cluster.
struct ResourcePlace {
  uint32_t cluster = 0;
  uint32_t item = 0;
};

// Sub-blocks and pointer blocks; a sub-block of a VMFS 5 volume has two
// more item bits (3 and 4 of the address).
inline ResourcePlace SubBlockPlace(uint32_t a, bool vmfs5) {
  ResourcePlace p{(a >> 6) & 0x3FFFFF, a >> 28};
  if (vmfs5) p.item |= ((a >> 3) << 4) & 0x3F;
  return p;
}
inline ResourcePlace PointerBlockPlace(uint32_t a) { return {(a >> 6) & 0x3FFFFF, a >> 28}; }
inline ResourcePlace DescriptorPlace(uint32_t a) { return {(a >> 6) & 0x7FFF, a >> 22}; }

}  // namespace vmfs
