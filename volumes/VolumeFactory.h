// Volumes are made and destroyed by their type code (Volume.h lists them).
#pragma once
#include <cstdint>

class CVol;

// A new volume of the type's class, as its family makes it; null above the
// last type code. A family whose class is not built yet (or a type nobody
// registered) gets a CUnknownVol carrying its type code.
CVol* CreateVol(uint8_t type);
// Destroys the volume and clears the holder; null is fine.
void DeleteVol(CVol** holder);
