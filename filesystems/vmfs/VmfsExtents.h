// A VMFS file's mapping: runs in 4 KiB clusters of the file-system area,
// or the sub-block addresses of a file kept in sub-blocks, or the data its
// descriptor holds itself.
#pragma once
#include <cstdint>

#include "filesystems/vmfs/Definitions.h"
#include "volumes/Extents.h"

class VmfsExtents : public CExtents {
 public:
  VmfsExtents();
  ~VmfsExtents() override;

  // Sub-block addresses (mode 2) or the descriptor's own data (mode 4305).
  uint8_t buffer[vmfs::kFdInlineBytes] = {};
  uint32_t subBlockCount = 0;
  uint32_t inlineBytes = 0;
  bool subBlocks = false;
  bool inlineData = false;
  uint64_t fileSize = 0;
};
