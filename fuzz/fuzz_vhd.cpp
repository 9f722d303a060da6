// Fuzz target: a VHD file (footer, dynamic header, block table, sector
// bitmaps) given as pieces of a sparse file (SparseInput.h).
#include "SparseInput.h"
#include "storage/VhdFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SparseInputFile file(data, size);
  VhdLayout layout;
  if (!OpenVhdLayout(file, 0, &layout)) return 0;
  if (layout.diskType == 5) return 0;  // fuzz_vhdx's
  if (layout.sectorSize != 512 || !layout.map) abort();
  CheckLookups(*layout.map, layout.sectorCount, layout.sectorSize, data, size);
  return 0;
}
