#include "carving/InternalKinds.h"

#include "volumes/FileTypes.h"
#include "volumes/VolumeFamily.h"

namespace {
constexpr uint64_t kBookkeepingBlock = 4096;
}

int HdrINFO2::Parse(const uint8_t*, size_t) { return Complete(kBookkeepingBlock); }

int HdrBMAP::Parse(const uint8_t*, size_t) {
  counter = 0;
  return Complete(kBookkeepingBlock);
}

// The record is the NTFS family's: it checks and sizes it.
int HdrIDX::Parse(const uint8_t* b, size_t length) {
  const CarvedKindSizer size = FindCarvedKindSizer(kTypeIdx);
  uint32_t vcn = 0;
  const uint64_t bytes = b && size ? size(b, length, &vcn) : 0;
  if (bytes == 0) return Reject();
  counter = vcn;
  return Complete(bytes);
}
