// Fuzz target: what a source's bytes are taken for (storage/SourceKind.h):
// the image kind from a file's head and tail, the foreign content at a
// place, and the texts the chain checks read (a VMDK descriptor, a VHDX
// parent locator).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "storage/SourceKind.h"
#include "storage/VhdFormat.h"
#include "storage/VmdkFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* tail = size >= 512 ? data + size - 512 : nullptr;
  const ImageContent kind = ProbeImageContent(data, size, tail, size);
  if (int(kind) > int(ImageContent::kDmg)) abort();
  // The place holds at most what was given; the probe must not read past.
  std::vector<uint8_t> place(data, data + size);
  const ForeignContent seen = DescribeForeignContent(place.data(), place.size());
  if (seen.image && seen.what.empty()) abort();
  VmdkDescriptor d;
  ParseVmdkDescriptor(reinterpret_cast<const char*>(data), size, &d);
  if (d.extents.size() > 64) abort();
  ChainLink link;
  if (size <= 0x10000) ParseVhdxParentLocator(data, uint32_t(size), &link);
  return 0;
}
