#include "filesystems/exfat/ExFatVolume.h"

#include "filesystems/exfat/ExFatBitmap.h"
#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/fat/FatCache.h"
#include "foundation/Trace.h"
#include "volumes/ClusterWindow.h"

CExFATVol::CExFATVol() {
  type = kVolExFat;
  auto* root = new ExFatNode();
  root->flags2 |= kNode2Directory;
  rootNode = root;
}

CExFATVol::~CExFATVol() { DeleteNode(&rootNode); }

int CExFATVol::BootParse(const uint8_t* s) {
  const ExFatBoot b = ReadExFatBoot(s);
  if (!CheckExFatBoot(b) || !SetSectorSize(b.SectorBytes()) ||
      !SetClusterSize(b.SectorBytes() << b.clusterShift)) {
    ErrorMsg(u"Unreadable or invalid boot sector.");
    return -1;
  }
  fatCount = b.fatCount;
  rootCluster = b.rootCluster;
  volumeLength = b.volumeLength;
  clusterCount = b.clusterCount;
  fatOffset = b.fatOffset;
  fatLength = b.fatLength;
  // Clusters count from 2: cluster 0 lies two clusters before the heap
  // (read as signed).
  dataAreaSector = uint64_t(int64_t(b.heapOffset) - 2 * int64_t(b.SectorsPerCluster()));
  sizeSectors = b.volumeLength;
  fat = std::make_unique<FATCache>(this);
  fat->SetCopies(1);
  fat->Init(kFatCacheExFat, uint64_t(fatLength) * sectorSize, fatOffset);
  rootNode->id = rootCluster;
  return 1;
}

int InitExFATVol(CExFATVol* v, const uint8_t* boot, int64_t start) {
  if (!v || !boot || start < 0) return -1;
  v->startSector = uint64_t(start);
  const int r = v->BootParse(boot);
  if (r != 1) return r;
  v->SetNodeClusterCode(v->rootNode);
  v->rootNode->size = 0;
  FreeRunList(&v->rootNode->runs);
  v->fat->SetNodeRuns(v->rootNode, v->clusterSize, false);
  if (traceMft)
    TracePrintfA("exFAT vol @ %I64d - FAT %ld+%ld, heap %I64d, root %ld, clusters %ld, cluster size %ld\n",
                 int64_t(start), int32_t(v->fatOffset), int32_t(v->fatLength), int64_t(v->dataAreaSector),
                 int32_t(v->rootCluster), int32_t(v->clusterCount), int32_t(v->clusterSize));
  return r;
}

bool SetExFatNodeRuns(CExFATVol* v, cnode* node) {
  if (!v || !node || node->Family() != kNodeExFat) return false;
  if (node->RunBuffer()) return true;
  const bool contiguous = static_cast<ExFatNode*>(node)->NoFatChain();
  if (v->fat) v->fat->SetNodeRuns(node, v->clusterSize, contiguous);
  return node->RunBuffer() != nullptr || node->size == 0;
}
