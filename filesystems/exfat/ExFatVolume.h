// The exFAT volume: geometry from the boot sector, the allocation-table
// cache for cluster chains, the entry set being gathered while folders are
// parsed, and what the volume's own entries tell (bitmaps, up-case table,
// label).
#pragma once
#include <cstdint>
#include <memory>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatNode.h"
#include "volumes/Volume.h"

class ClusterWindow;
class ExFatBitmap;
class FATCache;

// An entry set being gathered: its node, and the name as its entries give it.
struct ExFatEntrySet {
  ExFatNode node;
  uint8_t secondaryCount = 0;
  uint8_t nameLength = 0;  // as the stream entry gives it
  char16_t name[exfat::kMaxNameLength + 1] = {};
  uint32_t nameChars = 0;    // gathered
  uint32_t secondaries = 0;  // gathered
};

class CExFATVol : public CVol {
 public:
  CExFATVol();
  ~CExFATVol() override;

  // 1 when the boot sector (at least 512 bytes) holds together, -1 with
  // "Unreadable or invalid boot sector." as the last error when not.
  int BootParse(const uint8_t* boot);

  uint8_t fatCount = 0;
  uint32_t rootCluster = 0;
  uint64_t volumeLength = 0;  // sectors
  uint32_t clusterCount = 0;
  uint32_t fatOffset = 0;  // sectors
  uint32_t fatLength = 0;  // sectors
  std::unique_ptr<FATCache> fat;
  std::unique_ptr<ExFatEntrySet> openSet;  // at most one
  std::unique_ptr<ClusterWindow> window;   // recovery reads
  std::unique_ptr<ExFatBitmap> allocation;  // made when a deleted file asks
  struct Area {
    uint32_t firstCluster = 0;
    uint64_t length = 0;
  };
  Area bitmaps[2];
  Area upcase;
  uint32_t upcaseChecksum = 0;
  bool labelFound = false;
};

// Fills the volume from its boot sector at drive sector `start` and makes
// its root folder; BootParse's result.
int InitExFATVol(CExFATVol* volume, const uint8_t* boot, int64_t start);

// Gives an exFAT node its run list from its chain (one run without a chain)
// when it has none; false when none can be made.
bool SetExFatNodeRuns(CExFATVol* volume, cnode* node);
