// Folder names from index buffers of arbitrary content: the first byte
// picks the group the names go to, the rest is cut into 4096-byte buffers
// (the last one short). Every path asked for must end: a loop of names
// breaks off under "Extra files", never runs on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/IndexNames.h"
#include "volumes/NodeTable.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t asked = data[0] >> 1;
  const uint32_t group = data[0] & 1 ? NtfsFolderPaths::kAnyGroup : asked;
  data++;
  size--;
  CNdArray nodes;
  NtfsFolderPaths paths(nodes);
  std::vector<uint32_t> records;
  for (size_t at = 0; at < size; at += 4096) {
    const size_t n = std::min<size_t>(4096, size - at);
    std::vector<uint8_t> block(data + at, data + at + n);
    const int entries = MapNodes(block.data(), block.size(), [&](const IndexEntryName& e) {
      if (e.name.empty() || e.name.size() > 255) std::abort();
      paths.AddIndexedFolder(group, e.record, e.parent, e.name);
      records.push_back(e.record);
      records.push_back(e.parent);
    });
    if (entries > 200) std::abort();
  }
  for (uint32_t r : records) {
    const NtfsFolderPaths::Folder& f = paths.Path(asked, r);
    // 1024 levels of at most 255 characters and a separator each.
    if (f.path.size() > 1100u * 256) std::abort();
  }
  return 0;
}
