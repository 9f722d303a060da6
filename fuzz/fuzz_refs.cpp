// ReFS volumes made from the input (a sparse image, fuzz/SparseImageSource.h):
// the boot sector, the superblock and checkpoints, the page walk with its
// index entries, file entries and page references, and each file's runs
// from its extent index; plus the page and entry parsers on the input's own
// bytes taken as a page. Whatever the pages say, the walk and the runs end,
// every offset stays inside its page and no run lies past the volume.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/Startup.h"
#include "filesystems/refs/RefsFileEntry.h"
#include "filesystems/refs/RefsPage.h"
#include "filesystems/refs/RefsVolume.h"
#include "fuzz/SparseImageSource.h"
#include "tests/support/NullScanSink.h"
#include "volumes/Extents.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  sparseimage::Install("/tmp/fuzz-refs-XXXXXX");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 16384) {
    // The input's first 16 KiB as a page: its index at every offset kind.
    for (size_t header : {size_t(0x30 + 232), size_t(0x30 + 240), size_t(56)}) {
      RefsEntries entries(data, header);
      RefsEntry e;
      while (entries.Next(&e)) {
        if (e.at + e.length > 16384) std::abort();
        if (e.value && e.at + e.valueOffset + e.valueLength > 16384) std::abort();
        const RefsFileEntry f = ReadRefsFileEntry(data, e);
        if (f.ok && f.rootOffset + 24 > 16384) std::abort();
      }
    }
  }
  sparseimage::Load(data, size, 64ull << 20);
  sparseimage::Mounted m;
  if (!m.drive) return 0;
  CReFSVol v;
  v.drive = m.drive;
  std::vector<uint8_t> boot(4096);
  m.drive->ReadSectors(0, 4096, 4096, boot.data(), true);
  if (v.Init(boot.data(), 0) != 1) return 0;
  NullScanSink sink;
  v.engine = &sink;
  v.Search(sink);
  for (uint32_t i = 0; i < sink.nodes.Count() && i < 256; ++i) {
    const cnode* c = sink.nodes.GetAt(i);
    if (!c || c->IsDirectory()) continue;
    uint32_t bad = 0;
    if (!v.ReadObjectTable(*c, &bad) || !v.extents) continue;
    for (size_t r = 0; r < v.extents->RunCount(); ++r)
      if (v.extents->Runs()[r].lcnEnd > v.pageCount) std::abort();
  }
  return 0;
}
