// Parsers of the engine's own bookkeeping kinds, below the extension table:
// the recycle-bin index INFO2, NTFS folder index records ("INDX") and BMAP
// blocks. Each completes in its first call.
#pragma once
#include <cstddef>
#include <cstdint>

#include "carving/HdrNode.h"

class HdrINFO2 : public HdrNode {
 public:
  int Parse(const uint8_t* buffer, size_t length) override;
};

// Size: the record size the INDX header gives; counter: its VCN.
class HdrIDX : public HdrNode {
 public:
  int Parse(const uint8_t* buffer, size_t length) override;
};

class HdrBMAP : public HdrNode {
 public:
  int Parse(const uint8_t* buffer, size_t length) override;
};
