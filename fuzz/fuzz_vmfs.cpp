// VMFS volumes made from the input (a sparse image, fuzz/SparseImageSource.h):
// the volume manager's header at 1 MiB, the file-system descriptor, the
// descriptor cluster's header and bootstrap, the root folder's entries and
// every node they make, each mapped (addresses, pointer blocks, sub-blocks,
// data in the descriptor) and its first piece read; plus the parsers of
// resource headers, descriptors and directory entries on the input's bytes.
// Whatever the image says, reads stay inside their buffers and every map is
// bounded.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/Startup.h"
#include "filesystems/vmfs/VmfsDescriptor.h"
#include "filesystems/vmfs/VmfsDirEntry.h"
#include "filesystems/vmfs/VmfsExtents.h"
#include "filesystems/vmfs/VmfsNode.h"
#include "filesystems/vmfs/VmfsResource.h"
#include "filesystems/vmfs/VmfsVolume.h"
#include "fuzz/SparseImageSource.h"
#include "tests/support/NullScanSink.h"
#include "volumes/FolderWalk.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  sparseimage::Install("/tmp/fuzz-vmfs-XXXXXX");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The structures alone, on the input's own bytes.
  if (size >= 2048) {
    ReadVmfsDescriptor(data);
    IsVMFSFileDescriptor(data);
  }
  for (size_t at = 0; at + 140 <= size && at < 140 * 64; at += 140) ReadVmfsDirEntry(data + at);
  sparseimage::Load(data, size, 256ull << 20);
  sparseimage::Mounted m;
  if (!m.drive) return 0;
  CVMFSVol v;
  v.drive = m.drive;
  std::vector<uint8_t> header(4096);
  m.drive->ReadSectors(0x100000 / 512, 4096, 4096, header.data(), true);
  if (v.Init(header.data(), 0) != 1) return 0;
  NullScanSink sink;
  v.engine = &sink;
  FolderWalk& walk = TheFolderWalk();
  walk = FolderWalk{};
  walk.volume = &v;
  walk.path = u"\\";
  uint8_t* buffer = v.GetClusterBuffer();
  auto readFirst = [&](cnode& node) {
    uint32_t bad = 0;
    if (!v.BuildNodeExtents(node, nullptr, &bad)) return;
    const int64_t got = v.ReadFileData(0, buffer, kClusterBufferBytes, nullptr, node.IsDirectory());
    if (got > int64_t(kClusterBufferBytes)) std::abort();
    if (node.IsDirectory() && got > 0) v.ParseEntries(node, buffer, size_t(got));
  };
  readFirst(*v.rootNode);
  for (uint32_t i = 0; i < sink.nodes.Count() && i < 64; ++i)
    if (cnode* c = sink.nodes.GetAt(i)) readFirst(*c);
  for (auto* q : {&walk.live, &walk.deleted})
    for (FolderWalk::Entry& e : *q) DeleteNode(&e.node);
  walk = FolderWalk{};
  return 0;
}
