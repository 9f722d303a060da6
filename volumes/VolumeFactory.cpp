#include "volumes/VolumeFactory.h"

#include <new>

#include "volumes/Volume.h"
#include "filesystems/ntfs/NtfsVolume.h"

CVol* CreateVol(uint8_t type) {
  if (type > kVolLastType) return nullptr;
  switch (type) {
    // Each family's class takes its code here when it is built.
    case kVolNtfs:
      return new (std::nothrow) NTFSVol();
    default:
      return new (std::nothrow) CUnknownVol(type);
  }
}

void DeleteVol(CVol** holder) {
  if (!holder) return;
  delete *holder;
  *holder = nullptr;
}
