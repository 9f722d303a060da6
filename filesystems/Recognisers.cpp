#include "filesystems/Recognisers.h"

int GetUFSSuperBlockType(const uint8_t*, int) { return 0; }
bool IsExtSuperBlock(const uint8_t*) { return false; }
bool IsUfsSuperBlock(const uint8_t*) { return false; }
bool IsXfsSuperBlock(const uint8_t*) { return false; }
bool IsXfsAgHeader(const uint8_t*) { return false; }
bool IsXfsInode(const uint8_t*) { return false; }
bool IsHfsMasterDirectoryBlock(const uint8_t*) { return false; }
bool IsHfsPlusHeader(const uint8_t*) { return false; }
bool IsUnixDirBlock(const uint8_t*) { return false; }
bool IsRefsSector(const uint8_t*) { return false; }
int64_t Ext3SuperBlockStart(int64_t, const uint8_t*, int) { return -1; }
int64_t XFSVolumeStart(int64_t, const uint8_t*, int64_t, void*) { return -1; }
int64_t LocateHFSPlusVolume(int64_t, const uint8_t*, int) { return -1; }
int64_t LocateExFATVolume(int64_t, const uint8_t*, int64_t, int) { return -1; }
int ScanUnixDirBlock(const uint8_t*, int64_t, int64_t, int64_t* sectorsNeeded) {
  if (sectorsNeeded) *sectorsNeeded = 0;
  return 1;
}
