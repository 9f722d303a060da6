// Directory blocks of arbitrary content met away from any walk: the tests
// of the sector pass, the naming of their entries into the trees of a
// volume made from the input, the folder paths made of those names, and the
// pass's action with the input's volume on the drive.
#include <cstdint>
#include <cstdlib>

#include "app/Startup.h"
#include "filesystems/ext/DirBlocks.h"
#include "filesystems/ext/NameTrees.h"
#include "foundation/ByteOrder.h"
#include "fuzz/ExtFuzzDrive.h"
#include "storage/Drive.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2048 || size > 262144) return 0;
  uint32_t dot = 0, dotDot = 0;
  IsUnixDirBlock(data, &dot, &dotDot);
  IsUnixDirEntryRun(data, size, Le32(data + 2040));
  extfuzz::Mounted m(data, size);
  auto v = extfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  // Every block of the input named into the trees, in runs, with the parent
  // carried as the volume sweep carries it.
  uint32_t parent = 0;
  for (size_t at = 0; at + v->clusterSize <= size; at += v->clusterSize) {
    if (data[at] & 1) parent = 0;
    NameUnixEntries(*v, data + at, v->clusterSize, &parent);
  }
  UnixNameTrees& trees = v->Trees();
  for (uint32_t inode = 0; inode < 64; ++inode) {
    uint32_t broken = 0;
    const WString path = trees.FolderPath(Le32(data + 4 * inode) % (v->inodeCount + 100), 2, &broken);
    if (path.size() > 4096) std::abort();
    if (const UnixNameTrees::Name* n = trees.File(inode)) trees.NameText(*n);
  }
  // The pass's action at each sector, the volume in the drive's table.
  CExt3Vol* held = v.release();
  int32_t index = -1;
  if (!AddVolume(*m.drive, held, 0, &index)) {
    delete held;
    return 0;
  }
  for (size_t at = 0; at + 512 <= size; at += 512) {
    SectorVisit visit;
    visit.drive = m.drive;
    visit.kind = kSectUnixDir;
    visit.sector = data + at;
    visit.bytesLeft = size - at;
    visit.position = int64_t(at / 512);
    if (ScanUnixDirSector(visit) && visit.needBytes) std::abort();
  }
  return 0;
}
