// INDX records and $INDEX_ROOT attributes of arbitrary content, each in a
// buffer of exactly its size: the loose-sector check, the owner, the fix-up
// and the entry walk.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filesystems/ntfs/NtfsIndex.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> r(data, data + size);
  uint32_t parent = 0, vcn = 0;
  CheckINDXSector(r.data(), r.size(), &parent, &vcn);
  GetINDXOwner(r.data(), r.size());

  CINDXItem item;
  if (item.SetINDXBuf(r.data(), r.size(), 4096) == 0) {
    size_t count = 0;
    while (item.GetNextNode() >= 0) {
      if (item.name.empty() || item.name.size() > 255 || ++count > size) std::abort();
    }
  }
  std::vector<uint8_t> a(data, data + size);
  CINDXItem root;
  if (root.SetBuf(a.data(), a.size()) == 0) {
    size_t count = 0;
    while (root.GetNextNode() >= 0) {
      if (root.name.empty() || root.name.size() > 255 || ++count > size) std::abort();
    }
  }
  return 0;
}
