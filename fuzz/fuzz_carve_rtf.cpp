// The RTF brace count (escapes, \bin payloads, line ends), through the driver at fuzz-chosen reads.
#include "fuzz_carve_common.h"
#include "volumes/FileTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzCarveType(kTypeRtf, data, size); }
