// exFAT until its reader arrives: the type code, the root folder, its boot
// sector test, the run lists of its nodes and the walk of its folders. Its
// locator places nothing yet, so no exFAT volume is made.
#include "filesystems/exfat/ExFatFamily.h"

#include <cstring>

#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"

namespace {

bool IsExFatBoot(const uint8_t* s) {
  return s[0] == 0xEB && s[1] == 0x76 && s[2] == 0x90 && memcmp(s + 3, "EXFAT", 5) == 0;
}

int ProbeExFat(const uint8_t* s) { return IsExFatBoot(s) ? kVolExFat : 0; }

bool IsExFatRoot(const CVol& volume, uint32_t id) { return volume.rootNode && id == volume.rootNode->id; }

bool IsExFatBootKind(const uint8_t* s, const ClassifyContext*) { return IsExFatBoot(s); }

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.traits = kNodeTraitCreationTime | kNodeTraitFatRecycleBin;
  return ops;
}();

const SectorKindEntry kSectorKinds[] = {
    {kSectExFatBoot, IsExFatBootKind, nullptr},
};

const VolumeFamily kFamily = [] {
  VolumeFamily f;
  f.name = "exfat";
  f.types[0] = kVolExFat;
  f.typeCount = 1;
  f.nodeFamily = kNodeExFat;
  f.nodeOps = &kNodeOps;
  f.isRootId = IsExFatRoot;
  f.probe = ProbeExFat;
  f.buildNodeExtents = BuildRunListExtents;
  f.readNodeClusters = ReadClustersThroughExtents;
  f.walkFolders = kWalkInQuickScan | kWalkInLongScan;
  f.folderSizeInClusters = true;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterExFatFamily() { RegisterVolumeFamily(kFamily); }
