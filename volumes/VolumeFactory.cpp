#include "volumes/VolumeFactory.h"

#include <new>

#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

CVol* CreateVol(uint8_t type) {
  if (type > kVolLastType) return nullptr;
  if (const VolumeFamily* f = FindVolumeFamily(type); f && f->createVolume) return f->createVolume(type);
  return new (std::nothrow) CUnknownVol(type);
}

void DeleteVol(CVol** holder) {
  if (!holder) return;
  delete *holder;
  *holder = nullptr;
}
