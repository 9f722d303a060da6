// The MRW size from the header, through the driver at fuzz-chosen reads.
#include "volumes/FileTypes.h"
#include "fuzz_carve_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzCarveType(kTypeMrw, data, size); }
