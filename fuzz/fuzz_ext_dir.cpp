// ext folder data of arbitrary content over a volume made from the input
// itself: every record is parsed within the piece, every inode it names
// is looked up on the drive, and no record escapes the walk.
#include <cstdint>
#include <cstring>

#include "app/Startup.h"
#include "filesystems/ext/DirEntries.h"
#include "fuzz/ExtFuzzDrive.h"
#include "volumes/FolderWalk.h"
#include "volumes/Node.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 262144) return 0;
  extfuzz::Mounted m(data, size);
  auto v = extfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  FolderWalk& walk = TheFolderWalk();
  walk = FolderWalk{};
  walk.volume = v.get();
  walk.path = u"\\";
  // The input's bytes after the superblock as a folder's data.
  const size_t from = size > 2048 ? 2048 : size;
  ParseUnixEntries(v.get(), v->rootNode, data + from, size - from);
  for (auto* q : {&walk.live, &walk.deleted})
    for (FolderWalk::Entry& e : *q) DeleteNode(&e.node);
  walk = FolderWalk{};
  return 0;
}
