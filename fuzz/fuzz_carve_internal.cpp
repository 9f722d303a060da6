// The bookkeeping kinds (INFO2, INDX records, BMAP): byte 0 picks the kind,
// the rest is the header sector and what follows, through the driver. The
// families are registered first: NTFS sizes the index records.
#include "fuzz/FuzzStartup.h"
#include "fuzz_carve_common.h"
#include "volumes/FileTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  return FuzzCarveType(data[0] % 3, data + 1, size - 1);
}
