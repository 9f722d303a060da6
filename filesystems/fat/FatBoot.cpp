// FAT boot sectors: recognising one, and writing one for a lost volume.
#include <cstring>

#include "foundation/ByteOrder.h"
#include "storage/Drive.h"
#include "filesystems/fat/FatHelpers.h"

int IsFATBootSector(const uint8_t* s, uint64_t* areasOut, uint8_t* mediaOut, uint64_t* clustersOut) {
  if (s[510] != 0x55 || s[511] != 0xAA) return 0;
  if (!((s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9)) return 0;
  const uint32_t bytesPerSector = Le16(s + 11);
  if (bytesPerSector != 512 && bytesPerSector != 1024 && bytesPerSector != 2048 && bytesPerSector != 4096) return 0;
  const uint32_t spc = s[13];
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0 || spc * bytesPerSector > 65536) return 0;
  const uint32_t reserved = Le16(s + 14);
  if (reserved == 0) return 0;
  if (s[16] != 1 && s[16] != 2) return 0;
  const uint32_t rootEntries = Le16(s + 17);
  if ((rootEntries * 32) % bytesPerSector != 0) return 0;
  const uint32_t total16 = Le16(s + 19);
  const uint32_t total32 = GetLittleEndian(s + 32, 4);
  if ((total16 != 0) == (total32 != 0)) return 0;
  uint32_t fatSize = Le16(s + 22);
  int type = 2;
  if (fatSize == 0) {
    fatSize = GetLittleEndian(s + 36, 4);
    if (rootEntries != 0 || total16 != 0 || fatSize == 0) return 0;
    type = 3;
  }
  const uint8_t media = s[21];
  if (mediaOut) *mediaOut = (media >= 0xF8 || media == 0xF0) ? media : 0;
  if (clustersOut) *clustersOut = (total16 ? total16 : total32) / spc;
  if (areasOut) {
    areasOut[0] = reserved;
    areasOut[1] = uint64_t(reserved) + fatSize;
  }
  return type;
}

bool BuildFATBootSector(uint8_t* buffer, int fatType, uint32_t sectorsPerCluster, uint32_t reserved,
                        uint32_t rootEntries, uint32_t fatSize, uint32_t totalSectors, uint32_t sectorSize) {
  if (sectorSize == 0) sectorSize = 512;
  if (sectorSize < 512 || sectorSize > 0xFFFF) return false;
  if (sectorsPerCluster == 0 || sectorsPerCluster > 0xFF || reserved > 0xFFFF || rootEntries > 0xFFFF) return false;
  if (fatType != 3 && fatSize > 0xFFFF) return false;
  std::memset(buffer, 0, sectorSize);
  buffer[0] = 0xEB;
  buffer[2] = 0x90;
  buffer[510] = 0x55;
  buffer[511] = 0xAA;
  PutLittleEndian(buffer + 11, sectorSize, 2);
  buffer[13] = uint8_t(sectorsPerCluster);
  PutLittleEndian(buffer + 14, reserved, 2);
  buffer[16] = 2;
  PutLittleEndian(buffer + 17, rootEntries, 2);
  if (fatType == 3) {
    PutLittleEndian(buffer + 36, fatSize, 4);
    PutLittleEndian(buffer + 32, totalSectors, 4);
    std::memcpy(buffer + 54, "FAT32   ", 8);
  } else {
    PutLittleEndian(buffer + 22, fatSize, 2);
    if (totalSectors < 0x10000) PutLittleEndian(buffer + 19, totalSectors, 2);
    else PutLittleEndian(buffer + 32, totalSectors, 4);
    std::memcpy(buffer + 54, "FAT16   ", 8);
  }
  if (fatType == 3) PutLittleEndian(buffer + 44, 2, 4);
  return true;
}
