// A 140-byte directory entry as plain values.
#pragma once
#include <cstddef>
#include <cstdint>

struct VmfsDirEntry {
  uint32_t type = 0;
  uint32_t address = 0;
  const uint8_t* name = nullptr;  // into the entry
  size_t nameBytes = 0;
  bool nameEnds = false;  // a NUL ends the name inside the entry
};
VmfsDirEntry ReadVmfsDirEntry(const uint8_t* entry);
