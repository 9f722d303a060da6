#include "filesystems/ntfs/IndexNames.h"

#include <algorithm>
#include <vector>

#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/NtfsIndex.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/ScanSink.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {
constexpr int kMaxEntries = 200;
constexpr uint32_t kIndexBufferBytes = 4096;

// The NTFS volume of the drive's table that holds the sector; -1 when none.
int32_t VolumeHolding(Drive& drive, int64_t sector) {
  const uint32_t n = VolumeCount(drive);
  for (uint32_t i = 0; i < n; i++) {
    const CVol* v = VolumeAt(drive, i);
    if (!v || v->type != kVolNtfs || sector < int64_t(v->startSector)) continue;
    const uint64_t size = v->sizeSectors ? v->sizeSectors : drive.SectorCount() - v->startSector;
    if (uint64_t(sector) - v->startSector < size) return int32_t(i);
  }
  return -1;
}
}  // namespace

int MapNodes(uint8_t* block, size_t size, const std::function<void(const IndexEntryName&)>& take) {
  CINDXItem walk;
  if (walk.SetINDXBuf(block, size) < 0) return -1;
  int count = 0;
  IndexEntryName e;
  while (count < kMaxEntries) {
    const int64_t parent = walk.GetNextNode();
    if (parent < 0) break;
    count++;
    if (walk.name.empty() || walk.name == u"." || parent > UINT32_MAX) continue;
    e.record = walk.fileRecord;
    e.parent = uint32_t(parent);
    e.name = walk.name;
    e.directory = walk.isDirectory;
    take(e);
  }
  return count;
}

void MapIndexedFolders(ScanSink& engine, Drive* drive, NtfsFolderPaths& paths) {
  if (!drive) return;
  const std::vector<int64_t> sectors = engine.IndexBufferSectors();
  if (sectors.empty()) return;
  const uint32_t ss = drive->SectorSize() ? drive->SectorSize() : 512;
  const uint32_t bytes = std::max(kIndexBufferBytes, ss);
  uint8_t* buffer = static_cast<uint8_t*>(AlignedAlloc(bytes));
  if (!buffer) return;
  const int64_t driveSectors = int64_t(drive->SectorCount());
  for (int64_t sector : sectors) {
    if (engine.StopRequested()) break;
    if (sector < 0 || sector >= driveSectors) continue;
    const uint32_t n = uint32_t(std::min<int64_t>(bytes / ss, driveSectors - sector)) * ss;
    if (!drive->ReadSectors(sector, n, drive->RetryPiece(), buffer, true)) continue;
    const int32_t v = VolumeHolding(*drive, sector);
    const uint32_t group = v >= 0 ? uint32_t(v) : NtfsFolderPaths::kAnyGroup;
    MapNodes(buffer, n, [&](const IndexEntryName& e) {
      if (!e.directory) return;
      TracePrintfW(u"Add %d => %s (p: %d)\n", int32_t(e.record), e.name, int32_t(e.parent));
      paths.AddIndexedFolder(group, e.record, e.parent, e.name);
    });
  }
  AlignedFree(buffer);
}
