#include "filesystems/ntfs/IndexNames.h"

#include <algorithm>
#include <vector>

#include "carving/CarveScan.h"
#include "filesystems/ntfs/FolderPaths.h"
#include "filesystems/ntfs/IndexBlocks.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "filesystems/ntfs/NtfsIndex.h"
#include "foundation/Trace.h"
#include "platform/Memory.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
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

namespace {
int TakeEntries(CINDXItem& walk, const std::function<void(const IndexEntryName&)>& take) {
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
}  // namespace

int MapNodes(uint8_t* block, size_t size, const std::function<void(const IndexEntryName&)>& take) {
  CINDXItem walk;
  if (walk.SetINDXBuf(block, size) < 0) return -1;
  return TakeEntries(walk, take);
}

int MapRootNodes(const uint8_t* root, size_t size, const std::function<void(const IndexEntryName&)>& take) {
  CINDXItem walk;
  if (walk.SetBuf(root, size) < 0) return -1;
  return TakeEntries(walk, take);
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

void MapFilesToParent(ScanSink& engine, Drive* drive, NtfsFolderPaths& paths,
                      const std::function<uint32_t(const cnode*)>& groupOf) {
  if (!drive) return;
  std::vector<HdrHit> none;
  std::vector<HdrHit>* found = engine.CarvedHits();
  std::vector<HdrHit>& hits = found ? *found : none;
  CNdArray& nodes = engine.Nodes();
  std::vector<int64_t> waiting;
  // At home first: their buffers are theirs; the others may only take
  // what is left.
  for (int round = 0; round < 2; round++) {
    const int64_t count = round == 0 ? nodes.Count() : int64_t(waiting.size());
    for (int64_t k = 0; k < count && !engine.StopRequested(); k++) {
      const int64_t i = round == 0 ? k : waiting[size_t(k)];
      cnode* c = nodes.GetAt(i);
      if (!c || !c->IsSnode() || !c->IsDirectory() || c->id == kNoNodeId || c->volumeIndex == kNoVolume) continue;
      CVol* v = VolumeAt(*drive, c->volumeIndex);
      if (!v || v->type != kVolNtfs) continue;
      auto* vol = static_cast<NTFSVol*>(v);
      const uint8_t* runs = c->RunBuffer();
      FolderIndexStream stream{runs, runs ? std::max<int64_t>(0, GetClusterCount(runs)) : 0, int64_t(c->id),
                               int64_t(static_cast<const snode*>(c)->position)};
      if (round == 0 && !(c->flags & kInodeAtHome)) {
        waiting.push_back(i);
        continue;
      }
      if (round == 1) {
        if (GetMatchingINDXCount(*drive, *vol, stream, hits) != 2) continue;
        c->flags |= kInodeAtHome | kInodeNumberKnown;
      }
      // A folder whose recovery was skipped is not read again.
      if ((c->flags & kNodeGradeMask) == GradeBits(kGradeSkipped)) stream.position = -1;
      const uint32_t group = groupOf(c);
      auto enter = [&](const IndexEntryName& e) {
        if (!e.directory) return;
        TracePrintfW(u"Add %d => %s (p: %d)\n", int32_t(e.record), e.name, int32_t(e.parent));
        paths.AddIndexedFolder(group, e.record, e.parent, e.name);
      };
      VolFilesToParent(
          *drive, *vol, stream, hits, [&](uint8_t* block, size_t size) { MapNodes(block, size, enter); },
          [&](const uint8_t* root, size_t size) { MapRootNodes(root, size, enter); });
    }
  }
}
