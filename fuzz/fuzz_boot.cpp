// An NTFS boot sector of arbitrary content: the geometry it gives must be
// one the volume can be read with whenever it is accepted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/Globals.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "app/Startup.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<uint8_t> sector(4096, 0);
  if (size) std::memcpy(sector.data(), data, size);
  NTFSVol vol;
  if (!NTFS::BootParse(&vol, sector.data())) return 0;
  const uint32_t ss = vol.sectorSize, cs = vol.clusterSize, rs = vol.recordSize;
  if (ss < 512 || ss > 4096 || (ss & (ss - 1))) std::abort();
  if (cs < 512 || cs > 65536 || (cs & (cs - 1)) || cs < ss) std::abort();
  if (rs != 1024 && rs != 2048 && rs != 4096) std::abort();
  if (vol.mftSector <= 0 || uint64_t(vol.mftSector) >= vol.totalSectors) std::abort();
  if (vol.mirrorSector <= 0 || uint64_t(vol.mirrorSector) >= vol.totalSectors) std::abort();
  if (uint64_t(vol.mftSector) != vol.mftCluster * (cs / ss)) std::abort();
  return 0;
}
