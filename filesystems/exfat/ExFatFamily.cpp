// The exFAT family: its volume class, boot sector, locator, nodes and the
// folder walk's entry parser.
#include "filesystems/exfat/ExFatFamily.h"

#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/exfat/ExFatData.h"
#include "filesystems/exfat/ExFatNode.h"
#include "filesystems/exfat/ExFatScan.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

int ProbeExFat(const uint8_t* s) { return IsExFatBootSignature(s) ? kVolExFat : 0; }

bool IsExFatRoot(const CVol& volume, uint32_t id) { return volume.rootNode && id == volume.rootNode->id; }

bool IsExFatBootKind(const uint8_t* s, const ClassifyContext*) { return IsExFatBootSignature(s); }

CVol* CreateExFatVolume(uint8_t) { return new CExFATVol(); }

bool InitExFatVolume(CVol& volume, const uint8_t* boot, int64_t sector, Drive*) {
  if (volume.type != kVolExFat) return false;
  return InitExFATVol(static_cast<CExFATVol*>(&volume), boot, sector) == 1;
}

void LocateExFat(BootLocate& w) {
  w.start = LocateExFATVolume(w.drive, w.position, w.chunk, w.chunkStart, w.chunkSectors, w.sectorBytes);
  const ExFatBoot boot = ReadExFatBoot(w.sector);
  if (w.start < 0 || !CheckExFatBoot(boot) ||
      !ToDriveSectors(boot.volumeLength, boot.SectorBytes(), w.sectorBytes, &w.size))
    w.start = -1;
}

const NodeOps kNodeOps = [] {
  NodeOps ops;
  ops.create = CreateExFatNode;
  ops.destroy = DestroyExFatNode;
  ops.copyFields = CopyExFatNodeFields;
  ops.fileTime = GetExFatNodeFileTime;
  ops.timeText = GetExFatNodeTimeText;
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
  f.createVolume = CreateExFatVolume;
  f.initVolume = InitExFatVolume;
  f.isRootId = IsExFatRoot;
  f.probe = ProbeExFat;
  f.locate = LocateExFat;
  f.buildNodeExtents = BuildExFatExtents;
  f.readNodeClusters = ReadClustersThroughExtents;
  f.walkFolders = kWalkInQuickScan | kWalkInLongScan;
  f.parseEntries = ParseExFatFolderPiece;
  f.prepare = PrepareExFatNode;
  f.readData = ReadExFatNodeData;
  f.folderSizeInClusters = true;
  f.sectorKinds = kSectorKinds;
  f.sectorKindCount = sizeof kSectorKinds / sizeof kSectorKinds[0];
  return f;
}();

}  // namespace

void RegisterExFatFamily() { RegisterVolumeFamily(kFamily); }
