// Fuzz target: a VMDK sparse extent (hosted sparse or copy-on-write header,
// grain directory, grain tables) given as pieces of a sparse file
// (SparseInput.h).
#include "SparseInput.h"
#include "storage/VmdkFormat.h"

// The grain directory is read whole at open, as large as the file lets it
// be: files of up to 1 MiB keep that read small, and every test on the
// header still meets values of any size (capacities up to the limit, a
// directory past the file, tables outside it).
constexpr uint64_t kMostFileBytes = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SparseInputFile file(data, size, kMostFileBytes);
  VmdkLayout layout;
  if (!OpenVmdkLayout(file, &layout)) return 0;
  if (!layout.map) abort();
  if (layout.extentKind != 0 && layout.sectorCount > vmdk::kMaxCapacity) abort();
  const auto* grains = dynamic_cast<const VmdkGrainMap*>(layout.map.get());
  CheckLookups(*layout.map, layout.sectorCount, 512, data, size, grains ? grains->grainSectors : 0);
  return 0;
}
