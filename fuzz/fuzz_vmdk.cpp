// Fuzz target: a VMDK sparse extent (hosted sparse or copy-on-write header,
// grain directory, grain tables) given as pieces of a sparse file
// (SparseInput.h).
#include "SparseInput.h"
#include "storage/VmdkFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SparseInputFile file(data, size);
  VmdkLayout layout;
  if (!OpenVmdkLayout(file, &layout)) return 0;
  if (!layout.map) abort();
  if (layout.extentKind != 0 && layout.sectorCount > vmdk::kMaxCapacity) abort();
  CheckLookups(*layout.map, layout.sectorCount, 512, data, size);
  return 0;
}
