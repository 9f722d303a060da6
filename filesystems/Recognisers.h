// The sector tests and volume locators that the volume search and the
// sector pass ask of the other file systems. Until each file system's
// reader is built, it recognises nothing.
#pragma once
#include <cstdint>

// 5 for UFS1, 6 for UFS2, else 0.
int GetUFSSuperBlockType(const uint8_t* sector, int flags);
bool IsExtSuperBlock(const uint8_t* sector);
bool IsUfsSuperBlock(const uint8_t* sector);
bool IsXfsSuperBlock(const uint8_t* sector);
bool IsXfsAgHeader(const uint8_t* sector);
bool IsXfsInode(const uint8_t* sector);
bool IsHfsMasterDirectoryBlock(const uint8_t* sector);
bool IsHfsPlusHeader(const uint8_t* sector);
bool IsUnixDirBlock(const uint8_t* sector);
bool IsRefsSector(const uint8_t* sector);
// Start sector of the volume the sector belongs to; negative when none.
int64_t Ext3SuperBlockStart(int64_t sector, const uint8_t* bytes, int sectorSize);
int64_t XFSVolumeStart(int64_t sector, const uint8_t* bytes, int64_t sectorsLeft, void* drive);
int64_t LocateHFSPlusVolume(int64_t sector, const uint8_t* bytes, int sectorSize);
int64_t LocateExFATVolume(int64_t regionStart, const uint8_t* chunk, int64_t sectorsInRegion, int indexInChunk);
// Non-zero when done with the block (nothing more is needed).
int ScanUnixDirBlock(const uint8_t* bytes, int64_t sector, int64_t sectorsLeft, int64_t* sectorsNeeded);
