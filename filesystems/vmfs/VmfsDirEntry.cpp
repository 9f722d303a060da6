#include "filesystems/vmfs/VmfsDirEntry.h"

#include <cstring>

#include "filesystems/vmfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace vmfs;

VmfsDirEntry ReadVmfsDirEntry(const uint8_t* s) {
  VmfsDirEntry e;
  e.type = Le32(s + kDirType);
  e.address = Le32(s + kDirAddress);
  e.name = s + kDirName;
  const size_t room = kDirEntryBytes - kDirName;
  const void* nul = memchr(e.name, 0, room);
  e.nameEnds = nul != nullptr;
  e.nameBytes = nul ? size_t(static_cast<const uint8_t*>(nul) - e.name) : room;
  return e;
}
