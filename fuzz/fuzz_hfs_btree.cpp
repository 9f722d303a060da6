// HFS+ B-tree nodes from the input: the header node and catalog leaf
// tests, the node-size finder, the trace walk of leaf records, and a
// catalog leaf node followed by an extents leaf node parsed as the catalog
// walk parses them (files and folders into a node table, overflow extents
// onto the files that wait for them). The first byte picks the node size
// (512 << its low three bits, else what the finder says).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/hfs/HfsBTree.h"
#include "filesystems/hfs/HfsScan.h"
#include "filesystems/hfs/HfsVolume.h"
#include "foundation/Globals.h"
#include "tests/support/NullScanSink.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 131072) return 0;
  const uint8_t pick = data[0];
  std::vector<uint8_t> bytes(data + 1, data + size);
  HfsBTreeHeader h;
  IsHFSBTreeHeaderNode(bytes.data(), bytes.size(), &h);
  const uint32_t found = FindHFSBTreeNodeSize(bytes.data(), bytes.size());
  if (found && (found > bytes.size() || (found & (found - 1)))) std::abort();
  const uint32_t ns = (pick & 8) ? found : 512u << (pick & 7);
  if (!ns || ns > 32768 || bytes.size() < ns) return 0;
  IsHFSCatalogLeafNode(bytes.data(), ns, pick & 0x10 ? 0 : 100);
  int status = 0;
  TraceHFSLeafRecords(bytes.data(), ns, &status);
  CHFSPlusVol v;
  v.SetClusterSize(4096);
  v.totalBlocks = 1u << 20;
  NullScanSink sink;
  v.engine = &sink;
  const uint8_t* extents = bytes.size() >= 2 * size_t(ns) ? bytes.data() + ns : nullptr;
  ParseCatalogLeafNode(v, sink, bytes.data(), ns, extents, extents ? ns : 0);
  return 0;
}
