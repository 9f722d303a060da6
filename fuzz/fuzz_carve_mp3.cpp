// The MPEG audio frame walk (behind an ID3 tag when the file starts with "I"), through the driver at fuzz-chosen reads.
#include "fuzz_carve_common.h"
#include "volumes/FileTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzCarveType(kTypeMp3, data, size); }
