// Fuzz target: a VHDX file (region table, metadata table and items, block
// allocation table with its sector-bitmap entries) given as pieces of a
// sparse file (SparseInput.h); the file identifier is put in first.
#include "SparseInput.h"
#include "storage/VhdFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input(data, data + size);
  static const uint8_t kIdentifier[] = {0, 0, 0, 0, 8, 0, 'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'};
  if (input.size() < 8) return 0;
  input.insert(input.begin() + 8, kIdentifier, kIdentifier + sizeof kIdentifier);
  SparseInputFile file(input.data(), input.size());
  VhdLayout layout;
  if (!OpenVhdLayout(file, 0, &layout)) return 0;
  if (layout.diskType != 5) return 0;  // a piece of the input wrote over the identifier
  if (!layout.map) abort();
  if (layout.sectorSize != 512 && layout.sectorSize != 4096) abort();
  CheckLookups(*layout.map, layout.sectorCount, layout.sectorSize, data, size);
  return 0;
}
