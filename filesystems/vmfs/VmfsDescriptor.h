// A file descriptor (a resource of ".fdc.sf") as plain values.
#pragma once
#include <cstddef>
#include <cstdint>

struct VmfsDescriptor {
  bool valid = false;  // the magic
  uint32_t type = 0;
  uint64_t size = 0;
  uint32_t modifyTime = 0;
  uint32_t changeTime = 0;
  uint32_t mode = 0;  // addressing mode
  uint32_t word584 = 0;
  const uint8_t* data = nullptr;  // 256 addresses, or the data held in the descriptor
};
// From a whole descriptor (2048 bytes); the data pointer points into it.
VmfsDescriptor ReadVmfsDescriptor(const uint8_t* bytes);
