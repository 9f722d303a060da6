#include "volumes/VolumeFactory.h"

#include <new>

#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

CVol* CreateVol(uint8_t type) {
  if (type > kVolLastType) return nullptr;
  if (const FamilyVolumeOps* ops = FindVolumeOps(type); ops && ops->create) return ops->create(type);
  return new (std::nothrow) CUnknownVol(type);
}

void DeleteVol(CVol** holder) {
  if (!holder) return;
  delete *holder;
  *holder = nullptr;
}
