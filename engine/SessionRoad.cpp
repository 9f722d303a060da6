// The scan driver's session road: the engine takes a loaded session's
// tables and hands its list over as a scan hands over what it finds.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "engine/SendObj.h"
#include "engine/Session.h"
#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsBoot.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/ByteOrder.h"
#include "foundation/SectRanges.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeSearch.h"

namespace {

// The first sector at `sector` into `out` (at least 512 bytes); false
// when it cannot be read.
bool ReadFirstSector(Drive* drive, uint64_t sector, std::vector<uint8_t>& out) {
  const uint32_t ss = drive->SectorSize();
  out.assign(std::max<uint32_t>(ss, 512), 0);
  try {
    return drive->ReadSectors(int64_t(sector), ss, drive->RetryPiece(), out.data(), true);
  } catch (const DvCodeError&) {
    return false;
  }
}

// The file keeps no record size for an NTFS volume: its boot sector has it.
// False when the boot sector cannot be read or names none.
bool TakeRecordSize(NTFSVol* v, Drive* drive) {
  std::vector<uint8_t> boot;
  if (!ReadFirstSector(drive, v->startSector, boot) || !NTFS::IsBootSector(boot.data())) return false;
  const int8_t n = int8_t(boot[ntfs::kBootClustersPerRecord]);
  const uint64_t bytes = n < 0 ? (-n < 32 ? uint64_t(1) << -n : 0) : uint64_t(n) * v->clusterSize;
  if (bytes != 1024 && bytes != 2048 && bytes != 4096) return false;
  v->SetRecordSize(uint32_t(bytes));
  return true;
}

// A volume without its boot sector (one the Long Scan made again from its
// records) takes the record size from the header of a record of one of its
// nodes; with none readable it keeps records of 1024 bytes, and resident
// data past them would be lost.
void TakeRecordSizesFromRecords(const std::vector<NTFSVol*>& byIndex, const CNdArray& nodes, Drive* drive) {
  // A few records a volume are read at most: a volume whose records are
  // gone since the scan costs no read a node.
  constexpr uint8_t kTries = 16;
  std::vector<uint8_t> tries(byIndex.size(), 0);
  std::vector<bool> done(byIndex.size(), false);
  size_t left = 0;
  for (size_t k = 0; k < byIndex.size(); k++) left += byIndex[k] != nullptr;
  std::vector<uint8_t> sector;
  for (int64_t i = 0, n = nodes.Count(); i < n && left; i++) {
    const cnode* c = nodes.GetAt(i);
    if (!c || !c->IsSnode() || c->volumeIndex >= byIndex.size() || !byIndex[c->volumeIndex] || done[c->volumeIndex])
      continue;
    const auto* node = static_cast<const snode*>(c);
    if (!node->position || (node->flags & kInodeCarved)) continue;
    const uint16_t v = c->volumeIndex;
    bool found = false;
    if (ReadFirstSector(drive, node->position, sector) && std::memcmp(sector.data(), "FILE", 4) == 0) {
      const uint32_t bytes = Le32(sector.data() + ntfs::kRecAllocated);
      found = bytes == 1024 || bytes == 2048 || bytes == 4096;
      if (found) byIndex[v]->SetRecordSize(bytes);
    }
    if (found || ++tries[v] == kTries) {
      done[v] = true;
      left--;
    }
  }
}

}  // namespace

void NTFSObj::TakeSession(SLSession& session) {
  if (drive && session.exclusions) drive->SetExclusionSet(session.exclusions);
  session.exclusions.reset();
  if (session.nodes) nodes = std::move(session.nodes);
  // The drive's volumes give way to the session's; the table stays the one
  // the engine shares with the drive.
  volumeTable->Clear();
  volumes.reserve(session.volumes.size());
  std::vector<NTFSVol*> noBootSector(session.volumes.size(), nullptr);
  for (size_t k = 0; k < session.volumes.size(); k++) {
    CVol* v = session.volumes[k];
    v->SetVolumeNumber(uint16_t(k));
    v->drive = drive;
    v->engine = this;
    if (auto* ntfs = dynamic_cast<NTFSVol*>(v); ntfs && drive && !TakeRecordSize(ntfs, drive)) noBootSector[k] = ntfs;
    volumes.push_back(v);
  }
  session.volumes.clear();
  if (drive && nodes) TakeRecordSizesFromRecords(noBootSector, *nodes, drive);
}

int NTFSObj::ReadDVS(SLSession& session) {
  const int64_t count = session.listCount;
  int step = 0;
  WString path;
  for (int64_t k = 0; k < count; k++) {
    if (StopRequested()) break;
    const int64_t index = session.ReadNextNode(&path);
    const cnode* n = nodes->GetAt(index);
    WString prefix;
    if (n && n->volumeIndex < volumes.size() && volumes[n->volumeIndex]) prefix = volumes[n->volumeIndex]->driveLetter;
    if (StoreFileItem(prefix, path, index) == 2) break;
    // Progress in at most 100 steps.
    const int now = int((k + 1) * 100 / count);
    if (now > step) {
      step = now;
      if (sendObj) sendObj->SetPercentComplete(step, kCodeFoundItems, 2);
    }
  }
  return 0;
}
