#include "carving/InternalKinds.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "volumes/ntfs/NtfsIndex.h"

namespace {
constexpr uint64_t kBookkeepingBlock = 4096;
}

int HdrINFO2::Parse(const uint8_t*, size_t) { return Complete(kBookkeepingBlock); }

int HdrBMAP::Parse(const uint8_t*, size_t) {
  counter = 0;
  return Complete(kBookkeepingBlock);
}

int HdrIDX::Parse(const uint8_t* b, size_t length) {
  if (!b || length < kIndxStride || std::memcmp(b, "INDX", 4) != 0) return Reject();
  uint32_t vcn = 0;
  if (!CheckINDXSector(b, kIndxStride, nullptr, &vcn)) return Reject();
  counter = vcn;
  return Complete(uint64_t(Le32(b + kIndxAllocated)) + kIndxHeaderBase);
}
